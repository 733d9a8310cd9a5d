// The point view's mesh: View → Show Mesh draws the preview's triangulation beneath the
// markers; the triangles the points fold are kept up to date with every change of the points,
// told as a message, and their corners can be selected.
#include "ui/pointview_p.h"

#include "core/facialpoints.h"

#include <QPainter>

namespace ui {

void PointView::Impl::refreshFolds()
{
    core::FacialPoints* model = controller.facialPoints();
    mesh::LeftOutTriangles leftOut;
    if (model) {
        leftOut = mesh::leftOutTriangles(model->points(), QSizeF(model->image().size()));
    }
    folded = std::move(leftOut.folded);
    tooSmall = std::move(leftOut.tooSmall);
    const QString message = mesh::leftOutMessage(int(folded.size()), int(tooSmall.size()),
                                                 model ? model->image().size() : QSize());
    if (message != foldedMessage) {
        foldedMessage = message;
        emit q->foldedMessageChanged(message);
    }
}

void PointView::Impl::paintMesh(QPainter& painter, const tools::ViewTransform& transform) const
{
    core::FacialPoints* model = controller.facialPoints();
    if (!model) {
        return;
    }
    core::FacialPointVector viewPoints;
    for (const FacialPoint& p : model->points()) {
        viewPoints.push_back(transform.toView(p));
    }
    mesh::paint(painter, viewPoints, folded, tooSmall);
}

void PointView::setShowMesh(bool show)
{
    d->showMesh = show;
    if (show) {
        d->controller.setUnderlay([this](QPainter& painter, const tools::ViewTransform& transform) {
            d->paintMesh(painter, transform);
        });
    } else {
        d->controller.setUnderlay({});
    }
    update();
}

bool PointView::showMesh() const
{
    return d->showMesh;
}

QString PointView::foldedMessage() const
{
    return d->foldedMessage;
}

bool PointView::selectFoldedPoints()
{
    if (d->folded.empty()) {
        return false;
    }
    QVector<int> corners;
    for (int corner : mesh::cornersOf(d->folded)) {
        corners.push_back(corner);
    }
    d->controller.setSelection(corners);
    update();
    return true;
}

} // namespace ui
