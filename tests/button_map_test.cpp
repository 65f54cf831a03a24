// The one-of-n button map, driven with real mouse events on the offscreen
// platform.
#include "support/accessible_action.h"
#include "support/qt_app.h"
#include "ui/button_map.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QGridLayout>
#include <QSignalSpy>
#include <QTest>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Spelled as the generator page spells its channel map.
const char CHANNELS[] =
    "Main input channel\0INPUT 0\0INPUT 1\0INPUT 0+1\0OUTPUT 0\0OUTPUT 1\0OUTPUT 0+1";

class ButtonMapTest : public ::testing::Test {
protected:
    QtApp qt;
};

std::vector<bool> flat_states(const OrvButtonMap &map)
{
    std::vector<bool> flat;
    for (int i = 0; i < map.button_count; i++)
        flat.push_back(map.buttons[i]->isFlat());
    return flat;
}

// Flat everywhere but at raised.
std::vector<bool> raised_only(int count, int raised)
{
    std::vector<bool> flat(count, true);
    flat[raised] = false;
    return flat;
}

void show_and_wait(QWidget &widget)
{
    widget.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&widget));
}

TEST_F(ButtonMapTest, NewMapSelectsButtonZeroAndEmitsNothing)
{
    OrvButtonMap map(CHANNELS, 6, 3);
    QSignalSpy changed(&map, &OrvButtonMap::selectionChanged);
    show_and_wait(map);

    EXPECT_EQ(map.button_count, 6);
    EXPECT_EQ(map.selection, 0);
    EXPECT_EQ(flat_states(map), raised_only(6, 0));
    for (int i = 6; i < OrvButtonMap::MAX_BUTTONS; i++)
        EXPECT_EQ(map.buttons[i], nullptr) << i;
    EXPECT_EQ(changed.count(), 0);
}

TEST_F(ButtonMapTest, TitleAndLabelsComeFromTheNulSeparatedFields)
{
    OrvButtonMap map(CHANNELS, 6, 3);
    EXPECT_EQ(map.title(), "Main input channel");
    const char *labels[] = {"INPUT 0", "INPUT 1", "INPUT 0+1", "OUTPUT 0", "OUTPUT 1", "OUTPUT 0+1"};
    for (int i = 0; i < 6; i++) {
        EXPECT_EQ(map.buttons[i]->text(), labels[i]) << i;
        EXPECT_EQ(map.buttons[i]->id, i);
        EXPECT_EQ(map.buttons[i]->parentWidget(), &map) << i;
    }

    // Fields are UTF-8, not Latin-1.
    OrvButtonMap accented("Fréquence\0½\0°", 2, 2);
    EXPECT_EQ(accented.title(), QString::fromUtf8("Fréquence"));
    EXPECT_EQ(accented.buttons[0]->text(), QString::fromUtf8("½"));
    EXPECT_EQ(accented.buttons[1]->text(), QString::fromUtf8("°"));
}

TEST_F(ButtonMapTest, HoldingAPressedButtonSelectsNothing)
{
    OrvButtonMap map(CHANNELS, 6, 3);
    show_and_wait(map);
    QSignalSpy changed(&map, &OrvButtonMap::selectionChanged);

    QTest::mousePress(map.buttons[3], Qt::LeftButton);

    // The press did reach the button.
    ASSERT_TRUE(map.buttons[3]->isDown());
    EXPECT_EQ(map.selection, 0);
    EXPECT_EQ(flat_states(map), raised_only(6, 0));
    EXPECT_EQ(changed.count(), 0);
}

TEST_F(ButtonMapTest, ReleasingSelectsOnceAndReleasingAgainIsSilent)
{
    OrvButtonMap map(CHANNELS, 6, 3);
    show_and_wait(map);
    QSignalSpy changed(&map, &OrvButtonMap::selectionChanged);

    QTest::mouseClick(map.buttons[4], Qt::LeftButton);
    EXPECT_EQ(map.selection, 4);
    EXPECT_EQ(flat_states(map), raised_only(6, 4));
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed.at(0).at(0).toInt(), 4);

    QTest::mouseClick(map.buttons[4], Qt::LeftButton);
    EXPECT_EQ(map.selection, 4);
    EXPECT_EQ(flat_states(map), raised_only(6, 4));
    EXPECT_EQ(changed.count(), 1);

    // And back to the first button, which must go raised again.
    QTest::mouseClick(map.buttons[0], Qt::LeftButton);
    EXPECT_EQ(flat_states(map), raised_only(6, 0));
    ASSERT_EQ(changed.count(), 2);
    EXPECT_EQ(changed.at(1).at(0).toInt(), 0);
}

