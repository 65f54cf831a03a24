// The audio configuration page: device lists, channel mapping, buffer size
// and rescan. The panel keeps no audio state of its own; it shows what the
// audio-device interface (audio/audio_device.h) answers and passes the
// user's choices to it. Main (toolkit) thread only.
//
// Every control is a member held by value; the grid adopts it as a child of
// the group box. Members die in reverse order before QObject deletes the
// children, so each control has left its parent by then.
#pragma once

#include "ui/push_button.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QSpinBox>

class OrvDeviceSelection : public QGroupBox {
    Q_OBJECT

public:
    // Parentless. The lists stay empty and the spin boxes at the toolkit's
    // defaults until the first refresh(); the buffer label already shows the
    // size in effect.
    OrvDeviceSelection();
    ~OrvDeviceSelection() override;  // cuts its children's connections first (child_connections.h)

    // Reload the device labels, the channel ranges and values, and both
    // device lists from the interface. Leaves the buffer label alone.
    void refresh();

    QGridLayout selection_grid;   // the group box's layout
    QListWidget input_list;       // one row per device; current row = input device
    QSpinBox input_left;          // device channel of the left input, from 1
    QSpinBox input_right;         // device channel of the right input, from 1
    QListWidget output_list;      // one row per device; current row = output device
    QSpinBox output_left;         // device channel of the left output, from 1
    QSpinBox output_right;        // device channel of the right output, from 1
    QLabel input_label;           // the interface's text for the input device
    QLabel output_label;          // the interface's text for the output device
    OrvPushButton buffer_button;  // steps through the buffer sizes
    OrvPushButton rescan_button;  // rebuilds the device lists
    QLabel buffer_label;          // "%1 samples" or the system default

public slots:
    // Rebuild both lists and put their current rows on the devices in
    // effect. With reinit the back-end is initialised first and those
    // devices are selected again. No slot of the panel runs meanwhile.
    void handle_rescan_device(bool reinit = true);

    // row >= 0: choose that device, then refresh(); a negative row only
    // asks. Returns the device in effect, or -1 without doing anything for
    // a device that cannot record (play).
    int handle_set_input_device(int row);
    int handle_set_output_device(int row);

    // Map a channel to the 1-based spin box value v (device channel v - 1)
    // and return the interface's answer. The box keeps showing v.
    int handle_set_input_left(int v);
    int handle_set_output_left(int v);
    int handle_set_input_right(int v);
    int handle_set_output_right(int v);

    // samples < 0: the next size of the cycle 32, 64, 96, 128 after the one
    // in effect (64 after the system default); 0: only ask; > 0: request
    // samples. Shows and returns the size in effect, negative for the
    // system default.
    int handle_toggle_buffer_samples(int samples = -1);
};

// The page: the device selection in its natural size at the top left.
class OrvConfigDlg : public QWidget {
    Q_OBJECT

public:
    OrvConfigDlg();   // parentless

    QGridLayout config_grid;              // the page's layout
    OrvDeviceSelection device_selection;  // all the controls
};
