// orvel-analyze: the analysis of the window run on sound files, with no
// display and no sound server. Each file streams through the server's intake
// at the pace of the analysis, and every block's result is printed as a JSON
// line (or a CSV row) in block order.
#include "audio/block_assembler.h"
#include "audio/paced_intake.h"
#include "audio/sound_file.h"
#include "engine/band_table.h"
#include "engine/block_result.h"
#include "engine/collector.h"
#include "engine/command_line.h"
#include "engine/correlation.h"
#include "engine/engine_state.h"
#include "engine/work_queue.h"

#include <getopt.h>
#include <unistd.h>

#include <QString>

#include <chrono>
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int BAD_OPTION_STATUS = 1;
constexpr int BAD_FILE_STATUS = 2;
constexpr int MAX_DECAY_CHOICE = 6;   // "1/256", as the window's last choice
constexpr auto PROGRESS_EVERY = std::chrono::milliseconds(500);

enum LongOption : int {
    OPTION_MAIN = 256,
    OPTION_CORR,
    OPTION_CSV,
    OPTION_VERSION,
};

const option LONG_OPTIONS[] = {
    {"main", required_argument, nullptr, OPTION_MAIN},
    {"corr", required_argument, nullptr, OPTION_CORR},
    {"csv", no_argument, nullptr, OPTION_CSV},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, OPTION_VERSION},
    {nullptr, 0, nullptr, 0},
};

const char USAGE[] =
    "Usage: orvel-analyze [-r rate] [-w window] [-n workers] [-d decay] [--main CH] [--corr CH]\n"
    "                     [--csv] FILE...\n";

const char HELP[] =
    "\n"
    "Runs Orvel's analysis on sound files (any format libsndfile reads) and prints\n"
    "one JSON object per analysed block of 1024 engine samples on standard output.\n"
    "\n"
    "  -r <rate>     engine rate in Hz: 8000, 9600, 12000, 16000, 24000, 48000 (default 16000)\n"
    "  -w <window>   analysis window in samples, rounded down to a multiple of 1024,\n"
    "                at most 16 seconds; 0 means half a second (the default)\n"
    "  -n <workers>  analysis threads per stage, 1 to 16 (default 2)\n"
    "  -d <decay>    decay selection: 0 = OFF (default), 1 = 1/8, 2 = 1/16, 3 = 1/32,\n"
    "                4 = 1/64, 5 = 1/128, 6 = 1/256\n"
    "  --main CH     the analysed channel of the file, from 1 (default 1)\n"
    "  --corr CH     the channel correlated with it (default: the main channel)\n"
    "  --csv         a CSV header line and one row per block instead of JSON\n"
    "  -h, --help    print this help and exit\n"
    "  --version     print the version and exit\n"
    "\n"
    "Fields (the window's read-outs for the same sound):\n"
    "  file           the file as named on the command line\n"
    "  block          block number in the file, from 0\n"
    "  time           seconds of the file at the end of the block\n"
    "  note           the note read-out: the strongest pitch class's note, e.g. A5\n"
    "  hz             its frequency in Hz on the 1/256-semitone grid, cut to 3 decimals\n"
    "  r              its deviation from the tempered note in semitones, -0.500 to 0.496\n"
    "  level          its tone level (no unit; 1 or more where a tone was measured)\n"
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
    "progress line goes to standard error when it is a terminal.\n"
    "Exit status: 0; 1 after a bad option, with the usage; 2 when a file could not\n"
    "be read (the other files are analysed all the same).\n";

struct Options {
    CommandLine engine;
    int decay = 0;
    int main = 1;
    int corr = 0;          // 0: the main channel
    bool csv = false;
    std::vector<std::string> files;
};

void usage_error(const char *problem)
{
    if (problem != nullptr)
        std::fprintf(stderr, "orvel-analyze: %s\n", problem);
    std::fputs(USAGE, stderr);
}

// A channel or decay number: digits only, within lo..hi.
bool parse_number(const char *text, int lo, int hi, int &value)
{
    char *end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < lo || v > hi)
        return false;
    value = static_cast<int>(v);
    return true;
}

// Returns -1 to go on, else the exit status.
int parse_options(int argc, char **argv, Options &options)
{
    optind = 0;
    int option;
    while ((option = getopt_long(argc, argv, "n:r:w:d:h", LONG_OPTIONS, nullptr)) != -1) {
        switch (option) {
        case 'n':
        case 'r':
        case 'w':
            if (!apply_engine_option(option, optarg, options.engine)) {
                usage_error(options.engine.problem);
                return BAD_OPTION_STATUS;
            }
            break;
        case 'd':
            if (!parse_number(optarg, 0, MAX_DECAY_CHOICE, options.decay)) {
                usage_error("the decay selection must be 0 to 6");
                return BAD_OPTION_STATUS;
            }
            break;
        case OPTION_MAIN:
        case OPTION_CORR:
            if (!parse_number(optarg, 1, INT_MAX, option == OPTION_MAIN ? options.main : options.corr)) {
                usage_error("a channel is a number from 1");
                return BAD_OPTION_STATUS;
            }
            break;
        case OPTION_CSV:
            options.csv = true;
            break;
        case 'h':
            std::fputs(USAGE, stdout);
            std::fputs(HELP, stdout);
            return 0;
        case OPTION_VERSION:
            std::printf("orvel-analyze %s\n", ORVEL_VERSION);
            return 0;
        default:
            usage_error(nullptr);  // getopt has said what is wrong
            return BAD_OPTION_STATUS;
        }
    }
    for (int i = optind; i < argc; i++)
        options.files.emplace_back(argv[i]);
    if (options.files.empty()) {
        usage_error("no file to analyse");
        return BAD_OPTION_STATUS;
    }
    if (derive_window_size(options.engine.window_request, options.engine.sample_rate) == 0) {
        usage_error("the window must be at least 1024 samples");
        return BAD_OPTION_STATUS;
    }
    if (options.corr == 0)
        options.corr = options.main;
    return -1;
}

