// The Preview window's picture: one image fitted into the widget, centred, proportions kept.
#include "ui/previewcanvas.h"

#include <QPainter>

namespace ui {

void PreviewCanvas::setPicture(const QImage& picture)
{
    shown = picture;
    update();
}

void PreviewCanvas::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), QColor(48, 48, 48));
    if (shown.isNull()) {
        return;
    }
    // A picture thinner than a pixel once fitted is drawn a pixel thick, not left out.
    const QSize fitted = shown.size().scaled(size(), Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
    const QRect target(QPoint((width() - fitted.width()) / 2, (height() - fitted.height()) / 2), fitted);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(target, shown);
}

} // namespace ui
