#include "ui/spectrum_panel.h"
#include "ui/child_connections.h"

#include "audio/analysis.h"
#include "audio/jack_client.h"
#include "engine/engine.h"
#include "engine/temperament.h"
#include "engine/version.h"
#include "ui/band_view.h"
#include "ui/button_map.h"
#include "ui/graph_view.h"
#include "ui/push_button.h"

#include <QCoreApplication>
#include <QGridLayout>
#include <QIcon>
#include <QLabel>
#include <QPlainTextEdit>
#include <QSlider>
#include <QSpinBox>
#include <QTimer>

#include <algorithm>

void zoom_in(ZoomRange *zoom, std::uint8_t &level, ZoomKind kind)
{
    if (level == ZOOM_DEPTH - 1) {
        for (int i = 1; i < ZOOM_DEPTH; i++)
            zoom[i - 1] = zoom[i];
    } else {
        level++;
    }
    const ZoomRange p = zoom[level - 1];
    const std::uint64_t n = p.last + 1 - p.first;
    switch (kind) {
    case ZoomKind::left:
        zoom[level] = {p.first, p.last - (n >> 1)};
        break;
    case ZoomKind::right:
        // For odd n the middle index belongs to both halves.
        zoom[level] = {p.first + (n >> 1), p.last};
        break;
    case ZoomKind::middle:
        zoom[level] = {p.first + (n >> 2), p.last - (n >> 2)};
        break;
    }
}

void zoom_out(ZoomRange *zoom, std::uint8_t &level, std::uint64_t full)
{
    if (level > 0)
        level--;
    else
        zoom[0] = {0, full - 1};
}

namespace {

// Title and choices of the decay selector, as the button map reads them.
const char DECAY_NAMES[] = "Decay selection\0OFF\0" "1/8\0" "1/16\0" "1/32\0" "1/64\0" "1/128\0" "1/256";
constexpr int DECAY_CHOICES = 7;

constexpr int NOTE_FONT_PIXELS = 16;
constexpr int SENSITIVITY_LIMIT = 31;    // threshold 2^31 at most
constexpr int TICK_MS = 500;
constexpr int MIDI_VELOCITY = 90;
constexpr int CHORD_MS = 50;     // each recorded row sounds this long ...
constexpr int REST_MS = 50;      // ... then this much silence

// The row's notes as a chord of CHORD_MS, then REST_MS of silence. A chord
// that does not fit behind those still queued is dropped whole.
void play_notes(MidiOutput &midi, const RowNotes &notes)
{
    midi.queue_chord(0, notes.keys, notes.key_count, MIDI_VELOCITY, CHORD_MS, REST_MS);
}

}  // namespace

OrvSpectrum::OrvSpectrum(Analysis &analysis, JackClient &jack)
    : QWidget(), zoom{}, zoom_level(0), analysis_(analysis), engine_(analysis.engine), jack_(jack)
{
    zoom[0].last = engine_.window_size() - 1;

    main_grid = new QGridLayout(this);
    graph_view = new OrvGraph(engine_);
    band_view = new OrvBand(engine_);

    make_readouts();
    make_commands();
    make_controls();
    lay_out();

    connect(band_view, &OrvBand::row_chosen, this, &OrvSpectrum::handle_row_chosen);
    connect(band_view, &OrvBand::log_line, text_log, &QPlainTextEdit::appendPlainText);
    connect(graph_view, &OrvGraph::log_line, text_log, &QPlainTextEdit::appendPlainText);

    tick = new QTimer(this);
    connect(tick, &QTimer::timeout, this, &OrvSpectrum::handle_tick);
    tick->start(TICK_MS);

    setWindowTitle(tr("Orvel v" ORVEL_VERSION));
    setWindowIcon(QIcon(":/orvel.png"));
}

