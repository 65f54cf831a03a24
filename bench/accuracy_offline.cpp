#include "accuracy_offline.h"

#include "audio/sample_ring.h"
#include "engine/collector.h"
#include "engine/engine.h"
#include "engine/refine_group.h"
#include "engine/tone_detector.h"
#include "engine/tone_level.h"
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
static_assert(std::size(SOUNDFONTS) == SOUNDFONT_COUNT);

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

// aubio's yinfft on the same file: the MIDI pitch of its frames from
// FIRST_ROW_S to LAST_ROW_S; false when it could not run.
bool aubio_frames(const std::string &wav, std::vector<double> &pitches)
{
    const std::string command = "aubiopitch -p yinfft -u midi -i '" + wav + "' 2>/dev/null";
    std::FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return false;
    double time = 0.0, midi = 0.0;
    while (std::fscanf(pipe, "%lf %lf", &time, &midi) == 2) {
        if (time >= FIRST_ROW_S && time <= LAST_ROW_S)
            pitches.push_back(midi);
    }
    return pclose(pipe) == 0;
}

// The share of those frames whose nearest key is key.
double aubio_share(const std::string &wav, int key)
{
    std::vector<double> pitches;
    if (!aubio_frames(wav, pitches) || pitches.empty())
        return -1.0;
    const auto right = std::count_if(pitches.begin(), pitches.end(), [key](double midi) { return std::lround(midi) == key; });
    return static_cast<double>(right) / static_cast<double>(pitches.size());
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
        "Levels on the whole window of the rows from 0.3 s to 1.5 s (the median\n"
        "over the rows, in dB against the loudest) at the half-multiples of the\n"
        "played key's pitch f, measured as the fundamental measures them:\n\n"
        "| Sound font | Key | f / 2 | f | 3 f / 2 | 2 f | 5 f / 2 | 3 f | Read as |\n|---|---|---|---|---|---|---|---|---|\n"
        "| TimGM6mb | 36 | -6.2 dB | -9.9 dB | -29.3 dB | 0.0 dB | -32.6 dB | -26.5 dB | 24 |\n"
        "| TimGM6mb | 43 | -6.2 dB | -7.6 dB | -27.7 dB | 0.0 dB | -34.9 dB | -28.6 dB | 31 |\n"
        "| TimGM6mb | 50 | -4.1 dB | -3.5 dB | -26.6 dB | 0.0 dB | -36.6 dB | -38.0 dB | 38 |\n"
        "| TimGM6mb | 60 | -11.4 dB | -6.3 dB | -24.3 dB | 0.0 dB | -26.2 dB | -16.7 dB | 48 |\n"
        "| TimGM6mb | 72 | 0.0 dB | -3.1 dB | -15.0 dB | -16.8 dB | -42.4 dB | -25.9 dB | 60 |\n"
        "| TimGM6mb | 84 | 0.0 dB | -23.8 dB | -32.7 dB | -36.8 dB | -37.7 dB | -40.0 dB | 72 |\n"
        "| MuseScore General | 72 | -30.0 dB | -3.8 dB | -11.6 dB | 0.0 dB | -43.9 dB | -13.4 dB | 60 |\n"
        "| MuseScore General | 84 | -23.4 dB | -6.6 dB | -4.7 dB | 0.0 dB | -35.8 dB | -4.5 dB | 72 |\n\n"
        "At TimGM6mb's keys a 16-foot stop sounds the octave below, within 12 dB\n"
        "of the loudest and, but at key 60, as loud as the key's own fundamental\n"
        "or louder: the sound's period is that of the octave below, and aubio\n"
        "reads none of these keys but 60 (keys 50 and 60 read right before the\n"
        "octave check on 68 %% and 63 %% of their rows, by a narrow margin in the\n"
        "summation).\n"
        "At MuseScore General's keys 72 and 84 a quint sounds 3 f / 2, 12 and 5\n"
        "dB below the loudest, whose period with f's is again the octave\n"
        "below's; aubio reads neither key. The sound font's octaves, not faults\n"
        "of the read-outs. MuseScore General's keys 36 and 43, misses before,\n"
        "read right now: nothing sounds below the key there (f / 2 at -43 and\n"
        "-40 dB), and the 4-foot stop's even partials no longer make the\n"
        "octave above win.\n");
    std::printf("\n### Synthetic tones\n\nRows right, as above.\n\n| Tone | Key | Fundamental | aubio yinfft | Note read-out |\n|---|---|---|---|---|\n");
    print_tagged(folder + "/notes", 'Y');
    std::printf("\n### Every note\n\nRows right.\n\n| Sound font | Instrument | Key | Fundamental | aubio yinfft | Note read-out |\n|---|---|---|---|---|---|\n");
    print_tagged(folder + "/notes", 'K');
}
// ---- low notes under noise and reverberation ------------------------------------

