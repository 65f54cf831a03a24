// Starting the audio side at start-up: the window's own business, since a
// failure is shown in a message box over it.
#pragma once

struct OrvelProgram;

// The generator thread, then the server watch's first look (which opens the
// JACK client on the analysis's exchange) and the timer that repeats it
// (server_watch.h); shows the
// "NO AUDIO" box when the client cannot be opened, then refreshes the
// configuration page. Main thread, once, after the window exists.
void audio_start(OrvelProgram &program);
