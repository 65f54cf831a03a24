#include "audio/audio_device.h"

namespace {

// The JACK server decides devices, routing and period; every answer is fixed.
constexpr int JACK_DEVICE = 0;                 // the one device there is
constexpr int JACK_CHANNELS = 2;               // the client's two ports each way
constexpr int JACK_SERVER_PERIOD = -1;         // negative: the server's own period

void jack_init() {}
int jack_device_count() { return 1; }
QString jack_device_name(int) { return QStringLiteral("JACK"); }
bool jack_device_has_input(int) { return true; }
bool jack_device_has_output(int) { return true; }
int jack_select_device(int) { return JACK_DEVICE; }
int jack_channel_count() { return JACK_CHANNELS; }
// Port input_1 / output_1 is the left channel, input_2 / output_2 the right.
int jack_channel(int which, int) { return which; }
QString jack_input_device_label() { return QStringLiteral("Default audio input device"); }
QString jack_output_device_label() { return QStringLiteral("Default audio output device"); }
int jack_set_buffer_samples(int) { return JACK_SERVER_PERIOD; }

}  // namespace

const AudioDeviceBackend audio_jack_backend = {
    jack_init,
    jack_device_count,
    jack_device_name,
    jack_device_has_input,
    jack_device_has_output,
    jack_select_device,
    jack_select_device,
    jack_channel_count,
    jack_channel_count,
    jack_channel,
    jack_channel,
    jack_input_device_label,
    jack_output_device_label,
    jack_set_buffer_samples,
};

// ---- the back-end in use (main thread only) ----
static const AudioDeviceBackend *backend = &audio_jack_backend;

void set_audio_device_backend(const AudioDeviceBackend *table)
{
    backend = table ? table : &audio_jack_backend;
}

void audio_init() { backend->init(); }
int audio_device_count() { return backend->device_count(); }
QString audio_device_name(int device) { return backend->device_name(device); }
bool audio_device_has_input(int device) { return backend->device_has_input(device); }
bool audio_device_has_output(int device) { return backend->device_has_output(device); }
int audio_select_input_device(int device) { return backend->select_input_device(device); }
int audio_select_output_device(int device) { return backend->select_output_device(device); }
int audio_input_channel_count() { return backend->input_channel_count(); }
int audio_output_channel_count() { return backend->output_channel_count(); }
int audio_input_channel(int which, int channel) { return backend->input_channel(which, channel); }
int audio_output_channel(int which, int channel) { return backend->output_channel(which, channel); }
QString audio_input_device_label() { return backend->input_device_label(); }
QString audio_output_device_label() { return backend->output_device_label(); }
int audio_set_buffer_samples(int samples) { return backend->set_buffer_samples(samples); }