namespace {

// The low notes of plucked and bowed strings and a choir, from E1 to E3, and
// organ stops over the same keys.
const int BASS_KEYS[] = {28, 31, 33, 36, 38, 40, 43, 45, 48, 50, 52};

struct LowInstrument {
    const char *name;
    int program;   // General MIDI program, 0-based
    int lowest;    // the lowest of BASS_KEYS it plays
    bool organ;    // an organ stop: its sounding octave may be the one below
};

const LowInstrument LOW_INSTRUMENTS[] = {
    {"Nylon guitar", 24, 40, false},   {"Steel guitar", 25, 40, false},     {"Acoustic bass", 32, 28, false},
    {"Fingered bass", 33, 28, false},  {"Picked bass", 34, 28, false},      {"Cello", 42, 36, false},
    {"Contrabass", 43, 28, false},     {"Choir aahs", 52, 40, false},       {"Drawbar organ", 16, 28, true},
    {"Percussive organ", 17, 28, true}, {"Rock organ", 18, 28, true},       {"Church organ", 19, 28, true},
    {"Reed organ", 20, 28, true},
};
constexpr int LOW_INSTRUMENT_COUNT = static_cast<int>(std::size(LOW_INSTRUMENTS));

// Half-multiples of a key's pitch measured for the organs' misses: f / 2 to 3 f.
constexpr int HALF_MULTIPLE_COUNT = 6;

enum class Noise { none, white, pink };

struct Condition {
    const char *name;
    Noise noise;
    double snr_db;  // the note's power over the noise's, on the scored span
    bool reverb;
};

const Condition CONDITIONS[] = {
    {"clean", Noise::none, 0.0, false},
    {"white noise, 20 dB", Noise::white, 20.0, false},
    {"white noise, 10 dB", Noise::white, 10.0, false},
    {"white noise, 0 dB", Noise::white, 0.0, false},
    {"pink noise, 20 dB", Noise::pink, 20.0, false},
    {"pink noise, 10 dB", Noise::pink, 10.0, false},
    {"pink noise, 0 dB", Noise::pink, 0.0, false},
    {"reverberation", Noise::none, 0.0, true},
};
constexpr int CONDITION_COUNT = static_cast<int>(std::size(CONDITIONS));

// Gaussian noise at 48000 Hz, white or pink (Paul Kellet's filter, within
// 0.05 dB of -3 dB an octave from 9 Hz up), its power that of `sound` over
// the scored span less snr_db.
std::vector<float> add_noise(const std::vector<float> &sound, Noise kind, double snr_db, unsigned seed)
{
    std::mt19937 rng(seed);
    std::normal_distribution<double> gauss(0.0, 1.0);
    std::vector<double> noise(sound.size());
    double b[7] = {};
    for (double &n : noise) {
        const double w = gauss(rng);
        if (kind == Noise::white) {
            n = w;
            continue;
        }
        b[0] = 0.99886 * b[0] + w * 0.0555179;
        b[1] = 0.99332 * b[1] + w * 0.0750759;
        b[2] = 0.96900 * b[2] + w * 0.1538520;
        b[3] = 0.86650 * b[3] + w * 0.3104856;
        b[4] = 0.55000 * b[4] + w * 0.5329522;
        b[5] = -0.7616 * b[5] - w * 0.0168980;
        n = b[0] + b[1] + b[2] + b[3] + b[4] + b[5] + b[6] + w * 0.5362;
        b[6] = w * 0.115926;
    }
    const auto first = static_cast<std::size_t>(FIRST_ROW_S * SERVER_RATE);
    const auto last = std::min(sound.size(), static_cast<std::size_t>(LAST_ROW_S * SERVER_RATE));
    double signal_power = 0.0, noise_power = 0.0;
    for (std::size_t i = first; i < last; i++) {
        signal_power += static_cast<double>(sound[i]) * sound[i];
        noise_power += noise[i] * noise[i];
    }
    const double gain = noise_power > 0.0 ? std::sqrt(signal_power / noise_power * std::pow(10.0, -snr_db / 10.0)) : 0.0;
    std::vector<float> out(sound.size());
    for (std::size_t i = 0; i < sound.size(); i++)
        out[i] = static_cast<float>(sound[i] + gain * noise[i]);
    return out;
}

// The fundamental of one job's window as the fundamental task finds it, on
// the coarse pass's levels (the note read-out's refinement, which it does
// not read, left out).
FundamentalReading window_fundamental(const Engine &engine, const double *w)
{
    const std::uint64_t groups = engine.group_count();
    ToneWindow prepared;
    prepared.prepare(w, engine.window_size());
    std::vector<double> levels(groups);
    for (std::uint64_t g = 0; g < groups; g++)
        level_of_sums(engine.newest_tone_sums(prepared, engine.window_size(), engine.band_step(g * BANDS_PER_GROUP)),
                      engine.window_size(), &levels[g]);
    const WindowProbe window = engine.window_probe(prepared);
    return find_fundamental(levels.data(), groups, window.probe());
}

// Rows of one note under one condition: how many, how many each read-out
// had within 50 cents of the key, and how many the fundamental read 12 or
// more semitones off; and the fundamental's most frequent note.
struct LowScore {
    int rows = 0, within = 0, octave_off = 0;
    int aubio_frames = 0, aubio_within = 0;  // aubio_frames 0: aubio not there
    int read_as = 0;                         // the fundamental's most frequent note, 0 when none
    // Mean power at f / 2, f, 3 f / 2 ... 3 f of the key's pitch f on the
    // whole window, in dB against the loudest of them.
    double half_multiples_db[HALF_MULTIPLE_COUNT] = {};
};

void score_low_rows(const Engine &engine, const std::vector<float> &server, int key, LowScore &s)
{
    const std::uint64_t window_size = engine.window_size();
    const std::vector<double> sound = to_engine_rate(server, NOTE_RATE);
    int counts[128] = {};
    double power[HALF_MULTIPLE_COUNT] = {};
    const double key_step = 440.0 * std::exp2((key - 69) / 12.0) / NOTE_RATE;
    std::vector<double> w(window_size);
    for (std::uint64_t end = BLOCK_LEN; end <= sound.size(); end += BLOCK_LEN) {
        const double seconds = static_cast<double>(end) / NOTE_RATE;
        if (seconds < FIRST_ROW_S || seconds > LAST_ROW_S)
            continue;
        std::fill(w.begin(), w.end(), 0.0);
        const std::uint64_t have = std::min<std::uint64_t>(end, window_size);
        std::copy(sound.begin() + static_cast<long>(end - have), sound.begin() + static_cast<long>(end),
                  w.begin() + static_cast<long>(window_size - have));
        const FundamentalReading f = window_fundamental(engine, w.data());
        s.rows++;
        ToneWindow prepared;
        prepared.prepare(w.data(), window_size);
        const WindowProbe window = engine.window_probe(prepared);
        const BandProbe probe = window.probe();
        for (int k = 0; k < HALF_MULTIPLE_COUNT; k++) {
            const double m = probe.magnitude(key_step * (k + 1) / 2.0, window_size, probe.context);
            power[k] += m * m;
        }
        if (!f.found)
            continue;
        const double off = 12.0 * std::log2(f.hz / (440.0 * std::exp2((key - 69) / 12.0)));
        s.within += std::fabs(off) <= 0.5;
        s.octave_off += std::fabs(off) >= 11.5;
        if (f.note > 0 && f.note < 128)
            counts[f.note]++;
    }
    s.read_as = static_cast<int>(std::max_element(counts, counts + 128) - counts);
    if (counts[s.read_as] == 0)
        s.read_as = 0;
    const double loudest = *std::max_element(power, power + HALF_MULTIPLE_COUNT);
    for (int k = 0; k < HALF_MULTIPLE_COUNT; k++)
        s.half_multiples_db[k] = loudest > 0.0 ? 10.0 * std::log10(power[k] / loudest) : 0.0;
}

// aubio's yinfft frames from FIRST_ROW_S to LAST_ROW_S within 50 cents of
// the key. Its answers are kept beside the file, as they do not change
// with Orvel's code.
void aubio_low(const std::string &wav, int key, LowScore &s)
{
    const std::string kept = wav + ".aubio";
    if (std::FILE *in = std::fopen(kept.c_str(), "r")) {
        const bool read = std::fscanf(in, "%d %d", &s.aubio_frames, &s.aubio_within) == 2;
        std::fclose(in);
        if (read)
            return;
    }
    std::vector<double> pitches;
    if (!aubio_frames(wav, pitches))
        return;
    const int frames = static_cast<int>(pitches.size());
    const int within = static_cast<int>(std::count_if(pitches.begin(), pitches.end(), [key](double midi) { return std::fabs(midi - key) <= 0.5; }));
    s.aubio_frames = frames;
    s.aubio_within = within;
    if (std::FILE *out = std::fopen(kept.c_str(), "w")) {
        std::fprintf(out, "%d %d\n", frames, within);
        std::fclose(out);
    }
}

bool file_exists(const std::string &path)
{
    std::FILE *file = std::fopen(path.c_str(), "r");
    if (file != nullptr)
        std::fclose(file);
    return file != nullptr;
}

// The note rendered clean, then under the condition, as a file of its own
// in folder; kept files are used again.
bool render_low(const std::string &folder, const std::string &name, const char *font, int program, int key, const Condition &condition,
                unsigned seed)
{
    const std::string clean = folder + "/" + name + "-clean.wav";
    if (!file_exists(clean)) {
        const std::string mid = folder + "/" + name + ".mid";
        if (!write_midi(mid, program, key))
            return false;
        const std::string render =
            "fluidsynth -ni -q -R 0 -C 0 -g 0.6 -r 48000 -F '" + clean + "' '" + font + "' '" + mid + "' > /dev/null 2>&1";
        if (std::system(render.c_str()) != 0)
            return false;
    }
    const std::string path = folder + "/" + name + "-" + std::to_string(&condition - CONDITIONS) + ".wav";
    if (file_exists(path))
        return true;
    if (condition.reverb) {
        // sox's reverb at its defaults: 50 % reverberance, a room of 100 %.
        const std::string command = "sox -q '" + clean + "' '" + path + "' reverb > /dev/null 2>&1";
        return std::system(command.c_str()) == 0;
    }
    if (condition.noise == Noise::none)
        return std::system(("cp '" + clean + "' '" + path + "'").c_str()) == 0;
    return write_wav(path, add_noise(read_mono(clean), condition.noise, condition.snr_db, seed));
}

}  // namespace

