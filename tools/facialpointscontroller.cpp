#include "facialpointscontroller.h"

#include "facialpoints.h"
#include "pointcommands.h"
#include "viewtransform.h"

#include <QBrush>
#include <QCache>
#include <QFont>
#include <QFontMetrics>
#include <QLineF>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QPixmap>
#include <QPolygonF>
#include <QPointer>
#include <QUndoStack>

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace tools {

namespace {

// Pixel positions are clamped to this before they become ints. It lies far beyond any view,
// and far enough below INT_MAX that subtracting a hot spot or adding a marker size stays in
// range; converting a larger double to int would be undefined.
constexpr double pixelLimit = 1 << 30;

// Half the side of a marker's hit square, in view pixels.
constexpr double markerRadius = 6.0;
// How far the selection's box stands off the outermost markers, so that its corner handles
// never sit on a marker.
constexpr double boxMargin = 10.0;
constexpr double handleHalfSide = 5.0;
// The rotation handle stands this far above the box's top edge.
constexpr double rotationHandleDistance = 24.0;
constexpr double rotationHandleRadius = 6.0;
// Above this many markers in view their numbers would cover each other completely: only the
// discs are drawn, one per view pixel (the one on top).
constexpr int numberedMarkerLimit = 4096;
// Number pictures kept between paints; a multiple of any number of markers a view can show
// readably, and a bound on memory whatever the point count.
constexpr int numberCacheEntries = 8192;

int truncateToPixel(double position)
{
    return static_cast<int>(std::clamp(position, -pixelLimit, pixelLimit));
}

bool isFinite(const FacialPoint& point)
{
    return std::isfinite(point.x()) && std::isfinite(point.y());
}

// A fraction pinned to [0, 1]; NaN counts as "not greater than 0".
double clampToUnit(double value)
{
    if (!(value > 0.0)) {
        return 0.0;
    }
    return value > 1.0 ? 1.0 : value;
}

FacialPoint clampToPicture(QPointF fraction)
{
    return FacialPoint(clampToUnit(fraction.x()), clampToUnit(fraction.y()));
}

bool overlaps(const QRect& marker, const QRect& exposed)
{
    const double mx = marker.x(), my = marker.y(), mw = marker.width(), mh = marker.height();
    const double ex = exposed.x(), ey = exposed.y(), ew = exposed.width(), eh = exposed.height();
    return mx + mw > ex && ex + ew > mx && my + mh > ey && ey + eh > my;
}

// The features of the face layout, each drawn as one line through its points.
struct OutlinePart
{
    int first;
    int last;
    bool closed;
};

constexpr OutlinePart outlineParts[] = {
    {0, 16, false},  {17, 21, false}, {22, 26, false}, {27, 30, false}, {31, 35, false},
    {36, 41, true},  {42, 47, true},  {48, 59, true},  {60, 67, true},  {68, 74, false},
};
// The face layout starts with 68 points; fewer points are no face to outline.
constexpr int outlinePointCount = 68;

// The allowed shift of a group whose points span [low, high] along one axis: none of them may
// leave [0, 1], and a group already outside may still move back in.
double clampGroupShift(double shift, double low, double high)
{
    const double least = std::min(0.0, -low);
    const double most = std::max(0.0, 1.0 - high);
    return std::clamp(shift, least, most);
}

struct VisibleMarker
{
    int index;
    QPoint centre;
};

enum class Gesture { None, DragPoint, DragGroup, RubberBand, Scale, Rotate };

} // namespace

class FacialPointsController::Impl : public QObject
{
public:
    explicit Impl(FacialPointsController* owner) : q(owner)
    {
        numbers.setMaxCost(numberCacheEntries);
        createMarkerPictures();
    }

    void onImageChanged()
    {
        pictureCache = QPixmap();
        transform.setPictureSize(facialPoints->image().size());
        transform.fit();
        emit q->needUpdate();
    }

    void onPointsReplaced()
    {
        // The controller's own group edits replace the list too; they keep their gesture.
        if (storing) {
            emit q->needUpdate();
            return;
        }
        const int count = facialPoints->count();
        selection.erase(std::lower_bound(selection.begin(), selection.end(), count),
                        selection.end());
        if (gesture != Gesture::None && gesture != Gesture::RubberBand) {
            gesture = Gesture::None;
            draggedIndex = -1;
        }
        emit q->needUpdate();
    }

    void store(const QVector<int>& indices, const core::FacialPointVector& values)
    {
        storing = true;
        storePoints(facialPoints, indices, values);
        storing = false;
    }

    void createMarkerPictures();
    const QPixmap& numberedMarker(int index);

    void drawPicture(QPainter& painter, const QRect& exposed);
    void drawOutline(QPainter& painter, const core::FacialPointVector& points);
    void drawMarkers(QPainter& painter, const QRect& exposed,
                     const core::FacialPointVector& points);
    void drawSelectionBox(QPainter& painter, const core::FacialPointVector& points);
    void drawRubberBand(QPainter& painter);

    int pick(QPointF position, const core::FacialPointVector& points) const;
    bool isSelected(int index) const
    {
        return std::binary_search(selection.begin(), selection.end(), index);
    }
    void toggle(int index);
    QVector<int> finiteSelection(const core::FacialPointVector& points) const;
    QRectF selectionBox(const core::FacialPointVector& points) const;
    bool startBoxGesture(QPointF position, const core::FacialPointVector& points);
    void beginGroup(Gesture kind, QPointF position, const core::FacialPointVector& points);

    void moveGroup(QPointF position);
    void scaleGroup(QPointF position, bool keepProportions);
    void rotateGroup(QPointF position);
    void applyToGroup(const std::vector<QPointF>& viewPositions);
    void finishGroup();
    void finishRubberBand();

    FacialPointsController* const q;
    // Guarded so that a model destroyed before the controller reads as "no model".
    QPointer<core::FacialPoints> facialPoints;
    QPointer<QUndoStack> undoStack;
    ViewTransform transform;
    QPixmap pictureCache;
    QFont markerFont{QString(), 8};
    QPixmap disc;
    QPoint discHotSpot;
    QPixmap ring;
    QPoint ringHotSpot;
    // Discs with their numbers, by index.
    QCache<int, QPixmap> numbers;
    // Where a number goes relative to its marker's centre, and where a numbered marker's
    // picture starts.
    QPoint numberOffset;
    QPoint numberedOrigin;
    bool showNumbers = true;
    bool showOutline = true;
    bool storing = false;

    std::vector<int> selection;

    Gesture gesture = Gesture::None;
    int draggedIndex = -1;
    QPointF pressPosition;
    QPointF dragOffset{0.0, 0.0};
    // Where the dragged point was when it was grabbed; the completed drag is one undo step.
    FacialPoint dragStart;
    // The group being moved, scaled or rotated, with its points at the press.
    QVector<int> groupIndices;
    core::FacialPointVector groupStart;
    QPointF groupAnchor;
    QPointF groupHandle;
    double groupStartAngle = 0.0;
    // The rubber band, in view pixels, and the selection it adds to.
    QRectF band;
    std::vector<int> bandBase;
};

void FacialPointsController::Impl::createMarkerPictures()
{
    const int diameter = int(2 * markerRadius);
    disc = QPixmap(diameter + 2, diameter + 2);
    disc.fill(Qt::transparent);
    {
        QPainter painter(&disc);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setBrush(QBrush(Qt::red, Qt::SolidPattern));
        painter.drawEllipse(QRect(1, 1, diameter, diameter));
    }
    discHotSpot = QRect(1, 1, diameter, diameter).center();

    const int ringRadius = diameter / 2 + 4;
    ring = QPixmap(2 * ringRadius + 4, 2 * ringRadius + 4);
    ring.fill(Qt::transparent);
    {
        QPainter painter(&ring);
        painter.setRenderHint(QPainter::Antialiasing);
        const QPointF centre(ring.width() / 2.0, ring.height() / 2.0);
        painter.setPen(QPen(Qt::black, 4.0));
        painter.drawEllipse(centre, ringRadius, ringRadius);
        painter.setPen(QPen(QColor(0, 230, 255), 2.0));
        painter.drawEllipse(centre, ringRadius, ringRadius);
    }
    ringHotSpot = QPoint(ring.width() / 2, ring.height() / 2);

    // The number stands above right of the disc, as it always has.
    const int textHeight = QFontMetrics(markerFont).height();
    numberOffset = QPoint(diameter / 2 + 1 - 2, -textHeight - diameter / 2 + 1 - 2);
    numberedOrigin = QPoint(std::min(-discHotSpot.x(), numberOffset.x()),
                            std::min(-discHotSpot.y(), numberOffset.y()));
}

const QPixmap& FacialPointsController::Impl::numberedMarker(int index)
{
    if (const QPixmap* cached = numbers.object(index)) {
        return *cached;
    }
    const QString text = QString::number(index);
    const QFontMetrics metrics(markerFont);
    const QSize textSize = metrics.size(Qt::TextSingleLine, text);
    // The disc and its number in one picture, one blit per marker. Two pixels around the text
    // for its light outline.
    const QPoint discAt = -discHotSpot - numberedOrigin;
    const QPoint textAt = numberOffset - numberedOrigin;
    auto* picture = new QPixmap(std::max(discAt.x() + disc.width(), textAt.x() + textSize.width() + 4),
                                std::max(discAt.y() + disc.height(), textAt.y() + textSize.height() + 4));
    picture->fill(Qt::transparent);
    {
        QPainter painter(picture);
        painter.drawPixmap(discAt, disc);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath path;
        path.addText(textAt.x() + 2, textAt.y() + 2 + metrics.ascent(), markerFont, text);
        painter.strokePath(path, QPen(QColor(255, 255, 255, 210), 2.5, Qt::SolidLine,
                                      Qt::RoundCap, Qt::RoundJoin));
        painter.fillPath(path, Qt::black);
    }
    numbers.insert(index, picture, 1);
    return *numbers.object(index);
}

void FacialPointsController::Impl::drawPicture(QPainter& painter, const QRect& exposed)
{
    if (pictureCache.isNull()) {
        pictureCache = QPixmap::fromImage(facialPoints->image());
    }
    if (pictureCache.isNull()) {
        return;
    }
    const QRectF visible = transform.visiblePictureRect().intersected(QRectF(exposed));
    if (visible.isEmpty()) {
        return;
    }
    // Only the picture pixels in view are scaled, widened to whole pixels so that every paint
    // samples the same grid whatever the exposed area.
    const QPointF from = transform.toPicturePixels(visible.topLeft());
    const QPointF to = transform.toPicturePixels(visible.bottomRight());
    const QRect bounds(QPoint(0, 0), pictureCache.size());
    const QRect source =
        QRect(QPoint(int(std::floor(from.x())), int(std::floor(from.y()))),
              QPoint(int(std::ceil(to.x())) - 1, int(std::ceil(to.y())) - 1))
            .intersected(bounds);
    if (source.isEmpty()) {
        return;
    }
    const QSizeF picture(pictureCache.size());
    const QPointF topLeft = transform.toView(
        QPointF(source.left() / picture.width(), source.top() / picture.height()));
    const QPointF bottomRight = transform.toView(QPointF(
        (source.right() + 1) / picture.width(), (source.bottom() + 1) / picture.height()));
    painter.save();
    painter.setClipRect(exposed);
    painter.drawPixmap(QRectF(topLeft, bottomRight), pictureCache, QRectF(source));
    painter.restore();
}

void FacialPointsController::Impl::drawOutline(QPainter& painter,
                                               const core::FacialPointVector& points)
{
    if (!showOutline || points.size() < size_t(outlinePointCount)) {
        return;
    }
    painter.save();
    // A cosmetic (zero width) antialiased pen has a fast path of its own; any wider pen is
    // stroked into a polygon first, which costs up to a hundred times more on long lines.
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(255, 230, 90, 230), 0.0));
    for (const OutlinePart& part : outlineParts) {
        QPolygonF line;
        const int last = std::min(part.last, int(points.size()) - 1);
        for (int i = part.first; i <= last; ++i) {
            const QPointF at = transform.toView(points[size_t(i)]);
            // A far or broken point would make the rasteriser work in vain: the line stops.
            if (!std::isfinite(at.x()) || !std::isfinite(at.y()) || std::abs(at.x()) > pixelLimit
                || std::abs(at.y()) > pixelLimit) {
                painter.drawPolyline(line);
                line.clear();
                continue;
            }
            line << at;
        }
        if (part.closed && last == part.last && line.size() == part.last - part.first + 1) {
            line << line.front();
        }
        painter.drawPolyline(line);
    }
    painter.restore();
}

