// The main window: its page buttons, mnemonics, layout and closing, in
// process on the offscreen platform and as the real program.
#include "audio/analysis.h"
#include "audio/jack_client.h"
#include "audio/server_watch.h"
#include "siggen/generator.h"
#include "support/background_program.h"
#include "support/jack_server.h"
#include "support/qt_app.h"
#include "support/qt_print.h"
#include "support/result_rows.h"
#include "ui/config_panel.h"
#include "ui/main_window.h"
#include "ui/siggen_panel.h"
#include "ui/spectrum_panel.h"
#include "ui/tuner_panel.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <QApplication>
#include <QDoubleSpinBox>
#include <QSpinBox>
#include <QFile>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <thread>
#include <vector>

namespace {

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        window = new OrvMainWindow(analysis, generator, watch);
        window->show();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    }
    void TearDown() override { delete window; }

    struct Page {
        const char *name;
        OrvPushButton *button;
        QWidget *page;
    };
    std::vector<Page> pages() const
    {
        return {{"spectrum", &window->spectrum_button, window->spectrum_page},
                {"generator", &window->siggen_button, window->siggen_page},
                {"config", &window->config_button, window->config_page},
                {"tuner", &window->tuner_button, window->tuner_page}};
    }

    QtApp qt;
    // The program's objects, none started: the window's rows are put in by
    // hand, and the client joins no server, so its MIDI stays queued.
    Analysis analysis{engine_config(16000)};
    Generator generator{analysis.exchange};
    JackClient jack{analysis.exchange};
    ServerWatch watch{jack, "orvel-window-test", false};
    OrvMainWindow *window = nullptr;
};

}  // namespace

TEST_F(MainWindowTest, TitleIconLabelsAndTheSpectrumPageFirst)
{
    EXPECT_EQ(window->windowTitle(), "Orvel v" ORVEL_VERSION);
    EXPECT_TRUE(QFile::exists(":/orvel.png"));
    EXPECT_FALSE(window->windowIcon().pixmap(64, 64).isNull());
    EXPECT_EQ(window->spectrum_button.text(), "&SPECTRUM");
    EXPECT_EQ(window->siggen_button.text(), "SIGNAL &GENERATOR");
    EXPECT_EQ(window->config_button.text(), "&AUDIO CONFIG");
    EXPECT_EQ(window->tuner_button.text(), "&TUNER");
    EXPECT_EQ(window->page_stack.currentWidget(), window->spectrum_page);
    EXPECT_EQ(window->page_stack.indexOf(window->siggen_page), 1);
    EXPECT_EQ(window->page_stack.indexOf(window->config_page), 2);
    EXPECT_EQ(window->page_stack.indexOf(window->tuner_page), 3);
}

TEST_F(MainWindowTest, ReleasingAPageButtonShowsThePageAndFocusesIt)
{
    // In an order that also releases the button of the page already shown.
    const int order[] = {1, 1, 2, 3, 0, 3, 3, 2, 0};
    for (int i : order) {
        const Page page = pages()[i];
        QTest::mouseClick(page.button, Qt::LeftButton);
        EXPECT_EQ(window->page_stack.currentWidget(), page.page) << page.name;
        EXPECT_EQ(QApplication::focusWidget(), page.page) << page.name;
    }
}

TEST_F(MainWindowTest, HoldingAPageButtonSwitchesNothingUntilTheRelease)
{
    for (const Page &page : pages()) {
        if (page.page == window->page_stack.currentWidget())
            continue;
        const QWidget *before = window->page_stack.currentWidget();
        QTest::mousePress(page.button, Qt::LeftButton);
        EXPECT_EQ(window->page_stack.currentWidget(), before) << page.name;
        // Dragging off the pressed button releases it: that switches too.
        QTest::mouseMove(page.button, page.button->rect().bottomRight() + QPoint(30, 30));
        EXPECT_EQ(window->page_stack.currentWidget(), page.page) << page.name;
        QTest::mouseRelease(page.button, Qt::LeftButton, {}, page.button->rect().bottomRight() + QPoint(30, 30));
    }
}

TEST_F(MainWindowTest, AltMnemonicsSwitchPages)
{
    const Qt::Key keys[] = {Qt::Key_G, Qt::Key_A, Qt::Key_T, Qt::Key_S, Qt::Key_T};
    const QWidget *expected[] = {window->siggen_page, window->config_page, window->tuner_page, window->spectrum_page,
                                 window->tuner_page};
    for (int i = 0; i < 5; i++) {
        QTest::keyClick(window, keys[i], Qt::AltModifier);
        // A mnemonic animates the click: the release follows on a timer.
        EXPECT_TRUE(QTest::qWaitFor([&] { return window->page_stack.currentWidget() == expected[i]; }, 2000))
            << "Alt+" << char(keys[i]);
        EXPECT_EQ(QApplication::focusWidget(), expected[i]);
    }
}

