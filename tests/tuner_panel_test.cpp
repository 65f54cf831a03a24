// The tuner page: the reading built from the newest rows (gate, steadiness,
// transposition, temperament, in-tune zone), the strobe and the picture as
// pure functions, and the page itself through what a screen reader reads,
// fed rows put into an engine by hand and, once, a real analysis of a sine.
#include "audio/analysis.h"
#include "audio/jack_client.h"
#include "audio/sample_ring.h"
#include "engine/fundamental.h"
#include "engine/scala_file.h"
#include "support/engine_fixture.h"
#include "support/offline_job.h"
#include "support/qt_app.h"
#include "support/result_rows.h"
#include "ui/spectrum_panel.h"
#include "ui/tuner_panel.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QLabel>
#include <QSignalSpy>
#include <QSlider>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cmath>
#include <limits>
#include <vector>

namespace {

constexpr double BANDS_PER_CENT = 2.56;

// The fundamental of key played cents off its equal pitch.
FundamentalReading played(std::int64_t key, double cents)
{
    return fundamental_at_band(static_cast<double>((key - GROUP_0_NOTE) * 256) + cents * BANDS_PER_CENT);
}

const FundamentalReading NONE{};

NoteTuning tuning_of(Temperament temperament, int tonic)
{
    return {temperament_scale(temperament), tonic, temperament == Temperament::equal};
}

// A block of a sine at amplitude (of full scale), in ring units.
std::vector<double> sine_block(double amplitude)
{
    std::vector<double> block(BLOCK_LEN);
    for (std::uint32_t i = 0; i < BLOCK_LEN; i++)
        block[i] = amplitude * FULL_SCALE * std::sin(0.1 * i);
    return block;
}

}  // namespace

