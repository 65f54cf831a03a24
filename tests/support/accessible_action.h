// Working a control as a screen reader does: through the actions its
// accessible interface offers.
#pragma once

#include <QAbstractButton>
#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QStringList>
#include <QTest>

// Of the actions button's interface offers, those that work it as a click
// does (Press, Toggle); not those that only move the focus.
inline QStringList click_actions(QAbstractButton *button)
{
    QStringList names;
    QAccessibleInterface *exposed = QAccessible::queryAccessibleInterface(button);
    if (exposed == nullptr || exposed->actionInterface() == nullptr)
        return names;
    for (const QString &name : exposed->actionInterface()->actionNames()) {
        if (name == QAccessibleActionInterface::pressAction() || name == QAccessibleActionInterface::toggleAction())
            names << name;
    }
    return names;
}

// Does the named action and lets the event loop run until the button is up
// again: a click a screen reader asks for may be animated, its release
// following on a timer. False if it is still down after a generous limit.
inline bool do_accessible_action(QAbstractButton *button, const QString &name)
{
    QAccessible::queryAccessibleInterface(button)->actionInterface()->doAction(name);
    return QTest::qWaitFor([button] { return !button->isDown(); }, 5000);
}
