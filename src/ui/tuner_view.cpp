#include "ui/tuner_view.h"

#include "audio/sample_ring.h"
#include "ui/view_accessible.h"

#include <QAccessible>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr double SCALE_CENTS = 50.0;      // the needle's scale reaches +/- this
constexpr int TICK_CENTS = 5;             // a tick every 5 cents ...
constexpr int LABEL_CENTS = 25;           // ... labelled every 25

// Shares of the widget's height, top to bottom.
constexpr double NOTE_SHARE = 0.46;
constexpr double LETTER_SHARE = 0.40;     // the letter's pixel size: twice the fifth a reader two metres off needs
constexpr double OCTAVE_SHARE = 0.18;
constexpr double DETAIL_SHARE = 0.10;
constexpr double DETAIL_TEXT_SHARE = 0.06;
constexpr double SCALE_SHARE = 0.11;
constexpr double LABEL_SHARE = 0.07;
constexpr double STROBE_SHARE = 0.14;
constexpr double SIDE_SHARE = 0.06;       // of the width, left and right of the scale and strobe
constexpr double LETTER_SPLIT = 0.56;     // of the width: the letter ends and the octave begins here
constexpr int MIN_TEXT_PIXELS = 11;

const QColor IN_TUNE_GREEN(0, 150, 0);
const QColor ZONE_GREEN(120, 210, 120);
const QColor OFF_RED(200, 30, 30);
const QColor SCALE_GREY(225, 225, 225);
const QColor STRIPE_DARK(40, 40, 40);
const QColor STRIPE_STILL(150, 150, 150);   // no note: the stripes stand, greyed

// The median of values[0 .. n) (n > 0), reordering them: the mean of the
// middle two for an even n.
double median(double *values, int n)
{
    std::sort(values, values + n);
    return n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

int share(double fraction, int whole)
{
    return static_cast<int>(std::lround(fraction * whole));
}

}  // namespace

TunerReading tuner_reading(const FundamentalReading *newest_first, int count, double level_dbfs,
                           const TunerSettings &settings)
{
    // The newest row alone decides whether there is a note: a note that
    // ended is never held by the older rows of the median.
    if (count <= 0 || !newest_first[0].found || !(level_dbfs >= settings.gate_dbfs))
        return {};
    const int n = std::min(count, std::clamp(settings.steadiness, MIN_STEADINESS, MAX_STEADINESS));
    FundamentalReading placed[MAX_STEADINESS];
    double bands[MAX_STEADINESS];
    int found = 0;
    for (int i = 0; i < n; i++) {
        if (!newest_first[i].found)
            continue;
        placed[found] = tuned_reading(newest_first[i], settings.tuning);
        bands[found] = placed[found].band;
        found++;
    }
    // The lower middle band is a real row's, so its key has a row; the mean
    // of two could fall on a note between two that were played.
    std::nth_element(bands, bands + (found - 1) / 2, bands + found);
    const std::int64_t key = place_note(bands[(found - 1) / 2], settings.tuning).key;
    double cents[MAX_STEADINESS];
    double hz[MAX_STEADINESS];
    int on_key = 0;
    for (int i = 0; i < found; i++) {
        if (placed[i].note == key) {
            cents[on_key] = placed[i].cents;
            hz[on_key] = placed[i].hz;
            on_key++;
        }
    }
    TunerReading reading;
    reading.found = true;
    reading.key = key;
    reading.written_key = key + settings.written;
    reading.cents = median(cents, on_key);
    reading.hz = median(hz, on_key);
    reading.in_tune = std::abs(reading.cents) <= settings.in_tune_cents;
    return reading;
}

double input_level_dbfs(const double *history, std::uint64_t length, std::uint64_t next)
{
    const std::uint64_t n = std::min<std::uint64_t>(BLOCK_LEN, length);
    double sum = 0.0;
    for (std::uint64_t i = 0; i < n; i++) {
        const double v = history[(next + length - n + i) % length] / FULL_SCALE;
        sum += v * v;
    }
    if (n == 0 || sum <= 0.0)
        return -std::numeric_limits<double>::infinity();
    return 10.0 * std::log10(sum / static_cast<double>(n));
}

QString tuner_letter_text(const TunerReading &reading)
{
    return reading.found ? letter_name(reading.written_key) : QStringLiteral("-");
}

QString tuner_octave_text(const TunerReading &reading)
{
    return reading.found ? QString::number(scientific_octave(reading.written_key)) : QString();
}