int offline_low_notes(int font, const std::string &folder, const std::string &renders)
{
    const Engine engine(engine_config(NOTE_RATE));
    std::FILE *out = std::fopen((folder + "/low-" + std::to_string(font)).c_str(), "w");
    if (out == nullptr)
        return 1;
    for (int i = 0; i < LOW_INSTRUMENT_COUNT; i++) {
        const LowInstrument &instrument = LOW_INSTRUMENTS[i];
        for (int key : BASS_KEYS) {
            if (key < instrument.lowest)
                continue;
            const std::string name = "low-" + std::to_string(font) + "-" + std::to_string(instrument.program) + "-" + std::to_string(key);
            for (int c = 0; c < CONDITION_COUNT; c++) {
                const auto seed = static_cast<unsigned>((1000 * font + 100 * instrument.program + key) * CONDITION_COUNT + c);
                if (!render_low(renders, name, SOUNDFONTS[font][1], instrument.program, key, CONDITIONS[c], seed)) {
                    std::fclose(out);
                    return 1;
                }
                const std::string wav = renders + "/" + name + "-" + std::to_string(c) + ".wav";
                LowScore s;
                score_low_rows(engine, read_mono(wav), key, s);
                aubio_low(wav, key, s);
                std::fprintf(out, "L %d %d %d %d %d %d %d %d %d %d\n", font, i, key, c, s.rows, s.within, s.octave_off, s.aubio_frames,
                             s.aubio_within, s.read_as);
                if (c == 0 && 2 * s.within <= s.rows) {
                    std::fprintf(out, "E %d %d %d", font, i, key);
                    for (double db : s.half_multiples_db)
                        std::fprintf(out, " %.1f", db);
                    std::fprintf(out, "\n");
                }
            }
        }
    }
    std::fclose(out);
    return 0;
}