void FacialPointsController::Impl::drawMarkers(QPainter& painter, const QRect& exposed,
                                               const core::FacialPointVector& points)
{
    // What a marker may cover around its centre: the disc, the ring and the widest number.
    const int digits = int(QString::number(std::max<size_t>(points.size(), 1) - 1).size());
    const int numberWidth =
        QFontMetrics(markerFont).horizontalAdvance(QString(digits, QLatin1Char('8'))) + 8;
    const QRect reach(std::min(-ringHotSpot.x(), numberOffset.x()),
                      std::min(-ringHotSpot.y(), numberOffset.y()),
                      std::max(ring.width(), numberOffset.x() + ringHotSpot.x() + numberWidth),
                      std::max(ring.height(), ringHotSpot.y() - numberOffset.y()));

    std::vector<VisibleMarker> visible;
    for (int i = 0; i < int(points.size()); ++i) {
        const QPointF at = transform.toView(points[size_t(i)]);
        // A point that is NaN or infinite has no place in the view.
        if (!std::isfinite(at.x()) || !std::isfinite(at.y())) {
            continue;
        }
        const QPoint centre(truncateToPixel(at.x()), truncateToPixel(at.y()));
        if (overlaps(reach.translated(centre), exposed)) {
            visible.push_back({i, centre});
        }
    }

    const bool crowded = visible.size() > size_t(numberedMarkerLimit);
    if (crowded) {
        // Only the marker drawn last at each view pixel can be seen there.
        std::vector<bool> taken(size_t(exposed.width() + 2 * reach.width()) *
                                size_t(exposed.height() + 2 * reach.height()));
        const QPoint origin = exposed.topLeft() - QPoint(reach.width(), reach.height());
        const int stride = exposed.width() + 2 * reach.width();
        std::vector<VisibleMarker> onTop;
        for (auto it = visible.rbegin(); it != visible.rend(); ++it) {
            const QPoint cell = it->centre - origin;
            const size_t slot = size_t(cell.y()) * size_t(stride) + size_t(cell.x());
            if (cell.x() >= 0 && cell.y() >= 0 && cell.x() < stride && slot < taken.size()
                && !taken[slot]) {
                taken[slot] = true;
                onTop.push_back(*it);
            }
        }
        visible.assign(onTop.rbegin(), onTop.rend());
    }

    for (const VisibleMarker& marker : visible) {
        // The ring lies outside the disc: beneath the marker it leaves the number readable.
        if (isSelected(marker.index)) {
            painter.drawPixmap(marker.centre - ringHotSpot, ring);
        }
        if (showNumbers && !crowded) {
            painter.drawPixmap(marker.centre + numberedOrigin, numberedMarker(marker.index));
        } else {
            painter.drawPixmap(marker.centre - discHotSpot, disc);
        }
    }
}

