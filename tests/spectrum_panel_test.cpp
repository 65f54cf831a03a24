// The spectrum page's controls, driven with real mouse events on the
// offscreen platform against a running engine without sound.
#include "audio/analysis.h"
#include "audio/jack_client.h"
#include "support/accessible_action.h"
#include "support/result_rows.h"
#include "support/qt_app.h"
#include "support/qt_print.h"
#include "ui/band_view.h"
#include "ui/button_map.h"
#include "ui/graph_view.h"
#include "ui/push_button.h"
#include "ui/spectrum_panel.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QGridLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <vector>

void PrintTo(const ZoomRange &z, std::ostream *os)
{
    *os << "{" << z.first << ", " << z.last << "}";
}

namespace {

class SpectrumPanelTest : public ::testing::Test {
protected:
    QtApp qt;
    Analysis analysis{engine_config(16000)};   // window 7168; never started
    Engine &engine = analysis.engine;
    JackClient jack{analysis.exchange};         // joins no server
};

// The command button showing text ("Zoom\nLeft" ...).
QPushButton *command(OrvSpectrum &panel, const QString &text)
{
    QPushButton *button = button_with_text(panel, text);
    if (button == nullptr)
        ADD_FAILURE() << "no button " << text.toStdString();
    return button;
}

void press(OrvSpectrum &panel, const char *text, int times = 1)
{
    QPushButton *button = command(panel, text);
    for (int i = 0; i < times && button; i++)
        QTest::mouseClick(button, Qt::LeftButton);
}

}  // namespace

TEST(ZoomTest, EachKindHalvesTheWindowAndNeverEmptiesIt)
{
    struct Case {
        ZoomRange from;
        ZoomKind kind;
        ZoomRange to;
    };
    const Case cases[] = {
        {{0, 7167}, ZoomKind::left, {0, 3583}},
        {{0, 7167}, ZoomKind::right, {3584, 7167}},
        {{0, 7167}, ZoomKind::middle, {1792, 5375}},
        // n = 3: the middle index belongs to both halves, the middle half is all.
        {{10, 12}, ZoomKind::left, {10, 11}},
        {{10, 12}, ZoomKind::right, {11, 12}},
        {{10, 12}, ZoomKind::middle, {10, 12}},
        {{5, 5}, ZoomKind::left, {5, 5}},
        {{5, 5}, ZoomKind::right, {5, 5}},
        {{5, 6}, ZoomKind::middle, {5, 6}},
    };
    for (const Case &c : cases) {
        ZoomRange zoom[ZOOM_DEPTH] = {c.from};
        std::uint8_t level = 0;
        zoom_in(zoom, level, c.kind);
        EXPECT_EQ(level, 1);
        EXPECT_EQ(zoom[1], c.to) << "from {" << c.from.first << ", " << c.from.last << "}";
        EXPECT_EQ(zoom[0], c.from);
    }
}

TEST_F(SpectrumPanelTest, StartsOnTheFullWindowAndZoomsThroughTheButtons)
{
    OrvSpectrum panel(analysis, jack);
    EXPECT_EQ(panel.zoom_level, 0);
    EXPECT_EQ(panel.current_zoom(), (ZoomRange{0, 7167}));

    // Zoom Out on a fresh panel changes nothing.
    press(panel, "Zoom\nOut");
    EXPECT_EQ(panel.zoom_level, 0);
    EXPECT_EQ(panel.current_zoom(), (ZoomRange{0, 7167}));

    press(panel, "Zoom\nRight");
    EXPECT_EQ(panel.current_zoom(), (ZoomRange{3584, 7167}));
    press(panel, "Zoom\nLeft");
    EXPECT_EQ(panel.current_zoom(), (ZoomRange{3584, 5375}));
    press(panel, "Zoom\nMiddle");
    EXPECT_EQ(panel.current_zoom(), (ZoomRange{4032, 4927}));
    EXPECT_EQ(panel.zoom_level, 3);
    press(panel, "Zoom\nOut", 2);
    EXPECT_EQ(panel.current_zoom(), (ZoomRange{3584, 7167}));
    EXPECT_EQ(panel.zoom_level, 1);
}

