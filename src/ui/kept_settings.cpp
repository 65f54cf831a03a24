#include "ui/kept_settings.h"

#include "ui/button_map.h"
#include "ui/main_window.h"
#include "ui/result_export.h"
#include "ui/siggen_panel.h"
#include "ui/spectrum_panel.h"
#include "ui/tuner_panel.h"

#include <QFileInfo>
#include <QScrollBar>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QSettings>
#include <QSlider>
#include <QSpinBox>

#include <cstdio>

namespace {

// The file, by name rather than through the application's names, which
// are not the library's to set.
#define ORVEL_SETTINGS(name) \
    QSettings name(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("orvel"), QStringLiteral("orvel"))

// Written with every set kept: a file without it, though not empty, was
// not written by us whole, whatever QSettings made of it.
constexpr const char *FORMAT_KEY = "orvel/settings_format";
constexpr int FORMAT = 1;

struct MapKey {
    const char *key;
    OrvButtonMap *OrvSigGen::*map;
};

const MapKey SIGGEN_MAPS[] = {
    {"generator/main_input", &OrvSigGen::main_input_map},
    {"generator/correlation_input", &OrvSigGen::corr_input_map},
    {"generator/output_0", &OrvSigGen::output_0_map},
    {"generator/output_1", &OrvSigGen::output_1_map},
};

struct SliderKey {
    const char *key;
    QScrollBar *(*bar)(const OrvSigGen &page);
};

const SliderKey SIGGEN_SLIDERS[] = {
    {"generator/centre_hz", [](const OrvSigGen &page) { return page.band_pass_box->scroll_bar; }},
    {"generator/width_hz", [](const OrvSigGen &page) { return page.band_width_box->scroll_bar; }},
    {"generator/level", [](const OrvSigGen &page) { return page.level_box->scroll_bar; }},
};

// A kept whole number, or nothing when it was never kept or is no number.
bool kept_int(const QSettings &settings, const char *key, int &value)
{
    if (!settings.contains(QLatin1String(key)))
        return false;
    bool ok = false;
    const int v = settings.value(QLatin1String(key)).toInt(&ok);
    if (ok)
        value = v;
    return ok;
}

void select_kept(OrvButtonMap *map, const QSettings &settings, const char *key)
{
    int index = 0;
    if (kept_int(settings, key, index) && index >= 0 && index < map->button_count)
        map->handle_released(index);
}

// A kept number, or nothing when it was never kept or is no number.
bool kept_double(const QSettings &settings, const char *key, double &value)
{
    if (!settings.contains(QLatin1String(key)))
        return false;
    bool ok = false;
    const double v = settings.value(QLatin1String(key)).toDouble(&ok);
    if (ok)
        value = v;
    return ok;
}

void select_kept(QComboBox *box, const QSettings &settings, const char *key)
{
    int index = 0;
    if (kept_int(settings, key, index) && index >= 0 && index < box->count())
        box->setCurrentIndex(index);
}

const char *status_words(QSettings::Status status)
{
    return status == QSettings::FormatError ? "cannot be parsed" : "cannot be read";
}

// The tuner page's settings. The reference A4, kept when the user last set
// the reference in hertz, comes after the fine tuning, the same setting, and
// wins: it keeps the tenth of a hertz chosen. Set last in thousandths, the
// fine tuning alone is kept, exactly.
void restore_tuner(OrvTuner &tuner, const QSettings &settings)
{
    double value = 0.0;
    if (kept_double(settings, "tuner/reference_a4", value)) {
        tuner.reference_box->setValue(value);
        // The box may show it already, rounded from the fine tuning, and
        // then tells nobody.
        tuner.handle_reference();
    }
    select_kept(tuner.transposition_box, settings, "tuner/transposition");
    select_kept(tuner.tonic_box, settings, "tuner/tonic");
    const QString temperament = settings.value(QStringLiteral("tuner/temperament")).toString();
    if (!temperament.isEmpty())
        tuner.select_temperament_option(temperament, settings.value(QStringLiteral("tuner/scala_file")).toString());
    int rows = 0;
    if (kept_int(settings, "tuner/steadiness", rows))
        tuner.steadiness_slider->setValue(rows);
    if (kept_double(settings, "tuner/gate_dbfs", value))
        tuner.gate_box->setValue(value);
    if (kept_double(settings, "tuner/in_tune_cents", value))
        tuner.zone_box->setValue(value);
}

void keep_tuner(const OrvTuner &tuner, QSettings &settings)
{
    if (tuner.reference_set_in_hz())
        settings.setValue(QStringLiteral("tuner/reference_a4"), tuner.reference_box->value());
    settings.setValue(QStringLiteral("tuner/transposition"), tuner.transposition_box->currentIndex());
    settings.setValue(QStringLiteral("tuner/tonic"), tuner.tonic_box->currentIndex());
    settings.setValue(QStringLiteral("tuner/temperament"), tuner.temperament_option());
    if (!tuner.scala_path().isEmpty())
        settings.setValue(QStringLiteral("tuner/scala_file"), tuner.scala_path());
    settings.setValue(QStringLiteral("tuner/steadiness"), tuner.steadiness_slider->value());
    settings.setValue(QStringLiteral("tuner/gate_dbfs"), tuner.gate_box->value());
    settings.setValue(QStringLiteral("tuner/in_tune_cents"), tuner.zone_box->value());
}

}  // namespace

