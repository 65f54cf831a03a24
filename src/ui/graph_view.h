// The graph view of the spectrum page: the newest tone row as bars, the last
// 129 rows as a history, the zoomed correlation window with its statistics,
// and the one-third-octave labels; the mouse read-out names what lies under
// the pointer. Main (toolkit) thread only.
#pragma once

#include <QWidget>

class OrvSpectrum;
class QTimer;

class OrvGraph : public QWidget {
    Q_OBJECT

public:
    // Parentless (the panel's layout adopts it); starts the 500 ms repaint
    // timer and turns on mouse tracking.
    explicit OrvGraph(OrvSpectrum *spectrum);

    OrvSpectrum *spectrum;   // the owning panel: zoom stack and text_log
    QTimer *watchdog;        // child timer, 500 ms, repaints

    // What lies under the event's position: the semitone group and its
    // frequency over the upper two thirds, the delay over the lower third.
    QString position_text(QMouseEvent *event);

public slots:
    void handle_watchdog();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
};
