// Orvel's JACK client against a real jackd (dummy driver), talking to it
// through real ports from test clients of our own.
#include "app/audio_start.h"
#include "app/startup.h"
#include "audio/block_assembler.h"
#include "audio/jack_client.h"
#include "audio/midi_output.h"
#include "audio/rate_conversion.h"
#include "engine/engine_types.h"
#include "siggen/filter_design.h"
#include "siggen/generator.h"
#include "support/background_program.h"
#include "support/child_process.h"
#include "support/engine_fixture.h"
#include "support/jack_server.h"
#include "support/loop_measure.h"
#include "support/program_rig.h"
#include "support/qt_app.h"
#include "ui/config_panel.h"
#include "ui/main_window.h"
#include "ui/spectrum_panel.h"

#include <gtest/gtest.h>
#include <jack/midiport.h>

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <mutex>
#include <optional>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

constexpr int PERIOD = 256;

// The program as start-up builds it, with the client opened by hand so a
// test sees what came of it instead of a message box.
struct AudioRig {
    explicit AudioRig(int rate = 48000)
        : rig(rate), analysis(rig.program->analysis), generator(*rig.program->generator), jack(*rig.program->jack)
    {
        apply_filter_design(generator, rate / 4, 20, -64, rate);
        generator.start();
    }

    bool open() { return jack.open("orvel", true).outcome == OpenOutcome::joined; }

    void select(int source_0, int main, int corr)
    {
        generator.set_output_source(0, source_0);
        analysis->engine.set_main_channel(main);
        analysis->engine.set_corr_channel(corr);
    }

    ProgramRig rig;
    std::unique_ptr<Analysis> &analysis;
    Generator &generator;
    JackClient &jack;
};

struct ReadEvent {
    jack_nframes_t frame;
    std::vector<std::uint8_t> bytes;
};

// Records what arrives on a MIDI port and how loud an audio port is, per period.
class Recorder {
public:
    Recorder() : peer("recorder")
    {
        audio_in = peer.add_port("audio_in", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput);
        midi_in = peer.add_port("midi_in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput);
        peer.process = [this](jack_nframes_t nframes) {
            const jack_nframes_t start = jack_last_frame_time(peer.client());
            const auto *audio = static_cast<const float *>(jack_port_get_buffer(audio_in, nframes));
            float peak = 0.0f;
            for (jack_nframes_t f = 0; f < nframes; f++)
                peak = std::max(peak, std::fabs(audio[f]));
            void *midi = jack_port_get_buffer(midi_in, nframes);
            std::lock_guard<std::mutex> lock(mutex);
            periods.push_back({start, peak});
            const jack_nframes_t count = jack_midi_get_event_count(midi);
            for (jack_nframes_t i = 0; i < count; i++) {
                jack_midi_event_t event;
                jack_midi_event_get(&event, midi, i);
                events.push_back({start + event.time, {event.buffer, event.buffer + event.size}});
            }
        };
    }

    struct Period {
        jack_nframes_t start;
        float peak;
    };

    // Start reading Orvel's MIDI output, connected and in the graph.
    bool listen_to_midi()
    {
        return peer.activate() && peer.connect("orvel:output_midi", "recorder:midi_in") && wait_periods(8);
    }

    // Wait until this many more periods have been recorded, so that
    // connections just made are in the server's graph; false after a
    // generous limit.
    bool wait_periods(std::size_t count)
    {
        std::size_t target;
        {
            std::lock_guard<std::mutex> lock(mutex);
            target = periods.size() + count;
        }
        return wait_for(
            [this, target] {
                std::lock_guard<std::mutex> lock(mutex);
                return periods.size() >= target;
            },
            30s);
    }

    // Wait until more than count periods starting after frame have been
    // recorded; false after a generous limit.
    bool wait_periods_after(jack_nframes_t frame, int count)
    {
        return wait_for(
            [this, frame, count] {
                std::lock_guard<std::mutex> lock(mutex);
                return std::count_if(periods.begin(), periods.end(), [frame](const Period &p) { return p.start > frame; })
                    > count;
            },
            30s);
    }

    std::mutex mutex;
    std::vector<Period> periods;
    std::vector<ReadEvent> events;
    jack_port_t *audio_in = nullptr;
    jack_port_t *midi_in = nullptr;
    JackPeer peer;  // last: its client stops calling in before the rest goes
};

}  // namespace