QString tuner_hz_text(const TunerReading &reading)
{
    return reading.found ? QStringLiteral("%1 Hz").arg(reading.hz, 0, 'f', 2) : QString();
}

QString tuner_cents_text(const TunerReading &reading)
{
    if (!reading.found)
        return QString();
    // No "-0.0": what rounds to nothing has no sign.
    if (std::abs(reading.cents) < STROBE_STILL_CENTS)
        return QStringLiteral("0.0 cents");
    return QString::asprintf("%+.1f cents", reading.cents);
}

QString tuner_spoken_text(const TunerReading &reading)
{
    if (!reading.found)
        return QStringLiteral("No note");
    const QString name = spoken_note_name(reading.written_key);
    if (reading.in_tune)
        return QStringLiteral("%1, in tune").arg(name);
    return QStringLiteral("%1, %2 cents %3")
        .arg(name)
        .arg(std::abs(reading.cents), 0, 'f', 1)
        .arg(reading.cents > 0.0 ? QStringLiteral("sharp") : QStringLiteral("flat"));
}

double strobe_speed(const TunerReading &reading)
{
    if (!reading.found || std::abs(reading.cents) < STROBE_STILL_CENTS)
        return 0.0;
    return STROBE_PX_PER_SECOND_PER_CENT * std::clamp(reading.cents, -STROBE_MAX_CENTS, STROBE_MAX_CENTS);
}

double strobe_advance(double phase, double speed, double seconds)
{
    const double moved = std::fmod(phase + speed * seconds, STROBE_PERIOD_PX);
    return moved < 0.0 ? moved + STROBE_PERIOD_PX : moved;
}

int cents_x(double cents, const QRect &scale)
{
    const double c = std::clamp(cents, -SCALE_CENTS, SCALE_CENTS);
    return scale.left() + share((c + SCALE_CENTS) / (2 * SCALE_CENTS), scale.width() - 1);
}

TunerPicture tuner_picture(const TunerReading &reading, double in_tune_cents, double phase, QSize size)
{
    const int w = std::max(size.width(), 1);
    const int h = std::max(size.height(), 1);
    TunerPicture p;
    int top = share(0.01, h);

    const int note_h = share(NOTE_SHARE, h);
    p.letter = tuner_letter_text(reading);
    p.letter_pixels = std::max(share(LETTER_SHARE, h), MIN_TEXT_PIXELS);
    p.octave = tuner_octave_text(reading);
    p.octave_pixels = std::max(share(OCTAVE_SHARE, h), MIN_TEXT_PIXELS);
    if (reading.found) {
        // The letter ends where the octave begins, low beside it as a subscript.
        const int split = share(LETTER_SPLIT, w);
        p.letter_rect = QRect(0, top, split, note_h);
        p.octave_rect = QRect(split, top + note_h / 2, w - split, note_h / 2 - share(0.04, h));
    } else {
        p.letter_rect = QRect(0, top, w, note_h);
        p.octave_rect = QRect();
    }
    top += note_h;

    const int detail_h = share(DETAIL_SHARE, h);
    p.detail = reading.found ? tuner_hz_text(reading) + QStringLiteral("   ") + tuner_cents_text(reading) : QString();
    p.detail_pixels = std::max(share(DETAIL_TEXT_SHARE, h), MIN_TEXT_PIXELS);
    p.detail_rect = QRect(0, top, w, detail_h);
    top += detail_h;

    const int side = share(SIDE_SHARE, w);
    p.scale_rect = QRect(side, top, std::max(w - 2 * side, 2), std::max(share(SCALE_SHARE, h), 2));
    const double zone = std::clamp(in_tune_cents, 0.0, SCALE_CENTS);
    const int zone_left = cents_x(-zone, p.scale_rect);
    p.zone_rect = QRect(zone_left, p.scale_rect.top(), cents_x(zone, p.scale_rect) - zone_left + 1, p.scale_rect.height());
    for (int c = -static_cast<int>(SCALE_CENTS); c <= SCALE_CENTS; c += TICK_CENTS) {
        QString label;
        if (c % LABEL_CENTS == 0)
            label = c == 0 ? QStringLiteral("0") : QString::asprintf("%+d", c);
        p.ticks.push_back({cents_x(c, p.scale_rect), label});
    }
    p.needle_shown = reading.found;
    p.needle_x = reading.found ? cents_x(reading.cents, p.scale_rect) : cents_x(0.0, p.scale_rect);
    p.in_tune = reading.found && reading.in_tune;
    top += p.scale_rect.height() + share(LABEL_SHARE, h);

    p.strobe_rect = QRect(side, top, p.scale_rect.width(), std::max(share(STROBE_SHARE, h), 2));
    const int stripe_w = static_cast<int>(STROBE_PERIOD_PX / 2);
    for (double x = p.strobe_rect.left() + phase - STROBE_PERIOD_PX; x <= p.strobe_rect.right(); x += STROBE_PERIOD_PX) {
        const QRect stripe = QRect(static_cast<int>(std::lround(x)), p.strobe_rect.top(), stripe_w, p.strobe_rect.height())
                                 .intersected(p.strobe_rect);
        if (!stripe.isEmpty())
            p.stripes.push_back(stripe);
    }
    return p;
}

