// The engine as an object: two analyses in one process share nothing, and
// an analysis that stops leaves no thread behind.
#include "audio/analysis.h"
#include "engine/block_result.h"
#include "support/white_noise.h"

#include <dirent.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <thread>
#include <vector>

namespace {

// One source of sound for an analysis: input frame f of input 0 and 1.
struct Sound {
    int rate;                                   // engine rate
    int decay;                                  // decay choice
    std::function<float(std::uint64_t)> input_0;
    std::function<float(std::uint64_t)> input_1;
};

// Everything a row holds that a user can see, bit for bit.
struct Row {
    std::vector<ToneEntry> tones;
    PitchClassPeak peaks[PITCH_CLASS_COUNT];
    CorrelationPeak correlation;
};

bool operator==(const Row &a, const Row &b)
{
    return a.tones.size() == b.tones.size()
        && std::memcmp(a.tones.data(), b.tones.data(), a.tones.size() * sizeof(ToneEntry)) == 0
        && std::memcmp(a.peaks, b.peaks, sizeof a.peaks) == 0
        && std::memcmp(&a.correlation, &b.correlation, sizeof a.correlation) == 0;
}

constexpr double SECONDS = 1.5;

// Feeds the sound through a fresh analysis at the pace of its jobs and
// returns every row it made, in job order.
std::vector<Row> analyse(const Sound &sound)
{
    const std::unique_ptr<Analysis> analysis = start_analysis(engine_config(sound.rate));
    Engine &engine = analysis->engine;
    engine.set_decay_choice(sound.decay);
    engine.set_main_channel(CHANNEL_INPUT_0);
    engine.set_corr_channel(CHANNEL_INPUT_1);
    const std::uint32_t period = analysis->paced_period();
    std::vector<float> io_1(period), io_2(period);
    const auto frames = static_cast<std::uint64_t>(SECONDS * SERVER_RATE);
    for (std::uint64_t done = 0; done + period <= frames; done += period) {
        for (std::uint32_t f = 0; f < period; f++) {
            io_1[f] = sound.input_0(done + f);
            io_2[f] = sound.input_1(done + f);
        }
        analysis->feed_paced(io_1.data(), io_2.data(), period, engine.job_limit());
    }
    analysis->wait_for_analysis();

    std::vector<Row> rows;
    engine.read_results([&](const ResultView &view) {
        EXPECT_LT(view.completed, RESULT_ROWS) << "rows were overwritten: feed less";
        for (std::uint64_t seq = 0; seq < view.completed; seq++) {
            EXPECT_TRUE(view.row_final(seq)) << seq;
            Row row;
            row.tones.assign(view.tone_row(seq), view.tone_row(seq) + view.groups);
            std::memcpy(row.peaks, view.pitch_classes(seq), sizeof row.peaks);
            row.correlation = view.correlation_peak(seq);
            rows.push_back(std::move(row));
        }
    });
    return rows;
}

float sine(double hz, std::uint64_t frame)
{
    return static_cast<float>(0.4 * std::sin(2.0 * 3.141592653589793 * hz * static_cast<double>(frame) / SERVER_RATE));
}

// Threads of this process, from /proc.
int thread_count()
{
    int count = 0;
    if (DIR *tasks = opendir("/proc/self/task")) {
        while (const dirent *entry = readdir(tasks))
            count += entry->d_name[0] != '.';
        closedir(tasks);
    }
    return count;
}

}  // namespace

