#include "ui/band_view.h"

#include "engine/readout.h"
#include "ui/view_accessible.h"

#include <QMouseEvent>
#include <QPainter>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace {

constexpr int REPAINT_MS = 500;
constexpr int MIN_WIDTH = 192;

}  // namespace

double sensitivity_threshold(int sensitivity)
{
    return std::ldexp(1.0, sensitivity);
}

QImage build_band_strip(const ResultView &view, double threshold)
{
    QImage strip(PITCH_CLASS_COUNT, BAND_STRIP_ROWS, QImage::Format_ARGB32);
    strip.fill(QColor(Qt::white));
    for (int y = 0; y < BAND_STRIP_ROWS; y++) {
        const PitchClassPeak *row = view.pitch_classes(view.job_back(static_cast<std::uint64_t>(y)));
        const int m = strongest_pitch_class(row);
        const double max = row[m].level;
        if (max < MEASURED_LEVEL)
            continue;
        for (int l = 0; l < PITCH_CLASS_COUNT; l++) {
            if (row[l].level < threshold)
                continue;
            const int g = std::clamp(static_cast<int>(row[l].level / max * 255), 0, 255);
            strip.setPixel(l, y, qRgb(255 - g, 255 - g, 255 - g));
        }
    }
    return strip;
}

QString note_readout(const NoteReading &reading)
{
    if (reading.note.isEmpty())
        return QStringLiteral("-");
    return reading.note + QString(" - %1Hz\nR=%2").arg(reading.hz, reading.r);
}

QString note_readout(double note_band, const double *freqs)
{
    return note_readout(note_reading(static_cast<std::int64_t>(note_band), freqs));
}

QString fundamental_readout(const FundamentalReading &reading)
{
    if (!reading.found)
        return QString();
    const FundamentalText text = fundamental_text(reading);
    // A tuner's sign: sharp shows "+".
    const QString cents = text.cents.startsWith(u'-') || text.cents == QStringLiteral("0.0") ? text.cents : u'+' + text.cents;
    return QObject::tr("Fundamental %1 - %2Hz %3 cents").arg(text.note, text.hz, cents);
}

QString widest_fundamental_readout(const Engine &engine)
{
    const std::uint64_t top = engine.band_count() - 1;
    // Fine tuning reaches up to a semitone: twice the top is more than enough.
    const double hz = std::floor(2.0 * engine.band_freq()[top]) + 0.999;
    QString widest;
    const std::int64_t top_note = note_of_band(static_cast<std::int64_t>(top));
    for (std::int64_t note = top_note - 11; note <= top_note + 1; note++) {
        const QString text = fundamental_readout({true, 0.0, hz, note, -50.0});
        if (text.size() > widest.size())
            widest = text;
    }
    return widest;
}

RowNotes row_notes(const PitchClassPeak *row, double threshold, const double *freqs)
{
    RowNotes notes{QString(), {}, 0};
    for (int l = 0; l < PITCH_CLASS_COUNT; l++) {
        if (row[l].level < threshold)
            continue;
        const std::int64_t n = note_of_band(static_cast<std::int64_t>(static_cast<std::uint64_t>(row[l].band)));
        notes.text += note_name(n) + " ";
        notes.keys[notes.key_count++] = static_cast<int>(n % 256);
    }
    const NoteReading reading = row_note_reading(row, freqs);
    if (reading.note.isEmpty())
        notes.text += QStringLiteral("/* - */");
    else
        notes.text += "/* " + reading.note + QString(" %1Hz R=%2 */").arg(reading.hz, reading.r);
    return notes;
}

QString column_note_name(int x, int width)
{
    return pitch_class_name(x * PITCH_CLASS_COUNT / width);
}

void copy_pitch_class_row(const Engine &engine, int back, PitchClassPeak *row, FundamentalReading *fundamental)
{
    engine.read_results([&](const ResultView &view) {
        const std::uint64_t seq = view.job_back(static_cast<std::uint64_t>(back));
        std::copy_n(view.pitch_classes(seq), PITCH_CLASS_COUNT, row);
        if (fundamental != nullptr)
            *fundamental = view.fundamental(seq);
    });
}

int row_at_height(int y, int height)
{
    return std::clamp(y * BAND_STRIP_ROWS / std::max(height, 1), 0, BAND_STRIP_ROWS - 1);
}

OrvBand::OrvBand(const Engine &engine)
    : QWidget(), watchdog(new QTimer(this)), engine_(engine)
{
    connect(watchdog, &QTimer::timeout, this, &OrvBand::handle_watchdog);
    setMinimumSize(MIN_WIDTH, 1);
    setAttribute(Qt::WA_MouseTracking);
    watchdog->start(REPAINT_MS);
    // Before the name: naming the view already builds its interface.
    static const bool accessible_installed = (QAccessible::installFactory(view_accessible_factory<OrvBand>), true);
    Q_UNUSED(accessible_installed);
    setAccessibleName(tr("Pitch classes"));
}

void OrvBand::handle_watchdog()
{
    update();
    announce_shown_text(this, view_shown_text<OrvBand>, announced_text);
}

QString OrvBand::shown_text()
{
    PitchClassPeak row[PITCH_CLASS_COUNT];
    copy_pitch_class_row(engine_, 0, row);
    return row_notes(row, sensitivity_threshold(engine_.current_sensitivity()), engine_.band_freq()).text;
}

QString OrvBand::column_name(QMouseEvent *event)
{
    return column_note_name(qRound(event->position().x()), std::max(width(), 1));
}

void OrvBand::mousePressEvent(QMouseEvent *event)
{
    switch (event->button()) {
    case Qt::LeftButton:
        emit row_chosen(row_at_height(qRound(event->position().y()), height()));
        break;
    case Qt::MiddleButton:
        emit log_line(column_name(event));
        break;
    case Qt::RightButton:
        emit log_line(QString());
        break;
    default:
        break;
    }
    event->accept();
}

void OrvBand::mouseMoveEvent(QMouseEvent *event)
{
    setToolTip(column_name(event));
}

void OrvBand::paintEvent(QPaintEvent *)
{
    const int w = width();
    const int h = height();
    if (w == 0 || h == 0)
        return;

    const double threshold = sensitivity_threshold(engine_.current_sensitivity());
    QImage strip;
    engine_.read_results([&](const ResultView &view) {
        strip = build_band_strip(view, threshold);
    });

    QPainter painter(this);
    painter.drawImage(QRect(0, 0, w, h), strip);
}
