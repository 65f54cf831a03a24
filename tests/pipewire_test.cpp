// Orvel on a desktop's PipeWire: a private pipewire with WirePlumber and a
// null sink (pipewire_server.h), joined through PipeWire's libjack. This
// binary runs with PipeWire's libjack first on LD_LIBRARY_PATH, as `pw-jack`
// would run it (tests/CMakeLists.txt), and so does the program it starts.
#include "app/startup.h"
#include "audio/analysis.h"
#include "audio/block_assembler.h"
#include "audio/jack_client.h"
#include "audio/server_watch.h"
#include "siggen/filter_design.h"
#include "siggen/generator.h"
#include "support/background_program.h"
#include "support/engine_fixture.h"
#include "support/jack_server.h"
#include "support/loop_measure.h"
#include "support/pipewire_server.h"
#include "support/program_rig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr int PERIOD = 256;  // the graph's quantum, as the jackd tests' period

class OnPipeWire : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(on_pipewire_libjack()) << "run with LD_LIBRARY_PATH=" << pipewire_jack_dir();
        ASSERT_TRUE(server.running()) << server.output();
    }

    PipeWireServer server{48000, PERIOD};
};

// The analysis, the generator, the JACK client and its watch as start-up
// builds them, with noise on output 0, "OUTPUT 0" the main channel and
// "INPUT 0" the correlation channel; the test makes each look of the watch.
// The client is declared after what it plays from, so it leaves first.
struct WatchedRig {
    WatchedRig()
        : rig(48000), analysis(rig.program->analysis), generator(*rig.program->generator),
          jack(*rig.program->jack), watch(*rig.program->watch)
    {
        apply_filter_design(generator, 48000 / 4, 20, -64, 48000);
        generator.set_output_source(0, SOURCE_WHITE_NOISE);
        analysis->engine.set_main_channel(CHANNEL_OUTPUT_0);
        analysis->engine.set_corr_channel(CHANNEL_INPUT_0);
        generator.start();
    }

    // Looks until the status reads words; false after PROGRAM_LIMIT.
    bool reaches(const std::string &words)
    {
        return wait_for([&] {
            watch.look();
            return audio_status_text(watch.status()) == words;
        }, PROGRAM_LIMIT);
    }

    ProgramRig rig;
    std::unique_ptr<Analysis> &analysis;
    Generator &generator;
    JackClient &jack;
    ServerWatch &watch;
};

// How loud each period on its "in" port was.
class Listener {
public:
    explicit Listener(const std::string &name) : peer(name)
    {
        in_ = peer.add_port("in", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput);
        peer.process = [this](jack_nframes_t nframes) {
            const auto *audio = static_cast<const float *>(jack_port_get_buffer(in_, nframes));
            float peak = 0.0f;
            for (jack_nframes_t f = 0; f < nframes; f++)
                peak = std::max(peak, std::fabs(audio[f]));
            std::lock_guard<std::mutex> lock(mutex_);
            peaks_.push_back(peak);
        };
        active_ = in_ != nullptr && peer.activate();
    }

    bool ok() const { return active_; }

    std::size_t periods() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return peaks_.size();
    }

    // The loudest of periods [from, to); waits (generous limit) until they
    // have been heard. NaN on time-out.
    float peak(std::size_t from, std::size_t to) const
    {
        if (!wait_for([&] { return periods() >= to; }, PROGRAM_LIMIT))
            return NAN;
        std::lock_guard<std::mutex> lock(mutex_);
        return *std::max_element(peaks_.begin() + static_cast<std::ptrdiff_t>(from),
                                 peaks_.begin() + static_cast<std::ptrdiff_t>(to));
    }

private:
    mutable std::mutex mutex_;
    std::vector<float> peaks_;
    jack_port_t *in_ = nullptr;
    bool active_ = false;

public:
    JackPeer peer;  // last: its client stops calling in before the rest goes
};


// Orvel's output_1 through loop into its input_1. PipeWire's sink has no
// capture ports, so input_1 starts unconnected.
bool patch_loop(DelayLine &loop)
{
    const std::string name = jack_get_client_name(loop.peer.client());
    return loop.peer.connect("orvel:output_1", name + ":in") && loop.peer.connect(name + ":out", "orvel:input_1");
}

// The largest correlation value in magnitude: 0 when one of the two
// channels was silent over the whole window.
double strongest_correlation(const Engine &engine)
{
    double strongest = 0.0;
    engine.read_results([&strongest](const ResultView &view) {
        for (std::uint64_t i = 0; i < view.window_size; i++)
            strongest = std::max(strongest, std::fabs(view.correlation_sum[i]));
    });
    return strongest;
}

}  // namespace

