// orvel-analyze run as a child process on sound files the tests write, and
// its rows compared with the pipeline's own, fed the same samples through
// the server's intake.
#include "engine/block_result.h"
#include "engine/engine_types.h"
#include "engine/work_queue.h"
#include "audio/block_assembler.h"
#include "support/child_process.h"
#include "support/white_noise.h"
#include "support/engine_fixture.h"

#include <sndfile.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace {

const std::string PROGRAM = ORVEL_ANALYZE_BINARY;

using Signal = std::function<float(std::uint64_t frame, int channel)>;

// A float WAV file unless told, so what the program reads back is exactly
// what was written.
void write_sound(const std::string &path, int rate, int channels, std::uint64_t frames, const Signal &signal,
                 int format = SF_FORMAT_WAV | SF_FORMAT_FLOAT)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE *file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    std::vector<float> frame(static_cast<std::size_t>(channels));
    for (std::uint64_t f = 0; f < frames; f++) {
        for (int c = 0; c < channels; c++)
            frame[static_cast<std::size_t>(c)] = signal(f, c);
        sf_writef_float(file, frame.data(), 1);
    }
    sf_close(file);
}

std::vector<QJsonObject> json_lines(const std::string &out)
{
    std::vector<QJsonObject> rows;
    for (const QString &line : QString::fromStdString(out).split(u'\n', Qt::SkipEmptyParts)) {
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(line.toUtf8(), &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << line.toStdString();
        rows.push_back(doc.object());
    }
    return rows;
}

std::vector<std::string> lines_of(const std::string &out)
{
    std::vector<std::string> lines;
    for (const QString &line : QString::fromStdString(out).split(u'\n', Qt::SkipEmptyParts))
        lines.push_back(line.toStdString());
    return lines;
}

// Blocks of 1024 engine samples in frames server frames at engine rate rate.
std::uint64_t whole_blocks(std::uint64_t frames, int rate)
{
    return frames / (BLOCK_LEN * static_cast<std::uint64_t>(SERVER_RATE / rate));
}

// The window at rate for -w 0: half a second rounded down to whole blocks.
std::uint64_t default_window_blocks(int rate)
{
    return static_cast<std::uint64_t>(rate) / 2 / BLOCK_LEN;
}

// A scratch folder, removed with what it holds. Plain C++ on purpose: a
// toolkit file object made on this thread once the engine's threads have
// met the toolkit first is never freed, and the leak checker says so.
struct ScratchDir {
    ScratchDir()
    {
        char name[] = "/tmp/orvel-analyze-XXXXXX";
        path = mkdtemp(name) != nullptr ? name : "";
    }
    ~ScratchDir() { std::filesystem::remove_all(path); }

    std::string path;
};

class Analyze : public ::testing::Test {
protected:
    std::string path(const char *name) const { return dir.path + '/' + name; }

    ScratchDir dir;
};

}  // namespace

// Channel 2 is channel 1 delayed by a whole number of engine samples; every
// row whose window holds only the delayed sound reads exactly that delay,
// and every block of the file has its row, in order.
TEST_F(Analyze, DelayedNoiseReadsTheDelayInMax)
{
    const struct {
        int rate;
        std::uint64_t delay;  // engine samples
    } cases[] = {
        {16000, 160},   // 480 frames, 10 ms
        {48000, 1000},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.rate);
        const std::uint64_t shift = c.delay * static_cast<std::uint64_t>(SERVER_RATE / c.rate);
        const std::uint64_t frames = 3 * SERVER_RATE / 2 + 777;  // a ragged end
        const std::string file = path("delay.wav");
        write_sound(file, SERVER_RATE, 2, frames, [shift](std::uint64_t f, int channel) {
            return channel == 0 ? white_noise(f) : (f >= shift ? white_noise(f - shift) : 0.0f);
        });
        const ChildResult result =
            run_child(PROGRAM, {"-r", std::to_string(c.rate), "--main", "1", "--corr", "2", file}, {}, 120000);
        ASSERT_EQ(result.exit_status, 0) << result.err;
        EXPECT_EQ(result.err, "");
        const std::vector<QJsonObject> rows = json_lines(result.out);
        ASSERT_EQ(rows.size(), whole_blocks(frames, c.rate));
        for (std::uint64_t b = 0; b < rows.size(); b++) {
            const QJsonObject &row = rows[b];
            ASSERT_EQ(row["block"].toInteger(), static_cast<qint64>(b));
            EXPECT_EQ(row["time"].toDouble(), static_cast<double>((b + 1) * BLOCK_LEN) / c.rate);
            EXPECT_EQ(row["file"].toString().toStdString(), file);
            if (b >= default_window_blocks(c.rate)) {
                EXPECT_EQ(row["max"].toObject()["samples"].toInteger(), static_cast<qint64>(c.delay)) << b;
            }
        }
        const QJsonObject max = rows.back()["max"].toObject();
        EXPECT_EQ(max["ms"].toDouble(), std::floor(c.delay * 100000.0 / c.rate) / 100.0);
        EXPECT_EQ(max["m"].toDouble(), std::floor(c.delay * 34000.0 / c.rate) / 100.0);
        EXPECT_GT(max["db"].toDouble(), 0.0);
    }
}

