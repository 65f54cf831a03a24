// The generator page at 16000 Hz, driven with real key and mouse events on
// the offscreen platform; what it writes is read back from the engine.
#include "ui/siggen_panel.h"

#include "audio/analysis.h"
#include "audio/block_assembler.h"
#include "siggen/filter_design.h"
#include "siggen/generator.h"
#include "support/accessible_action.h"
#include "support/qt_app.h"
#include "ui/button_map.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QGridLayout>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <array>
#include <memory>
#include <vector>

namespace {

constexpr double SENTINEL = 12345.0;  // no design yields this level, step or tap

class SigGenPanelTest : public ::testing::Test {
protected:
    // Overwrite the generator parameters, so that a design that leaves any
    // of them out shows.
    void spoil_generator_parameters()
    {
        std::vector<double> kernel(BP_KERNEL_LEN, SENTINEL);
        generator.set_sound(SENTINEL, SENTINEL, kernel.data());
    }

    // The generator holds exactly the design for these slider values.
    void expect_published(int centre, int width, int level)
    {
        SCOPED_TRACE(testing::Message() << "centre " << centre << ", width " << width
                                        << ", level " << level);
        const auto design =
            std::make_unique<FilterDesign>(design_filter(centre, width, level, engine.sample_rate()));
        const auto held = std::make_unique<GeneratorSnapshot>(generator.snapshot());
        EXPECT_EQ(held->level, design->level);
        EXPECT_EQ(held->phase_step, design->phase_step);
        EXPECT_TRUE(std::equal(std::begin(held->kernel), std::end(held->kernel), design->kernel));
    }

    QtApp qt;
    Analysis analysis{engine_config(16000)};   // never started
    Engine &engine = analysis.engine;
    Generator generator{analysis.exchange};     // never started: only its parameters count
};

void show_and_wait(QWidget &widget)
{
    widget.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&widget));
}

}  // namespace

TEST_F(SigGenPanelTest, SlidersStartAtTheirDefaultsAt16000Hz)
{
    OrvSigGen page(engine, generator);

    const struct {
        QGroupBox *box;
        QScrollBar *scroll_bar;
        const char *title;
        int minimum, maximum, value;
    } boxes[] = {
        {page.band_pass_box, page.band_pass_box->scroll_bar, "Center frequency :: 4000 Hz", 1, 8000, 4000},
        {page.band_width_box, page.band_width_box->scroll_bar, "Band width :: 20 Hz", 1, 16000, 20},
        {page.level_box, page.level_box->scroll_bar, "Signal level :: -24.1dB", -256, 256, -64},
    };
    for (const auto &b : boxes) {
        SCOPED_TRACE(b.title);
        EXPECT_EQ(b.box->title(), b.title);
        EXPECT_EQ(b.scroll_bar->minimum(), b.minimum);
        EXPECT_EQ(b.scroll_bar->maximum(), b.maximum);
        EXPECT_EQ(b.scroll_bar->value(), b.value);
        EXPECT_EQ(b.scroll_bar->singleStep(), 1);
        EXPECT_EQ(b.scroll_bar->orientation(), Qt::Horizontal);
        // The scroll bar alone fills the box's grid.
        ASSERT_EQ(b.box->layout()->count(), 1);
        EXPECT_EQ(b.box->layout()->itemAt(0)->widget(), b.scroll_bar);
    }
}

// Rounded down, not to nearest (1 would give 0.4) nor toward zero (-1 would
// give -0.3).
TEST_F(SigGenPanelTest, LevelTitleShowsDecibelsRoundedDown)
{
    OrvSigGen page(engine, generator);
    const struct {
        int level;
        const char *shown;
    } cases[] = {
        {0, "0"}, {256, "96.3"}, {-256, "-96.4"}, {1, "0.3"}, {-1, "-0.4"}, {-64, "-24.1"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.level);
        EXPECT_EQ(QString::number(level_decibels(c.level)), c.shown);
        page.level_box->scroll_bar->setValue(c.level);
        EXPECT_EQ(page.level_box->title(), QString("Signal level :: %1dB").arg(c.shown));
    }
}