TEST_F(SpectrumPanelTest, EighthZoomDropsTheFullRangeUntilZoomOutAtTheBottom)
{
    OrvSpectrum panel(analysis, jack);
    press(panel, "Zoom\nMiddle", 8);
    EXPECT_EQ(panel.zoom_level, 7);
    EXPECT_EQ(panel.zoom[0], (ZoomRange{1792, 5375}));   // the first zoomed window

    press(panel, "Zoom\nOut", 7);
    EXPECT_EQ(panel.zoom_level, 0);
    EXPECT_EQ(panel.current_zoom(), (ZoomRange{1792, 5375}));

    press(panel, "Zoom\nOut");
    EXPECT_EQ(panel.zoom_level, 0);
    EXPECT_EQ(panel.current_zoom(), (ZoomRange{0, 7167}));
    press(panel, "Zoom\nOut");
    EXPECT_EQ(panel.current_zoom(), (ZoomRange{0, 7167}));
}

TEST_F(SpectrumPanelTest, DecayChoicesSetTheFactorDownToExactlyZero)
{
    OrvSpectrum panel(analysis, jack);
    const double expected[] = {0.0, 0.875, 0.9375, 0.96875, 0.984375, 0.9921875, 0.99609375};
    // From the last choice back to "OFF", so every choice is a change.
    for (int k = 6; k >= 0; k--) {
        QTest::mouseClick(panel.decay_map->buttons[k], Qt::LeftButton);
        // From zero, ones, then zeros folded in after them: what is left is the factor.
        engine.reset_history_and_correlation();
        ASSERT_TRUE(complete_job(engine, {}, std::vector<double>(engine.window_size(), 1.0)));
        ASSERT_TRUE(complete_job(engine));
        double factor = 0.0;
        engine.read_results([&](const ResultView &view) { factor = view.correlation_sum[0]; });
        EXPECT_EQ(factor, expected[k]) << panel.decay_map->buttons[k]->text().toStdString();
    }
    EXPECT_EQ(panel.decay_map->title(), "Decay selection");
    EXPECT_EQ(panel.decay_map->buttons[0]->text(), "OFF");
    EXPECT_EQ(panel.decay_map->buttons[6]->text(), "1/256");
}

TEST_F(SpectrumPanelTest, FineTuningAndSensitivityFollowTheirControls)
{
    OrvSpectrum panel(analysis, jack);
    EXPECT_EQ(panel.tuning_box->prefix(), "Fine tuning +/-999: ");
    // As far as the tuner page's reference reaches: A4 390 to 490 Hz.
    EXPECT_EQ(panel.tuning_box->minimum(), -2088);
    EXPECT_EQ(panel.tuning_box->maximum(), 1863);

    panel.tuning_box->setFocus();
    panel.tuning_box->selectAll();
    QTest::keyClicks(panel.tuning_box, "-999");
    EXPECT_EQ(panel.tuning_box->value(), -999);
    EXPECT_EQ(engine.tuning_factor(), std::pow(2.0, -0.08325));

    EXPECT_EQ(panel.sensitivity_slider->maximum(), 31);
    panel.sensitivity_slider->setFocus();
    QTest::keyClick(panel.sensitivity_slider, Qt::Key_End);
    EXPECT_EQ(engine.current_sensitivity(), 31);
    QTest::keyClick(panel.sensitivity_slider, Qt::Key_Left);
    EXPECT_EQ(engine.current_sensitivity(), 30);
}

// What the eye and a screen reader see of a toggle: raised and checked while
// on, flat and unchecked while off, a check box either way.
void expect_toggle_shows(QPushButton *button, bool on)
{
    QAccessibleInterface *exposed = QAccessible::queryAccessibleInterface(button);
    ASSERT_NE(exposed, nullptr);
    EXPECT_EQ(exposed->role(), QAccessible::CheckBox);
    EXPECT_TRUE(exposed->state().checkable);
    EXPECT_EQ(bool(exposed->state().checked), on);
    EXPECT_EQ(button->isFlat(), !on);
}

