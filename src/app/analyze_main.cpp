// orvel-analyze: the analysis of the window run on sound files, with no
// display and no sound server. Each file streams through the server's intake
// at the pace of the analysis, and every block's result is printed as a JSON
// line (or a CSV row) in block order.
#include "audio/analysis.h"
#include "audio/sound_file.h"
#include "engine/block_result.h"
#include "engine/command_line.h"
#include "engine/engine.h"
#include "engine/mutex.h"
#include "engine/scala_file.h"
#include "engine/temperament.h"

#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <QString>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int BAD_OPTION_STATUS = 1;
constexpr int BAD_FILE_STATUS = 2;
constexpr int WRITE_ERROR_STATUS = 3;
constexpr int MAX_DECAY_CHOICE = 6;   // "1/256", as the window's last choice
constexpr int MAX_JOBS = 64;          // files analysed at once, each with its own threads
constexpr auto PROGRESS_EVERY = std::chrono::milliseconds(500);

enum LongOption : int {
    OPTION_MAIN = FIRST_OWN_OPTION,
    OPTION_CORR,
    OPTION_CSV,
    OPTION_A4,
    OPTION_TEMPERAMENT,
    OPTION_TONIC,
};

const std::vector<option> LONG_OPTIONS = {
    {"main", required_argument, nullptr, OPTION_MAIN},
    {"corr", required_argument, nullptr, OPTION_CORR},
    {"csv", no_argument, nullptr, OPTION_CSV},
    {"a4", required_argument, nullptr, OPTION_A4},
    {"temperament", required_argument, nullptr, OPTION_TEMPERAMENT},
    {"tonic", required_argument, nullptr, OPTION_TONIC},
};

const char USAGE[] =
    "Usage: orvel-analyze [-r rate] [-w window] [-n workers] [-d decay] [-j files] [--main CH]\n"
    "                     [--corr CH] [--a4 HZ] [--temperament NAME|FILE.scl] [--tonic NOTE]\n"
    "                     [--csv] FILE...\n";

const char HELP_INTRO[] =
    "\n"
    "Runs Orvel's analysis on sound files (any format libsndfile reads) and prints\n"
    "one JSON object per analysed block of 1024 engine samples on standard output.\n"
    "\n";

constexpr int HELP_COLUMN = 16;  // where the help of each option starts

const char HELP_FIELDS[] =
    "\n"
    "Fields (the window's read-outs for the same sound):\n"
    "  file           the file as named on the command line\n"
    "  block          block number in the file, from 0\n"
    "  time           seconds of the file at the end of the block\n"
    "  note           the note read-out: the strongest pitch class's note, e.g. A5\n"
    "                 (440 Hz is A5 here; musicians and MIDI call it A4, key 69)\n"
    "  hz             its frequency in Hz on the 1/256-semitone grid, cut to 3 decimals\n"
    "  r              its deviation from the tempered note in semitones, -0.500 to 0.496\n"
    "                 (note, hz and r are null, CSV: empty, where nothing was measured:\n"
    "                 silence)\n"
    "  level          its tone level (no unit; 1 or more where a tone was measured)\n"
    "  fundamental    the note being played, also when its fundamental is weak or\n"
    "                 missing: note (e.g. A2), hz (cut to 3 decimals), cents (its\n"
    "                 deviation from that note as --a4, --temperament and --tonic\n"
    "                 place it, -50.0 to 50.0 in equal temperament) and key (that\n"
    "                 note's MIDI key number: 69 is the A at 440 Hz); null (CSV: four\n"
    "                 empty fields fundamental_note, fundamental_hz,\n"
    "                 fundamental_cents, fundamental_key, the last columns) for\n"
    "                 silence and noise\n"
    "  pitch_classes  the 12 pitch-class levels of the strip, pitch class 0 = A\n"
    "  max, min       the statistics box's MAX and MIN over the whole window: the\n"
    "                 strongest positive and negative correlation of --corr against\n"
    "                 --main, with db (dB, at least 0), samples (the delay of --corr\n"
    "                 behind --main in engine samples), ms and m (at 340 m/s), both\n"
    "                 cut to 2 decimals\n"
    "  skipped        blocks skipped so far, only when some were (never while the\n"
    "                 analysis keeps pace with the file, as it does)\n"
    "\n"
    "A file at another rate than 48000 Hz is resampled to 48000 Hz first. A\n"
    "progress line goes to standard error when it is a terminal. A file that ends\n"
    "before its header said is analysed as far as it goes, with a warning on\n"
    "standard error (\"FILE: truncated: read 2.5 of 4.0 s\") and status 0.\n"
    "Exit status: 0; 1 after a bad option, with the usage; 2 when a file could not\n"
    "be read (the other files are analysed all the same); 3 when standard output\n"
    "could not be written (the analysis stops there).\n";

