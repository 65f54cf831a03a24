// The band view of the spectrum page: the last 129 pitch-class rows as a
// 12-column grey-scale strip, newest at the top. Its paint only draws; what a
// click asks for leaves as a signal, for the panel to log or play. Main
// (toolkit) thread only.
//
// Also the texts built from a row: the note read-out, the row's notes with
// their MIDI keys, and the column names.
#pragma once

#include "engine/engine.h"
#include "engine/pitch.h"
#include "engine/readout.h"

#include <QImage>
#include <QString>
#include <QWidget>

#include <cstdint>

class QTimer;

constexpr int BAND_STRIP_ROWS = 129;   // rows shown, newest at line 0

// ---- what the paint and the texts are built from (pure) --------------------

// The strip (12 x 129, opaque, line 0 the newest) of view's pitch-class
// rows, line y showing view.job_back(y), with pitch classes below threshold
// left white. Caller holds the rows still (read_results).
QImage build_band_strip(const ResultView &view, double threshold);

// The two-line note read-out: "A5 - 440Hz\nR=0.000", and "-" for a reading
// that names no note (silence).
QString note_readout(const NoteReading &reading);
QString note_readout(double note_band, const double *freqs);

// The fundamental's line under it: "Fundamental A2 - 110.002Hz -1.2 cents",
// empty when there is none.
QString fundamental_readout(const FundamentalReading &reading);

// The longest fundamental line engine can show: the top octave's names at
// the highest frequency its grid reaches with a fine tuning up, -50.0 cents.
QString widest_fundamental_readout(const Engine &engine);

// One row's notes at or above threshold, each with a blank after it, then a
// comment naming the strongest entry: "A5 E6 /* A5 440Hz R=0.000 */", or
// "/* - */" on silence.
struct RowNotes {
    QString text;
    int keys[PITCH_CLASS_COUNT];   // MIDI keys of the notes named, in order
    int key_count;
};
RowNotes row_notes(const PitchClassPeak *row, double threshold, const double *freqs);

// Pitch-class name of the column at x in a strip width pixels wide, always
// with octave 5; any x picks one of the twelve.
QString column_note_name(int x, int width);

// Level threshold 2^sensitivity, exact for 0..31.
double sensitivity_threshold(int sensitivity);

// Copies the pitch-class row back rows before the newest finished one
// (0 = newest) into row (PITCH_CLASS_COUNT entries), and its fundamental
// into fundamental unless null, both from one read_results.
void copy_pitch_class_row(const Engine &engine, int back, PitchClassPeak *row,
                          FundamentalReading *fundamental = nullptr);

// The row a click at height y of a strip height pixels tall stands for:
// 0 = newest, clamped to the oldest shown (128).
int row_at_height(int y, int height);

class OrvBand : public QWidget {
    Q_OBJECT

public:
    // Parentless (the panel's layout adopts it); shows engine's rows, which
    // must outlive it. Starts the 500 ms repaint timer and turns on mouse
    // tracking. Assistive technology finds it as a chart named "Pitch
    // classes" (view_accessible.h).
    explicit OrvBand(const Engine &engine);

    QTimer *watchdog;        // child timer, 500 ms: repaints, and announces a new text

    // The pitch-class name of the column under the event's position.
    QString column_name(QMouseEvent *event);

    // The newest row's notes above the sensitivity with the strongest named,
    // as a click on the top row logs them: what assistive technology reads.
    QString shown_text();

    QString announced_text;  // the text assistive technology was last told of

signals:
    // Left click: the row back rows before the newest (0 = newest).
    void row_chosen(int back);
    // Middle click: the column's name; right click: an empty line.
    void log_line(const QString &text);

public slots:
    void handle_watchdog();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    // Reads the sensitivity and the rows through the engine's functions;
    // draws the strip.
    void paintEvent(QPaintEvent *event) override;

private:
    const Engine &engine_;
};