void FacialPointsController::Impl::drawSelectionBox(QPainter& painter,
                                                    const core::FacialPointVector& points)
{
    const QRectF box = selectionBox(points);
    if (box.isNull()) {
        return;
    }
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const QPointF top(box.center().x(), box.top());
    const QPointF handle(top.x(), top.y() - rotationHandleDistance);
    for (const QPen& pen : {QPen(Qt::black, 3.0), QPen(QColor(0, 230, 255), 1.0, Qt::DashLine)}) {
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(box);
        painter.drawLine(top, handle);
    }
    painter.setPen(QPen(Qt::black, 1.0));
    painter.setBrush(Qt::white);
    for (const QPointF& corner : {box.topLeft(), box.topRight(), box.bottomRight(), box.bottomLeft()}) {
        painter.drawRect(QRectF(corner - QPointF(handleHalfSide, handleHalfSide),
                                QSizeF(2 * handleHalfSide, 2 * handleHalfSide)));
    }
    painter.drawEllipse(handle, rotationHandleRadius - 1, rotationHandleRadius - 1);
    painter.restore();
}

void FacialPointsController::Impl::drawRubberBand(QPainter& painter)
{
    if (gesture != Gesture::RubberBand || band.isEmpty()) {
        return;
    }
    painter.save();
    painter.setPen(QPen(QColor(0, 230, 255), 1.0, Qt::DashLine));
    painter.setBrush(QColor(0, 160, 255, 50));
    painter.drawRect(band);
    painter.restore();
}