// ---- ports and connections ------------------------------------------------------

struct PhysicalPorts {
    int capture;
    int playback;
    std::vector<std::string> input_1, input_2, output_1, output_2;
};

void PrintTo(const PhysicalPorts &ports, std::ostream *out)
{
    *out << ports.capture << " capture, " << ports.playback << " playback";
}

class JackPorts : public ::testing::TestWithParam<PhysicalPorts> {};

TEST_P(JackPorts, RegisteredAndConnectedToFirstPhysicalPorts)
{
    const PhysicalPorts &c = GetParam();
    JackServer server(48000, c.capture, c.playback);
    ASSERT_TRUE(server.running());
    AudioRig rig;
    ASSERT_TRUE(rig.open());

    JackPeer peer("observer");
    ASSERT_TRUE(peer.ok());
    const struct { const char *name; const char *type; int flags; } ports[] = {
        {"orvel:input_1", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput},
        {"orvel:input_2", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput},
        {"orvel:output_1", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput},
        {"orvel:output_2", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput},
        {"orvel:input_midi", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput},
        {"orvel:output_midi", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput},
    };
    for (const auto &port : ports) {
        jack_port_t *handle = jack_port_by_name(peer.client(), port.name);
        ASSERT_NE(handle, nullptr) << port.name;
        EXPECT_STREQ(jack_port_type(handle), port.type) << port.name;
        EXPECT_TRUE(jack_port_flags(handle) & port.flags) << port.name;
    }
    EXPECT_EQ(peer.connections("orvel:input_1"), c.input_1);
    EXPECT_EQ(peer.connections("orvel:input_2"), c.input_2);
    EXPECT_EQ(peer.connections("orvel:output_1"), c.output_1);
    EXPECT_EQ(peer.connections("orvel:output_2"), c.output_2);
    EXPECT_TRUE(peer.connections("orvel:input_midi").empty());
    EXPECT_TRUE(peer.connections("orvel:output_midi").empty());

    rig.jack.stop();
    EXPECT_EQ(rig.jack.handle(), nullptr);
    EXPECT_TRUE(peer.ports_with_prefix("orvel:").empty());
}

INSTANTIATE_TEST_SUITE_P(
    PhysicalPortCounts, JackPorts,
    ::testing::Values(
        PhysicalPorts{2, 2, {"system:capture_1"}, {"system:capture_2"}, {"system:playback_1"}, {"system:playback_2"}},
        // A single capture port feeds both inputs; a single playback port takes output_1 only.
        PhysicalPorts{1, 1, {"system:capture_1"}, {"system:capture_1"}, {"system:playback_1"}, {}}),
    [](const auto &info) { return std::to_string(info.param.capture) + "x" + std::to_string(info.param.playback); });

// ---- a real loop -------------------------------------------------------------------

// output_1 goes through a test client that delays it by LOOP_FRAMES and back
// into input_1. Noise plays on output 0; "OUTPUT 0" is the main channel and
// "INPUT 0" the correlation channel, so the correlation peaks at the delay.
// The loop is a cycle in the server's graph, which it breaks by handing one
// of the two connections over a period late: PERIOD frames more. And the
// rate conversion plays each ring sample one sample after taking it.
// At 48000 Hz one engine sample is one frame, so the expected delay is
// LOOP_FRAMES + PERIOD + 1.
TEST(JackClient, LoopDelayIsMeasured)
{
    constexpr jack_nframes_t LOOP_FRAMES = 1000;
    JackServer server(48000, 2, 2, PERIOD);
    ASSERT_TRUE(server.running());
    AudioRig rig;
    rig.select(SOURCE_WHITE_NOISE, CHANNEL_OUTPUT_0, CHANNEL_INPUT_0);
    ASSERT_TRUE(rig.open());

    DelayLine loop("loop", LOOP_FRAMES);
    ASSERT_TRUE(loop.ok());
    ASSERT_TRUE(patch_delay_loop(loop));

    // Slow builds analyse late, so time alone would not do.
    ASSERT_TRUE(wait_for_looped_window(*rig.analysis));
    const std::uint64_t measured = correlation_peak_delay(rig.analysis->engine);
    RecordProperty("measured_delay", static_cast<int>(measured));
    EXPECT_EQ(measured, LOOP_FRAMES + PERIOD + 1);
    rig.jack.stop();
}

// ---- MIDI -------------------------------------------------------------------------

