// The tuner page: the tuner display (tuner_view.h) and its settings beside
// it, the reference A4 (one setting with the spectrum page's fine tuning),
// the transposition, the temperament or a Scala file on a tonic, the
// steadiness, the level gate and the in-tune zone. Main (toolkit) thread
// only.
//
// While the page is shown, a timer reads the newest rows through the
// engine's read_results every TUNER_TICK_MS, turns them into a reading
// (tuner_reading) and moves the strobe; hidden, it reads nothing. The page
// takes no lock itself and sets the reference only through the engine's
// set_reference_a4.
#pragma once

#include "ui/tuner_view.h"

#include <QElapsedTimer>
#include <QString>
#include <QWidget>

#include <optional>

class Engine;
class QComboBox;
class QDoubleSpinBox;
class QGridLayout;
class QLabel;
class QSlider;
class QSpinBox;
class QTimer;

// The reading's refresh and the strobe's frame, in ms: a change of note
// shows within two rows at 48000 Hz, and the strobe moves at most
// STROBE_MAX_CENTS * 30 px/s * 0.03 s = 18 px a frame, under half a period.
constexpr int TUNER_TICK_MS = 30;

// What the page keeps from one start to the next (kept_settings.h); a value
// left out is not restored.
struct TunerKept {
    std::optional<double> reference_a4;   // Hz; kept only when set in hertz (reference_set_in_hz)
    std::optional<int> transposition;     // the boxes' entries
    std::optional<int> tonic;
    QString temperament;                  // temperament_option(); empty: none kept
    QString scala_file;                   // the Scala file in use, or empty
    std::optional<int> steadiness;        // rows
    std::optional<double> gate_dbfs;
    std::optional<double> in_tune_cents;
};

class OrvTuner : public QWidget {
    Q_OBJECT

public:
    // Parentless; reads engine's results, and sets its reference, which must
    // outlive the page. Starts nothing: the tick runs while the page is shown.
    explicit OrvTuner(Engine &engine);
    ~OrvTuner() override;  // cuts its children's connections first (child_connections.h)

    // The temperament box's entries: TEMPERAMENT_NAMES in order, then this one.
    static constexpr int SCALA_ENTRY = TEMPERAMENT_COUNT;

    OrvTunerView *view;               // the display
    QGridLayout *grid;                // the page's layout
    QDoubleSpinBox *reference_box;    // A4 in Hz, 390.0 .. 490.0 by 0.1
    QComboBox *transposition_box;     // TRANSPOSITIONS' titles
    QComboBox *temperament_box;       // TEMPERAMENT_NAMES' titles, then "Scala file..."
    QComboBox *tonic_box;             // the 12 tonic names, C first
    QLabel *scala_label;              // the Scala file in use, or why one was refused; empty otherwise
    QSlider *steadiness_slider;       // MIN_STEADINESS (fast) .. MAX_STEADINESS (steady)
    QDoubleSpinBox *gate_box;         // level gate, dBFS
    QDoubleSpinBox *zone_box;         // in-tune zone, +/- cents
    QTimer *tick;                     // child timer, TUNER_TICK_MS, active only while shown

    const TunerSettings &settings() const { return settings_; }
    // The Scala file in use; empty unless the temperament box is on SCALA_ENTRY.
    const QString &scala_path() const { return scala_path_; }
    // The temperament box's option name for kept settings ("equal" ...
    // "scala").
    QString temperament_option() const;
    // Select the temperament of that option name, as a user would; "scala"
    // reads scala_file (choose_scala_file). False for an unknown name or a
    // refused file, which leave the temperament as it was.
    bool select_temperament_option(const QString &option, const QString &scala_file);

    // Use the Scala file at path: its scale on the tonic, its name on the
    // page. A file read_scala_file refuses leaves the temperament as it was
    // and puts the message on the page. What a chosen file in the dialog
    // does; the tests call it instead of the dialog.
    bool choose_scala_file(const QString &path);

    // The spectrum page's fine tuning box (thousandths of a semitone) and
    // the reference box become one setting: each shows what the other was set
    // to, with its own signals blocked, the engine set once by the one the
    // user touched.
    void share_reference_with(QSpinBox *fine_tuning_box);

    // Whether the engine's reference is the A4 box's, as setting it in hertz
    // leaves it; false after a fine tuning in thousandths, which the box only
    // shows rounded to 0.1 Hz.
    bool reference_set_in_hz() const;

    // Every value kept, as the controls show it.
    TunerKept kept_state() const;
    // Each value given goes into its control, which tells the engine or the
    // page's settings as the user's change would: an entry a box lacks is
    // passed over, a value out of a control's range brought into it, an
    // unknown temperament or a refused Scala file leaves the temperament
    // (select_temperament_option). The reference A4 goes to the engine even
    // where the box shows it already.
    void restore_state(const TunerKept &kept);

public slots:
    // Read the newest rows into the display; move the strobe.
    void handle_tick();
    void handle_reference();
    void handle_transposition();
    // An entry of TEMPERAMENT_NAMES, or SCALA_ENTRY: ask for a file.
    void handle_temperament();
    void handle_tonic();
    void handle_steadiness();
    void handle_gate();
    void handle_zone();

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    // The constructor's steps: the settings' controls, each connected to
    // its slot, then the captions, the layout and the keyboard's order.
    void make_controls();
    void lay_out();
    // Put the temperament box back on the temperament in use, silently.
    void show_temperament_in_use();

    Engine &engine_;
    TunerSettings settings_;
    int temperament_in_use_ = 0;      // the box's entry in use
    QString scala_path_;              // the Scala file in use, or empty
    double strobe_phase_ = 0.0;       // px
    QElapsedTimer since_tick_;        // time since the strobe last moved
    int ticks_ = 0;                   // ticks since the page was made, for the announcements
};
