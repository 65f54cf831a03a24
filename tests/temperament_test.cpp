// Where the tuner places notes: temperaments worked out by hand from their
// fifths and ratios, the equal tuning against the engine's own rounding,
// and Scala files, good and bad.
#include "engine/fundamental.h"
#include "engine/scala_file.h"
#include "engine/temperament.h"

#include "support/qt_print.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>

namespace {

NoteTuning tuning_of(Temperament temperament, int tonic)
{
    NoteTuning tuning;
    tuning.use(temperament);
    tuning.tonic = tonic;
    return tuning;
}

// The band of the tuned grid at key + cents.
double band_at(std::int64_t key, double cents)
{
    return (static_cast<double>(key - 9) + cents / 100.0) * 256.0;
}

}  // namespace

// Each temperament's thirds and fifths, in cents from the equal ones, on
// tonic C: values from the ratios (5/4 is 386.314 cents) and comma sizes
// (Pythagorean 23.460, syntonic 21.506).
TEST(Temperament, OffsetsFromEqualOnC)
{
    const struct {
        Temperament temperament;
        std::int64_t key;
        double offset;
    } cases[] = {
        {Temperament::equal, 64, 0.0},
        {Temperament::just, 64, -13.686},          // E = 5/4
        {Temperament::just, 67, 1.955},            // G = 3/2
        {Temperament::just, 69, -15.641},          // A = 5/3
        {Temperament::pythagorean, 64, 7.820},     // E = 81/64
        {Temperament::pythagorean, 68, 15.641},    // G# = 6561/4096, the chain ends there
        {Temperament::pythagorean, 63, -5.865},    // Eb = 32/27
        {Temperament::meantone, 64, -13.686},      // pure major third
        {Temperament::meantone, 67, -3.422},       // fifth a quarter comma narrow
        {Temperament::werckmeister3, 67, -3.910},  // G = 696.090
        {Temperament::werckmeister3, 64, -9.775},  // E = 390.225
        {Temperament::werckmeister3, 66, -11.730}, // F# = 588.270
        {Temperament::kirnberger3, 64, -13.686},   // E = 386.314
        {Temperament::kirnberger3, 61, -9.776},    // C# = 90.224
        {Temperament::vallotti, 64, -7.820},       // E = 392.180
        {Temperament::vallotti, 70, 0.0},          // Bb = 1000
        {Temperament::vallotti, 65, 1.955},        // F = 501.955
        {Temperament::just, 60 + 12, 0.0},         // tonics in every octave
        {Temperament::just, 64 - 24, -13.686},
    };
    for (const auto &c : cases)
        EXPECT_NEAR(key_offset_cents(c.key, tuning_of(c.temperament, 0)), c.offset, 0.001)
            << TEMPERAMENT_NAMES[static_cast<int>(c.temperament)].option << " key " << c.key;
}

// The tonic keeps its equal pitch and carries the temperament with it: just
// on G makes B (its third) 13.686 cents low and leaves G where it was.
TEST(Temperament, TonicCarriesTheTemperament)
{
    const NoteTuning just_g = tuning_of(Temperament::just, 7);
    EXPECT_NEAR(key_offset_cents(67, just_g), 0.0, 1e-9);
    EXPECT_NEAR(key_offset_cents(71, just_g), -13.686, 0.001);
    EXPECT_NEAR(key_offset_cents(64, just_g), -15.641, 0.001);  // E = 5/3 above G
}

// A4 = 440 Hz, tonic C: C4 stays 261.63 Hz, just E reads 13.69 cents below
// tempered E, and a pitch between two placed notes goes to the nearer.
TEST(Temperament, PlacesTheNearestNote)
{
    const NoteTuning just = tuning_of(Temperament::just, 0);
    const struct {
        double band;
        std::int64_t key;
        double cents;
    } cases[] = {
        {band_at(60, 0.0), 60, 0.0},
        {band_at(64, -13.686), 64, 0.0},
        {band_at(64, 0.0), 64, 13.686},
        {band_at(64, -40.0), 64, -26.314},   // nearer just E than just Eb (6/5, 315.641)
        {band_at(64, -60.0), 63, 24.359},
        {band_at(63, 20.0), 63, 4.359},
        {band_at(69 + 12, -15.641), 81, 0.0},
        {band_at(21, 0.0), 21, 15.641},      // A0 from C's just A
    };
    for (const auto &c : cases) {
        const PlacedNote note = place_note(c.band, just);
        EXPECT_EQ(note.key, c.key) << c.band;
        EXPECT_NEAR(note.cents, c.cents, 0.001) << c.band;
    }
}

