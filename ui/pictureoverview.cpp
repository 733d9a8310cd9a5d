#include "ui/pictureoverview.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace ui {

namespace {

constexpr int border = 1;

} // namespace

PictureOverview::PictureOverview(QWidget* parent)
    : QWidget(parent)
{
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setToolTip(tr("The whole picture: click or drag to move the view"));
    resize(sizeHint());
}

PictureOverview::~PictureOverview() = default;

void PictureOverview::setPicture(const QImage& picture)
{
    if (picture.isNull()) {
        m_small = QImage();
    } else {
        // A quick reduction to twice the size first, then a smooth one from that small copy:
        // cheap for big photos, and small enough that Qt's smooth scaling stays on this thread
        // (for large sources it hands parts to the global thread pool and waits for them, which
        // would stall the window while detection or a read keeps the pool busy).
        const QImage quick = std::max(picture.width(), picture.height()) > 2 * longestSide
                                 ? picture.scaled(2 * longestSide, 2 * longestSide, Qt::KeepAspectRatio,
                                                  Qt::FastTransformation)
                                 : picture;
        m_small = quick.scaled(longestSide, longestSide, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                      .convertToFormat(QImage::Format_RGB32);
    }
    m_drawing = QPixmap();
    resize(sizeHint());
    update();
}

void PictureOverview::setVisibleRect(const QRectF& fractions)
{
    const QRectF clamped = fractions.intersected(QRectF(0, 0, 1, 1));
    if (clamped == m_visible) {
        return;
    }
    m_visible = clamped;
    update();
}

QRectF PictureOverview::visibleRect() const
{
    return m_visible;
}

QRect PictureOverview::pictureArea() const
{
    const QSize size = m_small.isNull() ? QSize(longestSide, longestSide * 3 / 4) : m_small.size();
    return QRect(QPoint(border, border), size);
}

QSize PictureOverview::sizeHint() const
{
    return pictureArea().size() + QSize(2 * border, 2 * border);
}

void PictureOverview::paintEvent(QPaintEvent*)
{
    // The view beneath repaints often (every marker drag); the overview changes only with the
    // picture, the visible part or the size, so its drawing is kept.
    const qreal ratio = devicePixelRatioF();
    if (m_drawing.isNull() || m_drawing.size() != size() * ratio
        || m_drawing.devicePixelRatioF() != ratio || m_drawnVisible != m_visible) {
        m_drawing = QPixmap(size() * ratio);
        m_drawing.setDevicePixelRatio(ratio);
        QPainter painter(&m_drawing);
        drawInto(painter);
        m_drawnVisible = m_visible;
    }
    QPainter painter(this);
    painter.drawPixmap(0, 0, m_drawing);
}

void PictureOverview::drawInto(QPainter& painter) const
{
    painter.fillRect(rect(), QColor(40, 40, 40));
    const QRect area = pictureArea();
    if (!m_small.isNull()) {
        painter.drawImage(area.topLeft(), m_small);
    }
    if (m_visible != QRectF(0, 0, 1, 1)) {
        // Dim what the view does not show, then frame what it does.
        const QRectF frame(area.x() + m_visible.x() * area.width(), area.y() + m_visible.y() * area.height(),
                           m_visible.width() * area.width(), m_visible.height() * area.height());
        // Four bands around the frame: a path subtraction here cost as much as the rest.
        const QRectF whole(area);
        const QRectF seen = frame.intersected(whole);
        const QColor dim(0, 0, 0, 110);
        painter.fillRect(QRectF(whole.left(), whole.top(), whole.width(), seen.top() - whole.top()), dim);
        painter.fillRect(QRectF(whole.left(), seen.bottom(), whole.width(), whole.bottom() - seen.bottom()), dim);
        painter.fillRect(QRectF(whole.left(), seen.top(), seen.left() - whole.left(), seen.height()), dim);
        painter.fillRect(QRectF(seen.right(), seen.top(), whole.right() - seen.right(), seen.height()), dim);
        painter.setPen(QPen(QColor(255, 214, 0), 1.5));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(frame.adjusted(0.5, 0.5, -0.5, -0.5));
    }
    painter.setPen(QColor(200, 200, 200));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

void PictureOverview::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    m_dragging = true;
    requestAt(event->pos());
    event->accept();
}

void PictureOverview::mouseMoveEvent(QMouseEvent* event)
{
    if (m_dragging && (event->buttons() & Qt::LeftButton)) {
        requestAt(event->pos());
        event->accept();
        return;
    }
    QWidget::mouseMoveEvent(event);
}

void PictureOverview::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        m_dragging = false;
        event->accept();
        return;
    }
    QWidget::mouseReleaseEvent(event);
}

void PictureOverview::requestAt(const QPoint& widgetPixel)
{
    const QRect area = pictureArea();
    // The centre of the pixel pressed, as a fraction of the small picture.
    const double x = (widgetPixel.x() - area.x() + 0.5) / area.width();
    const double y = (widgetPixel.y() - area.y() + 0.5) / area.height();
    emit centreRequested(QPointF(std::clamp(x, 0.0, 1.0), std::clamp(y, 0.0, 1.0)));
}

} // namespace ui
