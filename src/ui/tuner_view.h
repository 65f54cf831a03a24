// The tuner page's display: the note being played in large letters, its
// octave, its frequency and its deviation, as a needle on a +/-50 cent scale
// with the in-tune zone in green and as a strobe whose stripes drift right
// when sharp and left when flat. Names are the musicians' (scientific pitch
// notation: A4 = 440 Hz is MIDI key 69), one octave below the spectrum
// page's band names (A5 there).
//
// What is shown is built by pure functions from plain data, which the tests
// call: the reading from the newest result rows, the strobe's motion, and
// the picture's texts and rectangles for a widget size. The view only draws
// what its owner (the tuner page) last gave it. Main (toolkit) thread only
// for the widget; the functions are pure, any thread.
#pragma once

#include "engine/engine_types.h"
#include "engine/temperament.h"

#include <QRect>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <vector>

// ---- settings and their ranges ---------------------------------------------

// Steadiness: the reading is a median over this many newest rows, 1 the
// fastest (a row every 1024 engine samples: 21 ms at 48000 Hz, 64 ms at
// 16000 Hz), MAX_STEADINESS the steadiest (a second at 16000 Hz).
constexpr int MIN_STEADINESS = 1;
constexpr int MAX_STEADINESS = 15;
constexpr int DEFAULT_STEADINESS = 5;
// The level gate, dBFS of the newest input block: below it, no note.
constexpr double MIN_GATE_DBFS = -90.0;
constexpr double MAX_GATE_DBFS = -20.0;
constexpr double DEFAULT_GATE_DBFS = -60.0;
// The in-tune zone, +/- cents.
constexpr double MIN_IN_TUNE_CENTS = 0.5;
constexpr double MAX_IN_TUNE_CENTS = 10.0;
constexpr double DEFAULT_IN_TUNE_CENTS = 2.0;

struct TunerSettings {
    int steadiness = DEFAULT_STEADINESS;          // rows in the median, MIN_STEADINESS .. MAX_STEADINESS
    double gate_dbfs = DEFAULT_GATE_DBFS;         // dBFS
    double in_tune_cents = DEFAULT_IN_TUNE_CENTS; // +/- cents
    int written = 0;                              // transposition: written minus concert, semitones
    NoteTuning tuning;                            // temperament (or Scala scale) on its tonic
};

// ---- the reading (pure) -------------------------------------------------------

struct TunerReading {
    bool found = false;             // false: silence, noise or below the gate; "-" is shown
    std::int64_t key = 0;           // concert-pitch key as the tuning places it
    std::int64_t written_key = 0;   // key + the transposition: the name shown
    double cents = 0.0;             // deviation from key's placed pitch
    double hz = 0.0;                // the sound's own frequency
    bool in_tune = false;           // |cents| within the in-tune zone
};

// The reading from the newest rows' fundamentals (newest_first[0] the newest
// final row, count of them, rows that are not final given as not found) and
// the newest input block's level. No note when the newest row has none or
// the level is below the gate, so an ended note is never held. Otherwise,
// of the found rows among the newest settings.steadiness, the key of the
// median band (the lower middle one, a real row's) and the median cents and
// Hz of the found rows placed on that key.
TunerReading tuner_reading(const FundamentalReading *newest_first, int count, double level_dbfs,
                           const TunerSettings &settings);

// The RMS level in dBFS of the newest BLOCK_LEN samples of an input history
// ring (length samples, ring units, next where the next block goes);
// -infinity for silence.
double input_level_dbfs(const double *history, std::uint64_t length, std::uint64_t next);

// The texts: the written note's letter ("B\u266d", "-" for no note), its
// octave ("3", empty), the frequency ("440.00 Hz", empty), the deviation
// ("+3.2 cents", "-0.4 cents", "0.0 cents", empty), and what a screen reader
// says ("A4, 3.2 cents sharp", "B flat 3, in tune", "No note").
QString tuner_letter_text(const TunerReading &reading);
QString tuner_octave_text(const TunerReading &reading);
QString tuner_hz_text(const TunerReading &reading);
QString tuner_cents_text(const TunerReading &reading);
QString tuner_spoken_text(const TunerReading &reading);

// ---- the strobe (pure) --------------------------------------------------------

// A stripe and a gap, in pixels.
constexpr double STROBE_PERIOD_PX = 48.0;
// 30 px/s a cent: a tenth of a cent drifts 3 px/s, a stripe's own width in
// 8 s, which the eye sees against the still frame.
constexpr double STROBE_PX_PER_SECOND_PER_CENT = 30.0;
// Faster than this the stripes would jump half a period between frames and
// seem to turn back; beyond it the needle tells more.
constexpr double STROBE_MAX_CENTS = 20.0;
// Below this the page shows 0.0 cents, and the strobe stands still with it.
constexpr double STROBE_STILL_CENTS = 0.05;

// The stripes' speed in px/s, right (positive) when sharp, left when flat,
// proportional to the cents up to STROBE_MAX_CENTS; 0 for no note or in tune
// to the tenth.
double strobe_speed(const TunerReading &reading);
// The stripes' phase (0 .. STROBE_PERIOD_PX) seconds after phase at speed.
double strobe_advance(double phase, double speed, double seconds);

// ---- the picture (pure) -------------------------------------------------------

struct TunerPicture {
    QString letter;            // tuner_letter_text
    int letter_pixels;         // its font's pixel size: at least a fifth of the height
    QRect letter_rect;
    QString octave;            // tuner_octave_text
    int octave_pixels;
    QRect octave_rect;
    QString detail;            // "440.00 Hz   +3.2 cents", empty for no note
    int detail_pixels;
    QRect detail_rect;
    QRect scale_rect;          // the needle's scale: -50 cents at its left, +50 at its right
    QRect zone_rect;           // the in-tune zone on it, drawn green
    struct Tick {
        int x;
        QString label;         // "-50" .. "+50"; empty for a minor tick
    };
    std::vector<Tick> ticks;   // every 10 cents, labelled every 25 and at 0
    bool needle_shown;         // false for no note
    int needle_x;              // the needle, clamped to the scale
    bool in_tune;              // the needle and the letter drawn green
    QRect strobe_rect;         // the strobe's band
    std::vector<QRect> stripes;  // its dark stripes, clipped to it
};

// The x of cents (clamped to +/-50) on scale. Pure.
int cents_x(double cents, const QRect &scale);

// The picture of reading, with an in-tune zone of +/-in_tune_cents and the
// strobe at phase, for a widget of size pixels. Pure.
TunerPicture tuner_picture(const TunerReading &reading, double in_tune_cents, double phase, QSize size);

// ---- the widget -----------------------------------------------------------------

class OrvTunerView : public QWidget {
    Q_OBJECT

public:
    // Parentless. Assistive technology finds it as "Tuner", its value the
    // spoken reading (view_accessible.h); the tool tip names the notation.
    OrvTunerView();

    // What to draw from now on; repaints.
    void show_reading(const TunerReading &reading, double in_tune_cents, double phase);

    const TunerReading &reading() const { return reading_; }
    double strobe_phase() const { return phase_; }
    // The spoken reading: what assistive technology reads.
    QString shown_text() { return tuner_spoken_text(reading_); }

    QString announced_text;    // the text assistive technology was last told of

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    TunerReading reading_;
    double in_tune_cents_ = DEFAULT_IN_TUNE_CENTS;
    double phase_ = 0.0;       // strobe phase, px
};
