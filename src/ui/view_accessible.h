// What assistive technology reads of a view that only draws its results
// (the graph, the pitch-class strip): the view's accessible name, and as its
// description and value the text of what it shows, built when asked for, so
// it is never older than the results. Main (toolkit) thread only.
#pragma once

#include <QAccessibleWidget>
#include <QWidget>
#include <QString>

class OrvViewAccessible : public QAccessibleWidget {
public:
    // The text of what view shows now; it may read the results through the
    // engine's functions, which take their locks.
    using ShownText = QString (*)(QWidget *view);

    OrvViewAccessible(QWidget *view, QAccessible::Role role, ShownText shown);

    QString text(QAccessible::Text t) const override;

private:
    ShownText shown_;
};

// For the view's repaint tick: while assistive technology listens and the
// view is shown, builds its text and, when it differs from announced, stores
// it there and reports the view's description changed. Builds nothing
// otherwise.
void announce_shown_text(QWidget *view, OrvViewAccessible::ShownText shown, QString &announced);

// The text a view of class View shows, through its shown_text().
template <typename View>
QString view_shown_text(QWidget *view)
{
    return static_cast<View *>(view)->shown_text();
}

// The factory for QAccessible::installFactory that reads views of class
// View as charts of their shown text.
template <typename View>
QAccessibleInterface *view_accessible_factory(const QString &class_name, QObject *object)
{
    if (class_name != QLatin1String(View::staticMetaObject.className()) || !object->isWidgetType())
        return nullptr;
    return new OrvViewAccessible(static_cast<QWidget *>(object), QAccessible::Chart, view_shown_text<View>);
}