// The usage, then what the program does, its options and its fields.
std::string help_text()
{
    const std::string options = option_help_lines(
        {
            shared_option_help('r', "<rate>",
                               "engine rate in Hz: 8000, 9600, 12000, 16000, 24000, 48000 (default 16000)"),
            shared_option_help('w', "<window>"),
            shared_option_help('n'),
            {"-d <decay>", "decay selection: 0 = OFF (default), 1 = 1/8, 2 = 1/16, 3 = 1/32,\n"
                           "4 = 1/64, 5 = 1/128, 6 = 1/256"},
            {"-j <files>", "files analysed at once, each by an engine of its own, 1 to 64\n"
                           "(default 1); the output stays in command-line order"},
            {"--main CH", "the analysed channel of the file, from 1 (default 1)"},
            {"--corr CH", "the channel correlated with it (default: the main channel)"},
            {"--a4 HZ", "the reference, the A above middle C, in Hz: 390 to 490 (default\n"
                        "440); the grid is tuned to it as the window's fine tuning does\n"
                        "(442 is +78 thousandths of a semitone)"},
            {"--temperament NAME|FILE.scl",
             "where the fundamental's notes lie: equal (default), just,\n"
             "pythagorean, meantone (quarter-comma), werckmeister3, kirnberger3,\n"
             "vallotti, or a Scala scale file, its degree 0 on the tonic"},
            {"--tonic NOTE", "the temperament's tonic, which keeps its equally tempered pitch:\n"
                             "C (default), C#, D, Eb, E, F, F#, G, Ab, A, Bb, B"},
            {"--csv", "a CSV header line and one row per block instead of JSON"},
            shared_option_help('h'),
            shared_option_help(VERSION_OPTION),
        },
        HELP_COLUMN);
    return std::string(USAGE) + HELP_INTRO + options + HELP_FIELDS;
}

struct Options {
    CommandLine engine;
    int decay = 0;
    int jobs = 1;          // files analysed at once
    int main = 1;
    int corr = 0;          // 0: the main channel
    bool csv = false;
    double a4 = 0.0;       // 0: the grid's own reference, 440 Hz
    NoteTuning tuning;     // where the fundamental's notes lie
    std::vector<std::string> files;
};

// Standard output, every write checked. The first failure is kept and ends
// the run: rows nobody can read are not worth computing. Main thread.
class Output {
public:
    // Whether standard output is open at all: a closed one would be taken
    // by the first file opened, and the rows written into that file's slot.
    bool is_open()
    {
        if (fcntl(STDOUT_FILENO, F_GETFD) == -1)
            fail();
        return error_ == 0;
    }

    // text into stdio's buffer; false once a write has failed, now or before.
    bool write(const char *text)
    {
        if (error_ == 0 && std::fputs(text, stdout) == EOF)
            fail();
        return error_ == 0;
    }

    bool write_line(const QString &line)
    {
        if (!write(line.toUtf8().constData()))
            return false;
        if (std::fputc('\n', stdout) == EOF)
            fail();
        return error_ == 0;
    }

    // Everything written so far out of stdio's buffer; false, as write.
    bool finish()
    {
        if (error_ == 0 && std::fflush(stdout) == EOF)
            fail();
        return error_ == 0;
    }

    bool failed() const { return error_ != 0; }

    // "orvel-analyze: standard output: reason" on standard error.
    void report() const
    {
        std::fprintf(stderr, "orvel-analyze: standard output: %s\n", std::strerror(error_));
    }

private:
    void fail() { error_ = errno != 0 ? errno : EIO; }

    int error_ = 0;  // errno of the first failed write, 0 while none has
};

void usage_error(const std::string &problem)
{
    if (!problem.empty())
        std::fprintf(stderr, "orvel-analyze: %s\n", problem.c_str());
    std::fputs(USAGE, stderr);
}

