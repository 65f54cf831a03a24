// The graph view: its statistics, images and labels from hand-made buffers,
// its read-out against the real band table, and the widget itself inside a
// real spectrum panel, driven with mouse events on the offscreen platform.
#include "ui/graph_view.h"
#include "engine/number_text.h"

#include "audio/analysis.h"
#include "audio/jack_client.h"
#include "support/qt_app.h"
#include "support/result_rows.h"
#include "ui/spectrum_panel.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t ROWS = 256;

std::string text(const QString &s)
{
    return s.toStdString();
}

// ---- statistics ----------------------------------------------------------------

TEST(GraphViewStatistics, SilentFullWindowAt16kHz)
{
    const std::vector<double> sum(7168, 0.0);
    const CorrelationStats stats = correlation_stats(sum.data(), {0, 7167}, 7168);

    EXPECT_EQ(stats.imax, 0u);
    EXPECT_EQ(stats.imin, 0u);
    EXPECT_EQ(stats.scale, 1.0);
    EXPECT_EQ(text(statistics_text(stats, 16000, 0)),
              "MAX :: 0dB 7167 samples 447.93ms 152.29m\n"
              "MIN :: 0dB 7167 samples 447.93ms 152.29m\n"
              "RANGE :: 7168 samples 0 - 447.93ms\n"
              "LAG :: 0");
}

