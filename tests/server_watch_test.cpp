// The audio state and the watch over the server, against a real jackd (dummy
// driver): a wrong rate said in the window and on stderr, a server that
// appears late joined, and a killed server's successor given the same ports,
// connections and loop delay. The tests make the watch look themselves where
// the program runs it on a timer, so every step happens in a known order.
#include "app/startup.h"
#include "audio/analysis.h"
#include "audio/jack_client.h"
#include "audio/rate_conversion.h"
#include "audio/server_presence.h"
#include "audio/server_watch.h"
#include "engine/engine_types.h"
#include "siggen/filter_design.h"
#include "siggen/generator.h"
#include "support/background_program.h"
#include "support/engine_fixture.h"
#include "support/jack_server.h"
#include "support/loop_measure.h"
#include "support/program_rig.h"
#include "support/stderr_capture.h"
#include "support/qt_app.h"
#include "ui/main_window.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

constexpr int PERIOD = 256;

const char *const AUDIO_PORTS[] = {"orvel:input_1", "orvel:input_2", "orvel:output_1", "orvel:output_2"};
using Connections = std::map<std::string, std::vector<std::string>>;

Connections audio_connections(const JackPeer &peer)
{
    Connections all;
    for (const char *port : AUDIO_PORTS) {
        std::vector<std::string> others = peer.connections(port);
        std::sort(others.begin(), others.end());
        all[port] = others;
    }
    return all;
}


// The environment that points the program at server.
std::vector<std::string> server_env(const JackServer &server)
{
    return {"JACK_DEFAULT_SERVER=" + server.name()};
}

// The program as start-up builds it; the test makes each look of the watch.
struct WatchedRig {
    WatchedRig()
        : rig(48000), analysis(rig.program->analysis), generator(*rig.program->generator),
          jack(*rig.program->jack), watch(*rig.program->watch)
    {
        apply_filter_design(generator, 48000 / 4, 20, -64, 48000);
        generator.start();
    }

    ProgramRig rig;
    std::unique_ptr<Analysis> &analysis;
    Generator &generator;
    JackClient &jack;
    ServerWatch &watch;
};

// The delay the correlation peaks at, from jobs made after a whole window of
// sound went round the loop.
std::uint64_t loop_delay(Analysis &analysis)
{
    EXPECT_TRUE(wait_for_looped_window(analysis));
    return correlation_peak_delay(analysis.engine);
}

}  // namespace

