// Typed connections call a slot on the receiver's own class. While a
// widget's QWidget destructor runs, its subclass is already gone, yet its
// children may still signal (a held button is released as the focus
// leaves, a spin box finishes its edit): the slot would run on a destroyed
// object. A widget whose slots its children call cuts those connections
// first, in its own destructor. Main (toolkit) thread only.
#pragma once

#include <QObject>

inline void disconnect_children(QObject *receiver)
{
    for (QObject *child : receiver->findChildren<QObject *>())
        QObject::disconnect(child, nullptr, receiver, nullptr);
}
