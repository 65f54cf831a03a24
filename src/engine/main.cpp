// Process entry: the toolkit application, the command line, the engine and
// the audio side, started in a fixed order; then the event loop.
#include "engine/band_table.h"
#include "engine/collector.h"
#include "engine/command_line.h"
#include "engine/correlation.h"
#include "engine/engine_state.h"

#include <err.h>

#include <QApplication>
#include <QIcon>
#include <QThread>
#include <QWidget>

int main(int argc, char **argv)
{
    // First, so the toolkit takes its own options out of argv before getopt.
    QApplication app(argc, argv);

    const CommandLine line = parse_command_line(argc, argv);
    if (line.action == StartupAction::usage) {
        print_usage();
        return line.exit_status;
    }
    sample_rate = line.sample_rate;
    worker_count = line.worker_count;

    engine_init_locks();

    window_size = derive_window_size(line.window_request, sample_rate);
    if (window_size == 0)
        errx(1, "Invalid window size\n");

    QWidget window;
    window.setWindowTitle("Orvel v1.8.3");
    window.setWindowIcon(QIcon(":/orvel.png"));

    // The engine threads start before audio, and wait on their empty queues.
    band_table_setup();
    correlation_setup();
    collector_setup();

    window.show();
    QThread::currentThread()->setPriority(QThread::LowPriority);
    return app.exec();
}