// The value of a channel, decay or files-at-once option: a whole number
// within lo..hi. Returns the problem to print, empty when the value was taken.
std::string parse_number(const char *option, const char *text, long lo, long hi, const char *range_problem,
                         int &value)
{
    long v = 0;
    if (!parse_whole_number(text, v))
        return not_a_whole_number(option, text);
    if (v < lo || v > hi)
        return range_problem;
    value = static_cast<int>(v);
    return {};
}

// The reference A4 in Hz: 390 to 490. Returns the problem, empty when taken.
std::string parse_reference(const char *text, double &a4)
{
    bool ok = false;
    const double hz = QString::fromLocal8Bit(text).toDouble(&ok);
    if (!ok || !(hz >= MIN_REFERENCE_A4_HZ && hz <= MAX_REFERENCE_A4_HZ))
        return std::string("--a4: \"") + text + "\": the reference A4 must be 390 to 490 Hz";
    a4 = hz;
    return {};
}

// A temperament's name, or else a Scala file. Returns the problem, empty
// when taken; the tonic is set on its own.
std::string parse_temperament(const char *text, NoteTuning &tuning)
{
    const QString value = QString::fromLocal8Bit(text);
    std::string names;
    for (const TemperamentName &name : TEMPERAMENT_NAMES) {
        if (value == QLatin1String(name.option)) {
            tuning.use(name.temperament);
            return {};
        }
        names += (names.empty() ? "" : ", ") + std::string(name.option);
    }
    QString error;
    const std::optional<ScalaScale> scala = read_scala_file(value, &error);
    if (!scala)
        return "--temperament: " + error.toLocal8Bit().toStdString() + " (not one of " + names + " either)";
    tuning.use(scala->scale);
    return {};
}

// Returns -1 to go on, else the exit status. Prints nothing of getopt's:
// its lines would start with the path the program was started by.
int parse_options(int argc, char **argv, Options &options, Output &output)
{
    OwnOptions own;
    own.letters = "d:j:";
    own.long_options = LONG_OPTIONS;
    own.take = [&options](int option, const char *value) -> std::string {
        switch (option) {
        case 'd':
            return parse_number("-d", value, 0, MAX_DECAY_CHOICE, "the decay selection must be 0 to 6",
                                options.decay);
        case 'j':
            return parse_number("-j", value, 1, MAX_JOBS, "the files at once must be 1 to 64", options.jobs);
        case OPTION_MAIN:
        case OPTION_CORR:
            return parse_number(option == OPTION_MAIN ? "--main" : "--corr", value, 1, INT_MAX,
                                "a channel is a number from 1", option == OPTION_MAIN ? options.main : options.corr);
        case OPTION_CSV:
            options.csv = true;
            return {};
        case OPTION_A4:
            return parse_reference(value, options.a4);
        case OPTION_TEMPERAMENT:
            return parse_temperament(value, options.tuning);
        case OPTION_TONIC:
            options.tuning.tonic = parse_tonic(QString::fromLocal8Bit(value));
            if (options.tuning.tonic < 0)
                return std::string("--tonic: \"") + value + "\" is no note: C, C#, D, Eb, E, F, F#, G, Ab, A, Bb or B";
            return {};
        }
        return {};
    };
    read_options(argc, argv, own, options.engine);
    switch (options.engine.action) {
    case StartupAction::run:
        break;
    case StartupAction::usage:
        usage_error(options.engine.problem);
        return BAD_OPTION_STATUS;
    case StartupAction::help:
        output.write(help_text().c_str());
        return output.finish() ? 0 : WRITE_ERROR_STATUS;
    case StartupAction::version:
        output.write("orvel-analyze " ORVEL_VERSION "\n");
        return output.finish() ? 0 : WRITE_ERROR_STATUS;
    }
    for (int i = optind; i < argc; i++)
        options.files.emplace_back(argv[i]);
    if (options.files.empty()) {
        usage_error("no file to analyse");
        return BAD_OPTION_STATUS;
    }
    if (!refuse_small_window(options.engine)) {
        usage_error(options.engine.problem);
        return BAD_OPTION_STATUS;
    }
    if (options.corr == 0)
        options.corr = options.main;
    return -1;
}

// The engine as the window starts it, without the sound server, the
// generator and the MIDI sender: one per file, so that files analysed at
// once share nothing.
std::unique_ptr<Analysis> start_file_analysis(const Options &options)
{
    std::unique_ptr<Analysis> analysis = start_analysis(
        engine_config(options.engine.sample_rate, options.engine.window_request, options.engine.worker_count));
    analysis->engine.set_decay_choice(options.decay);
    if (options.a4 != 0.0)
        analysis->engine.set_reference_a4(options.a4);
    // The file's main channel enters as input 1, the correlated one as input 2.
    analysis->engine.set_main_channel(CHANNEL_INPUT_0);
    analysis->engine.set_corr_channel(CHANNEL_INPUT_1);
    return analysis;
}

