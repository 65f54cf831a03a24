#include "ui/graph_view.h"

#include <QMouseEvent>
#include <QTimer>

OrvGraph::OrvGraph(OrvSpectrum *spectrum)
    : QWidget(), spectrum(spectrum), watchdog(new QTimer(this))
{
    connect(watchdog, SIGNAL(timeout()), this, SLOT(handle_watchdog()));
    setMinimumSize(256, 256);
    setAttribute(Qt::WA_MouseTracking);
    watchdog->start(500);
}

void OrvGraph::handle_watchdog()
{
    update();
}

QString OrvGraph::position_text(QMouseEvent *)
{
    return QString();
}

void OrvGraph::mousePressEvent(QMouseEvent *event)
{
    event->accept();
}

void OrvGraph::mouseMoveEvent(QMouseEvent *)
{
}

void OrvGraph::paintEvent(QPaintEvent *)
{
}