TEST_F(SigGenPanelTest, ConstructionPublishesTheDesignAndEmitsNothing)
{
    spoil_generator_parameters();
    OrvSigGen page(engine, generator);
    expect_published(4000, 20, -64);

    // Nothing either once the page is shown and its events have run.
    QSignalSpy band_pass(page.band_pass_box, &OrvBandPassBox::valueChanged);
    QSignalSpy band_width(page.band_width_box, &OrvBandWidthBox::valueChanged);
    QSignalSpy level(page.level_box, &OrvNoiselevelBox::valueChanged);
    spoil_generator_parameters();
    show_and_wait(page);
    QCoreApplication::processEvents();
    EXPECT_EQ(band_pass.count(), 0);
    EXPECT_EQ(band_width.count(), 0);
    EXPECT_EQ(level.count(), 0);
    EXPECT_EQ(generator.snapshot().level, SENTINEL);
}

// Each action moves one slider as the user would; the other two values must
// still go into the design, and all three parameters must be written anew.
TEST_F(SigGenPanelTest, MovingAnySliderRepublishesAllThreeParameters)
{
    OrvSigGen page(engine, generator);
    show_and_wait(page);

    struct Move {
        QGroupBox *box;
        QScrollBar *scroll_bar;
        QAbstractSlider::SliderAction action;
        int centre, width, level;  // slider values after the action
        const char *title;
    };
    using A = QAbstractSlider;
    const Move moves[] = {
        {page.band_pass_box, page.band_pass_box->scroll_bar, A::SliderSingleStepAdd,
         4001, 20, -64, "Center frequency :: 4001 Hz"},
        {page.band_width_box, page.band_width_box->scroll_bar, A::SliderPageStepAdd,
         4001, 30, -64, "Band width :: 30 Hz"},
        {page.level_box, page.level_box->scroll_bar, A::SliderToMaximum,
         4001, 30, 256, "Signal level :: 96.3dB"},
        {page.band_pass_box, page.band_pass_box->scroll_bar, A::SliderToMinimum,
         1, 30, 256, "Center frequency :: 1 Hz"},
    };
    for (const Move &m : moves) {
        SCOPED_TRACE(m.title);
        QSignalSpy changed(m.box, SIGNAL(valueChanged(int)));
        spoil_generator_parameters();
        m.scroll_bar->triggerAction(m.action);

        EXPECT_EQ(m.box->title(), m.title);
        ASSERT_EQ(changed.count(), 1);
        EXPECT_EQ(changed.at(0).at(0).toInt(), m.scroll_bar->value());
        expect_published(m.centre, m.width, m.level);
    }
}

// Each map sets its own selection (the engine's channels, the generator's
// sources) to the index released; a miswired map would move another's
// selection or leave its own.
TEST_F(SigGenPanelTest, ReleasingAMapButtonWritesThatMapsSelection)
{
    OrvSigGen page(engine, generator);
    show_and_wait(page);

    OrvButtonMap *maps[] = {page.main_input_map, page.corr_input_map, page.output_0_map,
                            page.output_1_map};
    const struct {
        int map;
        int button;
    } clicks[] = {
        {0, CHANNEL_OUTPUT_0}, {1, CHANNEL_INPUT_SUM}, {2, SOURCE_COSINE}, {3, SOURCE_WHITE_NOISE},
        {0, CHANNEL_INPUT_1}, {2, SOURCE_SILENCE},
    };
    std::array<int, 4> expected = {0, 0, 0, 0};
    for (const auto &c : clicks) {
        SCOPED_TRACE(testing::Message() << "map " << c.map << ", button " << c.button);
        QTest::mouseClick(maps[c.map]->buttons[c.button], Qt::LeftButton);
        expected[c.map] = c.button;

        const auto held = std::make_unique<GeneratorSnapshot>(generator.snapshot());
        const std::array<int, 4> selected = {engine.main_channel(), engine.corr_channel(), held->source_0,
                                             held->source_1};
        EXPECT_EQ(selected, expected);
    }
}

// A screen reader's action on a choice (Toggle, Press) plays it, as a click
// does, and leaves that one choice checked.
TEST_F(SigGenPanelTest, AccessibleActionsChooseWhatTheOutputPlays)
{
    OrvSigGen page(engine, generator);
    show_and_wait(page);
    OrvButtonMap *map = page.output_0_map;
    ASSERT_EQ(map->title(), "Output for channel 0");
    ASSERT_EQ(map->buttons[SOURCE_WHITE_NOISE]->text(), "WHITE NOISE");

    const QStringList names = click_actions(map->buttons[SOURCE_WHITE_NOISE]);
    EXPECT_TRUE(names.contains(QAccessibleActionInterface::toggleAction())) << names.join(", ").toStdString();
    for (const QString &name : names) {
        for (int source : {SOURCE_WHITE_NOISE, SOURCE_SILENCE}) {
            SCOPED_TRACE(testing::Message() << name.toStdString() << " on " << map->buttons[source]->text().toStdString());
            ASSERT_TRUE(do_accessible_action(map->buttons[source], name));
            EXPECT_EQ(generator.snapshot().source_0, source);
            for (int b = 0; b < map->button_count; b++)
                EXPECT_EQ(map->buttons[b]->isChecked(), b == source) << b;
        }
    }
}

