// The program's start-up after the toolkit application exists: command
// line, the analysis, the generator, the window and the audio side, in the
// fixed order they rely on. main() and the end-to-end tests share it.
#pragma once

#include "audio/analysis.h"
#include "audio/jack_client.h"
#include "audio/server_watch.h"
#include "siggen/generator.h"
#include "ui/main_window.h"

#include <memory>

// Before the toolkit exists: answer -h, --help and --version, and refuse bad
// values of our own options, so that none of them needs a display. Returns
// true when start-up should go on; false with exit_status set when the
// program ends here. Main thread, before QApplication.
bool answer_command_line(int argc, char **argv, int &exit_status);

// Everything the running program owns. Destroyed in reverse order of
// construction: the window, the watch, the JACK client (off the server
// before anything it plays from goes), the generator, then the analysis,
// each joining its threads.
struct OrvelProgram {
    std::unique_ptr<Analysis> analysis;
    std::unique_ptr<Generator> generator;
    std::unique_ptr<JackClient> jack;
    std::unique_ptr<ServerWatch> watch;
    std::unique_ptr<OrvMainWindow> window;
};

// The program's objects for config in their order: the analysis started,
// the generator (not yet started), the JACK client and its watch (not yet
// looking), and the window. Main thread, with a QApplication.
std::unique_ptr<OrvelProgram> make_program(const EngineConfig &config);

// Parse argv, start the analysis and the generator, build the window, join
// the sound server and show the window. Returns the program when the event
// loop should run; null with exit_status set when the program ends here
// (usage text, or a close asked for by a signal during start-up). Fatal
// errors end the process (errx). Main thread, once, with a QApplication
// constructed from argv.
std::unique_ptr<OrvelProgram> start_orvel(int argc, char **argv, int &exit_status);
