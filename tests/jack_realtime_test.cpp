// The process callback is the part of each server period that Orvel
// controls: it must stay short, and the server must never have to wait for
// it. Runs alone (see tests/CMakeLists.txt): other tests on the same two
// cores would be counted against it.
#include "audio/analysis.h"
#include "audio/callback_timing.h"
#include "audio/jack_client.h"
#include "audio/rate_conversion.h"
#include "engine/engine_types.h"
#include "siggen/filter_design.h"
#include "siggen/generator.h"
#include "support/background_program.h"
#include "support/engine_fixture.h"
#include "support/jack_server.h"
#include "support/program_rig.h"
#include "support/stall_witness.h"

#include <gtest/gtest.h>
#include <jack/thread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int PERIOD_FRAMES = 256;
constexpr int PERIOD_US = PERIOD_FRAMES * 1000000 / 48000;  // 5333

// How long after the period it names a report of an xrun may reach the log
// as read here: a server cycle to write it, and the 50 ms between reads. A
// callback far shorter than a period only misses one when something held
// it or the clients before it back: a stall of a quarter period or more.
constexpr std::int64_t RUNNING_REPORT_LAG_NS = 100000000;

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
// at the scheduler's whim, and says little about Orvel). Calls that a stall
// of their processor overlapped are reported and set aside: on a virtual
// machine the host takes processors away for milliseconds at a time.
TEST(RealTime, CallbackStaysShortUnderLoad)
{
    JackServer server(48000, 2, 2, PERIOD_FRAMES, true);
    ASSERT_TRUE(server.running());
    std::printf("%s\n", server.real_time() ? "real-time server (SCHED_FIFO, priority 70)"
                                           : "real-time scheduling refused here: a plain server, so the "
                                             "durations include preemption by other threads");
    // The program's own objects, as start-up makes them.
    ProgramRig rig(48000);
    const std::unique_ptr<Analysis> &analysis = rig.program->analysis;
    Generator &generator = *rig.program->generator;
    JackClient &jack = *rig.program->jack;
    apply_filter_design(generator, 48000 / 4, 20, -64, 48000);
    generator.set_output_source(0, SOURCE_WHITE_NOISE);
    analysis->engine.set_main_channel(CHANNEL_OUTPUT_0);
    analysis->engine.set_corr_channel(CHANNEL_INPUT_0);
    generator.start();
    JackPeer patch("patch");
    ASSERT_TRUE(patch.activate());
    ASSERT_EQ(jack.open("orvel", true).outcome, OpenOutcome::joined);
    ASSERT_TRUE(patch.connect("orvel:output_1", "orvel:input_1"));

    std::this_thread::sleep_for(std::chrono::seconds(1));  // past the start-up transient
    const std::size_t log_before = server.output().size();
    const CallbackDurations before = jack.timing().durations();
    const std::size_t slow_before = jack.timing().slow_calls().size();
    const std::uint64_t jobs_before = analysis->engine.job_counts().completed;
    std::uint64_t jobs = 0;
    CallbackDurations during;
    std::vector<SlowCallback> slow;
    std::vector<StallWitness::Stall> stalls;
    std::vector<bool> excused;
    int running_xruns = 0;            // "orvel Running" reports
    int running_xruns_unexcused = 0;  // of those, the ones no stall just before explains
    {
        StallWitness witness;
        // The server's reports carry no time, so its log is read as it grows
        // and each report is set beside the stalls of the moments before it.
        std::size_t log_read = log_before;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            const std::string log = server.output();
            const std::size_t complete = log.rfind('\n');
            if (complete == std::string::npos || complete < log_read)
                continue;
            const std::map<std::string, int> recent = xruns_by_cause(log.substr(log_read, complete + 1 - log_read));
            const auto running = recent.find("orvel Running");
            const int found = running == recent.end() ? 0 : running->second;
            log_read = complete + 1;
            const std::int64_t now = monotonic_ns();
            running_xruns += found;
            if (found != 0 && !witness.overlaps(now - RUNNING_REPORT_LAG_NS, now, StallWitness::ANY_CPU, PERIOD_US * 1000 / 4))
                running_xruns_unexcused += found;
        }
        jobs = analysis->engine.job_counts().completed - jobs_before;
        during = jack.timing().durations().since(before);
        const std::vector<SlowCallback> all_slow = jack.timing().slow_calls();
        slow.assign(all_slow.begin() + static_cast<std::ptrdiff_t>(slow_before), all_slow.end());
        for (const SlowCallback &call : slow)
            excused.push_back(witness.overlaps(call.start_ns, call.end_ns, call.start_cpu)
                              || witness.overlaps(call.start_ns, call.end_ns, call.end_cpu));
        stalls = witness.stalls();
        if (!witness.real_time())
            std::printf("the stall witness runs without real-time rights: its stalls are guesses\n");
    }
    const std::map<std::string, int> causes = xruns_by_cause(server.output().substr(log_before));
    jack.stop();

    // The worst call no stall overlapped.
    int worst_us = 0;
    for (int b = 0; b < SLOW_CALLBACK_NS / 1000; b++)
        if (during.calls[b] != 0)
            worst_us = b;
    for (std::size_t i = 0; i < slow.size(); i++) {
        const int us = static_cast<int>((slow[i].end_ns - slow[i].start_ns + 999) / 1000);
        std::printf("slow call: %d us on processors %d to %d%s\n", us, slow[i].start_cpu, slow[i].end_cpu,
                    excused[i] ? ", during a stall of that processor" : "");
        if (!excused[i])
            worst_us = std::max(worst_us, us);
    }
    std::printf("callbacks: %llu, 99.9th percentile %d us, worst %d us (%d us with the stalled ones), "
                "period %d us; jobs completed: %llu\n",
                static_cast<unsigned long long>(during.total()), during.percentile_us(0.999), worst_us,
                during.worst_us(), PERIOD_US, static_cast<unsigned long long>(jobs));
    const auto long_stalls = std::count_if(stalls.begin(), stalls.end(), [](const StallWitness::Stall &stall) {
        return stall.to_ns - stall.from_ns >= PERIOD_US * 1000 / 4;
    });
    std::printf("processor stalls of 0.2 ms or more: %zu, of a quarter period or more: %td\n", stalls.size(), long_stalls);
    std::printf("xruns blamed on a running Orvel: %d, %d of them with no stall of a quarter period just before\n", running_xruns,
                running_xruns_unexcused);
    for (const auto &[cause, count] : causes)
        std::printf("xruns: %d x %s\n", count, cause.c_str());
    RecordProperty("worst_us", worst_us);
    RecordProperty("p999_us", during.percentile_us(0.999));

    // 5625 periods and 1406 blocks in 30 s. Half of each is enough to measure
    // by, whatever cycles the machine's stalls cost the server.
    EXPECT_GT(during.total(), 2800u);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_GT(jobs, 700u);  // the analysis keeps up with what arrives
    EXPECT_LT(during.percentile_us(0.999), PERIOD_US / 4);
    EXPECT_LT(worst_us, PERIOD_US / 4);
    // Running: the callback had started and not finished in time. Only a
    // stall can make a call this short miss a period.
    EXPECT_EQ(running_xruns_unexcused, 0);
