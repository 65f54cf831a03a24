// The whole analysis pipeline as fast as it goes: noise plus a 440 Hz tone
// fed through the sample exchange in server periods, analysed by the real
// assembler, workers and collector. For the fast kernels and then the
// literal ones (each in a process of its own, so that
// the stages' processor times are the path's alone), prints jobs per second, the real-time factor (seconds of
// audio analysed per second of wall time), the processor time per job of
// each stage and the peak RSS.
//
//   pipeline_bench [-r rate] [-w window] [-n workers] [-s seconds of audio] [-p]
//                  [--fast | --literal]
// -p feeds at real time as a server would; an analysis slower than that
// then skips blocks at the bound on jobs in flight. --fast or --literal
// measures one path only.
#include "audio/analysis.h"
#include "engine/command_line.h"
#include "support/engine_fixture.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <cstring>
#include <map>
#include <string>

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

// Processor seconds used so far by this process's threads, by thread name.
std::map<std::string, double> thread_seconds()
{
    std::map<std::string, double> seconds;
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    DIR *tasks = opendir("/proc/self/task");
    if (tasks == nullptr)
        return seconds;
    while (const dirent *entry = readdir(tasks)) {
        if (entry->d_name[0] == '.')
            continue;
        const std::string task = std::string("/proc/self/task/") + entry->d_name;
        const std::string path = task + "/stat";
        FILE *file = std::fopen(path.c_str(), "r");
        if (file == nullptr)
            continue;
        char line[1024] = {};
        const std::size_t length = std::fread(line, 1, sizeof line - 1, file);
        std::fclose(file);
        line[length] = '\0';
        // "tid (name) state ppid ..."; utime and stime are fields 14 and 15.
        const char *open = std::strchr(line, '(');
        const char *close = std::strrchr(line, ')');
        if (open == nullptr || close == nullptr)
            continue;
        unsigned long utime = 0, stime = 0;
        // schedstat counts nanoseconds on the processor; stat only clock ticks.
        unsigned long long on_cpu = 0;
        if (FILE *sched = std::fopen((task + "/schedstat").c_str(), "r")) {
            if (std::fscanf(sched, "%llu", &on_cpu) == 1) {
                seconds[std::string(open + 1, close)] += static_cast<double>(on_cpu) * 1e-9;
                std::fclose(sched);
                continue;
            }
            std::fclose(sched);
        }
        if (std::sscanf(close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) == 2)
            seconds[std::string(open + 1, close)] += static_cast<double>(utime + stime) / tick;
    }
    closedir(tasks);
    return seconds;
}

using Lanes = double __attribute__((vector_size(64)));
constexpr int ACCUMULATORS = 8;

