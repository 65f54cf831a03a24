// The whole program in this process, started as main() starts it, against a
// private JACK server: a delaying loop from output 0 back to input 0, driven
// through the window's own controls, read from the graph's statistics and
// the note read-out.
#include "app/startup.h"
#include "audio/block_assembler.h"
#include "audio/jack_client.h"
#include "audio/rate_conversion.h"
#include "engine/engine_types.h"
#include "siggen/generator.h"
#include "support/jack_server.h"
#include "support/loop_measure.h"
#include "support/qt_app.h"
#include "support/qt_print.h"
#include "ui/button_map.h"
#include "ui/config_panel.h"
#include "ui/graph_view.h"
#include "ui/main_window.h"
#include "ui/siggen_panel.h"
#include "ui/spectrum_panel.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <vector>

namespace {

constexpr jack_nframes_t PERIOD = 256;
constexpr jack_nframes_t LOOP_FRAMES = 1000;

// Let the event loop run until every job made from now on has had a whole
// window of the current sound.
bool wait_for_fresh_results(const Engine &engine)
{
    const std::uint64_t fresh = engine.job_counts().submitted + engine.window_size() / BLOCK_LEN + 2;
    return QTest::qWaitFor([&engine, fresh] { return engine.job_counts().completed >= fresh; }, 60000);
}

// The statistics box as the graph draws it now.
QString graph_statistics(const OrvSpectrum &spectrum)
{
    const Engine &engine = spectrum.engine();
    CorrelationStats stats;
    engine.read_results([&](const ResultView &view) {
        stats = correlation_stats(view.correlation_sum, spectrum.current_zoom(), view.window_size);
    });
    return statistics_text(stats, engine.sample_rate(), 0);
}

void click(QWidget *widget)
{
    QTest::mouseClick(widget, Qt::LeftButton);
}

}  // namespace

TEST(EndToEnd, LoopDelayAndNoteReadThroughTheWindow)
{
    JackServer server(48000, 2, 2, PERIOD);
    ASSERT_TRUE(server.running());

    QtApp qt;
    int exit_status = -1;
    const std::unique_ptr<OrvelProgram> program = start_orvel(qt.argc, qt.argv, exit_status);
    ASSERT_NE(program, nullptr);   // default rate 16000, window 7168
    OrvMainWindow *main_window = program->window.get();
    const Engine &engine = program->analysis->engine;
    // Start-up ends with the configuration page showing the device.
    const OrvDeviceSelection &devices = main_window->config_page->device_selection;
    ASSERT_EQ(devices.input_list.count(), 1);
    EXPECT_EQ(devices.input_list.item(0)->text(), "JACK");
    EXPECT_EQ(devices.output_list.currentRow(), 0);

    DelayLine loop("loop", LOOP_FRAMES);
    ASSERT_TRUE(loop.ok());
    ASSERT_TRUE(patch_delay_loop(loop));

    // Noise out, the output as the main channel, the input correlated with it.
    click(&main_window->siggen_button);
    OrvSigGen *generator = main_window->siggen_page;
    ASSERT_EQ(main_window->page_stack.currentWidget(), generator);
    click(generator->output_0_map->buttons[SOURCE_WHITE_NOISE]);
    click(generator->main_input_map->buttons[CHANNEL_OUTPUT_0]);
    click(generator->corr_input_map->buttons[CHANNEL_INPUT_0]);
    click(&main_window->spectrum_button);

    // The loop takes 1000 frames, and the server adds one period (256) to a
    // signal that leaves a client and comes back to it in the same cycle.
    // At 16000 Hz an engine sample spans 3 frames: input sample j averages
    // frames 3j..3j+2 (centre 3j + 1), while output sample j is played one
    // sample late, ramped in over frames 3j+3..3j+5 and out over 3j+6..3j+7
    // (centre 3j + 5). So the loop delays by (1256 + 4) / 3 = 420 samples
    // exactly: 26.25 ms, 8.92 m. (At 48000 Hz the same reasoning gives 1257.)
    ASSERT_TRUE(wait_for_fresh_results(engine));
    const QString statistics = graph_statistics(*main_window->spectrum_page);
    RecordProperty("statistics", statistics.toStdString());
    EXPECT_TRUE(statistics.contains(QRegularExpression("^MAX :: [0-9.]+dB 420 samples 26.25ms 8.92m\n")))
        << statistics.toStdString();

    // A cosine at 440 Hz on the analysed output reads as A5.
    click(&main_window->siggen_button);
    generator->band_pass_box->scroll_bar->setValue(440);
    click(generator->output_0_map->buttons[SOURCE_COSINE]);
    click(&main_window->spectrum_button);
    ASSERT_TRUE(wait_for_fresh_results(engine));
    // The read-out shows the fresh rows at the page's next tick.
    const QRegularExpression a5("^A5 - (4[34][0-9](\\.[0-9]+)?)Hz\nR=(-?0\\.[0-9]{3})$");
    const QLabel *label = main_window->spectrum_page->note_label;
    EXPECT_TRUE(QTest::qWaitFor([&] { return a5.match(label->text()).hasMatch(); }, 10000));
    const QString note = label->text();
    RecordProperty("note", note.toStdString());
    const QRegularExpressionMatch match = a5.match(note);
    ASSERT_TRUE(match.hasMatch()) << note.toStdString();
    EXPECT_LE(std::abs(match.captured(3).toDouble()), 0.050) << note.toStdString();

    main_window->close();
    EXPECT_FALSE(main_window->isVisible());
}
