#include "accuracy_offline.h"

#include "audio/sample_ring.h"
#include "engine/collector.h"
#include "engine/engine.h"
#include "engine/refine_group.h"
#include "engine/tone_detector.h"
#include "support/offline_job.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <random>
#include <vector>

namespace {

constexpr int SINES = 200;
// Any -w request beyond 16 seconds gives the longest window.
constexpr std::int64_t LONGEST_REQUEST = 100000000;
constexpr double GROSS_CENTS = 50.0;
constexpr double AMPLITUDE = 0.5;
constexpr double TWO_PI = 2.0 * std::numbers::pi;
// Instrument notes are scored on the rows whose blocks end from FIRST_ROW_S
// to LAST_ROW_S after the note starts, at this engine rate.
constexpr int NOTE_RATE = 16000;
constexpr double FIRST_ROW_S = 0.3;
constexpr double LAST_ROW_S = 1.5;
constexpr double NOTE_SECONDS = 2.0;

double median(std::vector<double> v)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double percentile_90(std::vector<double> v)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, v.size() * 9 / 10)];
}

double worst(const std::vector<double> &v)
{
    return v.empty() ? NAN : *std::max_element(v.begin(), v.end());
}

int gross(const std::vector<double> &v)
{
    return static_cast<int>(std::count_if(v.begin(), v.end(), [](double c) { return c > GROSS_CENTS; }));
}

// Server-rate sound brought to the engine rate as the intake does: groups of
// rate_div frames averaged, in ring units.
std::vector<double> to_engine_rate(const std::vector<float> &server, int rate)
{
    const std::size_t div = static_cast<std::size_t>(SERVER_RATE / rate);
    std::vector<double> out(server.size() / div);
    for (std::size_t i = 0; i < out.size(); i++) {
        float sum = 0.0f;
        for (std::size_t k = 0; k < div; k++)
            sum += server[i * div + k];
        out[i] = static_cast<double>(sum / static_cast<float>(div) * static_cast<float>(FULL_SCALE));
    }
    return out;
}

double cents(double hz, double reference)
{
    return std::fabs(1200.0 * std::log2(hz / reference));
}

// ---- sines --------------------------------------------------------------------

struct Errors {
    std::vector<double> readout, fundamental;
};

}  // namespace

