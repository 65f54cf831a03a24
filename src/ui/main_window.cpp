#include "ui/main_window.h"
#include "ui/child_connections.h"

#include "audio/analysis.h"
#include "audio/server_watch.h"
#include "engine/version.h"
#include "ui/config_panel.h"
#include "ui/result_export.h"
#include "ui/siggen_panel.h"
#include "ui/spectrum_panel.h"
#include "ui/tuner_panel.h"

#include <QCoreApplication>
#include <QIcon>
#include <QShortcut>

namespace {

constexpr int AUDIO_STATUS_MS = 500;  // a change shows within half a second of the watch seeing it

}  // namespace

OrvMainWindow::OrvMainWindow(Analysis &analysis, Generator &generator, ServerWatch &watch)
    : QWidget(),
      window_grid(this),
      page_stack(),
      spectrum_button(tr("&SPECTRUM")),
      siggen_button(tr("SIGNAL &GENERATOR")),
      config_button(tr("&AUDIO CONFIG")),
      tuner_button(tr("&TUNER")),
      watch_(watch)
{
    setWindowTitle(QStringLiteral("Orvel v" ORVEL_VERSION));
    setWindowIcon(QIcon(":/orvel.png"));

    connect(&spectrum_button, &QPushButton::released, this, &OrvMainWindow::handle_spectrum);
    connect(&siggen_button, &QPushButton::released, this, &OrvMainWindow::handle_siggen);
    connect(&config_button, &QPushButton::released, this, &OrvMainWindow::handle_config);
    connect(&tuner_button, &QPushButton::released, this, &OrvMainWindow::handle_tuner);

    window_grid.addWidget(&spectrum_button, 0, 0);
    window_grid.addWidget(&siggen_button, 0, 1);
    window_grid.addWidget(&config_button, 0, 2);
    window_grid.addWidget(&tuner_button, 0, 3);
    window_grid.addWidget(&page_stack, 1, 0, 1, 5);
    // The empty fifth column takes the spare width, so the buttons keep
    // their natural size at the left.
    window_grid.setColumnStretch(4, 1);
    window_grid.setRowStretch(1, 1);

    spectrum_page = new OrvSpectrum(analysis, watch.client());
    siggen_page = new OrvSigGen(analysis.engine, generator);
    config_page = new OrvConfigDlg();
    tuner_page = new OrvTuner(analysis.engine);
    page_stack.addWidget(spectrum_page);
    page_stack.addWidget(siggen_page);
    page_stack.addWidget(config_page);
    page_stack.addWidget(tuner_page);
    // One reference: A4 on the tuner page, thousandths on the spectrum page.
    tuner_page->share_reference_with(spectrum_page->tuning_box);

    // Ctrl+S saves the log, Ctrl+E exports the newest result.
    result_export = new ResultExport(this, spectrum_page);

    // The close button's way out, so closeEvent stops the audio as it does.
    auto *quit = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), this);
    connect(quit, &QShortcut::activated, this, &QWidget::close);

    // The audio side changes its state on its own (a server stops, a rate
    // changes), so the line looks at it on a timer.
    window_grid.addWidget(&audio_status_line, 2, 0, 1, 5);
    connect(&audio_status_timer, &QTimer::timeout, this, &OrvMainWindow::show_audio_status);
    audio_status_timer.start(AUDIO_STATUS_MS);
}

void OrvMainWindow::handle_spectrum()
{
    page_stack.setCurrentWidget(spectrum_page);
    spectrum_page->setFocus(Qt::OtherFocusReason);
}

void OrvMainWindow::handle_siggen()
{
    page_stack.setCurrentWidget(siggen_page);
    siggen_page->setFocus(Qt::OtherFocusReason);
}

void OrvMainWindow::handle_config()
{
    page_stack.setCurrentWidget(config_page);
    config_page->setFocus(Qt::OtherFocusReason);
}

void OrvMainWindow::handle_tuner()
{
    page_stack.setCurrentWidget(tuner_page);
    tuner_page->setFocus(Qt::OtherFocusReason);
}

void OrvMainWindow::show_audio_status()
{
    audio_status_line.setText(QString::fromStdString(audio_status_text(watch_.status())));
}

void OrvMainWindow::closeEvent(QCloseEvent *)
{
    watch_.client().stop();
    QCoreApplication::exit(0);
}

OrvMainWindow::~OrvMainWindow()
{
    disconnect_children(this);
}
