// Process entry: the toolkit application, the command line, the engine and
// the audio side, started in a fixed order; then the event loop.
#include "audio/audio_device.h"
#include "audio/jack_client.h"
#include "audio/midi_output.h"
#include "engine/band_table.h"
#include "engine/collector.h"
#include "engine/command_line.h"
#include "engine/correlation.h"
#include "engine/engine_state.h"
#include "siggen/filter_design.h"
#include "ui/close_on_signal.h"

#include <err.h>

#include <QApplication>
#include <QCloseEvent>
#include <QIcon>
#include <QThread>
#include <QWidget>

namespace {

// Stands in for the main window: closing it takes the client off the server.
class StandInWindow : public QWidget {
protected:
    void closeEvent(QCloseEvent *) override
    {
        audio_stop();
        QCoreApplication::exit(0);
    }
};

// The generator page's sliders start at these values.
constexpr int INITIAL_WIDTH_HZ = 20;
constexpr int INITIAL_LEVEL = -64;

}  // namespace

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

    audio_init();
    StandInWindow window;
    window.setWindowTitle("Orvel v1.8.3");
    window.setWindowIcon(QIcon(":/orvel.png"));
    apply_filter_design(sample_rate / 4, INITIAL_WIDTH_HZ, INITIAL_LEVEL);

    // The engine threads start before audio, and wait on their empty queues.
    band_table_setup();
    correlation_setup();
    collector_setup();
    midi_start();
    close_on_signal(&window);
    audio_start();
    if (close_requested())
        return 0;

    window.show();
    QThread::currentThread()->setPriority(QThread::LowPriority);
    return app.exec();
}
