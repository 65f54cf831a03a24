// The program's start-up after the toolkit application exists: command
// line, engine parameters, window, engine threads and audio, in the fixed
// order the engine relies on. main() and the end-to-end tests share it.
#pragma once

// Before the toolkit exists: answer -h, --help and --version, and refuse bad
// values of our own options, so that none of them needs a display. Returns
// true when start-up should go on; false with exit_status set when the
// program ends here. Main thread, before QApplication.
bool answer_command_line(int argc, char **argv, int &exit_status);

// Parse argv, build main_window, start the engine and the audio side and
// show the window. Returns true when the event loop should run; false with
// exit_status set when the program ends here (usage text, or a close asked
// for by a signal during start-up). Fatal errors end the process (errx).
// Main thread, once, with a QApplication constructed from argv.
bool start_orvel(int argc, char **argv, int &exit_status);

class OrvMainWindow;
// The single main window, built by start_orvel and never deleted.
extern OrvMainWindow *main_window;
