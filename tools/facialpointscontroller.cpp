#include "facialpointscontroller.h"

#include "facialpoints.h"
#include "pointcommands.h"

#include <QBrush>
#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QUndoStack>
#include <QPointF>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

namespace tools {

namespace {

// A marker picture and the pixel of it that is placed on the point.
struct PointMarker
{
    QPixmap pixmap;
    QPoint hotSpot;
};

// Pixel positions are clamped to this before they become ints. It lies far beyond any view,
// and far enough below INT_MAX that subtracting a hot spot or adding a marker size stays in
// range; converting a larger double to int would be undefined.
constexpr double pixelLimit = 1 << 30;

int truncateToPixel(double position)
{
    return static_cast<int>(std::clamp(position, -pixelLimit, pixelLimit));
}

// A fraction of the view, pinned to [0, 1]; NaN counts as "not greater than 0".
double clampToUnit(double value)
{
    if (!(value > 0.0)) {
        return 0.0;
    }
    return value > 1.0 ? 1.0 : value;
}

// pictureLength * viewPosition / viewLength, multiplied first and truncated last. 64-bit so
// that large pictures on large views cannot overflow the product.
int scaleToPicture(int pictureLength, int viewPosition, int viewLength)
{
    const qint64 scaled = qint64(pictureLength) * viewPosition / viewLength;
    return static_cast<int>(qBound<qint64>(std::numeric_limits<int>::min(), scaled,
                                           std::numeric_limits<int>::max()));
}

QRect pictureSourceRect(QSize picture, const QRect& exposed, QSize view)
{
    return QRect(scaleToPicture(picture.width(), exposed.x(), view.width()),
                 scaleToPicture(picture.height(), exposed.y(), view.height()),
                 scaleToPicture(picture.width(), exposed.width(), view.width()),
                 scaleToPicture(picture.height(), exposed.height(), view.height()));
}

bool overlaps(const QRect& marker, const QRect& exposed)
{
    const double mx = marker.x(), my = marker.y(), mw = marker.width(), mh = marker.height();
    const double ex = exposed.x(), ey = exposed.y(), ew = exposed.width(), eh = exposed.height();
    return mx + mw > ex && ex + ew > mx && my + mh > ey && ey + eh > my;
}

} // namespace

class FacialPointsController::Impl : public QObject
{
public:
    explicit Impl(FacialPointsController* owner) : q(owner) {}

    void onImageChanged()
    {
        pictureCache = QPixmap();
        emit q->needUpdate();
    }

    void drawPicture(QPainter& painter, const QRect& exposed, QSize view);
    void drawMarkers(QPainter& painter, const QRect& exposed, QSize view);
    const PointMarker& markerFor(int index);
    PointMarker createMarker(int index) const;