// Two engines at different rates on different sound at the same time: each
// gets exactly the rows it gets alone. Anything shared between them (a
// counter, a row, the decay, a ring) would show in the rows of one or both.
TEST(TwoEngines, EachGetsTheRowsItGetsAlone)
{
    const Sound low_rate{16000, 3, [](std::uint64_t f) { return sine(440.0, f) + 0.1f * white_noise(f); },
                         [](std::uint64_t f) { return f < 600 ? 0.0f : white_noise(f - 600); }};
    const Sound high_rate{48000, 0, [](std::uint64_t f) { return sine(1234.5, f) + 0.2f * white_noise(f + 7777); },
                          [](std::uint64_t f) { return f < 96 ? 0.0f : 0.5f * white_noise(f + 7681); }};

    const std::vector<Row> low_alone = analyse(low_rate);
    const std::vector<Row> high_alone = analyse(high_rate);
    ASSERT_GT(low_alone.size(), 10u);
    ASSERT_GT(high_alone.size(), 10u);

    std::vector<Row> low_together;
    std::vector<Row> high_together;
    std::thread other([&] { high_together = analyse(high_rate); });
    low_together = analyse(low_rate);
    other.join();

    ASSERT_EQ(low_together.size(), low_alone.size());
    ASSERT_EQ(high_together.size(), high_alone.size());
    for (std::size_t i = 0; i < low_alone.size(); i++)
        EXPECT_TRUE(low_together[i] == low_alone[i]) << "16000 Hz row " << i;
    for (std::size_t i = 0; i < high_alone.size(); i++)
        EXPECT_TRUE(high_together[i] == high_alone[i]) << "48000 Hz row " << i;
}

// Stopping joins every thread the analysis started, whatever it was doing:
// idle, or with jobs still in flight.
TEST(AnalysisLife, StopLeavesNoThreadBehind)
{
    // A thread started and joined first: a sanitizer's own helper thread,
    // which comes with the first thread, is then in the count already.
    std::thread([] {}).join();
    const int before = thread_count();
    {
        const std::unique_ptr<Analysis> idle = start_analysis(engine_config(16000));
        EXPECT_EQ(thread_count(), before + 2 * DEFAULT_WORKERS + 2);  // detectors, correlators, collector, assembler
    }
    EXPECT_EQ(thread_count(), before);
    {
        const std::unique_ptr<Analysis> busy = start_analysis(engine_config(48000, 16 * 48000));
        const std::uint32_t period = busy->paced_period();
        std::vector<float> io_1(period), io_2(period);
        for (std::uint64_t done = 0; done < 8 * BLOCK_LEN; done += period) {
            for (std::uint32_t f = 0; f < period; f++)
                io_1[f] = io_2[f] = white_noise(done + f);
            busy->feed_paced(io_1.data(), io_2.data(), period, busy->engine.job_limit());
        }
        EXPECT_GT(busy->engine.job_counts().submitted, 0u);
    }
    EXPECT_EQ(thread_count(), before);
}

// The channels are the engine's AnalysisChannel: a value out of range is
// refused and the channel stays as it was, so the assembler's index is
// always one of its CHANNEL_COUNT blocks.
TEST(EngineSettings, ChannelsOutOfRangeAreRefused)
{
    Engine engine(engine_config(16000));
    EXPECT_EQ(engine.main_channel(), CHANNEL_INPUT_0);
    EXPECT_EQ(engine.corr_channel(), CHANNEL_INPUT_0);
    EXPECT_TRUE(engine.set_main_channel(CHANNEL_OUTPUT_SUM));
    EXPECT_TRUE(engine.set_corr_channel(CHANNEL_INPUT_1));
    for (const int wrong : {-1, static_cast<int>(CHANNEL_COUNT), 7, 1000, std::numeric_limits<int>::min()}) {
        SCOPED_TRACE(wrong);
        EXPECT_FALSE(engine.set_main_channel(wrong));
        EXPECT_FALSE(engine.set_corr_channel(wrong));
        EXPECT_EQ(engine.main_channel(), CHANNEL_OUTPUT_SUM);
        EXPECT_EQ(engine.corr_channel(), CHANNEL_INPUT_1);
    }
    for (int channel = 0; channel < CHANNEL_COUNT; channel++) {
        EXPECT_TRUE(engine.set_main_channel(channel));
        EXPECT_EQ(engine.main_channel(), channel);
    }
}