// MIDI tests run a synchronous server: each cycle waits for every client, so
// the reader gets exactly what Orvel wrote for that cycle, and both read the
// same frame clock. Frames then compare exactly, however loaded the machine.
namespace {

constexpr bool SYNCHRONOUS = true;
constexpr std::uint32_t FRAMES_PER_MS = 48;
const int TWELVE[] = {57, 58, 59, 60, 61, 62, 63, 64, 65, 66, 67, 68};

// What the reader has once done(events) holds, or after limit.
template <typename Done>
std::vector<ReadEvent> wait_for_events(Recorder &recorder, Done done, std::chrono::seconds limit = 20s)
{
    wait_for(
        [&] {
            std::lock_guard<std::mutex> lock(recorder.mutex);
            return done(recorder.events);
        },
        limit);
    std::lock_guard<std::mutex> lock(recorder.mutex);
    return recorder.events;
}

bool is_note_on(const ReadEvent &event)
{
    return (event.bytes[0] & 0xf0) == 0x90 && event.bytes[2] != 0;
}

std::size_t note_ons(const std::vector<ReadEvent> &events)
{
    return static_cast<std::size_t>(std::count_if(events.begin(), events.end(), is_note_on));
}

// Note-ons minus note-offs per channel * 128 + key, zeros left out: empty
// when nothing sounds.
std::map<int, int> still_sounding(const std::vector<ReadEvent> &events)
{
    std::map<int, int> count;
    for (const ReadEvent &event : events) {
        const int type = event.bytes[0] & 0xf0;
        const int note = (event.bytes[0] & 0x0f) * 128 + event.bytes[1];
        if (is_note_on(event))
            count[note]++;
        else if (type == 0x80 || type == 0x90)
            count[note]--;
    }
    std::erase_if(count, [](const auto &entry) { return entry.second == 0; });
    return count;
}

// Twelve notes held for two seconds (eight pauses of 250 ms: far longer than
// any way out takes), then their note-offs: whatever ends them before
// HELD_FRAMES is a way out.
constexpr int HELD_PAUSES = 8;
constexpr std::uint32_t HELD_FRAMES = HELD_PAUSES * 250 * FRAMES_PER_MS;
std::vector<MidiWord> held_chord()
{
    std::vector<MidiWord> words;
    for (int key : TWELVE)
        words.push_back(midi_note_word(0, key, 90, 0));
    for (int i = 0; i < HELD_PAUSES; i++)
        words.push_back(midi_pause_word(250));
    for (int key : TWELVE)
        words.push_back(midi_note_word(0, key, 0, 0));
    return words;
}

// The held chord was ended early, by note-offs of Orvel's own (0x80), and
// nothing sounds any more.
void expect_ended_early(const std::vector<ReadEvent> &events)
{
    ASSERT_EQ(note_ons(events), 12u);
    ASSERT_EQ(events.size(), 24u);
    for (std::size_t i = 12; i < events.size(); i++) {
        EXPECT_EQ(events[i].bytes[0], 0x80) << i;
        EXPECT_LT(events[i].frame - events[0].frame, HELD_FRAMES) << i;
    }
    EXPECT_TRUE(still_sounding(events).empty());
}

}  // namespace

// Orvel's client on a synchronous server, and a MIDI reader on its output
// that joins after it.
class JackClientMidi : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.running());
        rig.emplace();
        ASSERT_TRUE(rig->open());
        recorder.emplace();
        ASSERT_TRUE(recorder->listen_to_midi());
    }

    JackServer server{48000, 2, 2, PERIOD, false, SYNCHRONOUS};
    std::optional<AudioRig> rig;
    std::optional<Recorder> recorder;
};

TEST_F(JackClientMidi, TwelveNoteChordStartsInOneFrameAndHolds2400Frames)
{
    // As a recorded row is played: 50 ms, then 50 ms of rest.
    ASSERT_TRUE(rig->jack.midi().queue_chord(0, TWELVE, 12, 90, 50, 50));
    const std::vector<ReadEvent> events =
        wait_for_events(*recorder, [](const std::vector<ReadEvent> &e) { return e.size() >= 24; });
    ASSERT_EQ(events.size(), 24u);
    for (std::size_t i = 0; i < 12; i++) {
        EXPECT_EQ(events[i].bytes, (std::vector<std::uint8_t>{0x90, std::uint8_t(TWELVE[i]), 90})) << i;
        EXPECT_EQ(events[i].frame, events[0].frame) << i;
        EXPECT_EQ(events[12 + i].bytes, (std::vector<std::uint8_t>{0x90, std::uint8_t(TWELVE[i]), 0})) << i;
        EXPECT_EQ(events[12 + i].frame - events[0].frame, 50 * FRAMES_PER_MS) << i;
    }
    rig->jack.stop();
}