// From the first row whose window is all sine on, A5 within 2 cents, also
// through the resampler from 44100 Hz; the fundamental within a tenth of a
// cent.
TEST_F(Analyze, Sine440ReadsA5FromTheFirstFullWindow)
{
    for (const int file_rate : {48000, 44100}) {
        SCOPED_TRACE(file_rate);
        const std::string file = path("sine.wav");
        write_sound(file, file_rate, 1, static_cast<std::uint64_t>(file_rate) * 2, [file_rate](std::uint64_t f, int) {
            return static_cast<float>(0.5 * std::sin(2.0 * M_PI * 440.0 * static_cast<double>(f) / file_rate));
        });
        const ChildResult result = run_child(PROGRAM, {file}, {}, 120000);
        ASSERT_EQ(result.exit_status, 0) << result.err;
        const std::vector<QJsonObject> rows = json_lines(result.out);
        ASSERT_EQ(rows.size(), 2u * 16000 / BLOCK_LEN);
        for (std::uint64_t b = default_window_blocks(16000) - 1; b < rows.size(); b++) {
            SCOPED_TRACE(b);
            EXPECT_EQ(rows[b]["note"].toString(), QStringLiteral("A5"));
            EXPECT_NEAR(rows[b]["r"].toDouble(), 0.0, 0.02);
            EXPECT_EQ(rows[b]["pitch_classes"].toArray().size(), 12);
            // Also where the strongest band lies just below A5, in A flat's
            // group, the level is A's: the strip files it under its nearest note.
            EXPECT_EQ(rows[b]["level"].toDouble(), rows[b]["pitch_classes"].toArray()[0].toDouble());
            const QJsonObject fundamental = rows[b]["fundamental"].toObject();
            EXPECT_EQ(fundamental["note"].toString(), QStringLiteral("A5"));
            EXPECT_NEAR(fundamental["hz"].toDouble(), 440.0, 0.03);
            EXPECT_NEAR(fundamental["cents"].toDouble(), 0.0, 0.1);
            EXPECT_EQ(fundamental["key"].toInt(), 69);
        }
    }
}

