// Takes the pictures in docs/: the whole program in this process against a
// private JACK server (dummy driver, 48000 Hz) with its outputs looped back
// into its inputs, as in the demo, driven through its own controls.
//
//     orvel_screenshots DIR
#include "app/startup.h"
#include "audio/block_assembler.h"
#include "audio/rate_conversion.h"
#include "siggen/generator.h"
#include "support/jack_server.h"
#include "support/qt_app.h"
#include "ui/button_map.h"
#include "ui/main_window.h"
#include "ui/siggen_panel.h"
#include "ui/spectrum_panel.h"

#include <QApplication>
#include <QPushButton>
#include <QScrollBar>
#include <QSlider>
#include <QTest>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

QString out_dir;

void click(QWidget *widget)
{
    QTest::mouseClick(widget, Qt::LeftButton);
}

void press(OrvSpectrum *spectrum, const char *text, int times = 1)
{
    QPushButton *button = button_with_text(*spectrum, text);
    for (int i = 0; i < times && button; i++)
        click(button);
}

// Let a window's worth of the current sound through the analysis.
void settle(const Engine &engine)
{
    QTest::qWait(int(engine.window_size() * 1000 / static_cast<std::uint64_t>(engine.sample_rate())) + 1500);
}

bool shoot(OrvMainWindow *window, const char *name, QSize size)
{
    window->resize(size);
    QTest::qWait(1100);   // layout, then two repaints
    const QString path = out_dir + "/" + name + ".png";
    const bool saved = window->grab().save(path);
    std::fprintf(stderr, "%s %s\n", saved ? "wrote" : "could not write", qPrintable(path));
    return saved;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: orvel_screenshots DIR\n");
        return 2;
    }
    out_dir = argv[1];
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    JackServer server;
    if (!server.running()) {
        std::fprintf(stderr, "orvel_screenshots: jackd did not start\n");
        return 1;
    }

    QtApp qt;
    int exit_status = 0;
    const std::unique_ptr<OrvelProgram> program = start_orvel(qt.argc, qt.argv, exit_status);
    if (!program)
        return 1;
    OrvMainWindow *main_window = program->window.get();
    const Engine &engine = program->analysis->engine;
    JackPeer patch("patch");
    patch.connect("orvel:output_1", "orvel:input_1");
    patch.connect("orvel:output_2", "orvel:input_2");

    const QSize normal = main_window->sizeHint().expandedTo(QSize(1000, 640));
    const QSize large(1600, 1000);
    OrvSigGen *generator = main_window->siggen_page;
    OrvSpectrum *spectrum = main_window->spectrum_page;
    bool ok = true;

    // Delay: noise out, the output as the main channel, the input correlated.
    click(&main_window->siggen_button);
    click(generator->output_0_map->buttons[SOURCE_WHITE_NOISE]);
    click(generator->main_input_map->buttons[CHANNEL_OUTPUT_0]);
    ok &= shoot(main_window, "generator", normal);
    ok &= shoot(main_window, "generator-large", large);
    click(&main_window->config_button);
    ok &= shoot(main_window, "config", normal);
    click(&main_window->spectrum_button);
    settle(engine);
    ok &= shoot(main_window, "delay", normal);
    ok &= shoot(main_window, "delay-large", large);
    press(spectrum, "Zoom\nRight", 5);
    ok &= shoot(main_window, "delay-zoomed", normal);
    press(spectrum, "Reset");

    // A tone: a cosine at 440 Hz, recorded into the log.
    click(&main_window->siggen_button);
    generator->band_pass_box->scroll_bar->setValue(440);
    click(generator->output_0_map->buttons[SOURCE_COSINE]);
    click(&main_window->spectrum_button);
    click(spectrum->decay_map->buttons[2]);
    // Name only the tone in the log, not the weak leakage around it.
    spectrum->sensitivity_slider->setValue(21);
    settle(engine);
    press(spectrum, "Toggle\nRecord");
    QTest::qWait(2100);
    press(spectrum, "Toggle\nRecord");
    ok &= shoot(main_window, "tone", normal);
    ok &= shoot(main_window, "tone-large", large);

    // The tuner on a tone a little sharp, 441 Hz (A4 and 3.9 cents), loud
    // enough to pass its gate: 2^24 times 2^(96 / 16) is 2^30, -6 dBFS.
    click(&main_window->siggen_button);
    generator->band_pass_box->scroll_bar->setValue(441);
    generator->level_box->scroll_bar->setValue(96);
    click(&main_window->tuner_button);
    settle(engine);
    ok &= shoot(main_window, "tuner", normal);

    main_window->close();
    return ok ? 0 : 1;
}
