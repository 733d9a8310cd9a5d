#include "ui/answerwithin.h"

#include <QCoreApplication>

namespace ui {

namespace {

// Whether the program's event loop may still be posted to, from any thread: false once the
// application object is being torn down.
std::mutex applicationLock;
bool applicationGone = false;

void markApplicationGone()
{
    const std::lock_guard<std::mutex> hold(applicationLock);
    applicationGone = true;
}

} // namespace

void watchApplicationEnd()
{
    static const bool registered = [] {
        qAddPostRoutine(markApplicationGone);
        return true;
    }();
    Q_UNUSED(registered)
}

void postToApplication(std::function<void()> job)
{
    const std::lock_guard<std::mutex> hold(applicationLock);
    if (!applicationGone && QCoreApplication::instance()) {
        QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(job), Qt::QueuedConnection);
    }
}

} // namespace ui