// Words queued together keep their delays to the frame; a rest that follows
// the last word delays nothing after it.
TEST_F(JackClientMidi, QueuedNotesReachAMidiReaderInOrder)
{
    const MidiWord words[] = {
        midi_note_word(0, 69, 90, 0),    midi_note_word(0, 76, 90, 50),  midi_note_word(0, 69, 0, 0),
        midi_note_word(0, 76, 0, 1),     midi_note_word(1, 200, 128, 255), midi_pause_word(0),
        midi_note_word(2, 60, 90, 13),   midi_note_word(2, 60, 0, 0),
    };
    ASSERT_TRUE(rig->jack.midi().queue_words(words, static_cast<int>(std::size(words))));
    struct Expected {
        std::uint32_t frame;  // after the first note-on
        std::vector<std::uint8_t> bytes;
    };
    const Expected expected[] = {
        {0, {0x90, 69, 90}},     {0, {0x90, 76, 90}},     {2400, {0x90, 69, 0}},  {2400, {0x90, 76, 0}},
        {2448, {0x91, 72, 0}},   {14688, {0x92, 60, 90}}, {15312, {0x92, 60, 0}},
    };
    const std::vector<ReadEvent> events = wait_for_events(
        *recorder, [&](const std::vector<ReadEvent> &e) { return e.size() >= std::size(expected); });
    ASSERT_EQ(events.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); i++) {
        EXPECT_EQ(events[i].bytes, expected[i].bytes) << i;
        EXPECT_EQ(events[i].frame - events[0].frame, expected[i].frame) << i;
    }
    rig->jack.stop();
}

// A chord held for two seconds, then a way out while it sounds: Orvel ends the
// notes itself, at once, and (for Record off) drops the note-offs queued.
enum class WayOut { client_stop, record_off };

void PrintTo(WayOut way, std::ostream *out)
{
    *out << (way == WayOut::client_stop ? "client_stop" : "record_off");
}

class JackWayOut : public ::testing::TestWithParam<WayOut> {};

TEST_P(JackWayOut, LeavesNoNoteSounding)
{
    JackServer server(48000, 2, 2, PERIOD, false, SYNCHRONOUS);
    ASSERT_TRUE(server.running());
    QtApp qt;
    AudioRig rig;
    ASSERT_TRUE(rig.open());
    Recorder recorder;
    ASSERT_TRUE(recorder.listen_to_midi());
    // No event loop runs, so the page's own tick plays nothing here.
    OrvSpectrum page(*rig.analysis, rig.jack);
    page.handle_tog_record();
    ASSERT_TRUE(rig.analysis->engine.recording_on());

    const std::vector<MidiWord> chord = held_chord();
    ASSERT_TRUE(rig.jack.midi().queue_words(chord.data(), static_cast<int>(chord.size())));
    ASSERT_EQ(note_ons(wait_for_events(recorder, [](const auto &e) { return note_ons(e) == 12; })), 12u);
    if (GetParam() == WayOut::client_stop) {
        rig.jack.stop();
    } else {
        page.handle_tog_record();
        EXPECT_FALSE(rig.analysis->engine.recording_on());
    }
    // Past the hold's end: nothing more comes.
    const jack_nframes_t end = jack_frame_time(recorder.peer.client()) + HELD_FRAMES + 10 * PERIOD;
    ASSERT_TRUE(wait_for([&] { return jack_frame_time(recorder.peer.client()) >= end; }, 30s));
    {
        std::lock_guard<std::mutex> lock(recorder.mutex);
        expect_ended_early(recorder.events);
    }
    rig.jack.stop();
}

INSTANTIATE_TEST_SUITE_P(Ways, JackWayOut, ::testing::Values(WayOut::client_stop, WayOut::record_off),
                         [](const auto &info) {
                             return std::string(info.param == WayOut::client_stop ? "ClientStop" : "RecordOff");
                         });

// ---- no audio ---------------------------------------------------------------------

