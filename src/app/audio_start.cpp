#include "app/audio_start.h"

#include "app/startup.h"
#include "ui/config_panel.h"
#include "ui/main_window.h"

#include <QMessageBox>
#include <QObject>
#include <QTimer>

void audio_start(OrvelProgram &program)
{
    program.generator->start();
    const bool joined = program.watch->look();
    // The watch runs on the toolkit thread for the life of the window, from
    // before the "NO AUDIO" box, so a server that appears meanwhile is joined.
    auto *watch_timer = new QTimer(program.window.get());
    ServerWatch *watch = program.watch.get();
    QObject::connect(watch_timer, &QTimer::timeout, [watch] { watch->look(); });
    watch_timer->start(AUDIO_WATCH_MS);
    if (!joined) {
        QMessageBox box(QMessageBox::Information, QObject::tr("NO AUDIO"),
                        QObject::tr("Cannot connect to JACK server or \nsample rate is different from "
                                    "%1Hz or \nlatency is too high").arg(SERVER_RATE),
                        QMessageBox::Ok, program.window.get());
        box.exec();
    }
    program.window->config_page->device_selection.refresh();
}