TEST(GraphViewStatistics, ExtremesScaleAndDelays)
{
    struct Case {
        const char *name;
        std::vector<double> sum;
        ZoomRange window;
        std::uint64_t imax, imin;
        double a, b, scale;
        std::uint64_t lmax, lmin, lnear, lfar, length;
    };
    const Case cases[] = {
        // The sentinels 9 and -9 lie outside the window; the first of equal
        // extremes wins.
        {"ties and window bounds", {9, 0.5, 3, 3, -2, -2, -9}, {1, 5}, 2, 4, 3, 2, 3, 4, 2, 1, 5, 5},
        {"inside (-1, 1)", {0.5, -0.9, 0.99}, {0, 2}, 2, 1, 1, 1, 1, 0, 1, 0, 2, 3},
        {"negative dominates", {-4, 1.5}, {0, 1}, 1, 0, 1.5, 4, 4, 0, 1, 0, 1, 2},
        {"single index", {0, 7, 0}, {1, 1}, 1, 1, 7, 1, 7, 1, 1, 1, 1, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const CorrelationStats s = correlation_stats(c.sum.data(), c.window, c.sum.size());
        EXPECT_EQ(s.imax, c.imax);
        EXPECT_EQ(s.imin, c.imin);
        EXPECT_EQ(s.a, c.a);
        EXPECT_EQ(s.b, c.b);
        EXPECT_EQ(s.scale, c.scale);
        EXPECT_EQ(s.lmax, c.lmax);
        EXPECT_EQ(s.lmin, c.lmin);
        EXPECT_EQ(s.lnear, c.lnear);
        EXPECT_EQ(s.lfar, c.lfar);
        EXPECT_EQ(s.length, c.length);
    }
}

TEST(GraphViewStatistics, DecibelsAndJobsInText)
{
    const std::vector<double> sum = {0, 10, -1};
    const CorrelationStats stats = correlation_stats(sum.data(), {0, 2}, 3);
    EXPECT_EQ(text(statistics_text(stats, 16000, 5)),
              "MAX :: 10dB 1 samples 0.06ms 0.02m\n"
              "MIN :: 0dB 0 samples 0ms 0m\n"
              "RANGE :: 3 samples 0 - 0.12ms\n"
              "LAG :: 5");
}

TEST(GraphViewStatistics, DelaysAreCutToTwoDecimals)
{
    struct Case {
        std::uint64_t samples;
        int rate;
        const char *ms, *metres;
    };
    const Case cases[] = {
        {160, 16000, "10", "3.4"},
        {7167, 16000, "447.93", "152.29"},
        {3583, 16000, "223.93", "76.13"},
        {1, 48000, "0.02", "0"},          // 2.08 ms, 0.7 cm
        {767999, 48000, "15999.97", "5439.99"},   // six significant digits would show 16000
        {0, 8000, "0", "0"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.samples);
        EXPECT_EQ(text(cut_number_text(delay_ms(c.samples, c.rate))), c.ms);
        EXPECT_EQ(text(cut_number_text(delay_metres(c.samples, c.rate))), c.metres);
    }
}

// ---- images ----------------------------------------------------------------------

// The red pixels of column x: first and last line, or {-1, -1} if none.
// Fails the test when they are not one unbroken run.
std::pair<int, int> red_run(const QImage &image, int x)
{
    int top = -1;
    int bottom = -1;
    int count = 0;
    for (int y = 0; y < image.height(); y++) {
        const QRgb p = image.pixel(x, y);
        if (p == qRgb(255, 0, 0)) {
            if (top < 0)
                top = y;
            bottom = y;
            count++;
        } else {
            EXPECT_EQ(qAlpha(p), 0) << "column " << x << " line " << y;
        }
    }
    EXPECT_EQ(count, top < 0 ? 0 : bottom - top + 1) << "column " << x;
    return {top, bottom};
}

TEST(GraphViewImages, BlankSizesAndFills)
{
    const GraphImages images = blank_graph_images(801, 605, 108, ROWS);
    EXPECT_EQ(images.bars.size(), QSize(108, 101));
    EXPECT_EQ(images.history.size(), QSize(108, 129));
    EXPECT_EQ(images.correlation.size(), QSize(801, 101));
    EXPECT_EQ(images.bars.format(), QImage::Format_ARGB32);
    EXPECT_EQ(images.bars.pixel(50, 50), 0u);
    EXPECT_EQ(images.correlation.pixel(400, 50), 0u);
    EXPECT_EQ(images.history.pixel(50, 64), qRgb(255, 255, 255));
}

TEST(GraphViewCorrelation, ThreeIndicesOn801Pixels)
{
    // Height 600: h6 = 100, centre line 50.
    QImage image = blank_graph_images(801, 600, 1, ROWS).correlation;
    const std::vector<double> sum = {0.5, -0.5, 1.0};
    draw_correlation(image, sum.data(), {0, 2}, 1.0);

    struct Column {
        int x;
        std::pair<int, int> run;
    };
    const Column columns[] = {
        {0, {25, 50}},   {265, {25, 50}},   // index 0 rises above the centre
        {266, {50, 75}}, {532, {50, 75}},   // index 1 hangs below it
        {533, {0, 50}},  {799, {0, 50}},    // index 2 reaches the top edge
        {800, {-1, -1}},                    // the last column is never drawn
    };
    for (const Column &c : columns) {
        SCOPED_TRACE(c.x);
        EXPECT_EQ(red_run(image, c.x), c.run);
    }
}

TEST(GraphViewCorrelation, ScaleReachesBothEdgesOfAnOddStrip)
{
    // Height 606: h6 = 101, centre line 51; -scale lands on 102 and is
    // clamped into the image. The 9s outside the window must not count.
    QImage image = blank_graph_images(11, 606, 1, ROWS).correlation;
    const std::vector<double> sum = {9, 9, 2, -2, 9, 9};
    draw_correlation(image, sum.data(), {2, 3}, 2.0);

    EXPECT_EQ(red_run(image, 0), std::make_pair(0, 51));
    EXPECT_EQ(red_run(image, 4), std::make_pair(0, 51));
    EXPECT_EQ(red_run(image, 5), std::make_pair(51, 101));
    EXPECT_EQ(red_run(image, 9), std::make_pair(51, 101));
    EXPECT_EQ(red_run(image, 10), std::make_pair(-1, -1));
}

TEST(GraphViewCorrelation, ColumnsTileTheWindowInOrder)
{
    struct Case {
        ZoomRange window;
        std::uint64_t columns;
    };
    // Longer and shorter than the strip, offset, and one index.
    const Case cases[] = {
        {{0, 7167}, 100}, {{0, 7167}, 999}, {{3584, 5375}, 613}, {{4032, 4927}, 999},
        {{10, 12}, 800},  {{5, 5}, 40},     {{0, 767999}, 1799},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.window.first << ".." << c.window.last << " on "
                                        << c.columns);
        const std::uint64_t n = c.window.last + 1 - c.window.first;
        std::uint64_t next = c.window.first;   // the first index no column has covered yet
        for (std::uint64_t x = 0; x < c.columns; x++) {
            const ZoomRange r = column_indices(c.window, x, c.columns);
            ASSERT_LE(r.first, r.last) << x;
            if (n >= c.columns) {
                ASSERT_EQ(r.first, next) << x;   // none skipped, none twice
            } else {
                // A short window's index spans whole columns: it repeats
                // or the next one follows.
                ASSERT_EQ(r.first, r.last) << x;
                ASSERT_TRUE(r.first == next - 1 || r.first == next) << x;
            }
            next = r.last + 1;
        }
        EXPECT_EQ(next, c.window.last + 1);
    }
    // By hand: 7168 on 100 columns puts 71.68 indices in a column.
    EXPECT_EQ(column_indices({0, 7167}, 0, 100), (ZoomRange{0, 71}));
    EXPECT_EQ(column_indices({0, 7167}, 1, 100), (ZoomRange{72, 143}));
    EXPECT_EQ(column_indices({0, 7167}, 99, 100), (ZoomRange{7097, 7167}));
    EXPECT_EQ(column_indices({0, 2}, 265, 800), (ZoomRange{0, 0}));
    EXPECT_EQ(column_indices({0, 2}, 266, 800), (ZoomRange{1, 1}));
}

