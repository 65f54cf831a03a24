// The band view: the pitch-class strip, the note read-out, the row texts, and
// the log and MIDI notes of recording, on hand-made rows at 16000 Hz.
#include "audio/analysis.h"
#include "audio/jack_client.h"
#include "engine/fundamental.h"
#include "support/result_rows.h"
#include "support/qt_app.h"
#include "support/qt_print.h"
#include "ui/band_view.h"
#include "ui/spectrum_panel.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QSlider>
#include <QTest>

#include <array>
#include <cstring>
#include <vector>

namespace {

constexpr double A5 = 15360;   // 440 Hz
constexpr double E6 = 17152;   // group 67: pitch class 7
constexpr int A = 0;
constexpr int E = 7;

class BandViewTest : public ::testing::Test {
protected:
    // Jobs 0 .. seq - 1 silent, then job seq with these pitch-class peaks,
    // each the only tone of its group, so that the row's peaks are these.
    void complete_row_at(std::uint64_t seq, const std::vector<PitchClassPeak> &peaks,
                         const FundamentalReading &fundamental = {})
    {
        complete_silent_jobs(engine, seq);
        std::vector<GroupTone> tones(engine.group_count(), GroupTone{0.0, 0.0});
        for (const PitchClassPeak &p : peaks)
            tones[static_cast<std::uint64_t>(p.band) / BANDS_PER_GROUP] = {p.level, p.band};
        ASSERT_TRUE(complete_job(engine, tones, {}, fundamental));
        ASSERT_EQ(engine.job_counts().completed, seq + 1);
    }

    int queued_words() { return jack.midi().queued_words(); }

    // What the process callback would send of the queued words, as (frame,
    // status, key, velocity), in one long period from frame 0.
    std::vector<std::array<std::uint32_t, 4>> played_midi()
    {
        MidiEvent out[64];
        const int count = jack.midi().take_due(0, 48000, out, 64);
        std::vector<std::array<std::uint32_t, 4>> events;
        for (int i = 0; i < count; i++)
            events.push_back({out[i].offset, out[i].bytes[0], out[i].bytes[1], out[i].bytes[2]});
        return events;
    }

    QtApp qt;
    Analysis analysis{engine_config(16000)};   // 27648 bands; never started
    Engine &engine = analysis.engine;
    JackClient jack{analysis.exchange};         // joins no server: the page's MIDI stays queued
    const double *band_freq = engine.band_freq();
};

// Newest row: A5 at 40, E6 at 10; the strip and the texts below use it.
const std::vector<PitchClassPeak> A5_AND_E6 = {{40.0, A, A5}, {10.0, E, E6}};

}  // namespace

TEST_F(BandViewTest, NoteReadOutNamesTheBandWithItsFrequencyAndDeviation)
{
    struct Case {
        double band;
        const char *text;
    };
    const Case cases[] = {
        {0, "A0 - 13.75Hz\nR=0.000"},
        {15360, "A5 - 440Hz\nR=0.000"},
        {15361, "A5 - 440.099Hz\nR=0.004"},
        {15488, "B5B - 452.892Hz\nR=-0.500"},
        {15487, "A5 - 452.79Hz\nR=0.496"},
        {15360 - 2 * 256 - 128, "G5 - 380.836Hz\nR=-0.500"},   // rounds half a group up
        {27647, "A9 - 7038.411Hz\nR=-0.004"},   // all three decimals above 1000 Hz
    };
    for (const Case &c : cases)
        EXPECT_EQ(note_readout(c.band, band_freq), c.text) << c.band;
}

// The fundamental's line: the note, Hz cut to three decimals, cents rounded
// to one with a tuner's sign; nothing at all when there is no fundamental.
TEST_F(BandViewTest, FundamentalLineNamesTheNoteHzAndCents)
{
    struct Case {
        FundamentalReading reading;
        const char *text;
    };
    const Case cases[] = {
        {{true, 15360, 440.0, 69, 0.0}, "Fundamental A5 - 440Hz 0.0 cents"},
        {{true, 0, 110.00299, 45, -1.26}, "Fundamental A3 - 110.002Hz -1.3 cents"},
        {{true, 0, 41.2, 28, 12.34}, "Fundamental E2 - 41.2Hz +12.3 cents"},
        {{true, 0, 466.1, 70, -0.04}, "Fundamental B5B - 466.1Hz 0.0 cents"},  // never "-0.0"
        {{true, 0, 7040.9999, 117, 49.96}, "Fundamental A9 - 7040.999Hz +50.0 cents"},
        {{false, 0, 0, 0, 0}, ""},
    };
    for (const Case &c : cases)
        EXPECT_EQ(fundamental_readout(c.reading), c.text) << c.text;
}

