#include "ui/config_panel.h"
#include "ui/child_connections.h"

#include "audio/audio_device.h"

#include <QSignalBlocker>

namespace {

// The buffer sizes the button steps through, in samples.
constexpr int BUFFER_CYCLE_FIRST = 32;
constexpr int BUFFER_CYCLE_SECOND = 64;
constexpr int BUFFER_CYCLE_THIRD = 96;
constexpr int BUFFER_CYCLE_LAST = 128;

// The size after current in the cycle; anything at or below the first size,
// the system default (negative) included, moves on to the second.
int next_buffer_size(int current)
{
    if (current <= BUFFER_CYCLE_FIRST)
        return BUFFER_CYCLE_SECOND;
    if (current <= BUFFER_CYCLE_SECOND)
        return BUFFER_CYCLE_THIRD;
    if (current <= BUFFER_CYCLE_THIRD)
        return BUFFER_CYCLE_LAST;
    return BUFFER_CYCLE_FIRST;
}

// Set a spin box without running its slot.
void set_channel_range(QSpinBox &box, int count)
{
    const QSignalBlocker blocker(box);
    box.setRange(1, count);
}

// The interface counts channels from 0, the box from 1; a negative answer
// shows as the first channel.
void show_channel(QSpinBox &box, int channel)
{
    const QSignalBlocker blocker(box);
    box.setValue((channel < 0 ? 0 : channel) + 1);
}

void add_device_entry(QListWidget &list, const QString &name, bool usable)
{
    const QSignalBlocker blocker(list);
    auto *item = new QListWidgetItem(name, &list);
    const Qt::ItemFlags usable_flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    item->setFlags(usable ? item->flags() | usable_flags : item->flags() & ~usable_flags);
}

void show_current_device(QListWidget &list, int row)
{
    const QSignalBlocker blocker(list);
    list.setCurrentRow(row);
}

}  // namespace

OrvDeviceSelection::OrvDeviceSelection()
    : QGroupBox(),
      selection_grid(this),
      buffer_button(tr("Toggle buffer size")),
      rescan_button(QStringLiteral("Rescan devices"))
{
    setTitle(tr("Audio device configuration"));
    input_list.setAccessibleName(tr("Input device"));
    output_list.setAccessibleName(tr("Output device"));

    input_left.setAccessibleDescription(tr("Set left input channel index"));
    input_left.setPrefix(tr("L-IN "));
    input_right.setAccessibleDescription(tr("Set right input channel index"));
    input_right.setPrefix(tr("R-IN "));
    output_left.setAccessibleDescription(tr("Set left output channel index"));
    output_left.setPrefix(tr("L-OUT "));
    output_right.setAccessibleDescription(tr("Set right output channel index"));
    output_right.setPrefix(tr("R-OUT "));

    // Each list spans two rows; its spin boxes and label sit beside the
    // lower one.
    selection_grid.addWidget(&input_list, 0, 0, 2, 1);
    selection_grid.addWidget(&input_left, 1, 1);
    selection_grid.addWidget(&input_right, 1, 2);
    selection_grid.addWidget(&input_label, 1, 3);
    selection_grid.addWidget(&output_list, 2, 0, 2, 1);
    selection_grid.addWidget(&output_left, 3, 1);
    selection_grid.addWidget(&output_right, 3, 2);
    selection_grid.addWidget(&output_label, 3, 3);
    selection_grid.addWidget(&buffer_button, 4, 1);
    selection_grid.addWidget(&buffer_label, 4, 2, 1, 2);
    selection_grid.addWidget(&rescan_button, 4, 0);

    connect(&input_list, &QListWidget::currentRowChanged, this, &OrvDeviceSelection::handle_set_input_device);
    connect(&output_list, &QListWidget::currentRowChanged, this, &OrvDeviceSelection::handle_set_output_device);
    connect(&input_left, &QSpinBox::valueChanged, this, &OrvDeviceSelection::handle_set_input_left);
    connect(&output_left, &QSpinBox::valueChanged, this, &OrvDeviceSelection::handle_set_output_left);
    connect(&input_right, &QSpinBox::valueChanged, this, &OrvDeviceSelection::handle_set_input_right);
    connect(&output_right, &QSpinBox::valueChanged, this, &OrvDeviceSelection::handle_set_output_right);
    // Both slots take an argument a button does not give: their defaults.
    connect(&buffer_button, &QPushButton::released, this, [this] { handle_toggle_buffer_samples(); });
    connect(&rescan_button, &QPushButton::released, this, [this] { handle_rescan_device(); });

    handle_toggle_buffer_samples(0);
}