TEST(GraphViewCorrelation, LongWindowDrawsEachColumnFromItsSmallestToItsLargest)
{
    // 7168 indices on 101 pixels: column 0 covers indices 0..71, so the -1
    // at 70 and the 1 at 71 both show there; column 1 (72..143) rises to a
    // lone 0.5 and column 99 (7097..7167) hangs to -0.5.
    QImage image = blank_graph_images(101, 600, 1, ROWS).correlation;
    std::vector<double> sum(7168, 0.0);
    sum[70] = -1.0;
    sum[71] = 1.0;
    sum[100] = 0.5;
    sum[7100] = -0.5;
    draw_correlation(image, sum.data(), {0, 7167}, 1.0);

    EXPECT_EQ(red_run(image, 0), std::make_pair(0, 100));
    EXPECT_EQ(red_run(image, 1), std::make_pair(25, 50));
    for (int x = 2; x < 99; x++)
        EXPECT_EQ(red_run(image, x), std::make_pair(50, 50)) << "column " << x;
    EXPECT_EQ(red_run(image, 99), std::make_pair(50, 75));
    EXPECT_EQ(red_run(image, 100), std::make_pair(-1, -1));
}

// At 16000 Hz a loop that MAX reads as 420 samples peaks at index
// 7167 - 420 = 6747. Zoomed in towards it level by level, each of the
// widths must show the spike in exactly the columns that cover it, up to
// the top edge, and nowhere else above the centre line.
TEST(GraphViewCorrelation, SpikeOfADelayShowsAtEveryZoomLevel)
{
    constexpr std::uint64_t WINDOW = 7168;
    constexpr std::uint64_t PEAK = WINDOW - 1 - 420;
    std::vector<double> sum(WINDOW);
    for (std::uint64_t i = 0; i < WINDOW; i++)
        sum[i] = -0.005 * (1.0 + std::sin(0.37 * double(i)));   // a floor below one line
    sum[PEAK] = 50.0;
    sum[PEAK - 300] = -20.0;   // a dip, for the negative half

    for (int width : {1000, 613, 257}) {
        ZoomRange zoom[ZOOM_DEPTH] = {{0, WINDOW - 1}};
        std::uint8_t level = 0;
        for (int step = 0; step < ZOOM_DEPTH; step++) {
            SCOPED_TRACE(testing::Message() << "width " << width << ", level " << int(level));
            const ZoomRange window = zoom[level];
            QImage image = blank_graph_images(width, 600, 1, ROWS).correlation;
            const CorrelationStats stats = correlation_stats(sum.data(), window, WINDOW);
            ASSERT_EQ(stats.imax, PEAK);
            ASSERT_EQ(stats.lmax, 420u);
            draw_correlation(image, sum.data(), window, stats.scale);

            const auto columns = static_cast<std::uint64_t>(width - 1);
            int peak_columns = 0;
            for (int x = 0; x < width - 1; x++) {
                const ZoomRange covered = column_indices(window, std::uint64_t(x), columns);
                const bool has_peak = covered.first <= PEAK && PEAK <= covered.last;
                const auto run = red_run(image, x);
                EXPECT_EQ(run.first, has_peak ? 0 : 50) << "column " << x;
                peak_columns += has_peak ? 1 : 0;
            }
            EXPECT_GE(peak_columns, 1);

            // Deeper, towards the peak, each kind in turn where it keeps it.
            const ZoomKind kinds[] = {ZoomKind::left, ZoomKind::middle, ZoomKind::right};
            for (int k = 0; k < 3; k++) {
                ZoomRange trial[ZOOM_DEPTH];
                std::copy(zoom, zoom + ZOOM_DEPTH, trial);
                std::uint8_t trial_level = level;
                zoom_in(trial, trial_level, kinds[(step + k) % 3]);
                if (trial[trial_level].first <= PEAK && PEAK <= trial[trial_level].last) {
                    std::copy(trial, trial + ZOOM_DEPTH, zoom);
                    level = trial_level;
                    break;
                }
            }
        }
    }
}

