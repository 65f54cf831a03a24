// The signal generator page: which analysis channels the block assembler
// forms (the engine's main and correlated channel), which source each
// output plays (the generator's), and the three sliders the band-pass kernel, the
// amplitude and the cosine step are designed from (filter_design.h).
// Main (toolkit) thread only. Every control takes effect at once through its
// owner's member function (Engine::set_main_channel, set_corr_channel,
// Generator::set_output_source, apply_filter_design); the page takes no lock
// itself.
#pragma once

class Engine;
class Generator;

#include <QGroupBox>
#include <QWidget>

#include <optional>

class OrvButtonMap;
class QGridLayout;
class QScrollBar;

// 20 log10 of the amplitude factor 2^(level / 16), rounded down to 0.1 dB,
// as the level box shows it. Pure.
double level_decibels(int level);

// The three slider boxes: each holds one horizontal scroll bar, and its title
// shows the scroll bar's value. Tab reaches the scroll bars and the arrow,
// page, Home and End keys move them.
// Each is built parentless at its initial value and emits nothing while
// built; after that every change of the value retitles the box and comes out
// as valueChanged(value).
class OrvBandPassBox : public QGroupBox {
    Q_OBJECT

public:
    // Centre frequency, 1 .. rate / 2 Hz, from rate / 4 (rate: the engine's).
    explicit OrvBandPassBox(int rate);

    // The title for a centre frequency of value Hz.
    static QString title_text(int value);

    QScrollBar *scroll_bar;   // centre frequency in Hz
    QGridLayout *box_grid;    // the box's layout, holding scroll_bar

signals:
    void valueChanged(int value);

public slots:
    void handle_value_changed(int value);
};

class OrvBandWidthBox : public QGroupBox {
    Q_OBJECT

public:
    // Band width, 1 .. rate Hz, from 20 (rate: the engine's).
    explicit OrvBandWidthBox(int rate);

    // The title for a band width of value Hz.
    static QString title_text(int value);

    QScrollBar *scroll_bar;   // band width in Hz
    QGridLayout *box_grid;    // the box's layout, holding scroll_bar

signals:
    void valueChanged(int value);

public slots:
    void handle_value_changed(int value);
};

class OrvNoiselevelBox : public QGroupBox {
    Q_OBJECT

public:
    // Signal level in steps of 1/16 octave of amplitude, -256 .. 256,
    // from -64.
    OrvNoiselevelBox();

    // The title for level value, in decibels (level_decibels).
    static QString title_text(int value);

    QScrollBar *scroll_bar;   // level; amplitude factor 2^(value / 16)
    QGridLayout *box_grid;    // the box's layout, holding scroll_bar

signals:
    void valueChanged(int value);

public slots:
    void handle_value_changed(int value);
};

// What the page keeps from one start to the next (kept_settings.h); a value
// left out is not restored.
struct SigGenKept {
    std::optional<int> main_input;    // the maps' selections, as their indices
    std::optional<int> corr_input;
    std::optional<int> output_0;
    std::optional<int> output_1;
    std::optional<int> centre_hz;     // the three sliders' values
    std::optional<int> width_hz;
    std::optional<int> level;
};

class OrvSigGen : public QWidget {
    Q_OBJECT

public:
    // Parentless; sets engine's channels and generator's sources and sound,
    // both of which must outlive it. Publishes the generator parameters for
    // the sliders' initial values, so the generator can start after this.
    // The maps start at index 0, as the engine's selections do, so nothing
    // else is written.
    OrvSigGen(Engine &engine, Generator &generator);
    ~OrvSigGen() override;  // cuts its children's connections first (child_connections.h)

    QGridLayout *page_grid;             // the page's layout
    OrvButtonMap *main_input_map;       // the engine's main channel, CHANNEL_* order
    OrvButtonMap *corr_input_map;       // the engine's correlated channel, CHANNEL_* order
    OrvButtonMap *output_0_map;         // the generator's output 0 source, SOURCE_* order
    OrvButtonMap *output_1_map;         // the generator's output 1 source, SOURCE_* order
    OrvBandPassBox *band_pass_box;      // centre frequency in Hz
    OrvBandWidthBox *band_width_box;    // band width in Hz
    OrvNoiselevelBox *level_box;        // signal level, 1/16 octave steps

    // Every value kept, as the controls show it.
    SigGenKept kept_state() const;
    // Each value given goes into its control, which tells the engine or the
    // generator as the user's change would: an index a map lacks is passed
    // over, a slider value brought into the slider's range (the engine rate
    // sets it).
    void restore_state(const SigGenKept &kept);

public slots:
    // Hand the selected index to the engine or the generator.
    void handle_source_0(int channel);
    void handle_source_1(int channel);
    void handle_output_0(int source);
    void handle_output_1(int source);
    // Design from all three slider values and publish kernel, level and
    // cosine step; the argument is ignored.
    void handle_filter_0(int);

private:
    Engine &engine_;
    Generator &generator_;
};