TEST_F(ButtonMapTest, DraggingOffAPressedButtonSelectsIt)
{
    OrvButtonMap map(CHANNELS, 6, 3);
    show_and_wait(map);
    QSignalSpy changed(&map, &OrvButtonMap::selectionChanged);
    OrvButton *button = map.buttons[2];

    QTest::mousePress(button, Qt::LeftButton);
    ASSERT_EQ(changed.count(), 0);
    QTest::mouseMove(button, button->rect().bottomRight() + QPoint(20, 20));

    EXPECT_FALSE(button->isDown());
    EXPECT_EQ(map.selection, 2);
    EXPECT_EQ(flat_states(map), raised_only(6, 2));
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed.at(0).at(0).toInt(), 2);

    // Letting go outside the button adds no second selection.
    QTest::mouseRelease(button, Qt::LeftButton, {}, button->rect().bottomRight() + QPoint(20, 20));
    EXPECT_EQ(changed.count(), 1);
}

TEST_F(ButtonMapTest, CountIsCutToSixteen)
{
    const char names[] =
        "Many\0b0\0b1\0b2\0b3\0b4\0b5\0b6\0b7\0b8\0b9\0b10\0b11\0b12\0b13\0b14\0b15"
        "\0b16\0b17\0b18\0b19";
    OrvButtonMap map(names, 20, 4);

    EXPECT_EQ(map.button_count, OrvButtonMap::MAX_BUTTONS);
    EXPECT_EQ(map.map_grid->count(), OrvButtonMap::MAX_BUTTONS);
    for (int i = 0; i < OrvButtonMap::MAX_BUTTONS; i++)
        EXPECT_EQ(map.buttons[i]->text(), QString("b%1").arg(i)) << i;
    EXPECT_EQ(map.findChildren<OrvButton *>().size(), OrvButtonMap::MAX_BUTTONS);
}

TEST_F(ButtonMapTest, CountBelowOneGivesAnEmptyUntitledBox)
{
    for (int count : {0, -1}) {
        SCOPED_TRACE(count);
        OrvButtonMap map(CHANNELS, count, 3);
        EXPECT_TRUE(map.title().isEmpty());
        EXPECT_EQ(map.layout(), nullptr);
        EXPECT_EQ(map.map_grid, nullptr);
        EXPECT_TRUE(map.findChildren<QPushButton *>().isEmpty());
        for (OrvButton *button : map.buttons)
            EXPECT_EQ(button, nullptr);
    }
}

struct GridCase {
    const char *names;
    int count;
    int columns;
    std::vector<std::pair<int, int>> cells;    // (row, column) of each button
};

TEST_F(ButtonMapTest, ButtonsFillTheGridRowByRow)
{
    const GridCase cases[] = {
        {CHANNELS, 6, 3, {{0, 0}, {0, 1}, {0, 2}, {1, 0}, {1, 1}, {1, 2}}},
        {"Decay selection\0OFF\0" "1/8\0" "1/16\0" "1/32\0" "1/64\0" "1/128\0" "1/256",
         7, 7, {{0, 0}, {0, 1}, {0, 2}, {0, 3}, {0, 4}, {0, 5}, {0, 6}}},
    };
    for (const GridCase &c : cases) {
        SCOPED_TRACE(c.names);
        OrvButtonMap map(c.names, c.count, c.columns);
        show_and_wait(map);
        ASSERT_EQ(map.map_grid, map.layout());
        for (int i = 0; i < c.count; i++) {
            int row, column, row_span, column_span;
            map.map_grid->getItemPosition(map.map_grid->indexOf(map.buttons[i]), &row, &column,
                                          &row_span, &column_span);
            EXPECT_EQ(std::make_pair(row, column), c.cells[i]) << i;
            EXPECT_EQ(row_span, 1);
            EXPECT_EQ(column_span, 1);
            EXPECT_EQ(map.map_grid->itemAt(map.map_grid->indexOf(map.buttons[i]))->alignment(),
                      Qt::AlignCenter);
            // What the user sees: rows go down, columns go right.
            const QRect here = map.buttons[i]->geometry();
            const QRect first = map.buttons[0]->geometry();
            EXPECT_EQ(here.center().y() > first.bottom(), c.cells[i].first > 0) << i;
            if (i % c.columns != 0) {
                EXPECT_GT(here.left(), map.buttons[i - 1]->geometry().right()) << i;
            }
        }
    }
}

