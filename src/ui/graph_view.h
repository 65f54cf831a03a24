// The graph view of the spectrum page: the newest tone row as bars, the last
// 129 rows as a history, the zoomed correlation window with its statistics,
// and the one-third-octave labels; the mouse read-out names what lies under
// the pointer. Main (toolkit) thread only.
//
// The paint is split in two: the functions below turn plain data (the
// result buffers, the zoom window, the widget size) into images, texts and
// label positions, and paintEvent only draws what they return.
#pragma once

#include "engine/engine.h"
#include "engine/readout.h"

#include <QImage>
#include <QPoint>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <vector>

class QTimer;
struct ToneEntry;

// The four lines of the statistics box: MAX and MIN in dB with their delays,
// the window's RANGE, and the LAG (jobs under way). Pure.
QString statistics_text(const CorrelationStats &stats, int rate,
                        std::uint64_t jobs_under_way);

// ---- the three images --------------------------------------------------------

// The pictures of one paint at their own size; the painter scales each into
// a third of the widget.
struct GraphImages {
    QImage bars;         // groups x (height / 6 + 1), transparent: the newest row
    QImage history;      // groups x (row_count / 2 + 1), white: newest row on line 0
    QImage correlation;  // width x (height / 6 + 1), transparent: the zoom window
};

// Blank images for a widget of width x height pixels showing groups semitone
// groups out of row_count result rows. Allocates: call it before
// read_results.
GraphImages blank_graph_images(int width, int height, std::uint64_t groups,
                               std::uint64_t row_count);

// The indices of window that column x of a strip of columns columns covers:
// those whose share of the width starts in x, or, where the window has fewer
// indices than columns, the one index whose share spans x. Never empty;
// x must be below columns. Pure.
ZoomRange column_indices(ZoomRange window, std::uint64_t x, std::uint64_t columns);

// Red columns for sum[window] on image, each a line from the largest to the
// smallest value of the indices it covers (column_indices), always through
// the centre line image.height() / 2; +-scale reaches the edge. The window
// spreads over width - 1 columns, so no peak falls between columns however
// long it is. Pure apart from image; O(window + width) sums read.
void draw_correlation(QImage &image, const double *sum, ZoomRange window, double scale);

// Bars of one row of groups entries growing up from the bottom line of
// image, rowmax being image.height() - 1 tall: black where a group is at
// least both neighbours (the edge groups compare with the next two inward),
// mid grey elsewhere. Pure apart from image.
void draw_bars(QImage &image, const ToneEntry *row, std::uint64_t groups, double rowmax);

// The history.height() newest rows of view, line y showing
// view.job_back(y), each in grey levels relative to its own maximum; the
// newest row also goes to bars. Rows whose maximum is below 2.0 stay white.
// Pure apart from the images; the caller holds the rows still (read_results).
void draw_history(GraphImages &images, const ResultView &view);

// Fills the blank images from view and the panel's zoom window, and returns
// the window's statistics. The caller holds the results still; nothing here
// touches the painter.
CorrelationStats fill_graph_images(GraphImages &images, const ResultView &view, ZoomRange window);

// ---- frequency labels ----------------------------------------------------------

struct FrequencyLabel {
    QString text;      // "31Hz", "1.2kHz", ...
    QPoint baseline;   // left end of the text's baseline, in widget pixels
};

// A one-third-octave centre frequency as a label: whole Hz below 1 kHz,
// kHz cut to one decimal above. Pure.
QString third_octave_text(double hz);

// One label where third_octave (groups entries, bands 1..31) changes band,
// at the group's column of a width x height widget, along the bottom edge;
// a label closer than 80 pixels to the last one on the bottom line is lifted
// 20 pixels above the previous one. Pure.
std::vector<FrequencyLabel> frequency_labels(const std::uint8_t *third_octave,
                                             std::uint64_t groups, int width, int height);

// ---- mouse read-out ------------------------------------------------------------

// What the read-out reads: the band table and the zoom window with the
// engine parameters that turn its indices into delays.
struct ReadoutSource {
    std::uint64_t band_count;
    const QString *band_name;
    const double *band_freq;
    ZoomRange window;
    std::uint64_t window_size;
    int rate;
};

// The name and frequency of the semitone group under column x of a widget
// width pixels wide; empty outside the bands. Pure.
QString frequency_text(int x, int width, const ReadoutSource &source);
// The delay under column x in milliseconds and metres; left of the window it
// reads the largest delay, right of it the smallest. Pure.
QString delay_text(int x, int width, const ReadoutSource &source);
// The frequency text over the upper two thirds of a width x height widget,
// the delay text elsewhere. Pure.
QString readout_text(int x, int y, int width, int height, const ReadoutSource &source);

class OrvGraph : public QWidget {
    Q_OBJECT

public:
    // Parentless (the panel's layout adopts it); shows engine's results,
    // which must outlive it, over the whole correlation window until
    // set_zoom says otherwise. Starts the 500 ms repaint timer and turns on
    // mouse tracking. Assistive technology finds it as a chart named "Graph"
    // (view_accessible.h).
    explicit OrvGraph(const Engine &engine);

    // The zoom window to show from now on (the panel's current one); the
    // next paint (the watchdog's, at the latest) shows it.
    void set_zoom(ZoomRange window);
    ZoomRange zoom() const { return zoom_; }

    QTimer *watchdog;        // child timer, 500 ms: repaints, and announces a new text

    // What lies under the event's position: the semitone group and its
    // frequency over the upper two thirds, the delay over the lower third.
    // Reads fixed engine tables and the zoom window: no lock.
    QString position_text(QMouseEvent *event);

    // The statistics box's four lines for the current zoom window, as the
    // next paint draws them: what assistive technology reads. Reads the job
    // counts, then the results through read_results; O(window).
    QString shown_text();

    QString announced_text;  // the text assistive technology was last told of

signals:
    // A line for the log: the position text on a left click, an empty line
    // on a right click.
    void log_line(const QString &text);

public slots:
    void handle_watchdog();

protected:
    // Emits log_line for a left or right click; every press is accepted.
    void mousePressEvent(QMouseEvent *event) override;
    // The position text as the tool tip.
    void mouseMoveEvent(QMouseEvent *event) override;
    // Reads the job counts, then the results through read_results; draws only
    // after that.
    void paintEvent(QPaintEvent *event) override;

private:
    const Engine &engine_;
    ZoomRange zoom_;         // the part of the correlation shown
};
