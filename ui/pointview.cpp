#include "pointview.h"

#include "facialpoints.h"
#include "facialpointscontroller.h"
#include "facialpointsdetector.h"
#include "imagefiles.h"
#include "pointcommands.h"
#include "prompts.h"

#include <QClipboard>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPointer>
#include <QPaintEvent>
#include <QUndoStack>
#include <QUrl>
#include <QVariant>

namespace ui {

namespace {

using DetectionResult = core::FacialPointsDetector::DetectionResult;

// The last answer to the repeat-detection question, shared by every view of the process; it is
// offered as the default the next time the question is asked.
QMessageBox::StandardButton lastDetectionAnswer = QMessageBox::Yes;

const char* const detectionQuestionTitle = "Facial points";
const char* const detectionQuestionText =
    "Do you want to repeat facial points detection?\nExisting points will be replaced.";

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
        , detector(detector)
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
        startDetection(image);
        tools::execute(undoStack, std::make_unique<tools::ReplacePictureCommand>(
                                      model, previousPicture, previousPoints, model->image(),
                                      model->points(), true));
    }

    void startDetection(const QImage& image);
    void onDetectionFinished();

    PointView* q;
    tools::FacialPointsController controller;
    core::FacialPointsDetector* detector;
    std::shared_ptr<QFutureWatcher<DetectionResult>> watcher;
    QPointer<QUndoStack> undoStack;
    // Identifies the picture the running detection was started for: a result that arrives
    // after the model got another picture (a package, say) belongs to nothing on screen.
    qint64 detectedImageKey = 0;
};

void PointView::Impl::startDetection(const QImage& image)
{
    if (!detector || detector->state() == core::FacialPointsDetector::Failed) {
        return;
    }
    core::FacialPoints* model = controller.facialPoints();
    if (!model) {
        return;
    }
    if (model->count() > 0) {
        lastDetectionAnswer = Prompts::current().question(
            QString::fromLatin1(detectionQuestionTitle), QString::fromLatin1(detectionQuestionText),
            QMessageBox::Yes | QMessageBox::No, lastDetectionAnswer);
        if (lastDetectionAnswer != QMessageBox::Yes) {
            return;
        }
    }
    // Replacing the pointer destroys the previous watcher, so a superseded detection never
    // reaches the model.
    watcher = detector->detect(image);
    if (!watcher) {
        return;
    }
    detectedImageKey = image.cacheKey();
    connect(watcher.get(), &QFutureWatcherBase::finished, this, &Impl::onDetectionFinished);
    if (watcher->isFinished()) {
        onDetectionFinished();
    }
}

void PointView::Impl::onDetectionFinished()
{
    if (!watcher) {
        return;
    }
    const QFuture<DetectionResult> future = watcher->future();
    // A detection that threw finishes cancelled and without a result; reading it would rethrow.
    if (future.isCanceled() || future.resultCount() < 1) {
        return;
    }
    const core::FacialPointVector points = future.resultAt(0).points;
    core::FacialPoints* model = controller.facialPoints();
    if (!model || model->image().cacheKey() != detectedImageKey) {
        return;
    }
    tools::execute(undoStack, std::make_unique<tools::ReplacePointsCommand>(
                                  model, model->points(), points,
                                  QStringLiteral("Detect Points"), false));
}

PointView::PointView(core::FacialPointsDetector* detector)
    : d(std::make_unique<Impl>(this, detector))
{
    connect(&d->controller, &tools::IController::needUpdate, d.get(), [this] { update(); });
    setFocusPolicy(Qt::ClickFocus);
}

PointView::~PointView() = default;

void PointView::setFacialPoints(core::FacialPoints* points)
{
    d->controller.setFacialPoints(points);
    setAcceptDrops(points != nullptr);
}

void PointView::setUndoStack(QUndoStack* stack)
{
    d->undoStack = stack;
    d->controller.setUndoStack(stack);
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