namespace {

struct LowTally {
    int notes = 0, right = 0, octave = 0, rows = 0, within = 0;
    int aubio_notes = 0, aubio_right = 0, aubio_frames = 0, aubio_within = 0;

    void add(const LowScore &s)
    {
        notes++;
        right += 2 * s.within > s.rows;
        octave += 2 * s.octave_off > s.rows;
        rows += s.rows;
        within += s.within;
        if (s.aubio_frames > 0) {
            aubio_notes++;
            aubio_right += 2 * s.aubio_within > s.aubio_frames;
            aubio_frames += s.aubio_frames;
            aubio_within += s.aubio_within;
        }
    }

    void print(const std::string &head) const
    {
        const auto percent = [](int part, int whole) { return whole > 0 ? 100.0 * part / whole : 0.0; };
        std::printf("| %s | %d | %d | %.1f %% | %d | ", head.c_str(), notes, right, percent(within, rows), octave);
        if (aubio_notes == notes)
            std::printf("%d | %.1f %% |\n", aubio_right, percent(aubio_within, aubio_frames));
        else
            std::printf("n/a | n/a |\n");
    }
};

struct LowLine {
    int font, instrument, key, condition;
    LowScore score;
};

std::vector<LowLine> read_low(const std::string &folder)
{
    std::vector<LowLine> lines;
    for (int f = 0; f < SOUNDFONT_COUNT; f++) {
        std::FILE *file = std::fopen((folder + "/low-" + std::to_string(f)).c_str(), "r");
        if (file == nullptr)
            continue;
        char text[256];
        while (std::fgets(text, sizeof text, file) != nullptr) {
            LowLine l{};
            LowScore &s = l.score;
            double *db = s.half_multiples_db;
            // An E line follows the clean L line of the same note.
            if (text[0] == 'E' && !lines.empty()) {
                if (std::sscanf(text, "E %*d %*d %*d %lf %lf %lf %lf %lf %lf", &db[0], &db[1], &db[2], &db[3], &db[4], &db[5]) == 6)
                    std::copy_n(db, HALF_MULTIPLE_COUNT, lines.back().score.half_multiples_db);
                continue;
            }
            if (std::sscanf(text, "L %d %d %d %d %d %d %d %d %d %d", &l.font, &l.instrument, &l.key, &l.condition, &s.rows, &s.within,
                            &s.octave_off, &s.aubio_frames, &s.aubio_within, &s.read_as) == 10 &&
                l.instrument >= 0 && l.instrument < LOW_INSTRUMENT_COUNT && l.condition >= 0 && l.condition < CONDITION_COUNT)
                lines.push_back(l);
        }
        std::fclose(file);
    }
    return lines;
}

}  // namespace

