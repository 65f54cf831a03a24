// The audio-device interface the configuration page is written against: list
// devices, choose an input and an output device, map the program's left and
// right channels to device channels, and ask for a period size.
//
// With JACK the server owns every one of these choices (ports are connected
// at start-up, the period is the server's), so each operation answers a fixed
// value and applies nothing. Another back-end plugs in as a table of
// operations; the free functions below only dispatch through it.
//
// Main (toolkit) thread only, the back-end table included.
#pragma once

#include <QString>

// One pointer per operation, each with the contract of the free function of
// the same name. Every pointer must be set.
struct AudioDeviceBackend {
    void (*init)();
    int (*device_count)();
    QString (*device_name)(int device);
    bool (*device_has_input)(int device);
    bool (*device_has_output)(int device);
    int (*select_input_device)(int device);
    int (*select_output_device)(int device);
    int (*input_channel_count)();
    int (*output_channel_count)();
    int (*input_channel)(int which, int channel);
    int (*output_channel)(int which, int channel);
    QString (*input_device_label)();
    QString (*output_device_label)();
    int (*set_buffer_samples)(int samples);
};

// The JACK answers; in effect until another table is installed.
extern const AudioDeviceBackend audio_jack_backend;

// Route every operation through backend from now on; null goes back to
// JACK. The table is not copied and must outlive its use.
void set_audio_device_backend(const AudioDeviceBackend *backend);

// (Re)initialise the back-end: once at start-up before the main window is
// built, and by a rescan that asks for it. JACK: nothing.
void audio_init();

// Number of devices, rescanning them. JACK: 1.
int audio_device_count();

// Display name of device (0-based). JACK: "JACK" for every index.
QString audio_device_name(int device);

// Whether device can record, or play. JACK: true.
bool audio_device_has_input(int device);
bool audio_device_has_output(int device);

// Choose the input or output device; a negative device only asks. Returns
// the index in effect. JACK: 0, whatever was asked.
int audio_select_input_device(int device);
int audio_select_output_device(int device);

// Number of channels the chosen device offers each way. JACK: 2.
int audio_input_channel_count();
int audio_output_channel_count();

// Map the program's channel which (0 left, 1 right) to the 0-based device
// channel; -1 only asks. Returns the channel in effect. JACK: which.
int audio_input_channel(int which, int channel);
int audio_output_channel(int which, int channel);

// Texts describing the chosen devices. JACK: "Default audio input device"
// and "Default audio output device".
QString audio_input_device_label();
QString audio_output_device_label();

// Ask for a period of samples; a negative request only asks. Returns the
// period in effect, negative while the system default is in effect.
// JACK: -1, whatever was asked.
int audio_set_buffer_samples(int samples);
