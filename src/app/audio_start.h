// Starting the audio side at start-up: the window's own business, since a
// failure is shown in a message box over it.
#pragma once

// input_history, the generator and block assembler threads, then the JACK
// client and the watch that keeps it joined to the server (server_watch.h);
// shows the "NO AUDIO" box when the client cannot be opened, then refreshes
// the configuration page. Main thread, once, after main_window
// exists.
void audio_start();
