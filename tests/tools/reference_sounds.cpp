// Writes the sound files that orvel-analyze's reference output was recorded
// on (tests/check_analyze_reference.sh): tones on and off the grid, a chord,
// a glide, and noise with a delayed second channel. Every sample is computed
// from its index alone, so the files are the same on every machine.
//
//     orvel_reference_sounds DIR [SECONDS]
#include "support/white_noise.h"

#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr double TWO_PI = 6.283185307179586;
// Seconds of each file, unless the command line says otherwise.
int seconds = 4;

using Signal = std::function<float(std::uint64_t frame, int channel)>;

bool write_sound(const std::string &path, int rate, int channels, const Signal &signal)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE *file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        std::fprintf(stderr, "orvel_reference_sounds: %s: %s\n", path.c_str(), sf_strerror(nullptr));
        return false;
    }
    const auto frames = static_cast<std::uint64_t>(rate) * static_cast<std::uint64_t>(seconds);
    std::vector<float> frame(static_cast<std::size_t>(channels));
    for (std::uint64_t f = 0; f < frames; f++) {
        for (int c = 0; c < channels; c++)
            frame[static_cast<std::size_t>(c)] = signal(f, c);
        sf_writef_float(file, frame.data(), 1);
    }
    sf_close(file);
    return true;
}

float sine(double hz, int rate, std::uint64_t frame, double amplitude = 0.5)
{
    return static_cast<float>(amplitude * std::sin(TWO_PI * hz * static_cast<double>(frame) / rate));
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3 || (argc == 3 && (seconds = std::atoi(argv[2])) <= 0)) {
        std::fprintf(stderr, "usage: orvel_reference_sounds DIR [SECONDS]\n");
        return 2;
    }
    const std::string dir = argv[1];
    bool ok = true;
    // A tone on the grid, one between grid steps, and a low one.
    ok &= write_sound(dir + "/a440.wav", 48000, 1, [](std::uint64_t f, int) { return sine(440.0, 48000, f); });
    ok &= write_sound(dir + "/off-grid.wav", 48000, 1, [](std::uint64_t f, int) { return sine(742.3, 48000, f); });
    ok &= write_sound(dir + "/low.wav", 44100, 1, [](std::uint64_t f, int) { return sine(82.41, 44100, f, 0.8); });
    // Three notes of a chord with a quiet second channel.
    ok &= write_sound(dir + "/chord.wav", 48000, 2, [](std::uint64_t f, int c) {
        const float chord = sine(261.63, 48000, f, 0.3) + sine(329.63, 48000, f, 0.2) + sine(392.0, 48000, f, 0.2);
        return c == 0 ? chord : 0.01f * white_noise(f);
    });
    // A glide over two octaves: the read-out moves from row to row.
    ok &= write_sound(dir + "/glide.wav", 48000, 1, [](std::uint64_t f, int) {
        const double t = static_cast<double>(f) / 48000;
        const double phase = 110.0 * seconds / std::log(4.0) * (std::pow(4.0, t / seconds) - 1.0);
        return static_cast<float>(0.5 * std::sin(TWO_PI * phase));
    });
    // Noise, and on the second channel the same noise 1234 frames later and
    // quieter: the correlation's peak.
    ok &= write_sound(dir + "/noise-delayed.wav", 48000, 2, [](std::uint64_t f, int c) {
        if (c == 0)
            return white_noise(f);
        return f < 1234 ? 0.0f : 0.7f * white_noise(f - 1234) + 0.05f * white_noise(f + 1000000);
    });
    return ok ? 0 : 1;
}