std::vector<ToneEntry> tone_row(const std::vector<double> &levels)
{
    std::vector<ToneEntry> row;
    for (double level : levels)
        row.push_back({level, 0.0, 0.0});
    return row;
}

// Colour of the bar of group l and its height; fails unless the bar is one
// opaque run standing on the bottom line.
std::pair<QRgb, int> bar(const QImage &image, int l)
{
    const int bottom = image.height() - 1;
    const QRgb colour = image.pixel(l, bottom);
    int h = 0;
    while (h <= bottom && image.pixel(l, bottom - h) == colour && qAlpha(colour) == 255)
        h++;
    for (int y = 0; y <= bottom - h; y++)
        EXPECT_EQ(qAlpha(image.pixel(l, y)), 0) << "group " << l << " line " << y;
    return {colour, h};
}

const QRgb BLACK = qRgb(0, 0, 0);
const QRgb GREY = qRgb(127, 127, 127);

TEST(GraphViewBars, ColoursByNeighboursWithEdgeRules)
{
    // Height 60: h6 = 10, so the bars are 2 levels to a pixel.
    QImage image = blank_graph_images(100, 60, 5, ROWS).bars;
    const std::vector<ToneEntry> row = tone_row({5, 3, 4, 4, 1});
    draw_bars(image, row.data(), 5, 5.0);

    const std::pair<QRgb, int> expected[] = {
        {BLACK, 10},   // 5 >= groups 1 and 2
        {GREY, 6},
        {BLACK, 8},    // 4 >= 3 and 4 >= 4
        {BLACK, 8},    // 4 >= 4 and 4 >= 1
        {GREY, 2},     // last group: compared with groups 3 and 2
    };
    for (int l = 0; l < 5; l++) {
        SCOPED_TRACE(l);
        EXPECT_EQ(bar(image, l), expected[l]);
    }
}

// A tone_rows buffer of ROWS rows of groups entries, all zero.
struct ToneRows {
    std::uint64_t groups;
    std::vector<ToneEntry> entries;