TEST_F(BandViewTest, RowNotesNameEveryClassAboveTheThresholdAndTheStrongest)
{
    PitchClassPeak row[PITCH_CLASS_COUNT] = {};
    row[A] = {40.0, A, A5};
    row[E] = {10.0, E, E6};
    row[3] = {0.5, 3, 15360 + 3 * 256};   // below the lowest threshold

    RowNotes notes = row_notes(row, sensitivity_threshold(0), band_freq);
    EXPECT_EQ(notes.text, "A5 E6 /* A5 440Hz R=0.000 */");
    EXPECT_EQ(std::vector<int>(notes.keys, notes.keys + notes.key_count), (std::vector<int>{69, 76}));

    // At sensitivity 31 nothing is named, but the comment still names the strongest.
    EXPECT_EQ(sensitivity_threshold(31), 2147483648.0);
    notes = row_notes(row, sensitivity_threshold(31), band_freq);
    EXPECT_EQ(notes.text, "/* A5 440Hz R=0.000 */");
    EXPECT_EQ(notes.key_count, 0);

    // The threshold is inclusive: 2^5 names A5 at 40, and 2^4 lets nothing else in.
    notes = row_notes(row, sensitivity_threshold(5), band_freq);
    EXPECT_EQ(notes.text, "A5 /* A5 440Hz R=0.000 */");
}

TEST_F(BandViewTest, StripIsLinearNewestOnTopAndSkipsWeakRows)
{
    std::vector<PitchClassPeak> rows(256 * PITCH_CLASS_COUNT, PitchClassPeak{0, 0, 0});
    auto row = [&](std::uint64_t seq) { return &rows[(seq % 256) * PITCH_CLASS_COUNT]; };
    // Jobs 0..9 done: row 9 is newest (line 0), row 8 is line 1.
    row(9)[A] = {40.0, A, A5};
    row(9)[E] = {10.0, E, E6};
    row(9)[5] = {40.0, 5, 15360 + 5 * 256};    // ties with A
    row(8)[2] = {1.9, 2, 16000};               // below 1.0? no: drawn black
    row(7)[2] = {0.9, 2, 16000};               // below 1.0: the line stays white

    ResultView view{};
    view.pitch_class_rows = rows.data();
    view.completed = 10;
    QImage strip = build_band_strip(view, sensitivity_threshold(0));
    ASSERT_EQ(strip.size(), QSize(12, 129));
    EXPECT_EQ(strip.pixel(A, 0), qRgb(0, 0, 0));
    EXPECT_EQ(strip.pixel(E, 0), qRgb(192, 192, 192));   // 10 / 40 * 255 = 63
    EXPECT_EQ(strip.pixel(1, 0), qRgb(255, 255, 255));
    EXPECT_EQ(strip.pixel(2, 1), qRgb(0, 0, 0));
    EXPECT_EQ(strip.pixel(2, 2), qRgb(255, 255, 255));
    EXPECT_EQ(strip.pixel(2, 128), qRgb(255, 255, 255));
    // The read-out's entry: of the two at 40, the first.
    EXPECT_EQ(strongest_pitch_class(row(9)), A);

    // Sensitivity 31 leaves every pixel white.
    strip = build_band_strip(view, sensitivity_threshold(31));
    for (int y = 0; y < 129; y++)
        for (int l = 0; l < 12; l++)
            ASSERT_EQ(strip.pixel(l, y), qRgb(255, 255, 255)) << l << "," << y;
}

TEST_F(BandViewTest, ColumnNamesReadThePitchClassWithOctaveFive)
{
    const char *names[] = {"A5", "B5B", "B5", "C5", "D5B", "D5", "E5B", "E5", "F5", "G5B", "G5", "A5B"};
    for (int col = 0; col < 12; col++)
        EXPECT_EQ(column_note_name(col * 16 + 8, 192), names[col]) << col;
    // Outside the strip (a held button) still one of the twelve.
    for (int x : {-500, -1, 192, 5000})
        EXPECT_TRUE(std::find(std::begin(names), std::end(names), column_note_name(x, 192)) != std::end(names)) << x;
}

