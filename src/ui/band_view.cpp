#include "ui/band_view.h"

#include <QMouseEvent>
#include <QTimer>

OrvBand::OrvBand(OrvSpectrum *spectrum)
    : QWidget(), spectrum(spectrum), watchdog(new QTimer(this))
{
    connect(watchdog, SIGNAL(timeout()), this, SLOT(handle_watchdog()));
    setMinimumSize(192, 1);
    setAttribute(Qt::WA_MouseTracking);
    watchdog->start(500);
}

void OrvBand::handle_watchdog()
{
    update();
}

QString OrvBand::row_text(int)
{
    return QString();
}

QString OrvBand::column_name(QMouseEvent *)
{
    return QString();
}

void OrvBand::mousePressEvent(QMouseEvent *event)
{
    event->accept();
}

void OrvBand::mouseMoveEvent(QMouseEvent *)
{
}

void OrvBand::paintEvent(QPaintEvent *)
{
}