void OrvDeviceSelection::refresh()
{
    input_label.setText(audio_input_device_label());
    output_label.setText(audio_output_device_label());

    set_channel_range(input_left, audio_input_channel_count());
    set_channel_range(input_right, audio_input_channel_count());
    set_channel_range(output_left, audio_output_channel_count());
    set_channel_range(output_right, audio_output_channel_count());

    show_channel(input_left, audio_input_channel(0, -1));
    show_channel(input_right, audio_input_channel(1, -1));
    show_channel(output_left, audio_output_channel(0, -1));
    show_channel(output_right, audio_output_channel(1, -1));

    handle_rescan_device(false);
}

void OrvDeviceSelection::handle_rescan_device(bool reinit)
{
    if (reinit)
        audio_init();
    const int count = audio_device_count();
    const int in = audio_select_input_device(-1);
    const int out = audio_select_output_device(-1);

    {
        const QSignalBlocker blocker(input_list);
        input_list.clear();
    }
    {
        const QSignalBlocker blocker(output_list);
        output_list.clear();
    }
    if (count <= 0)
        return;

    for (int i = 0; i < count; i++) {
        const QString name = audio_device_name(i);
        add_device_entry(input_list, name, audio_device_has_input(i));
        add_device_entry(output_list, name, audio_device_has_output(i));
    }

    if (in >= 0 && in < count) {
        show_current_device(input_list, in);
        if (reinit)
            audio_select_input_device(in);
    }
    if (out >= 0 && out < count) {
        show_current_device(output_list, out);
        if (reinit)
            audio_select_output_device(out);
    }
}

int OrvDeviceSelection::handle_set_input_device(int row)
{
    if (row >= 0 && !audio_device_has_input(row))
        return -1;
    const int result = audio_select_input_device(row);
    refresh();
    return result;
}

int OrvDeviceSelection::handle_set_output_device(int row)
{
    if (row >= 0 && !audio_device_has_output(row))
        return -1;
    const int result = audio_select_output_device(row);
    refresh();
    return result;
}

int OrvDeviceSelection::handle_set_input_left(int v)
{
    return audio_input_channel(0, v - 1);
}

int OrvDeviceSelection::handle_set_output_left(int v)
{
    return audio_output_channel(0, v - 1);
}

int OrvDeviceSelection::handle_set_input_right(int v)
{
    return audio_input_channel(1, v - 1);
}

int OrvDeviceSelection::handle_set_output_right(int v)
{
    return audio_output_channel(1, v - 1);
}

int OrvDeviceSelection::handle_toggle_buffer_samples(int samples)
{
    int request = samples;
    if (samples < 0)
        request = next_buffer_size(audio_set_buffer_samples(-1));
    else if (samples == 0)
        request = -1;  // only ask

    const int result = audio_set_buffer_samples(request);
    if (result < 0)
        buffer_label.setText(tr("System default buffer size"));
    else
        buffer_label.setText(tr("%1 samples").arg(result));
    return result;
}

OrvConfigDlg::OrvConfigDlg()
    : QWidget(),
      config_grid(this)
{
    config_grid.addWidget(&device_selection, 0, 0);
    // The empty row and column below and right of the box take the spare
    // room, so the box keeps its natural size in the top left corner.
    config_grid.setRowStretch(1, 1);
    config_grid.setColumnStretch(1, 1);
}

OrvDeviceSelection::~OrvDeviceSelection()
{
    disconnect_children(this);
}
