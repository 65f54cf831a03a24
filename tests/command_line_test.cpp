#include "engine/command_line.h"
#include "support/child_process.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace {

struct Outcome {
    StartupAction action;
    int exit_status;
    int sample_rate;
    int worker_count;
    std::uint64_t window_size;  // for StartupAction::run
};

Outcome parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "orvel");
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const CommandLine line = parse_command_line(static_cast<int>(args.size()), argv.data());
    const std::uint64_t window = line.action == StartupAction::run
        ? derive_window_size(line.window_request, line.sample_rate) : 0;
    return {line.action, line.exit_status, line.sample_rate, line.worker_count, window};
}

constexpr StartupAction RUN = StartupAction::run;
constexpr StartupAction USAGE = StartupAction::usage;
constexpr StartupAction HELP = StartupAction::help;
constexpr StartupAction VERSION = StartupAction::version;

// What -h and --help print after the usage text.
const std::string ORVEL_HELP =
    "\n"
    "  -n <workers>     analysis threads per stage, 1 to 16 (default 2)\n"
    "  -w <windowsize>  analysis window in samples, rounded down to a multiple of 1024,\n"
    "                   at most 16 seconds; 0 means half a second (the default)\n"
    "  -r <samplerate>  engine rate in Hz, dividing the server's 48000 (default 16000)\n"
    "  -h, --help       print this help and exit\n"
    "  --version        print the version and exit\n"
    "\n"
    "JACK_DEFAULT_SERVER names the JACK server to join. Exit status: 0, or 1 after\n"
    "a bad option or value.\n";

struct Case {
    std::vector<std::string> args;
    Outcome expected;
};

}  // namespace

TEST(CommandLine, OptionTable)
{
    const Case cases[] = {
        {{}, {RUN, 0, 16000, 2, 7168}},
        // rate: clamped, then it must divide 48000
        {{"-r", "7999"}, {RUN, 0, 8000, 2, 3072}},
        {{"-r", "0"}, {RUN, 0, 8000, 2, 3072}},
        {{"-r", "50000"}, {RUN, 0, 48000, 2, 23552}},
        {{"-r", "9600"}, {RUN, 0, 9600, 2, 4096}},
        {{"-r", "48000"}, {RUN, 0, 48000, 2, 23552}},
        {{"-r", "10000"}, {USAGE, 1, 10000, 2, 0}},
        {{"-r", "+9600"}, {RUN, 0, 9600, 2, 4096}},
        // workers
        {{"-n", "0"}, {RUN, 0, 16000, 1, 7168}},
        {{"-n", "-3"}, {RUN, 0, 16000, 1, 7168}},
        {{"-n", "100"}, {RUN, 0, 16000, 16, 7168}},
        {{"-n4"}, {RUN, 0, 16000, 4, 7168}},
        // window
        {{"-w", "0"}, {RUN, 0, 16000, 2, 7168}},
        {{"-w", "1023"}, {USAGE, 1, 16000, 2, 0}},  // below 1024: nothing left
        {{"-w", "1000"}, {USAGE, 1, 16000, 2, 0}},
        {{"-w", "1024"}, {RUN, 0, 16000, 2, 1024}},
        {{"-w", "2047"}, {RUN, 0, 16000, 2, 1024}},
        {{"-w", "-1"}, {USAGE, 1, 16000, 2, 0}},
        {{"-r", "8000", "-w", "100000"}, {RUN, 0, 8000, 2, 99328}},
        // the cap does not depend on the order of -w and -r
        {{"-w", "500000", "-r", "8000"}, {RUN, 0, 8000, 2, 128000}},
        {{"-r", "8000", "-w", "500000"}, {RUN, 0, 8000, 2, 128000}},
        // repeated options: the last one wins; a bad rate stops at once
        {{"-n", "3", "-n", "5"}, {RUN, 0, 16000, 5, 7168}},
        {{"-r", "8000", "-r", "16000"}, {RUN, 0, 16000, 2, 7168}},
        {{"-w", "4096", "-w", "2048"}, {RUN, 0, 16000, 2, 2048}},
        {{"-r", "10000", "-r", "16000"}, {USAGE, 1, 10000, 2, 0}},
        // numbers beyond int saturate instead of wrapping
        {{"-r", "99999999999"}, {RUN, 0, 48000, 2, 23552}},
        {{"-r", "-99999999999"}, {RUN, 0, 8000, 2, 3072}},
        {{"-w", "99999999999"}, {RUN, 0, 16000, 2, 256000}},
        {{"-w", "-99999999999"}, {USAGE, 1, 16000, 2, 0}},
        {{"-n", "-99999999999"}, {RUN, 0, 16000, 1, 7168}},
        {{"-n", "99999999999"}, {RUN, 0, 16000, 16, 7168}},
        // help, version and unknown options
        {{"-h"}, {HELP, 0, 16000, 2, 0}},
        {{"--help"}, {HELP, 0, 16000, 2, 0}},
        {{"--version"}, {VERSION, 0, 16000, 2, 0}},
        {{"-n", "4", "-h", "-r", "10000"}, {HELP, 0, 16000, 4, 0}},
        {{"-x"}, {USAGE, 1, 16000, 2, 0}},
        {{"-r"}, {USAGE, 1, 16000, 2, 0}},
    };
    for (const Case &c : cases) {
        std::string label;
        for (const std::string &arg : c.args)
            label += arg + " ";
        SCOPED_TRACE("orvel " + label);
        const Outcome got = parse(c.args);
        EXPECT_EQ(got.action, c.expected.action);
        if (got.action != StartupAction::run) {
            EXPECT_EQ(got.exit_status, c.expected.exit_status);
            continue;
        }
        EXPECT_EQ(got.sample_rate, c.expected.sample_rate);
        EXPECT_EQ(got.worker_count, c.expected.worker_count);
        EXPECT_EQ(got.window_size, c.expected.window_size);
    }
}

