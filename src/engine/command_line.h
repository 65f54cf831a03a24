// The command line: options, the usage text and the window-size derivation.
// Main thread, start-up only.
#pragma once

#include <cstdint>

// Written to standard error for -h, a bad option or a rate that does not
// divide the server rate.
extern const char USAGE_TEXT[];

enum class StartupAction {
    run,    // go on with start-up
    usage,  // print USAGE_TEXT and exit with exit_status
};

struct CommandLine {
    StartupAction action = StartupAction::run;
    int exit_status = 0;           // for StartupAction::usage: 0 after -h, 1 otherwise
    int sample_rate = 16000;       // Hz, clamped to 8000..48000 and dividing 48000
    int worker_count = 2;          // clamped to 1..16
    std::int64_t window_request = 0;  // -w as given; 0 selects the automatic size
};

// Reads the options "n:r:hw:" with getopt (restarting its scan, so it may be
// called more than once). getopt prints its own diagnostic for an unknown
// option. Numbers saturate instead of overflowing; non-numbers count as 0.
CommandLine parse_command_line(int argc, char **argv);

// The analysis window in samples for a -w request at the given rate: half a
// second when the request is 0, else the request capped at 16 seconds (a
// negative request counts as above the cap), rounded down to a multiple of
// 1024. Returns 0 when that leaves nothing (a request below 1024).
std::uint64_t derive_window_size(std::int64_t request, int rate);

// atoi that saturates at the int range instead of being undefined there.
int saturating_atoi(const char *text);

// fwrite USAGE_TEXT to standard error.
void print_usage();
