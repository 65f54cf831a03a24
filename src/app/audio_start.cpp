#include "app/audio_start.h"

#include "app/startup.h"
#include "audio/block_assembler.h"
#include "audio/jack_client.h"
#include "audio/rate_conversion.h"
#include "audio/server_watch.h"
#include "engine/engine_state.h"
#include "siggen/generator.h"
#include "ui/config_panel.h"
#include "ui/main_window.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QObject>
#include <QTimer>

namespace {

constexpr const char *CLIENT_NAME = "orvel";

// The watch runs on the toolkit thread for the life of the process, from
// before the "NO AUDIO" box, so a server that appears meanwhile is joined.
void start_server_watch()
{
    auto *watch = new QTimer(QCoreApplication::instance());
    QObject::connect(watch, &QTimer::timeout, [] { audio_watch(CLIENT_NAME, true); });
    watch->start(AUDIO_WATCH_MS);
}

}  // namespace

void audio_start()
{
    input_history_setup();
    generator_start();
    assembler_start();
    const bool failed = audio_open(CLIENT_NAME, true);
    start_server_watch();
    if (failed) {
        QMessageBox box(QMessageBox::Information, QObject::tr("NO AUDIO"),
                        QObject::tr("Cannot connect to JACK server or \nsample rate is different from "
                                    "%1Hz or \nlatency is too high").arg(SERVER_RATE),
                        QMessageBox::Ok, main_window);
        box.exec();
    }
    if (main_window)
        main_window->config_page->device_selection.refresh();
}
