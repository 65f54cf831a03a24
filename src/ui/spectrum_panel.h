// The spectrum page: command buttons, decay selector, fine tuning,
// sensitivity, note read-out, text log, the band view and the graph view,
// and the zoom stack that picks the part of correlation_sum the graph shows.
// Main (toolkit) thread only.
//
// Settings written here: freeze_flag, record_flag and sensitivity under
// audio_mutex; decay_factor under result_mutex; tuning_factor without a lock
// (atomic). No slot holds both global locks.
#pragma once

#include <QWidget>

#include <cstdint>

class OrvBand;
class OrvButtonMap;
class OrvGraph;
class QGridLayout;
class QLabel;
class QPlainTextEdit;
class QSlider;
class QSpinBox;

// A window of correlation_sum indices, both ends included:
// first <= last <= window_size - 1. Index i stands for a delay of
// window_size - 1 - i samples, so the left end is the largest delay.
struct ZoomRange {
    std::uint64_t first;
    std::uint64_t last;

    bool operator==(const ZoomRange &) const = default;
};

constexpr int ZOOM_DEPTH = 8;

enum class ZoomKind { left, middle, right };

// The zoom operations on a stack of ZOOM_DEPTH windows, current one at
// level. Pure. A push at the deepest level drops the oldest window; no
// window ever becomes empty. Zoom out at level 0 restores {0, full - 1}.
void zoom_in(ZoomRange *zoom, std::uint8_t &level, ZoomKind kind);
void zoom_out(ZoomRange *zoom, std::uint8_t &level, std::uint64_t full);

// decay_factor for decay choice k (0 = "OFF" .. 6 = "1/256"). Pure.
double decay_for_choice(int k);

class OrvSpectrum : public QWidget {
    Q_OBJECT

public:
    // Parentless; reads window_size, which must be fixed by now. Starts the
    // two views' repaint timers and runs none of the slots.
    OrvSpectrum();

    ZoomRange zoom[ZOOM_DEPTH];       // stack of lag windows, entry 0 outermost
    std::uint8_t zoom_level;          // 0..7: the graph shows zoom[zoom_level]
    QGridLayout *main_grid;           // layout of the page
    QGridLayout *side_grid;           // layout of side_panel
    QLabel *note_label;               // note read-out, written by band_view
    QWidget *side_panel;              // right-hand column
    OrvBand *band_view;
    OrvGraph *graph_view;
    QPlainTextEdit *text_log;         // receives handle_append_text and click texts
    QSpinBox *tuning_box;             // fine tuning in 1/1000 semitone, -999..999
    QSlider *sensitivity_slider;      // sensitivity exponent 0..31
    OrvButtonMap *decay_map;          // decay selector

    // The zoom window the views show now.
    const ZoomRange &current_zoom() const { return zoom[zoom_level]; }

signals:
    // A line for text_log; the band view emits it while recording.
    void handle_append_text(const QString &text);

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

protected:
    void closeEvent(QCloseEvent *event) override;
};
