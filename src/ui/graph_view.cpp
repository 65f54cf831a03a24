#include "ui/graph_view.h"

#include "engine/local_peak.h"
#include "engine/number_text.h"
#include "ui/view_accessible.h"

#include "engine/engine_types.h"
#include "engine/kernels.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace {

const QRgb RED = qRgb(255, 0, 0);
const QRgb BLACK = qRgb(0, 0, 0);
const QRgb MID_GREY = qRgb(127, 127, 127);
const QRgb WHITE = qRgb(255, 255, 255);
const QColor BOX_FILL(255, 255, 255, 128);   // the statistics box lets the graph show through

// Tone levels start at 1.0; a row that never reaches twice that is noise.
constexpr double VISIBLE_ROW_LEVEL = 2.0;
constexpr int FULL_GREY = 255;

constexpr int STATISTICS_FONT_PIXELS = 16;
constexpr int LABEL_BASE_HEIGHT = 20;    // the bottom label line, above the bottom edge
constexpr int LABEL_STEP = 20;           // lift of a label that would crowd the previous one
constexpr int LABEL_MIN_SPACING = 80;    // room a label needs on the bottom line
constexpr std::uint8_t NO_BAND = 255;    // matches no one-third-octave band
constexpr int THIRD_OCTAVE_BANDS = 31;

QRgb &pixel(QImage &image, std::uint64_t x, int y)
{
    return reinterpret_cast<QRgb *>(image.scanLine(y))[x];
}

// Jobs submitted but not finished, as the LAG line counts them.
std::uint64_t jobs_under_way(const JobCounts &counts)
{
    return (counts.submitted - counts.completed) % RESULT_ROWS;
}

void draw_graph(QPainter &painter, int width, int height, const GraphImages &images,
                const QString &statistics, const std::vector<FrequencyLabel> &labels)
{
    painter.setPen(QPen(QBrush(Qt::white), 0, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    painter.setBrush(Qt::white);
    painter.drawRect(0, 0, width, height);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);

    const int third = height / 3 + 1;
    painter.drawImage(QRectF(0, third, width, third), images.history,
                      QRectF(images.history.rect()));
    painter.drawImage(QRectF(0, 2 * third, width, third), images.correlation,
                      QRectF(images.correlation.rect()));
    painter.drawImage(QRectF(0, 0, width, third), images.bars, QRectF(images.bars.rect()));

    painter.setPen(QPen(Qt::black, 0));
    painter.setBrush(Qt::black);
    painter.drawRect(QRectF(0, third - 2, width, 4.0));

    QFont font = painter.font();
    font.setPixelSize(STATISTICS_FONT_PIXELS);
    painter.setFont(font);

    // Text, a translucent box over it, and the text again on top so it
    // stays crisp whatever lies beneath.
    const QRect whole(0, 0, width, height);
    const int flags = Qt::AlignLeft | Qt::AlignTop;
    QRect box;
    painter.drawText(whole, flags, statistics, &box);
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(BOX_FILL);
    painter.drawRect(box);
    painter.setPen(QPen(Qt::black, 0));
    painter.setBrush(Qt::black);
    painter.drawText(whole, flags, statistics);

    for (const FrequencyLabel &label : labels)
        painter.drawText(label.baseline, label.text);
}

}  // namespace

QString statistics_text(const CorrelationStats &stats, int rate, std::uint64_t jobs_under_way)
{
    const DelayReading max = delay_reading(stats.a, stats.lmax, rate);
    const DelayReading min = delay_reading(stats.b, stats.lmin, rate);
    return QStringLiteral("MAX :: %1dB %2 samples %3ms %4m\n"
                          "MIN :: %5dB %6 samples %7ms %8m\n"
                          "RANGE :: %9 samples %10 - %11ms\n"
                          "LAG :: %12")
        .arg(max.db)
        .arg(max.samples)
        .arg(max.ms)
        .arg(max.m)
        .arg(min.db)
        .arg(min.samples)
        .arg(min.ms)
        .arg(min.m)
        .arg(stats.length)
        .arg(cut_number_text(delay_ms(stats.lnear, rate)))
        .arg(cut_number_text(delay_ms(stats.lfar, rate)))
        .arg(jobs_under_way);
}

GraphImages blank_graph_images(int width, int height, std::uint64_t groups,
                               std::uint64_t row_count)
{
    const int g = static_cast<int>(groups);
    const int strip = height / 6 + 1;
    GraphImages images{
        QImage(g, strip, QImage::Format_ARGB32),
        QImage(g, static_cast<int>(row_count / 2 + 1), QImage::Format_ARGB32),
        QImage(width, strip, QImage::Format_ARGB32),
    };
    images.bars.fill(Qt::transparent);
    images.history.fill(WHITE);
    images.correlation.fill(Qt::transparent);
    return images;
}