// Multiply-adds per second one core reaches with independent chains in the
// widest vector unit it has: the ceiling the tone kernel is held against.
__attribute__((target_clones("avx512f", "avx2", "default")))
double peak_multiply_adds()
{
    Lanes acc[ACCUMULATORS];
    for (int k = 0; k < ACCUMULATORS; k++)
        acc[k] = Lanes{} + 1e-3 * (k + 1);
    const Lanes scale = Lanes{} + 0.999999;
    const Lanes add = Lanes{} + 1e-7;
    constexpr long ROUNDS = 50000000;
    const auto start = std::chrono::steady_clock::now();
    for (long r = 0; r < ROUNDS; r++) {
        for (int k = 0; k < ACCUMULATORS; k++)
            acc[k] = acc[k] * scale + add;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double sink = 0.0;
    for (int k = 0; k < ACCUMULATORS; k++)
        sink += acc[k][0];
    if (sink == 42.0)
        std::printf(" ");
    return static_cast<double>(ROUNDS) * ACCUMULATORS * (sizeof(Lanes) / sizeof(double)) / seconds;
}

int measure(const CommandLine &line, double seconds, bool paced, bool literal, double peak_rate)
{
    EngineConfig config = engine_config(line.sample_rate, line.window_request, line.worker_count);
    config.literal_paths = literal;
    if (config.window_size == 0) {
        std::fprintf(stderr, "window too small\n");
        return 1;
    }
    const std::unique_ptr<Analysis> analysis = start_analysis(config);
    Engine &engine = analysis->engine;
    const int sample_rate = engine.sample_rate();
    engine.set_main_channel(CHANNEL_INPUT_0);
    engine.set_corr_channel(CHANNEL_OUTPUT_0);

    ServerStandIn server(*analysis);
    server.input_0 = noise_and_tone;
    server.input_1 = noise;
    server.output_0 = [](std::uint64_t k) { return noise(k * 7919) * FULL_SCALE / 256; };
    // Keep the jobs in flight at their bound, so nothing is skipped and no worker idles.
    server.max_jobs_in_flight = paced ? 0 : engine.job_limit();
    server.real_time = paced;
    server.keep_played = false;

    const std::uint64_t blocks = static_cast<std::uint64_t>(seconds * sample_rate / BLOCK_LEN) + 1;
    const std::uint64_t div = static_cast<std::uint64_t>(SERVER_RATE / sample_rate);
    const std::uint64_t samples_before = engine.tone_samples_measured();
    const std::map<std::string, double> before = thread_seconds();
    const auto start = std::chrono::steady_clock::now();
    server.run(blocks * BLOCK_LEN * div);
    if (!wait_for_quiet(*analysis, 3600 * 1000))
        std::fprintf(stderr, "timed out\n");
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::map<std::string, double> after = thread_seconds();
    const std::uint64_t tone_samples = engine.tone_samples_measured() - samples_before;

    const JobCounts counts = engine.job_counts();
    const std::uint64_t skipped = counts.skipped;
    const std::uint64_t analysed = counts.completed - skipped;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double audio_seconds = static_cast<double>(counts.completed * BLOCK_LEN) / sample_rate;
    std::printf("%-7s rate %5d Hz, window %6llu, workers %d: %6llu jobs (%llu skipped) in %6.2f s: "
                "real-time factor %7.2f, peak RSS %4.0f MiB; ms of processor per job:",
                literal ? "literal" : "fast", sample_rate, static_cast<unsigned long long>(engine.window_size()),
                engine.workers(), static_cast<unsigned long long>(counts.completed),
                static_cast<unsigned long long>(skipped), wall, audio_seconds / wall, usage.ru_maxrss / 1024.0);
    for (const char *stage : {"orvel-correlate", "orvel-tone", "orvel-collector", "orvel-assembler"}) {
        const auto it = before.find(stage);
        const double used = after.count(stage) ? after.at(stage) - (it == before.end() ? 0.0 : it->second) : 0.0;
        std::printf(" %s %.3f", stage + 6, analysed ? 1000.0 * used / static_cast<double>(analysed) : 0.0);
    }
    // Each sample of a probe is two multiply-adds (cosine and sine sums).
    if (analysed != 0 && after.count("orvel-tone")) {
        const double tone_seconds = after.at("orvel-tone") - (before.count("orvel-tone") ? before.at("orvel-tone") : 0.0);
        const double per_job = static_cast<double>(tone_samples) / static_cast<double>(analysed);
        std::printf("; tone kernel %.2f M samples per job, %.3f ns per sample", per_job / 1e6,
                    1e9 * tone_seconds / static_cast<double>(tone_samples));
        if (peak_rate > 0.0)
            std::printf(", %.0f %% of the peak multiply-add rate", 100.0 * 2.0 * static_cast<double>(tone_samples) / tone_seconds / peak_rate);
    }
    std::printf("\n");
    std::fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    double seconds = 20.0;
    bool paced = false;  // feed at real time, as a server does, instead of flat out
    bool fast = true;
    bool literal = true;
    std::vector<char *> engine_args = {argv[0]};
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg == "-s" && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else if (arg == "-p")
            paced = true;
        else if (arg == "--fast")
            literal = false;
        else if (arg == "--literal")
            fast = false;
        else
            engine_args.push_back(argv[i]);
    }
    const CommandLine line = parse_command_line(static_cast<int>(engine_args.size()), engine_args.data());
    if (line.action != StartupAction::run) {
        print_usage(line);
        return 1;
    }
    const double peak_rate = peak_multiply_adds();
    std::printf("one core: %.2f G multiply-adds per second at its peak\n", peak_rate / 1e9);
    std::fflush(stdout);
    int status = 0;
    for (bool path_literal : {false, true}) {
        if ((path_literal && !literal) || (!path_literal && !fast))
            continue;
        const pid_t child = fork();
        if (child == 0)
            _exit(measure(line, seconds, paced, path_literal, peak_rate));
        int child_status = 0;
        if (child < 0 || waitpid(child, &child_status, 0) != child || child_status != 0)
            status = 1;
    }
    return status;
}