// The equal tuning is the engine's rounding bit for bit, halfway included;
// a Scala file of twelve equal steps places the same notes.
TEST(Temperament, EqualIsTheEnginesRounding)
{
    QString error;
    const auto scala = parse_scala("12-tet\n12\n100.\n200.\n300.\n400.\n500.\n600.\n700.\n800.\n900.\n1000.\n1100.\n2/1\n", &error);
    ASSERT_TRUE(scala) << error.toStdString();
    const NoteTuning equal_scala{scala->scale, 5, false};
    for (double band = 0.0; band < 30720.0; band += 37.3) {
        const FundamentalReading reading = fundamental_at_band(band);
        const PlacedNote note = place_note(band, NoteTuning{});
        EXPECT_EQ(note.key, reading.note) << band;
        EXPECT_EQ(note.cents, reading.cents) << band;
        const PlacedNote scala_note = place_note(band, equal_scala);
        EXPECT_EQ(scala_note.key, reading.note) << band;
        EXPECT_NEAR(scala_note.cents, reading.cents, 1e-9) << band;
    }
    const PlacedNote halfway = place_note(band_at(69, 50.0), NoteTuning{});
    EXPECT_EQ(halfway.key, 70);
    EXPECT_EQ(halfway.cents, -50.0);
}

TEST(Temperament, TunedReadingKeepsFrequencyAndLeavesNotFoundAlone)
{
    FundamentalReading reading = fundamental_at_band(band_at(64, -13.686));
    reading.hz = 329.6;
    const FundamentalReading tuned = tuned_reading(reading, tuning_of(Temperament::just, 0));
    EXPECT_EQ(tuned.note, 64);
    EXPECT_NEAR(tuned.cents, 0.0, 0.001);
    EXPECT_EQ(tuned.hz, 329.6);
    EXPECT_EQ(tuned.band, reading.band);
    const FundamentalReading none{false, 0.0, 0.0, 0, 0.0};
    EXPECT_FALSE(tuned_reading(none, tuning_of(Temperament::just, 0)).found);
}

TEST(Temperament, ReferenceAndFineTuningAreOneSetting)
{
    EXPECT_EQ(fine_tuning_for_reference(440.0), 0);
    EXPECT_EQ(fine_tuning_for_reference(442.0), 78);
    EXPECT_EQ(fine_tuning_for_reference(415.0), -1012);
    EXPECT_EQ(fine_tuning_for_reference(MIN_REFERENCE_A4_HZ), -2088);
    EXPECT_EQ(fine_tuning_for_reference(MAX_REFERENCE_A4_HZ), 1863);
    EXPECT_NEAR(reference_for_fine_tuning(78), 441.987, 0.001);  // shown as 442.0
    EXPECT_NEAR(reference_for_fine_tuning(-999), 440.0 * std::exp2(-0.08325), 1e-9);
}

TEST(Temperament, NamesAndTonics)
{
    const struct {
        std::int64_t key;
        const char *letter;
        int octave;
        const char *spoken;
    } names[] = {
        {69, "A", 4, "A4"},      {60, "C", 4, "C4"},          {59, "B", 3, "B3"},
        {70, "B\u266d", 4, "B flat 4"}, {61, "C\u266f", 4, "C sharp 4"}, {21, "A", 0, "A0"},
        {11, "B", -1, "B-1"},
    };
    for (const auto &n : names) {
        EXPECT_EQ(letter_name(n.key), QString::fromUtf8(n.letter)) << n.key;
        EXPECT_EQ(scientific_octave(n.key), n.octave) << n.key;
        EXPECT_EQ(spoken_note_name(n.key), n.spoken) << n.key;
    }
    const struct {
        const char *text;
        int tonic;
    } tonics[] = {
        {"C", 0}, {"c", 0}, {"B#", 0}, {"C#", 1}, {"Db", 1}, {"eb", 3}, {"D#", 3}, {"F#", 6},
        {"Gb", 6}, {"Bb", 10}, {"A#", 10}, {" G ", 7}, {"H", -1}, {"", -1}, {"C##", -1},
    };
    for (const auto &t : tonics)
        EXPECT_EQ(parse_tonic(t.text), t.tonic) << t.text;
    for (int c = 0; c < 12; c++)
        EXPECT_EQ(parse_tonic(tonic_name(c)), c);
}

