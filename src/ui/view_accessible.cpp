#include "ui/view_accessible.h"

#include <QWidget>

#include <utility>

OrvViewAccessible::OrvViewAccessible(QWidget *view, QAccessible::Role role, ShownText shown)
    : QAccessibleWidget(view, role), shown_(shown)
{
}

QString OrvViewAccessible::text(QAccessible::Text t) const
{
    // A screen reader reads the description aloud; clients that look for a
    // value find the same text there.
    if (t == QAccessible::Description || t == QAccessible::Value)
        return shown_(widget());
    return QAccessibleWidget::text(t);
}

void announce_shown_text(QWidget *view, OrvViewAccessible::ShownText shown, QString &announced)
{
    if (!QAccessible::isActive() || !view->isVisible())
        return;
    QString now = shown(view);
    if (now == announced)
        return;
    announced = std::move(now);
    QAccessibleEvent event(view, QAccessible::DescriptionChanged);
    QAccessible::updateAccessibility(&event);
}