QString kept_settings_path()
{
    ORVEL_SETTINGS(settings);
    return settings.fileName();
}

void restore_settings(OrvMainWindow &window)
{
    ORVEL_SETTINGS(settings);
    const QFileInfo file(settings.fileName());
    if (!file.exists())
        return;  // the first start
    QSettings::Status status = settings.status();
    if (status == QSettings::NoError && file.size() > 0 && settings.value(QLatin1String(FORMAT_KEY)).toInt() != FORMAT)
        status = QSettings::FormatError;
    if (status != QSettings::NoError) {
        std::fprintf(stderr, "orvel: %s %s; starting from the defaults\n", file.filePath().toLocal8Bit().constData(),
                     status_words(status));
        return;
    }
    OrvSigGen &siggen = *window.siggen_page;
    for (const MapKey &map : SIGGEN_MAPS)
        select_kept(siggen.*map.map, settings, map.key);
    int value = 0;
    for (const SliderKey &slider : SIGGEN_SLIDERS) {
        // setValue brings it into the bar's range, which the engine rate sets.
        if (kept_int(settings, slider.key, value))
            slider.bar(siggen)->setValue(value);
    }
    OrvSpectrum &spectrum = *window.spectrum_page;
    select_kept(spectrum.decay_map, settings, "spectrum/decay");
    if (kept_int(settings, "spectrum/sensitivity", value))
        spectrum.sensitivity_slider->setValue(value);
    if (kept_int(settings, "spectrum/fine_tuning", value))
        spectrum.tuning_box->setValue(value);
    restore_tuner(*window.tuner_page, settings);
    const QString directory = settings.value(QStringLiteral("export/directory")).toString();
    if (!directory.isEmpty())
        window.result_export->directory = directory;
    const QByteArray geometry = settings.value(QStringLiteral("window/geometry")).toByteArray();
    if (!geometry.isEmpty())
        window.restoreGeometry(geometry);
}

void keep_settings(const OrvMainWindow &window)
{
    ORVEL_SETTINGS(settings);
    settings.clear();
    settings.setValue(QLatin1String(FORMAT_KEY), FORMAT);
    const OrvSigGen &siggen = *window.siggen_page;
    for (const MapKey &map : SIGGEN_MAPS)
        settings.setValue(QLatin1String(map.key), (siggen.*map.map)->selection);
    for (const SliderKey &slider : SIGGEN_SLIDERS)
        settings.setValue(QLatin1String(slider.key), slider.bar(siggen)->value());
    const OrvSpectrum &spectrum = *window.spectrum_page;
    settings.setValue(QStringLiteral("spectrum/decay"), spectrum.decay_map->selection);
    settings.setValue(QStringLiteral("spectrum/sensitivity"), spectrum.sensitivity_slider->value());
    settings.setValue(QStringLiteral("spectrum/fine_tuning"), spectrum.tuning_box->value());
    keep_tuner(*window.tuner_page, settings);
    if (!window.result_export->directory.isEmpty())
        settings.setValue(QStringLiteral("export/directory"), window.result_export->directory);
    settings.setValue(QStringLiteral("window/geometry"), window.saveGeometry());
    settings.sync();
    if (settings.status() != QSettings::NoError)
        std::fprintf(stderr, "orvel: %s cannot be written; the settings are not kept\n",
                     settings.fileName().toLocal8Bit().constData());
}