    explicit ToneRows(std::uint64_t g) : groups(g), entries(ROWS * g, ToneEntry{0, 0, 0}) {}
    void set(std::uint64_t row, const std::vector<double> &levels)
    {
        for (std::uint64_t l = 0; l < levels.size(); l++)
            entries[row * groups + l].level = levels[l];
    }
    // The rows as the engine hands them out after completed jobs.
    ResultView view(std::uint64_t completed) const
    {
        ResultView v{};
        v.tone_rows = entries.data();
        v.groups = groups;
        v.completed = completed;
        return v;
    }
};

int grey_at(const QImage &image, int x, int y)
{
    const QRgb p = image.pixel(x, y);
    EXPECT_EQ(qAlpha(p), 255);
    EXPECT_TRUE(qRed(p) == qGreen(p) && qGreen(p) == qBlue(p));
    return qRed(p);
}

TEST(GraphViewHistory, NewestRowOnLineZeroAcrossTheWrap)
{
    struct Case {
        std::uint64_t completed;
        std::uint64_t newest, oldest;   // rows on lines 0 and 128
    };
    const Case cases[] = {
        {0, 255, 127},   // before the first job
        {1, 0, 128},
        {300, 43, 171},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.completed);
        ToneRows rows(3);
        rows.set(c.newest, {4, 2, 0.5});
        rows.set(c.oldest, {1, 3, 1});
        rows.set((c.newest + 1) % ROWS, {100, 100, 100});   // next to be written: not shown
        GraphImages images = blank_graph_images(300, 600, 3, ROWS);
        draw_history(images, rows.view(c.completed));

        // Cubed share of the row maximum: 1 -> black, 1/2 -> 31, 1/3 -> 9.
        EXPECT_EQ(grey_at(images.history, 0, 0), 0);
        EXPECT_EQ(grey_at(images.history, 1, 0), 255 - 31);
        EXPECT_EQ(grey_at(images.history, 2, 0), 255);   // below 1.0: untouched
        EXPECT_EQ(grey_at(images.history, 0, 128), 255 - 9);
        EXPECT_EQ(grey_at(images.history, 1, 128), 0);
        for (int y = 1; y < 128; y++)
            for (int l = 0; l < 3; l++)
                ASSERT_EQ(grey_at(images.history, l, y), 255) << "line " << y;

        // Only the newest row becomes bars (h6 = 100).
        EXPECT_EQ(bar(images.bars, 0), std::make_pair(BLACK, 100));
        EXPECT_EQ(bar(images.bars, 1), std::make_pair(GREY, 50));
        EXPECT_EQ(bar(images.bars, 2).second, 12);
    }
}

TEST(GraphViewHistory, QuietNewestRowDrawsNothing)
{
    ToneRows rows(5);
    rows.set(9, {1.9, 1.5, 1.0, 1.9, 1.2});
    GraphImages images = blank_graph_images(300, 600, 5, ROWS);
    draw_history(images, rows.view(10));

    for (int y = 0; y < images.history.height(); y++)
        for (int l = 0; l < 5; l++)
            ASSERT_EQ(images.history.pixel(l, y), qRgb(255, 255, 255)) << l << ", " << y;
    for (int y = 0; y < images.bars.height(); y++)
        for (int l = 0; l < 5; l++)
            ASSERT_EQ(qAlpha(images.bars.pixel(l, y)), 0) << l << ", " << y;
}

// ---- labels ----------------------------------------------------------------------

