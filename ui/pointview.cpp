#include "pointview.h"

#include "detectionflow.h"
#include "facialpoints.h"
#include "facialpointscontroller.h"
#include "imagefiles.h"
#include "landmarkpipeline.h"
#include "pointcommands.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QPaintEvent>
#include <QUndoStack>
#include <QUrl>
#include <QVariant>

namespace ui {

namespace {

QImage imageFromVariant(const QVariant& value)
{
    if (value.userType() == qMetaTypeId<QImage>()) {
        return value.value<QImage>();
    }
    if (value.canConvert<QImage>()) {
        return value.value<QImage>();
    }
    return QImage();
}

} // namespace

class PointView::Impl : public QObject
{
public:
    Impl(PointView* owner, core::FacialPointsDetector* detector)
        : q(owner)
        , detection(detector)
    {
    }

    // The new picture and whatever the question did to the points are one undo step, recorded
    // once the question has been answered; the detection that follows is a step of its own.
    void takeImage(const QImage& image)
    {
        core::FacialPoints* model = controller.facialPoints();
        const QImage previousPicture = model->image();
        const core::FacialPointVector previousPoints = model->points();
        model->setImage(image);
        detection.start(image);
        tools::execute(undoStack, std::make_unique<tools::ReplacePictureCommand>(
                                      model, previousPicture, previousPoints, model->image(),
                                      model->points(), true));
    }

    QPoint toPicture(QPoint viewPosition) const;
    QRect toView(const QRect& pictureRect) const;
    void paintOtherFaces(QPainter& painter) const;

    PointView* q;
    tools::FacialPointsController controller;
    DetectionFlow detection;
    QPointer<QUndoStack> undoStack;
    // The open face menu; while it exists the faces it offers are outlined.
    QPointer<QMenu> faceMenu;
};

// The stretched picture: picture pixel = view position * picture size / view size.
QPoint PointView::Impl::toPicture(QPoint viewPosition) const
{
    const QSize picture = controller.facialPoints()->image().size();
    const QSize view = q->size();
    if (view.isEmpty()) {
        return QPoint(-1, -1);
    }
    return QPoint(int(qint64(viewPosition.x()) * picture.width() / view.width()),
                  int(qint64(viewPosition.y()) * picture.height() / view.height()));
}

QRect PointView::Impl::toView(const QRect& pictureRect) const
{
    const QSize picture = controller.facialPoints()->image().size();
    if (picture.isEmpty()) {
        return QRect();
    }
    const double sx = double(q->width()) / picture.width();
    const double sy = double(q->height()) / picture.height();
    return QRectF(pictureRect.x() * sx, pictureRect.y() * sy, pictureRect.width() * sx,
                  pictureRect.height() * sy)
        .toRect();
}

void PointView::Impl::paintOtherFaces(QPainter& painter) const
{
    const core::FacialPointVector current = controller.facialPoints()->points();
    painter.setPen(QPen(QColor(255, 255, 255, 110), 1.5, Qt::DashLine));
    painter.setBrush(QColor(255, 255, 255, 30));
    for (int i = 0; i < detection.faceCount(); ++i) {
        if (detection.face(i).points != current) {
            painter.drawRect(toView(detection.face(i).rect));
        }
    }
}

PointView::PointView(core::FacialPointsDetector* detector)
    : d(std::make_unique<Impl>(this, detector))
{
    connect(&d->controller, &tools::IController::needUpdate, d.get(), [this] { update(); });
    connect(&d->detection, &DetectionFlow::statusMessageChanged, this, &PointView::statusMessageChanged);
    setFocusPolicy(Qt::ClickFocus);
}

PointView::~PointView() = default;

void PointView::setFacialPoints(core::FacialPoints* points)
{
    d->controller.setFacialPoints(points);
    d->detection.setFacialPoints(points);
    setAcceptDrops(points != nullptr);
}

void PointView::setUndoStack(QUndoStack* stack)
{
    d->undoStack = stack;
    d->controller.setUndoStack(stack);
    d->detection.setUndoStack(stack);
}

core::FacialPoints* PointView::facialPoints() const
{
    return d->controller.facialPoints();
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
    if (data->hasImage()) {
        const QImage image = imageFromVariant(data->imageData());
        if (!image.isNull()) {
            d->takeImage(image);
            return true;
        }
    }
    if (!data->hasUrls()) {
        return false;
    }
    const QList<QUrl> urls = data->urls();
    for (const QUrl& url : urls) {
        if (!url.isLocalFile()) {
            continue;
        }
        const QImage image = core::readImageFile(url.toLocalFile());
        if (!image.isNull()) {
            d->takeImage(image);
            return true;
        }
    }
    return false;
}

void PointView::mousePressEvent(QMouseEvent* event)
{
    if (d->controller.mousePress(event->pos(), size())) {
        event->accept();
    }
}

void PointView::mouseMoveEvent(QMouseEvent* event)
{
    if (d->controller.mouseMove(event->pos(), size())) {
        event->accept();
    }
}

void PointView::mouseReleaseEvent(QMouseEvent* event)
{
    if (d->controller.mouseRelease(event->pos(), size())) {
        event->accept();
    }
}

void PointView::paintEvent(QPaintEvent* event)
{
    d->controller.paint(this, event->rect(), size());
    if (d->faceMenu && facialPoints()) {
        QPainter painter(this);
        d->paintOtherFaces(painter);
    }
}

std::unique_ptr<QMenu> PointView::faceMenuAt(QPoint position)
{
    if (!facialPoints()) {
        return nullptr;
    }
    const int face = d->detection.faceAt(d->toPicture(position));
    if (face < 0) {
        return nullptr;
    }
    auto menu = std::make_unique<QMenu>(this);
    QAction* place = menu->addAction(QStringLiteral("Place Points on This Face"));
    connect(place, &QAction::triggered, d.get(), [this, face] { d->detection.placeOnFace(face); });
    d->faceMenu = menu.get();
    connect(menu.get(), &QObject::destroyed, this, [this] { update(); });
    update();
    return menu;
}

void PointView::contextMenuEvent(QContextMenuEvent* event)
{
    const std::unique_ptr<QMenu> menu = faceMenuAt(event->pos());
    if (!menu) {
        return;
    }
    event->accept();
    menu->exec(event->globalPos());
}

void PointView::keyPressEvent(QKeyEvent* event)
{
    if (!(event->modifiers() & Qt::ControlModifier) || event->key() != Qt::Key_V) {
        return;
    }
    const QMimeData* data = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
    if (data && insertFromMimeData(data)) {
        event->accept();
    }
}

void PointView::dragEnterEvent(QDragEnterEvent* event)
{
    const QMimeData* data = event->mimeData();
    if (data && (data->hasImage() || data->hasUrls())) {
        event->acceptProposedAction();
    }
}

void PointView::dropEvent(QDropEvent* event)
{
    if (!facialPoints()) {
        event->ignore();
        return;
    }
    if (insertFromMimeData(event->mimeData())) {
        event->acceptProposedAction();
    }
}

} // namespace ui