#else
    EXPECT_GT(jobs, 0u);  // sanitizer builds are too slow to judge the timing
#endif
}

// JACK runs a real-time server's client threads at a priority of its own
// choosing (the server's, less five); Orvel must leave the callback there,
// not move it to the toolkit's idea of "high".
TEST(RealTime, CallbackKeepsThePriorityJackGaveIt)
{
    JackServer server(48000, 2, 2, PERIOD_FRAMES, true);
    ASSERT_TRUE(server.running());
    if (!server.real_time())
        GTEST_SKIP() << "real-time scheduling refused here";
    const std::unique_ptr<Analysis> analysis = start_analysis(engine_config(48000));
    JackClient jack(analysis->exchange);
    ASSERT_EQ(jack.open("orvel", false).outcome, OpenOutcome::joined);
    // Two calls timed: the first has finished, whatever it set up.
    wait_for([&jack] { return jack.timing().thread_id() != 0 && jack.timing().durations().total() >= 2; },
             PROGRAM_LIMIT);
    const pid_t thread = jack.timing().thread_id();
    ASSERT_NE(thread, 0);
    sched_param param = {};
    EXPECT_EQ(sched_getscheduler(thread), SCHED_FIFO);
    ASSERT_EQ(sched_getparam(thread, &param), 0);
    EXPECT_EQ(param.sched_priority, jack_client_real_time_priority(jack.handle()));
    EXPECT_EQ(param.sched_priority, 65);
    jack.stop();
}