// What a screen reader is told of each button: a check box, checked where
// the map shows its selection raised.
void expect_exposed_selection(const OrvButtonMap &map)
{
    for (int i = 0; i < map.button_count; i++) {
        SCOPED_TRACE(i);
        QAccessibleInterface *button = QAccessible::queryAccessibleInterface(map.buttons[i]);
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->role(), QAccessible::CheckBox);
        EXPECT_TRUE(button->state().checkable);
        EXPECT_EQ(bool(button->state().checked), i == map.selection);
        EXPECT_EQ(map.buttons[i]->isFlat(), i != map.selection);
    }
}

TEST_F(ButtonMapTest, SelectionIsExposedAsTheCheckedButton)
{
    OrvButtonMap map(CHANNELS, 6, 3);
    show_and_wait(map);
    expect_exposed_selection(map);

    // A click, a click on the selection (which must stay checked), a drag
    // off a pressed button, and Space on a focused one.
    QTest::mouseClick(map.buttons[4], Qt::LeftButton);
    expect_exposed_selection(map);
    QTest::mouseClick(map.buttons[4], Qt::LeftButton);
    EXPECT_EQ(map.selection, 4);
    expect_exposed_selection(map);
    QTest::mousePress(map.buttons[1], Qt::LeftButton);
    QTest::mouseMove(map.buttons[1], map.buttons[1]->rect().bottomRight() + QPoint(20, 20));
    QTest::mouseRelease(map.buttons[1], Qt::LeftButton, {}, map.buttons[1]->rect().bottomRight() + QPoint(20, 20));
    EXPECT_EQ(map.selection, 1);
    expect_exposed_selection(map);
    map.buttons[5]->setFocus();
    QTest::keyClick(map.buttons[5], Qt::Key_Space);
    EXPECT_EQ(map.selection, 5);
    expect_exposed_selection(map);
}

// What a screen reader does with a button (Toggle, as it offers for a check
// box, or Press) selects as a click does: never a second checked button, and
// the selected one stays checked. Other actions (SetFocus) select nothing.
TEST_F(ButtonMapTest, AccessibleActionsSelectAsAClickDoes)
{
    OrvButtonMap map(CHANNELS, 6, 3);
    show_and_wait(map);
    QSignalSpy changed(&map, &OrvButtonMap::selectionChanged);

    int selections = 0;
    for (int i : {4, 4, 1, 0, 5}) {
        OrvButton *button = map.buttons[i];
        QAccessibleInterface *exposed = QAccessible::queryAccessibleInterface(button);
        ASSERT_NE(exposed, nullptr);
        ASSERT_NE(exposed->actionInterface(), nullptr);
        const QStringList clicks = click_actions(button);
        EXPECT_TRUE(clicks.contains(QAccessibleActionInterface::toggleAction())) << clicks.join(", ").toStdString();
        for (const QString &name : exposed->actionInterface()->actionNames()) {
            SCOPED_TRACE(testing::Message() << "button " << i << ", " << name.toStdString());
            const int before = map.selection;
            ASSERT_TRUE(do_accessible_action(button, name));
            const int expected = clicks.contains(name) ? i : before;
            if (expected != before)
                selections++;
            EXPECT_EQ(map.selection, expected);
            expect_exposed_selection(map);
            for (int b = 0; b < map.button_count; b++)
                EXPECT_EQ(map.buttons[b]->isChecked(), b == expected) << b;
            ASSERT_EQ(changed.count(), selections);
            if (selections > 0) {
                EXPECT_EQ(changed.last().at(0).toInt(), map.selection);
            }
        }
    }
}

