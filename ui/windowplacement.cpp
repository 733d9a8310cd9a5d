#include "ui/windowplacement.h"

#include <algorithm>

namespace ui {

namespace {

constexpr int gap = 8;

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
    } else {
        at = QPoint(owner.x() + (owner.width() - fitted.width()) / 2,
                    owner.y() + (owner.height() - fitted.height()) / 2);
    }
    at.setX(std::clamp(at.x(), available.left(), available.right() + 1 - fitted.width()));
    at.setY(std::clamp(at.y(), available.top(), available.bottom() + 1 - fitted.height()));
    return QRect(at, fitted);
}

} // namespace ui
