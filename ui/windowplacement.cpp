#include "ui/windowplacement.h"

#include <QDataStream>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <algorithm>

namespace ui {

namespace {

constexpr int gap = 8;

// The start of QWidget::saveGeometry()'s data: its magic number, a version, the frame and normal
// (client) geometry, the screen's number, the maximized and full-screen flags and (version 2 on)
// the width of the screen the window was on. valid is false when saved is not such data.
struct KeptGeometry {
    bool valid = false;
    QRect frame;
    QRect normal;
    qint32 screenNumber = 0;
    qint32 screenWidth = 0; // 0: not told
};

// Where the screen's width lies in saveGeometry()'s data: after the magic number, the version,
// two rectangles, the screen's number and two flags.
constexpr qint64 screenWidthOffset = 4 + 2 + 2 + 16 + 16 + 4 + 1 + 1;

KeptGeometry keptGeometry(const QByteArray& saved)
{
    QDataStream stream(saved);
    stream.setVersion(QDataStream::Qt_4_0);
    quint32 magic = 0;
    quint16 major = 0;
    quint16 minor = 0;
    quint8 maximized = 0;
    quint8 fullScreen = 0;
    KeptGeometry kept;
    stream >> magic >> major >> minor >> kept.frame >> kept.normal >> kept.screenNumber >> maximized >> fullScreen;
    if (major > 1) {
        stream >> kept.screenWidth;
    }
    kept.valid = stream.status() == QDataStream::Ok && magic == 0x1D9D0CB;
    if (!kept.valid) {
        kept.screenWidth = 0;
    }
    return kept;
}

} // namespace

QRect placeBeside(const QRect& owner, QSize size, const QRect& available)
{
    if (available.isEmpty()) {
        return QRect(QPoint(owner.x() + owner.width() + gap, owner.y()), size);
    }
    const QSize fitted = size.boundedTo(available.size());
    const int ownerEnd = owner.x() + owner.width();
    QPoint at;
    if (ownerEnd + gap + fitted.width() <= available.x() + available.width()) {
        at = QPoint(ownerEnd + gap, owner.top());
    } else if (owner.left() - gap - fitted.width() >= available.left()) {
        at = QPoint(owner.left() - gap - fitted.width(), owner.top());
    } else if (available.x() + available.width() - ownerEnd >= owner.left() - available.left()) {
        // No room on either side: against the screen's edge on the roomier side, over as little
        // of the owner as can be, so that the window being edited stays in sight.
        at = QPoint(available.x() + available.width() - fitted.width(), owner.top());
    } else {
        at = QPoint(available.left(), owner.top());
    }
    at.setX(std::clamp(at.x(), available.left(), available.right() + 1 - fitted.width()));
    at.setY(std::clamp(at.y(), available.top(), available.bottom() + 1 - fitted.height()));
    return QRect(at, fitted);
}

QRect fitInside(const QRect& frame, const QRect& available)
{
    if (available.isEmpty()) {
        return frame;
    }
    const QSize fitted = frame.size().boundedTo(available.size());
    const int x = std::clamp(frame.x(), available.left(), available.right() + 1 - fitted.width());
    const int y = std::clamp(frame.y(), available.top(), available.bottom() + 1 - fitted.height());
    return QRect(QPoint(x, y), fitted);
}

namespace {

QMargins frameOf(const KeptGeometry& kept, const QMargins& fallback)
{
    const QRect& frame = kept.frame;
    const QRect& normal = kept.normal;
    if (!kept.valid || normal.isEmpty() || !frame.contains(normal)) {
        return fallback;
    }
    const QMargins margins(normal.left() - frame.left(), normal.top() - frame.top(), frame.right() - normal.right(),
                           frame.bottom() - normal.bottom());
    return margins.isNull() ? fallback : margins;
}

} // namespace

QMargins rememberedFrame(const QByteArray& saved, const QMargins& fallback)
{
    return frameOf(keptGeometry(saved), fallback);
}

bool restoreKeptGeometry(QWidget* window, const QByteArray& saved)
{
    if (!window) {
        return false;
    }
    if (window->restoreGeometry(saved)) {
        return true;
    }
    const KeptGeometry kept = keptGeometry(saved);
    const QList<QScreen*> screens = QGuiApplication::screens();
    if (!kept.valid || kept.screenWidth <= 0 || kept.screenNumber < 0 || screens.isEmpty()) {
        return false;
    }
    // Qt compares with the screen of the kept number, the first one when there is no such screen.
    const QScreen* named = kept.screenNumber < screens.size() ? screens.at(kept.screenNumber) : screens.first();
    QByteArray asOnThatScreen = saved;
    QDataStream patch(&asOnThatScreen, QIODevice::ReadWrite);
    patch.setVersion(QDataStream::Qt_4_0);
    if (!patch.device()->seek(screenWidthOffset)) {
        return false;
    }
    patch << qint32(named->geometry().width());
    return patch.status() == QDataStream::Ok && window->restoreGeometry(asOnThatScreen);
}

void fitRestoredWindow(QWidget* window, const QByteArray& saved, const QMargins& fallbackFrame)
{
    if (!window || (window->windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen))) {
        return;
    }
    const KeptGeometry kept = keptGeometry(saved);
    const QMargins frame = frameOf(kept, fallbackFrame);
    const QRect framed = window->geometry().marginsAdded(frame);
    // The screen holding most of it; a window off every screen goes to the primary one.
    const QScreen* landing = nullptr;
    qint64 most = 0;
    for (const QScreen* screen : QGuiApplication::screens()) {
        const QRect common = screen->geometry().intersected(framed);
        const qint64 area = qint64(common.width()) * common.height();
        if (area > most) {
            most = area;
            landing = screen;
        }
    }
    if (!landing) {
        landing = QGuiApplication::primaryScreen();
    }
    if (!landing) {
        return;
    }
    // Kept on a screen as wide, no larger than this one's room: where the user left it.
    const QRect available = landing->availableGeometry();
    if (kept.screenWidth <= landing->geometry().width() && framed.width() <= available.width()
        && framed.height() <= available.height()) {
        return;
    }
    const QRect fitted = fitInside(framed, available);
    if (fitted != framed) {
        window->setGeometry(fitted.marginsRemoved(frame));
    }
}

} // namespace ui