TEST(TunerReading, GateSteadinessTranspositionTemperamentAndZone)
{
    const NoteTuning just_c = tuning_of(Temperament::just, 0);
    // Just E on tonic C lies 13.686 cents below the tempered E.
    const double just_e_cents = key_offset_cents(64, just_c);
    ASSERT_NEAR(just_e_cents, -13.686, 0.001);

    struct Case {
        const char *what;
        std::vector<FundamentalReading> rows;  // newest first
        double level;                          // dBFS
        int steadiness;
        int written;
        NoteTuning tuning;
        double zone;
        bool found;
        std::int64_t key;                      // concert
        std::int64_t written_key;
        double cents;
        bool in_tune;
    };
    const NoteTuning equal;
    const double loud = -10.0;
    const Case cases[] = {
        {"no rows yet", {}, loud, 1, 0, equal, 2.0, false, 0, 0, 0.0, false},
        {"the newest row has none: the older note is not held", {NONE, played(69, 1), played(69, 1), played(69, 1)},
         loud, 5, 0, equal, 2.0, false, 0, 0, 0.0, false},
        {"below the gate", {played(69, 1)}, -60.5, 1, 0, equal, 2.0, false, 0, 0, 0.0, false},
        {"silence", {played(69, 1)}, -std::numeric_limits<double>::infinity(), 1, 0, equal, 2.0, false, 0, 0, 0.0,
         false},
        {"at the gate", {played(69, 1)}, -60.0, 1, 0, equal, 2.0, true, 69, 69, 1.0, true},
        {"fastest: the newest row alone", {played(71, 3), played(69, 0), played(69, 0)}, loud, 1, 0, equal, 2.0, true,
         71, 71, 3.0, false},
        {"median of five: the key of the middle band, the cents of its rows",
         {played(69, 4), played(69, 1), played(71, 10), played(69, 3), played(71, 10)}, loud, 5, 0, equal, 2.0, true,
         69, 69, 3.0, false},
        {"rows without a fundamental are left out of the median",
         {played(69, 4), NONE, played(69, 2), played(69, 6), NONE}, loud, 5, 0, equal, 2.0, true, 69, 69, 4.0, false},
        {"an even count: the lower middle band, the mean of the middle cents",
         {played(69, 1), played(69, 5), played(69, 3), played(69, 2)}, loud, 4, 0, equal, 2.0, true, 69, 69, 2.5,
         false},
        {"rows beyond the steadiness are not read", {played(69, 1), played(69, 1), played(71, 0), played(71, 0),
                                                     played(71, 0)}, loud, 2, 0, equal, 2.0, true, 69, 69, 1.0, true},
        {"a new note wins once it is most of the rows", {played(71, 0), played(71, 0), played(69, 0)}, loud, 3, 0,
         equal, 2.0, true, 71, 71, 0.0, true},
        {"B flat instrument: concert A4 is written B4", {played(69, -3)}, loud, 1, 2, equal, 2.0, true, 69, 71, -3.0,
         false},
        {"E flat instrument: concert C4 is written A4", {played(60, 0.5)}, loud, 1, 9, equal, 2.0, true, 60, 69, 0.5,
         true},
        {"D instrument: concert C4 is written B flat 3", {played(60, 0)}, loud, 1, -2, equal, 2.0, true, 60, 58, 0.0,
         true},
        {"just E on C, played just", {played(64, just_e_cents)}, loud, 1, 0, just_c, 2.0, true, 64, 64, 0.0, true},
        {"just E on C, played tempered", {played(64, 0)}, loud, 1, 0, just_c, 2.0, true, 64, 64, -just_e_cents,
         false},
        {"tempered E, read equal", {played(64, just_e_cents)}, loud, 1, 0, equal, 2.0, true, 64, 64, just_e_cents,
         false},
        {"inside a 2 cent zone", {played(69, -1.9)}, loud, 1, 0, equal, 2.0, true, 69, 69, -1.9, true},
        {"outside it", {played(69, 2.1)}, loud, 1, 0, equal, 2.0, true, 69, 69, 2.1, false},
        {"inside a wider zone", {played(69, 2.1)}, loud, 1, 0, equal, 2.5, true, 69, 69, 2.1, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TunerSettings settings;
        settings.steadiness = c.steadiness;
        settings.written = c.written;
        settings.tuning = c.tuning;
        settings.in_tune_cents = c.zone;
        const TunerReading r = tuner_reading(c.rows.data(), static_cast<int>(c.rows.size()), c.level, settings);
        ASSERT_EQ(r.found, c.found);
        if (!c.found)
            continue;
        EXPECT_EQ(r.key, c.key);
        EXPECT_EQ(r.written_key, c.written_key);
        EXPECT_NEAR(r.cents, c.cents, 1e-6);
        EXPECT_EQ(r.in_tune, c.in_tune);
        EXPECT_NEAR(r.hz, played(c.key, c.cents + key_offset_cents(c.key, c.tuning)).hz, 1e-3);
    }
}

TEST(TunerReading, TextsAsShownAndSpoken)
{
    const struct {
        TunerReading reading;
        const char *letter, *octave, *hz, *cents, *spoken;
    } cases[] = {
        {{}, "-", "", "", "", "No note"},
        {{true, 69, 69, 3.24, 440.824, false}, "A", "4", "440.82 Hz", "+3.2 cents", "A4, 3.2 cents sharp"},
        {{true, 60, 58, -0.04, 261.6, true}, "B\u266d", "3", "261.60 Hz", "0.0 cents", "B flat 3, in tune"},
        {{true, 61, 61, -12.34, 276.0, false}, "C\u266f", "4", "276.00 Hz", "-12.3 cents", "C sharp 4, 12.3 cents flat"},
        {{true, 23, 23, 0.0, 30.87, true}, "B", "0", "30.87 Hz", "0.0 cents", "B0, in tune"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.spoken);
        EXPECT_EQ(tuner_letter_text(c.reading), QString::fromUtf8(c.letter));
        EXPECT_EQ(tuner_octave_text(c.reading), c.octave);
        EXPECT_EQ(tuner_hz_text(c.reading), c.hz);
        EXPECT_EQ(tuner_cents_text(c.reading), c.cents);
        EXPECT_EQ(tuner_spoken_text(c.reading), c.spoken);
    }
}

TEST(TunerReading, LevelIsTheNewestBlockAcrossTheRingsEnd)
{
    // Three blocks; the next block goes at 512, so the newest one is the
    // last 512 samples and the first 512. It holds 0.1 of full scale (-20
    // dBFS); the rest is at full scale, which a wrong block would read.
    const std::uint64_t length = 3 * BLOCK_LEN;
    const std::uint64_t next = 512;
    std::vector<double> history(length, FULL_SCALE);
    for (std::uint64_t i = 0; i < BLOCK_LEN; i++)
        history[(next + length - BLOCK_LEN + i) % length] = (i % 2 ? 0.1 : -0.1) * FULL_SCALE;
    EXPECT_NEAR(input_level_dbfs(history.data(), length, next), -20.0, 1e-9);
    std::fill(history.begin(), history.end(), 0.0);
    EXPECT_EQ(input_level_dbfs(history.data(), length, next), -std::numeric_limits<double>::infinity());
}

TEST(TunerStrobe, DriftsWithTheCentsAndStandsStillInTuneOrWithoutANote)
{
    const auto speed = [](bool found, double cents) { return strobe_speed({found, 69, 69, cents, 440.0, false}); };
    EXPECT_EQ(speed(true, 0.0), 0.0);
    EXPECT_EQ(speed(true, 0.04), 0.0);
    EXPECT_EQ(speed(false, 0.0), 0.0);
    // A tenth of a cent moves 3 px a second: sharp right, flat left.
    EXPECT_DOUBLE_EQ(speed(true, 0.1), 3.0);
    EXPECT_DOUBLE_EQ(speed(true, -0.1), -3.0);
    EXPECT_DOUBLE_EQ(speed(true, 4.0), 4.0 * STROBE_PX_PER_SECOND_PER_CENT);
    EXPECT_DOUBLE_EQ(speed(true, 45.0), speed(true, STROBE_MAX_CENTS));
    // One frame never moves half a period, where the eye would see it turn back.
    EXPECT_LT(speed(true, 50.0) * TUNER_TICK_MS / 1000.0, STROBE_PERIOD_PX / 2);

    EXPECT_DOUBLE_EQ(strobe_advance(10.0, 3.0, 1.0), 13.0);
    EXPECT_DOUBLE_EQ(strobe_advance(1.0, -3.0, 1.0), STROBE_PERIOD_PX - 2.0);
    EXPECT_DOUBLE_EQ(strobe_advance(40.0, 30.0, 1.0), 70.0 - STROBE_PERIOD_PX);
    EXPECT_EQ(strobe_advance(17.0, 0.0, 1000.0), 17.0);
}

TEST(TunerPicture, LargeLetterNeedleZoneAndStripes)
{
    for (const QSize size : {QSize(240, 180), QSize(560, 420), QSize(1400, 900)}) {
        SCOPED_TRACE(size.width());
        const TunerReading sharp{true, 69, 69, 25.0, 443.0, false};
        const TunerPicture p = tuner_picture(sharp, 2.0, 0.0, size);
        // Readable from two metres: the letter a fifth of the height at least.
        EXPECT_GE(p.letter_pixels * 5, size.height());
        EXPECT_EQ(p.letter, "A");
        EXPECT_EQ(p.octave, "4");
        EXPECT_TRUE(p.needle_shown);
        const QRect &s = p.scale_rect;
        EXPECT_EQ(cents_x(-50.0, s), s.left());
        EXPECT_EQ(cents_x(50.0, s), s.right());
        EXPECT_EQ(cents_x(80.0, s), s.right());
        EXPECT_NEAR(p.needle_x, (cents_x(0.0, s) + s.right()) / 2, 1);
        EXPECT_NEAR(p.zone_rect.width(), s.width() * 4 / 100.0, 2.0);
        EXPECT_NEAR(p.zone_rect.center().x(), cents_x(0.0, s), 1.0);
        for (const QRect &r : {p.letter_rect, p.octave_rect, p.detail_rect, s, p.strobe_rect})
            EXPECT_TRUE(QRect(QPoint(0, 0), size).contains(r)) << r.x() << "," << r.y() << " " << r.width() << "x" << r.height();
        EXPECT_LE(s.bottom(), p.strobe_rect.top());

        // The stripes follow the phase.
        const TunerPicture moved = tuner_picture(sharp, 2.0, 10.0, size);
        ASSERT_FALSE(p.stripes.empty());
        EXPECT_EQ(moved.stripes[1].left() - p.stripes[1].left(), 10);

        const TunerPicture none = tuner_picture({}, 2.0, 0.0, size);
        EXPECT_EQ(none.letter, "-");
        EXPECT_EQ(none.octave, "");
        EXPECT_EQ(none.detail, "");
        EXPECT_FALSE(none.needle_shown);
    }
}

namespace {

class TunerPageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        page.steadiness_slider->setValue(1);
        page.show();
    }

    // Complete a row with fundamental, made of a block at amplitude.
    void row(const FundamentalReading &fundamental, double amplitude = 0.5)
    {
        ASSERT_TRUE(complete_job(engine, {}, {}, fundamental, sine_block(amplitude)));
    }
    QString spoken() const { return QAccessible::queryAccessibleInterface(page.view)->text(QAccessible::Value); }
    // Wait for the page's tick to show text to a screen reader.
    bool says(const QString &text) const
    {
        return QTest::qWaitFor([&] { return spoken() == text; }, 5000);
    }

    QtApp qt;
    Analysis analysis{engine_config(16000)};   // never started: rows are put in by hand
    Engine &engine = analysis.engine;
    OrvTuner page{engine};
};

}  // namespace

