#include "ui/button_accessible.h"

#include "ui/push_button.h"

#include <QKeySequence>

namespace {

// The text as read aloud: "&&" is an ampersand, a single "&" only marks the
// mnemonic.
QString without_mnemonic(const QString &text)
{
    QString plain;
    for (qsizetype i = 0; i < text.size(); i++) {
        if (text[i] == u'&' && i + 1 < text.size())
            i++;
        plain += text[i];
    }
    return plain;
}

}  // namespace

OrvButtonAccessible::OrvButtonAccessible(QAbstractButton *button)
    : QAccessibleWidget(button, QAccessible::Button)
{
    // As the toolkit relates a button to what it controls.
    addControllingSignal(button->isCheckable() ? QStringLiteral("toggled(bool)") : QStringLiteral("clicked()"));
}

QAbstractButton *OrvButtonAccessible::button() const
{
    return static_cast<QAbstractButton *>(widget());
}

QAccessible::Role OrvButtonAccessible::role() const
{
    // A checked button is a selection or an on state: a check box, as the
    // toolkit reads any checkable button.
    return button()->isCheckable() ? QAccessible::CheckBox : QAccessible::Button;
}

QAccessible::State OrvButtonAccessible::state() const
{
    QAccessible::State state = QAccessibleWidget::state();
    state.checkable = button()->isCheckable();
    state.checked = button()->isChecked();
    state.pressed = button()->isDown();
    return state;
}

QString OrvButtonAccessible::text(QAccessible::Text t) const
{
    QString str;
    if (t == QAccessible::Name) {
        str = widget()->accessibleName();
        if (str.isEmpty())
            str = without_mnemonic(button()->text());
    } else if (t == QAccessible::Accelerator) {
        str = QKeySequence::mnemonic(button()->text()).toString(QKeySequence::NativeText);
    }
    return str.isEmpty() ? QAccessibleWidget::text(t) : str;
}

QStringList OrvButtonAccessible::actionNames() const
{
    QStringList names;
    if (widget()->isEnabled()) {
        if (button()->isCheckable())
            names << toggleAction();
        names << pressAction();
    }
    return names + QAccessibleWidget::actionNames();
}

void OrvButtonAccessible::doAction(const QString &action_name)
{
    if (action_name == pressAction() || action_name == toggleAction()) {
        // animateClick does nothing to a disabled button.
        button()->animateClick();
        return;
    }
    QAccessibleWidget::doAction(action_name);
}

QStringList OrvButtonAccessible::keyBindingsForAction(const QString &action_name) const
{
    if ((action_name == pressAction() || action_name == toggleAction()) && !button()->shortcut().isEmpty())
        return {button()->shortcut().toString(QKeySequence::NativeText)};
    return QAccessibleWidget::keyBindingsForAction(action_name);
}

QAccessibleInterface *button_accessible_factory(const QString &, QObject *object)
{
    // The toolkit asks with each class name from the object's own upwards;
    // the first ask, with the subclass's name, answers for every subclass.
    auto *button = qobject_cast<OrvPushButton *>(object);
    return button != nullptr ? new OrvButtonAccessible(button) : nullptr;
}