    FacialPointsController* const q;
    // Guarded so that a model destroyed before the controller reads as "no model".
    QPointer<core::FacialPoints> facialPoints;
    QPointer<QUndoStack> undoStack;
    QPixmap pictureCache;
    QBrush markerBrush{Qt::red, Qt::SolidPattern};
    QFont markerFont{QString(), 8};
    int markerRadius = 6;
    int selectedIndex = -1;
    QPointF dragOffset{0.0, 0.0};
    // Where the dragged point was when it was grabbed; the completed drag is one undo step.
    FacialPoint dragStart;
    std::vector<PointMarker> markers;
};

void FacialPointsController::Impl::drawPicture(QPainter& painter, const QRect& exposed, QSize view)
{
    if (pictureCache.isNull()) {
        pictureCache = QPixmap::fromImage(facialPoints->image());
    }
    if (pictureCache.isNull()) {
        return;
    }
    painter.drawPixmap(exposed, pictureCache, pictureSourceRect(pictureCache.size(), exposed, view));
}

void FacialPointsController::Impl::drawMarkers(QPainter& painter, const QRect& exposed, QSize view)
{
    const core::FacialPointVector points = facialPoints->points();
    for (int i = 0; i < static_cast<int>(points.size()); ++i) {
        const PointMarker& marker = markerFor(i);
        const double x = view.width() * points[size_t(i)].x();
        const double y = view.height() * points[size_t(i)].y();
        // A point that is NaN or infinite has no place in the view.
        if (!std::isfinite(x) || !std::isfinite(y)) {
            continue;
        }
        const QRect markerRect(truncateToPixel(x) - marker.hotSpot.x(),
                               truncateToPixel(y) - marker.hotSpot.y(), marker.pixmap.width(),
                               marker.pixmap.height());
        if (overlaps(markerRect, exposed)) {
            painter.drawPixmap(markerRect.topLeft(), marker.pixmap);
        }
    }
}

const PointMarker& FacialPointsController::Impl::markerFor(int index)
{
    while (markers.size() <= size_t(index)) {
        markers.push_back(createMarker(static_cast<int>(markers.size())));
    }
    return markers[size_t(index)];
}

PointMarker FacialPointsController::Impl::createMarker(int index) const
{
    const QString text = QString::number(index);
    const QSize textSize = QFontMetrics(markerFont).size(Qt::TextSingleLine, text);
    const int diameter = 2 * markerRadius;

    QPixmap pixmap(textSize.width() + diameter + 1, textSize.height() + diameter + 1);
    pixmap.fill(Qt::transparent);
    const QRect circle(1, textSize.height(), diameter, diameter);
    {
        QPainter painter(&pixmap);
        painter.setBrush(markerBrush);
        painter.setFont(markerFont);
        painter.setRenderHint(QPainter::TextAntialiasing);
        painter.drawText(QRectF(pixmap.width() - textSize.width(), 0, textSize.width(),
                                textSize.height()),
                         text);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.drawEllipse(circle);
    }
    return {pixmap, circle.center()};
}

FacialPointsController::FacialPointsController() : d(std::make_unique<Impl>(this)) {}

FacialPointsController::~FacialPointsController() = default;

core::FacialPoints* FacialPointsController::facialPoints() const
{
    return d->facialPoints;
}

void FacialPointsController::setFacialPoints(core::FacialPoints* points)
{
    if (points == d->facialPoints) {
        return;
    }
    if (d->facialPoints) {
        QObject::disconnect(d->facialPoints, nullptr, this, nullptr);
        QObject::disconnect(d->facialPoints, nullptr, d.get(), nullptr);
    }
    d->facialPoints = points;
    d->pictureCache = QPixmap();
    if (!points) {
        return;
    }
    connect(points, &core::FacialPoints::imageChanged, d.get(), &Impl::onImageChanged);
    connect(points, &core::FacialPoints::pointsUpdated, this, &IController::needUpdate);
    connect(points, &core::FacialPoints::pointChanged, this, &IController::needUpdate);
}

void FacialPointsController::paint(QPaintDevice* device, const QRect& exposed, QSize viewSize)
{
    // An empty view has nothing to show, and its size would divide below.
    if (!d->facialPoints || !device || viewSize.isEmpty()) {
        return;
    }
    QPainter painter(device);
    d->drawPicture(painter, exposed, viewSize);
    d->drawMarkers(painter, exposed, viewSize);
}

bool FacialPointsController::mousePress(QPoint position, QSize viewSize)
{
    if (!d->facialPoints || viewSize.isEmpty()) {
        return false;
    }
    const core::FacialPointVector points = d->facialPoints->points();
    const double r = d->markerRadius;
    const double px = position.x();
    const double py = position.y();
    for (int i = 0; i < static_cast<int>(points.size()); ++i) {
        // Kept in double: a NaN, infinite or huge centre simply fails the comparisons.
        const double cx = viewSize.width() * points[size_t(i)].x();
        const double cy = viewSize.height() * points[size_t(i)].y();
        if (cx - r <= px && px <= cx + r && cy - r <= py && py <= cy + r) {
            d->selectedIndex = i;
            d->dragOffset = QPointF(cx - px, cy - py);
            d->dragStart = points[size_t(i)];
            return true;
        }
    }
    return false;
}

bool FacialPointsController::mouseMove(QPoint position, QSize viewSize)
{
    if (!d->facialPoints || d->selectedIndex < 0 || d->selectedIndex >= d->facialPoints->count()) {
        return false;
    }
    // In an empty view every position would map to 0 or 1: leave the point where it is.
    if (viewSize.isEmpty()) {
        return false;
    }
    const double x = clampToUnit((position.x() + d->dragOffset.x()) / viewSize.width());
    const double y = clampToUnit((position.y() + d->dragOffset.y()) / viewSize.height());
    d->facialPoints->setPoint(FacialPoint(x, y), d->selectedIndex);
    return true;
}

bool FacialPointsController::mouseRelease(QPoint, QSize)
{
    if (d->selectedIndex < 0) {
        return false;
    }
    const int index = std::exchange(d->selectedIndex, -1);
    if (d->facialPoints && index < d->facialPoints->count()) {
        const FacialPoint end = d->facialPoints->points()[size_t(index)];
        // A press and release without movement is no step of its own.
        if (end != d->dragStart) {
            execute(d->undoStack,
                    std::make_unique<MovePointsCommand>(d->facialPoints, QVector<int>{index},
                                                        core::FacialPointVector{d->dragStart},
                                                        core::FacialPointVector{end}, true));
        }
    }
    return true;
}

void FacialPointsController::setUndoStack(QUndoStack* stack)
{
    d->undoStack = stack;
}

QUndoStack* FacialPointsController::undoStack() const
{
    return d->undoStack;
}

int FacialPointsController::selectedIndex() const
{
    return d->selectedIndex;
}

} // namespace tools
