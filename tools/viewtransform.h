#pragma once

#include <QPointF>
#include <QRectF>
#include <QSize>

namespace tools {

// How a picture is laid out in a view: stretched over the view (or letter-boxed when the aspect
// ratio is kept) at zoom 1, enlarged about a chosen picture point at higher zooms. Maps picture
// fractions ([0, 1] across the picture) to view pixels and back. The picture never scrolls past
// its edges: along an axis where it is longer than the view it covers the whole view (but for a
// covered strip along the right or bottom edge, see setCoveredEdges), along an axis where it is
// shorter (a letter-boxed picture) it stays centred.
//
// The state is the zoom and the picture fraction shown at the centre of the fit rectangle; a
// resize keeps both, so the same part of the picture stays in view. A plain value, any thread.
class ViewTransform
{
public:
    static constexpr double minimumZoom = 1.0;
    static constexpr double maximumZoom = 64.0;

    // An empty picture size lays the fractions out over the whole view, as a stretched picture.
    void setPictureSize(QSize size);
    QSize pictureSize() const { return m_picture; }
    void setViewSize(QSize size);
    QSize viewSize() const { return m_view; }
    void setKeepAspectRatio(bool keep);
    bool keepAspectRatio() const { return m_keepAspect; }
    // View pixels along the right edge (width) and the bottom edge (height) that something lies
    // over, such as scroll bars. Along an axis where the picture is longer than the view, its far
    // edge scrolls that much further in, so that what lies at that edge is not beneath it.
    void setCoveredEdges(QSizeF covered);
    QSizeF coveredEdges() const { return m_covered; }
    // The part of the view nothing lies over: the view less the covered strips along its right
    // and bottom edges (view pixels). Empty for an empty view or strips that cover it all.
    QRectF uncoveredRect() const;

    // False when the view has no area: nothing maps then.
    bool isValid() const;

    double zoom() const { return m_zoom; }
    // Sets the zoom (pinned to [minimumZoom, maximumZoom]) keeping the picture point under the
    // view position anchor where it is, as far as the edges allow.
    void setZoom(double zoom, QPointF anchor);
    void zoomBy(double factor, QPointF anchor);
    // Back to zoom 1, the whole picture in view.
    void fit();
    // Moves the picture by delta view pixels (a drag to the right shows more of the left part).
    void pan(QPointF delta);

    // The picture fraction shown at the centre of the fit rectangle.
    QPointF centre() const { return m_centre; }

    // The view rectangle the picture fills at zoom 1.
    QRectF fitRect() const;
    // The whole picture's rectangle in view pixels; larger than the view when zoomed.
    QRectF pictureRect() const;
    // The part of the view the picture covers.
    QRectF visiblePictureRect() const;

    QPointF toView(QPointF fraction) const;
    QPointF toFraction(QPointF viewPosition) const;
    // View position to picture pixels (fractions times the picture size).
    QPointF toPicturePixels(QPointF viewPosition) const;
    // Picture pixels to a view position; the origin of the view when the picture is empty.
    QPointF pictureToView(QPointF picturePixels) const;

    // The same for rectangles: each maps the top-left and bottom-right corners. toFraction
    // gives an empty rectangle for an empty view, pictureToView for an empty picture.
    QRectF toView(const QRectF& fractions) const;
    QRectF toFraction(const QRectF& viewRect) const;
    QRectF toPicturePixels(const QRectF& viewRect) const;
    QRectF pictureToView(const QRectF& picturePixels) const;
    // View pixels per picture fraction, along x and y.
    double viewPixelsPerFractionX() const;
    double viewPixelsPerFractionY() const;

private:
    void clampCentre();

    QSize m_picture;
    QSize m_view;
    bool m_keepAspect = false;
    QSizeF m_covered{0, 0};
    double m_zoom = 1.0;
    QPointF m_centre{0.5, 0.5};
};

} // namespace tools
