#include "engine/command_line.h"

#include "engine/engine_types.h"
#include "engine/version.h"

#include <unistd.h>

#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

constexpr int MIN_RATE_HZ = 8000;
constexpr int MIN_WORKERS = 1;
constexpr int MAX_WORKERS = 16;
constexpr std::uint64_t MAX_WINDOW_SECONDS = 16;
constexpr std::uint64_t WINDOW_GRANULE_MASK = 1023;  // windows are whole blocks of 1024

// A getopt_long value that no short option uses.
constexpr int VERSION_OPTION = 256;

const option LONG_OPTIONS[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, VERSION_OPTION},
    {nullptr, 0, nullptr, 0},
};

const char OPTION_LINES[] =
    "\n"
    "  -n <workers>     analysis threads per stage, 1 to 16 (default 2)\n"
    "  -w <windowsize>  analysis window in samples, rounded down to a multiple of 1024,\n"
    "                   at most 16 seconds; 0 means half a second (the default)\n"
    "  -r <samplerate>  engine rate in Hz, dividing the server's 48000 (default 16000)\n"
    "  -h, --help       print this help and exit\n"
    "  --version        print the version and exit\n"
    "\n"
    "JACK_DEFAULT_SERVER names the JACK server to join. Exit status: 0, or 1 after\n"
    "a bad option or value.\n";

}  // namespace

const char USAGE_TEXT[] =
    "Usage: orvel [-n <workers>] [-w <windowsize>]\n"
    "\t-r <samplerate: 8000, 9600, 12000, 16000, 24000, 48000>\n";

bool parse_whole_number(const char *text, long &value)
{
    const char *digits = text + (*text == '+' || *text == '-' ? 1 : 0);
    if (*digits == '\0')
        return false;
    for (const char *c = digits; *c != '\0'; c++) {
        if (*c < '0' || *c > '9')
            return false;
    }
    value = std::strtol(text, nullptr, 10);  // saturates at the long range
    return true;
}

std::string not_a_whole_number(const char *option, const char *value)
{
    return std::string(option) + ": '" + value + "' is not a whole number";
}

std::string refused_option(int result, char **argv)
{
    // optind has passed the word that was refused, unless getopt stopped
    // inside a group of short options ("-xq"): then the group is next.
    const std::string word = optind > 0 ? argv[optind - 1] : "";
    const char *next = argv[optind];
    const bool inside_group = next != nullptr && next[0] == '-' && next[1] != '-' && optopt != 0
        && std::strchr(next + 1, optopt) != nullptr;
    if (word.starts_with("--") && !inside_group) {
        const std::string name = word.substr(0, word.find('='));
        if (result == ':')
            return "option '" + name + "' requires an argument";
        if (optopt != 0)
            return "option '" + name + "' doesn't allow an argument";
        return "unrecognized option '" + word + "'";
    }
    const std::string letter(1, static_cast<char>(optopt));
    if (result == ':')
        return "option requires an argument -- '" + letter + "'";
    return "invalid option -- '" + letter + "'";
}

int saturating_atoi(const char *text)
{
    const long value = std::strtol(text, nullptr, 10);  // saturates at the long range
    return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

void print_usage(const CommandLine &line)
{
    if (!line.problem.empty())
        std::fprintf(stderr, "orvel: %s\n", line.problem.c_str());
    std::fwrite(USAGE_TEXT, 1, sizeof(USAGE_TEXT) - 1, stderr);
}

void print_help()
{
    std::fwrite(USAGE_TEXT, 1, sizeof(USAGE_TEXT) - 1, stdout);
    std::fputs(OPTION_LINES, stdout);
}

void print_version()
{
    std::printf("orvel %s\n", ORVEL_VERSION);
}

bool apply_engine_option(int option, const char *value, CommandLine &line)
{
    long number = 0;
    if (option == 'n' || option == 'r' || option == 'w') {
        if (!parse_whole_number(value, number)) {
            const char name[] = {'-', static_cast<char>(option), '\0'};
            line.action = StartupAction::usage;
            line.exit_status = 1;
            line.problem = not_a_whole_number(name, value);
            return false;
        }
    }
    const int saturated = static_cast<int>(std::clamp<long>(number, INT_MIN, INT_MAX));
    switch (option) {
    case 'n':
        line.worker_count = std::clamp(saturated, MIN_WORKERS, MAX_WORKERS);
        return true;
    case 'r':
        line.sample_rate = std::clamp(saturated, MIN_RATE_HZ, SERVER_RATE);
        if (SERVER_RATE % line.sample_rate != 0) {
            line.action = StartupAction::usage;
            line.exit_status = 1;
            line.problem = "the engine rate must be one of 8000, 9600, 12000, 16000, 24000, 48000";
            return false;
        }
        return true;
    case 'w':
        line.window_request = saturated;
        return true;
    default:
        return false;
    }
}

CommandLine parse_command_line(int argc, char **argv)
{
    CommandLine line;
    optind = 0;  // glibc: restart the scan from scratch
    opterr = 0;  // refused_option says it, after our own name
    int option;
    while ((option = getopt_long(argc, argv, ":n:r:hw:", LONG_OPTIONS, nullptr)) != -1) {
        switch (option) {
        case 'n':
        case 'r':
        case 'w':
            if (!apply_engine_option(option, optarg, line))
                return line;
            break;
        case 'h':
            line.action = StartupAction::help;
            return line;
        case VERSION_OPTION:
            line.action = StartupAction::version;
            return line;
        default:
            line.action = StartupAction::usage;
            line.exit_status = 1;
            line.problem = refused_option(option, argv);
            return line;
        }
    }
    return line;
}

CommandLine parse_own_options(int argc, char **argv)
{
    std::vector<char *> own = {argc > 0 ? argv[0] : nullptr};
    for (int i = 1; i < argc; i++) {
        const std::string_view arg = argv[i];
        if (arg == "--")
            break;
        if (arg == "-h" || arg == "--help" || arg == "--version") {
            own.push_back(argv[i]);
        } else if (arg == "-n" || arg == "-r" || arg == "-w") {
            own.push_back(argv[i]);
            if (i + 1 < argc)
                own.push_back(argv[++i]);
        } else if (arg.size() > 2 && (arg.starts_with("-n") || arg.starts_with("-r") || arg.starts_with("-w"))
                   && (std::isdigit(static_cast<unsigned char>(arg[2])) || arg[2] == '-')) {
            own.push_back(argv[i]);  // "-r48000"; "-reverse" is the toolkit's
        }
    }
    // getopt may permute what it is given: give it our own copy, never argv.
    const int count = static_cast<int>(own.size());
    own.push_back(nullptr);
    return parse_command_line(count, own.data());
}

std::uint64_t derive_window_size(std::int64_t request, int rate)
{
    const std::uint64_t rate_u = static_cast<std::uint64_t>(rate);
    if (request < 0)
        return 0;
    std::uint64_t window;
    if (request == 0)
        window = rate_u / 2;
    else
        window = std::min(static_cast<std::uint64_t>(request), MAX_WINDOW_SECONDS * rate_u);
    return window & ~WINDOW_GRANULE_MASK;
}