OrvTunerView::OrvTunerView() : QWidget()
{
    // Before the name: naming the view already builds its interface. Every
    // time: the toolkit forgets its factories with the application, and
    // installs one only once.
    QAccessible::installFactory(view_accessible_factory<OrvTunerView>);
    setAccessibleName(tr("Tuner"));
    setToolTip(tr("Scientific pitch notation: A4 = 440 Hz is MIDI key 69; the spectrum page's read-out calls it A5"));
    setMinimumSize(240, 180);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

void OrvTunerView::show_reading(const TunerReading &reading, double in_tune_cents, double phase)
{
    reading_ = reading;
    in_tune_cents_ = in_tune_cents;
    phase_ = phase;
    update();
}

QSize OrvTunerView::sizeHint() const
{
    return {560, 420};
}

void OrvTunerView::paintEvent(QPaintEvent *)
{
    const TunerPicture p = tuner_picture(reading_, in_tune_cents_, phase_, size());
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor text = palette().color(QPalette::WindowText);
    const QColor note_colour = p.in_tune ? IN_TUNE_GREEN : text;

    QFont font = painter.font();
    font.setPixelSize(p.letter_pixels);
    // A note in bold; the dash of no note thin and grey, not a black bar.
    font.setBold(p.needle_shown);
    painter.setFont(font);
    painter.setPen(p.needle_shown ? note_colour : STRIPE_STILL);
    painter.drawText(p.letter_rect, (p.octave.isEmpty() ? Qt::AlignHCenter : Qt::AlignRight) | Qt::AlignVCenter, p.letter);
    if (!p.octave.isEmpty()) {
        font.setPixelSize(p.octave_pixels);
        painter.setFont(font);
        painter.drawText(p.octave_rect, Qt::AlignLeft | Qt::AlignBottom, p.octave);
    }
    font.setBold(false);
    font.setPixelSize(p.detail_pixels);
    painter.setFont(font);
    painter.setPen(text);
    painter.drawText(p.detail_rect, Qt::AlignCenter, p.detail);

    painter.fillRect(p.scale_rect, SCALE_GREY);
    painter.fillRect(p.zone_rect, ZONE_GREEN);
    const int label_pixels = std::max(p.detail_pixels * 3 / 4, MIN_TEXT_PIXELS);
    font.setPixelSize(label_pixels);
    painter.setFont(font);
    for (const TunerPicture::Tick &tick : p.ticks) {
        const int tick_h = tick.label.isEmpty() ? p.scale_rect.height() / 4 : p.scale_rect.height() / 2;
        painter.drawLine(tick.x, p.scale_rect.bottom() - tick_h, tick.x, p.scale_rect.bottom());
        if (!tick.label.isEmpty())
            painter.drawText(QRect(tick.x - 3 * label_pixels, p.scale_rect.bottom() + 2, 6 * label_pixels, label_pixels * 3 / 2),
                             Qt::AlignHCenter | Qt::AlignTop, tick.label);
    }
    if (p.needle_shown) {
        painter.setPen(QPen(p.in_tune ? IN_TUNE_GREEN : OFF_RED, std::max(3, p.scale_rect.height() / 12)));
        painter.drawLine(p.needle_x, p.scale_rect.top() - p.scale_rect.height() / 5, p.needle_x, p.scale_rect.bottom());
    }

    painter.setPen(Qt::NoPen);
    painter.fillRect(p.strobe_rect, palette().color(QPalette::Base));
    for (const QRect &stripe : p.stripes)
        painter.fillRect(stripe, p.needle_shown ? STRIPE_DARK : STRIPE_STILL);
    painter.setPen(text);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(p.strobe_rect.adjusted(0, 0, -1, -1));
}
