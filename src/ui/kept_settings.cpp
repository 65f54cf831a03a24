#include "ui/kept_settings.h"

#include "ui/main_window.h"
#include "ui/result_export.h"
#include "ui/siggen_panel.h"
#include "ui/spectrum_panel.h"
#include "ui/tuner_panel.h"

#include <QFileInfo>
#include <QSettings>

#include <cstdio>
#include <optional>

namespace {

// The file, by name rather than through the application's names, which
// are not the library's to set.
#define ORVEL_SETTINGS(name) \
    QSettings name(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("orvel"), QStringLiteral("orvel"))

// Written with every set kept: a file without it, though not empty, was
// not written by us whole, whatever QSettings made of it.
constexpr const char *FORMAT_KEY = "orvel/settings_format";
constexpr int FORMAT = 1;

// The generator page's values and their keys.
struct SigGenKey {
    const char *key;
    std::optional<int> SigGenKept::*value;
};

const SigGenKey SIGGEN_KEYS[] = {
    {"generator/main_input", &SigGenKept::main_input},
    {"generator/correlation_input", &SigGenKept::corr_input},
    {"generator/output_0", &SigGenKept::output_0},
    {"generator/output_1", &SigGenKept::output_1},
    {"generator/centre_hz", &SigGenKept::centre_hz},
    {"generator/width_hz", &SigGenKept::width_hz},
    {"generator/level", &SigGenKept::level},
};

// A kept whole number, or nothing when it was never kept or is no number.
std::optional<int> kept_int(const QSettings &settings, const char *key)
{
    if (!settings.contains(QLatin1String(key)))
        return std::nullopt;
    bool ok = false;
    const int v = settings.value(QLatin1String(key)).toInt(&ok);
    return ok ? std::optional<int>(v) : std::nullopt;
}

// A kept number, or nothing when it was never kept or is no number.
std::optional<double> kept_double(const QSettings &settings, const char *key)
{
    if (!settings.contains(QLatin1String(key)))
        return std::nullopt;
    bool ok = false;
    const double v = settings.value(QLatin1String(key)).toDouble(&ok);
    return ok ? std::optional<double>(v) : std::nullopt;
}

const char *status_words(QSettings::Status status)
{
    return status == QSettings::FormatError ? "cannot be parsed" : "cannot be read";
}

// The tuner page's settings. The reference A4, kept when the user last set
// the reference in hertz, comes after the fine tuning, the same setting, and
// wins: it keeps the tenth of a hertz chosen. Set last in thousandths, the
// fine tuning alone is kept, exactly.
TunerKept kept_tuner(const QSettings &settings)
{
    TunerKept kept;
    kept.reference_a4 = kept_double(settings, "tuner/reference_a4");
    kept.transposition = kept_int(settings, "tuner/transposition");
    kept.tonic = kept_int(settings, "tuner/tonic");
    kept.temperament = settings.value(QStringLiteral("tuner/temperament")).toString();
    kept.scala_file = settings.value(QStringLiteral("tuner/scala_file")).toString();
    kept.steadiness = kept_int(settings, "tuner/steadiness");
    kept.gate_dbfs = kept_double(settings, "tuner/gate_dbfs");
    kept.in_tune_cents = kept_double(settings, "tuner/in_tune_cents");
    return kept;
}

void keep_tuner(const TunerKept &kept, QSettings &settings)
{
    if (kept.reference_a4)
        settings.setValue(QStringLiteral("tuner/reference_a4"), *kept.reference_a4);
    settings.setValue(QStringLiteral("tuner/transposition"), *kept.transposition);
    settings.setValue(QStringLiteral("tuner/tonic"), *kept.tonic);
    settings.setValue(QStringLiteral("tuner/temperament"), kept.temperament);
    if (!kept.scala_file.isEmpty())
        settings.setValue(QStringLiteral("tuner/scala_file"), kept.scala_file);
    settings.setValue(QStringLiteral("tuner/steadiness"), *kept.steadiness);
    settings.setValue(QStringLiteral("tuner/gate_dbfs"), *kept.gate_dbfs);
    settings.setValue(QStringLiteral("tuner/in_tune_cents"), *kept.in_tune_cents);
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
    SigGenKept siggen;
    for (const SigGenKey &kept : SIGGEN_KEYS)
        siggen.*kept.value = kept_int(settings, kept.key);
    window.siggen_page->restore_state(siggen);
    window.spectrum_page->restore_state({kept_int(settings, "spectrum/decay"), kept_int(settings, "spectrum/sensitivity"),
                                         kept_int(settings, "spectrum/fine_tuning")});
    window.tuner_page->restore_state(kept_tuner(settings));
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
    const SigGenKept siggen = window.siggen_page->kept_state();
    for (const SigGenKey &kept : SIGGEN_KEYS)
        settings.setValue(QLatin1String(kept.key), *(siggen.*kept.value));
    const SpectrumKept spectrum = window.spectrum_page->kept_state();
    settings.setValue(QStringLiteral("spectrum/decay"), *spectrum.decay);
    settings.setValue(QStringLiteral("spectrum/sensitivity"), *spectrum.sensitivity);
    settings.setValue(QStringLiteral("spectrum/fine_tuning"), *spectrum.fine_tuning);
    keep_tuner(window.tuner_page->kept_state(), settings);
    if (!window.result_export->directory.isEmpty())
        settings.setValue(QStringLiteral("export/directory"), window.result_export->directory);
    settings.setValue(QStringLiteral("window/geometry"), window.saveGeometry());
    settings.sync();
    if (settings.status() != QSettings::NoError)
        std::fprintf(stderr, "orvel: %s cannot be written; the settings are not kept\n",
                     settings.fileName().toLocal8Bit().constData());
}
