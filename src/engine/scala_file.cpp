#include "engine/scala_file.h"

#include <QFile>
#include <QStringDecoder>
#include <QStringList>

#include <cmath>

namespace {

QString line_error(int line, const QString &what)
{
    return QStringLiteral("line %1: %2").arg(line).arg(what);
}

// One pitch in cents, or nothing when the word is none.
std::optional<double> pitch_cents(const QString &word)
{
    bool ok = false;
    if (word.contains(u'.')) {
        const double cents = word.toDouble(&ok);
        return ok && std::isfinite(cents) ? std::optional<double>(cents) : std::nullopt;
    }
    const qsizetype slash = word.indexOf(u'/');
    const double numerator = word.left(slash).toDouble(&ok);
    if (!ok)
        return std::nullopt;
    double denominator = 1.0;
    if (slash >= 0) {
        denominator = word.mid(slash + 1).toDouble(&ok);
        if (!ok)
            return std::nullopt;
    }
    // Whole numbers only: "1.5/1" was taken as cents above, and "1e3" is no ratio.
    for (const QString &part : word.split(u'/')) {
        for (const QChar c : part) {
            if (!c.isDigit())
                return std::nullopt;
        }
    }
    if (!(numerator > 0.0) || !(denominator > 0.0) || !std::isfinite(numerator / denominator))
        return std::nullopt;
    return 1200.0 * std::log2(numerator / denominator);
}

}  // namespace

std::optional<ScalaScale> parse_scala(const QString &text, QString *error)
{
    const QStringList lines = text.split(u'\n');
    ScalaScale result;
    int count = -1;          // pitches the file announces; -1 until read
    bool described = false;
    std::vector<double> pitches;
    for (int i = 0; i < lines.size() && (count < 0 || static_cast<int>(pitches.size()) < count); i++) {
        QString line = lines[i];
        if (line.endsWith(u'\r'))
            line.chop(1);
        if (line.startsWith(u'!'))
            continue;
        const int number = i + 1;
        if (!described) {
            result.description = line.trimmed();
            described = true;
            continue;
        }
        const QStringList words = line.simplified().split(u' ', Qt::SkipEmptyParts);
        // Blank lines (a file's last line end, often) say nothing.
        if (words.isEmpty())
            continue;
        if (count < 0) {
            bool ok = false;
            count = words[0].toInt(&ok);
            if (!ok || count < 0) {
                *error = line_error(number, QStringLiteral("the number of pitches is missing"));
                return std::nullopt;
            }
            if (count == 0) {
                *error = line_error(number, QStringLiteral("no pitches: a scale needs at least its period"));
                return std::nullopt;
            }
            if (count > MAX_SCALA_PITCHES) {
                *error = line_error(number, QStringLiteral("%1 pitches are more than %2").arg(count).arg(MAX_SCALA_PITCHES));
                return std::nullopt;
            }
            continue;
        }
        const std::optional<double> cents = pitch_cents(words[0]);
        if (!cents) {
            *error = line_error(number, QStringLiteral("\"%1\" is not a pitch").arg(line.trimmed()));
            return std::nullopt;
        }
        pitches.push_back(*cents);
    }
    if (count < 0 || static_cast<int>(pitches.size()) < count) {
        *error = !described || (count < 0 && result.description.isEmpty()) ? QStringLiteral("empty file")
            : count < 0     ? QStringLiteral("the number of pitches is missing")
                            : QStringLiteral("%1 pitches announced, %2 found").arg(count).arg(pitches.size());
        return std::nullopt;
    }
    result.scale.period = pitches.back();
    if (!(result.scale.period > 0.0)) {
        *error = QStringLiteral("the last pitch, the period, must lie above the tonic");
        return std::nullopt;
    }
    result.scale.cents.assign(1, 0.0);
    result.scale.cents.insert(result.scale.cents.end(), pitches.begin(), pitches.end() - 1);
    return result;
}

std::optional<ScalaScale> read_scala_file(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = path + QStringLiteral(": ") + file.errorString();
        return std::nullopt;
    }
    if (file.size() > MAX_SCALA_FILE_BYTES) {
        *error = path + QStringLiteral(": larger than %1 bytes, not a scale").arg(MAX_SCALA_FILE_BYTES);
        return std::nullopt;
    }
    const QByteArray bytes = file.read(MAX_SCALA_FILE_BYTES + 1);
    if (file.error() != QFileDevice::NoError) {
        *error = path + QStringLiteral(": ") + file.errorString();
        return std::nullopt;
    }
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString text = utf8.decode(bytes);
    if (utf8.hasError())
        text = QString::fromLatin1(bytes);
    QString why;
    std::optional<ScalaScale> scale = parse_scala(text, &why);
    if (!scale)
        *error = path + QStringLiteral(": ") + why;
    return scale;
}