TEST_F(TunerPageTest, ScreenReaderHearsTheNoteTheTranspositionAndTheZone)
{
    QAccessibleInterface *display = QAccessible::queryAccessibleInterface(page.view);
    EXPECT_EQ(display->text(QAccessible::Name), "Tuner");
    EXPECT_TRUE(page.view->toolTip().contains("A4 = 440 Hz is MIDI key 69")) << page.view->toolTip().toStdString();
    EXPECT_TRUE(says("No note"));

    row(played(69, 3.2));
    EXPECT_TRUE(says("A4, 3.2 cents sharp")) << spoken().toStdString();
    EXPECT_EQ(tuner_letter_text(page.view->reading()), "A");
    EXPECT_NEAR(page.view->reading().hz, 440.0 * std::exp2(3.2 / 1200), 1e-6);

    page.transposition_box->setCurrentIndex(1);  // B flat instrument
    EXPECT_TRUE(says("B4, 3.2 cents sharp")) << spoken().toStdString();
    page.zone_box->setValue(5.0);
    EXPECT_TRUE(says("B4, in tune")) << spoken().toStdString();

    // The note ends: "-" at once, whatever the steadiness.
    page.steadiness_slider->setValue(MAX_STEADINESS);
    row(NONE);
    EXPECT_TRUE(says("No note")) << spoken().toStdString();
    EXPECT_EQ(tuner_letter_text(page.view->reading()), "-");

    page.transposition_box->setCurrentIndex(0);
    page.steadiness_slider->setValue(1);
    row(played(58, -0.3));
    EXPECT_TRUE(says("B flat 3, in tune")) << spoken().toStdString();
}

