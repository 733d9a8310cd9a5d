// The viewport: owns the view's layout (the transform) and the pan drag, and reports changes.

#include "tools/viewport.h"

#include <utility>

namespace tools {

namespace {

bool sameLayout(const ViewTransform& a, const ViewTransform& b)
{
    return a.viewSize() == b.viewSize() && a.pictureSize() == b.pictureSize()
        && a.keepAspectRatio() == b.keepAspectRatio() && a.zoom() == b.zoom()
        && a.centre() == b.centre() && a.coveredEdges() == b.coveredEdges();
}

} // namespace

Viewport::Viewport(QObject* parent) : QObject(parent) {}

const ViewTransform& Viewport::transform() const
{
    syncViewSize();
    return m_transform;
}

void Viewport::syncViewSize() const
{
    if (!m_viewSizeSource) {
        return;
    }
    const QSize size = m_viewSizeSource();
    if (size != m_transform.viewSize()) {
        m_transform.setViewSize(size);
        // Listeners repaint and refresh what they show; none of them edits the layout.
        emit const_cast<Viewport*>(this)->changed();
    }
}

template <typename Edit>
void Viewport::update(Edit edit)
{
    syncViewSize();
    const ViewTransform before = m_transform;
    edit(m_transform);
    if (!sameLayout(before, m_transform)) {
        emit changed();
    }
}

void Viewport::setViewSizeSource(std::function<QSize()> source)
{
    m_viewSizeSource = std::move(source);
    syncViewSize();
}

void Viewport::setViewSize(QSize size)
{
    update([size](ViewTransform& t) { t.setViewSize(size); });
}

void Viewport::showPicture(QSize pictureSize)
{
    syncViewSize();
    m_transform.setPictureSize(pictureSize);
    m_transform.fit();
    emit changed();
}

void Viewport::setKeepAspectRatio(bool keep)
{
    update([keep](ViewTransform& t) { t.setKeepAspectRatio(keep); });
}

void Viewport::setCoveredEdges(QSizeF covered)
{
    update([covered](ViewTransform& t) { t.setCoveredEdges(covered); });
}

void Viewport::zoomBy(double factor, QPointF anchor)
{
    update([factor, anchor](ViewTransform& t) { t.zoomBy(factor, anchor); });
}

void Viewport::zoomIn()
{
    update([](ViewTransform& t) {
        t.zoomBy(zoomStep, QRectF(QPointF(0, 0), QSizeF(t.viewSize())).center());
    });
}

void Viewport::zoomOut()
{
    update([](ViewTransform& t) {
        t.zoomBy(1.0 / zoomStep, QRectF(QPointF(0, 0), QSizeF(t.viewSize())).center());
    });
}

void Viewport::fit()
{
    update([](ViewTransform& t) { t.fit(); });
}

void Viewport::pan(QPointF delta)
{
    update([delta](ViewTransform& t) { t.pan(delta); });
}

void Viewport::beginPanDrag(QPoint position)
{
    m_panDragging = true;
    m_lastPanPosition = position;
}

void Viewport::dragPanTo(QPoint position)
{
    if (!m_panDragging) {
        return;
    }
    pan(QPointF(position - m_lastPanPosition));
    m_lastPanPosition = position;
}

void Viewport::endPanDrag()
{
    m_panDragging = false;
}

} // namespace tools