// The rows as CSV: the header, then one row per block with the JSON's values.
// Noise, then a tone: rows without a fundamental and rows with one.
TEST_F(Analyze, CsvHoldsTheJsonValues)
{
    const std::string file = path("a,b.wav");  // a name that must be quoted
    write_sound(file, SERVER_RATE, 1, 2 * SERVER_RATE, [](std::uint64_t f, int) {
        return f < SERVER_RATE / 2 ? white_noise(f)
                                   : static_cast<float>(0.5 * std::sin(2.0 * M_PI * 330.0 * static_cast<double>(f) / SERVER_RATE));
    });
    const ChildResult json = run_child(PROGRAM, {file}, {}, 60000);
    const ChildResult csv = run_child(PROGRAM, {"--csv", file}, {}, 60000);
    ASSERT_EQ(csv.exit_status, 0) << csv.err;
    const std::vector<QJsonObject> rows = json_lines(json.out);
    const std::vector<std::string> lines = lines_of(csv.out);
    ASSERT_EQ(lines.size(), rows.size() + 1);
    EXPECT_EQ(lines[0], block_csv_header().toStdString());
    int with = 0, without = 0;
    for (std::size_t b = 0; b < rows.size(); b++) {
        SCOPED_TRACE(b);
        const QJsonObject &row = rows[b];
        const QStringList fields = QString::fromStdString(lines[b + 1]).split(u',');
        // The quoted name holds one comma: it spans two fields here.
        ASSERT_EQ(fields.size(), 7 + 12 + 8 + 1 + 1 + 4);
        EXPECT_EQ(fields[0] + u',' + fields[1], u'"' + QString::fromStdString(file) + u'"');
        EXPECT_EQ(fields[2].toULongLong(), b);
        EXPECT_EQ(fields[3].toDouble(), row["time"].toDouble());
        EXPECT_EQ(fields[4], row["note"].toString());
        EXPECT_EQ(fields[5].toDouble(), row["hz"].toDouble());
        EXPECT_EQ(fields[6].toDouble(), row["r"].toDouble());
        EXPECT_EQ(fields[8 + 11].toDouble(), row["pitch_classes"].toArray()[11].toDouble());
        EXPECT_EQ(fields[8 + 12 + 1].toLongLong(), row["max"].toObject()["samples"].toInteger());
        EXPECT_EQ(fields[8 + 12 + 5].toLongLong(), row["min"].toObject()["samples"].toInteger());
        EXPECT_EQ(fields[28], QStringLiteral("0"));
        const QJsonValue fundamental = row["fundamental"];
        if (fundamental.isNull()) {
            without++;
            EXPECT_EQ(fields.mid(29), QStringList({"", "", "", ""}));
        } else {
            with++;
            EXPECT_EQ(fields[29], fundamental["note"].toString());
            EXPECT_EQ(fields[30].toDouble(), fundamental["hz"].toDouble());
            EXPECT_EQ(fields[31].toDouble(), fundamental["cents"].toDouble());
            EXPECT_EQ(fields[32].toInt(), fundamental["key"].toInt());
        }
    }
    EXPECT_GT(without, 0);
    EXPECT_GT(with, 0);
}