TEST(JackClient, WrongRateOrNoServerFailsAndLeavesNothing)
{
    AudioRig rig;
    {
        JackServer server(44100);
        ASSERT_TRUE(server.running());
        const OpenResult opened = rig.jack.open("orvel", true);
        EXPECT_EQ(opened.outcome, OpenOutcome::wrong_rate);
        EXPECT_EQ(opened.rate, 44100u);
        EXPECT_EQ(rig.jack.handle(), nullptr);
        JackPeer peer("observer");
        ASSERT_TRUE(peer.ok());
        EXPECT_TRUE(peer.ports_with_prefix("orvel:").empty());
        EXPECT_EQ(peer.connections("system:capture_1"), std::vector<std::string>{});
    }
    use_absent_server();
    EXPECT_EQ(rig.jack.open("orvel", true).outcome, OpenOutcome::no_server);
    EXPECT_EQ(rig.jack.handle(), nullptr);
    // No server was started on our behalf.
    EXPECT_EQ(jack_client_open("probe", JackNoStartServer, nullptr), nullptr);
    rig.jack.stop();  // without a client: nothing to do
    EXPECT_FALSE(rig.jack.stopping());
}

TEST(JackClient, NoAudioBoxNamesTheRateOverTheWindow)
{
    QtApp qt;
    const std::unique_ptr<OrvelProgram> program = make_program(engine_config(16000));
    use_absent_server();

    QString title;
    QString text;
    QWidget *parent = nullptr;
    QTimer::singleShot(100, [&] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            title = box->windowTitle();
            text = box->text();
            parent = box->parentWidget();
            box->accept();
        }
    });
    audio_start(*program);
    EXPECT_EQ(title, "NO AUDIO");
    EXPECT_EQ(text, "Cannot connect to JACK server or \nsample rate is different from 48000Hz or \n"
                    "latency is too high");
    EXPECT_EQ(program->jack->handle(), nullptr);
    EXPECT_EQ(parent, program->window.get());
    // The configuration page is filled whether or not the client opened.
    ASSERT_EQ(program->window->config_page->device_selection.input_list.count(), 1);
    EXPECT_EQ(program->window->config_page->device_selection.input_list.item(0)->text(), "JACK");
}

// ---- stopping ---------------------------------------------------------------------

// Once the stopping flag is up the outputs carry zeros and no MIDI leaves,
// though messages wait; stopping the client then takes every port down.
TEST(JackClient, StoppingPlaysSilenceAndSendsNothing)
{
    JackServer server;
    ASSERT_TRUE(server.running());
    AudioRig rig;
    rig.select(SOURCE_WHITE_NOISE, CHANNEL_INPUT_0, CHANNEL_INPUT_0);
    ASSERT_TRUE(rig.open());
    Recorder recorder;
    ASSERT_TRUE(recorder.peer.activate());
    ASSERT_TRUE(recorder.peer.connect("orvel:output_1", "recorder:audio_in"));
    ASSERT_TRUE(recorder.peer.connect("orvel:output_midi", "recorder:midi_in"));
    ASSERT_TRUE(recorder.wait_periods(50));

    rig.jack.begin_stopping();
    const jack_nframes_t flagged = jack_frame_time(recorder.peer.client());
    ASSERT_TRUE(rig.jack.midi().queue_chord(0, TWELVE, 4, 90, 50, 50));
    constexpr int SILENT_PERIODS = 20;
    ASSERT_TRUE(recorder.wait_periods_after(flagged + 2 * PERIOD, SILENT_PERIODS));
    {
        std::lock_guard<std::mutex> lock(recorder.mutex);
        bool loud_before = false;
        int silent_after = 0;
        for (const auto &period : recorder.periods) {
            if (period.start + 2 * PERIOD < flagged)
                loud_before = loud_before || period.peak > 0.0f;
            else if (period.start > flagged + 2 * PERIOD) {
                EXPECT_EQ(period.peak, 0.0f) << "period at " << period.start;
                silent_after++;
            }
        }
        EXPECT_TRUE(loud_before);
        EXPECT_GT(silent_after, SILENT_PERIODS);
        for (const auto &event : recorder.events)
            EXPECT_LT(event.frame, flagged + 2 * PERIOD);
    }

    rig.jack.stop();
    EXPECT_EQ(rig.jack.handle(), nullptr);
    EXPECT_TRUE(recorder.peer.ports_with_prefix("orvel:").empty());
}