void print_low_notes(const std::string &folder)
{
    const std::vector<LowLine> lines = read_low(folder);
    std::printf(
        "\n## Low notes under noise and reverberation\n\n"
        "The low notes of plucked and bowed strings and of a choir (keys 28, 31,\n"
        "33, 36, 38, 40, 43, 45, 48, 50 and 52, E1 to E3, from each\n"
        "instrument's lowest up) and of the General MIDI organs over the same\n"
        "keys, rendered from both sound fonts as above, clean and under each\n"
        "condition: gaussian white or pink noise (fixed seeds) whose power is the\n"
        "note's over the scored span less 20, 10 or 0 dB, or a room's\n"
        "reverberation (sox's `reverb` at its defaults: 50 %% reverberance, the\n"
        "dry sound kept). The fundamental is `find_fundamental` on each row's\n"
        "window, on the coarse pass's levels; aubio's yinfft reads the same\n"
        "files. Rows within 50 cents are those whose reading lies within 50\n"
        "cents of the played key (a row without a fundamental is not); a note\n"
        "is right when more than half of its rows are, and an octave error when\n"
        "more than half read 12 or more semitones off.\n\n");
    const char *head = "| Notes | Fundamental right | Fundamental rows within 50 cents | Fundamental octave errors | aubio yinfft right | aubio rows within 50 cents |\n";
    const char *rule = "|---|---|---|---|---|---|---|---|";
    std::printf("### By condition\n\n| Condition | Instruments %s%s\n", head, rule);
    for (int c = 0; c < CONDITION_COUNT; c++) {
        for (bool organs : {false, true}) {
            LowTally t;
            for (const LowLine &l : lines) {
                if (l.condition == c && LOW_INSTRUMENTS[l.instrument].organ == organs)
                    t.add(l.score);
            }
            t.print(std::string(CONDITIONS[c].name) + (organs ? " | Organs" : " | Strings and choir"));
        }
    }
    std::printf("\n### By instrument\n\nBoth sound fonts together.\n\n| Instrument | Condition %s%s\n", head, rule);
    for (int i = 0; i < LOW_INSTRUMENT_COUNT; i++) {
        for (int c = 0; c < CONDITION_COUNT; c++) {
            LowTally t;
            for (const LowLine &l : lines) {
                if (l.instrument == i && l.condition == c)
                    t.add(l.score);
            }
            t.print(std::string(LOW_INSTRUMENTS[i].name) + " | " + CONDITIONS[c].name);
        }
    }
    std::printf(
        "\n### The organs' misses\n\n"
        "The organs mix stops an octave apart. Each clean note the fundamental\n"
        "misses, with the mean power of its rows on the whole window at the\n"
        "half-multiples of the key's pitch f, in dB against the loudest of them\n"
        "(f / 2 and 3 f / 2 are the octave below's own first and third partials):\n\n"
        "| Sound font | Instrument | Key | f / 2 | f | 3 f / 2 | 2 f | 5 f / 2 | 3 f | Read as | aubio rows within 50 cents |\n"
        "|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (const LowLine &l : lines) {
        const LowScore &s = l.score;
        if (l.condition != 0 || !LOW_INSTRUMENTS[l.instrument].organ || 2 * s.within > s.rows)
            continue;
        std::printf("| %s | %s | %d |", SOUNDFONTS[l.font][0], LOW_INSTRUMENTS[l.instrument].name, l.key);
        for (double db : s.half_multiples_db)
            std::printf(" %.1f |", db);
        std::printf(" %s | %d of %d |\n", s.read_as > 0 ? std::to_string(s.read_as).c_str() : "none", s.aubio_within, s.aubio_frames);
    }
    std::printf(
        "\nAt every miss the octave below's own odd partials sound: the louder of\n"
        "f / 2 and 3 f / 2 lies within 10 dB of the loudest sound, f / 2 itself\n"
        "mostly (a 16-foot stop), 3 f / 2 where a quint stop sounds (TimGM6mb's\n"
        "rock organ, MuseScore General's percussive organ at keys 40 and 43).\n"
        "The sound's period is then the octave below's, and the fundamental\n"
        "reads that octave; aubio's yinfft, which leans to the shorter period,\n"
        "reads the key where f / 2 is weak beside f and 2 f, and mostly not\n"
        "otherwise. These are the sound fonts' octaves and stay documented\n"
        "misses. MuseScore General's drawbar organ from key 45 up reads two\n"
        "octaves below the key, as it did before the octave check; why is not\n"
        "measured yet.\n");
    std::printf("\n### The fundamental's misses\n\nEvery note and condition where no more than half of the rows are within\n"
                "50 cents, and the note most of its rows read.\n\n"
                "| Sound font | Instrument | Key | Condition | Rows within 50 cents | Read as | aubio rows within 50 cents |\n"
                "|---|---|---|---|---|---|---|\n");
    for (const LowLine &l : lines) {
        const LowScore &s = l.score;
        if (2 * s.within > s.rows)
            continue;
        std::printf("| %s | %s | %d | %s | %d of %d | %s | ", SOUNDFONTS[l.font][0], LOW_INSTRUMENTS[l.instrument].name, l.key,
                    CONDITIONS[l.condition].name, s.within, s.rows, s.read_as > 0 ? std::to_string(s.read_as).c_str() : "none");
        if (s.aubio_frames > 0)
            std::printf("%d of %d |\n", s.aubio_within, s.aubio_frames);
        else
            std::printf("n/a |\n");
    }
}