int FacialPointsController::Impl::pick(QPointF position, const core::FacialPointVector& points) const
{
    int best = -1;
    double bestDistance = 0.0;
    for (int i = 0; i < int(points.size()); ++i) {
        // Kept in double: a NaN, infinite or huge centre simply fails the comparisons.
        const QPointF centre = transform.toView(points[size_t(i)]);
        const double dx = centre.x() - position.x();
        const double dy = centre.y() - position.y();
        if (!(std::abs(dx) <= markerRadius && std::abs(dy) <= markerRadius)) {
            continue;
        }
        // "<=": at equal distance the later index wins, as it is drawn on top.
        const double distance = dx * dx + dy * dy;
        if (best < 0 || distance <= bestDistance) {
            best = i;
            bestDistance = distance;
        }
    }
    return best;
}

void FacialPointsController::Impl::toggle(int index)
{
    const auto at = std::lower_bound(selection.begin(), selection.end(), index);
    if (at != selection.end() && *at == index) {
        selection.erase(at);
    } else {
        selection.insert(at, index);
    }
}

QVector<int> FacialPointsController::Impl::finiteSelection(const core::FacialPointVector& points) const
{
    QVector<int> indices;
    for (int index : selection) {
        if (index < int(points.size()) && isFinite(points[size_t(index)])) {
            indices.push_back(index);
        }
    }
    return indices;
}

