#include "app/audio_start.h"

#include "app/startup.h"
#include "audio/block_assembler.h"
#include "audio/jack_client.h"
#include "audio/rate_conversion.h"
#include "engine/engine_state.h"
#include "siggen/generator.h"
#include "ui/config_panel.h"
#include "ui/main_window.h"

#include <QMessageBox>
#include <QObject>

void audio_start()
{
    input_history_setup();
    generator_start();
    assembler_start();
    if (audio_open("orvel", true)) {
        QMessageBox box(QMessageBox::Information, QObject::tr("NO AUDIO"),
                        QObject::tr("Cannot connect to JACK server or \nsample rate is different from "
                                    "%1Hz or \nlatency is too high").arg(SERVER_RATE),
                        QMessageBox::Ok, main_window);
        box.exec();
    }
    if (main_window)
        main_window->config_page->device_selection.refresh();
}
