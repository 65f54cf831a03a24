#include "ui/push_button.h"

#include "ui/button_accessible.h"

#include <QAccessible>
#include <QPainter>
#include <QStyleOptionButton>

namespace {

constexpr int FOCUS_FRAME_PIXELS = 2;

}  // namespace

OrvPushButton::OrvPushButton(const QString &label)
    : QPushButton()
{
    // Before the text: while assistive technology listens, setting the text
    // already builds the button's interface, and the toolkit keeps that one.
    static const bool accessible_installed = (QAccessible::installFactory(button_accessible_factory), true);
    Q_UNUSED(accessible_installed);
    setText(label);
}

void OrvPushButton::set_selected(bool selected)
{
    setChecked(selected);
    setFlat(!selected);
}

void OrvPushButton::initStyleOption(QStyleOptionButton *option) const
{
    QPushButton::initStyleOption(option);
    // Raised already says "on"; the style would draw a checked button
    // pressed in.
    option->state &= ~QStyle::State_On;
}

void OrvPushButton::nextCheckState()
{
}

void OrvPushButton::paintEvent(QPaintEvent *event)
{
    QPushButton::paintEvent(event);
    draw_focus_frame(*this);
}

void draw_focus_frame(QWidget &widget)
{
    // As the style does for its own focus marks: only once the keyboard has
    // moved the focus in this window, not for a click or the start-up focus.
    if (!widget.hasFocus() || !widget.window()->testAttribute(Qt::WA_KeyboardFocusChange))
        return;
    QPainter painter(&widget);
    QPen pen(widget.palette().color(QPalette::Highlight), FOCUS_FRAME_PIXELS);
    pen.setJoinStyle(Qt::MiterJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    // The pen straddles the path: half a width in, it lies inside the widget.
    const qreal half = FOCUS_FRAME_PIXELS / 2.0;
    painter.drawRect(QRectF(widget.rect()).adjusted(half, half, -half, -half));
}
