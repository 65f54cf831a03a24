// The push button of every page. Its checked state is whatever its owner
// sets (a click alone changes nothing) and shows as the raised look, as a
// selection always has, rather than as the style's pressed-in one; so a
// screen reader hears "checked" where the eye sees a raised button. While it
// has the keyboard focus, once the keyboard has moved the focus in its
// window, a frame in the highlight colour surrounds it. Assistive
// technology reads it as a push button (a check box while checkable), and its
// actions click it: they go wherever a click goes (button_accessible.h).
// Main (toolkit) thread only.
#pragma once

#include <QPushButton>

class QStyleOptionButton;

class OrvPushButton : public QPushButton {
    Q_OBJECT

public:
    // Parentless, unchecked and not checkable.
    explicit OrvPushButton(const QString &label);

    // Checked and raised, or unchecked and flat: a selection or an on state.
    // The button must be checkable.
    void set_selected(bool selected);

protected:
    void initStyleOption(QStyleOptionButton *option) const override;
    void nextCheckState() override;
    void paintEvent(QPaintEvent *event) override;
};

// The frame a control draws around itself while it has the keyboard focus
// and the keyboard (Tab, a shortcut) has moved the focus in its window, over
// what it has painted; nothing otherwise. Call at the end of
// the widget's own paintEvent.
void draw_focus_frame(QWidget &widget);
