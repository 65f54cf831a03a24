// The program's only top-level window: three page buttons above a stack of
// the spectrum, signal generator and audio configuration pages, and the audio
// state in words along the bottom. Closing it (the close button or Ctrl+Q)
// takes the client off the sound server and ends the event loop with 0.
// Main (toolkit) thread only.
#pragma once

#include "ui/push_button.h"

#include <QGridLayout>
#include <QLabel>
#include <QStackedWidget>
#include <QTimer>
#include <QWidget>

class OrvConfigDlg;
class OrvSigGen;
class OrvSpectrum;

// A page button, parentless.
class OrvMainButton : public OrvPushButton {
    Q_OBJECT

public:
    explicit OrvMainButton(const QString &label);
};

class OrvMainWindow : public QWidget {
    Q_OBJECT

public:
    // Parentless. Builds the three pages, which read sample_rate and
    // window_size: both must be fixed by now.
    OrvMainWindow();

    QGridLayout window_grid;          // the window's layout
    QStackedWidget page_stack;        // the three pages; owns them
    OrvMainButton spectrum_button;    // "&SPECTRUM"
    OrvMainButton siggen_button;      // "SIGNAL &GENERATOR"
    OrvMainButton config_button;      // "&AUDIO CONFIG"
    OrvSpectrum *spectrum_page;       // page 0, current at start
    OrvSigGen *siggen_page;           // page 1
    OrvConfigDlg *config_page;        // page 2; audio_start refreshes its device view
    QLabel audio_status_line;         // bottom line: the audio state in words (audio_status_text)
    QTimer audio_status_timer;        // reads the audio state into the line twice a second

public slots:
    // Bring the page to the front and give it the keyboard focus.
    void handle_spectrum();
    void handle_siggen();
    void handle_config();
    // Put the audio state's words into audio_status_line.
    void show_audio_status();

protected:
    // audio_stop(), then leave the event loop with 0.
    void closeEvent(QCloseEvent *event) override;
};
