// The command line: options, the usage text and the window-size derivation.
// Main thread, start-up only.
#pragma once

#include "engine/engine_types.h"

#include <cstdint>
#include <string>

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

// Reads the options "n:r:hw:", --help and --version with getopt_long
// (restarting its scan, so it may be called more than once). getopt prints
// no diagnostic of its own (it would start with argv[0], the path the
// program was started by): an unknown option or a missing value is put in
// problem. A value that is not a whole number is refused the same way;
// whole numbers saturate instead of overflowing and are then clamped. A
// window request below 1024 other than 0 is left for derive_window_size to
// refuse.
CommandLine parse_command_line(int argc, char **argv);

// The engine's options as parse_command_line reads them, for a program with
// more options of its own: option is 'n', 'r' or 'w' and value its text.
// Returns false, with line.action set to usage and line.problem saying why,
// for a value that is not a whole number or a rate that does not divide the
// server's (or an option that is none of the three).
bool apply_engine_option(int option, const char *value, CommandLine &line);

// As parse_command_line, but only over the arguments that are certainly
// ours (-h, --help, --version, and -n, -r, -w with their values), so that it
// can run before the toolkit has taken its own options (-platform ...) out
// of argv: help, version and bad values then need no display.
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

// What getopt_long, run with opterr 0, refused when it returned result ('?'
// for an unknown option or a value given to one that takes none, ':' for a
// missing value, with ':' leading the short options), in getopt's own
// words, for the caller to print after its program's name. Reads optopt and
// optind, so call it straight after the refusal.
std::string refused_option(int result, char **argv);
