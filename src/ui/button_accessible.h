// What assistive technology reads of, and does with, an OrvPushButton: the
// toolkit's reading of a push button (name, role, state, shortcut), and
// actions that click it. The toolkit's own "Toggle" flips a checkable
// button's checked state without a press, which would check a second choice
// of a map, or show a toggle on while the engine stays off; both the owner
// and the look act on the click alone. Main (toolkit) thread only.
#pragma once

#include <QAccessibleWidget>

class QAbstractButton;

class OrvButtonAccessible : public QAccessibleWidget {
public:
    explicit OrvButtonAccessible(QAbstractButton *button);

    QAccessible::Role role() const override;
    QAccessible::State state() const override;
    QString text(QAccessible::Text t) const override;

    // Press, and Toggle while checkable, then the widget's own (SetFocus);
    // nothing of ours while the button is disabled.
    QStringList actionNames() const override;
    // Press and Toggle click the button as a mnemonic does: pressed at once,
    // released and clicked a moment later, from the event loop.
    void doAction(const QString &action_name) override;
    QStringList keyBindingsForAction(const QString &action_name) const override;

private:
    QAbstractButton *button() const;
};

// The factory for QAccessible::installFactory: OrvButtonAccessible for
// every OrvPushButton, of whatever subclass.
QAccessibleInterface *button_accessible_factory(const QString &class_name, QObject *object);
