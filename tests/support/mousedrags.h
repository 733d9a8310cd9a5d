#pragma once
// Mouse drags as Qt 5 really delivers them: QTest::mouseMove sends no move event while a button
// is held, so the move is a hand-built QMouseEvent with the button in buttons().

#include <QApplication>
#include <QMouseEvent>
#include <QTest>
#include <QWidget>

namespace testsupport {

// A move to position (widget pixels) with buttons held.
inline void moveHeld(QWidget* widget, QPoint position, Qt::MouseButtons buttons = Qt::LeftButton,
                     Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QMouseEvent move(QEvent::MouseMove, QPointF(position), QPointF(widget->mapToGlobal(position)),
                     Qt::NoButton, buttons, modifiers);
    QApplication::sendEvent(widget, &move);
}

// A press at from, one move to to with the button held, and a release there.
inline void drag(QWidget* widget, QPoint from, QPoint to, Qt::MouseButton button = Qt::LeftButton,
                 Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QTest::mousePress(widget, button, modifiers, from);
    moveHeld(widget, to, button, modifiers);
    QTest::mouseRelease(widget, button, modifiers, to);
}

} // namespace testsupport