TEST(GraphViewLabels, CrowdedLabelsStackUpward)
{
    // 100 groups on 1000 pixels: group l sits at x = 10 l. Bands change at
    // x = 0, 50, 130 and 150.
    std::vector<std::uint8_t> bands(100, 4);
    std::fill(bands.begin(), bands.begin() + 5, 1);
    std::fill(bands.begin() + 5, bands.begin() + 13, 2);
    std::fill(bands.begin() + 13, bands.begin() + 15, 3);
    const int h = 600;
    const std::vector<FrequencyLabel> labels = frequency_labels(bands.data(), 100, 1000, h);

    ASSERT_EQ(labels.size(), 4u);
    const FrequencyLabel expected[] = {
        {"20Hz", QPoint(0, h - 40)},     // the first label starts one step up
        {"25Hz", QPoint(50, h - 60)},
        {"31Hz", QPoint(130, h - 20)},   // 80 pixels clear: back on the base line
        {"40Hz", QPoint(150, h - 40)},   // crowds the label at 130, not the one at 0
    };
    for (int i = 0; i < 4; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(text(labels[i].text), text(expected[i].text));
        EXPECT_EQ(labels[i].baseline, expected[i].baseline);
    }
    EXPECT_TRUE(frequency_labels(bands.data(), 0, 1000, h).empty());
}

TEST(GraphViewLabels, TextsCutToWholeHertzOrTenthsOfKilohertz)
{
    const std::pair<double, const char *> cases[] = {
        {20, "20Hz"},         {31.5, "31Hz"},     {800, "800Hz"},
        {1000, "1.0kHz"},     {1250, "1.2kHz"},   {3150, "3.1kHz"},
        {10000, "10.0kHz"},   {12500, "12.5kHz"}, {20000, "20.0kHz"},
    };
    for (const auto &[hz, label] : cases)
        EXPECT_EQ(text(third_octave_text(hz)), label) << hz;
}

// ---- read-out ----------------------------------------------------------------------

class GraphViewReadout : public ::testing::Test {
protected:
    ReadoutSource source(ZoomRange window) const
    {
        return {engine.band_count(), engine.band_name(), engine.band_freq(), window, engine.window_size(),
                engine.sample_rate()};
    }

    Engine engine{engine_config(16000)};
};

TEST_F(GraphViewReadout, BandOrDelayUnderThePointer)
{
    ASSERT_EQ(engine.band_count(), 27648u);
    ASSERT_EQ(engine.window_size(), 7168u);
    const ZoomRange full{0, 7167};
    const ZoomRange right_half{3584, 7167};
    struct Case {
        int x, y;
        ZoomRange window;
        const char *expected;
    };
    // A 1000 x 600 widget: lines 0..399 are the upper two thirds.
    const Case cases[] = {
        {555, 10, full, "A5B /* 415.304Hz */"},     // band 15344, group starts at 15104
        {555, 399, full, "A5B /* 415.304Hz */"},
        {0, 0, full, "A0 /* 13.75Hz */"},
        {1000, 10, full, ""},                        // right of the last band
        {-1, -300, full, "/* 447.93ms 152.29m */"},  // above the widget: a delay
        {-30, 10, full, ""},
        {500, 400, full, "/* 223.93ms 76.13m */"},
        {0, 599, full, "/* 447.93ms 152.29m */"},
        {0, 500, right_half, "/* 223.93ms 76.13m */"},
        {999, 500, right_half, "/* 0.18ms 0.06m */"},   // index 7164: 3 samples
        {-10, 500, full, "/* 447.93ms 152.29m */"},     // left of the widget
        {-10, 500, right_half, "/* 226.12ms 76.88m */"},  // left of the window: 3618
        {1500, 500, full, "/* 0ms 0m */"},              // right of the widget
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.x) + ", " + std::to_string(c.y));
        EXPECT_EQ(text(readout_text(c.x, c.y, 1000, 600, source(c.window))), c.expected);
    }
}

// ---- the widget ------------------------------------------------------------------

class GraphViewWidget : public ::testing::Test {
protected:
    QtApp qt;
    Analysis analysis{engine_config(16000)};   // never started
    Engine &engine = analysis.engine;
    JackClient jack{analysis.exchange};         // joins no server
};

void show_and_wait(QWidget &widget)
{
    widget.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&widget));
}

