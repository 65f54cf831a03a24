// The program's only top-level window: four page buttons above a stack of
// the spectrum, signal generator, audio configuration and tuner pages, and
// the audio state in words along the bottom. Closing it (the close button
// or Ctrl+Q) takes the client off the sound server and ends the event loop
// with 0.
// Main (toolkit) thread only.
#pragma once

#include "ui/push_button.h"

#include <QGridLayout>
#include <QLabel>
#include <QStackedWidget>
#include <QTimer>
#include <QWidget>

class Analysis;
class Generator;
class ServerWatch;
class OrvConfigDlg;
class ResultExport;
class OrvSigGen;
class OrvSpectrum;
class OrvTuner;

class OrvMainWindow : public QWidget {
    Q_OBJECT

public:
    // Parentless. Builds the four pages on the analysis and the generator;
    // the bottom line shows what watch says, and closing stops its client.
    // All three must outlive the window.
    OrvMainWindow(Analysis &analysis, Generator &generator, ServerWatch &watch);
    ~OrvMainWindow() override;  // cuts its children's connections first (child_connections.h)

    QGridLayout window_grid;          // the window's layout
    QStackedWidget page_stack;        // the four pages; owns them
    OrvPushButton spectrum_button;    // "&SPECTRUM"
    OrvPushButton siggen_button;      // "SIGNAL &GENERATOR"
    OrvPushButton config_button;      // "&AUDIO CONFIG"
    OrvPushButton tuner_button;       // "&TUNER"
    OrvSpectrum *spectrum_page;       // page 0, current at start
    OrvSigGen *siggen_page;           // page 1
    OrvConfigDlg *config_page;        // page 2; audio_start refreshes its device view
    OrvTuner *tuner_page;             // page 3; its reference is the spectrum page's fine tuning
    ResultExport *result_export;      // Ctrl+S and Ctrl+E; a child of the window
    QLabel audio_status_line;         // bottom line: the audio state in words (audio_status_text)
    QTimer audio_status_timer;        // reads the audio state into the line twice a second

public slots:
    // Bring the page to the front and give it the keyboard focus.
    void handle_spectrum();
    void handle_siggen();
    void handle_config();
    void handle_tuner();
    // Put the audio state's words into audio_status_line.
    void show_audio_status();

protected:
    // Stop the JACK client, then leave the event loop with 0.
    void closeEvent(QCloseEvent *event) override;

private:
    ServerWatch &watch_;              // the audio state shown, and the client closing stops
};
