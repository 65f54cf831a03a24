// The whole analysis pipeline as fast as it goes: noise plus a 440 Hz tone
// fed through exchange_samples in server periods, analysed by the real
// assembler, workers and collector. Prints jobs per second and the real-time
// factor (seconds of audio analysed per second of wall time).
//
//   pipeline_bench [-r rate] [-w window] [-n workers] [-s seconds of audio] [-p]
// -p feeds at real time as a server would; an analysis slower than that
// then skips blocks at the bound on jobs in flight.
#include "audio/block_assembler.h"
#include "audio/rate_conversion.h"
#include "engine/command_line.h"
#include "engine/engine_state.h"
#include "support/engine_fixture.h"

#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

float noise(std::uint64_t frame)
{
    std::uint64_t z = frame * 0x9e3779b97f4a7c15ull;
    z = (z ^ (z >> 29)) * 0xbf58476d1ce4e5b9ull;
    return static_cast<float>((z >> 40) & 0xffff) / 65536.0f - 0.5f;
}

float noise_and_tone(std::uint64_t frame)
{
    const double tone = std::sin(2.0 * M_PI * 440.0 * static_cast<double>(frame % SERVER_RATE) / SERVER_RATE);
    return 0.1f * noise(frame) + static_cast<float>(0.4 * tone);
}

}  // namespace

int main(int argc, char **argv)
{
    double seconds = 20.0;
    bool paced = false;  // feed at real time, as a server does, instead of flat out
    std::vector<char *> engine_args = {argv[0]};
    for (int i = 1; i < argc; i++) {
        if (std::string(argv[i]) == "-s" && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else if (std::string(argv[i]) == "-p")
            paced = true;
        else
            engine_args.push_back(argv[i]);
    }
    const CommandLine line = parse_command_line(static_cast<int>(engine_args.size()), engine_args.data());
    if (line.action != StartupAction::run) {
        print_usage();
        return 1;
    }
    start_engine(line.sample_rate, line.window_request, line.worker_count);
    if (window_size == 0) {
        std::fprintf(stderr, "window too small\n");
        return 1;
    }
    audio_lock();
    main_channel = CHANNEL_INPUT_0;
    corr_channel = CHANNEL_OUTPUT_0;
    audio_unlock();

    ServerStandIn server;
    server.input_0 = noise_and_tone;
    server.input_1 = noise;
    server.output_0 = [](std::uint64_t k) { return noise(k * 7919) * FULL_SCALE / 256; };
    // Keep a few jobs queued per worker, so nothing is skipped and no worker idles.
    server.max_jobs_in_flight = paced ? 0 : 2 * static_cast<std::uint64_t>(worker_count) + 2;
    server.real_time = paced;

    const std::uint64_t blocks = static_cast<std::uint64_t>(seconds * sample_rate / BLOCK_LEN) + 1;
    const std::uint64_t div = static_cast<std::uint64_t>(SERVER_RATE / sample_rate);
    const auto start = std::chrono::steady_clock::now();
    server.run(blocks * BLOCK_LEN * div);
    if (!wait_for_quiet(3600 * 1000))
        std::fprintf(stderr, "timed out\n");
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    audio_lock();
    const std::uint64_t done = jobs_completed;
    const std::uint64_t skipped = blocks_skipped;
    audio_unlock();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double audio_seconds = static_cast<double>(done * BLOCK_LEN) / sample_rate;
    std::printf("rate %d Hz, window %llu, workers %d: %llu jobs (%llu skipped) in %.2f s: "
                "%.1f jobs/s, real-time factor %.2f, peak RSS %.0f MiB\n",
                sample_rate, static_cast<unsigned long long>(window_size), worker_count,
                static_cast<unsigned long long>(done), static_cast<unsigned long long>(skipped), wall,
                static_cast<double>(done) / wall, audio_seconds / wall, usage.ru_maxrss / 1024.0);
    return 0;
}