int offline_sines(int rate, bool longest, const std::string &folder)
{
    // A request beyond 16 s is cut to 16 s.
    Engine engine(engine_config(rate, longest ? LONGEST_REQUEST : 0));
    const std::uint64_t window_size = engine.window_size();
    const std::uint64_t groups = engine.group_count();
    const double top = std::min(HIGHEST_TONE, 0.4 * rate);
    std::mt19937 rng(static_cast<unsigned>(rate));
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    Errors all, by_octave[7];
    int missing = 0;
    std::uint64_t choice_samples = 0, fundamental_samples = 0, row_samples = 0;
    const std::uint64_t server_frames = window_size * static_cast<std::uint64_t>(SERVER_RATE / rate);
    std::vector<float> server(server_frames);
    for (int t = 0; t < SINES; t++) {
        const double hz = LOWEST_TONE * std::pow(top / LOWEST_TONE, unit(rng));
        const double phase = TWO_PI * unit(rng);
        for (std::uint64_t f = 0; f < server_frames; f++)
            server[f] = static_cast<float>(AMPLITUDE * std::cos(TWO_PI * hz * static_cast<double>(f) / SERVER_RATE + phase));
        const std::vector<double> w = to_engine_rate(server, rate);

        const std::uint64_t before = engine.tone_samples_measured();
        const OfflineRow row = analyse_window(engine, w.data(), false);
        const std::uint64_t after_row = engine.tone_samples_measured();
        ToneWindow prepared;
        prepared.prepare(w.data(), w.size());
        const WindowProbe window = engine.window_probe(prepared);
        const BandProbe probe = window.probe();
        group_to_refine(strongest_group(row.levels.data(), groups), groups, probe);
        const std::uint64_t after_choice = engine.tone_samples_measured();
        const FundamentalReading f = find_fundamental(row.levels.data(), groups, probe);
        fundamental_samples += engine.tone_samples_measured() - after_choice;
        choice_samples += after_choice - after_row;
        row_samples += after_row - before;

        const double r = cents(engine.band_freq()[row.readout_band], hz);
        const double e = f.found ? cents(f.hz, hz) : INFINITY;
        missing += !f.found;
        const int octave = std::min(6, static_cast<int>(std::log2(hz / LOWEST_TONE)));
        for (Errors *bin : {&all, &by_octave[octave]}) {
            bin->readout.push_back(r);
            bin->fundamental.push_back(e);
        }
    }
    std::FILE *out = std::fopen((folder + "/sines-" + std::to_string(rate) + (longest ? "-longest" : "")).c_str(), "w");
    if (out == nullptr)
        return 1;
    const double w = static_cast<double>(window_size) * SINES;
    std::fprintf(out, "S| %d | %llu | %.2f | %.2f | %.1f | %d | %.3f | %.3f | %.2f | %d | %d |\n", rate,
                 static_cast<unsigned long long>(window_size), median(all.readout), percentile_90(all.readout), worst(all.readout),
                 gross(all.readout), median(all.fundamental), percentile_90(all.fundamental), worst(all.fundamental),
                 gross(all.fundamental), missing);
    if (longest) {
        // The sine row alone: the cost and the octaves tell the default
        // window's story again.
        std::fclose(out);
        return 0;
    }
    std::fprintf(out, "C| %d | %llu | %.1f | %.2f | %.2f |\n", rate, static_cast<unsigned long long>(groups), row_samples / w,
                 choice_samples / w, fundamental_samples / w);
    for (int o = 0; o < 7; o++) {
        const Errors &b = by_octave[o];
        if (b.readout.empty())
            continue;
        std::fprintf(out, "O| %d | %.0f to %.0f Hz | %.2f | %.1f | %d | %.3f | %.2f | %d | %zu |\n", rate, LOWEST_TONE * std::exp2(o),
                     std::min(top, LOWEST_TONE * std::exp2(o + 1)), median(b.readout), worst(b.readout), gross(b.readout),
                     median(b.fundamental), worst(b.fundamental), gross(b.fundamental), b.readout.size());
    }
    std::fclose(out);
    return 0;
}

// ---- instrument notes -------------------------------------------------------