// The engine as the window starts it, without the sound server, the
// generator and the MIDI sender.
void start_engine(const Options &options)
{
    sample_rate = options.engine.sample_rate;
    worker_count = options.engine.worker_count;
    window_size = derive_window_size(options.engine.window_request, sample_rate);
    engine_init_locks();
    band_table_setup();
    correlation_setup();
    collector_setup();
    input_history_setup();
    set_decay_choice(options.decay);
    // The file's main channel enters as input 1, the correlated one as input 2.
    set_main_channel(CHANNEL_INPUT_0);
    set_corr_channel(CHANNEL_INPUT_1);
    assembler_start();
}

std::uint64_t skipped_blocks()
{
    audio_lock();
    const std::uint64_t n = blocks_skipped;
    audio_unlock();
    return n;
}

// Prints the rows of one file as their jobs complete, in job order.
class RowPrinter {
public:
    RowPrinter(const std::string &file, bool csv)
        : file_(QString::fromLocal8Bit(file.c_str())),
          csv_(csv),
          first_(job_counts().submitted),
          next_(first_),
          skipped_before_(skipped_blocks())
    {
    }

    // The rows finished so far, up to the first that is not; with all jobs
    // done, a row that never became final (its job was given up for want
    // of memory) is passed over as a skipped block.
    void print_finished(bool all_done = false)
    {
        const std::uint64_t submitted = job_counts().submitted;
        for (; next_ < submitted; next_++) {
            if (!row_is_final(next_)) {
                if (!all_done)
                    break;
                given_up_++;
                continue;
            }
            BlockResult result = row_result(next_);
            result.skipped = skipped_blocks() - skipped_before_;
            // Blocks that made no job come before this one as far as anyone
            // can tell; the given-up ones are counted by their job already.
            result.block = next_ - first_ + result.skipped - given_up_;
            result.time = block_end_time(result.block, sample_rate);
            const QString line = csv_ ? block_csv(file_, result) : block_json(file_, result);
            std::fputs(line.toUtf8().constData(), stdout);
            std::fputc('\n', stdout);
        }
    }

private:
    QString file_;
    bool csv_;
    std::uint64_t first_;          // the file's first job
    std::uint64_t next_;           // the next job to print
    std::uint64_t skipped_before_; // blocks skipped before the file
    std::uint64_t given_up_ = 0;   // jobs of the file given up for want of memory
};

// "\r" and the line, redrawn in place at most twice a second, and only on a
// terminal; short files finish before the first.
class Progress {
public:
    explicit Progress(const std::string &file)
        : file_(file), shown_(false), on_terminal_(isatty(STDERR_FILENO) == 1),
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

// Returns false when the file could not be read (the reason is printed).
bool analyse_file(const std::string &path, const Options &options)
{
    SoundFile sound;
    if (!sound.open(path, options.main, options.corr)) {
        std::fprintf(stderr, "orvel-analyze: %s: %s\n", path.c_str(), sound.error().c_str());
        return false;
    }
    restart_analysis();
    audio_lock();
    const std::uint64_t in_flight = job_limit();
    audio_unlock();

    const std::uint32_t period = paced_period();
    const auto group = static_cast<std::uint32_t>(SERVER_RATE / sample_rate);
    std::vector<float> main(period);
    std::vector<float> corr(period);
    RowPrinter printer(path, options.csv);
    {
        Progress progress(path);
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
                feed_paced(main.data(), corr.data(), n, in_flight);
            printer.print_finished();
            progress.update(sound);
            if (ended)
                break;
        }
    }
    wait_for_analysis();
    printer.print_finished(true);
    std::fflush(stdout);
    if (!sound.error().empty()) {
        std::fprintf(stderr, "orvel-analyze: %s: %s\n", path.c_str(), sound.error().c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    Options options;
    const int status = parse_options(argc, argv, options);
    if (status >= 0)
        return status;
    start_engine(options);
    if (options.csv)
        std::printf("%s\n", block_csv_header().toUtf8().constData());
    bool all_read = true;
    for (const std::string &file : options.files)
        all_read = analyse_file(file, options) && all_read;
    std::fflush(stdout);
    // The engine's threads never end; leaving main ends them with the process.
    return all_read ? 0 : BAD_FILE_STATUS;
}