TEST_F(BandViewTest, TickSetsTheNoteLabelAndMouseEventsWriteTheLog)
{
    OrvSpectrum panel(analysis, jack);
    panel.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel));
    OrvBand *view = panel.band_view;

    panel.handle_tick();
    EXPECT_EQ(panel.note_label->text(), "-");   // before the first job: nothing measured
    EXPECT_EQ(panel.fundamental_label->text(), "");

    // The fundamental of the same row, not the strongest partial.
    complete_row_at(0, A5_AND_E6, fundamental_at_band(A5 - 12 * 256 + 1.0));
    panel.handle_tick();
    EXPECT_EQ(panel.note_label->text(), "A5 - 440Hz\nR=0.000");
    EXPECT_EQ(panel.fundamental_label->text(), "Fundamental A4 - 220.049Hz +0.4 cents");
    // Not recording: the tick logs nothing.
    EXPECT_EQ(panel.text_log->toPlainText(), "");

    QTest::mouseMove(view, QPoint(1, 1));   // the first move only enters the window
    QTest::mouseMove(view, QPoint(view->width() * 7 / 24, 5));
    EXPECT_EQ(view->toolTip(), "C5");
    QTest::mouseClick(view, Qt::MiddleButton, {}, QPoint(view->width() * 7 / 24, 5));
    QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(5, 0));
    QTest::mouseClick(view, Qt::RightButton, {}, QPoint(5, 0));
    // The very bottom selects the oldest row shown: all zero here.
    QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(5, view->height() - 1));
    EXPECT_EQ(panel.text_log->toPlainText(),
              "C5\nA5 E6 /* A5 440Hz R=0.000 */\n\n/* - */");
    // Not recording: nothing played.
    EXPECT_EQ(queued_words(), 0);
}

TEST_F(BandViewTest, RecordingTickLogsAndPlaysTheNewestRowButPaintDoesNot)
{
    OrvSpectrum panel(analysis, jack);
    panel.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel));
    complete_row_at(41, A5_AND_E6);
    panel.handle_tog_record();

    panel.band_view->repaint();
    EXPECT_EQ(panel.text_log->toPlainText(), "");
    EXPECT_EQ(queued_words(), 0);

    panel.handle_tick();
    EXPECT_EQ(panel.text_log->toPlainText(), "A5 E6 /* A5 440Hz R=0.000 */");
    // A 50 ms chord of A5 and E6 (2400 frames at 48000 Hz), then 50 ms of
    // silence: four words of notes and two pauses.
    EXPECT_EQ(queued_words(), 6);
    const std::vector<std::array<std::uint32_t, 4>> expected = {
        {0, 0x90, 69, 90}, {0, 0x90, 76, 90}, {2400, 0x90, 69, 0}, {2400, 0x90, 76, 0}};
    EXPECT_EQ(played_midi(), expected);
}

TEST_F(BandViewTest, RecordingWhileFrozenPlaysOnlyOnAClick)
{
    OrvSpectrum panel(analysis, jack);
    panel.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel));
    complete_row_at(0, A5_AND_E6);
    panel.handle_tog_record();
    panel.handle_tog_freeze();

    panel.handle_tick();
    EXPECT_EQ(panel.text_log->toPlainText(), "");
    EXPECT_EQ(queued_words(), 0);

    QTest::mouseClick(panel.band_view, Qt::LeftButton, {}, QPoint(5, 0));
    EXPECT_EQ(panel.text_log->toPlainText(), "A5 E6 /* A5 440Hz R=0.000 */");
    EXPECT_EQ(played_midi().size(), 4u);
}

TEST_F(BandViewTest, StripReadsOutTheNewestRowsNotesAboveTheSensitivity)
{
    OrvSpectrum panel(analysis, jack);
    complete_row_at(41, A5_AND_E6);
    QAccessibleInterface *strip = QAccessible::queryAccessibleInterface(panel.band_view);
    ASSERT_NE(strip, nullptr);
    EXPECT_EQ(strip->role(), QAccessible::Chart);
    EXPECT_EQ(strip->text(QAccessible::Name), "Pitch classes");
    EXPECT_EQ(strip->text(QAccessible::Value), "A5 E6 /* A5 440Hz R=0.000 */");
    EXPECT_EQ(strip->text(QAccessible::Description), "A5 E6 /* A5 440Hz R=0.000 */");

    // 2^5 = 32 leaves E6 at 10 out, as in the log.
    panel.sensitivity_slider->setValue(5);
    EXPECT_EQ(strip->text(QAccessible::Value), "A5 /* A5 440Hz R=0.000 */");
}

// Silence leaves the floor level in every pitch class (with decay, the same
// sum in each): the read-out and the log's comment name no note. One class
// standing out, however little, is named.
TEST_F(BandViewTest, SilenceNamesNoNote)
{
    for (const double floor : {1.0, 8.0}) {
        SCOPED_TRACE(floor);
        PitchClassPeak row[PITCH_CLASS_COUNT];
        for (int l = 0; l < PITCH_CLASS_COUNT; l++)
            row[l] = {floor, static_cast<double>(l), 15360.0 + 256.0 * (l + 36)};
        EXPECT_EQ(note_readout(row_note_reading(row, band_freq)), "-");
        EXPECT_EQ(row_notes(row, sensitivity_threshold(31), band_freq).text, "/* - */");
        row[E].level = floor + 0.5;
        EXPECT_EQ(note_readout(row_note_reading(row, band_freq)), note_readout(row[E].band, band_freq));
    }
    const PitchClassPeak zeros[PITCH_CLASS_COUNT] = {};
    EXPECT_EQ(note_readout(row_note_reading(zeros, band_freq)), "-");
}