// ---- the real program ---------------------------------------------------------------

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr auto CLOSE_LIMIT = 5s;  // a sanitizer's own work at exit takes a while
#else
constexpr auto CLOSE_LIMIT = 1s;
#endif

// Orvel is up once its ports are: it registers them after start-up.
bool wait_for_port(const JackPeer &peer, const std::string &port)
{
    return wait_for([&] { return peer.port_exists(port); }, PROGRAM_LIMIT);
}

}  // namespace

// The server vanishes under a running Orvel: it keeps running, and closing it
// (SIGTERM closes the window as the user would) ends it with status 0 at once.
TEST(JackClient, ProgramOutlivesTheServerAndClosesCleanly)
{
    JackServer server;
    ASSERT_TRUE(server.running());
    const pid_t orvel = start_background_child(ORVEL_BINARY, {"JACK_DEFAULT_SERVER=" + server.name()});
    {
        JackPeer peer("observer");
        ASSERT_TRUE(wait_for_port(peer, "orvel:output_1"));
    }
    server.kill();
    EXPECT_EQ(wait_child_exit(orvel, 500), -1) << "Orvel ended with the server";

    const auto closing = std::chrono::steady_clock::now();
    kill(orvel, SIGTERM);
    EXPECT_EQ(wait_child_exit(orvel, 5000), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - closing, CLOSE_LIMIT);
    kill(orvel, SIGKILL);
}

TEST(JackClient, ProgramClosesWithTheServerRunning)
{
    JackServer server;
    ASSERT_TRUE(server.running());
    const pid_t orvel = start_background_child(ORVEL_BINARY, {"JACK_DEFAULT_SERVER=" + server.name()});
    JackPeer peer("observer");
    ASSERT_TRUE(wait_for_port(peer, "orvel:output_1"));
    kill(orvel, SIGTERM);
    EXPECT_EQ(wait_child_exit(orvel, 5000), 0);
    EXPECT_TRUE(peer.ports_with_prefix("orvel:").empty());
    kill(orvel, SIGKILL);
}


namespace {

// Kills a child however the test ends: an Orvel left running would hold its
// client name against every later test.
struct ChildGuard {
    pid_t pid;
    ~ChildGuard()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

}  // namespace

// The program's own start-up, in a child of this process, plays a chord held
// for two seconds once a reader listens; SIGTERM comes while it sounds. The
// program ends with 0, and its own note-offs have ended every note first.
TEST(JackClient, SigtermEndsTheProgramsSoundingNotes)
{
    JackServer server(48000, 2, 2, PERIOD, false, SYNCHRONOUS);
    ASSERT_TRUE(server.running());
    // No thread of ours runs yet, so the child may go on as a program.
    const pid_t orvel = fork();
    if (orvel == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        QtApp qt;
        int exit_status = 1;
        const std::unique_ptr<OrvelProgram> program = start_orvel(qt.argc, qt.argv, exit_status);
        if (!program)
            _exit(100);
        JackClient &jack = *program->jack;
        QTimer listening;
        QObject::connect(&listening, &QTimer::timeout, [&listening, &jack] {
            if (jack_port_connected(jack.port(PORT_OUTPUT_MIDI)) > 0) {
                listening.stop();
                const std::vector<MidiWord> chord = held_chord();
                jack.midi().queue_words(chord.data(), static_cast<int>(chord.size()));
            }
        });
        listening.start(10);
        _exit(qt.app.exec());
    }
    ASSERT_GT(orvel, 0);
    ChildGuard child{orvel};
    Recorder recorder;
    ASSERT_TRUE(recorder.peer.activate());
    ASSERT_TRUE(wait_for_port(recorder.peer, "orvel:output_midi"));
    // The port is there before its client is active, and only then connects.
    ASSERT_TRUE(wait_for([&] { return recorder.peer.connect("orvel:output_midi", "recorder:midi_in"); }, PROGRAM_LIMIT));
    ASSERT_EQ(note_ons(wait_for_events(recorder, [](const auto &e) { return note_ons(e) == 12; })), 12u);
    kill(orvel, SIGTERM);
    const int status = wait_child_exit(orvel, 5000);
    if (status != -1)
        child.pid = -1;  // reaped
    EXPECT_EQ(status, 0);
    ASSERT_TRUE(recorder.wait_periods(8));
    std::lock_guard<std::mutex> lock(recorder.mutex);
    expect_ended_early(recorder.events);
}