TEST(CommandLine, SaturatingAtoiKeepsAtoiOtherwise)
{
    EXPECT_EQ(saturating_atoi("  42xyz"), 42);
    EXPECT_EQ(saturating_atoi("-17"), -17);
    EXPECT_EQ(saturating_atoi("abc"), 0);
    EXPECT_EQ(saturating_atoi(""), 0);
    EXPECT_EQ(saturating_atoi("2147483647"), 2147483647);
    EXPECT_EQ(saturating_atoi("2147483648"), 2147483647);
    EXPECT_EQ(saturating_atoi("-2147483649"), -2147483647 - 1);
}

// A value that is not a whole number is refused, naming the option and the
// value; getopt's own refusals are worded as getopt words them, without
// the path the program was started by.
TEST(CommandLine, RefusedValuesAndOptionsSayWhat)
{
    const struct {
        std::vector<std::string> args;
        std::string problem;
    } cases[] = {
        {{"-r", "abc"}, "-r: 'abc' is not a whole number"},
        {{"-r", "16e3"}, "-r: '16e3' is not a whole number"},
        {{"-r", "16000x"}, "-r: '16000x' is not a whole number"},
        {{"-r16000x"}, "-r: '16000x' is not a whole number"},
        {{"-r", " 16000"}, "-r: ' 16000' is not a whole number"},
        {{"-r", ""}, "-r: '' is not a whole number"},
        {{"-r", "-"}, "-r: '-' is not a whole number"},
        {{"-w", "abc"}, "-w: 'abc' is not a whole number"},
        {{"-w", "1e5"}, "-w: '1e5' is not a whole number"},
        {{"-w", "4096.0"}, "-w: '4096.0' is not a whole number"},
        {{"-n", "abc"}, "-n: 'abc' is not a whole number"},
        {{"-n", "2", "-n", "0x4"}, "-n: '0x4' is not a whole number"},
        {{"-x"}, "invalid option -- 'x'"},
        {{"-xn", "2"}, "invalid option -- 'x'"},
        {{"--bogus"}, "unrecognized option '--bogus'"},
        {{"--help=1"}, "option '--help' doesn't allow an argument"},
        {{"-r"}, "option requires an argument -- 'r'"},
        {{"-n", "2", "-w"}, "option requires an argument -- 'w'"},
        {{"-w", "1023"}, "the window must be at least 1024 samples"},
        {{"-w", "1000", "-r", "8000"}, "the window must be at least 1024 samples"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "./build/orvel");
        std::vector<char *> argv;
        for (std::string &arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        const CommandLine line = parse_command_line(static_cast<int>(args.size()), argv.data());
        SCOPED_TRACE(c.args.front());
        EXPECT_EQ(line.action, USAGE);
        EXPECT_EQ(line.exit_status, 1);
        EXPECT_EQ(line.problem, c.problem);
    }
}

TEST(CommandLine, WholeNumbers)
{
    const struct {
        const char *text;
        bool whole;
        long value;
    } cases[] = {
        {"0", true, 0},
        {"+48000", true, 48000},
        {"-17", true, -17},
        {"007", true, 7},
        {"99999999999999999999999", true, LONG_MAX},
        {"-99999999999999999999999", true, LONG_MIN},
        {"", false, 0},
        {"+", false, 0},
        {"--1", false, 0},
        {"1 ", false, 0},
        {"\t1", false, 0},
        {"1.5", false, 0},
        {"1e3", false, 0},
        {"0x10", false, 0},
    };
    for (const auto &c : cases) {
        long value = -1;
        EXPECT_EQ(parse_whole_number(c.text, value), c.whole) << c.text;
        EXPECT_EQ(value, c.whole ? c.value : -1) << c.text;
    }
}

// Only the toolkit's options are left to the toolkit: ours are picked out
// before it starts, values and all.
TEST(CommandLine, OwnOptionsBeforeTheToolkit)
{
    const struct {
        std::vector<std::string> args;
        StartupAction action;
        int rate;
    } cases[] = {
        {{"-platform", "offscreen", "-r", "48000"}, RUN, 48000},
        {{"-reverse", "-r48000"}, RUN, 48000},
        {{"-style", "fusion", "-r", "44100"}, USAGE, 0},
        {{"-stylesheet", "x.qss", "--version"}, VERSION, 0},
        {{"-x", "-h"}, HELP, 0},
        {{"-x"}, RUN, 16000},   // unknown: left for the full parse after the toolkit
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "orvel");
        std::vector<char *> argv;
        for (std::string &arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        const CommandLine line = parse_own_options(static_cast<int>(args.size()), argv.data());
        EXPECT_EQ(line.action, c.action) << args[1];
        if (c.action == RUN) {
            EXPECT_EQ(line.sample_rate, c.rate) << args[1];
        }
        // argv itself is never reordered.
        EXPECT_EQ(std::string(argv[1]), c.args[0]);
    }
}

// The real program, as a user runs it.
TEST(CommandLine, ProgramExitPaths)
{
    const std::vector<std::string> env = headless_env();
    const std::string usage = USAGE_TEXT;

    // No display at all and a toolkit platform that needs one: help,
    // version and bad values must not start the toolkit.
    const std::vector<std::string> no_display = {"QT_QPA_PLATFORM=xcb", "DISPLAY=", "WAYLAND_DISPLAY="};
    for (const char *option : {"-h", "--help"}) {
        const ChildResult help = run_child(ORVEL_BINARY, {option}, no_display);
        EXPECT_EQ(help.exit_status, 0) << option;
        EXPECT_EQ(help.out.rfind(usage, 0), 0u) << help.out;
        for (const char *line : {"  -n <workers>", "  -w <windowsize>", "  -r <samplerate>", "  -h, --help",
                                 "  --version", "JACK_DEFAULT_SERVER"})
            EXPECT_NE(help.out.find(line), std::string::npos) << line;
        EXPECT_EQ(help.err, "") << option;
        EXPECT_EQ(help.out, usage + ORVEL_HELP) << option;
    }
    const ChildResult version = run_child(ORVEL_BINARY, {"--version"}, no_display);
    EXPECT_EQ(version.exit_status, 0);
    EXPECT_EQ(version.out, "orvel " ORVEL_VERSION "\n");

    const ChildResult window = run_child(ORVEL_BINARY, {"-w", "1023"}, no_display);
    EXPECT_EQ(window.exit_status, 1);
    EXPECT_EQ(window.err, "orvel: the window must be at least 1024 samples\n" + usage);

    const ChildResult rate = run_child(ORVEL_BINARY, {"-r", "44100"}, no_display);
    EXPECT_EQ(rate.exit_status, 1);
    EXPECT_EQ(rate.err, "orvel: the engine rate must be one of 8000, 9600, 12000, 16000, 24000, 48000\n" + usage);

    // What is wrong, after the program's name (not the path it was started
    // by), then the usage text.
    const struct {
        std::vector<std::string> args;
        std::string problem;
    } refused[] = {
        {{"-x"}, "invalid option -- 'x'"},
        {{"-r", "abc"}, "-r: 'abc' is not a whole number"},
        {{"-r16000x"}, "-r: '16000x' is not a whole number"},
        {{"-platform", "offscreen", "-n", "abc"}, "-n: 'abc' is not a whole number"},
        {{"-w", "1e5"}, "-w: '1e5' is not a whole number"},
    };
    for (const auto &c : refused) {
        const ChildResult result = run_child(ORVEL_BINARY, c.args, env);
        EXPECT_EQ(result.exit_status, 1) << c.args.back();
        EXPECT_EQ(result.err, "orvel: " + c.problem + "\n" + usage);
        EXPECT_EQ(result.out, "") << c.args.back();
    }
}

// errx and the usage add their own newline: a refusal on stderr is lines of
// text, none of them empty, whatever combination of values caused it.
TEST(CommandLine, RefusalsLeaveNoEmptyLine)
{
    const std::vector<std::string> cases[] = {
        {"-w", "1023"},
        {"-r", "8000", "-w", "1000"},
        {"-n", "4", "-w", "-5", "-r", "48000"},
        {"-r", "44100", "-w", "4096"},
        {"-x", "-w", "1000"},
    };
    for (const std::vector<std::string> &args : cases) {
        SCOPED_TRACE(args[1]);
        const ChildResult result = run_child(ORVEL_BINARY, args, headless_env());
        EXPECT_EQ(result.exit_status, 1);
        EXPECT_EQ(result.err.rfind("orvel: ", 0), 0u) << result.err;
        EXPECT_EQ(result.err.back(), '\n');
        EXPECT_EQ(result.err.find("\n\n"), std::string::npos) << result.err;
    }
}

// Each option's help starts at the column; an option that reaches it gets a
// line of its own, and a help's later lines line up under its first.
TEST(CommandLine, OptionHelpLines)
{
    EXPECT_EQ(option_help_lines({{"-x <n>", "one"}, {"--long-option", "first\nsecond"}}, 10),
              "  -x <n>  one\n"
              "  --long-option\n"
              "          first\n"
              "          second\n");
    // Two spaces at least: "  -abcd" and two more fill the column exactly.
    EXPECT_EQ(option_help_lines({{"-abcd", "fits"}, {"-abcde", "does not"}}, 9),
              "  -abcd  fits\n"
              "  -abcde\n"
              "         does not\n");
    // A shared option in another program's words; the letter and the long
    // name stay the table's.
    EXPECT_EQ(option_help_lines({shared_option_help('w', "<window>"), shared_option_help('h'),
                                 shared_option_help(VERSION_OPTION, nullptr, "the version")},
                                16),
              "  -w <window>   analysis window in samples, rounded down to a multiple of 1024,\n"
              "                at most 16 seconds; 0 means half a second (the default)\n"
              "  -h, --help    print this help and exit\n"
              "  --version     the version\n");
}