TEST_F(MainWindowTest, ButtonsKeepTheirNaturalWidthWhenTheWindowWidens)
{
    for (int width : {window->width(), 2000}) {
        window->resize(width, window->height());
        // The layout follows from the event loop.
        EXPECT_TRUE(QTest::qWaitFor([&] { return window->page_stack.width() >= width - 40; }, 5000)) << width;
        int x = 0;
        for (const Page &page : pages()) {
            EXPECT_EQ(page.button->width(), page.button->sizeHint().width()) << page.name << " at " << width;
            EXPECT_GT(page.button->x(), x) << page.name;
            x = page.button->x() + page.button->width();
        }
        EXPECT_LT(x, width / 2 + 400);
        EXPECT_GE(window->page_stack.width(), width - 40);
    }
}

// Recording is the spectrum page's, but it must not stop while another page
// hides it: the log and the MIDI queue keep filling twice a second.
TEST_F(MainWindowTest, RecordingGoesOnWithTheGeneratorPageShown)
{
    std::vector<GroupTone> tones(analysis.engine.group_count(), GroupTone{0.0, 0.0});
    tones[15360 / BANDS_PER_GROUP] = {40.0, 15360.0};   // A5 alone
    ASSERT_TRUE(complete_job(analysis.engine, tones));

    QTest::mouseClick(button_with_text(*window->spectrum_page, "Toggle\nRecord"), Qt::LeftButton);
    QTest::mouseClick(&window->siggen_button, Qt::LeftButton);
    ASSERT_FALSE(window->spectrum_page->isVisible());

    const QString line = "A5 /* A5 440Hz R=0.000 */";
    EXPECT_TRUE(QTest::qWaitFor([&] { return window->spectrum_page->text_log->toPlainText() == line + "\n" + line; },
                                3000))
        << window->spectrum_page->text_log->toPlainText().toStdString();
    // Each row: a note on, a pause, a note off and a pause.
    EXPECT_GE(jack.midi().queued_words(), 2 * 4);
    EXPECT_FALSE(window->spectrum_page->isVisible());
}

TEST_F(MainWindowTest, ClosingLeavesTheEventLoopWithZero)
{
    QTimer::singleShot(0, window, [this] { window->close(); });
    EXPECT_EQ(qt.app.exec(), 0);
    EXPECT_FALSE(window->isVisible());
}

// Counts the close events a window receives.
class CloseCounter : public QObject {
public:
    int closes = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Close)
            closes++;
        return false;
    }
};

// Ctrl+Q wherever the focus is, even in the log, where keys are typed: the
// window gets its close event, as from the close button, and hides.
TEST_F(MainWindowTest, CtrlQClosesTheWindowFromAnyFocus)
{
    CloseCounter counter;
    window->installEventFilter(&counter);
    const struct {
        const char *name;
        QWidget *focus;
    } cases[] = {
        {"page button", &window->spectrum_button},
        {"log", window->spectrum_page->text_log},
        {"generator scroll bar", window->siggen_page->band_pass_box->scroll_bar},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        window->show();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window));
        window->page_stack.setCurrentWidget(c.focus == window->siggen_page->band_pass_box->scroll_bar
                                                ? static_cast<QWidget *>(window->siggen_page)
                                                : window->spectrum_page);
        c.focus->setFocus(Qt::OtherFocusReason);
        ASSERT_EQ(QApplication::focusWidget(), c.focus);
        const int before = counter.closes;
        QTest::keyClick(c.focus, Qt::Key_Q, Qt::ControlModifier);
        EXPECT_EQ(counter.closes, before + 1);
        EXPECT_FALSE(window->isVisible());
    }

    // In the running event loop it ends the loop with 0, as closing does.
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    QTimer::singleShot(0, window, [this] { QTest::keyClick(window, Qt::Key_Q, Qt::ControlModifier); });
    QTimer::singleShot(10000, window, [] { QCoreApplication::exit(1); });   // rather than hang
    EXPECT_EQ(qt.app.exec(), 0);
    EXPECT_EQ(counter.closes, 4);
}

// Without a server the "NO AUDIO" box comes up before the window; SIGTERM
// closes both, as the user would, and the program ends with 0. Start-up says
// there is no server only once its signal handler is in place.
TEST(MainWindowProgram, ClosesWithZeroWithoutAServer)
{
    use_absent_server();
    BackgroundProgram orvel(ORVEL_BINARY, {});
    ASSERT_TRUE(orvel.says("No JACK server")) << orvel.err();
    ASSERT_EQ(orvel.exit_status(std::chrono::milliseconds(0)), -1) << "Orvel ended on its own";
    EXPECT_EQ(orvel.close(), 0) << orvel.err();
}

// The tuner reads the results only while its page is in front, and its
// reference is the spectrum page's fine tuning.
TEST_F(MainWindowTest, TunerReadsOnlyWhileShownAndSharesTheReference)
{
    EXPECT_FALSE(window->tuner_page->tick->isActive());
    QTest::mouseClick(&window->tuner_button, Qt::LeftButton);
    EXPECT_TRUE(window->tuner_page->tick->isActive());
    QTest::mouseClick(&window->spectrum_button, Qt::LeftButton);
    EXPECT_FALSE(window->tuner_page->tick->isActive());

    window->tuner_page->reference_box->setValue(442.0);
    EXPECT_EQ(window->spectrum_page->tuning_box->value(), 78);
    window->spectrum_page->tuning_box->setValue(-123);
    EXPECT_DOUBLE_EQ(window->tuner_page->reference_box->value(), 436.9);
}