TEST_F(GraphViewWidget, ToolTipAndClicksReadThePointer)
{
    OrvSpectrum panel(analysis, jack);
    show_and_wait(panel);
    OrvGraph *graph = panel.graph_view;
    const int bottom = graph->height() - 2;

    QTest::mouseMove(graph, QPoint(0, 5));
    EXPECT_EQ(text(graph->toolTip()), "A0 /* 13.75Hz */");
    QTest::mouseMove(graph, QPoint(0, bottom));
    EXPECT_EQ(text(graph->toolTip()), "/* 447.93ms 152.29m */");
    panel.handle_zoom_right();
    QTest::mouseMove(graph, QPoint(1, bottom));
    QTest::mouseMove(graph, QPoint(0, bottom));
    EXPECT_EQ(text(graph->toolTip()), "/* 223.93ms 76.13m */");

    QTest::mouseClick(graph, Qt::LeftButton, {}, QPoint(0, 5));
    QTest::mouseClick(graph, Qt::LeftButton, {}, QPoint(0, bottom));
    QTest::mouseClick(graph, Qt::MiddleButton, {}, QPoint(0, 5));
    QTest::mouseClick(graph, Qt::RightButton, {}, QPoint(0, 5));
    EXPECT_EQ(text(panel.text_log->toPlainText()),
              "A0 /* 13.75Hz */\n/* 223.93ms 76.13m */\n");
}

TEST_F(GraphViewWidget, EveryPressIsAccepted)
{
    OrvSpectrum panel(analysis, jack);
    show_and_wait(panel);
    for (Qt::MouseButton button : {Qt::LeftButton, Qt::RightButton, Qt::MiddleButton}) {
        SCOPED_TRACE(button);
        const QPointF at(3, 3);
        QMouseEvent press(QEvent::MouseButtonPress, at, panel.graph_view->mapToGlobal(at),
                          button, button, Qt::NoModifier);
        press.setAccepted(false);
        QApplication::sendEvent(panel.graph_view, &press);
        EXPECT_TRUE(press.isAccepted());
    }
}

// A picture worth looking at: a gliding tone with two overtones over a noise
// floor in the history, and a correlation with a positive peak at 10 ms and
// a negative one at 25 ms.
void fill_demo_results(Engine &engine)
{
    const std::uint64_t groups = engine.group_count();
    const std::uint64_t window = engine.window_size();
    const std::uint64_t completed = 200;
    complete_silent_jobs(engine, completed - 129);
    std::vector<double> lags(window);
    for (std::uint64_t i = 0; i < window; i++) {
        const double t = static_cast<double>(window - 1 - i);
        lags[i] = 0.3 * std::sin(t / 3.0) * std::exp(-t / 3000.0)
                  + 40 * std::exp(-std::pow((t - 160) / 6.0, 2))
                  - 25 * std::exp(-std::pow((t - 400) / 10.0, 2));
    }
    for (std::uint64_t k = completed - 129; k < completed; k++) {
        std::vector<GroupTone> row(groups, GroupTone{0.0, 0.0});
        const auto root = static_cast<std::uint64_t>(40 + 10 * std::sin(k / 9.0));
        for (std::uint64_t l = 0; l < groups; l++)
            row[l].level = 1.0 + (l * 7 + k * 3) % 5;
        row[root].level = 1000;
        row[root - 1].level = 600;
        row[root + 1].level = 500;
        row[root + 12].level = 700;
        row[root + 19].level = 450;
        // Without decay, the correlation is the newest job's lags.
        ASSERT_TRUE(complete_job(engine, row, k + 1 == completed ? lags : std::vector<double>{}));
    }
    for (int under_way = 0; under_way < 3; under_way++)
        submit_job(engine);
    ASSERT_EQ(engine.job_counts().completed, completed);
}

