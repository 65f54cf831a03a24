// The audio-device interface's JACK answers, and the configuration page
// against them and against a stand-in back-end that applies every request.
#include "audio/audio_device.h"
#include "support/qt_app.h"
#include "ui/config_panel.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QMetaMethod>
#include <QTest>

#include <string>
#include <tuple>
#include <vector>

namespace {

// ---- stand-in back-end: applies and records every request ----

constexpr int MAX_FAKE_DEVICES = 4;

// One channel mapping request: direction ('i' or 'o'), which, channel.
using ChannelRequest = std::tuple<char, int, int>;

struct FakeDevices {
    int count = 2;
    QString names[MAX_FAKE_DEVICES] = {"Card A", "Card B", "Card C", "Card D"};
    bool can_record[MAX_FAKE_DEVICES] = {true, true, true, true};
    bool can_play[MAX_FAKE_DEVICES] = {true, true, true, true};
    int input_device = 0;
    int output_device = 0;
    int input_channels = 4;
    int output_channels = 6;
    int input_map[2] = {0, 1};
    int output_map[2] = {0, 1};
    bool apply_channels = true;     // false: mapping requests change nothing
    int buffer = -1;                // negative: system default
    QString input_label = "Card A in";
    QString output_label = "Card A out";

    int inits = 0;
    std::vector<int> input_selections;       // requests with an index >= 0
    std::vector<int> output_selections;
    std::vector<ChannelRequest> channel_requests;  // requests with a channel >= 0
    std::vector<int> buffer_requests;        // requests > 0
};

FakeDevices fake;

int fake_channel(char direction, int *map, int which, int channel)
{
    if (channel >= 0) {
        fake.channel_requests.emplace_back(direction, which, channel);
        if (fake.apply_channels)
            map[which] = channel;
    }
    return map[which];
}

const AudioDeviceBackend fake_backend = {
    [] { fake.inits++; },
    [] { return fake.count; },
    [](int i) { return fake.names[i]; },
    [](int i) { return fake.can_record[i]; },
    [](int i) { return fake.can_play[i]; },
    [](int i) {
        if (i >= 0) {
            fake.input_selections.push_back(i);
            fake.input_device = i;
        }
        return fake.input_device;
    },
    [](int i) {
        if (i >= 0) {
            fake.output_selections.push_back(i);
            fake.output_device = i;
        }
        return fake.output_device;
    },
    [] { return fake.input_channels; },
    [] { return fake.output_channels; },
    [](int which, int ch) { return fake_channel('i', fake.input_map, which, ch); },
    [](int which, int ch) { return fake_channel('o', fake.output_map, which, ch); },
    [] { return fake.input_label; },
    [] { return fake.output_label; },
    [](int samples) {
        if (samples > 0) {
            fake.buffer_requests.push_back(samples);
            fake.buffer = samples;
        }
        return fake.buffer;
    },
};

class ConfigPanelTest : public ::testing::Test {
protected:
    void TearDown() override { set_audio_device_backend(nullptr); }

    void use_fake() { set_audio_device_backend(&fake_backend); }

    QtApp qt;
};

void show_and_wait(QWidget &widget)
{
    widget.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&widget));
}

void press(QPushButton &button)
{
    QTest::mouseClick(&button, Qt::LeftButton);
}

bool usable(const QListWidgetItem *item)
{
    return (item->flags() & Qt::ItemIsEnabled) && (item->flags() & Qt::ItemIsSelectable);
}

std::vector<QString> entries(const QListWidget &list)
{
    std::vector<QString> names;
    for (int i = 0; i < list.count(); i++)
        names.push_back(list.item(i)->text());
    return names;
}

// ---- the JACK answers ----