QRectF FacialPointsController::Impl::selectionBox(const core::FacialPointVector& points) const
{
    const QVector<int> indices = finiteSelection(points);
    if (indices.size() < 2) {
        return QRectF();
    }
    QPointF low(pixelLimit, pixelLimit);
    QPointF high(-pixelLimit, -pixelLimit);
    for (int index : indices) {
        const QPointF at = transform.toView(points[size_t(index)]);
        low = QPointF(std::min(low.x(), at.x()), std::min(low.y(), at.y()));
        high = QPointF(std::max(high.x(), at.x()), std::max(high.y(), at.y()));
    }
    return QRectF(low, high).adjusted(-boxMargin, -boxMargin, boxMargin, boxMargin);
}

bool FacialPointsController::Impl::startBoxGesture(QPointF position,
                                                   const core::FacialPointVector& points)
{
    const QRectF box = selectionBox(points);
    if (box.isNull()) {
        return false;
    }
    const QPointF handle(box.center().x(), box.top() - rotationHandleDistance);
    if (QLineF(position, handle).length() <= rotationHandleRadius) {
        beginGroup(Gesture::Rotate, position, points);
        groupAnchor = box.center();
        groupStartAngle = std::atan2(position.y() - groupAnchor.y(), position.x() - groupAnchor.x());
        return true;
    }
    const QPointF corners[] = {box.topLeft(), box.topRight(), box.bottomRight(), box.bottomLeft()};
    for (int i = 0; i < 4; ++i) {
        if (std::abs(position.x() - corners[i].x()) <= handleHalfSide
            && std::abs(position.y() - corners[i].y()) <= handleHalfSide) {
            beginGroup(Gesture::Scale, position, points);
            groupHandle = corners[i];
            groupAnchor = corners[(i + 2) % 4];
            // The handle follows the cursor with the offset it was grabbed at.
            dragOffset = corners[i] - position;
            return true;
        }
    }
    return false;
}

void FacialPointsController::Impl::beginGroup(Gesture kind, QPointF position,
                                              const core::FacialPointVector& points)
{
    gesture = kind;
    pressPosition = position;
    groupIndices = finiteSelection(points);
    groupStart.clear();
    for (int index : groupIndices) {
        groupStart.push_back(points[size_t(index)]);
    }
}

void FacialPointsController::Impl::moveGroup(QPointF position)
{
    double lowX = 1.0, highX = 0.0, lowY = 1.0, highY = 0.0;
    for (const FacialPoint& point : groupStart) {
        lowX = std::min(lowX, point.x());
        highX = std::max(highX, point.x());
        lowY = std::min(lowY, point.y());
        highY = std::max(highY, point.y());
    }
    const QPointF delta = position - pressPosition;
    const double dx = clampGroupShift(delta.x() / transform.viewPixelsPerFractionX(), lowX, highX);
    const double dy = clampGroupShift(delta.y() / transform.viewPixelsPerFractionY(), lowY, highY);
    core::FacialPointVector moved;
    for (const FacialPoint& point : groupStart) {
        moved.emplace_back(point.x() + dx, point.y() + dy);
    }
    store(groupIndices, moved);
}

