#include "engine/command_line.h"

#include "engine/engine_types.h"
#include "engine/version.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

namespace {

constexpr int MIN_RATE_HZ = 8000;
constexpr int MIN_WORKERS = 1;
constexpr int MAX_WORKERS = 16;
constexpr std::uint64_t MAX_WINDOW_SECONDS = 16;
constexpr std::uint64_t WINDOW_GRANULE_MASK = 1023;  // windows are whole blocks of 1024
constexpr int ORVEL_HELP_COLUMN = 19;

// What getopt_long, run with opterr 0, refused when it returned result ('?'
// for an unknown option or a value given to one that takes none, ':' for a
// missing value, with ':' leading the short options), in getopt's own
// words, for the caller to print after its program's name. Reads optopt and
// optind, so call it straight after the refusal.
std::string refused_option(int result, char **argv)
{
    // optind has passed the word that was refused, unless getopt stopped
    // inside a group of short options ("-xq"): then the group is next.
    const std::string word = optind > 0 ? argv[optind - 1] : "";
    const char *next = argv[optind];
    const bool inside_group = next != nullptr && next[0] == '-' && next[1] != '-' && optopt != 0
        && std::strchr(next + 1, optopt) != nullptr;
    if (word.starts_with("--") && !inside_group) {
        const std::string name = word.substr(0, word.find('='));
        if (result == ':')
            return "option '" + name + "' requires an argument";
        if (optopt != 0)
            return "option '" + name + "' doesn't allow an argument";
        return "unrecognized option '" + word + "'";
    }
    const std::string letter(1, static_cast<char>(optopt));
    if (result == ':')
        return "option requires an argument -- '" + letter + "'";
    return "invalid option -- '" + letter + "'";
}

void refuse(CommandLine &line, std::string problem)
{
    line.action = StartupAction::usage;
    line.exit_status = 1;
    line.problem = std::move(problem);
}

// -n, -r or -w with its value into line; false, refused, for a value that
// is not a whole number or a rate that does not divide the server's.
bool apply_engine_option(int option, const char *value, CommandLine &line)
{
    long number = 0;
    if (!parse_whole_number(value, number)) {
        const char name[] = {'-', static_cast<char>(option), '\0'};
        refuse(line, not_a_whole_number(name, value));
        return false;
    }
    const int saturated = static_cast<int>(std::clamp<long>(number, INT_MIN, INT_MAX));
    switch (option) {
    case 'n':
        line.worker_count = std::clamp(saturated, MIN_WORKERS, MAX_WORKERS);
        break;
    case 'r':
        line.sample_rate = std::clamp(saturated, MIN_RATE_HZ, SERVER_RATE);
        if (SERVER_RATE % line.sample_rate != 0) {
            refuse(line, "the engine rate must be one of 8000, 9600, 12000, 16000, 24000, 48000");
            return false;
        }
        break;
    case 'w':
        line.window_request = saturated;
        break;
    }
    return true;
}

const SharedOption &shared_option(int id)
{
    return *std::find_if(SHARED_OPTIONS.begin(), SHARED_OPTIONS.end(),
                         [id](const SharedOption &shared) { return shared.id == id; });
}

// "-n <workers>", "-h, --help", "--version".
std::string shared_label(const SharedOption &shared, const char *value)
{
    std::string label;
    if (shared.id < VERSION_OPTION)
        label = std::string("-") + static_cast<char>(shared.id);
    if (shared.long_name != nullptr)
        label += (label.empty() ? "--" : ", --") + std::string(shared.long_name);
    if (value != nullptr)
        label += std::string(" ") + value;
    return label;
}

}  // namespace

const std::vector<SharedOption> SHARED_OPTIONS = {
    {'n', nullptr, "<workers>", "analysis threads per stage, 1 to 16 (default 2)"},
    {'w', nullptr, "<windowsize>",
     "analysis window in samples, rounded down to a multiple of 1024,\n"
     "at most 16 seconds; 0 means half a second (the default)"},
    {'r', nullptr, "<samplerate>", "engine rate in Hz, dividing the server's 48000 (default 16000)"},
    {'h', "help", nullptr, "print this help and exit"},
    {VERSION_OPTION, "version", nullptr, "print the version and exit"},
};

const char USAGE_TEXT[] =
    "Usage: orvel [-n <workers>] [-w <windowsize>]\n"
    "\t-r <samplerate: 8000, 9600, 12000, 16000, 24000, 48000>\n";

OptionHelp shared_option_help(int id, const char *value, const char *help)
{
    const SharedOption &shared = shared_option(id);
    return {shared_label(shared, value != nullptr ? value : shared.value), help != nullptr ? help : shared.help};
}

std::string option_help_lines(std::initializer_list<OptionHelp> options, int column)
{
    const std::string indent(static_cast<std::size_t>(column), ' ');
    std::string text;
    for (const OptionHelp &option : options) {
        std::string line = "  " + option.label;
        // At least two spaces between an option and its help.
        if (line.size() + 2 <= indent.size())
            line.resize(indent.size(), ' ');
        else
            line += "\n" + indent;
        text += line;
        for (const char *c = option.help; *c != '\0'; c++) {
            text += *c;
            if (*c == '\n')
                text += indent;
        }
        text += '\n';
    }
    return text;
}

