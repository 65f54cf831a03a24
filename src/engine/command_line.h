// The command line: the options orvel and orvel-analyze share, their help,
// the usage text and the window-size derivation. Main thread, start-up only.
#pragma once

#include "engine/engine_types.h"

#include <getopt.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

// Written to standard error after a bad option or value, and to standard
// output, with a line per option after it, for -h and --help.
extern const char USAGE_TEXT[];

enum class StartupAction {
    run,      // go on with start-up
    usage,    // print problem (if any) and USAGE_TEXT on stderr, exit with exit_status (1)
    help,     // print the help on stdout, exit 0
    version,  // print "orvel <version>" on stdout, exit 0
};

struct CommandLine {
    StartupAction action = StartupAction::run;
    int exit_status = 0;           // for StartupAction::usage: 1
    std::string problem;           // for StartupAction::usage: what is wrong, when we know
    int sample_rate = DEFAULT_SAMPLE_RATE;  // Hz, clamped to 8000..48000 and dividing 48000
    int worker_count = DEFAULT_WORKERS;  // clamped to 1..16
    std::int64_t window_request = 0;  // -w as given; 0 selects the automatic size
};

// getopt_long's value for --version, which has no letter; a program's own
// long options take values from FIRST_OWN_OPTION up.
constexpr int VERSION_OPTION = 256;
constexpr int FIRST_OWN_OPTION = 257;

// An option both programs read (-n, -r, -w, -h/--help, --version).
struct SharedOption {
    int id;                 // getopt_long's value: the letter, or VERSION_OPTION
    const char *long_name;  // nullptr: a letter alone
    const char *value;      // the value's name in orvel's help ("<workers>"); nullptr: takes none
    const char *help;       // orvel's help for it, '\n' between its lines
};
extern const std::vector<SharedOption> SHARED_OPTIONS;

// One option in a program's help: "  " label, padded to column (or on a
// line of its own when it reaches the column), then the help's lines, each
// later one indented to the column.
struct OptionHelp {
    std::string label;  // "-n <workers>", "--main CH"
    const char *help;   // '\n' between the lines, none after the last
};

// The shared option id as a program's help writes it: value and help as
// given, or nullptr for SHARED_OPTIONS' own words.
OptionHelp shared_option_help(int id, const char *value = nullptr, const char *help = nullptr);

// The help's option lines, each ending in '\n'.
std::string option_help_lines(std::initializer_list<OptionHelp> options, int column);

// A program's options on top of the shared ones, and what it does with them.
struct OwnOptions {
    const char *letters = "";        // getopt's short options, "d:j:"
    std::vector<option> long_options;  // values from FIRST_OWN_OPTION up, no terminator
    // Takes option id with its value (nullptr for none); returns the
    // problem to refuse it with, empty when it was taken.
    std::function<std::string(int id, const char *value)> take;
};

// Reads argv's options with getopt_long, restarting its scan (so it may be
// called more than once), the shared options into line and the program's
// own through own.take. Stops at the first option that decides the run:
// -h or --help (action help), --version (action version) or a refusal
// (action usage, exit status 1, problem saying why). getopt prints no
// diagnostic of its own (it would start with argv[0], the path the program
// was started by): an unknown option or a missing value is put in problem.
// A value of -n, -r or -w that is not a whole number is refused the same
// way; whole numbers saturate instead of overflowing and are then clamped.
// Leaves optind at the first operand.
void read_options(int argc, char **argv, const OwnOptions &own, CommandLine &line);

// orvel's options: read_options with none of its own, then the window
// checked by refuse_small_window.
CommandLine parse_command_line(int argc, char **argv);

// A run whose window derive_window_size leaves nothing of is refused:
// action usage, exit status 1 and the problem. Returns whether line may run.
bool refuse_small_window(CommandLine &line);

// As parse_command_line, but only over the arguments that are certainly
// ours (the shared options and their values), so that it can run before the
// toolkit has taken its own options (-platform ...) out of argv: help,
// version and bad values then need no display.
CommandLine parse_own_options(int argc, char **argv);

// The analysis window in samples for a -w request at the given rate: half a
// second when the request is 0, else the request capped at 16 seconds,
// rounded down to a multiple of 1024. Returns 0 when that leaves nothing (a
// request below 1024, negative ones included).
std::uint64_t derive_window_size(std::int64_t request, int rate);

// atoi that saturates at the int range instead of being undefined there.
int saturating_atoi(const char *text);

// Write line.problem (when set) as "orvel: problem" and then USAGE_TEXT to
// standard error.
void print_usage(const CommandLine &line = CommandLine());
// Write USAGE_TEXT and a line per option to standard output.
void print_help();
// Write "orvel <version>" to standard output.
void print_version();

// A whole number in text: an optional sign and decimal digits, nothing else
// ("16e3", "16000x", "abc", " 5" and "" are not). Saturates at the range of
// long instead of overflowing. Returns false, value untouched, for text that
// is not one.
bool parse_whole_number(const char *text, long &value);

// "option: 'value' is not a whole number", the problem for such a value;
// option as typed ("-r", "--main").
std::string not_a_whole_number(const char *option, const char *value);
