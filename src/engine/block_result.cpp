#include "engine/block_result.h"

#include "engine/number_text.h"

#include <QStringList>

#include <algorithm>

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

QString number_text(double value)
{
    return cut_number_text(value);
}

QString delay_json(const DelayReading &reading)
{
    return QStringLiteral("{\"db\":") + reading.db + QLatin1String(",\"samples\":") + QString::number(reading.samples) + QLatin1String(",\"ms\":")
        + reading.ms + QLatin1String(",\"m\":") + reading.m + u'}';
}

}  // namespace

BlockResult block_result(const PitchClassPeak *peaks, const CorrelationPeak &peak,
                         const double *freqs, std::uint64_t window, int rate)
{
    BlockResult result{};
    int strongest = 0;
    for (int p = 0; p < PITCH_CLASS_COUNT; p++) {
        result.pitch_classes[p] = peaks[p].level;
        // The first of equal levels, as the read-out picks it.
        if (peaks[p].level > peaks[strongest].level)
            strongest = p;
    }
    result.note = note_reading(static_cast<std::int64_t>(peaks[strongest].band), freqs);
    result.level = peaks[strongest].level;
    const CorrelationStats stats = stats_of_extremes(peak.max_value, peak.imax, peak.min_value, peak.imin, window);
    result.max = delay_reading(stats.a, stats.lmax, rate);
    result.min = delay_reading(stats.b, stats.lmin, rate);
    return result;
}

double block_end_time(std::uint64_t block, int rate)
{
    return static_cast<double>((block + 1) * BLOCK_LEN) / rate;
}

bool row_is_final(std::uint64_t seq)
{
    bool final = false;
    read_results([&] { final = row_final_job[seq % result_row_count] == seq + 1; });
    return final;
}

BlockResult row_result(std::uint64_t seq)
{
    PitchClassPeak peaks[PITCH_CLASS_COUNT];
    CorrelationPeak peak;
    read_results([&] {
        const std::uint64_t row = seq % result_row_count;
        std::copy_n(pitch_class_rows + row * PITCH_CLASS_COUNT, PITCH_CLASS_COUNT, peaks);
        peak = correlation_rows[row];
    });
    return block_result(peaks, peak, band_freq, window_size, sample_rate);
}

QString block_json(const QString &source, const BlockResult &result)
{
    QStringList levels;
    for (const double level : result.pitch_classes)
        levels << number_text(level);
    // Joined, not formatted with arg(): a file name may hold a "%1".
    QString json = QStringLiteral("{\"file\":") + json_string(source) + QLatin1String(",\"block\":") + QString::number(result.block)
        + QLatin1String(",\"time\":") + number_text(result.time) + QLatin1String(",\"note\":") + json_string(result.note.note)
        + QLatin1String(",\"hz\":") + result.note.hz + QLatin1String(",\"r\":") + result.note.r + QLatin1String(",\"level\":") + number_text(result.level)
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
    return fields.join(u',');
}

QString block_csv(const QString &source, const BlockResult &result)
{
    QStringList fields = {csv_field(source), QString::number(result.block), number_text(result.time),
                          csv_field(result.note.note), result.note.hz, result.note.r, number_text(result.level)};
    for (const double level : result.pitch_classes)
        fields << number_text(level);
    for (const DelayReading *reading : {&result.max, &result.min})
        fields << reading->db << QString::number(reading->samples) << reading->ms << reading->m;
    fields << QString::number(result.skipped);
    return fields.join(u',');
}
