// Pictures of the pages and of a choice map alone, drawn on the offscreen
// platform, for looking at how they look: the generator's channel map with
// a selection away from the first button (raised against flat), the
// generator page at its natural size and enlarged, and the spectrum page.
// Checks nothing; the widget tests check the looks.
//
//     orvel_widget_pictures DIR
#include "audio/analysis.h"
#include "audio/jack_client.h"
#include "siggen/generator.h"
#include "support/qt_app.h"
#include "ui/button_map.h"
#include "ui/siggen_panel.h"
#include "ui/spectrum_panel.h"

#include <QTest>

#include <cstdio>
#include <cstdlib>

namespace {

QString out_dir;

bool save(QWidget &widget, const char *name)
{
    const QString path = out_dir + "/" + name + ".png";
    const bool saved = widget.grab().save(path);
    std::fprintf(stderr, "%s %s\n", saved ? "wrote" : "could not write", qPrintable(path));
    return saved;
}

bool show(QWidget &widget)
{
    widget.show();
    return QTest::qWaitForWindowExposed(&widget);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: orvel_widget_pictures DIR\n");
        return 2;
    }
    out_dir = argv[1];
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QtApp qt;
    // Nothing started: the pages set and read these, and the spectrum
    // page's tick reads the (empty) results.
    Analysis analysis(engine_config(16000));
    Generator generator(analysis.exchange);
    JackClient jack(analysis.exchange);
    bool ok = true;
    {
        OrvSigGen page(analysis.engine, generator);
        ok &= show(page);
        QTest::mouseClick(page.main_input_map->buttons[4], Qt::LeftButton);
        ok &= save(*page.main_input_map, "button_map");
        ok &= save(page, "siggen_page");
        page.resize(1400, 900);
        QCoreApplication::processEvents();
        ok &= save(page, "siggen_page_large");
    }
    {
        OrvSpectrum panel(analysis, jack);
        ok &= show(panel);
        ok &= save(panel, "spectrum_panel");
    }
    return ok ? 0 : 1;
}