void FacialPointsController::Impl::scaleGroup(QPointF position, bool keepProportions)
{
    const QPointF handle = position + dragOffset;
    // The box has a margin, so the handle never starts on its anchor.
    double sx = (handle.x() - groupAnchor.x()) / (groupHandle.x() - groupAnchor.x());
    double sy = (handle.y() - groupAnchor.y()) / (groupHandle.y() - groupAnchor.y());
    if (keepProportions) {
        sx = sy = std::abs(sx) > std::abs(sy) ? sx : sy;
    }
    std::vector<QPointF> scaled;
    for (const FacialPoint& point : groupStart) {
        const QPointF at = transform.toView(point);
        scaled.emplace_back(groupAnchor.x() + (at.x() - groupAnchor.x()) * sx,
                            groupAnchor.y() + (at.y() - groupAnchor.y()) * sy);
    }
    applyToGroup(scaled);
}

void FacialPointsController::Impl::rotateGroup(QPointF position)
{
    const double angle =
        std::atan2(position.y() - groupAnchor.y(), position.x() - groupAnchor.x()) - groupStartAngle;
    const double c = std::cos(angle);
    const double s = std::sin(angle);
    std::vector<QPointF> rotated;
    // Turned in view pixels, so that the shape stays rigid on screen in a stretched view.
    for (const FacialPoint& point : groupStart) {
        const QPointF offset = transform.toView(point) - groupAnchor;
        rotated.emplace_back(groupAnchor.x() + c * offset.x() - s * offset.y(),
                             groupAnchor.y() + s * offset.x() + c * offset.y());
    }
    applyToGroup(rotated);
}

void FacialPointsController::Impl::applyToGroup(const std::vector<QPointF>& viewPositions)
{
    core::FacialPointVector moved;
    for (const QPointF& at : viewPositions) {
        moved.push_back(clampToPicture(transform.toFraction(at)));
    }
    store(groupIndices, moved);
}

void FacialPointsController::Impl::finishGroup()
{
    const Gesture kind = std::exchange(gesture, Gesture::None);
    const core::FacialPointVector now = facialPoints->points();
    core::FacialPointVector after;
    for (int index : groupIndices) {
        after.push_back(index < int(now.size()) ? now[size_t(index)] : FacialPoint());
    }
    if (after == groupStart) {
        return;
    }
    QString text;
    if (kind == Gesture::Scale) {
        text = QStringLiteral("Scale %1 Points").arg(groupIndices.size());
    } else if (kind == Gesture::Rotate) {
        text = QStringLiteral("Rotate %1 Points").arg(groupIndices.size());
    }
    execute(undoStack, std::make_unique<MovePointsCommand>(facialPoints, groupIndices, groupStart,
                                                           after, true, false, text));
}

void FacialPointsController::Impl::finishRubberBand()
{
    gesture = Gesture::None;
    const core::FacialPointVector points = facialPoints->points();
    std::vector<int> chosen = bandBase;
    const QRectF area = band.normalized();
    for (int i = 0; i < int(points.size()); ++i) {
        const QPointF at = transform.toView(points[size_t(i)]);
        if (area.contains(at)) {
            chosen.push_back(i);
        }
    }
    std::sort(chosen.begin(), chosen.end());
    chosen.erase(std::unique(chosen.begin(), chosen.end()), chosen.end());
    selection = std::move(chosen);
    band = QRectF();
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
    d->selection.clear();
    d->gesture = Gesture::None;
    d->draggedIndex = -1;
    d->transform.setPictureSize(points ? points->image().size() : QSize());
    d->transform.fit();
    if (!points) {
        return;
    }
    connect(points, &core::FacialPoints::imageChanged, d.get(), &Impl::onImageChanged);
    connect(points, &core::FacialPoints::pointsUpdated, d.get(), &Impl::onPointsReplaced);
    connect(points, &core::FacialPoints::pointChanged, this, &IController::needUpdate);
}

void FacialPointsController::paint(QPaintDevice* device, const QRect& exposed, QSize viewSize)
{
    // An empty view has nothing to show, and its size would divide below.
    if (!d->facialPoints || !device || viewSize.isEmpty()) {
        return;
    }
    setViewSize(viewSize);
    const core::FacialPointVector points = d->facialPoints->points();
    QPainter painter(device);
    d->drawPicture(painter, exposed);
    d->drawOutline(painter, points);
    d->drawMarkers(painter, exposed, points);
    d->drawSelectionBox(painter, points);
    d->drawRubberBand(painter);
}

bool FacialPointsController::mousePress(QPoint position, QSize viewSize)
{
    return mousePress(position, viewSize, Qt::NoModifier);
}