TEST(AudioStatus, WordsForEachState)
{
    const struct {
        AudioStatus status;
        const char *words;
    } cases[] = {
        {{AudioState::running, 48000, 256}, "JACK 48000 Hz, 256 frames"},
        {{AudioState::running, 48000, 1024}, "JACK 48000 Hz, 1024 frames"},
        {{AudioState::no_server, 0, 0}, "No JACK server"},
        {{AudioState::wrong_rate, 44100, 0}, "JACK runs at 44100 Hz; Orvel needs 48000 Hz"},
        {{AudioState::server_stopped, 0, 0}, "JACK server stopped; waiting for it"},
        {{AudioState::refused, 0, 0}, "JACK refused Orvel's ports"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(audio_status_text(c.status), c.words);
}

// The "NO AUDIO" box still comes up at start; behind it the window's bottom
// line and stderr say what is wrong, once, though the watch keeps looking.
TEST(ServerWatch, WrongRateIsSaidInTheWindowAndOnStderr)
{
    JackServer server(44100);
    ASSERT_TRUE(server.running());
    {
        QtApp qt;
        const std::unique_ptr<OrvelProgram> program = make_program(engine_config(16000));
        const StderrCapture err;
        EXPECT_FALSE(program->watch->look());
        const QString expected = "JACK runs at 44100 Hz; Orvel needs 48000 Hz";
        const QLabel &line = program->window->audio_status_line;
        EXPECT_TRUE(wait_for([&] {
            QCoreApplication::processEvents();
            return line.text() == expected;
        }, PROGRAM_LIMIT)) << line.text().toStdString();
        // Two more looks at the same server say nothing more.
        program->watch->look();
        program->watch->look();
        EXPECT_EQ(count_of(err.text(), "orvel: "), 1) << err.text();
        EXPECT_EQ(count_of(err.text(), "orvel: " + expected.toStdString() + "\n"), 1) << err.text();
    }

    BackgroundProgram orvel(ORVEL_BINARY, server_env(server));
    EXPECT_TRUE(orvel.says("JACK runs at 44100 Hz; Orvel needs 48000 Hz")) << orvel.err();
    EXPECT_EQ(orvel.close(), 0);
}

// Started with no server, the program joins one that appears, on its
// physical ports. The server is killed: once it is back, so are the ports,
// with the connections they had, including one made by hand.
TEST(ServerWatch, ProgramJoinsALateServerAndComesBackAfterAKill)
{
    JackServer server;
    ASSERT_TRUE(server.running());
    server.stop();
    BackgroundProgram orvel(ORVEL_BINARY, server_env(server));
    ASSERT_TRUE(orvel.says("No JACK server")) << orvel.err();

    ASSERT_TRUE(server.restart());
    Connections before;
    {
        JackPeer peer("observer");
        ASSERT_TRUE(peer.ok());
        const Connections physical = {
            {"orvel:input_1", {"system:capture_1"}},
            {"orvel:input_2", {"system:capture_2"}},
            {"orvel:output_1", {"system:playback_1"}},
            {"orvel:output_2", {"system:playback_2"}},
        };
        EXPECT_TRUE(wait_for([&] { return audio_connections(peer) == physical; }, PROGRAM_LIMIT));
        ASSERT_TRUE(orvel.says("JACK 48000 Hz, 256 frames")) << orvel.err();
        ASSERT_TRUE(peer.disconnect("system:capture_2", "orvel:input_2"));
        ASSERT_TRUE(peer.connect("orvel:output_1", "orvel:input_2"));
        before = physical;
        before["orvel:input_2"] = {"orvel:output_1"};
        before["orvel:output_1"] = {"orvel:input_2", "system:playback_1"};
        // Changes show from the server's next cycle.
        ASSERT_TRUE(wait_for([&] { return audio_connections(peer) == before; }, PROGRAM_LIMIT));
        // The watch takes the connections down on each look, after saying
        // what changed. A period of 512 said on one look, then 256 again on
        // a later one, shows a whole look since the connections above.
        ASSERT_EQ(jack_set_buffer_size(peer.client(), 2 * PERIOD), 0);
        ASSERT_TRUE(orvel.says("JACK 48000 Hz, 512 frames")) << orvel.err();
        ASSERT_EQ(jack_set_buffer_size(peer.client(), PERIOD), 0);
        ASSERT_TRUE(orvel.says("JACK 48000 Hz, 256 frames", 2)) << orvel.err();
    }

    server.kill();
    EXPECT_TRUE(orvel.says("JACK server stopped; waiting for it"));
    ASSERT_TRUE(server.restart());
    JackPeer peer("observer");
    ASSERT_TRUE(peer.ok());
    EXPECT_TRUE(wait_for([&] { return audio_connections(peer) == before; }, PROGRAM_LIMIT)) << orvel.err();
    EXPECT_TRUE(orvel.says("JACK 48000 Hz, 256 frames", 3)) << orvel.err();
    EXPECT_EQ(orvel.close(), 0);
    EXPECT_TRUE(peer.ports_with_prefix("orvel:").empty());
}

// Noise from output 0 through a delaying client into input 0, as in
// JackClient.LoopDelayIsMeasured. The server is killed and started again;
// Orvel rejoins before the delaying client is back, and connects it once it
// is. The delay reads as before: the rings started afresh, so the tap and the
// input are paired as at start-up.
TEST(ServerWatch, KilledServerGivesTheLoopBackWithTheSameDelay)
{
    constexpr jack_nframes_t LOOP_FRAMES = 1000;
    constexpr std::uint64_t EXPECTED = LOOP_FRAMES + PERIOD + 1;  // see LoopDelayIsMeasured
    JackServer server(48000, 2, 2, PERIOD);
    ASSERT_TRUE(server.running());
    WatchedRig rig;
    rig.generator.set_output_source(0, SOURCE_WHITE_NOISE);
    rig.analysis->engine.set_main_channel(CHANNEL_OUTPUT_0);
    rig.analysis->engine.set_corr_channel(CHANNEL_INPUT_0);
    ASSERT_TRUE(rig.watch.look());

    Connections before;
    {
        DelayLine loop("loop", LOOP_FRAMES);
        ASSERT_TRUE(loop.ok());
        ASSERT_TRUE(patch_delay_loop(loop));
        EXPECT_EQ(loop_delay(*rig.analysis), EXPECTED);
        rig.watch.look();
        before = audio_connections(loop.peer);
        ASSERT_EQ(before["orvel:input_1"], std::vector<std::string>{"loop:out"});
    }  // the loop closes with no look of the watch after it: as if it died with the server

    server.kill();
    // The client learns of the death on its own thread, a moment later; the
    // program looks again every second.
    EXPECT_TRUE(wait_for([&] {
        rig.watch.look();
        return rig.watch.status().state == AudioState::server_stopped;
    }, PROGRAM_LIMIT));
    EXPECT_EQ(audio_status_text(rig.watch.status()), "JACK server stopped; waiting for it");
    EXPECT_EQ(rig.jack.handle(), nullptr);
    rig.watch.look();  // no server yet: still waiting
    EXPECT_EQ(rig.watch.status().state, AudioState::server_stopped);

    ASSERT_TRUE(server.restart());
    rig.watch.look();
    EXPECT_EQ(audio_status_text(rig.watch.status()), "JACK 48000 Hz, 256 frames");
    DelayLine loop("loop", LOOP_FRAMES);
    ASSERT_TRUE(loop.ok());
    rig.watch.look();  // the loop's ports are there now
    // A connection just made may show to other clients only from the
    // server's next cycle.
    EXPECT_TRUE(wait_for([&] { return audio_connections(loop.peer) == before; }, PROGRAM_LIMIT));
    EXPECT_EQ(audio_connections(loop.peer), before);
    EXPECT_EQ(loop_delay(*rig.analysis), EXPECTED);
    rig.jack.stop();
}

namespace {

// A unix socket at path, as a live server has it (listening) or as a killed
// one leaves it behind (bound, nobody accepting).
struct SocketAt {
    SocketAt(const std::string &at, bool listening) : path(at)
    {
        fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        bound = bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
        if (listening)
            listen(fd, 4);
        else
            ::close(fd), fd = -1;
    }
    ~SocketAt()
    {
        if (fd >= 0)
            ::close(fd);
        unlink(path.c_str());
    }
    std::string path;
    int fd = -1;
    bool bound = false;
};

int libjack_complaints = 0;

}  // namespace

// Orvel asks jackd's socket before it lets libjack open a client, since
// libjack can die of SIGBUS opening its database while a server creates it.
// Only a socket that accepts lets libjack in.
TEST(ServerPresence, OnlyASocketThatAcceptsLetsLibjackIn)
{
    const std::string name = "orvel-presence-" + std::to_string(getpid());
    const std::string own_path = "/dev/shm/jack_" + name + "_" + std::to_string(geteuid()) + "_0";
    const std::string promiscuous_path = "/dev/shm/jack_" + name + "_0";
    const struct {
        const char *what;
        const std::string *path;  // nullptr: no socket at all
        bool listening;
        bool promiscuous;
        bool may_listen;
    } cases[] = {
        {"no socket", nullptr, false, false, false},
        {"left behind by a killed server", &own_path, false, false, false},
        {"accepting", &own_path, true, false, true},
        {"accepting, another user's name", &promiscuous_path, true, false, false},
        {"promiscuous server, accepting", &promiscuous_path, true, true, true},
        {"promiscuous server, left behind", &promiscuous_path, false, true, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.promiscuous)
            setenv("JACK_PROMISCUOUS_SERVER", "", 1);
        {
            std::optional<SocketAt> socket_file;
            if (c.path != nullptr) {
                socket_file.emplace(*c.path, c.listening);
                ASSERT_TRUE(socket_file->bound) << *c.path;
            }
            EXPECT_EQ(jack_server_may_listen(name), c.may_listen);
        }
        unsetenv("JACK_PROMISCUOUS_SERVER");
    }

    // A real jackd answers; the client then joins it as before.
    JackServer server;
    ASSERT_TRUE(server.running());
    EXPECT_EQ(jack_server_name(), server.name());
    EXPECT_TRUE(jack_server_may_listen(server.name()));
    server.stop();
    EXPECT_FALSE(jack_server_may_listen(server.name()));

    // With no server, opening the client says so without calling into
    // libjack, which would complain that it cannot connect.
    jack_set_error_function([](const char *) { libjack_complaints++; });
    use_absent_server();
    const auto exchange = std::make_unique<SampleExchange>(48000);
    JackClient jack(*exchange);
    EXPECT_EQ(jack.open("orvel", false).outcome, OpenOutcome::no_server);
    EXPECT_EQ(libjack_complaints, 0);
    jack_set_error_function(nullptr);
    unsetenv("JACK_DEFAULT_SERVER");
    EXPECT_EQ(jack_server_name(), "default");
}