TEST(AudioDeviceTest, JackAnswersAreFixedWhateverIsAsked)
{
    struct Case {
        const char *call;
        int answer;
        int expected;
    };
    const Case cases[] = {
        {"device_count()", audio_device_count(), 1},
        {"select_input_device(-1)", audio_select_input_device(-1), 0},
        {"select_input_device(0)", audio_select_input_device(0), 0},
        {"select_input_device(3)", audio_select_input_device(3), 0},
        {"select_output_device(-1)", audio_select_output_device(-1), 0},
        {"select_output_device(2)", audio_select_output_device(2), 0},
        {"input_channel_count()", audio_input_channel_count(), 2},
        {"output_channel_count()", audio_output_channel_count(), 2},
        {"input_channel(0, -1)", audio_input_channel(0, -1), 0},
        {"input_channel(0, 1)", audio_input_channel(0, 1), 0},
        {"input_channel(1, -1)", audio_input_channel(1, -1), 1},
        {"input_channel(1, 0)", audio_input_channel(1, 0), 1},
        {"output_channel(0, 1)", audio_output_channel(0, 1), 0},
        {"output_channel(1, -1)", audio_output_channel(1, -1), 1},
        {"output_channel(1, 0)", audio_output_channel(1, 0), 1},
        {"set_buffer_samples(-1)", audio_set_buffer_samples(-1), -1},
        {"set_buffer_samples(32)", audio_set_buffer_samples(32), -1},
        {"set_buffer_samples(64)", audio_set_buffer_samples(64), -1},
        {"set_buffer_samples(96)", audio_set_buffer_samples(96), -1},
        {"set_buffer_samples(128)", audio_set_buffer_samples(128), -1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.answer, c.expected) << c.call;

    audio_init();  // does nothing, and nothing changes after it
    for (int device : {0, 1, 7}) {
        EXPECT_EQ(audio_device_name(device), "JACK") << device;
        EXPECT_TRUE(audio_device_has_input(device)) << device;
        EXPECT_TRUE(audio_device_has_output(device)) << device;
    }
    EXPECT_EQ(audio_input_device_label(), "Default audio input device");
    EXPECT_EQ(audio_output_device_label(), "Default audio output device");
}

// ---- the page with JACK ----

TEST_F(ConfigPanelTest, JackRefreshShowsOneDeviceTwoChannelsAndSystemDefault)
{
    OrvConfigDlg page;
    OrvDeviceSelection &sel = page.device_selection;
    sel.refresh();  // as at start-up, before the window is first shown
    show_and_wait(page);

    for (QListWidget *list : {&sel.input_list, &sel.output_list}) {
        ASSERT_EQ(list->count(), 1);
        EXPECT_EQ(list->item(0)->text(), "JACK");
        EXPECT_TRUE(usable(list->item(0)));
        EXPECT_EQ(list->currentRow(), 0);
    }
    const struct {
        QSpinBox *box;
        int value;
    } boxes[] = {
        {&sel.input_left, 1}, {&sel.input_right, 2}, {&sel.output_left, 1}, {&sel.output_right, 2},
    };
    for (const auto &b : boxes) {
        EXPECT_EQ(b.box->minimum(), 1) << b.box->prefix().toStdString();
        EXPECT_EQ(b.box->maximum(), 2) << b.box->prefix().toStdString();
        EXPECT_EQ(b.box->value(), b.value) << b.box->prefix().toStdString();
    }
    EXPECT_EQ(sel.input_label.text(), "Default audio input device");
    EXPECT_EQ(sel.output_label.text(), "Default audio output device");

    EXPECT_EQ(sel.buffer_label.text(), "System default buffer size");
    for (int i = 0; i < 5; i++) {
        press(sel.buffer_button);
        EXPECT_EQ(sel.buffer_label.text(), "System default buffer size") << "press " << i + 1;
    }
}

// ---- the page against the stand-in ----

TEST_F(ConfigPanelTest, BufferPressesCycleFromSystemDefault)
{
    use_fake();
    OrvConfigDlg page;
    OrvDeviceSelection &sel = page.device_selection;
    show_and_wait(page);
    EXPECT_TRUE(fake.buffer_requests.empty());  // construction only asks
    EXPECT_EQ(sel.buffer_label.text(), "System default buffer size");

    const struct {
        int request;
        const char *label;
    } presses[] = {
        {64, "64 samples"}, {96, "96 samples"}, {128, "128 samples"}, {32, "32 samples"}, {64, "64 samples"},
    };
    std::vector<int> expected;
    for (const auto &p : presses) {
        press(sel.buffer_button);
        expected.push_back(p.request);
        EXPECT_EQ(fake.buffer_requests, expected);
        EXPECT_EQ(sel.buffer_label.text(), p.label);
    }

    // A size off the cycle moves on to the next one above it.
    EXPECT_EQ(sel.handle_toggle_buffer_samples(200), 200);
    EXPECT_EQ(sel.handle_toggle_buffer_samples(), 32);
    EXPECT_EQ(sel.handle_toggle_buffer_samples(0), 32);
    EXPECT_EQ(sel.buffer_label.text(), "32 samples");
}

TEST_F(ConfigPanelTest, ChannelBoxSendsZeroBasedChannelAndKeepsItsValue)
{
    use_fake();
    fake.apply_channels = false;  // every answer stays at the start-up mapping
    OrvDeviceSelection sel;
    sel.refresh();
    ASSERT_TRUE(fake.channel_requests.empty());

    const struct {
        QSpinBox *box;
        ChannelRequest request;
    } cases[] = {
        {&sel.input_left, {'i', 0, 2}},
        {&sel.input_right, {'i', 1, 2}},
        {&sel.output_left, {'o', 0, 2}},
        {&sel.output_right, {'o', 1, 2}},
    };
    for (const auto &c : cases) {
        fake.channel_requests.clear();
        c.box->setValue(3);
        EXPECT_EQ(fake.channel_requests, std::vector<ChannelRequest>{c.request})
            << c.box->prefix().toStdString();
        EXPECT_EQ(c.box->value(), 3) << c.box->prefix().toStdString();
    }

    fake.channel_requests.clear();
    sel.input_left.setValue(2);
    EXPECT_EQ(fake.channel_requests, std::vector<ChannelRequest>{ChannelRequest('i', 0, 1)});
    EXPECT_EQ(sel.input_left.value(), 2);  // though the answer is 0
    int answer = -2;
    QMetaObject::invokeMethod(&sel, "handle_set_input_left", Q_RETURN_ARG(int, answer), Q_ARG(int, 2));
    EXPECT_EQ(answer, 0);
}

TEST_F(ConfigPanelTest, RescanRebuildsListsAndReappliesDevicesWithoutRefresh)
{
    use_fake();
    fake.input_device = 1;
    OrvConfigDlg page;
    OrvDeviceSelection &sel = page.device_selection;
    show_and_wait(page);
    sel.refresh();
    EXPECT_EQ(fake.inits, 0);
    EXPECT_TRUE(fake.input_selections.empty());  // a refresh only asks
    EXPECT_TRUE(fake.output_selections.empty());
    EXPECT_EQ(sel.input_list.currentRow(), 1);
    EXPECT_EQ(sel.output_list.currentRow(), 0);

    // What only a refresh would show.
    fake.count = 3;
    fake.names[0] = "Card A2";
    fake.input_label = "changed";
    fake.input_channels = 8;
    fake.input_map[0] = 5;

    press(sel.rescan_button);
    EXPECT_EQ(fake.inits, 1);
    EXPECT_EQ(fake.input_selections, std::vector<int>{1});
    EXPECT_EQ(fake.output_selections, std::vector<int>{0});
    const std::vector<QString> names = {"Card A2", "Card B", "Card C"};
    EXPECT_EQ(entries(sel.input_list), names);
    EXPECT_EQ(entries(sel.output_list), names);
    EXPECT_EQ(sel.input_list.currentRow(), 1);
    EXPECT_EQ(sel.output_list.currentRow(), 0);
    EXPECT_EQ(sel.input_label.text(), "Card A in");
    EXPECT_EQ(sel.input_left.maximum(), 4);
    EXPECT_EQ(sel.input_left.value(), 1);
}

TEST_F(ConfigPanelTest, ChoosingDeviceRefreshesWholeView)
{
    use_fake();
    OrvDeviceSelection sel;
    sel.refresh();

    fake.output_label = "Card B out";
    fake.output_map[1] = 4;
    sel.output_list.setCurrentRow(1);
    EXPECT_EQ(fake.output_selections, std::vector<int>{1});
    EXPECT_TRUE(fake.input_selections.empty());
    EXPECT_EQ(sel.output_list.currentRow(), 1);
    EXPECT_EQ(sel.input_list.currentRow(), 0);
    EXPECT_EQ(sel.output_label.text(), "Card B out");
    EXPECT_EQ(sel.output_right.value(), 5);

    int answer = -2;
    QMetaObject::invokeMethod(&sel, "handle_set_input_device", Q_RETURN_ARG(int, answer), Q_ARG(int, 1));
    EXPECT_EQ(answer, 1);
    EXPECT_EQ(sel.input_list.currentRow(), 1);
}

TEST_F(ConfigPanelTest, DeviceUnableToRecordIsGreyedAndRefused)
{
    use_fake();
    fake.can_record[1] = false;
    OrvDeviceSelection sel;
    sel.refresh();

    EXPECT_TRUE(usable(sel.input_list.item(0)));
    EXPECT_FALSE(sel.input_list.item(1)->flags() & (Qt::ItemIsEnabled | Qt::ItemIsSelectable));
    EXPECT_TRUE(usable(sel.output_list.item(1)));

    fake.input_label = "changed";
    int answer = 0;
    QMetaObject::invokeMethod(&sel, "handle_set_input_device", Q_RETURN_ARG(int, answer), Q_ARG(int, 1));
    EXPECT_EQ(answer, -1);
    sel.input_list.setCurrentRow(1);  // greyed, yet made current
    EXPECT_TRUE(fake.input_selections.empty());
    EXPECT_EQ(fake.input_device, 0);
    EXPECT_EQ(sel.input_label.text(), "Card A in");  // no refresh either
}

TEST_F(ConfigPanelTest, OutOfRangeAnswersAreTolerated)
{
    use_fake();
    fake.input_map[0] = -3;
    fake.output_map[1] = -1;
    fake.input_device = 2;  // beyond the two devices
    fake.output_device = -1;
    OrvDeviceSelection sel;
    sel.refresh();
    EXPECT_EQ(sel.input_left.value(), 1);
    EXPECT_EQ(sel.output_right.value(), 1);
    EXPECT_EQ(sel.input_list.count(), 2);
    EXPECT_EQ(sel.input_list.currentRow(), -1);
    EXPECT_EQ(sel.output_list.currentRow(), -1);

    for (int count : {0, -1}) {
        fake.count = count;
        sel.handle_rescan_device(false);
        EXPECT_EQ(sel.input_list.count(), 0) << count;
        EXPECT_EQ(sel.output_list.count(), 0) << count;
    }
}

// ---- construction ----

TEST_F(ConfigPanelTest, ControlTextsDescriptionsAndPrefixes)
{
    OrvDeviceSelection sel;
    EXPECT_EQ(sel.title(), "Audio device configuration");
    EXPECT_EQ(sel.buffer_button.text(), "Toggle buffer size");
    EXPECT_EQ(sel.rescan_button.text(), "Rescan devices");

    const struct {
        QSpinBox *box;
        const char *description;
        const char *prefix;
    } cases[] = {
        {&sel.input_left, "Set left input channel index", "L-IN "},
        {&sel.input_right, "Set right input channel index", "R-IN "},
        {&sel.output_left, "Set left output channel index", "L-OUT "},
        {&sel.output_right, "Set right output channel index", "R-OUT "},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.box->accessibleDescription(), c.description) << c.prefix;
        EXPECT_EQ(c.box->prefix(), c.prefix) << c.description;
    }
    // The lists have no label beside them: a screen reader needs names.
    EXPECT_EQ(QAccessible::queryAccessibleInterface(&sel.input_list)->text(QAccessible::Name), "Input device");
    EXPECT_EQ(QAccessible::queryAccessibleInterface(&sel.output_list)->text(QAccessible::Name), "Output device");
}

