#pragma once

// Owns how the picture lies in one view: the view transform (view size, zoom, scroll position,
// letter-boxing) and a pan drag in progress. The view owns one; the point tool reads its
// transform. changed() follows every change that moves the picture on screen, so the view
// repaints and the footer (and anything else that shows the layout) follows. GUI thread only.

#include "tools/viewtransform.h"

#include <QObject>
#include <QPoint>

#include <functional>

namespace tools {

class Viewport : public QObject
{
    Q_OBJECT
public:
    // The zoom factor of one Zoom In step.
    static constexpr double zoomStep = 1.25;

    explicit Viewport(QObject* parent = nullptr);

    // The layout, with the view size brought up to date from the size source first.
    const ViewTransform& transform() const;

    // Where the view size comes from: the view's own size, read whenever the transform is, so
    // that a hidden widget (which gets its resize event only when shown) maps right too.
    // Without a source, setViewSize sets it.
    void setViewSizeSource(std::function<QSize()> source);
    void setViewSize(QSize size);
    // A new picture: its size (empty: none), shown whole (zoom 1).
    void showPicture(QSize pictureSize);
    void setKeepAspectRatio(bool keep);
    // The strips along the right and bottom edges that lie beneath something (ViewTransform).
    void setCoveredEdges(QSizeF covered);

    // Zooms by factor keeping the picture point under anchor (view pixels) where it is.
    void zoomBy(double factor, QPointF anchor);
    // One step in or out about the view's centre.
    void zoomIn();
    void zoomOut();
    // Back to zoom 1, the whole picture in view.
    void fit();
    // Scrolls the picture by delta view pixels; it never scrolls past its edges.
    void pan(QPointF delta);

    // A pan drag: the picture follows the cursor from where the drag began.
    void beginPanDrag(QPoint position);
    void dragPanTo(QPoint position);
    void endPanDrag();
    bool isPanDragging() const { return m_panDragging; }

signals:
    void changed();

private:
    // Applies an edit of the transform and reports it when the picture moved on screen.
    template <typename Edit>
    void update(Edit edit);
    void syncViewSize() const;

    mutable ViewTransform m_transform;
    std::function<QSize()> m_viewSizeSource;
    bool m_panDragging = false;
    QPoint m_lastPanPosition;
};

} // namespace tools