namespace {

struct Instrument {
    const char *name;
    int program;  // General MIDI program, 0-based
    std::vector<int> keys;
};

const Instrument INSTRUMENTS[] = {
    {"Piano", 0, {28, 33, 40, 47, 55, 62, 69, 76, 88}},
    {"Nylon guitar", 24, {40, 45, 52, 59, 64, 71, 76}},
    {"Acoustic bass", 32, {28, 33, 38, 43, 48, 55}},
    {"Violin", 40, {55, 62, 69, 76, 83, 90}},
    {"Cello", 42, {36, 43, 50, 57, 64, 72}},
    {"Choir aahs", 52, {48, 55, 62, 69, 76}},
    {"Trumpet", 56, {55, 62, 69, 76, 82}},
    {"Clarinet", 71, {50, 57, 64, 71, 78, 86}},
    {"Flute", 73, {60, 67, 74, 81, 88, 95}},
    {"Church organ", 19, {36, 43, 50, 60, 72, 84}},
};

// The church organ mixes stops an octave apart (16, 8 and 4 foot), and at
// some keys the loudest sound an octave below or above it.
constexpr int CHURCH_ORGAN = 19;

const char *const SOUNDFONTS[][2] = {
    {"TimGM6mb", "/usr/share/sounds/sf2/TimGM6mb.sf2"},
    {"MuseScore General", "/usr/share/sounds/sf3/MuseScore_General.sf3"},
};

void put_be(std::vector<unsigned char> &out, std::uint32_t value, int bytes)
{
    for (int i = bytes - 1; i >= 0; i--)
        out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

// A format-0 standard MIDI file: program, one key held NOTE_SECONDS - 0.4 s,
// at 120 beats a minute and 480 ticks a beat (960 ticks a second).
bool write_midi(const std::string &path, int program, int key)
{
    const std::vector<unsigned char> events = {
        0x00, 0xC0, static_cast<unsigned char>(program),
        0x00, 0x90, static_cast<unsigned char>(key), 100,
        0x8C, 0x00, 0x80, static_cast<unsigned char>(key), 0,  // 1536 ticks: 1.6 s
        0x83, 0x60, 0xFF, 0x2F, 0x00,                          // 480 ticks later
    };
    std::vector<unsigned char> file = {'M', 'T', 'h', 'd'};
    put_be(file, 6, 4);
    put_be(file, 0, 2);
    put_be(file, 1, 2);
    put_be(file, 480, 2);
    file.insert(file.end(), {'M', 'T', 'r', 'k'});
    put_be(file, static_cast<std::uint32_t>(events.size()), 4);
    file.insert(file.end(), events.begin(), events.end());
    std::FILE *out = std::fopen(path.c_str(), "wb");
    if (out == nullptr)
        return false;
    const bool ok = std::fwrite(file.data(), 1, file.size(), out) == file.size();
    return std::fclose(out) == 0 && ok;
}

std::vector<float> read_mono(const std::string &path)
{
    SF_INFO info{};
    SNDFILE *file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr)
        return {};
    std::vector<float> frames(static_cast<std::size_t>(info.frames * info.channels));
    sf_readf_float(file, frames.data(), info.frames);
    sf_close(file);
    std::vector<float> mono(static_cast<std::size_t>(info.frames));
    for (std::size_t i = 0; i < mono.size(); i++)
        mono[i] = frames[i * static_cast<std::size_t>(info.channels)];
    return mono;
}

bool write_wav(const std::string &path, const std::vector<float> &mono)
{
    SF_INFO info{};
    info.samplerate = SERVER_RATE;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE *file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr)
        return false;
    sf_writef_float(file, mono.data(), static_cast<sf_count_t>(mono.size()));
    sf_close(file);
    return true;
}

// Shares of rows (0..1) whose nearest note equals the key.
struct Score {
    double fundamental = 0.0;
    double readout = 0.0;
    double aubio = -1.0;  // -1: aubio not there
};

bool majority(double share)
{
    return share > 0.5;
}

// The rows of a sound at 48000 Hz starting at 0: each block end from
// FIRST_ROW_S to LAST_ROW_S.
Score score_rows(Engine &engine, const std::vector<float> &server, int key)
{
    const std::uint64_t window_size = engine.window_size();
    const std::vector<double> sound = to_engine_rate(server, NOTE_RATE);
    int rows = 0, fundamental_right = 0, readout_right = 0;
    for (std::uint64_t end = BLOCK_LEN; end <= sound.size(); end += BLOCK_LEN) {
        const double seconds = static_cast<double>(end) / NOTE_RATE;
        if (seconds < FIRST_ROW_S || seconds > LAST_ROW_S)
            continue;
        std::vector<double> w(window_size, 0.0);
        const std::uint64_t have = std::min<std::uint64_t>(end, window_size);
        std::copy(sound.begin() + static_cast<long>(end - have), sound.begin() + static_cast<long>(end),
                  w.begin() + static_cast<long>(window_size - have));
        const OfflineRow row = analyse_window(engine, w.data());
        rows++;
        readout_right += std::lround(69.0 + 12.0 * std::log2(engine.band_freq()[row.readout_band] / 440.0)) == key;
        fundamental_right += row.fundamental.found && row.fundamental.note == key;
    }
    Score s;
    s.fundamental = rows > 0 ? static_cast<double>(fundamental_right) / rows : 0.0;
    s.readout = rows > 0 ? static_cast<double>(readout_right) / rows : 0.0;
    return s;
}

// aubio's yinfft on the same file: its frames from FIRST_ROW_S to LAST_ROW_S.
double aubio_share(const std::string &wav, int key)
{
    const std::string command = "aubiopitch -p yinfft -u midi -i '" + wav + "' 2>/dev/null";
    std::FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return -1.0;
    int frames = 0, right = 0;
    double time = 0.0, midi = 0.0;
    while (std::fscanf(pipe, "%lf %lf", &time, &midi) == 2) {
        if (time < FIRST_ROW_S || time > LAST_ROW_S)
            continue;
        frames++;
        right += std::lround(midi) == key;
    }
    const int status = pclose(pipe);
    if (status != 0 || frames == 0)
        return -1.0;
    return static_cast<double>(right) / frames;
}