TEST_F(ConfigPanelTest, ControlsSitInTheirGridCells)
{
    OrvConfigDlg page;
    OrvDeviceSelection &sel = page.device_selection;
    EXPECT_EQ(sel.layout(), &sel.selection_grid);
    EXPECT_EQ(page.layout(), &page.config_grid);

    const struct {
        QWidget *widget;
        int row, column, rows, columns;
    } cases[] = {
        {&sel.input_list, 0, 0, 2, 1},   {&sel.input_left, 1, 1, 1, 1},   {&sel.input_right, 1, 2, 1, 1},
        {&sel.input_label, 1, 3, 1, 1},  {&sel.output_list, 2, 0, 2, 1},  {&sel.output_left, 3, 1, 1, 1},
        {&sel.output_right, 3, 2, 1, 1}, {&sel.output_label, 3, 3, 1, 1}, {&sel.buffer_button, 4, 1, 1, 1},
        {&sel.buffer_label, 4, 2, 1, 2}, {&sel.rescan_button, 4, 0, 1, 1},
    };
    EXPECT_EQ(sel.selection_grid.count(), int(std::size(cases)));
    for (const auto &c : cases) {
        const int index = sel.selection_grid.indexOf(c.widget);
        ASSERT_GE(index, 0) << c.row << "," << c.column;
        int row, column, rows, columns;
        sel.selection_grid.getItemPosition(index, &row, &column, &rows, &columns);
        EXPECT_EQ(std::tie(row, column, rows, columns), std::tie(c.row, c.column, c.rows, c.columns))
            << c.row << "," << c.column;
        EXPECT_EQ(c.widget->parent(), &sel);
    }

    int row, column, rows, columns;
    page.config_grid.getItemPosition(page.config_grid.indexOf(&sel), &row, &column, &rows, &columns);
    EXPECT_EQ(std::tie(row, column, rows, columns), std::make_tuple(0, 0, 1, 1));
    EXPECT_EQ(page.config_grid.rowStretch(1), 1);
    EXPECT_EQ(page.config_grid.columnStretch(1), 1);
}

// String-based connections find the slots by these signatures, the
// default-argument forms included.
TEST_F(ConfigPanelTest, SlotsAreDeclaredInMetaObjectOrder)
{
    const QMetaObject &meta = OrvDeviceSelection::staticMetaObject;
    std::vector<std::string> methods;
    for (int i = meta.methodOffset(); i < meta.methodCount(); i++)
        methods.push_back(meta.method(i).methodSignature().toStdString() + " -> " +
                        meta.method(i).typeName());
    const std::vector<std::string> expected = {
        "handle_rescan_device(bool) -> void",
        "handle_rescan_device() -> void",
        "handle_set_input_device(int) -> int",
        "handle_set_output_device(int) -> int",
        "handle_set_input_left(int) -> int",
        "handle_set_output_left(int) -> int",
        "handle_set_input_right(int) -> int",
        "handle_set_output_right(int) -> int",
        "handle_toggle_buffer_samples(int) -> int",
        "handle_toggle_buffer_samples() -> int",
    };
    EXPECT_EQ(methods, expected);
    EXPECT_EQ(OrvConfigDlg::staticMetaObject.methodCount(), QWidget::staticMetaObject.methodCount());
}

}  // namespace