bool FacialPointsController::mousePress(QPoint position, QSize viewSize,
                                        Qt::KeyboardModifiers modifiers)
{
    if (!d->facialPoints || viewSize.isEmpty()) {
        return false;
    }
    setViewSize(viewSize);
    const core::FacialPointVector points = d->facialPoints->points();
    const QPointF at(position);
    const bool shift = modifiers & Qt::ShiftModifier;
    d->draggedIndex = -1;
    d->gesture = Gesture::None;
    if (d->startBoxGesture(at, points)) {
        emit needUpdate();
        return true;
    }
    const int hit = d->pick(at, points);
    if (hit >= 0 && shift) {
        d->toggle(hit);
    } else if (hit >= 0 && d->isSelected(hit) && d->selection.size() > 1) {
        d->beginGroup(Gesture::DragGroup, at, points);
    } else if (hit >= 0) {
        d->selection = {hit};
        d->gesture = Gesture::DragPoint;
        d->draggedIndex = hit;
        d->dragOffset = d->transform.toView(points[size_t(hit)]) - at;
        d->dragStart = points[size_t(hit)];
    } else {
        d->bandBase = shift ? d->selection : std::vector<int>();
        if (!shift) {
            d->selection.clear();
        }
        d->gesture = Gesture::RubberBand;
        d->pressPosition = at;
        d->band = QRectF();
    }
    emit needUpdate();
    return true;
}

bool FacialPointsController::mouseMove(QPoint position, QSize viewSize)
{
    return mouseMove(position, viewSize, Qt::NoModifier);
}

bool FacialPointsController::mouseMove(QPoint position, QSize viewSize,
                                       Qt::KeyboardModifiers modifiers)
{
    if (!d->facialPoints || d->gesture == Gesture::None) {
        return false;
    }
    // In an empty view every position would map to an edge: leave the points where they are.
    if (viewSize.isEmpty()) {
        return false;
    }
    setViewSize(viewSize);
    const QPointF at(position);
    switch (d->gesture) {
    case Gesture::DragPoint:
        if (d->draggedIndex >= d->facialPoints->count()) {
            return false;
        }
        d->facialPoints->setPoint(clampToPicture(d->transform.toFraction(at + d->dragOffset)),
                                  d->draggedIndex);
        return true;
    case Gesture::DragGroup:
        d->moveGroup(at);
        return true;
    case Gesture::Scale:
        d->scaleGroup(at, modifiers & Qt::ShiftModifier);
        return true;
    case Gesture::Rotate:
        d->rotateGroup(at);
        return true;
    case Gesture::RubberBand:
        d->band = QRectF(d->pressPosition, at);
        emit needUpdate();
        return true;
    case Gesture::None:
        break;
    }
    return false;
}

