// The process callback is the part of each server period that Orvel
// controls: it must stay short, and the server must never have to wait for
// it. Runs alone (see tests/CMakeLists.txt): other tests on the same two
// cores would be counted against it.
#include "audio/callback_timing.h"
#include "audio/jack_client.h"
#include "audio/midi_output.h"
#include "audio/block_assembler.h"
#include "audio/rate_conversion.h"
#include "engine/engine_state.h"
#include "siggen/filter_design.h"
#include "siggen/generator.h"
#include "support/engine_fixture.h"
#include "support/jack_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <thread>

namespace {

constexpr int PERIOD_FRAMES = 256;
constexpr int PERIOD_US = PERIOD_FRAMES * 1000000 / 48000;  // 5333

// The server's xrun reports, "client = NAME was not finished, state = STATE",
// counted by "NAME STATE"; other xrun lines (the driver's own) by their text.
std::map<std::string, int> xruns_by_cause(const std::string &server_output)
{
    std::map<std::string, int> causes;
    std::istringstream lines(server_output);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t client = line.find("client = ");
        const std::size_t state = line.find("state = ");
        if (line.find("XRun") == std::string::npos && line.find("xrun") == std::string::npos)
            continue;
        if (client == std::string::npos || state == std::string::npos) {
            causes[line]++;
            continue;
        }
        const std::size_t name_start = client + 9;
        const std::string name = line.substr(name_start, line.find(' ', name_start) - name_start);
        causes[name + " " + line.substr(state + 8)]++;
    }
    return causes;
}

}  // namespace

// Half a minute of noise looped back with the analysis busy, on a real-time
// server where the system allows one (a plain server preempts the callback
// at the scheduler's whim, and says little about Orvel).
TEST(RealTime, CallbackStaysShortUnderLoad)
{
    JackServer server(48000, 2, 2, PERIOD_FRAMES, true);
    ASSERT_TRUE(server.running());
    std::printf("%s\n", server.real_time() ? "real-time server (SCHED_FIFO, priority 70)"
                                           : "real-time scheduling refused here: a plain server, so the "
                                             "durations include preemption by other threads");
    start_engine(48000);
    apply_filter_design(48000 / 4, 20, -64);
    generator_start();
    midi_start();
    audio_lock();
    output_source_0 = SOURCE_WHITE_NOISE;
    main_channel = CHANNEL_OUTPUT_0;
    corr_channel = CHANNEL_INPUT_0;
    audio_unlock();
    JackPeer patch("patch");
    ASSERT_TRUE(patch.activate());
    ASSERT_FALSE(audio_open("orvel", true));
    ASSERT_TRUE(patch.connect("orvel:output_1", "orvel:input_1"));

    std::this_thread::sleep_for(std::chrono::seconds(1));  // past the start-up transient
    const std::size_t log_before = server.output().size();
    const CallbackDurations before = callback_durations();
    audio_lock();
    const std::uint64_t jobs_before = jobs_completed;
    audio_unlock();
    std::this_thread::sleep_for(std::chrono::seconds(30));
    audio_lock();
    const std::uint64_t jobs = jobs_completed - jobs_before;
    audio_unlock();
    const CallbackDurations during = callback_durations().since(before);
    const std::map<std::string, int> causes = xruns_by_cause(server.output().substr(log_before));
    audio_stop();

    std::printf("callbacks: %llu, 99.9th percentile %d us, worst %d us, period %d us; jobs completed: %llu\n",
                static_cast<unsigned long long>(during.total()), during.percentile_us(0.999),
                during.worst_us(), PERIOD_US, static_cast<unsigned long long>(jobs));
    for (const auto &[cause, count] : causes)
        std::printf("xruns: %d x %s\n", count, cause.c_str());
    RecordProperty("worst_us", during.worst_us());
    RecordProperty("p999_us", during.percentile_us(0.999));

    EXPECT_GT(during.total(), 5000u);  // 5625 periods in 30 s
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_GT(jobs, 1000u);  // 1406 blocks arrive in 30 s; the analysis keeps up
    EXPECT_LT(during.worst_us(), PERIOD_US / 4);
    // Running: the callback had started and not finished in time.
    EXPECT_EQ(causes.count("orvel Running"), 0u);
#else
    EXPECT_GT(jobs, 0u);  // sanitizer builds are too slow to judge the timing
#endif
}