struct Tally {
    int notes = 0, fundamental = 0, readout = 0, aubio = 0;
    bool aubio_missing = false;

    void add(const Score &s)
    {
        notes++;
        fundamental += majority(s.fundamental);
        readout += majority(s.readout);
        aubio += majority(s.aubio);
        aubio_missing |= s.aubio < 0.0;
    }

    void print(std::FILE *out, const char *tag, const std::string &name) const
    {
        std::fprintf(out, "%s| %s | %d | %d | %s | %d |\n", tag, name.c_str(), notes, fundamental,
                     aubio_missing ? "n/a" : std::to_string(aubio).c_str(), readout);
    }
};

// Synthetic tones at 48000 Hz: partials of f0 (each 1/k), a stretch, vibrato.
std::vector<float> synthetic(double f0, int first, int last, double stretch, double vibrato_cents)
{
    const auto frames = static_cast<std::size_t>(NOTE_SECONDS * SERVER_RATE);
    std::vector<float> out(frames, 0.0f);
    for (int k = first; k <= last; k++) {
        const double fk = k * f0 * std::sqrt(1.0 + stretch * k * k);
        if (fk > 0.4 * NOTE_RATE)
            break;
        double phase = 0.3 * k;
        for (std::size_t i = 0; i < frames; i++) {
            const double t = static_cast<double>(i) / SERVER_RATE;
            const double bend = std::exp2(vibrato_cents / 1200.0 * std::sin(TWO_PI * 5.5 * t));
            out[i] += static_cast<float>(0.3 / k * std::cos(phase));
            phase += TWO_PI * fk * bend / SERVER_RATE;
        }
    }
    return out;
}

}  // namespace

int offline_notes(const std::string &folder)
{
    Engine engine(engine_config(NOTE_RATE));
    std::FILE *out = std::fopen((folder + "/notes").c_str(), "w");
    if (out == nullptr)
        return 1;
    Tally total, at_pitch;
    for (const auto &font : SOUNDFONTS) {
        for (const Instrument &instrument : INSTRUMENTS) {
            Tally tally;
            for (int key : instrument.keys) {
                const std::string base = folder + "/note";
                if (!write_midi(base + ".mid", instrument.program, key))
                    return 1;
                const std::string render = "fluidsynth -ni -q -R 0 -C 0 -g 0.6 -r 48000 -F '" + base + ".wav' '" + font[1] + "' '" +
                                           base + ".mid' > /dev/null 2>&1";
                if (std::system(render.c_str()) != 0)
                    return 1;
                const std::vector<float> sound = read_mono(base + ".wav");
                Score s = score_rows(engine, sound, key);
                s.aubio = aubio_share(base + ".wav", key);
                tally.add(s);
                total.add(s);
                if (instrument.program != CHURCH_ORGAN)
                    at_pitch.add(s);
                std::fprintf(out, "K| %s | %s | %d | %.0f %% | %.0f %% | %.0f %% |\n", font[0], instrument.name, key, 100 * s.fundamental,
                             100 * s.aubio, 100 * s.readout);
            }
            tally.print(out, "I", std::string(font[0]) + " | " + instrument.name);
        }
    }
    total.print(out, "T", "All rendered notes | ");
    at_pitch.print(out, "T", "All but the church organ | ");

    struct Synthetic {
        const char *name;
        int key;
        double f0;
        int first, last;
        double stretch, vibrato;
    };
    const Synthetic cases[] = {
        {"Missing fundamental, partials 2 to 8", 40, 82.407, 2, 8, 0.0, 0.0},
        {"Missing fundamental, partials 3 to 9", 45, 110.0, 3, 9, 0.0, 0.0},
        {"Missing fundamental, partials 2 to 6", 57, 220.0, 2, 6, 0.0, 0.0},
        {"Stretched partials (B = 0.0004), 1 to 12", 33, 55.0, 1, 12, 0.0004, 0.0},
        {"Stretched partials (B = 0.001), 1 to 10", 45, 110.0, 1, 10, 0.001, 0.0},
        {"Stretched partials (B = 0.0002), 1 to 12", 60, 261.626, 1, 12, 0.0002, 0.0},
        {"Vibrato 5.5 Hz, 30 cents, partials 1 to 6", 57, 220.0, 1, 6, 0.0, 30.0},
        {"Vibrato 5.5 Hz, 50 cents, pure", 76, 659.255, 1, 1, 0.0, 50.0},
        {"Vibrato 5.5 Hz, 20 cents, partials 1 to 4", 43, 97.999, 1, 4, 0.0, 20.0},
    };
    for (const Synthetic &c : cases) {
        const std::vector<float> sound = synthetic(c.f0, c.first, c.last, c.stretch, c.vibrato);
        const std::string wav = folder + "/synthetic.wav";
        if (!write_wav(wav, sound))
            return 1;
        Score s = score_rows(engine, sound, c.key);
        s.aubio = aubio_share(wav, c.key);
        std::fprintf(out, "Y| %s | %d | %.0f %% | %s | %.0f %% |\n", c.name, c.key, 100 * s.fundamental,
                     s.aubio < 0.0 ? "n/a" : (std::to_string(std::lround(100 * s.aubio)) + " %").c_str(), 100 * s.readout);
    }
    std::fclose(out);
    return 0;
}