bool parse_whole_number(const char *text, long &value)
{
    const char *digits = text + (*text == '+' || *text == '-' ? 1 : 0);
    if (*digits == '\0')
        return false;
    for (const char *c = digits; *c != '\0'; c++) {
        if (*c < '0' || *c > '9')
            return false;
    }
    value = std::strtol(text, nullptr, 10);  // saturates at the long range
    return true;
}

std::string not_a_whole_number(const char *option, const char *value)
{
    return std::string(option) + ": '" + value + "' is not a whole number";
}

int saturating_atoi(const char *text)
{
    const long value = std::strtol(text, nullptr, 10);  // saturates at the long range
    return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

void print_usage(const CommandLine &line)
{
    if (!line.problem.empty())
        std::fprintf(stderr, "orvel: %s\n", line.problem.c_str());
    std::fwrite(USAGE_TEXT, 1, sizeof(USAGE_TEXT) - 1, stderr);
}

void print_help()
{
    const std::string options = option_help_lines(
        {
            shared_option_help('n'),
            shared_option_help('w'),
            shared_option_help('r'),
            shared_option_help('h'),
            shared_option_help(VERSION_OPTION),
        },
        ORVEL_HELP_COLUMN);
    std::fwrite(USAGE_TEXT, 1, sizeof(USAGE_TEXT) - 1, stdout);
    std::fputs("\n", stdout);
    std::fputs(options.c_str(), stdout);
    std::fputs("\n"
               "JACK_DEFAULT_SERVER names the JACK server to join. Exit status: 0, or 1 after\n"
               "a bad option or value.\n",
               stdout);
}

void print_version()
{
    std::printf("orvel %s\n", ORVEL_VERSION);
}

void read_options(int argc, char **argv, const OwnOptions &own, CommandLine &line)
{
    std::string letters = ":";  // ':' first: a missing value returns ':', not '?'
    std::vector<option> long_options;
    for (const SharedOption &shared : SHARED_OPTIONS) {
        if (shared.id < VERSION_OPTION)
            letters += static_cast<char>(shared.id) + std::string(shared.value != nullptr ? ":" : "");
        if (shared.long_name != nullptr)
            long_options.push_back({shared.long_name, shared.value != nullptr ? required_argument : no_argument,
                                    nullptr, shared.id});
    }
    letters += own.letters;
    long_options.insert(long_options.end(), own.long_options.begin(), own.long_options.end());
    long_options.push_back({nullptr, 0, nullptr, 0});

    optind = 0;  // glibc: restart the scan from scratch
    opterr = 0;  // refused_option says it, after the program's own name
    int id;
    while ((id = getopt_long(argc, argv, letters.c_str(), long_options.data(), nullptr)) != -1) {
        switch (id) {
        case 'n':
        case 'r':
        case 'w':
            if (!apply_engine_option(id, optarg, line))
                return;
            break;
        case 'h':
            line.action = StartupAction::help;
            return;
        case VERSION_OPTION:
            line.action = StartupAction::version;
            return;
        case '?':
        case ':':
            refuse(line, refused_option(id, argv));
            return;
        default:
            if (std::string problem = own.take(id, optarg); !problem.empty()) {
                refuse(line, std::move(problem));
                return;
            }
        }
    }
}

bool refuse_small_window(CommandLine &line)
{
    if (derive_window_size(line.window_request, line.sample_rate) != 0)
        return true;
    refuse(line, "the window must be at least 1024 samples");
    return false;
}

CommandLine parse_command_line(int argc, char **argv)
{
    CommandLine line;
    read_options(argc, argv, OwnOptions(), line);
    if (line.action == StartupAction::run)
        refuse_small_window(line);
    return line;
}

CommandLine parse_own_options(int argc, char **argv)
{
    std::vector<char *> own = {argc > 0 ? argv[0] : nullptr};
    for (int i = 1; i < argc; i++) {
        const std::string_view arg = argv[i];
        if (arg == "--")
            break;
        for (const SharedOption &shared : SHARED_OPTIONS) {
            const bool letter = shared.id < VERSION_OPTION;
            const std::string short_form = letter ? std::string("-") + static_cast<char>(shared.id) : "";
            if (arg == short_form || (shared.long_name != nullptr && arg == "--" + std::string(shared.long_name))) {
                own.push_back(argv[i]);
                if (shared.value != nullptr && i + 1 < argc)
                    own.push_back(argv[++i]);
                break;
            }
            // "-r48000"; "-reverse" is the toolkit's
            if (letter && shared.value != nullptr && arg.size() > 2 && arg.starts_with(short_form)
                && (std::isdigit(static_cast<unsigned char>(arg[2])) || arg[2] == '-')) {
                own.push_back(argv[i]);
                break;
            }
        }
    }
    // getopt may permute what it is given: give it our own copy, never argv.
    const int count = static_cast<int>(own.size());
    own.push_back(nullptr);
    return parse_command_line(count, own.data());
}

std::uint64_t derive_window_size(std::int64_t request, int rate)
{
    const std::uint64_t rate_u = static_cast<std::uint64_t>(rate);
    if (request < 0)
        return 0;
    std::uint64_t window;
    if (request == 0)
        window = rate_u / 2;
    else
        window = std::min(static_cast<std::uint64_t>(request), MAX_WINDOW_SECONDS * rate_u);
    return window & ~WINDOW_GRANULE_MASK;
}
