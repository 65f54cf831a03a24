// The band view of the spectrum page: the last 129 pitch-class rows as a
// 12-column grey-scale strip, newest at the top, and the note read-out of
// the newest row. While recording and not frozen, each repaint logs the
// newest row's notes and plays them as MIDI. Main (toolkit) thread only.
//
// The paint reads jobs_completed under audio_mutex, then the rows under
// result_mutex, never both at once.
#pragma once

#include "engine/engine_state.h"

#include <QImage>
#include <QString>
#include <QWidget>

#include <cstdint>

class OrvSpectrum;
class QTimer;

constexpr int PITCH_CLASS_COUNT = 12;
constexpr int BAND_STRIP_ROWS = 129;   // rows shown, newest at line 0

// ---- what the paint and the texts are built from (pure) --------------------

// Name of note number n (n mod 12 = 0 is a C): "C5", "B5B", "A5" ...
QString note_name(std::int64_t note);
// The note number (also the MIDI key) of band b: the nearest semitone group,
// plus 9 because group 0 is an A. Band 15360 (440 Hz) is note 69.
std::int64_t note_of_band(std::int64_t band);
// Deviation of band b from its note in semitones, -0.500 .. 0.496.
double band_deviation(std::int64_t band);

struct BandStrip {
    QImage image;      // 12 x 129, opaque; line 0 is the newest row
    double note_band;  // band of the newest row's strongest entry
};

// The strip of the 129 rows ending at row (completed - 1) mod row_count of
// rows (row_count rows of 12), with pitch classes below threshold left
// white. Caller holds result_mutex.
BandStrip build_band_strip(const PitchClassPeak *rows, std::uint64_t row_count,
                           std::uint64_t completed, double threshold);

// The two-line note read-out for note_band: "A5 - 440Hz\nR=0.000".
QString note_readout(double note_band, const double *freqs);

// One row's notes at or above threshold, each with a blank after it, then a
// comment naming the strongest entry: "A5 E6 /* A5 440Hz R=0.000 */".
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

class OrvBand : public QWidget {
    Q_OBJECT

public:
    // Parentless (the panel's layout adopts it); starts the 500 ms repaint
    // timer and turns on mouse tracking.
    explicit OrvBand(OrvSpectrum *spectrum);

    OrvSpectrum *spectrum;   // the owning panel: note_label, text_log, handle_append_text
    QTimer *watchdog;        // child timer, 500 ms, repaints

    // The notes of the row at height y (0 = newest, clamped to the oldest
    // shown). While recording, frozen or not, also queues the row as a
    // 50 ms chord and 50 ms of silence. Takes each global lock in turn.
    QString row_text(int y);
    // The pitch-class name of the column under the event's position.
    QString column_name(QMouseEvent *event);

public slots:
    void handle_watchdog();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
};