ZoomRange column_indices(ZoomRange window, std::uint64_t x, std::uint64_t columns)
{
    // Index k of the window starts in column k * columns / n, so column x
    // starts the indices from ceil(x n / columns) up to the one before the
    // first that starts in x + 1.
    const std::uint64_t n = window.last + 1 - window.first;
    const std::uint64_t last = ((x + 1) * n + columns - 1) / columns - 1;
    const std::uint64_t first = std::min((x * n + columns - 1) / columns, last);
    return {window.first + first, window.first + last};
}

void draw_correlation(QImage &image, const double *sum, ZoomRange window, double scale)
{
    const int h6 = image.height() - 1;
    const int mid = (h6 + 1) / 2;
    const auto line_of = [&](double value) {
        return std::clamp(static_cast<int>((1.0 - value / scale) * mid), 0, h6);
    };
    // The last column stays empty, as the window spreads over width - 1.
    const int columns = image.width() - 1;
    for (int x = 0; x < columns; x++) {
        const ZoomRange covered = column_indices(window, static_cast<std::uint64_t>(x),
                                                 static_cast<std::uint64_t>(columns));
        double lo = sum[covered.first];
        double hi = lo;
        for (std::uint64_t i = covered.first + 1; i <= covered.last; i++) {
            lo = std::min(lo, sum[i]);
            hi = std::max(hi, sum[i]);
        }
        const int bottom = std::max(line_of(lo), mid);
        for (int line = std::min(line_of(hi), mid); line <= bottom; line++)
            pixel(image, static_cast<std::uint64_t>(x), line) = RED;
    }
}

void draw_bars(QImage &image, const ToneEntry *row, std::uint64_t groups, double rowmax)
{
    const int h6 = image.height() - 1;
    for (std::uint64_t l = 0; l < groups; l++) {
        const int h = std::min(static_cast<int>(row[l].level / rowmax * h6), h6);
        if (h <= 0)
            continue;
        const QRgb colour = is_local_peak(row, groups, l, PeakEdges::inward) ? BLACK : MID_GREY;
        for (int j = 0; j < h; j++)
            pixel(image, l, h6 - j) = colour;
    }
}

void draw_history(GraphImages &images, const ResultView &view)
{
    const std::uint64_t groups = view.groups;
    for (int y = 0; y < images.history.height(); y++) {
        const ToneEntry *row = view.tone_row(view.job_back(static_cast<std::uint64_t>(y)));
        double rowmax = 0.0;
        for (std::uint64_t l = 0; l < groups; l++)
            rowmax = std::max(rowmax, row[l].level);
        if (rowmax < VISIBLE_ROW_LEVEL)
            continue;
        if (y == 0)
            draw_bars(images.bars, row, groups, rowmax);
        for (std::uint64_t l = 0; l < groups; l++) {
            if (row[l].level < MEASURED_LEVEL)
                continue;
            // The cube lets weak groups fade quickly: half the maximum is
            // barely grey.
            const double ratio = row[l].level / rowmax;
            const int g = std::clamp(static_cast<int>(ratio * ratio * ratio * FULL_GREY), 0,
                                     FULL_GREY);
            const int grey = FULL_GREY - g;
            QRgb &p = pixel(images.history, l, y);
            if (qRed(p) > grey)
                p = qRgb(grey, grey, grey);
        }
    }
}

CorrelationStats fill_graph_images(GraphImages &images, const ResultView &view, ZoomRange window)
{
    const CorrelationStats stats = correlation_stats(view.correlation_sum, window, view.window_size);
    draw_correlation(images.correlation, view.correlation_sum, window, stats.scale);
    draw_history(images, view);
    return stats;
}

QString third_octave_text(double hz)
{
    if (hz >= 1000)
        return QStringLiteral("%1.%2kHz").arg(static_cast<int>(hz / 1000)).arg(static_cast<int>(hz / 100) % 10);
    return QStringLiteral("%1Hz").arg(static_cast<int>(hz));
}

std::vector<FrequencyLabel> frequency_labels(const std::uint8_t *third_octave,
                                             std::uint64_t groups, int width, int height)
{
    std::vector<FrequencyLabel> labels;
    std::uint8_t previous = NO_BAND;
    int dy = 0;
    std::int64_t anchor = 0;
    for (std::uint64_t l = 0; l < groups; l++) {
        const std::uint8_t band = third_octave[l];
        if (band == previous)
            continue;
        previous = band;
        if (band < 1 || band > THIRD_OCTAVE_BANDS)
            continue;
        const auto x = static_cast<std::int64_t>(l) * width / static_cast<std::int64_t>(groups);
        dy += LABEL_STEP;
        if (x - anchor >= LABEL_MIN_SPACING)
            dy = 0;
        labels.push_back({third_octave_text(THIRD_OCTAVE_CENTRE_HZ[band - 1]),
                          QPoint(static_cast<int>(x), height - LABEL_BASE_HEIGHT - dy)});
        if (dy == 0)
            anchor = x;
    }
    return labels;
}