TEST_F(TunerPageTest, LevelGateHidesQuietNotes)
{
    EXPECT_EQ(page.gate_box->value(), DEFAULT_GATE_DBFS);
    // 0.0005 of full scale: about -69 dBFS, under the default gate.
    row(played(69, 0.0), 0.0005);
    EXPECT_TRUE(says("No note")) << spoken().toStdString();
    page.gate_box->setValue(-80.0);
    EXPECT_TRUE(says("A4, in tune")) << spoken().toStdString();
}

TEST_F(TunerPageTest, StrobeMovesWhileOutOfTuneAndTheTickRunsOnlyWhileShown)
{
    EXPECT_TRUE(page.tick->isActive());
    row(played(69, 8.0));
    ASSERT_TRUE(says("A4, 8.0 cents sharp")) << spoken().toStdString();
    const double from = page.view->strobe_phase();
    EXPECT_TRUE(QTest::qWaitFor([&] { return page.view->strobe_phase() != from; }, 5000));

    row(NONE);
    ASSERT_TRUE(says("No note"));
    const double still = page.view->strobe_phase();
    // Ten frames of the page's own tick, in which a moving strobe would move.
    QSignalSpy ticks(page.tick, &QTimer::timeout);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ticks.count() >= 10; }, 10000));
    EXPECT_EQ(page.view->strobe_phase(), still);

    page.hide();
    EXPECT_FALSE(page.tick->isActive());
    page.show();
    EXPECT_TRUE(page.tick->isActive());
}

