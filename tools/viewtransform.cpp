#include "tools/viewtransform.h"

#include <algorithm>
#include <cmath>

namespace tools {

namespace {

// Along an axis where the picture (length view pixels when laid out) is longer than the view
// less the covered strip at its far edge, the centre may come no closer to the near edge than
// half the view, to the far edge than half the view less that strip; a shorter picture stays
// centred.
double clampCentreCoordinate(double value, double length, double view, double covered)
{
    const double strip = std::clamp(covered, 0.0, view);
    if (!std::isfinite(value) || !(length > view - strip)) {
        return 0.5;
    }
    const double half = 0.5 * view / length;
    return std::clamp(value, half, 1.0 - half + strip / length);
}

} // namespace

void ViewTransform::setPictureSize(QSize size)
{
    m_picture = size;
    clampCentre();
}

void ViewTransform::setViewSize(QSize size)
{
    m_view = size;
    clampCentre();
}

void ViewTransform::setKeepAspectRatio(bool keep)
{
    m_keepAspect = keep;
    clampCentre();
}

void ViewTransform::setCoveredEdges(QSizeF covered)
{
    m_covered = covered;
    clampCentre();
}

QRectF ViewTransform::uncoveredRect() const
{
    const double width = m_view.width() - std::clamp(m_covered.width(), 0.0, double(m_view.width()));
    const double height = m_view.height() - std::clamp(m_covered.height(), 0.0, double(m_view.height()));
    return QRectF(0, 0, width, height);
}

bool ViewTransform::isValid() const
{
    return !m_view.isEmpty();
}

void ViewTransform::setZoom(double zoom, QPointF anchor)
{
    if (!std::isfinite(zoom)) {
        return;
    }
    zoom = std::clamp(zoom, minimumZoom, maximumZoom);
    if (!isValid()) {
        m_zoom = zoom;
        clampCentre();
        return;
    }
    const QPointF fixed = toFraction(anchor);
    const QRectF fit = fitRect();
    m_zoom = zoom;
    const double width = fit.width() * zoom;
    const double height = fit.height() * zoom;
    m_centre = QPointF(fixed.x() - (anchor.x() - fit.center().x()) / width,
                       fixed.y() - (anchor.y() - fit.center().y()) / height);
    clampCentre();
}

void ViewTransform::zoomBy(double factor, QPointF anchor)
{
    setZoom(m_zoom * factor, anchor);
}

void ViewTransform::fit()
{
    m_zoom = 1.0;
    clampCentre();
}

void ViewTransform::pan(QPointF delta)
{
    const QRectF picture = pictureRect();
    if (picture.isEmpty()) {
        return;
    }
    m_centre -= QPointF(delta.x() / picture.width(), delta.y() / picture.height());
    clampCentre();
}

QRectF ViewTransform::fitRect() const
{
    const QRectF whole(QPointF(0, 0), QSizeF(m_view));
    if (!m_keepAspect || m_picture.isEmpty() || m_view.isEmpty()) {
        return whole;
    }
    const double scale = std::min(double(m_view.width()) / m_picture.width(),
                                  double(m_view.height()) / m_picture.height());
    QRectF boxed(QPointF(0, 0), QSizeF(m_picture) * scale);
    boxed.moveCenter(whole.center());
    return boxed;
}

QRectF ViewTransform::pictureRect() const
{
    const QRectF fit = fitRect();
    const QSizeF size = fit.size() * m_zoom;
    return QRectF(QPointF(fit.center().x() - m_centre.x() * size.width(),
                          fit.center().y() - m_centre.y() * size.height()),
                  size);
}

QRectF ViewTransform::visiblePictureRect() const
{
    return pictureRect().intersected(QRectF(QPointF(0, 0), QSizeF(m_view)));
}

QPointF ViewTransform::toView(QPointF fraction) const
{
    const QRectF picture = pictureRect();
    return QPointF(picture.x() + fraction.x() * picture.width(),
                   picture.y() + fraction.y() * picture.height());
}

QPointF ViewTransform::toFraction(QPointF viewPosition) const
{
    const QRectF picture = pictureRect();
    if (picture.isEmpty()) {
        return QPointF(0, 0);
    }
    return QPointF((viewPosition.x() - picture.x()) / picture.width(),
                   (viewPosition.y() - picture.y()) / picture.height());
}

QPointF ViewTransform::toPicturePixels(QPointF viewPosition) const
{
    const QPointF fraction = toFraction(viewPosition);
    return QPointF(fraction.x() * m_picture.width(), fraction.y() * m_picture.height());
}

QPointF ViewTransform::pictureToView(QPointF picturePixels) const
{
    if (m_picture.isEmpty()) {
        return QPointF(0, 0);
    }
    return toView(QPointF(picturePixels.x() / m_picture.width(),
                          picturePixels.y() / m_picture.height()));
}

QRectF ViewTransform::toView(const QRectF& fractions) const
{
    return QRectF(toView(fractions.topLeft()), toView(fractions.bottomRight()));
}

QRectF ViewTransform::toFraction(const QRectF& viewRect) const
{
    if (pictureRect().isEmpty()) {
        return QRectF();
    }
    return QRectF(toFraction(viewRect.topLeft()), toFraction(viewRect.bottomRight()));
}

QRectF ViewTransform::toPicturePixels(const QRectF& viewRect) const
{
    if (pictureRect().isEmpty()) {
        return QRectF();
    }
    return QRectF(toPicturePixels(viewRect.topLeft()), toPicturePixels(viewRect.bottomRight()));
}

QRectF ViewTransform::pictureToView(const QRectF& picturePixels) const
{
    if (m_picture.isEmpty()) {
        return QRectF();
    }
    return QRectF(pictureToView(picturePixels.topLeft()), pictureToView(picturePixels.bottomRight()));
}

double ViewTransform::viewPixelsPerFractionX() const
{
    return fitRect().width() * m_zoom;
}

double ViewTransform::viewPixelsPerFractionY() const
{
    return fitRect().height() * m_zoom;
}

void ViewTransform::clampCentre()
{
    // A view without area says nothing about the limits: keep the centre for when it grows.
    if (!isValid()) {
        return;
    }
    const QSizeF laidOut = fitRect().size() * m_zoom;
    m_centre = QPointF(clampCentreCoordinate(m_centre.x(), laidOut.width(), m_view.width(), m_covered.width()),
                       clampCentreCoordinate(m_centre.y(), laidOut.height(), m_view.height(), m_covered.height()));
}

} // namespace tools