QString frequency_text(int x, int width, const ReadoutSource &source)
{
    if (width <= 0)
        return QString();
    const auto b = static_cast<std::int32_t>(
        std::int64_t{x} * static_cast<std::int64_t>(source.band_count) / width);
    if (b < 0 || static_cast<std::uint64_t>(b) >= source.band_count)
        return QString();
    // The bars and history columns show a group's first band.
    const std::uint64_t b0 = static_cast<std::uint64_t>(b) / BANDS_PER_GROUP * BANDS_PER_GROUP;
    return source.band_name[b0] + QStringLiteral(" /* %1Hz */").arg(millihertz_text(source.band_freq[b0]));
}

QString delay_text(int x, int width, const ReadoutSource &source)
{
    if (width <= 0)
        return QString();
    // Signed, so that a pointer dragged off the left edge reads past the
    // window's left end instead of wrapping round to somewhere inside it.
    const auto first = static_cast<std::int64_t>(source.window.first);
    const auto n = static_cast<std::int64_t>(source.window.last) + 1 - first;
    const auto last_index = static_cast<std::int64_t>(source.window_size) - 1;
    const std::int64_t i = std::clamp(first + n * x / width, std::int64_t{0}, last_index);
    const std::uint64_t samples = delay_of_index(static_cast<std::uint64_t>(i), source.window_size);
    return QStringLiteral("/* %1ms %2m */")
        .arg(cut_number_text(delay_ms(samples, source.rate)))
        .arg(cut_number_text(delay_metres(samples, source.rate)));
}

QString readout_text(int x, int y, int width, int height, const ReadoutSource &source)
{
    if (height <= 0)
        return QString();
    // Bars and history (upper two thirds) are laid out by group; the
    // correlation below, or a drag above the widget, reads a delay.
    const int third = 3 * y / height;
    if (third >= 0 && third <= 1)
        return frequency_text(x, width, source);
    return delay_text(x, width, source);
}

OrvGraph::OrvGraph(const Engine &engine)
    : QWidget(), watchdog(new QTimer(this)), engine_(engine), zoom_{0, engine.window_size() - 1}
{
    connect(watchdog, &QTimer::timeout, this, &OrvGraph::handle_watchdog);
    setMinimumSize(256, 256);
    setAttribute(Qt::WA_MouseTracking);
    watchdog->start(500);
    // Before the name: naming the view already builds its interface.
    static const bool accessible_installed = (QAccessible::installFactory(view_accessible_factory<OrvGraph>), true);
    Q_UNUSED(accessible_installed);
    setAccessibleName(tr("Graph"));
}

void OrvGraph::set_zoom(ZoomRange window)
{
    zoom_ = window;
}

void OrvGraph::handle_watchdog()
{
    update();
    announce_shown_text(this, view_shown_text<OrvGraph>, announced_text);
}

QString OrvGraph::shown_text()
{
    const JobCounts counts = engine_.job_counts();
    CorrelationStats stats;
    engine_.read_results([&](const ResultView &view) {
        stats = correlation_stats(view.correlation_sum, zoom_, view.window_size);
    });
    return statistics_text(stats, engine_.sample_rate(), jobs_under_way(counts));
}

QString OrvGraph::position_text(QMouseEvent *event)
{
    const QPoint at = event->position().toPoint();
    const ReadoutSource source{engine_.band_count(), engine_.band_name(), engine_.band_freq(),
                               zoom_,                engine_.window_size(), engine_.sample_rate()};
    return readout_text(at.x(), at.y(), width(), height(), source);
}

void OrvGraph::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        emit log_line(position_text(event));
    else if (event->button() == Qt::RightButton)
        emit log_line(QString());
    event->accept();
}

void OrvGraph::mouseMoveEvent(QMouseEvent *event)
{
    setToolTip(position_text(event));
}

void OrvGraph::paintEvent(QPaintEvent *)
{
    const int w = width();
    const int h = height();
    if (w == 0 || h == 0)
        return;
    const std::uint64_t groups = engine_.group_count();

    const JobCounts counts = engine_.job_counts();
    GraphImages images = blank_graph_images(w, h, groups, RESULT_ROWS);
    CorrelationStats stats;
    engine_.read_results([&](const ResultView &view) { stats = fill_graph_images(images, view, zoom_); });

    const QString statistics = statistics_text(stats, engine_.sample_rate(), jobs_under_way(counts));
    const std::vector<FrequencyLabel> labels = frequency_labels(engine_.third_octave_band(), groups, w, h);

    // Only now, with the results released, does the toolkit draw.
    QPainter painter(this);
    draw_graph(painter, w, h, images, statistics, labels);
}