TEST_F(SpectrumPanelTest, FreezeAndRecordToggleBackAndShowTheirState)
{
    OrvSpectrum panel(analysis, jack);
    struct Toggle {
        const char *text;
        bool (Engine::*on)() const;
        QPushButton *button;
    };
    for (const Toggle &t : {Toggle{"Toggle\nFreeze", &Engine::analysis_frozen, panel.freeze_button},
                            Toggle{"Toggle\nRecord", &Engine::recording_on, panel.record_button}}) {
        SCOPED_TRACE(t.text);
        ASSERT_EQ(command(panel, t.text), t.button);
        expect_toggle_shows(t.button, false);
        press(panel, t.text);
        EXPECT_TRUE((engine.*t.on)());
        expect_toggle_shows(t.button, true);
        // A panel built while the engine has it on shows it on.
        OrvSpectrum second(analysis, jack);
        expect_toggle_shows(t.text[7] == 'F' ? second.freeze_button : second.record_button, true);
        press(panel, t.text);
        EXPECT_FALSE((engine.*t.on)());
        expect_toggle_shows(t.button, false);
    }
}

// A screen reader's action on a toggle (Toggle, Press) switches the engine
// as a click does, and the toggle then shows the engine's state.
TEST_F(SpectrumPanelTest, AccessibleActionsToggleTheEngine)
{
    OrvSpectrum panel(analysis, jack);
    panel.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel));
    struct Toggle {
        const char *text;
        bool (Engine::*on)() const;
        QPushButton *button;
    };
    for (const Toggle &t : {Toggle{"Toggle\nFreeze", &Engine::analysis_frozen, panel.freeze_button},
                            Toggle{"Toggle\nRecord", &Engine::recording_on, panel.record_button}}) {
        const QStringList names = click_actions(t.button);
        EXPECT_TRUE(names.contains(QAccessibleActionInterface::toggleAction())) << names.join(", ").toStdString();
        for (const QString &name : names) {
            // On, then off again.
            for (bool expected : {true, false}) {
                SCOPED_TRACE(testing::Message() << t.text << ", " << name.toStdString() << " to " << expected);
                ASSERT_TRUE(do_accessible_action(t.button, name));
                EXPECT_EQ((engine.*t.on)(), expected);
                expect_toggle_shows(t.button, expected);
            }
        }
    }
}

TEST_F(SpectrumPanelTest, TabReachesEveryButtonAndFramesOnlyThatOne)
{
    OrvSpectrum panel(analysis, jack);
    panel.show();
    panel.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&panel));
    const QList<OrvPushButton *> buttons = panel.findChildren<OrvPushButton *>();
    ASSERT_EQ(buttons.size(), 14);   // seven decay choices, seven commands
    const QRgb highlight = panel.palette().color(QPalette::Highlight).rgb();
    const auto framed = [&](QPushButton *button) {
        return button->grab().toImage().pixel(button->width() / 2, 0) == highlight;
    };
    // The start-up focus draws no frame: the window looks as before.
    ASSERT_TRUE(buttons.contains(QApplication::focusWidget()));
    EXPECT_FALSE(framed(static_cast<QPushButton *>(QApplication::focusWidget())));

    QSet<QWidget *> reached;
    for (int i = 0; i < 40; i++) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget *focus = QApplication::focusWidget();
        reached.insert(focus);
        if (auto *button = qobject_cast<OrvPushButton *>(focus)) {
            SCOPED_TRACE(button->text().toStdString());
            EXPECT_TRUE(framed(button));
            for (OrvPushButton *other : buttons) {
                if (other != button) {
                    EXPECT_FALSE(framed(other)) << other->text().toStdString();
                }
            }
        }
    }
    for (OrvPushButton *button : buttons)
        EXPECT_TRUE(reached.contains(button)) << button->text().toStdString();
    EXPECT_TRUE(reached.contains(panel.sensitivity_slider));
    EXPECT_TRUE(reached.contains(panel.text_log));   // and Tab leaves it again
}

TEST_F(SpectrumPanelTest, SliderLogAndNoteReadOutHaveNames)
{
    OrvSpectrum panel(analysis, jack);
    panel.handle_tick();
    const std::pair<QWidget *, const char *> named[] = {
        {panel.sensitivity_slider, "Sensitivity"},
        {panel.text_log, "Log"},
        {panel.note_label, "-"},   // nothing measured yet
    };
    for (const auto &[widget, name] : named) {
        QAccessibleInterface *exposed = QAccessible::queryAccessibleInterface(widget);
        ASSERT_NE(exposed, nullptr);
        EXPECT_EQ(exposed->text(QAccessible::Name), name);
    }
}

