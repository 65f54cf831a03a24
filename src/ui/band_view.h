// The band view of the spectrum page: the last 129 pitch-class rows as a
// 12-column grey-scale strip, newest at the top, and the note read-out of
// the newest row. While recording and not frozen, each repaint logs the
// newest row's notes and plays them as MIDI. Main (toolkit) thread only.
#pragma once

#include <QWidget>

class OrvSpectrum;
class QTimer;

class OrvBand : public QWidget {
    Q_OBJECT

public:
    // Parentless (the panel's layout adopts it); starts the 500 ms repaint
    // timer and turns on mouse tracking.
    explicit OrvBand(OrvSpectrum *spectrum);

    OrvSpectrum *spectrum;   // the owning panel: note_label, text_log, handle_append_text
    QTimer *watchdog;        // child timer, 500 ms, repaints

    // The notes of the row at height y (0 = newest) and a comment naming its
    // strongest note. While recording, also queues the row as MIDI notes.
    QString row_text(int y);
    // The pitch-class name of the column under the event's position.
    QString column_name(QMouseEvent *event);

public slots:
    void handle_watchdog();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
};
