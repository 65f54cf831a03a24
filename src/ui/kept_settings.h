// What the user chose, kept from one start to the next: the generator
// page's choices and sliders, decay, sensitivity, fine tuning, the tuner
// page's settings (reference A4, transposition, temperament or Scala file,
// tonic, steadiness, level gate, in-tune zone), the analysed and correlated
// channels, the window's size and position and the export directory.
// Kept with QSettings in an INI file of the XDG configuration directory
// ($XDG_CONFIG_HOME/orvel/orvel.ini, ~/.config/... without it);
// QSettings locks the file while it writes and replaces it whole, so two
// Orvels at once leave one of their sets, never a mix of half files.
// Main (toolkit) thread only.
#pragma once

#include <QString>

class OrvMainWindow;

// Where the settings are kept.
QString kept_settings_path();

// Put what was kept into the window's controls, each of which then tells
// its owner as a click or a drag would; a value out of a control's range
// (another engine rate on the command line) is brought into it, and what
// was never kept stays as it is. A file that cannot be read or parsed
// leaves every control as it is and says so in one line on stderr.
void restore_settings(OrvMainWindow &window);

// Write the controls' states into the file. A failure to write says so in
// one line on stderr.
void keep_settings(const OrvMainWindow &window);
