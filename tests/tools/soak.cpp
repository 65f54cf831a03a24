// The program for scripts/soak.sh: Orvel's own start-up and window in this
// process (offscreen), playing white noise on output 0 with "OUTPUT 0" as the
// main channel and "INPUT 0" as the correlation channel, so that a loop from
// output_1 back to input_1 is measured. Every SECONDS, and once more when a
// signal closes the window, one line of figures goes to stderr:
//
//     soak t=12 callbacks=2250 worst_us=41 p999_us=30 completed=560 skipped=0 delay=1257 dry=0 dropped=0
//
// t: seconds since start-up; callbacks, worst_us, p999_us: the process
// callback's own timing so far (callback_timing.h); completed, skipped: jobs
// finished and blocks that made no job; delay: where the correlation peaks,
// in engine samples; dry, dropped: server groups played as silence for a
// late generator, and input groups dropped for a late assembler
// (SampleExchange). With ORVEL_SOAK_FIFO=P in the environment the assembler
// and generator threads run SCHED_FIFO at priority P instead of as they
// start, to measure whether they need it.
//
//     orvel_soak SECONDS [orvel options]
#include "app/startup.h"
#include "audio/block_assembler.h"
#include "audio/callback_timing.h"
#include "engine/engine_types.h"
#include "siggen/generator.h"
#include "support/loop_measure.h"

#include <QApplication>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <sched.h>

namespace {

void print_figures(const OrvelProgram &program, std::chrono::steady_clock::time_point started)
{
    const CallbackDurations durations = program.jack->timing().durations();
    const Engine &engine = program.analysis->engine;
    const JobCounts jobs = engine.job_counts();
    const std::uint64_t skipped = jobs.skipped;

    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started);
    std::fprintf(stderr, "soak t=%lld callbacks=%llu worst_us=%d p999_us=%d completed=%llu skipped=%llu delay=%llu dry=%llu dropped=%llu\n",
                 static_cast<long long>(seconds.count()), static_cast<unsigned long long>(durations.total()),
                 durations.worst_us(), durations.percentile_us(0.999),
                 static_cast<unsigned long long>(jobs.completed), static_cast<unsigned long long>(skipped),
                 static_cast<unsigned long long>(correlation_peak_delay(engine)),
                 static_cast<unsigned long long>(program.analysis->exchange.dry_groups()),
                 static_cast<unsigned long long>(program.analysis->exchange.dropped_groups()));
}

// The named threads of this process to SCHED_FIFO at priority.
void make_fifo(const std::vector<std::string> &names, int priority)
{
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        if (std::find(names.begin(), names.end(), name) == names.end())
            continue;
        const sched_param param{priority};
        const pid_t tid = std::stoi(task.path().filename().string());
        if (sched_setscheduler(tid, SCHED_FIFO, &param) != 0)
            std::perror("orvel_soak: sched_setscheduler");
        else
            std::fprintf(stderr, "orvel_soak: %s at SCHED_FIFO %d\n", name.c_str(), priority);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || std::atoi(argv[1]) <= 0) {
        std::fprintf(stderr, "usage: orvel_soak SECONDS [orvel options]\n");
        return 2;
    }
    const int every_ms = std::atoi(argv[1]) * 1000;
    // What follows SECONDS is the program's own command line.
    argv[1] = argv[0];
    argc--;
    argv++;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    int exit_status = 0;
    const std::unique_ptr<OrvelProgram> program = start_orvel(argc, argv, exit_status);
    if (!program)
        return exit_status;
    const auto started = std::chrono::steady_clock::now();
    if (const char *fifo = std::getenv("ORVEL_SOAK_FIFO"); fifo != nullptr && std::atoi(fifo) > 0)
        make_fifo({"orvel-assembler", "orvel-generator"}, std::atoi(fifo));
    program->generator->set_output_source(0, SOURCE_WHITE_NOISE);
    program->analysis->engine.set_main_channel(CHANNEL_OUTPUT_0);
    program->analysis->engine.set_corr_channel(CHANNEL_INPUT_0);
    QTimer figures;
    QObject::connect(&figures, &QTimer::timeout, [&] { print_figures(*program, started); });
    figures.start(every_ms);
    const int status = app.exec();
    print_figures(*program, started);
    return status;
}
