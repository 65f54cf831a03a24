// The audio state and the watch over the server, against a real jackd (dummy
// driver): a wrong rate said in the window and on stderr, a server that
// appears late joined, and a killed server's successor given the same ports,
// connections and loop delay. The tests call audio_watch themselves where
// the program runs it on a timer, so every step happens in a known order.
#include "app/startup.h"
#include "audio/block_assembler.h"
#include "audio/jack_client.h"
#include "audio/rate_conversion.h"
#include "audio/server_presence.h"
#include "audio/server_watch.h"
#include "engine/engine_state.h"
#include "siggen/filter_design.h"
#include "siggen/generator.h"
#include "support/child_process.h"
#include "support/engine_fixture.h"
#include "support/jack_server.h"
#include "support/qt_app.h"
#include "ui/main_window.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <optional>
#include <signal.h>
#include <sstream>
#include <thread>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

constexpr int PERIOD = 256;

// Far longer than the two looks of the watch that a change needs, for a
// loaded machine or a sanitizer build.
constexpr auto PROGRAM_LIMIT = 10s;

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

std::string file_text(const std::string &path)
{
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

int count_of(const std::string &text, const std::string &line)
{
    int n = 0;
    for (std::size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1))
        n++;
    return n;
}

template <typename Done>
bool wait_for(Done done, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// The program as a child, its stderr kept in a file of its own.
struct Program {
    explicit Program(const std::string &server_name)
        : err_path("/tmp/orvel-watch-test-" + std::to_string(getpid()) + ".err"),
          pid(start_background_child(ORVEL_BINARY, {"JACK_DEFAULT_SERVER=" + server_name}, err_path))
    {
    }
    ~Program()
    {
        kill(pid, SIGKILL);
        wait_child_exit(pid, 5000);
        unlink(err_path.c_str());
    }
    std::string err() const { return file_text(err_path); }
    bool says(const std::string &line, int times = 1) const
    {
        return wait_for([&] { return count_of(err(), "orvel: " + line + "\n") >= times; }, PROGRAM_LIMIT);
    }
    int close()
    {
        kill(pid, SIGTERM);
        return wait_child_exit(pid, 10000);
    }

    std::string err_path;
    pid_t pid;
};

void start_audio_engine()
{
    start_engine(48000);
    apply_filter_design(48000 / 4, 20, -64);
    generator_start();
}

// The delay the correlation peaks at, from jobs made after a whole window of
// sound went round the loop.
std::uint64_t loop_delay()
{
    std::this_thread::sleep_for(500ms);
    audio_lock();
    const std::uint64_t looped = jobs_submitted + window_size / BLOCK_LEN + 2;
    audio_unlock();
    EXPECT_TRUE(wait_until([looped] { return jobs_completed >= looped; }));
    std::uint64_t strongest = 0;
    read_results([&strongest] {
        strongest = static_cast<std::uint64_t>(std::max_element(correlation_sum, correlation_sum + window_size)
                                               - correlation_sum);
    });
    return window_size - 1 - strongest;
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
        start_engine(16000);  // the spectrum page's timer reads the results
        main_window = new OrvMainWindow();
        EXPECT_TRUE(audio_open("orvel", true));
        const QString expected = "JACK runs at 44100 Hz; Orvel needs 48000 Hz";
        EXPECT_TRUE(wait_for([&] {
            QCoreApplication::processEvents();
            return main_window->audio_status_line.text() == expected;
        }, 2000ms)) << main_window->audio_status_line.text().toStdString();
        delete main_window;
        main_window = nullptr;
    }

    Program orvel(server.name());
    EXPECT_TRUE(orvel.says("JACK runs at 44100 Hz; Orvel needs 48000 Hz"));
    std::this_thread::sleep_for(2500ms);  // two more looks at the same server
    EXPECT_EQ(count_of(orvel.err(), "orvel: "), 1) << orvel.err();
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
    Program orvel(server.name());
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
        ASSERT_TRUE(peer.disconnect("system:capture_2", "orvel:input_2"));
        ASSERT_TRUE(peer.connect("orvel:output_1", "orvel:input_2"));
        before = audio_connections(peer);
        std::this_thread::sleep_for(2500ms);  // two looks: the watch has seen them
    }
    EXPECT_TRUE(orvel.says("JACK 48000 Hz, 256 frames"));

    server.kill();
    EXPECT_TRUE(orvel.says("JACK server stopped; waiting for it"));
    ASSERT_TRUE(server.restart());
    const auto restarted = std::chrono::steady_clock::now();
    JackPeer peer("observer");
    ASSERT_TRUE(peer.ok());
    EXPECT_TRUE(wait_for([&] { return audio_connections(peer) == before; }, PROGRAM_LIMIT)) << orvel.err();
    RecordProperty("rejoined_ms", static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                        std::chrono::steady_clock::now() - restarted).count()));
    EXPECT_LT(std::chrono::steady_clock::now() - restarted, 5s);
    EXPECT_TRUE(orvel.says("JACK 48000 Hz, 256 frames", 2));
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
    start_audio_engine();
    set_output_source(0, SOURCE_WHITE_NOISE);
    set_main_channel(CHANNEL_OUTPUT_0);
    set_corr_channel(CHANNEL_INPUT_0);
    ASSERT_FALSE(audio_open("orvel", true));

    Connections before;
    {
        DelayLine loop("loop", LOOP_FRAMES);
        ASSERT_TRUE(loop.ok());
        ASSERT_TRUE(loop.peer.disconnect("system:capture_1", "orvel:input_1"));
        ASSERT_TRUE(loop.peer.connect("orvel:output_1", "loop:in"));
        ASSERT_TRUE(loop.peer.connect("loop:out", "orvel:input_1"));
        EXPECT_EQ(loop_delay(), EXPECTED);
        audio_watch("orvel", true);
        before = audio_connections(loop.peer);
        ASSERT_EQ(before["orvel:input_1"], std::vector<std::string>{"loop:out"});
    }  // the loop closes with no look of the watch after it: as if it died with the server

    server.kill();
    audio_watch("orvel", true);
    EXPECT_EQ(audio_status_text(audio_status()), "JACK server stopped; waiting for it");
    EXPECT_EQ(jack_client, nullptr);
    audio_watch("orvel", true);  // no server yet: still waiting
    EXPECT_EQ(audio_status().state, AudioState::server_stopped);

    ASSERT_TRUE(server.restart());
    audio_watch("orvel", true);
    EXPECT_EQ(audio_status_text(audio_status()), "JACK 48000 Hz, 256 frames");
    DelayLine loop("loop", LOOP_FRAMES);
    ASSERT_TRUE(loop.ok());
    audio_watch("orvel", true);  // the loop's ports are there now
    EXPECT_EQ(audio_connections(loop.peer), before);
    EXPECT_EQ(loop_delay(), EXPECTED);
    audio_stop();
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

    // With no server, audio_open says so without calling into libjack, which
    // would complain that it cannot connect.
    jack_set_error_function([](const char *) { libjack_complaints++; });
    use_absent_server();
    EXPECT_TRUE(audio_open("orvel", false));
    EXPECT_EQ(audio_status().state, AudioState::no_server);
    EXPECT_EQ(libjack_complaints, 0);
    jack_set_error_function(nullptr);
    unsetenv("JACK_DEFAULT_SERVER");
    EXPECT_EQ(jack_server_name(), "default");
}