// Standard output shared by the files analysed at once, in command-line
// order: the file whose turn it is writes through, the others keep their
// text until their turn comes. With one file at a time everything streams.
// Any thread; the first failed write ends every file's run.
class OrderedOutput {
public:
    OrderedOutput(Output &output, std::size_t files) : output_(output), pending_(files), done_(files, false) {}

    // False once a write has failed, now or before.
    bool write(std::size_t file, const std::string &text) EXCLUDES(mutex_)
    {
        MutexLock lock(mutex_);
        if (file == next_)
            output_.write(text.c_str());
        else
            pending_[file] += text;
        return !output_.failed();
    }

    void finish(std::size_t file) EXCLUDES(mutex_)
    {
        MutexLock lock(mutex_);
        done_[file] = true;
        output_.finish();
        while (next_ < done_.size() && done_[next_]) {
            next_++;
            if (next_ < done_.size()) {
                output_.write(pending_[next_].c_str());
                std::string().swap(pending_[next_]);
            }
        }
    }

    bool failed() const EXCLUDES(mutex_)
    {
        MutexLock lock(mutex_);
        return output_.failed();
    }

private:
    mutable Mutex mutex_;
    Output &output_ GUARDED_BY(mutex_);
    std::size_t next_ GUARDED_BY(mutex_) = 0;               // the file whose turn it is
    std::vector<std::string> pending_ GUARDED_BY(mutex_);   // text of files whose turn has not come
    std::vector<bool> done_ GUARDED_BY(mutex_);
};

// Prints the rows of one file as their jobs complete, in job order.
class RowPrinter {
public:
    RowPrinter(const Analysis &analysis, const std::string &file, std::size_t index, const Options &options,
               OrderedOutput &out)
        : engine_(analysis.engine), file_(QString::fromLocal8Bit(file.c_str())), index_(index), csv_(options.csv),
          tuning_(options.tuning), out_(out)
    {
    }

    // The rows finished so far; a row that never became final (its job was
    // given up for want of memory) is passed over as a skipped block. False
    // once a write has failed.
    bool print_finished()
    {
        const std::uint64_t skipped = engine_.blocks_skipped();
        std::string text;
        engine_.read_results([&](const ResultView &view) {
            for (; next_ < view.completed; next_++) {
                if (!view.row_final(next_)) {
                    given_up_++;
                    continue;
                }
                BlockResult result = row_result(view, next_, engine_, tuning_);
                result.skipped = skipped;
                // Blocks that made no job come before this one as far as
                // anyone can tell; the given-up ones are counted by their
                // job already.
                result.block = row_block_number(next_, result.skipped, given_up_);
                result.time = block_end_time(result.block, engine_.sample_rate());
                const QString line = csv_ ? block_csv(file_, result) : block_json(file_, result);
                text += line.toUtf8().toStdString();
                text += '\n';
            }
        });
        return text.empty() ? !out_.failed() : out_.write(index_, text);
    }

private:
    const Engine &engine_;
    QString file_;
    std::size_t index_;
    bool csv_;
    const NoteTuning &tuning_;
    OrderedOutput &out_;
    std::uint64_t next_ = 0;        // the next job to print
    std::uint64_t given_up_ = 0;    // jobs given up for want of memory
};

// "\r" and the line, redrawn in place at most twice a second, and only on a
// terminal and for one file at a time; short files finish before the first.
class Progress {
public:
    Progress(const std::string &file, bool allowed)
        : file_(file), shown_(false), on_terminal_(allowed && isatty(STDERR_FILENO) == 1),
          next_(std::chrono::steady_clock::now() + PROGRESS_EVERY)
    {
    }

    void update(const SoundFile &sound)
    {
        if (!on_terminal_ || std::chrono::steady_clock::now() < next_)
            return;
        next_ += PROGRESS_EVERY;
        const double done = static_cast<double>(sound.frames_read()) / sound.rate();
        const double total = static_cast<double>(sound.frames()) / sound.rate();
        std::fprintf(stderr, "\rorvel-analyze: %s: %.1f of %.1f s", file_.c_str(), done, total);
        std::fflush(stderr);
        shown_ = true;
    }

