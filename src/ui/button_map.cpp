#include "ui/button_map.h"
#include "ui/child_connections.h"

#include <QGridLayout>

#include <algorithm>
#include <cstring>

OrvButton::OrvButton(const QString &label, int id)
    : OrvPushButton(label), id(id)
{
    // The toolkit's released(), which OrvButton's own released(int) hides.
    connect(this, &QAbstractButton::released, this, &OrvButton::handle_released);
}

void OrvButton::handle_released()
{
    emit released(id);
}

namespace {

// The field after the one at field, just past its NUL. A null string has
// only empty fields.
const char *next_field(const char *field)
{
    return field ? field + std::strlen(field) + 1 : nullptr;
}

QString field_text(const char *field)
{
    return field ? QString::fromUtf8(field) : QString();
}

}  // namespace

OrvButtonMap::OrvButtonMap(const char *names, int count, int columns)
    : QGroupBox()
{
    if (count < 1)
        return;
    button_count = std::min(count, MAX_BUTTONS);
    columns = std::max(columns, 1);  // a bad column count makes one column rather than divide by zero

    setTitle(field_text(names));
    map_grid = new QGridLayout(this);

    const char *field = names;
    for (int i = 0; i < button_count; i++) {
        field = next_field(field);
        buttons[i] = new OrvButton(field_text(field), i);
        buttons[i]->setCheckable(true);
        buttons[i]->set_selected(i == 0);
        connect(buttons[i], &OrvButton::released, this, &OrvButtonMap::handle_released);
        // Centred in its cell, each button keeps its natural size.
        map_grid->addWidget(buttons[i], i / columns, i % columns, 1, 1, Qt::AlignCenter);
    }
}

void OrvButtonMap::handle_released(int index)
{
    if (index == selection)
        return;
    selection = index;
    for (int i = 0; i < button_count; i++)
        buttons[i]->set_selected(i == index);
    emit selectionChanged(index);
}

OrvButtonMap::~OrvButtonMap()
{
    disconnect_children(this);
}
