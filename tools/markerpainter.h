#pragma once

// Owns what the point editor draws and the caches that make redrawing cheap: the visible part
// of the picture, the face's outline, the red markers with their numbers (one cached picture
// per number), the ring on selected markers, the selection's box with its handles and the
// rubber band. Reads the points and the selection; changes neither. GUI thread only (QPixmap).

#include <QCache>
#include <QFont>
#include <QImage>
#include <QPixmap>
#include <QPoint>
#include <QRect>
#include <QRectF>

#include <functional>

#include <vector>

class QPainter;

namespace tools {

class PointSelection;
class ViewTransform;

class MarkerPainter
{
public:
    // Half the side of a marker's square, in view pixels: the disc's radius and its hit area.
    static constexpr double markerRadius = 6.0;

    MarkerPainter();

    void setShowNumbers(bool show) { m_showNumbers = show; }
    bool showNumbers() const { return m_showNumbers; }
    void setShowOutline(bool show) { m_showOutline = show; }
    bool showOutline() const { return m_showOutline; }

    // Drawn over the picture and beneath the outline and the markers (the mesh, say); none when
    // empty.
    using Underlay = std::function<void(QPainter&, const ViewTransform&)>;
    void setUnderlay(Underlay underlay) { m_underlay = std::move(underlay); }

    // Forgets the converted picture; the next paint converts the picture it is given.
    void dropPictureCache()
    {
        m_pictureCache = QPixmap();
        m_scaled = QPixmap();
        m_scaledFor = m_lastDrawn = ViewDrawing();
    }
    // Whether the next repaint of the same view copies the picture as last scaled.
    bool keepsScaledPicture() const { return !m_scaled.isNull(); }

    // Draws into the exposed rectangle (view pixels) the picture, the outline, the markers that
    // overlap it, the selection's box and, when not empty, the rubber band (view pixels).
    // points are fractions of the picture; those that are not finite are left out.
    void paint(QPainter& painter, const QRect& exposed, const ViewTransform& transform,
               const QImage& picture, const std::vector<QPointF>& points,
               const PointSelection& selection, const QRectF& rubberBand);

private:
    Q_DISABLE_COPY(MarkerPainter)

    Underlay m_underlay;

    void createMarkerPictures();
    const QPixmap& numberedMarker(int index);
    void drawPicture(QPainter& painter, const QRect& exposed, const ViewTransform& transform,
                     const QImage& picture);
    void drawOutline(QPainter& painter, const ViewTransform& transform,
                     const std::vector<QPointF>& points);
    void drawMarkers(QPainter& painter, const QRect& exposed, const ViewTransform& transform,
                     const std::vector<QPointF>& points, const PointSelection& selection);
    void drawSelectionBox(QPainter& painter, const ViewTransform& transform,
                          const std::vector<QPointF>& points, const PointSelection& selection);
    void drawRubberBand(QPainter& painter, const QRectF& band);

    QPixmap m_pictureCache;
    // How the picture was scaled onto the view: its pixels in view, where they went, the view.
    struct ViewDrawing
    {
        QRect source;
        QRectF target;
        QSize view;
        qreal ratio = 0.0;
        qint64 picture = 0;
        bool operator==(const ViewDrawing& other) const
        {
            return source == other.source && target == other.target && view == other.view
                && ratio == other.ratio && picture == other.picture;
        }
    };
    // The picture scaled onto the whole view (null: none kept), for the drawing m_scaledFor;
    // m_lastDrawn is the drawing of the previous paint.
    QPixmap m_scaled;
    ViewDrawing m_scaledFor;
    ViewDrawing m_lastDrawn;
    QFont m_markerFont{QString(), 8};
    QPixmap m_disc;
    QPoint m_discHotSpot;
    QPixmap m_ring;
    QPoint m_ringHotSpot;
    // Discs with their numbers, by index.
    QCache<int, QPixmap> m_numbers;
    // Where a number goes relative to its marker's centre, and where a numbered marker's
    // picture starts.
    QPoint m_numberOffset;
    QPoint m_numberedOrigin;
    bool m_showNumbers = true;
    bool m_showOutline = true;
};

} // namespace tools
