#include "engine/block_result.h"

#include "engine/number_text.h"

#include <QStringList>

#include <algorithm>
#include <cmath>

namespace {

// JSON's escapes: quote, backslash and the control characters.
QString json_string(const QString &text)
{
    QString out = QStringLiteral("\"");
    for (const QChar c : text) {
        if (c == u'"' || c == u'\\')
            out += u'\\' + QString(c);
        else if (c.unicode() < 0x20)
            out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out + u'"';
}

// A field quoted when it holds a comma, a quote or a line break.
QString csv_field(const QString &text)
{
    if (!text.contains(u',') && !text.contains(u'"') && !text.contains(u'\n') && !text.contains(u'\r'))
        return text;
    QString quoted = text;
    quoted.replace(u'"', QStringLiteral("\"\""));
    return u'"' + quoted + u'"';
}

// The text of a number, empty for an infinity or a NaN. The engine hands out
// none; this is the last guard, as JSON has no word for them: a JSON value
// is then null, a CSV field empty.
QString number_text(double value)
{
    return std::isfinite(value) ? cut_number_text(value) : QString();
}

// The same for a number made into text upstream (hz, r, db, ms, m).
QString number_text(const QString &text)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    return ok && std::isfinite(value) ? text : QString();
}

QString json_value(const QString &number)
{
    return number.isEmpty() ? QStringLiteral("null") : number;
}

QString fundamental_json(const FundamentalText &text)
{
    if (text.note.isEmpty())
        return QStringLiteral("null");
    return QStringLiteral("{\"note\":") + json_string(text.note) + QLatin1String(",\"hz\":") + json_value(number_text(text.hz))
        + QLatin1String(",\"cents\":") + json_value(number_text(text.cents)) + QLatin1String(",\"key\":") + json_value(text.key) + u'}';
}

QString delay_json(const DelayReading &reading)
{
    return QStringLiteral("{\"db\":") + json_value(number_text(reading.db)) + QLatin1String(",\"samples\":") + QString::number(reading.samples) + QLatin1String(",\"ms\":")
        + json_value(number_text(reading.ms)) + QLatin1String(",\"m\":") + json_value(number_text(reading.m)) + u'}';
}

}  // namespace

BlockResult block_result(const PitchClassPeak *peaks, const FundamentalReading &fundamental,
                         const CorrelationPeak &peak, const double *freqs, std::uint64_t window, int rate)
{
    BlockResult result{};
    for (int p = 0; p < PITCH_CLASS_COUNT; p++)
        result.pitch_classes[p] = peaks[p].level;
    result.note = row_note_reading(peaks, freqs);
    result.level = peaks[strongest_pitch_class(peaks)].level;
    result.fundamental = fundamental_text(fundamental);
    const CorrelationStats stats = stats_of_extremes(peak.max_value, peak.imax, peak.min_value, peak.imin, window);
    result.max = delay_reading(stats.a, stats.lmax, rate);
    result.min = delay_reading(stats.b, stats.lmin, rate);
    return result;
}

std::uint64_t row_block_number(std::uint64_t seq, std::uint64_t skipped, std::uint64_t given_up)
{
    // Blocks that made no job come before this one as far as anyone can
    // tell.
    return seq + skipped - given_up;
}

double block_end_time(std::uint64_t block, int rate)
{
    return static_cast<double>((block + 1) * BLOCK_LEN) / rate;
}

BlockResult row_result(const ResultView &view, std::uint64_t seq, const Engine &engine, const NoteTuning &tuning)
{
    return block_result(view.pitch_classes(seq), tuned_reading(view.fundamental(seq), tuning), view.correlation_peak(seq), engine.band_freq(), engine.window_size(),
                        engine.sample_rate());
}

QString block_json(const QString &source, const BlockResult &result)
{
    QStringList levels;
    for (const double level : result.pitch_classes)
        levels << json_value(number_text(level));
    // Joined, not formatted with arg(): a file name may hold a "%1".
    QString json = QStringLiteral("{\"file\":") + json_string(source) + QLatin1String(",\"block\":") + QString::number(result.block)
        + QLatin1String(",\"time\":") + json_value(number_text(result.time)) + QLatin1String(",\"note\":") + (result.note.note.isEmpty() ? QStringLiteral("null") : json_string(result.note.note))
        + QLatin1String(",\"hz\":") + json_value(number_text(result.note.hz)) + QLatin1String(",\"r\":") + json_value(number_text(result.note.r))
        + QLatin1String(",\"level\":") + json_value(number_text(result.level))
        + QLatin1String(",\"fundamental\":") + fundamental_json(result.fundamental)
        + QLatin1String(",\"pitch_classes\":[") + levels.join(u',') + QLatin1String("],\"max\":") + delay_json(result.max)
        + QLatin1String(",\"min\":") + delay_json(result.min);
    if (result.skipped != 0)
        json += QStringLiteral(",\"skipped\":") + QString::number(result.skipped);
    return json + u'}';
}

QString block_csv_header()
{
    QStringList fields = {QStringLiteral("file"), QStringLiteral("block"), QStringLiteral("time"),
                          QStringLiteral("note"), QStringLiteral("hz"),    QStringLiteral("r"),
                          QStringLiteral("level")};
    for (int p = 0; p < PITCH_CLASS_COUNT; p++)
        fields << QStringLiteral("pc%1").arg(p);
    for (const char *side : {"max", "min"})
        for (const char *unit : {"db", "samples", "ms", "m"})
            fields << QStringLiteral("%1_%2").arg(QLatin1String(side), QLatin1String(unit));
    fields << QStringLiteral("skipped");
    fields << QStringLiteral("fundamental_note") << QStringLiteral("fundamental_hz") << QStringLiteral("fundamental_cents")
           << QStringLiteral("fundamental_key");
    return fields.join(u',');
}

QString block_csv(const QString &source, const BlockResult &result)
{
    QStringList fields = {csv_field(source), QString::number(result.block), number_text(result.time),
                          csv_field(result.note.note), number_text(result.note.hz), number_text(result.note.r),
                          number_text(result.level)};
    for (const double level : result.pitch_classes)
        fields << number_text(level);
    for (const DelayReading *reading : {&result.max, &result.min})
        fields << number_text(reading->db) << QString::number(reading->samples) << number_text(reading->ms)
               << number_text(reading->m);
    fields << QString::number(result.skipped);
    fields << csv_field(result.fundamental.note) << number_text(result.fundamental.hz) << number_text(result.fundamental.cents)
           << result.fundamental.key;
    return fields.join(u',');
}