bool FacialPointsController::mouseRelease(QPoint, QSize)
{
    if (d->gesture == Gesture::None) {
        return false;
    }
    if (!d->facialPoints) {
        d->gesture = Gesture::None;
        d->draggedIndex = -1;
        return true;
    }
    switch (d->gesture) {
    case Gesture::DragPoint: {
        const int index = std::exchange(d->draggedIndex, -1);
        d->gesture = Gesture::None;
        if (index < d->facialPoints->count()) {
            const FacialPoint end = d->facialPoints->points()[size_t(index)];
            // A press and release without movement is no step of its own.
            if (end != d->dragStart) {
                execute(d->undoStack,
                        std::make_unique<MovePointsCommand>(d->facialPoints, QVector<int>{index},
                                                            core::FacialPointVector{d->dragStart},
                                                            core::FacialPointVector{end}, true));
            }
        }
        break;
    }
    case Gesture::DragGroup:
    case Gesture::Scale:
    case Gesture::Rotate:
        d->finishGroup();
        break;
    case Gesture::RubberBand:
        d->finishRubberBand();
        break;
    case Gesture::None:
        break;
    }
    emit needUpdate();
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

int FacialPointsController::draggedIndex() const
{
    return d->draggedIndex;
}

bool FacialPointsController::isGestureActive() const
{
    return d->gesture != Gesture::None;
}

QVector<int> FacialPointsController::selection() const
{
    return QVector<int>(d->selection.begin(), d->selection.end());
}

void FacialPointsController::setSelection(const QVector<int>& indices)
{
    const int count = d->facialPoints ? d->facialPoints->count() : 0;
    std::vector<int> chosen;
    for (int index : indices) {
        if (index >= 0 && index < count) {
            chosen.push_back(index);
        }
    }
    std::sort(chosen.begin(), chosen.end());
    chosen.erase(std::unique(chosen.begin(), chosen.end()), chosen.end());
    if (chosen != d->selection) {
        d->selection = std::move(chosen);
        emit needUpdate();
    }
}

void FacialPointsController::selectAll()
{
    const int count = d->facialPoints ? d->facialPoints->count() : 0;
    std::vector<int> all(size_t(std::max(count, 0)));
    for (int i = 0; i < count; ++i) {
        all[size_t(i)] = i;
    }
    d->selection = std::move(all);
    emit needUpdate();
}

void FacialPointsController::clearSelection()
{
    if (!d->selection.empty()) {
        d->selection.clear();
        emit needUpdate();
    }
}

void FacialPointsController::selectNext()
{
    const int count = d->facialPoints ? d->facialPoints->count() : 0;
    if (count == 0) {
        return;
    }
    const int next = d->selection.size() == 1 ? (d->selection.front() + 1) % count : 0;
    setSelection({next});
}

void FacialPointsController::selectPrevious()
{
    const int count = d->facialPoints ? d->facialPoints->count() : 0;
    if (count == 0) {
        return;
    }
    const int previous =
        d->selection.size() == 1 ? (d->selection.front() + count - 1) % count : count - 1;
    setSelection({previous});
}

bool FacialPointsController::nudgeSelection(QPointF viewDelta)
{
    if (!d->facialPoints || !d->transform.isValid() || d->gesture != Gesture::None) {
        return false;
    }
    const core::FacialPointVector points = d->facialPoints->points();
    d->beginGroup(Gesture::None, QPointF(), points);
    if (d->groupIndices.isEmpty()) {
        return false;
    }
    d->moveGroup(viewDelta);
    const core::FacialPointVector now = d->facialPoints->points();
    core::FacialPointVector after;
    for (int index : d->groupIndices) {
        after.push_back(now[size_t(index)]);
    }
    if (after == d->groupStart) {
        return false;
    }
    execute(d->undoStack, std::make_unique<MovePointsCommand>(d->facialPoints, d->groupIndices,
                                                              d->groupStart, after, true, true));
    return true;
}

const ViewTransform& FacialPointsController::viewTransform() const
{
    return d->transform;
}

void FacialPointsController::setViewSize(QSize viewSize)
{
    d->transform.setViewSize(viewSize);
}

void FacialPointsController::zoomBy(double factor, QPointF anchor)
{
    const double before = d->transform.zoom();
    const QPointF centre = d->transform.centre();
    d->transform.zoomBy(factor, anchor);
    if (d->transform.zoom() != before || d->transform.centre() != centre) {
        emit needUpdate();
    }
}

void FacialPointsController::zoomIn()
{
    zoomBy(zoomStep, QRectF(QPointF(0, 0), QSizeF(d->transform.viewSize())).center());
}

void FacialPointsController::zoomOut()
{
    zoomBy(1.0 / zoomStep, QRectF(QPointF(0, 0), QSizeF(d->transform.viewSize())).center());
}

void FacialPointsController::fitToView()
{
    d->transform.fit();
    emit needUpdate();
}

void FacialPointsController::pan(QPointF delta)
{
    const QPointF centre = d->transform.centre();
    d->transform.pan(delta);
    if (d->transform.centre() != centre) {
        emit needUpdate();
    }
}

QPointF FacialPointsController::viewToPicturePixels(QPointF position) const
{
    return d->transform.toPicturePixels(position);
}

void FacialPointsController::setKeepAspectRatio(bool keep)
{
    if (keep != d->transform.keepAspectRatio()) {
        d->transform.setKeepAspectRatio(keep);
        emit needUpdate();
    }
}

bool FacialPointsController::keepAspectRatio() const
{
    return d->transform.keepAspectRatio();
}

void FacialPointsController::setShowNumbers(bool show)
{
    if (show != d->showNumbers) {
        d->showNumbers = show;
        emit needUpdate();
    }
}

bool FacialPointsController::showNumbers() const
{
    return d->showNumbers;
}

void FacialPointsController::setShowOutline(bool show)
{
    if (show != d->showOutline) {
        d->showOutline = show;
        emit needUpdate();
    }
}

bool FacialPointsController::showOutline() const
{
    return d->showOutline;
}

} // namespace tools
