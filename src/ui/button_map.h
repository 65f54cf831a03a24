// The one-of-n selector: a titled group box with a grid of push buttons, one
// of which is selected. The selected button is drawn raised and is checked,
// all others are flat and unchecked, so assistive technology reads the
// selection as it shows; its actions on a button select as a click does.
// Main (toolkit) thread only.
#pragma once

#include "ui/push_button.h"

#include <QGroupBox>

class QGridLayout;

// A push button that reports its index in its map with each release.
class OrvButton : public OrvPushButton {
    Q_OBJECT

public:
    // A parentless button showing label; the toolkit's plain released()
    // comes out again as released(id).
    OrvButton(const QString &label, int id);

    int id;    // index in the owning map, fixed at construction

signals:
    void released(int _id);

public slots:
    void handle_released();
};

class OrvButtonMap : public QGroupBox {
    Q_OBJECT

public:
    static constexpr int MAX_BUTTONS = 16;

    // A parentless map. names holds NUL-terminated UTF-8 fields one after
    // another: the title, then one label per button; it must hold at least
    // button_count + 1 fields. count above MAX_BUTTONS is cut to MAX_BUTTONS;
    // below 1 the map stays an empty box without title, layout or buttons.
    // Button i sits in grid row i / columns, column i % columns; a columns
    // below 1 counts as 1.
    // Button 0 starts selected, and nothing is emitted here: receivers start
    // in the state of index 0.
    OrvButtonMap(const char *names, int count, int columns);
    ~OrvButtonMap() override;  // cuts its children's connections first (child_connections.h)

    QGridLayout *map_grid = nullptr;            // owned by the map; null when empty
    OrvButton *buttons[MAX_BUTTONS] = {};       // 0 .. button_count - 1 used, rest null
    int selection = 0;                          // index of the selected (raised, checked) button
    int button_count = 0;                       // 1 .. MAX_BUTTONS; 0 for an empty map

signals:
    // The user released a button other than the selected one, which is now
    // index. Delivered directly, before handle_released returns.
    void selectionChanged(int index);

public slots:
    // A press alone selects nothing; the selection moves on release.
    // Selects index and emits selectionChanged, unless it is already selected.
    void handle_released(int index);
};