TEST_F(TunerPageTest, ControlsAreNamedAndTabGoesThroughThemInOrder)
{
    const std::vector<std::pair<QWidget *, const char *>> controls = {
        {page.reference_box, "Reference A4"}, {page.transposition_box, "Transposition"},
        {page.temperament_box, "Temperament"}, {page.tonic_box, "Tonic"},
        {page.steadiness_slider, "Steadiness"}, {page.gate_box, "Level gate"},
        {page.zone_box, "In-tune zone"},
    };
    page.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&page));
    controls.front().first->setFocus(Qt::TabFocusReason);
    for (const auto &[control, name] : controls) {
        // Linux toolkits give a combo box its current text as its name; the
        // caption reaches the screen reader as the label it is labelled by.
        QAccessibleInterface *exposed = QAccessible::queryAccessibleInterface(control);
        QStringList labels;
        for (const auto &[label, relation] : exposed->relations(QAccessible::Label))
            labels << label->text(QAccessible::Name);
        EXPECT_EQ(control->accessibleName(), name);
        EXPECT_TRUE(exposed->text(QAccessible::Name) == name || labels.contains(name)) << name;
        EXPECT_EQ(QApplication::focusWidget(), control) << name;
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }

    // The choices: every transposition and temperament by its title, then a
    // Scala file; the twelve tonics from C.
    ASSERT_EQ(page.transposition_box->count(), TRANSPOSITION_COUNT);
    for (int i = 0; i < TRANSPOSITION_COUNT; i++)
        EXPECT_EQ(page.transposition_box->itemText(i), QString::fromUtf8(TRANSPOSITIONS[i].title));
    ASSERT_EQ(page.temperament_box->count(), TEMPERAMENT_COUNT + 1);
    for (int i = 0; i < TEMPERAMENT_COUNT; i++)
        EXPECT_EQ(page.temperament_box->itemText(i), TEMPERAMENT_NAMES[i].title);
    EXPECT_EQ(page.temperament_box->itemText(OrvTuner::SCALA_ENTRY), "Scala file\u2026");
    ASSERT_EQ(page.tonic_box->count(), 12);
    EXPECT_EQ(page.tonic_box->itemText(0), "C");
    EXPECT_EQ(page.tonic_box->itemText(10), "Bb");
    EXPECT_EQ(page.reference_box->minimum(), MIN_REFERENCE_A4_HZ);
    EXPECT_EQ(page.reference_box->maximum(), MAX_REFERENCE_A4_HZ);
    EXPECT_EQ(page.reference_box->singleStep(), 0.1);
}

TEST_F(TunerPageTest, TemperamentOnATonicMovesTheCents)
{
    // Just E on C, 13.686 cents below the tempered E.
    row(played(64, -13.686));
    ASSERT_TRUE(says("E4, 13.7 cents flat")) << spoken().toStdString();
    ASSERT_TRUE(page.select_temperament_option("just", QString()));
    EXPECT_EQ(page.temperament_box->currentIndex(), 1);
    EXPECT_TRUE(says("E4, in tune")) << spoken().toStdString();
    EXPECT_NEAR(page.view->reading().cents, 0.0, 0.001);
    // On tonic E the E is the tonic, at its equal pitch.
    page.tonic_box->setCurrentIndex(4);
    EXPECT_TRUE(says("E4, 13.7 cents flat")) << spoken().toStdString();
    EXPECT_EQ(page.temperament_option(), "just");
}