// Good files: comments anywhere, cents and ratios, words after a pitch,
// CRLF line ends, an empty description.
TEST(ScalaFile, ParsesGoodFiles)
{
    const struct {
        const char *text;
        const char *description;
        std::vector<double> cents;
        double period;
    } cases[] = {
        {"! meantone.scl\n!\nQuarter-comma meantone\n 2\n!\n 193.157\n 2/1\n", "Quarter-comma meantone", {0.0, 193.157}, 1200.0},
        {"Just fifth and third\r\n3\r\n5/4 major third\r\n3/2\r\n2\r\n", "Just fifth and third", {0.0, 386.3137, 701.955}, 1200.0},
        {"\n1\n3/1\n", "", {0.0}, 1901.955},                             // one pitch: the period alone (a tritave)
        {"Fifths\n2\n  701.955000   ! pure\n1200.\n! trailing\n", "Fifths", {0.0, 701.955}, 1200.0},
    };
    for (const auto &c : cases) {
        QString error;
        const auto scala = parse_scala(c.text, &error);
        ASSERT_TRUE(scala) << c.text << ": " << error.toStdString();
        EXPECT_EQ(scala->description, c.description);
        ASSERT_EQ(scala->scale.cents.size(), c.cents.size()) << c.text;
        for (std::size_t d = 0; d < c.cents.size(); d++)
            EXPECT_NEAR(scala->scale.cents[d], c.cents[d], 0.001) << c.text << " degree " << d;
        EXPECT_NEAR(scala->scale.period, c.period, 0.001) << c.text;
    }
}

TEST(ScalaFile, SaysWhatIsWrongWithBadFiles)
{
    const struct {
        const char *text;
        const char *error;
    } cases[] = {
        {"", "empty file"},
        {"! only a comment\n", "empty file"},
        {"desc\n", "the number of pitches is missing"},
        {"desc\ntwelve\n100.\n", "line 2: the number of pitches is missing"},
        {"desc\n0\n", "line 2: no pitches: a scale needs at least its period"},
        {"desc\n3\n100.\n2/1\n", "3 pitches announced, 2 found"},
        {"desc\n2\n7/0\n2/1\n", "line 3: \"7/0\" is not a pitch"},
        {"desc\n2\n-5/4\n2/1\n", "line 3: \"-5/4\" is not a pitch"},
        {"desc\n2\n1e3\n2/1\n", "line 3: \"1e3\" is not a pitch"},
        {"desc\n2\nfoo\n2/1\n", "line 3: \"foo\" is not a pitch"},
        {"desc\n1\n-100.\n", "the last pitch, the period, must lie above the tonic"},
        {"desc\n1\n1/1\n", "the last pitch, the period, must lie above the tonic"},
        {"desc\n99999\n", "line 2: 99999 pitches are more than 4096"},
    };
    for (const auto &c : cases) {
        QString error;
        EXPECT_FALSE(parse_scala(c.text, &error)) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
    }
}

TEST(ScalaFile, ReadsFilesAndNamesTheFileInEveryError)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString good = dir.filePath("pentatonic.scl");
    {
        QFile file(good);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("! pentatonic.scl\nMajor pentatonic, \xe2\x80\x9cjust\xe2\x80\x9d\n5\n9/8\n5/4\n3/2\n5/3\n2/1\n");
    }
    QString error;
    const auto scala = read_scala_file(good, &error);
    ASSERT_TRUE(scala) << error.toStdString();
    EXPECT_EQ(scala->description, QString::fromUtf8("Major pentatonic, \u201cjust\u201d"));
    // Five degrees to the octave: the keys count degrees from the tonic's C4.
    const NoteTuning pentatonic{scala->scale, 0, false};
    const PlacedNote g = place_note(band_at(67, 1.955), pentatonic);
    EXPECT_EQ(g.key, 63);   // C4 is 60, then D E G: degree 3
    EXPECT_NEAR(g.cents, 0.0, 0.001);
    EXPECT_EQ(place_note(band_at(72, 0.0), pentatonic).key, 65);  // C5: the next period's degree 0

    const struct {
        QString path;
        QString error;
    } bad[] = {
        {dir.filePath("gone.scl"), dir.filePath("gone.scl") + ": No such file or directory"},
        {dir.path(), dir.path() + ": "},
    };
    for (const auto &b : bad) {
        EXPECT_FALSE(read_scala_file(b.path, &error)) << b.path.toStdString();
        EXPECT_TRUE(error.startsWith(b.error)) << error.toStdString();
    }
    const QString latin1 = dir.filePath("bad.scl");
    {
        QFile file(latin1);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("Gamme \xe9tendue\n1\nx\n");
    }
    EXPECT_FALSE(read_scala_file(latin1, &error));
    EXPECT_EQ(error, latin1 + ": line 3: \"x\" is not a pitch");
    const QString huge = dir.filePath("huge.scl");
    {
        QFile file(huge);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(MAX_SCALA_FILE_BYTES + 1, '!'));
    }
    EXPECT_FALSE(read_scala_file(huge, &error));
    EXPECT_TRUE(error.contains("not a scale")) << error.toStdString();
}
