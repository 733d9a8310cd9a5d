#pragma once
// Input as the window system delivers it from outside the program: a drag from another program
// (the entry, then the drop) and a key held until the keyboard repeats it.

#include <QApplication>
#include <QClipboard>
#include <QUrl>
#include <QDropEvent>
#include <QMimeData>
#include <QTest>
#include <QWidget>
#include <QWindow>

#include <memory>

namespace testsupport {

// data dragged in from another program and dropped at (target pixels), offered as a copy; whether
// the target took both the entry and the drop. data stays the caller's.
inline bool dropFromOutside(QWidget* target, const QMimeData* data, QPoint at = QPoint(5, 5))
{
    QDragEnterEvent enter(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    if (!enter.isAccepted()) {
        return false;
    }
    QDropEvent drop(QPointF(at), Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    drop.setAccepted(false);
    QApplication::sendEvent(target, &drop);
    return drop.isAccepted();
}

// The file at path dropped on target from another program, or copied there and pasted into
// target's window with Ctrl+V; false when a drop was not taken.
inline bool handFileOver(QWidget* target, const QString& path, bool dropped)
{
    auto data = std::make_unique<QMimeData>();
    data->setUrls({QUrl::fromLocalFile(path)});
    if (dropped) {
        return dropFromOutside(target, data.get());
    }
    QGuiApplication::clipboard()->setMimeData(data.release());
    QTest::keyClick(target->window()->windowHandle(), Qt::Key_V, Qt::ControlModifier);
    return true;
}

// key pressed, repeated by the keyboard repeats times, and let go.
inline void holdKey(QWindow* window, int key, Qt::KeyboardModifiers modifiers, int repeats = 9)
{
    qt_handleKeyEvent(window, QEvent::KeyPress, key, modifiers);
    for (int i = 0; i < repeats; ++i) {
        qt_handleKeyEvent(window, QEvent::KeyRelease, key, modifiers, QString(), true);
        qt_handleKeyEvent(window, QEvent::KeyPress, key, modifiers, QString(), true);
    }
    qt_handleKeyEvent(window, QEvent::KeyRelease, key, modifiers);
}

} // namespace testsupport