// The program, started as a desktop's `pw-jack orvel` would start it, joins
// the graph on the sink's ports and says so. The graph is then forced to
// 44100 Hz while it runs, and back: each change is one line on stderr.
// PipeWire runs the client's thread under SCHED_FIFO with the
// reset-on-fork flag, which is left as it is, without a word from the toolkit.
TEST_F(OnPipeWire, ProgramJoinsAndFollowsALiveRateChange)
{
    BackgroundProgram orvel(ORVEL_BINARY, {});
    ASSERT_TRUE(orvel.says("JACK 48000 Hz, 256 frames")) << orvel.err() << server.output();
    EXPECT_TRUE(maps_pipewire_libjack(orvel.pid()));
    JackPeer peer("observer");
    ASSERT_TRUE(peer.ok());
    EXPECT_TRUE(wait_for([&] {
        return peer.connections("orvel:output_1") == std::vector<std::string>{PipeWireServer::SINK_PORT_1}
               && peer.connections("orvel:output_2") == std::vector<std::string>{PipeWireServer::SINK_PORT_2};
    }, PROGRAM_LIMIT));

    ASSERT_TRUE(server.set_setting("clock.force-rate", "44100"));
    EXPECT_TRUE(orvel.says("JACK runs at 44100 Hz; Orvel needs 48000 Hz")) << orvel.err();
    // Letting go (0) leaves a running graph at 44100 Hz: the rate is forced back.
    ASSERT_TRUE(server.set_setting("clock.force-rate", "48000"));
    EXPECT_TRUE(orvel.says("JACK 48000 Hz, 256 frames", 2)) << orvel.err();
    EXPECT_EQ(count_of(orvel.err(), "QThread"), 0) << orvel.err();
    EXPECT_EQ(orvel.close(), 0);
    // Other clients learn of the removal from PipeWire's registry, a moment later.
    EXPECT_TRUE(wait_for([&] { return peer.ports_with_prefix("orvel:").empty(); }, PROGRAM_LIMIT));
}

// Noise from output 0 through a delaying client into input 0, as
// JackClient.LoopDelayIsMeasured does on jackd, and the same delay:
// LOOP_FRAMES + PERIOD + 1 (PipeWire breaks the cycle a period late too).
// Forced to 44100 Hz, Orvel plays silence and the analysis takes nothing, so
// the last reading stands; back at 48000 Hz the loop reads as before.
TEST_F(OnPipeWire, LoopDelayAsOnJackdBeforeAndAfterALiveRateChange)
{
    constexpr jack_nframes_t LOOP_FRAMES = 1000;
    constexpr std::uint64_t EXPECTED = LOOP_FRAMES + PERIOD + 1;
    constexpr std::size_t HEARD_PERIODS = 50;  // a quarter of a second at 48000 Hz
    WatchedRig rig;
    ASSERT_TRUE(rig.reaches("JACK 48000 Hz, 256 frames"));
    DelayLine loop("loop", LOOP_FRAMES);
    ASSERT_TRUE(loop.ok());
    ASSERT_TRUE(patch_loop(loop));
    Listener listener("listener");
    ASSERT_TRUE(listener.ok());
    ASSERT_TRUE(listener.peer.connect("orvel:output_1", "listener:in"));

    Analysis &analysis = *rig.analysis;
    ASSERT_TRUE(wait_for_looped_window(analysis));
    const std::uint64_t before = correlation_peak_delay(analysis.engine);
    RecordProperty("delay_before", static_cast<int>(before));
    EXPECT_EQ(before, EXPECTED);

    ASSERT_TRUE(server.set_setting("clock.force-rate", "44100"));
    ASSERT_TRUE(rig.reaches("JACK runs at 44100 Hz; Orvel needs 48000 Hz"));
    // The period under way as the status came may still carry noise.
    const std::size_t shut = listener.periods() + 1;
    EXPECT_EQ(listener.peak(shut, shut + HEARD_PERIODS), 0.0f);
    ASSERT_TRUE(wait_for_quiet(analysis));
    const JobCounts quiet = analysis.engine.job_counts();
    EXPECT_EQ(listener.peak(shut + HEARD_PERIODS, shut + 2 * HEARD_PERIODS), 0.0f);
    EXPECT_EQ(analysis.engine.job_counts().submitted, quiet.submitted);
    EXPECT_EQ(correlation_peak_delay(analysis.engine), EXPECTED);

    ASSERT_TRUE(server.set_setting("clock.force-rate", "48000"));
    ASSERT_TRUE(rig.reaches("JACK 48000 Hz, 256 frames"));
    const std::size_t open = listener.periods() + 1;
    EXPECT_GT(listener.peak(open, open + HEARD_PERIODS), 0.0f);
    ASSERT_TRUE(wait_for_looped_window(analysis));
    const std::uint64_t after = correlation_peak_delay(analysis.engine);
    RecordProperty("delay_after", static_cast<int>(after));
    EXPECT_EQ(after, EXPECTED);
    rig.jack.stop();
}

// PipeWire 0.3.65 passes nothing through a client's output connected
// straight to its own input (jackd gives it a period later): input 0,
// correlated with itself, stays at 0 over a whole window. Through another
// client the same input carries the noise. The README says so; once this
// fails, PipeWire has changed and the README's words should go.
TEST_F(OnPipeWire, OwnOutputIntoOwnInputPassesNothing)
{
    WatchedRig rig;
    rig.analysis->engine.set_main_channel(CHANNEL_INPUT_0);
    ASSERT_TRUE(rig.reaches("JACK 48000 Hz, 256 frames"));
    Listener listener("listener");
    ASSERT_TRUE(listener.ok());
    ASSERT_TRUE(listener.peer.connect("orvel:output_1", "listener:in"));
    ASSERT_TRUE(listener.peer.connect("orvel:output_1", "orvel:input_1"));
    ASSERT_TRUE(wait_for_looped_window(*rig.analysis));
    const std::size_t now = listener.periods();
    EXPECT_GT(listener.peak(now, now + 10), 0.0f);
    EXPECT_EQ(strongest_correlation(rig.analysis->engine), 0.0);

    ASSERT_TRUE(listener.peer.disconnect("orvel:output_1", "orvel:input_1"));
    DelayLine loop("loop", 1);
    ASSERT_TRUE(loop.ok());
    ASSERT_TRUE(patch_loop(loop));
    ASSERT_TRUE(wait_for_looped_window(*rig.analysis));
    EXPECT_GT(strongest_correlation(rig.analysis->engine), 0.0);
    rig.jack.stop();
}
