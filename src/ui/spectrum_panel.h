// The spectrum page: command buttons, decay selector, fine tuning,
// sensitivity, note read-out, text log, the band view and the graph view,
// and the zoom stack that picks the part of correlation_sum the graph shows.
// Main (toolkit) thread only.
//
// Every 500 ms, shown or not, the page updates the note read-out and the
// fundamental's line under it and, while
// recording and not frozen, logs the newest row's notes and plays them as
// MIDI: recording never depends on what is on screen. The settings go
// through the engine's member functions (toggle_freeze, set_decay_choice
// ...); the page takes no lock itself. The graph view is told the zoom window
// whenever it changes.
#pragma once

#include "engine/readout.h"

#include <QWidget>

#include <cstdint>
#include <optional>

class Analysis;
class Engine;
class JackClient;
class OrvBand;
class OrvButtonMap;
class OrvGraph;
class OrvPushButton;
class QGridLayout;
class QLabel;
class QPlainTextEdit;
class QSlider;
class QSpinBox;
class QTimer;

constexpr int ZOOM_DEPTH = 8;

enum class ZoomKind { left, middle, right };

// The zoom operations on a stack of ZOOM_DEPTH windows, current one at
// level. Pure. A push at the deepest level drops the oldest window; no
// window ever becomes empty. Zoom out at level 0 restores {0, full - 1}.
void zoom_in(ZoomRange *zoom, std::uint8_t &level, ZoomKind kind);
void zoom_out(ZoomRange *zoom, std::uint8_t &level, std::uint64_t full);

// What the page keeps from one start to the next (kept_settings.h); a value
// left out is not restored.
struct SpectrumKept {
    std::optional<int> decay;         // the decay selector's choice, 0 = "OFF"
    std::optional<int> sensitivity;   // exponent 0..31
    std::optional<int> fine_tuning;   // thousandths of a semitone
};

class OrvSpectrum : public QWidget {
    Q_OBJECT

public:
    // Parentless; shows analysis's results and plays recorded rows as MIDI
    // through jack, both of which must outlive it. Starts the two views'
    // repaint timers and its own tick, and runs none of the slots.
    OrvSpectrum(Analysis &analysis, JackClient &jack);
    ~OrvSpectrum() override;  // cuts its children's connections first (child_connections.h)

    ZoomRange zoom[ZOOM_DEPTH];       // stack of lag windows, entry 0 outermost
    std::uint8_t zoom_level;          // 0..7: the graph shows zoom[zoom_level]
    QGridLayout *main_grid;           // layout of the page
    QGridLayout *side_grid;           // layout of side_panel
    QLabel *note_label;               // note read-out of the newest row
    QLabel *fundamental_label;        // the newest row's fundamental, under it; empty when none
    QWidget *side_panel;              // right-hand column
    OrvBand *band_view;
    OrvGraph *graph_view;
    QPlainTextEdit *text_log;         // recorded rows and the views' click texts
    QSpinBox *tuning_box;             // fine tuning in 1/1000 semitone, -2088..1863 (A4 390..490 Hz)
    QSlider *sensitivity_slider;      // sensitivity exponent 0..31
    OrvButtonMap *decay_map;          // decay selector
    OrvPushButton *freeze_button;     // "Toggle Freeze": checked and raised while frozen
    OrvPushButton *record_button;     // "Toggle Record": checked and raised while recording
    QTimer *tick;                     // child timer, 500 ms: read-out and recording

    // The engine whose results the page shows.
    Engine &engine() const { return engine_; }

    // The zoom window the views show now.
    const ZoomRange &current_zoom() const { return zoom[zoom_level]; }

    // Every value kept, as the controls show it.
    SpectrumKept kept_state() const;
    // Each value given goes into its control, which tells the engine as the
    // user's change would: a decay the selector lacks is passed over, a
    // value out of a control's range brought into it.
    void restore_state(const SpectrumKept &kept);

public slots:
    void handle_reset();
    void handle_tog_freeze();
    void handle_tog_record();
    void handle_tuning();
    void handle_sensitivity();
    void handle_decay_0(int k);
    void handle_zoom_right();
    void handle_zoom_left();
    void handle_zoom_middle();
    void handle_zoom_out();
    // The read-out of the newest row; while recording and not frozen, the
    // row's notes into the log and as a 50 ms MIDI chord.
    void handle_tick();
    // A click on the strip: the notes of the row back rows before the newest
    // into the log, played as well while recording (frozen or not).
    void handle_row_chosen(int back);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    // The constructor's steps, in the order that makes the focus chain: the
    // read-out labels, the command buttons (into row 1 of main_grid), the
    // settings and the log, then the rest of both grids.
    void make_readouts();
    void make_commands();
    void make_controls();
    void lay_out();
    // Tell the graph view the current zoom window.
    void show_zoom();

    Analysis &analysis_;
    Engine &engine_;
    JackClient &jack_;
};