void OrvSpectrum::make_readouts()
{
    note_label = new QLabel();
    note_label->setAlignment(Qt::AlignCenter);
    QFont note_font = note_label->font();
    note_font.setPixelSize(NOTE_FONT_PIXELS);
    note_label->setFont(note_font);
    fundamental_label = new QLabel();
    fundamental_label->setAlignment(Qt::AlignCenter);
    fundamental_label->setFont(note_font);
    fundamental_label->setAccessibleName(tr("Fundamental"));
    // Keeps its line when empty, and room for the widest line this engine
    // can show, so that nothing moves as the text changes.
    const QFontMetrics metrics(note_font);
    fundamental_label->setMinimumHeight(metrics.height());
    fundamental_label->setMinimumWidth(metrics.horizontalAdvance(widest_fundamental_readout(engine_)));
}

void OrvSpectrum::make_commands()
{
    struct Command {
        const char *text;
        void (OrvSpectrum::*slot)();
        OrvPushButton **kept;   // where the panel keeps the button, or null
    };
    const Command commands[] = {
        {QT_TR_NOOP("Reset"), &OrvSpectrum::handle_reset, nullptr},
        {QT_TR_NOOP("Toggle\nFreeze"), &OrvSpectrum::handle_tog_freeze, &freeze_button},
        {QT_TR_NOOP("Toggle\nRecord"), &OrvSpectrum::handle_tog_record, &record_button},
        {QT_TR_NOOP("Zoom\nLeft"), &OrvSpectrum::handle_zoom_left, nullptr},
        {QT_TR_NOOP("Zoom\nMiddle"), &OrvSpectrum::handle_zoom_middle, nullptr},
        {QT_TR_NOOP("Zoom\nRight"), &OrvSpectrum::handle_zoom_right, nullptr},
        {QT_TR_NOOP("Zoom\nOut"), &OrvSpectrum::handle_zoom_out, nullptr},
    };
    int column = 0;
    for (const Command &command : commands) {
        auto *button = new OrvPushButton(tr(command.text));
        connect(button, &QPushButton::released, this, command.slot);
        main_grid->addWidget(button, 1, column++, 1, 1);
        if (command.kept)
            *command.kept = button;
    }
    // The toggles show their state as a map shows its selection; the engine
    // keeps it, and may have it on already.
    freeze_button->setCheckable(true);
    record_button->setCheckable(true);
    freeze_button->set_selected(engine_.analysis_frozen());
    record_button->set_selected(engine_.recording_on());
}

void OrvSpectrum::make_controls()
{
    tuning_box = new QSpinBox();
    // As far as the tuner page's reference A4 reaches, whose setting it is too.
    tuning_box->setRange(fine_tuning_for_reference(MIN_REFERENCE_A4_HZ), fine_tuning_for_reference(MAX_REFERENCE_A4_HZ));
    tuning_box->setValue(0);
    tuning_box->setPrefix(tr("Fine tuning +/-999: "));
    connect(tuning_box, &QSpinBox::valueChanged, this, &OrvSpectrum::handle_tuning);

    sensitivity_slider = new QSlider();
    sensitivity_slider->setRange(0, SENSITIVITY_LIMIT);
    sensitivity_slider->setValue(0);
    sensitivity_slider->setToolTip(tr("Sensitivity"));
    sensitivity_slider->setAccessibleName(tr("Sensitivity"));
    sensitivity_slider->setOrientation(Qt::Horizontal);
    connect(sensitivity_slider, &QSlider::valueChanged, this, &OrvSpectrum::handle_sensitivity);

    decay_map = new OrvButtonMap(DECAY_NAMES, DECAY_CHOICES, DECAY_CHOICES);
    connect(decay_map, &OrvButtonMap::selectionChanged, this, &OrvSpectrum::handle_decay_0);

    text_log = new QPlainTextEdit();
    text_log->setAccessibleName(tr("Log"));
    // Tab goes on to the next control rather than into the text, so the
    // keyboard is not caught in the log.
    text_log->setTabChangesFocus(true);
}

