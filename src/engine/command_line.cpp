#include "engine/command_line.h"

#include "engine/engine_state.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int MIN_RATE_HZ = 8000;
constexpr int MIN_WORKERS = 1;
constexpr int MAX_WORKERS = 16;
constexpr std::uint64_t MAX_WINDOW_SECONDS = 16;
constexpr std::uint64_t WINDOW_GRANULE_MASK = 1023;  // windows are whole blocks of 1024

}  // namespace

const char USAGE_TEXT[] =
    "Usage: orvel [-n <workers>] [-w <windowsize>]\n"
    "\t-r <samplerate: 8000, 9600, 12000, 16000, 24000, 48000>\n";

int saturating_atoi(const char *text)
{
    const long value = std::strtol(text, nullptr, 10);  // saturates at the long range
    return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

void print_usage()
{
    std::fwrite(USAGE_TEXT, 1, sizeof(USAGE_TEXT) - 1, stderr);
}

CommandLine parse_command_line(int argc, char **argv)
{
    CommandLine line;
    optind = 0;  // glibc: restart the scan from scratch
    int option;
    while ((option = getopt(argc, argv, "n:r:hw:")) != -1) {
        switch (option) {
        case 'n':
            line.worker_count = std::clamp(saturating_atoi(optarg), MIN_WORKERS, MAX_WORKERS);
            break;
        case 'r':
            line.sample_rate = std::clamp(saturating_atoi(optarg), MIN_RATE_HZ, SERVER_RATE);
            if (SERVER_RATE % line.sample_rate != 0) {
                line.action = StartupAction::usage;
                line.exit_status = 1;
                return line;
            }
            break;
        case 'w':
            line.window_request = saturating_atoi(optarg);
            break;
        case 'h':
            line.action = StartupAction::usage;
            line.exit_status = 0;
            return line;
        default:
            line.action = StartupAction::usage;
            line.exit_status = 1;
            return line;
        }
    }
    return line;
}

std::uint64_t derive_window_size(std::int64_t request, int rate)
{
    const std::uint64_t rate_u = static_cast<std::uint64_t>(rate);
    std::uint64_t window;
    if (request == 0)
        window = rate_u / 2;
    else
        window = std::min(static_cast<std::uint64_t>(request), MAX_WINDOW_SECONDS * rate_u);
    return window & ~WINDOW_GRANULE_MASK;
}
