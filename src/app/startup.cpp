#include "app/startup.h"

#include "app/audio_start.h"
#include "app/close_on_signal.h"
#include "audio/audio_device.h"
#include "audio/jack_client.h"
#include "engine/band_table.h"
#include "engine/collector.h"
#include "engine/command_line.h"
#include "engine/correlation.h"
#include "engine/engine_state.h"
#include "ui/main_window.h"

#include <err.h>

#include <QThread>

OrvMainWindow *main_window = nullptr;

namespace {

// Whether the command line lets the program go on; if not, says why (or
// prints what was asked for) and sets exit_status. A window too small ends
// the process.
bool command_line_lets_us_run(const CommandLine &line, int &exit_status)
{
    switch (line.action) {
    case StartupAction::run:
        break;
    case StartupAction::usage:
        print_usage(line);
        exit_status = line.exit_status;
        return false;
    case StartupAction::help:
        print_help();
        exit_status = 0;
        return false;
    case StartupAction::version:
        print_version();
        exit_status = 0;
        return false;
    }
    if (derive_window_size(line.window_request, line.sample_rate) == 0)
        errx(1, "Invalid window size\n");
    return true;
}

}  // namespace

bool answer_command_line(int argc, char **argv, int &exit_status)
{
    return command_line_lets_us_run(parse_own_options(argc, argv), exit_status);
}

bool start_orvel(int argc, char **argv, int &exit_status)
{
    const CommandLine line = parse_command_line(argc, argv);
    if (!command_line_lets_us_run(line, exit_status))
        return false;
    sample_rate = line.sample_rate;
    worker_count = line.worker_count;

    engine_init_locks();

    window_size = derive_window_size(line.window_request, sample_rate);

    audio_init();
    // Never deleted: the window lives as long as the process.
    main_window = new OrvMainWindow();

    // The engine threads start before audio, and wait on their empty queues.
    band_table_setup();
    correlation_setup();
    collector_setup();
    close_on_signal(main_window);
    audio_start();
    if (close_requested()) {
        exit_status = 0;
        return false;
    }

    main_window->show();
    QThread::currentThread()->setPriority(QThread::LowPriority);
    return true;
}