// A file that cannot be read is named with the reason, the other files are
// still analysed, and the status is 2; a bad option prints the usage and
// the status is 1, before any file is read.
TEST_F(Analyze, FileErrorsAndBadOptions)
{
    const std::string good = path("good.wav");
    write_sound(good, SERVER_RATE, 2, SERVER_RATE / 2, [](std::uint64_t f, int) { return white_noise(f); });
    const std::string text = path("notes.wav");
    std::ofstream(text) << "not a sound at all\n";
    const std::string missing = path("missing.wav");
    const std::uint64_t good_rows = whole_blocks(SERVER_RATE / 2, 16000);

    const struct {
        std::vector<std::string> args;
        std::string error;  // the line on stderr
        std::uint64_t rows; // of the good file
    } file_cases[] = {
        {{missing, good}, "orvel-analyze: " + missing + ": No such file or directory\n", good_rows},
        {{good, text}, "orvel-analyze: " + text + ": ", good_rows},
        {{"--corr", "3", good}, "orvel-analyze: " + good + ": has 2 channels, no channel 3\n", 0},
        {{"--main", "2", "--corr", "1", text, good}, "orvel-analyze: " + text + ": ", good_rows},
    };
    for (const auto &c : file_cases) {
        SCOPED_TRACE(c.args.front());
        const ChildResult result = run_child(PROGRAM, c.args, {}, 60000);
        EXPECT_EQ(result.exit_status, 2);
        EXPECT_EQ(result.err.substr(0, c.error.size()), c.error);
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_EQ(json_lines(result.out).size(), c.rows);
    }
    EXPECT_NE(run_child(PROGRAM, {text}, {}).err.find("notes.wav: "), std::string::npos);

    const std::vector<std::vector<std::string>> bad_options = {
        {},                          // no file
        {"-d", "7", good},
        {"--main", "0", good},
        {"--corr", "x", good},
        {"-r", "44100", good},
        {"-w", "1000", good},
        {"--bogus", good},
    };
    for (const auto &args : bad_options) {
        SCOPED_TRACE(args.empty() ? "(none)" : args.front());
        const ChildResult result = run_child(PROGRAM, args, {});
        EXPECT_EQ(result.exit_status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_NE(result.err.find("Usage: orvel-analyze"), std::string::npos) << result.err;
    }
}

TEST_F(Analyze, HelpNamesEveryFieldAndVersionTheProgram)
{
    const ChildResult help = run_child(PROGRAM, {"--help"}, {});
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_EQ(help.err, "");
    for (const char *word : {"file", "block", "time", "note", "hz", "level", "fundamental", "cents", "pitch_classes", "max, min",
                             "db", "samples", "ms", "skipped", "--main", "--corr", "--csv", "-d", "Exit status"})
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
    EXPECT_EQ(run_child(PROGRAM, {"-h"}, {}).out, help.out);
    const ChildResult version = run_child(PROGRAM, {"--version"}, {});
    EXPECT_EQ(version.exit_status, 0);
    EXPECT_EQ(version.out, "orvel-analyze " ORVEL_VERSION "\n");
}

// The program's line for each block is the pipeline's own row of the same
// samples, fed here through the exchange by the server's stand-in.
TEST(AnalyzeRows, JsonIsThePipelinesRow)
{
    const std::unique_ptr<Analysis> analysis = start_test_analysis(16000);
    analysis->engine.set_main_channel(CHANNEL_INPUT_0);
    analysis->engine.set_corr_channel(CHANNEL_INPUT_1);
    const ScratchDir dir;
    const std::uint64_t frames = 20 * 3 * BLOCK_LEN + 100;
    const std::string file = dir.path + "/pair.wav";
    const auto sound = [](std::uint64_t f, int channel) {
        const double tone = 0.3 * std::sin(2.0 * M_PI * 523.0 * static_cast<double>(f) / SERVER_RATE);
        return channel == 0 ? static_cast<float>(tone) + 0.1f * white_noise(f)
                            : (f >= 300 ? 0.5f * white_noise(f - 300) : 0.0f) + 0.1f * white_noise(f + 7919);
    };
    write_sound(file, SERVER_RATE, 3, frames, [&](std::uint64_t f, int channel) {
        return channel == 1 ? 0.0f : sound(f, channel == 0 ? 0 : 1);
    });
    const ChildResult result = run_child(PROGRAM, {"--main", "1", "--corr", "3", file}, {}, 60000);
    ASSERT_EQ(result.exit_status, 0) << result.err;
    const std::vector<std::string> lines = lines_of(result.out);

    ServerStandIn server(*analysis);
    server.input_0 = [&](std::uint64_t f) { return f < frames ? sound(f, 0) : 0.0f; };
    server.input_1 = [&](std::uint64_t f) { return f < frames ? sound(f, 1) : 0.0f; };
    server.max_jobs_in_flight = analysis->engine.job_limit();
    server.run(frames / 256 * 256);
    ASSERT_TRUE(wait_for_quiet(*analysis));
    ASSERT_EQ(lines.size(), whole_blocks(frames, 16000));
    ASSERT_EQ(analysis->engine.job_counts().completed, lines.size());
    analysis->engine.read_results([&](const ResultView &view) {
        for (std::uint64_t b = 0; b < lines.size(); b++) {
            ASSERT_TRUE(view.row_final(b));
            BlockResult row = row_result(view, b, analysis->engine);
            row.block = b;
            row.time = block_end_time(b, 16000);
            EXPECT_EQ(lines[b], block_json(QString::fromStdString(file), row).toStdString()) << b;
        }
    });
}

// A value that is not a whole number names the option and the value, and
// every refusal starts with the program's name, whatever path started it.
TEST_F(Analyze, RefusedOptionsNameTheProgramAndTheValue)
{
    const std::string no_file = run_child(PROGRAM, {}, {}).err;
    ASSERT_EQ(no_file.rfind("orvel-analyze: no file to analyse\nUsage: orvel-analyze ", 0), 0u) << no_file;
    const std::string usage = no_file.substr(no_file.find('\n') + 1);
    const std::string good = path("good.wav");
    write_sound(good, SERVER_RATE, 1, SERVER_RATE / 4, [](std::uint64_t f, int) { return white_noise(f); });
    const struct {
        std::vector<std::string> args;
        std::string problem;
    } cases[] = {
        {{"-r", "abc"}, "-r: 'abc' is not a whole number"},
        {{"-r", "16e3"}, "-r: '16e3' is not a whole number"},
        {{"-r", "16000x"}, "-r: '16000x' is not a whole number"},
        {{"-w", "abc"}, "-w: 'abc' is not a whole number"},
        {{"-w", "1e5"}, "-w: '1e5' is not a whole number"},
        {{"-w", "-1"}, "the window must be at least 1024 samples"},
        {{"-n", "abc"}, "-n: 'abc' is not a whole number"},
        {{"-d", "1.5"}, "-d: '1.5' is not a whole number"},
        {{"--main", "one"}, "--main: 'one' is not a whole number"},
        {{"--corr=2x"}, "--corr: '2x' is not a whole number"},
        {{"-x"}, "invalid option -- 'x'"},
        {{"--bogus"}, "unrecognized option '--bogus'"},
        {{"--csv=yes"}, "option '--csv' doesn't allow an argument"},
        {{"-d"}, "option requires an argument -- 'd'"},
        {{"--a4", "389.9"}, "--a4: \"389.9\": the reference A4 must be 390 to 490 Hz"},
        {{"--a4", "442Hz"}, "--a4: \"442Hz\": the reference A4 must be 390 to 490 Hz"},
        {{"--a4", "nan"}, "--a4: \"nan\": the reference A4 must be 390 to 490 Hz"},
        {{"--tonic", "H"}, "--tonic: \"H\" is no note: C, C#, D, Eb, E, F, F#, G, Ab, A, Bb or B"},
        {{"--temperament", "Just"},
         "--temperament: Just: No such file or directory (not one of equal, just, pythagorean, meantone, werckmeister3, "
         "kirnberger3, vallotti either)"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = c.args;
        args.push_back(good);
        if (c.args.front() == "-d" && c.args.size() == 1)
            args.pop_back();  // else the file would be -d's value
        SCOPED_TRACE(args.front());
        const ChildResult result = run_child(PROGRAM, args, {});
        EXPECT_EQ(result.exit_status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "orvel-analyze: " + c.problem + "\n" + usage);
    }
}

// Where --a4, --temperament and --tonic place the fundamental's note, read
// on the rows whose window is all tone: a just major third above C4 (5/4 of
// 261.626 Hz) lies 13.686 cents below tempered E; on tonic G, E is G's just
// sixth (5/3, 15.641 cents low), so the same tone reads 1.955 cents sharp.
TEST_F(Analyze, TuningOptionsPlaceTheFundamentalsNote)
{
    const double c4 = 440.0 * std::exp2(-9.0 / 12.0);
    auto sine = [](double hz) {
        return [hz](std::uint64_t f, int) { return static_cast<float>(0.5 * std::sin(2.0 * M_PI * hz * static_cast<double>(f) / SERVER_RATE)); };
    };
    const std::string third = path("third.wav");
    write_sound(third, SERVER_RATE, 1, SERVER_RATE, sine(c4 * 5 / 4));
    const std::string a440 = path("a440.wav");
    write_sound(a440, SERVER_RATE, 1, SERVER_RATE, sine(440.0));
    const std::string scl = path("just.scl");
    std::ofstream(scl) << "! just.scl\nFive-limit just\n 12\n16/15\n9/8\n6/5\n5/4\n4/3\n45/32\n3/2\n8/5\n5/3\n16/9\n15/8\n2/1\n";

    const struct {
        std::vector<std::string> args;
        std::string file;
        int key;
        double cents;
    } cases[] = {
        {{}, third, 64, -13.686},
        {{"--temperament", "just"}, third, 64, 0.0},
        {{"--temperament", "just", "--tonic", "G"}, third, 64, 1.955},
        {{"--temperament", "equal", "--tonic", "G"}, third, 64, -13.686},
        {{"--temperament", scl, "--tonic", "c"}, third, 64, 0.0},
        {{"--a4", "442"}, a440, 69, -7.851},
        {{"--a4", "415.3"}, a440, 70, -0.048},   // a semitone and a little down: A440 reads as B flat
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = c.args;
        args.push_back(c.file);
        SCOPED_TRACE(testing::Message() << (c.args.empty() ? std::string("(none)") : c.args.front() + " " + c.args[1]));
        const ChildResult result = run_child(PROGRAM, args, {}, 60000);
        ASSERT_EQ(result.exit_status, 0) << result.err;
        const std::vector<QJsonObject> rows = json_lines(result.out);
        ASSERT_GT(rows.size(), default_window_blocks(16000));
        for (std::uint64_t b = default_window_blocks(16000); b < rows.size(); b++) {
            const QJsonObject fundamental = rows[b]["fundamental"].toObject();
            EXPECT_EQ(fundamental["key"].toInt(), c.key) << b;
            EXPECT_NEAR(fundamental["cents"].toDouble(), c.cents, 0.15) << b;
        }
    }

    const std::string bad = path("bad.scl");
    std::ofstream(bad) << "Bad\n2\nfoo\n2/1\n";
    const ChildResult result = run_child(PROGRAM, {"--temperament", bad, third}, {});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.substr(0, result.err.find('\n')),
              "orvel-analyze: --temperament: " + bad + ": line 3: \"foo\" is not a pitch (not one of equal, just, pythagorean, "
              "meantone, werckmeister3, kirnberger3, vallotti either)");
}

// Digital silence measures nothing: the note read-out is null (CSV: empty),
// as is the fundamental; the levels stay numbers.
TEST_F(Analyze, SilenceNamesNoNote)
{
    const std::string file = path("silence.wav");
    write_sound(file, SERVER_RATE, 1, SERVER_RATE / 2, [](std::uint64_t, int) { return 0.0f; });
    for (const char *decay : {"0", "3"}) {
        SCOPED_TRACE(decay);
        const ChildResult json = run_child(PROGRAM, {"-d", decay, file}, {}, 60000);
        ASSERT_EQ(json.exit_status, 0) << json.err;
        const std::vector<QJsonObject> rows = json_lines(json.out);
        ASSERT_EQ(rows.size(), whole_blocks(SERVER_RATE / 2, 16000));
        for (const QJsonObject &row : rows) {
            EXPECT_TRUE(row["note"].isNull());
            EXPECT_TRUE(row["hz"].isNull());
            EXPECT_TRUE(row["r"].isNull());
            EXPECT_TRUE(row["fundamental"].isNull());
            EXPECT_TRUE(row["level"].isDouble());
        }
        const std::vector<std::string> lines = lines_of(run_child(PROGRAM, {"--csv", "-d", decay, file}, {}, 60000).out);
        ASSERT_EQ(lines.size(), rows.size() + 1);
        const QStringList fields = QString::fromStdString(lines[1]).split(u',');
        EXPECT_EQ(fields.mid(3, 3), QStringList({"", "", ""}));
    }
}

// Standard output that cannot be written ends the run at the first failed
// write with status 3 and the reason. A minute of sound makes far more rows
// than a buffer holds, so a program that carried on past the failure would
// end with 0 as it used to. With SIGPIPE ignored, a reader that leaves after
// one line gets the same.
TEST_F(Analyze, WriteErrorsEndTheRunWithStatus3)
{
    const std::string file = path("long.wav");
    write_sound(file, SERVER_RATE, 1, 60 * SERVER_RATE, [](std::uint64_t f, int) { return white_noise(f); });
    const struct {
        const char *shell;  // runs the program as "$0" "$@"
        std::vector<std::string> args;
        const char *reason;
        int shell_status;     // the program's, unless a pipe runs it
        const char *shell_out;
    } cases[] = {
        {"exec \"$0\" \"$@\" > /dev/full", {file}, "No space left on device", 3, ""},
        {"exec \"$0\" \"$@\" > /dev/full", {"--csv", file}, "No space left on device", 3, ""},
        {"exec \"$0\" \"$@\" > /dev/full", {"--help"}, "No space left on device", 3, ""},
        {"exec \"$0\" \"$@\" >&-", {file}, "Bad file descriptor", 3, ""},
        {"exec \"$0\" \"$@\" >&-", {"--version"}, "Bad file descriptor", 3, ""},
        // The program's status goes to fd 3, the shell's own standard output.
        {"exec 3>&1; trap '' PIPE; { \"$0\" \"$@\"; echo \"status $?\" >&3; } | head -n 1 > /dev/null", {file},
         "Broken pipe", 0, "status 3\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.shell);
        SCOPED_TRACE(c.args.front());
        std::vector<std::string> args = {"-c", c.shell, PROGRAM};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ChildResult result = run_child("/bin/sh", args, {}, 120000);
        const std::string error = std::string("orvel-analyze: standard output: ") + c.reason + "\n";
        EXPECT_EQ(result.exit_status, c.shell_status);
        EXPECT_EQ(result.out, c.shell_out);
        EXPECT_EQ(result.err, error);
    }
}

namespace {

// A 64-bit float WAV, for samples beyond the float range.
void write_double_sound(const std::string &path, int channels, std::uint64_t frames,
                        const std::function<double(std::uint64_t, int)> &signal)
{
    SF_INFO info{};
    info.samplerate = SERVER_RATE;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_DOUBLE;
    SNDFILE *file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    std::vector<double> frame(static_cast<std::size_t>(channels));
    for (std::uint64_t f = 0; f < frames; f++) {
        for (int c = 0; c < channels; c++)
            frame[static_cast<std::size_t>(c)] = signal(f, c);
        sf_writef_double(file, frame.data(), 1);
    }
    sf_close(file);
}

// Whether every number of a row is one: JSON's null stands for a value the
// writer could not print.
bool all_numbers(const QJsonObject &row)
{
    for (const char *key : {"time", "level"})
        if (!row[key].isDouble())
            return false;
    // A row that measured nothing (the wild sample's overflow leaves the
    // floor) names no note.
    for (const char *key : {"hz", "r"})
        if (!(row[key].isDouble() || (row[key].isNull() && row["note"].isNull())))
            return false;
    for (const QJsonValue level : row["pitch_classes"].toArray())
        if (!level.isDouble())
            return false;
    for (const char *side : {"max", "min"})
        for (const char *key : {"db", "samples", "ms", "m"})
            if (!row[side].toObject()[key].isDouble())
                return false;
    return true;
}

}  // namespace

// One wild sample in noise whose channel 2 is channel 1 delayed by 160
// engine samples (480 frames at -r 16000): every line stays JSON with
// numbers only, and once the sample has left the window (7168 samples) the
// delay reads again. With decay off the sum starts afresh each block, so a
// non-finite value there used to stay NaN to the end of the file.
TEST_F(Analyze, HugeSamplesLeaveTheOutputValidAndTheCorrelationAlive)
{
    constexpr std::uint64_t DELAY_FRAMES = 480;
    constexpr std::uint64_t WILD_FRAME = 24000;      // engine sample 8000, 0.5 s
    constexpr std::uint64_t FRAMES = 4 * SERVER_RATE;
    // Block 20 starts at engine sample 20480, past 8160 + 7168 + a block.
    constexpr std::uint64_t FIRST_CLEAR_BLOCK = 20;
    const struct {
        const char *name;
        double wild;          // the sample at WILD_FRAME (and its delayed copy)
        double scale;         // of the noise
        bool as_double;       // a 64-bit float file
    } cases[] = {
        {"1e30", 1e30, 0.5, false},
        {"-1e30", -1e30, 0.5, false},
        {"largest float", std::numeric_limits<float>::max(), 0.5, false},
        {"1e300", 1e300, 0.5, true},
        {"-1e300", -1e300, 0.5, true},
        {"denormal noise", 1e-39, 1e-39, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = path("wild.wav");
        const auto signal = [&c](std::uint64_t f, int channel) {
            const std::uint64_t at = channel == 0 ? f : f - DELAY_FRAMES;
            if (channel == 1 && f < DELAY_FRAMES)
                return 0.0;
            return at == WILD_FRAME ? c.wild : c.scale * white_noise(at);
        };
        if (c.as_double)
            write_double_sound(file, 2, FRAMES, signal);
        else
            write_sound(file, SERVER_RATE, 2, FRAMES,
                        [&](std::uint64_t f, int channel) { return static_cast<float>(signal(f, channel)); });
        const ChildResult result = run_child(PROGRAM, {"--corr", "2", file}, {}, 60000);
        ASSERT_EQ(result.exit_status, 0) << result.err;
        const std::vector<QJsonObject> rows = json_lines(result.out);
        ASSERT_EQ(rows.size(), whole_blocks(FRAMES, 16000));
        for (std::uint64_t b = 0; b < rows.size(); b++) {
            SCOPED_TRACE(b);
            EXPECT_TRUE(all_numbers(rows[b])) << lines_of(result.out)[b];
            if (b >= FIRST_CLEAR_BLOCK) {
                EXPECT_EQ(rows[b]["max"].toObject()["samples"].toInteger(), 160);
            }
        }
    }
}

// The writer's last guard: what JSON cannot say is null, an empty CSV field.
TEST(BlockText, NonFiniteNumbersAreNullInJsonAndEmptyInCsv)
{
    BlockResult result{};
    result.note = {QStringLiteral("A5"), QStringLiteral("inf"), QStringLiteral("0.000")};
    result.level = std::numeric_limits<double>::infinity();
    result.pitch_classes[3] = std::numeric_limits<double>::quiet_NaN();
    result.max = {QStringLiteral("nan"), 7, QStringLiteral("1.5"), QStringLiteral("-inf")};
    result.min = {QStringLiteral("0"), 0, QStringLiteral("0"), QStringLiteral("0")};
    const QString json = block_json(QStringLiteral("a.wav"), result);
    QJsonParseError error;
    const QJsonObject row = QJsonDocument::fromJson(json.toUtf8(), &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << json.toStdString();
    EXPECT_TRUE(row["hz"].isNull());
    EXPECT_TRUE(row["level"].isNull());
    EXPECT_TRUE(row["pitch_classes"].toArray()[3].isNull());
    EXPECT_EQ(row["pitch_classes"].toArray()[2].toDouble(), 0.0);
    EXPECT_TRUE(row["max"].toObject()["db"].isNull());
    EXPECT_EQ(row["max"].toObject()["ms"].toDouble(), 1.5);
    EXPECT_TRUE(row["max"].toObject()["m"].isNull());
    EXPECT_EQ(block_csv(QStringLiteral("a.wav"), result).toStdString(),
              "a.wav,0,0,A5,,0.000,,0,0,0,,0,0,0,0,0,0,0,0,,7,1.5,,0,0,0,0,0,,,,");
    EXPECT_TRUE(row["fundamental"].isNull());
}

// A file cut short is analysed as far as it goes, with status 0 and a
// warning of how much of the length its header gave was there; an Ogg
// stream, whose length is its last page, says only that the end is missing.
TEST_F(Analyze, TruncatedFilesAreAnalysedWithAWarning)
{
    const std::uint64_t frames = 4 * SERVER_RATE;
    const std::uint64_t whole_rows = whole_blocks(frames, 16000);
    const struct {
        const char *name;
        int format;
        bool cut;
        const char *warning_end;  // after "orvel-analyze: FILE: truncated: read N"; none when empty
    } cases[] = {
        {"cut.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, true, " of 4.0 s\n"},
        {"cut16.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, true, " of 4.0 s\n"},
        {"cut.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, true, " of 4.0 s\n"},
        {"cut.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, true, " s, the end is missing\n"},
        {"whole.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, false, ""},
        {"whole.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, false, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = path(c.name);
        write_sound(file, SERVER_RATE, 1, frames, [](std::uint64_t f, int) { return 0.5f * white_noise(f); },
                    c.format);
        if (c.cut)
            std::filesystem::resize_file(file, std::filesystem::file_size(file) / 3);
        const ChildResult result = run_child(PROGRAM, {file}, {}, 60000);
        EXPECT_EQ(result.exit_status, 0);
        const std::vector<QJsonObject> rows = json_lines(result.out);
        if (!c.cut) {
            EXPECT_EQ(result.err, "");
            EXPECT_EQ(rows.size(), whole_rows);
            continue;
        }
        // About a third of the file (Ogg spends more of it on its start), and
        // the seconds read are those of the rows (a block is 0.064 s).
        const std::string start = "orvel-analyze: " + file + ": truncated: read ";
        const std::string end = c.warning_end;
        ASSERT_EQ(result.err.rfind(start, 0), 0u) << result.err;
        ASSERT_GT(result.err.size(), start.size() + end.size()) << result.err;
        EXPECT_EQ(result.err.substr(result.err.size() - end.size()), end) << result.err;
        const double read = std::stod(result.err.substr(start.size()));
        EXPECT_GT(read, 0.5);
        EXPECT_LT(read, 2.0);
        EXPECT_NEAR(static_cast<double>(rows.size()) * BLOCK_LEN / 16000, read, 0.15);
    }
}
