// SIGINT and SIGTERM close a window as the user would, so that a terminal's
// Ctrl+C or a service manager takes the client off the sound server cleanly
// and the process exits with the window's status.
#pragma once

class QWidget;

// Main thread, once, after the window exists. A signal that arrives while a
// modal box is up (the "NO AUDIO" box during start-up) closes the box too.
void close_on_signal(QWidget *window);

// Whether a signal asked for the close; start-up checks it after a modal box,
// since an event loop entered after the close would never be told to end.
bool close_requested();