TEST_F(TunerPageTest, ScalaFileGoodBadAndMissing)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const auto write = [&](const char *name, const char *text) {
        QFile file(dir.filePath(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
        return file.fileName();
    };
    // Twelve notes, the third a pure 5/4 (13.686 cents below the tempered E).
    const QString good = write("pure-third.scl",
                               "! pure-third.scl\nA pure major third\n12\n100.0\n200.0\n300.0\n5/4\n500.0\n600.0\n"
                               "700.0\n800.0\n900.0\n1000.0\n1100.0\n2/1\n");
    const QString bad = write("bad.scl", "Broken\n3\n100.0\n7/0\n2/1\n");
    const QString missing = dir.filePath("gone.scl");

    row(played(64, -13.686));
    ASSERT_TRUE(says("E4, 13.7 cents flat"));
    ASSERT_TRUE(page.select_temperament_option("meantone", QString()));

    ASSERT_TRUE(page.choose_scala_file(good));
    EXPECT_EQ(page.temperament_box->currentIndex(), OrvTuner::SCALA_ENTRY);
    EXPECT_EQ(page.temperament_option(), "scala");
    EXPECT_EQ(page.scala_path(), good);
    EXPECT_TRUE(page.scala_label->text().contains("pure-third.scl")) << page.scala_label->text().toStdString();
    EXPECT_TRUE(says("E4, in tune")) << spoken().toStdString();

    for (const QString &refused : {bad, missing}) {
        SCOPED_TRACE(refused.toStdString());
        QString error;
        ASSERT_FALSE(read_scala_file(refused, &error));
        EXPECT_FALSE(page.choose_scala_file(refused));
        // The file's own message, on the page; the scale in use stays.
        EXPECT_EQ(page.scala_label->text(), error);
        EXPECT_EQ(page.temperament_box->currentIndex(), OrvTuner::SCALA_ENTRY);
        EXPECT_EQ(page.scala_path(), good);
        EXPECT_TRUE(says("E4, in tune")) << spoken().toStdString();
    }
    EXPECT_TRUE(page.scala_label->text().contains("gone.scl"));

    // Back to a temperament: the file is no longer in use.
    ASSERT_TRUE(page.select_temperament_option("equal", QString()));
    EXPECT_EQ(page.scala_path(), "");
    EXPECT_EQ(page.scala_label->text(), "");
    EXPECT_TRUE(says("E4, 13.7 cents flat"));

    // A refused file with a temperament in use keeps that temperament.
    EXPECT_FALSE(page.choose_scala_file(bad));
    EXPECT_EQ(page.temperament_option(), "equal");
}

// The reference A4 and the spectrum page's fine tuning are one setting:
// either shows the other, and the engine takes the one the user set.
TEST_F(TunerPageTest, ReferenceAndFineTuningShowEachOther)
{
    JackClient jack{analysis.exchange};
    OrvSpectrum spectrum(analysis, jack);
    page.share_reference_with(spectrum.tuning_box);
    QSpinBox *fine = spectrum.tuning_box;
    EXPECT_EQ(fine->minimum(), -2088);
    EXPECT_EQ(fine->maximum(), 1863);
    EXPECT_EQ(fine->prefix(), "Fine tuning +/-999: ");

    const struct {
        double hz;
        int thousandths;
    } by_reference[] = {{442.0, 78}, {390.0, -2088}, {490.0, 1863}, {440.0, 0}, {415.3, -1000}};
    for (const auto &c : by_reference) {
        page.reference_box->setValue(c.hz);
        EXPECT_EQ(fine->value(), c.thousandths) << c.hz;
        // Set once, from the reference: not rounded through thousandths.
        EXPECT_DOUBLE_EQ(engine.reference_a4(), c.hz);
    }

    const struct {
        int thousandths;
        double hz;
    } by_fine[] = {{78, 442.0}, {-123, 436.9}, {1863, 490.0}, {-2088, 390.0}, {0, 440.0}};
    for (const auto &c : by_fine) {
        fine->setValue(c.thousandths);
        EXPECT_DOUBLE_EQ(page.reference_box->value(), c.hz) << c.thousandths;
        EXPECT_EQ(engine.tuning_factor(), std::exp2(c.thousandths / 12000.0)) << c.thousandths;
    }
}

// A real analysis of a 440 Hz sine, read at 440 and at 442 Hz.
TEST(TunerPageEngine, SineAt440ReadsA4AndFlatAgainst442)
{
    QtApp qt;
    const std::unique_ptr<Analysis> analysis = start_test_analysis(16000);
    Engine &engine = analysis->engine;
    OrvTuner page(engine);
    page.show();
    ServerStandIn server(*analysis);
    server.input_0 = [](std::uint64_t f) {
        return static_cast<float>(0.5 * std::sin(2.0 * M_PI * 440.0 * static_cast<double>(f) / SERVER_RATE));
    };
    const std::uint64_t blocks = engine.window_size() / BLOCK_LEN + 4;
    const auto play = [&] {
        server.run(blocks * BLOCK_LEN * (SERVER_RATE / 16000));
        ASSERT_TRUE(wait_for_quiet(*analysis));
    };
    const auto reading_near = [&](double cents) {
        return QTest::qWaitFor(
            [&] {
                const TunerReading &r = page.view->reading();
                return r.found && r.key == 69 && std::abs(r.cents - cents) < 0.5;
            },
            10000);
    };
    play();
    EXPECT_TRUE(reading_near(0.0)) << page.view->shown_text().toStdString();
    EXPECT_NEAR(page.view->reading().hz, 440.0, 0.3);

    page.reference_box->setValue(442.0);
    play();
    // 1200 log2(440 / 442) = -7.85 cents.
    EXPECT_TRUE(reading_near(-7.85)) << page.view->shown_text().toStdString();

    server.input_0 = [](std::uint64_t) { return 0.0f; };
    play();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !page.view->reading().found; }, 10000));
}

