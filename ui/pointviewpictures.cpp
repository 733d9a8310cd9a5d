// How pictures reach the point view (setImage, files, pasted and dropped data, each through the
// picture intake and each an undo step) and what their detection offers: Detect Points Again,
// its status, and the right-click menu that places the points on another face it found, with
// those faces outlined while the menu is open.
#include "ui/pointview_p.h"

#include "core/facialpoints.h"
#include "face_detection_module/landmarkpipeline.h"
#include "tools/pointcommands.h"
#include "ui/pictureintake.h"
#include "ui/waitclock.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QPointer>

#include <cmath>

namespace ui {

void PointView::Impl::takeImage(const QImage& image)
{
    q->finishGesture();
    core::FacialPoints* model = controller.facialPoints();
    const QImage previousPicture = model->image();
    const core::FacialPointVector previousPoints = model->points();
    if (undoStack) {
        tools::makeRoomForPictures(*undoStack, {previousPicture, image});
    }
    model->setImage(image);
    detection.start(image);
    auto step = std::make_unique<tools::ReplacePictureCommand>(
        model, previousPicture, previousPoints, model->image(), model->points(), true);
    // Redo brings back a picture whose detection was dropped by the undo: detect it again.
    step->setAfterRedo([flow = QPointer<DetectionFlow>(&detection)] {
        if (flow) {
            flow->resumeAfterRedo();
        }
    });
    tools::execute(undoStack, std::move(step));
}

void PointView::Impl::paintOtherFaces(QPainter& painter) const
{
    const core::FacialPointVector current = controller.facialPoints()->points();
    painter.setPen(QPen(QColor(255, 255, 255, 110), 1.5, Qt::DashLine));
    painter.setBrush(QColor(255, 255, 255, 30));
    for (int i = 0; i < detection.faceCount(); ++i) {
        if (detection.face(i).points != current) {
            painter.drawRect(transform().pictureToView(QRectF(detection.face(i).rect)));
        }
    }
}

void PointView::setImage(const QImage& image)
{
    if (!facialPoints() || image.isNull()) {
        return;
    }
    d->takeImage(image);
}

bool PointView::insertFromMimeData(const QMimeData* data)
{
    if (!facialPoints() || !data) {
        return false;
    }
    return d->intake.takeMimeData(data);
}

void PointView::openPictureFile(const QString& path)
{
    d->intake.openFile(path);
}

PictureIntake* PointView::pictureIntake() const
{
    return &d->intake;
}

bool PointView::detectAgain()
{
    return d->detection.detectAgain();
}

bool PointView::isDetecting() const
{
    return d->detection.isRunning();
}

QString PointView::detectionStatus() const
{
    return d->detection.statusMessage();
}

std::unique_ptr<QMenu> PointView::faceMenuAt(QPoint position)
{
    if (!facialPoints()) {
        return nullptr;
    }
    const QPointF pixel = viewToPicturePixels(position);
    return faceMenuFor(d->detection.faceAt(QPoint(int(std::floor(pixel.x())), int(std::floor(pixel.y())))));
}

std::unique_ptr<QMenu> PointView::faceMenuFor(int face)
{
    if (!facialPoints() || face < 0 || face >= d->detection.faceCount()) {
        return nullptr;
    }
    auto menu = std::make_unique<QMenu>(this);
    QAction* place = menu->addAction(QStringLiteral("Place Points on This Face"));
    // The menu may have opened in the middle of a drag (a right-click with the left button
    // held): the drag becomes its own step first, not part of what the placement takes back.
    connect(place, &QAction::triggered, d.get(), [this, face] {
        finishGesture();
        d->detection.placeOnFace(face);
    });
    d->faceMenu = menu.get();
    connect(menu.get(), &QObject::destroyed, this, [this] { update(); });
    update();
    return menu;
}

bool PointView::placeOnNextFace()
{
    return d->detection.placeOnFace(d->detection.nextFace());
}

bool PointView::facesSearched() const
{
    return d->detection.facesSearched();
}

void PointView::contextMenuEvent(QContextMenuEvent* event)
{
    // From the keyboard (the Menu key, Shift+F10) the menu opens on the next face, not at the
    // widget's middle, which need not be on one.
    if (event->reason() == QContextMenuEvent::Keyboard) {
        const int next = d->detection.nextFace();
        const std::unique_ptr<QMenu> menu = faceMenuFor(next);
        event->accept();
        if (!menu) {
            emit noNextFace();
            return;
        }
        menu->exec(mapToGlobal(
            d->transform().pictureToView(QRectF(d->detection.face(next).rect)).center().toPoint()));
        return;
    }
    const std::unique_ptr<QMenu> menu = faceMenuAt(event->pos());
    if (!menu) {
        return;
    }
    event->accept();
    menu->exec(event->globalPos());
}

void PointView::dragEnterEvent(QDragEnterEvent* event)
{
    const QMimeData* data = event->mimeData();
    if (data && (data->hasImage() || data->hasUrls())) {
        takeAsCopy(event);
    }
}

void PointView::dropEvent(QDropEvent* event)
{
    if (!facialPoints()) {
        event->ignore();
        return;
    }
    waitclock::begin("drop");
    if (insertFromMimeData(event->mimeData())) {
        takeAsCopy(event);
    }
}

} // namespace ui