// How many pixels in rows y0..y1 - 1 of image satisfy is.
template <typename Test>
int count_pixels(const QImage &image, int y0, int y1, Test is)
{
    int n = 0;
    for (int y = y0; y < y1; y++)
        for (int x = 0; x < image.width(); x++)
            n += is(image.pixel(x, y)) ? 1 : 0;
    return n;
}

TEST_F(GraphViewWidget, PaintShowsBarsHistoryCorrelationAndSeparator)
{
    fill_demo_results(engine);
    OrvSpectrum panel(analysis, jack);
    show_and_wait(panel);

    const QSize sizes[] = {QSize(), QSize(1800, 1100)};
    for (int s = 0; s < 2; s++) {
        if (sizes[s].isValid()) {
            const QSize before = panel.graph_view->size();
            panel.resize(sizes[s]);
            // The layout gives the view its new size from the event loop.
            ASSERT_TRUE(QTest::qWaitFor([&] { return panel.graph_view->size() != before; }, 5000));
        }
        const QImage shot = panel.graph_view->grab().toImage().convertToFormat(QImage::Format_RGB32);
        SCOPED_TRACE(s == 0 ? "natural size" : "1800 x 1100");

        const int h = shot.height();
        const int third = h / 3 + 1;
        const auto black = [](QRgb p) { return p == qRgb(0, 0, 0); };
        const auto red = [](QRgb p) { return p == qRgb(255, 0, 0); };
        const auto dark_grey = [](QRgb p) {
            return qRed(p) < 128 && qRed(p) == qGreen(p) && qGreen(p) == qBlue(p);
        };
        EXPECT_EQ(count_pixels(shot, third - 2, third + 2, black), 4 * shot.width());
        EXPECT_GT(count_pixels(shot, h / 6, third - 2, black), 0);   // bars below the text box
        EXPECT_GT(count_pixels(shot, third + 2, 2 * third, dark_grey), 0);
        EXPECT_GT(count_pixels(shot, 2 * third, h - 50, red), 0);
        EXPECT_EQ(count_pixels(shot, 0, h, red), count_pixels(shot, 2 * third, h, red));
    }
}

}  // namespace

// A loop of 420 samples peaks at index 7167 - 420 = 6747, a dip of 1000
// samples sits at 6167: 20 dB and 10 dB. By hand, 420 samples at 16000 Hz
// are 26.25 ms and 8.925 m, 1000 are 62.5 ms and 21.25 m.
TEST_F(GraphViewWidget, StatisticsAreReadOutToAssistiveTechnology)
{
    std::vector<double> lags(engine.window_size(), 0.0);
    lags[6747] = 100.0;
    lags[6167] = -10.0;
    complete_silent_jobs(engine, 4);
    ASSERT_TRUE(complete_job(engine, {}, lags));
    for (int under_way = 0; under_way < 3; under_way++)
        submit_job(engine);

    OrvSpectrum panel(analysis, jack);
    QAccessibleInterface *graph = QAccessible::queryAccessibleInterface(panel.graph_view);
    ASSERT_NE(graph, nullptr);
    EXPECT_EQ(graph->role(), QAccessible::Chart);
    EXPECT_EQ(text(graph->text(QAccessible::Name)), "Graph");
    const std::string full =
        "MAX :: 20dB 420 samples 26.25ms 8.92m\n"
        "MIN :: 10dB 1000 samples 62.5ms 21.25m\n"
        "RANGE :: 7168 samples 0 - 447.93ms\n"
        "LAG :: 3";
    EXPECT_EQ(text(graph->text(QAccessible::Value)), full);
    EXPECT_EQ(text(graph->text(QAccessible::Description)), full);
    // It follows the zoom, as the box does.
    panel.handle_zoom_right();
    EXPECT_EQ(text(graph->text(QAccessible::Value)),
              "MAX :: 20dB 420 samples 26.25ms 8.92m\n"
              "MIN :: 10dB 1000 samples 62.5ms 21.25m\n"
              "RANGE :: 3584 samples 0 - 223.93ms\n"
              "LAG :: 3");
}