// At the fastest steadiness a change of note shows within 150 ms at 48000
// Hz, counted in rows, not timed: A4 steps to C5, and each new block's
// window is analysed as a job would be. The rows it takes until the
// reading names C5, a row every 1024 samples, plus one tick of the page's
// refresh, stay within the bound.
TEST(TunerPageEngine, FastestSteadinessShowsANewNoteWithin150MsAt48000)
{
    constexpr int RATE = 48000;
    Engine engine{engine_config(RATE)};
    const std::uint64_t window = engine.window_size();
    const std::uint64_t step = 2 * window;   // where C5 starts
    const double a4 = 440.0, c5 = 440.0 * std::exp2(3.0 / 12.0);
    std::vector<double> sound(step + 16 * BLOCK_LEN);
    for (std::size_t i = 0; i < sound.size(); i++) {
        const double hz = i < step ? a4 : c5;
        sound[i] = 1e9 * std::sin(2.0 * M_PI * hz * static_cast<double>(i) / RATE);
    }
    TunerSettings fastest;
    fastest.steadiness = MIN_STEADINESS;
    const auto reading_at = [&](std::uint64_t end) {
        const FundamentalReading newest = analyse_window(engine, sound.data() + end - window).fundamental;
        return tuner_reading(&newest, 1, 0.0, fastest);
    };
    ASSERT_EQ(reading_at(step).key, 69);
    std::uint64_t rows = 1;
    while (rows < 16 && reading_at(step + rows * BLOCK_LEN).key != 72)
        rows++;
    const double ms = 1000.0 * static_cast<double>(rows * BLOCK_LEN) / RATE + TUNER_TICK_MS;
    EXPECT_LE(ms, 150.0) << rows << " rows";
}