TEST_F(SpectrumPanelTest, ResetClearsCorrelationAndZoomButKeepsRows)
{
    OrvSpectrum panel(analysis, jack);
    press(panel, "Zoom\nLeft");
    press(panel, "Zoom\nRight");
    const std::uint64_t window = engine.window_size();
    std::vector<double> lags(window);
    for (std::uint64_t i = 0; i < window; i++)
        lags[i] = 1.0 + static_cast<double>(i);
    std::vector<GroupTone> tones(engine.group_count(), GroupTone{0.0, 0.0});
    tones[3].level = 7.0;   // a peak of pitch class 3
    ASSERT_TRUE(complete_job(engine, tones, lags));
    // A block into input_history; its job stays under way.
    std::vector<double> block(BLOCK_LEN, 0.0);
    block[5] = 0.25;
    ASSERT_TRUE(engine.accept_block(block.data(), block.data()));
    const auto history_is_silent = [&] {
        bool silent = true;
        engine.read_results([&](const ResultView &view) {
            silent = std::all_of(view.input_history, view.input_history + view.input_history_length,
                                 [](double v) { return v == 0.0; });
        });
        return silent;
    };
    ASSERT_FALSE(history_is_silent());

    press(panel, "Reset");
    EXPECT_EQ(panel.zoom_level, 0);
    EXPECT_EQ(panel.current_zoom(), (ZoomRange{0, 7167}));
    EXPECT_EQ(panel.zoom[1], (ZoomRange{0, 3583}));   // deeper entries are left as they were
    std::vector<double> sum;
    double tone = 0.0;
    double peak = 0.0;
    engine.read_results([&](const ResultView &view) {
        sum.assign(view.correlation_sum, view.correlation_sum + view.window_size);
        tone = view.tone_row(0)[3].level;
        peak = view.pitch_classes(0)[3].level;
    });
    EXPECT_EQ(sum, std::vector<double>(window, 0.0));
    EXPECT_TRUE(history_is_silent());
    EXPECT_EQ(tone, 7.0);
    EXPECT_EQ(peak, 7.0);
}

TEST_F(SpectrumPanelTest, LayoutTitleAndIcon)
{
    OrvSpectrum panel(analysis, jack);
    EXPECT_EQ(panel.windowTitle(), "Orvel v" ORVEL_VERSION);
    EXPECT_FALSE(panel.windowIcon().isNull());
    int row, column, row_span, column_span;
    struct Cell {
        QWidget *widget;
        QGridLayout *grid;
        int row, column, row_span, column_span;
    };
    const Cell cells[] = {
        {panel.decay_map, panel.main_grid, 0, 0, 1, 7},
        {panel.side_panel, panel.main_grid, 0, 7, 4, 1},
        {panel.graph_view, panel.main_grid, 2, 0, 2, 7},
        {panel.note_label, panel.side_grid, 1, 0, 1, 1},
        {panel.fundamental_label, panel.side_grid, 2, 0, 1, 1},
        {panel.tuning_box, panel.side_grid, 3, 0, 1, 1},
        {panel.sensitivity_slider, panel.side_grid, 4, 0, 1, 1},
        {panel.band_view, panel.side_grid, 5, 0, 1, 1},
        {panel.text_log, panel.side_grid, 6, 0, 1, 1},
    };
    for (const Cell &c : cells) {
        const int index = c.grid->indexOf(c.widget);
        ASSERT_GE(index, 0);
        c.grid->getItemPosition(index, &row, &column, &row_span, &column_span);
        EXPECT_EQ(std::vector<int>({row, column, row_span, column_span}),
                  std::vector<int>({c.row, c.column, c.row_span, c.column_span}));
    }
    const char *texts[] = {"Reset", "Toggle\nFreeze", "Toggle\nRecord", "Zoom\nLeft",
                           "Zoom\nMiddle", "Zoom\nRight", "Zoom\nOut"};
    for (int c = 0; c < 7; c++) {
        QPushButton *button = command(panel, texts[c]);
        ASSERT_NE(button, nullptr);
        panel.main_grid->getItemPosition(panel.main_grid->indexOf(button), &row, &column, &row_span,
                                         &column_span);
        EXPECT_EQ(row, 1);
        EXPECT_EQ(column, c);
    }

}