void OrvSpectrum::lay_out()
{
    side_panel = new QWidget();
    side_grid = new QGridLayout(side_panel);

    main_grid->addWidget(decay_map, 0, 0, 1, 7);
    main_grid->addWidget(side_panel, 0, 7, 4, 1);
    main_grid->addWidget(graph_view, 2, 0, 2, 7);
    main_grid->setRowStretch(2, 2);
    for (int c = 0; c < 7; c++)
        main_grid->setColumnStretch(c, 1);

    side_grid->addWidget(note_label, 1, 0, 1, 1);
    side_grid->addWidget(fundamental_label, 2, 0, 1, 1);
    side_grid->addWidget(tuning_box, 3, 0, 1, 1);
    side_grid->addWidget(sensitivity_slider, 4, 0, 1, 1);
    side_grid->addWidget(band_view, 5, 0, 1, 1);
    side_grid->addWidget(text_log, 6, 0, 1, 1);
    side_grid->setRowStretch(5, 1);
}

SpectrumKept OrvSpectrum::kept_state() const
{
    return {decay_map->selection, sensitivity_slider->value(), tuning_box->value()};
}

void OrvSpectrum::restore_state(const SpectrumKept &kept)
{
    if (kept.decay && *kept.decay >= 0 && *kept.decay < decay_map->button_count)
        decay_map->handle_released(*kept.decay);
    if (kept.sensitivity)
        sensitivity_slider->setValue(*kept.sensitivity);
    if (kept.fine_tuning)
        tuning_box->setValue(*kept.fine_tuning);
}

void OrvSpectrum::handle_reset()
{
    zoom[0] = {0, engine_.window_size() - 1};
    zoom_level = 0;
    show_zoom();
    analysis_.reset();
}

void OrvSpectrum::handle_tog_freeze()
{
    engine_.toggle_freeze();
    freeze_button->set_selected(engine_.analysis_frozen());
}

void OrvSpectrum::handle_tog_record()
{
    engine_.toggle_record();
    record_button->set_selected(engine_.recording_on());
    // Nothing recorded may go on sounding.
    if (!engine_.recording_on())
        jack_.end_notes();
}

void OrvSpectrum::handle_tuning()
{
    engine_.set_fine_tuning(tuning_box->value());
}

void OrvSpectrum::handle_sensitivity()
{
    engine_.set_sensitivity(sensitivity_slider->value());
    band_view->update();
}

void OrvSpectrum::handle_decay_0(int k)
{
    engine_.set_decay_choice(k);
}

void OrvSpectrum::handle_tick()
{
    PitchClassPeak row[PITCH_CLASS_COUNT];
    FundamentalReading fundamental;
    copy_pitch_class_row(engine_, 0, row, &fundamental);
    if (engine_.recording_on() && !engine_.analysis_frozen()) {
        const RowNotes notes = row_notes(row, sensitivity_threshold(engine_.current_sensitivity()), engine_.band_freq());
        play_notes(jack_.midi(), notes);
        text_log->appendPlainText(notes.text);
    }
    note_label->setText(note_readout(row_note_reading(row, engine_.band_freq())));
    fundamental_label->setText(fundamental_readout(fundamental));
}

void OrvSpectrum::handle_row_chosen(int back)
{
    PitchClassPeak row[PITCH_CLASS_COUNT];
    copy_pitch_class_row(engine_, back, row);
    const RowNotes notes = row_notes(row, sensitivity_threshold(engine_.current_sensitivity()), engine_.band_freq());
    if (engine_.recording_on())
        play_notes(jack_.midi(), notes);
    text_log->appendPlainText(notes.text);
}

void OrvSpectrum::handle_zoom_right()
{
    zoom_in(zoom, zoom_level, ZoomKind::right);
    show_zoom();
}

void OrvSpectrum::handle_zoom_left()
{
    zoom_in(zoom, zoom_level, ZoomKind::left);
    show_zoom();
}

void OrvSpectrum::handle_zoom_middle()
{
    zoom_in(zoom, zoom_level, ZoomKind::middle);
    show_zoom();
}

void OrvSpectrum::handle_zoom_out()
{
    zoom_out(zoom, zoom_level, engine_.window_size());
    show_zoom();
}

void OrvSpectrum::show_zoom()
{
    graph_view->set_zoom(current_zoom());
}

void OrvSpectrum::closeEvent(QCloseEvent *)
{
    QCoreApplication::exit(0);
}

OrvSpectrum::~OrvSpectrum()
{
    disconnect_children(this);
}