namespace {

void print_tagged(const std::string &path, char tag)
{
    std::FILE *file = std::fopen(path.c_str(), "r");
    if (file == nullptr)
        return;
    char line[512];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (line[0] == tag && line[1] == '|')
            std::fputs(line + 1, stdout);
    }
    std::fclose(file);
}

void print_rates(const std::string &folder, char tag)
{
    for (int rate : RATES)
        print_tagged(folder + "/sines-" + std::to_string(rate), tag);
    if (tag == 'S') {
        for (int rate : RATES)
            print_tagged(folder + "/sines-" + std::to_string(rate) + "-longest", tag);
    }
}

}  // namespace

void print_offline(const std::string &folder)
{
    std::printf(
        "\n## Both read-outs on random sines\n\n"
        "%d sines per engine rate (a fixed seed per rate), uniform in pitch from\n"
        "%.0f Hz to %.0f Hz or 0.4 times the rate, at any offset from the grid and\n"
        "any phase, amplitude %.1f, brought to the engine rate as the intake does.\n"
        "Each is one job's window, of the default length and (the last rows)\n"
        "the longest, 16 s, analysed offline: the detectors' and the collector's\n"
        "own functions (the coarse pass, the choice of group, the refinement,\n"
        "the pitch-class peaks) run in turn, without the\n"
        "pipeline's threads (`tests/support/offline_job.h`). The note read-out is\n"
        "the row's strongest pitch-class peak; the fundamental is\n"
        "`find_fundamental` on the same window's coarse levels and probes. Errors\n"
        "in cents; gross is more than %.0f cents off.\n\n",
        SINES, LOWEST_TONE, HIGHEST_TONE, AMPLITUDE, GROSS_CENTS);
    std::printf("| Engine rate (Hz) | Window | Read-out median | Read-out p90 | Read-out worst | Read-out gross | Fundamental median | Fundamental p90 | Fundamental worst | Fundamental gross | No fundamental |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
    print_rates(folder, 'S');
    std::printf("\n### By octave\n\n| Engine rate (Hz) | Tones | Read-out median | Read-out worst | Read-out gross | Fundamental median | Fundamental worst | Fundamental gross | Sines |\n|---|---|---|---|---|---|---|---|---|\n");
    print_rates(folder, 'O');
    std::printf(
        "\n### Cost per job\n\n"
        "Samples run through the tone kernel per job, in whole windows: the row\n"
        "(coarse pass, choice of group, refinement), the choice of group alone\n"
        "(its short probes, part of the row), and the fundamental on top.\n\n"
        "| Engine rate (Hz) | Groups | Row | Choice of group | Fundamental |\n|---|---|---|---|---|\n");
    print_rates(folder, 'C');

    std::printf(
        "\n## Instrument notes\n\n"
        "Notes rendered with fluidsynth (no reverb or chorus) from Debian's\n"
        "TimGM6mb and MuseScore General sound fonts, one key held 1.6 s, at 48000\n"
        "Hz, analysed at %d Hz as above on the rows whose blocks end from %.1f s\n"
        "to %.1f s. A note is right when the nearest note of more than half of\n"
        "its rows equals the played key. aubio's yinfft (`aubiopitch -p yinfft -u\n"
        "midi`, a reference only) reads the same files, scored the same way on\n"
        "its frames in that time. The church organ mixes stops an octave apart\n"
        "(16, 8 and 4 foot), and at some keys the loudest sound an octave below\n"
        "(TimGM6mb's key 72 sounds as 60 to every read-out, aubio's included)\n"
        "or above it: the totals are given with and without it.\n\n"
        "| Sound font | Instrument | Notes | Fundamental right | aubio yinfft right | Note read-out right |\n|---|---|---|---|---|---|\n",
        NOTE_RATE, FIRST_ROW_S, LAST_ROW_S);
    print_tagged(folder + "/notes", 'I');
    print_tagged(folder + "/notes", 'T');
    std::printf(
        "\n### The church organ's misses\n\n"
        "The partials of the rendered files from 0.3 s to 1.5 s (a Hann window\n"
        "over the whole span, each partial's peak within 3 %% of its multiple,\n"
        "levels against the loudest; f is the played key's pitch):\n\n"
        "| Sound font | Key | f / 2 | f | 3 f / 2 | 2 f | 5 f / 2 | 3 f | Read as |\n|---|---|---|---|---|---|---|---|---|\n"
        "| TimGM6mb | 36 | 32.9 Hz, -7.8 dB | -10.2 dB | -29.3 dB | 0.0 dB | -44.0 dB | -24.7 dB | 24 |\n"
        "| TimGM6mb | 43 | 49.2 Hz, -9.1 dB | -9.1 dB | -29.7 dB | 0.0 dB | -43.6 dB | -25.3 dB | 31 |\n"
        "| TimGM6mb | 72 | 262.0 Hz, -1.7 dB | -4.5 dB | -12.4 dB | -10.8 dB | -22.5 dB | -9.3 dB | 60 |\n"
        "| TimGM6mb | 84 | 524.0 Hz, 0.0 dB | -0.1 dB | -31.3 dB | -17.9 dB | -54.7 dB | -35.0 dB | 72 |\n"
        "| MuseScore General | 43 | 50.5 Hz, -55.5 dB | -11.0 dB | -53.7 dB | 0.0 dB | -53.7 dB | -16.8 dB | 55 |\n\n"
        "At TimGM6mb's four keys a 16-foot stop sounds the octave below with its\n"
        "own odd partials (f / 2 and 3 f / 2 stand clear of the floor), as loud\n"
        "as the key's own fundamental or louder: the sound's period is that of\n"
        "the octave below, and aubio does not read the key there either. The\n"
        "sound font's octave, not a fault of the read-outs. MuseScore General's\n"
        "key 43 has no sound below the key and its odd partials (f, 3 f, 5 f at\n"
        "-11, -17 and -25 dB) are clear, so the key is what a listener hears;\n"
        "the 4-foot stop's even partials (2 f, 4 f at -8 dB, 6 f at -10 dB) make\n"
        "the octave above win the summation on most rows: a miss of the\n"
        "fundamental.\n");
    std::printf("\n### Synthetic tones\n\nRows right, as above.\n\n| Tone | Key | Fundamental | aubio yinfft | Note read-out |\n|---|---|---|---|---|\n");
    print_tagged(folder + "/notes", 'Y');
    std::printf("\n### Every note\n\nRows right.\n\n| Sound font | Instrument | Key | Fundamental | aubio yinfft | Note read-out |\n|---|---|---|---|---|---|\n");
    print_tagged(folder + "/notes", 'K');
}