    ~Progress()
    {
        if (shown_)
            std::fputs("\r\033[K", stderr);
    }

private:
    std::string file_;
    bool shown_;
    bool on_terminal_;
    std::chrono::steady_clock::time_point next_;
};

// A file that ends before the length its header promised is analysed up to
// where it ends, with a warning: the rows are right as far as they go, so
// the status stays 0.
void warn_if_truncated(const std::string &path, const SoundFile &sound)
{
    const double read = static_cast<double>(sound.frames_read()) / sound.rate();
    if (sound.promised_frames() == SoundFile::UNKNOWN_END)
        std::fprintf(stderr, "orvel-analyze: %s: truncated: read %.1f s, the end is missing\n", path.c_str(), read);
    else if (sound.promised_frames() > sound.frames_read())
        std::fprintf(stderr, "orvel-analyze: %s: truncated: read %.1f of %.1f s\n", path.c_str(), read,
                     static_cast<double>(sound.promised_frames()) / sound.rate());
}

// Returns false when the file could not be read (the reason is printed).
// Stops at the first failed write, which out keeps.
bool analyse_file(std::size_t index, const Options &options, OrderedOutput &out)
{
    const std::string &path = options.files[index];
    SoundFile sound;
    if (!sound.open(path, options.main, options.corr)) {
        std::fprintf(stderr, "orvel-analyze: %s: %s\n", path.c_str(), sound.error().c_str());
        return false;
    }
    const std::unique_ptr<Analysis> analysis = start_file_analysis(options);
    const std::uint64_t in_flight = analysis->engine.job_limit();
    const std::uint32_t period = analysis->paced_period();
    const auto group = static_cast<std::uint32_t>(analysis->exchange.rate_div());
    std::vector<float> main(period);
    std::vector<float> corr(period);
    RowPrinter printer(*analysis, path, index, options, out);
    {
        Progress progress(path, options.jobs == 1);
        for (;;) {
            std::uint32_t n = 0;
            while (n < period) {
                const std::uint32_t got = sound.read(main.data() + n, corr.data() + n, period - n);
                if (got == 0)
                    break;
                n += got;
            }
            const bool ended = n < period;
            // A last half group could finish no block; it is dropped.
            n -= n % group;
            if (n != 0)
                analysis->feed_paced(main.data(), corr.data(), n, in_flight);
            if (!printer.print_finished())
                return true;
            progress.update(sound);
            if (ended)
                break;
        }
    }
    analysis->wait_for_analysis();
    if (!printer.print_finished())
        return true;
    if (!sound.error().empty()) {
        std::fprintf(stderr, "orvel-analyze: %s: %s\n", path.c_str(), sound.error().c_str());
        return false;
    }
    warn_if_truncated(path, sound);
    return true;
}

// Analyses every file, options.jobs at once, each on an engine of its own;
// returns whether all were read. A failed write stops every file.
bool analyse_files(const Options &options, Output &output)
{
    OrderedOutput out(output, options.files.size());
    std::atomic<std::size_t> next_file{0};
    std::atomic<bool> all_read{true};
    auto work = [&] {
        for (std::size_t i; !out.failed() && (i = next_file.fetch_add(1)) < options.files.size();) {
            if (!analyse_file(i, options, out))
                all_read = false;
            out.finish(i);
        }
    };
    const std::size_t threads = std::min<std::size_t>(static_cast<std::size_t>(options.jobs), options.files.size());
    std::vector<std::thread> others;
    for (std::size_t t = 1; t < threads; t++)
        others.push_back(start_named_thread("orvel-analyze-j", work));
    work();
    for (std::thread &thread : others)
        thread.join();
    return all_read;
}

// Returns the exit status; the write error's is left for the caller to report.
int run(const Options &options, Output &output)
{
    if (!output.is_open())
        return WRITE_ERROR_STATUS;
    if (options.csv)
        output.write_line(block_csv_header());
    const bool all_read = !output.failed() && analyse_files(options, output);
    output.finish();
    return output.failed() ? WRITE_ERROR_STATUS : all_read ? 0 : BAD_FILE_STATUS;
}

}  // namespace

int main(int argc, char **argv)
{
    Options options;
    Output output;
    int status = parse_options(argc, argv, options, output);
    if (status < 0)
        status = run(options, output);
    if (output.failed()) {
        output.report();
        return WRITE_ERROR_STATUS;
    }
    return status;
}