TEST_F(SigGenPanelTest, MapsLeftAndSliderBoxesRight)
{
    OrvSigGen page(engine, generator);
    ASSERT_EQ(page.layout(), page.page_grid);

    const struct {
        QWidget *widget;
        const char *title;
        int row, column;
    } cells[] = {
        {page.main_input_map, "Main input channel", 0, 0},
        {page.corr_input_map, "Correlation input channel", 1, 0},
        {page.output_0_map, "Output for channel 0", 2, 0},
        {page.output_1_map, "Output for channel 1", 3, 0},
        {page.band_pass_box, "Center frequency :: 4000 Hz", 0, 1},
        {page.band_width_box, "Band width :: 20 Hz", 1, 1},
        {page.level_box, "Signal level :: -24.1dB", 2, 1},
    };
    ASSERT_EQ(page.page_grid->count(), 7);
    for (const auto &c : cells) {
        SCOPED_TRACE(c.title);
        EXPECT_EQ(static_cast<QGroupBox *>(c.widget)->title(), c.title);
        int row, column, rows, columns;
        page.page_grid->getItemPosition(page.page_grid->indexOf(c.widget), &row, &column, &rows,
                                        &columns);
        EXPECT_EQ(row, c.row);
        EXPECT_EQ(column, c.column);
        EXPECT_EQ(rows, 1);
        EXPECT_EQ(columns, 1);
    }
    EXPECT_EQ(page.output_0_map->buttons[SOURCE_COSINE]->text(), "COSINUS");
    EXPECT_EQ(page.corr_input_map->buttons[CHANNEL_OUTPUT_SUM]->text(), "OUTPUT 0+1");
    EXPECT_EQ(page.page_grid->rowStretch(4), 1);
    EXPECT_EQ(page.page_grid->columnStretch(0), 1);
    EXPECT_EQ(page.page_grid->columnStretch(1), 1);
}

// From the first map button, Tab goes through all 24 choices and on to the
// three scroll bars, each framed while it has the focus; there the arrow,
// page, Home and End keys move it, and the design follows.
TEST_F(SigGenPanelTest, TabReachesTheScrollBarsAndKeysMoveThem)
{
    OrvSigGen page(engine, generator);
    show_and_wait(page);
    page.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&page));
    page.main_input_map->buttons[0]->setFocus(Qt::OtherFocusReason);

    QScrollBar *bars[] = {page.band_pass_box->scroll_bar, page.band_width_box->scroll_bar,
                          page.level_box->scroll_bar};
    const QRgb highlight = page.palette().color(QPalette::Highlight).rgb();
    std::vector<QWidget *> order;
    for (int i = 0; i < 27; i++) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        order.push_back(QApplication::focusWidget());
    }
    for (int b = 0; b < 3; b++) {
        SCOPED_TRACE(b);
        EXPECT_EQ(order[23 + b], bars[b]);
        const QImage shot = bars[b]->grab().toImage();
        EXPECT_NE(shot.pixel(shot.width() / 2, 0), highlight);   // no longer focused
    }
    EXPECT_EQ(order[26], page.main_input_map->buttons[0]);   // round again

    QScrollBar *centre = bars[0];
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    ASSERT_EQ(QApplication::focusWidget(), centre);
    const QImage framed = centre->grab().toImage();
    EXPECT_EQ(framed.pixel(framed.width() / 2, 0), highlight);
    EXPECT_EQ(framed.pixel(framed.width() / 2, framed.height() - 1), highlight);

    const struct {
        Qt::Key key;
        int value;
    } keys[] = {
        {Qt::Key_Right, 4001}, {Qt::Key_PageUp, 4011}, {Qt::Key_Left, 4010},
        {Qt::Key_PageDown, 4000}, {Qt::Key_End, 8000}, {Qt::Key_Home, 1},
    };
    for (const auto &k : keys) {
        SCOPED_TRACE(k.value);
        spoil_generator_parameters();
        QTest::keyClick(centre, k.key);
        EXPECT_EQ(centre->value(), k.value);
        EXPECT_EQ(page.band_pass_box->title(), OrvBandPassBox::title_text(k.value));
        expect_published(k.value, 20, -64);
    }
}