// Our buttons read to a screen reader as the toolkit's own push buttons of
// the same text and state: name without the mnemonic's "&", shortcut, role,
// every state flag.
TEST_F(ButtonMapTest, ButtonsReadAsTheToolkitsOwnDo)
{
    const struct {
        const char *text;
        bool checkable;
        bool checked;
    } cases[] = {
        {"&SPECTRUM", false, false},
        {"SIGNAL &GENERATOR", false, false},
        {"Toggle\nRecord", true, false},
        {"Toggle\nFreeze", true, true},
        {"WHITE NOISE", true, true},
        {"R&&B", false, false},
    };
    QWidget window;
    auto *layout = new QGridLayout(&window);
    std::vector<std::pair<QPushButton *, QPushButton *>> pairs;
    for (const auto &c : cases) {
        auto *ours = new OrvPushButton(c.text);
        auto *plain = new QPushButton(c.text);
        for (QPushButton *button : {static_cast<QPushButton *>(ours), plain}) {
            button->setCheckable(c.checkable);
            button->setChecked(c.checked);
            layout->addWidget(button, int(pairs.size()), button == plain ? 1 : 0);
        }
        pairs.emplace_back(ours, plain);
    }
    // Not shown: no button has the focus, which only the first would get.

    for (const auto &[ours, plain] : pairs) {
        SCOPED_TRACE(plain->text().toStdString());
        QAccessibleInterface *read = QAccessible::queryAccessibleInterface(ours);
        QAccessibleInterface *toolkit = QAccessible::queryAccessibleInterface(plain);
        ASSERT_NE(read, nullptr);
        ASSERT_NE(toolkit, nullptr);
        EXPECT_EQ(read->role(), toolkit->role());
        for (QAccessible::Text t : {QAccessible::Name, QAccessible::Description, QAccessible::Value,
                                    QAccessible::Help, QAccessible::Accelerator})
            EXPECT_EQ(read->text(t).toStdString(), toolkit->text(t).toStdString()) << t;
        const QAccessible::State mine = read->state();
        const QAccessible::State theirs = toolkit->state();
        EXPECT_EQ(std::memcmp(&mine, &theirs, sizeof mine), 0);
        EXPECT_EQ(read->childCount(), 0);
    }
}

TEST_F(ButtonMapTest, CheckedLooksAsRaisedDidAndOnlyKeyboardFocusAddsAFrame)
{
    // Beside the map, the plain toolkit buttons the maps used to be made
    // of, at the same size and text: the looks of before.
    QWidget window;
    auto *layout = new QGridLayout(&window);
    OrvButtonMap *map = new OrvButtonMap(CHANNELS, 6, 3);
    auto *plain_raised = new QPushButton("INPUT 0");
    auto *plain_flat = new QPushButton("INPUT 1");
    plain_flat->setFlat(true);
    layout->addWidget(map, 0, 0, 1, 2);
    layout->addWidget(plain_raised, 1, 0);
    layout->addWidget(plain_flat, 1, 1);
    show_and_wait(window);
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    OrvButton *selected = map->buttons[0];
    OrvButton *other = map->buttons[1];
    plain_raised->resize(selected->size());
    plain_flat->resize(other->size());

    // A click focuses a button but draws no frame.
    QTest::mouseClick(other, Qt::LeftButton);
    QTest::mouseClick(selected, Qt::LeftButton);
    ASSERT_TRUE(selected->hasFocus());
    ASSERT_TRUE(selected->isChecked());
    EXPECT_EQ(selected->grab().toImage(), plain_raised->grab().toImage());
    EXPECT_EQ(other->grab().toImage(), plain_flat->grab().toImage());

    // Tab moves the focus on: a frame in the highlight colour along the edges.
    QTest::keyClick(selected, Qt::Key_Tab);
    ASSERT_TRUE(other->hasFocus());
    const QRgb highlight = other->palette().color(QPalette::Highlight).rgb();
    const QImage framed = other->grab().toImage();
    const int w = framed.width();
    const int h = framed.height();
    for (const QPoint &edge : {QPoint(w / 2, 0), QPoint(w / 2, 1), QPoint(w / 2, h - 1),
                               QPoint(0, h / 2), QPoint(w - 1, h / 2)})
        EXPECT_EQ(framed.pixel(edge), highlight) << edge.x() << ", " << edge.y();
    EXPECT_EQ(selected->grab().toImage(), plain_raised->grab().toImage());
}

}  // namespace

TEST_F(ButtonMapTest, ColumnsBelowOneMakeOneColumn)
{
    OrvButtonMap map(CHANNELS, 3, 0);
    for (int i = 0; i < 3; i++) {
        int row, column, rows, columns;
        map.map_grid->getItemPosition(map.map_grid->indexOf(map.buttons[i]), &row, &column, &rows, &columns);
        EXPECT_EQ(row, i);
        EXPECT_EQ(column, 0);
    }
}
