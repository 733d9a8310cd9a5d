// The marker painter: draws the picture, outline, markers, numbers, selection box and rubber
// band, and owns the pixmap caches that keep repaints cheap.

#include "tools/markerpainter.h"

#include "tools/pointselection.h"
#include "tools/selectionbox.h"
#include "tools/viewtransform.h"

#include <QBrush>
#include <QFontMetrics>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QPolygonF>

#include <algorithm>
#include <cmath>

namespace tools {

namespace {

// Pixel positions are clamped to this before they become ints. It lies far beyond any view,
// and far enough below INT_MAX that subtracting a hot spot or adding a marker size stays in
// range; converting a larger double to int would be undefined.
constexpr double pixelLimit = 1 << 30;

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

struct VisibleMarker
{
    int index;
    QPoint centre;
};

} // namespace

MarkerPainter::MarkerPainter()
{
    m_numbers.setMaxCost(numberCacheEntries);
    createMarkerPictures();
}

void MarkerPainter::paint(QPainter& painter, const QRect& exposed, const ViewTransform& transform,
                          const QImage& picture, const std::vector<QPointF>& points,
                          const PointSelection& selection, const QRectF& rubberBand)
{
    drawPicture(painter, exposed, transform, picture);
    if (m_underlay) {
        painter.save();
        m_underlay(painter, transform);
        painter.restore();
    }
    drawOutline(painter, transform, points);
    drawMarkers(painter, exposed, transform, points, selection);
    drawSelectionBox(painter, transform, points, selection);
    drawRubberBand(painter, rubberBand);
}

void MarkerPainter::createMarkerPictures()
{
    const int diameter = int(2 * markerRadius);
    m_disc = QPixmap(diameter + 2, diameter + 2);
    m_disc.fill(Qt::transparent);
    {
        QPainter painter(&m_disc);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setBrush(QBrush(Qt::red, Qt::SolidPattern));
        painter.drawEllipse(QRect(1, 1, diameter, diameter));
    }
    m_discHotSpot = QRect(1, 1, diameter, diameter).center();

    const int ringRadius = diameter / 2 + 4;
    m_ring = QPixmap(2 * ringRadius + 4, 2 * ringRadius + 4);
    m_ring.fill(Qt::transparent);
    {
        QPainter painter(&m_ring);
        painter.setRenderHint(QPainter::Antialiasing);
        const QPointF centre(m_ring.width() / 2.0, m_ring.height() / 2.0);
        painter.setPen(QPen(Qt::black, 4.0));
        painter.drawEllipse(centre, ringRadius, ringRadius);
        painter.setPen(QPen(QColor(0, 230, 255), 2.0));
        painter.drawEllipse(centre, ringRadius, ringRadius);
    }
    m_ringHotSpot = QPoint(m_ring.width() / 2, m_ring.height() / 2);

    // The number stands above right of the m_disc, as it always has.
    const int textHeight = QFontMetrics(m_markerFont).height();
    m_numberOffset = QPoint(diameter / 2 + 1 - 2, -textHeight - diameter / 2 + 1 - 2);
    m_numberedOrigin = QPoint(std::min(-m_discHotSpot.x(), m_numberOffset.x()),
                            std::min(-m_discHotSpot.y(), m_numberOffset.y()));
}

const QPixmap& MarkerPainter::numberedMarker(int index)
{
    if (const QPixmap* cached = m_numbers.object(index)) {
        return *cached;
    }
    const QString text = QString::number(index);
    const QFontMetrics metrics(m_markerFont);
    const QSize textSize = metrics.size(Qt::TextSingleLine, text);
    // The m_disc and its number in one picture, one blit per marker. Two pixels around the text
    // for its light outline.
    const QPoint discAt = -m_discHotSpot - m_numberedOrigin;
    const QPoint textAt = m_numberOffset - m_numberedOrigin;
    auto* picture = new QPixmap(std::max(discAt.x() + m_disc.width(), textAt.x() + textSize.width() + 4),
                                std::max(discAt.y() + m_disc.height(), textAt.y() + textSize.height() + 4));
    picture->fill(Qt::transparent);
    {
        QPainter painter(picture);
        painter.drawPixmap(discAt, m_disc);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath path;
        path.addText(textAt.x() + 2, textAt.y() + 2 + metrics.ascent(), m_markerFont, text);
        painter.strokePath(path, QPen(QColor(255, 255, 255, 210), 2.5, Qt::SolidLine,
                                      Qt::RoundCap, Qt::RoundJoin));
        painter.fillPath(path, Qt::black);
    }
    m_numbers.insert(index, picture, 1);
    return *m_numbers.object(index);
}

void MarkerPainter::drawPicture(QPainter& painter, const QRect& exposed,
                                const ViewTransform& transform, const QImage& picture)
{
    if (m_pictureCache.isNull()) {
        m_pictureCache = QPixmap::fromImage(picture);
    }
    if (m_pictureCache.isNull()) {
        return;
    }
    const QRectF visible = transform.visiblePictureRect();
    if (visible.isEmpty() || visible.intersected(QRectF(exposed)).isEmpty()) {
        return;
    }
    // The picture pixels in view, widened to whole pixels, scaled onto the view: the same
    // source and target whatever the exposed area, so that every paint samples the same grid.
    // The pixels are counted in the picture being drawn, whatever size the transform was last
    // told.
    const QSizeF cached(m_pictureCache.size());
    const QPointF fromFraction = transform.toFraction(visible.topLeft());
    const QPointF toFraction = transform.toFraction(visible.bottomRight());
    const QPointF from(fromFraction.x() * cached.width(), fromFraction.y() * cached.height());
    const QPointF to(toFraction.x() * cached.width(), toFraction.y() * cached.height());
    const QRect bounds(QPoint(0, 0), m_pictureCache.size());
    const QRect source =
        QRect(QPoint(int(std::floor(from.x())), int(std::floor(from.y()))),
              QPoint(int(std::ceil(to.x())) - 1, int(std::ceil(to.y())) - 1))
            .intersected(bounds);
    if (source.isEmpty()) {
        return;
    }
    const QPointF topLeft = transform.toView(
        QPointF(source.left() / cached.width(), source.top() / cached.height()));
    const QPointF bottomRight = transform.toView(QPointF(
        (source.right() + 1) / cached.width(), (source.bottom() + 1) / cached.height()));
    const QRectF target(topLeft, bottomRight);

    // A repaint of an unchanged view (a marker dragged, a menu closed) copies the picture as
    // last scaled instead of scaling it again. The scaled copy is kept from the second paint of
    // a view on, so that zooming and panning, which change the view at every paint, never pay
    // for it.
    const qreal ratio = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    const ViewDrawing drawing{source, target, transform.viewSize(), ratio,
                              m_pictureCache.cacheKey()};
    if (!(drawing == m_scaledFor)) {
        m_scaled = QPixmap();
        if (drawing == m_lastDrawn && !drawing.view.isEmpty()) {
            m_scaled = QPixmap(drawing.view * ratio);
            m_scaled.setDevicePixelRatio(ratio);
            m_scaled.fill(Qt::transparent);
            QPainter scaledPainter(&m_scaled);
            scaledPainter.setRenderHints(painter.renderHints());
            scaledPainter.drawPixmap(target, m_pictureCache, QRectF(source));
            scaledPainter.end();
            m_scaledFor = drawing;
        }
        m_lastDrawn = drawing;
    }
    painter.save();
    painter.setClipRect(exposed);
    if (!m_scaled.isNull()) {
        const QRect area = exposed.intersected(QRect(QPoint(0, 0), drawing.view));
        painter.drawPixmap(QRectF(area), m_scaled,
                           QRectF(QPointF(area.topLeft()) * ratio, QSizeF(area.size()) * ratio));
    } else {
        painter.drawPixmap(target, m_pictureCache, QRectF(source));
    }
    painter.restore();
}

void MarkerPainter::drawOutline(QPainter& painter, const ViewTransform& transform,
                                const std::vector<QPointF>& points)
{
    if (!m_showOutline || points.size() < size_t(outlinePointCount)) {
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

void MarkerPainter::drawMarkers(QPainter& painter, const QRect& exposed,
                                const ViewTransform& transform,
                                const std::vector<QPointF>& points,
                                const PointSelection& selection)
{
    // What a marker may cover around its centre: the disc, the ring and the widest number.
    const int digits = int(QString::number(std::max<size_t>(points.size(), 1) - 1).size());
    const int numberWidth =
        QFontMetrics(m_markerFont).horizontalAdvance(QString(digits, QLatin1Char('8'))) + 8;
    const QRect reach(std::min(-m_ringHotSpot.x(), m_numberOffset.x()),
                      std::min(-m_ringHotSpot.y(), m_numberOffset.y()),
                      std::max(m_ring.width(), m_numberOffset.x() + m_ringHotSpot.x() + numberWidth),
                      std::max(m_ring.height(), m_ringHotSpot.y() - m_numberOffset.y()));

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
        // The m_ring lies outside the m_disc: beneath the marker it leaves the number readable.
        if (selection.contains(marker.index)) {
            painter.drawPixmap(marker.centre - m_ringHotSpot, m_ring);
        }
        if (m_showNumbers && !crowded) {
            painter.drawPixmap(marker.centre + m_numberedOrigin, numberedMarker(marker.index));
        } else {
            painter.drawPixmap(marker.centre - m_discHotSpot, m_disc);
        }
    }
}

void MarkerPainter::drawSelectionBox(QPainter& painter, const ViewTransform& transform,
                                     const std::vector<QPointF>& points,
                                     const PointSelection& selection)
{
    std::vector<QPointF> selected;
    for (int index : selection.finiteIndices(points)) {
        selected.push_back(transform.toView(points[size_t(index)]));
    }
    const SelectionBox box =
        SelectionBox::around(selected, transform.uncoveredRect());
    if (box.isNull()) {
        return;
    }
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const QPointF top = box.topCentre();
    const QPointF handle = box.turnHandle();
    for (const QPen& pen : {QPen(Qt::black, 3.0), QPen(QColor(0, 230, 255), 1.0, Qt::DashLine)}) {
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(box.rect());
        painter.drawLine(top, handle);
    }
    painter.setPen(QPen(Qt::black, 1.0));
    painter.setBrush(Qt::white);
    const double half = SelectionBox::handleHalfSide;
    for (const QPointF& corner : box.corners()) {
        painter.drawRect(QRectF(corner - QPointF(half, half), QSizeF(2 * half, 2 * half)));
    }
    painter.drawEllipse(handle, SelectionBox::turnHandleRadius - 1, SelectionBox::turnHandleRadius - 1);
    painter.restore();
}

void MarkerPainter::drawRubberBand(QPainter& painter, const QRectF& dragged)
{
    // From the press to the cursor: up or left of the press the rectangle has a negative size.
    const QRectF band = dragged.normalized();
    if (band.isEmpty()) {
        return;
    }
    painter.save();
    painter.setPen(QPen(QColor(0, 230, 255), 1.0, Qt::DashLine));
    painter.setBrush(QColor(0, 160, 255, 50));
    painter.drawRect(band);
    painter.restore();
}

} // namespace tools
