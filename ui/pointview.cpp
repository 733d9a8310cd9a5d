#include "ui/pointview.h"

#include "ui/detectionflow.h"
#include "core/facialpoints.h"
#include "tools/facialpointscontroller.h"
#include "core/imagefiles.h"
#include "ui/landmarkfileio.h"
#include "face_detection_module/landmarkpipeline.h"
#include "ui/meshoverlay.h"
#include "ui/pictureintake.h"
#include "tools/pointcommands.h"
#include "ui/prompts.h"
#include "ui/viewnavigation.h"
#include "tools/viewport.h"
#include "tools/viewtransform.h"
#include "ui/waitclock.h"

#include <QClipboard>
#include <QCursor>
#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QPaintEvent>
#include <QUndoStack>
#include <QWheelEvent>

#include <cmath>

namespace ui {

namespace {

// A wheel notch is 120 units; touchpads send smaller steps, which count in proportion.
constexpr double wheelNotch = 120.0;
// View pixels scrolled per wheel notch.
constexpr double scrollPerNotch = 40.0;
// Arrow keys nudge by one view pixel, by ten with Shift.
constexpr double nudgeStep = 1.0;
constexpr double largeNudgeStep = 10.0;
// How far inside the view's edges keyboard work keeps the selected point: its marker and number.
constexpr double visibleMargin = 40.0;

} // namespace

class PointView::Impl : public QObject
{
public:
    Impl(PointView* owner, core::FacialPointsDetector* detector, PromptSession* session)
        : q(owner)
        , ownSession(session ? nullptr : std::make_unique<PromptSession>())
        , detection(detector, session ? *session : *ownSession)
    {
        viewport.setViewSizeSource([owner] { return owner->size(); });
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

    void paintOtherFaces(QPainter& painter) const;
    void refreshFolds();
    void paintMesh(QPainter& painter, const tools::ViewTransform& transform) const;
    void refreshPointInfo();
    QString pointInfo() const;
    bool handleEditingKey(QKeyEvent* event);
    void keepSelectionVisible();
    void stopPanning();
    void reportCursor(QPoint position);
    const tools::ViewTransform& transform() const { return viewport.transform(); }

    PointView* q;
    // The view's layout; its size is the widget's, read whenever the layout is.
    tools::Viewport viewport;
    tools::FacialPointsController controller{viewport};
    std::unique_ptr<PromptSession> ownSession;
    DetectionFlow detection;
    PictureIntake intake;
    QPointer<QUndoStack> undoStack;
    // The open face menu; while it exists the faces it offers are outlined.
    QPointer<QMenu> faceMenu;
    QString lastPointInfo;
    QString lastCursorText;
    // Scroll bars and the overview, children of the view.
    ViewNavigation* navigation = nullptr;
    bool spaceHeld = false;
    bool showMesh = false;
    // The triangles the points fold, kept up to date with every change of the points.
    std::vector<preview::FaceTriangle> folded;
    QString foldedMessage;
};

void PointView::Impl::refreshFolds()
{
    core::FacialPoints* model = controller.facialPoints();
    folded = model ? mesh::foldedTriangles(model->points(), QSizeF(model->image().size()))
                   : std::vector<preview::FaceTriangle>();
    const QString message = mesh::foldedMessage(int(folded.size()));
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
    mesh::paint(painter, viewPoints, folded);
}

void PointView::Impl::refreshPointInfo()
{
    const QString text = pointInfo();
    if (text != lastPointInfo) {
        lastPointInfo = text;
        emit q->pointInfoChanged(text);
    }
}

QString PointView::Impl::pointInfo() const
{
    const core::FacialPoints* model = controller.facialPoints();
    const QVector<int> selection = controller.selection();
    const double zoom = transform().zoom();
    const QString zoomText = zoom > tools::ViewTransform::minimumZoom
        ? QStringLiteral("%1 %").arg(qRound(zoom * 100))
        : QString();
    if (!model || selection.isEmpty()) {
        return zoomText;
    }
    if (selection.size() > 1 || selection.front() >= model->count()) {
        const QString count = QStringLiteral("%1 points selected").arg(selection.size());
        return zoomText.isEmpty() ? count : count + QStringLiteral(" \u2014 ") + zoomText;
    }
    const int index = selection.front();
    const FacialPoint point = model->points()[size_t(index)];
    const QSize picture = transform().pictureSize();
    QString text;
    if (picture.isEmpty()) {
        text = QStringLiteral("Point %1: %2, %3")
                   .arg(index)
                   .arg(point.x(), 0, 'f', 3)
                   .arg(point.y(), 0, 'f', 3);
    } else {
        text = QStringLiteral("Point %1: %2, %3 px of %4 \u00d7 %5")
                   .arg(index)
                   .arg(point.x() * picture.width(), 0, 'f', 1)
                   .arg(point.y() * picture.height(), 0, 'f', 1)
                   .arg(picture.width())
                   .arg(picture.height());
    }
    if (!zoomText.isEmpty()) {
        text += QStringLiteral(" \u2014 ") + zoomText;
    }
    return text;
}

bool PointView::Impl::handleEditingKey(QKeyEvent* event)
{
    const bool shift = event->modifiers() & Qt::ShiftModifier;
    const double step = shift ? largeNudgeStep : nudgeStep;
    switch (event->key()) {
    case Qt::Key_Left:
        controller.nudgeSelection(QPointF(-step, 0));
        keepSelectionVisible();
        return true;
    case Qt::Key_Right:
        controller.nudgeSelection(QPointF(step, 0));
        keepSelectionVisible();
        return true;
    case Qt::Key_Up:
        controller.nudgeSelection(QPointF(0, -step));
        keepSelectionVisible();
        return true;
    case Qt::Key_Down:
        controller.nudgeSelection(QPointF(0, step));
        keepSelectionVisible();
        return true;
    case Qt::Key_Escape:
        controller.clearSelection();
        return true;
    case Qt::Key_A:
        if (event->modifiers() & Qt::ControlModifier) {
            controller.selectAll();
            return true;
        }
        return false;
    default:
        return false;
    }
}

// A zoomed view scrolls so that the selection (its box, or its middle when the box is larger
// than the view) stays visualMargin inside the view's edges: keyboard work is never blind.
void PointView::Impl::keepSelectionVisible()
{
    const core::FacialPoints* model = controller.facialPoints();
    const tools::ViewTransform& layout = transform();
    if (!model || layout.zoom() <= tools::ViewTransform::minimumZoom) {
        return;
    }
    const core::FacialPointVector points = model->points();
    double left = HUGE_VAL, top = HUGE_VAL, right = -HUGE_VAL, bottom = -HUGE_VAL;
    for (int index : controller.selection()) {
        if (index < 0 || size_t(index) >= points.size() || !std::isfinite(points[size_t(index)].x())
            || !std::isfinite(points[size_t(index)].y())) {
            continue;
        }
        const QPointF at = layout.toView(points[size_t(index)]);
        left = std::min(left, at.x());
        right = std::max(right, at.x());
        top = std::min(top, at.y());
        bottom = std::max(bottom, at.y());
    }
    const QRectF room = QRectF(QPointF(0, 0), QSizeF(q->size()))
                            .adjusted(visibleMargin, visibleMargin, -visibleMargin, -visibleMargin);
    if (room.isEmpty() || left > right) {
        return;
    }
    const QRectF box(QPointF(left, top), QPointF(right, bottom));
    const auto shiftInto = [](double low, double high, double first, double last) {
        if (high - low > last - first) {
            const double middle = (low + high) / 2;
            return middle < first ? first - middle : middle > last ? last - middle : 0.0;
        }
        return low < first ? first - low : high > last ? last - high : 0.0;
    };
    const QPointF shift(shiftInto(box.left(), box.right(), room.left(), room.right()),
                        shiftInto(box.top(), box.bottom(), room.top(), room.bottom()));
    if (!shift.isNull()) {
        viewport.pan(shift);
    }
}

void PointView::Impl::stopPanning()
{
    viewport.endPanDrag();
    if (spaceHeld) {
        q->setCursor(Qt::OpenHandCursor);
    } else {
        q->unsetCursor();
    }
}

void PointView::Impl::reportCursor(QPoint position)
{
    QString text;
    const QSize picture = transform().pictureSize();
    if (!picture.isEmpty() && q->rect().contains(position)) {
        const QPointF pixel = transform().toPicturePixels(QPointF(position));
        if (pixel.x() >= 0 && pixel.y() >= 0 && pixel.x() < picture.width()
            && pixel.y() < picture.height()) {
            text = QStringLiteral("x %1, y %2 px").arg(pixel.x(), 0, 'f', 1).arg(pixel.y(), 0, 'f', 1);
        }
    }
    if (text != lastCursorText) {
        lastCursorText = text;
        emit q->cursorPositionChanged(text);
    }
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

PointView::PointView(core::FacialPointsDetector* detector, PromptSession* session)
    : d(std::make_unique<Impl>(this, detector, session))
{
    connect(&d->controller, &tools::IController::needUpdate, d.get(), [this] {
        update();
        d->refreshPointInfo();
    });
    d->navigation = new ViewNavigation(this, &d->viewport);
    connect(&d->viewport, &tools::Viewport::changed, d.get(), [this] {
        update();
        d->refreshPointInfo();
        d->navigation->sync();
        if (underMouse()) {
            d->reportCursor(mapFromGlobal(QCursor::pos()));
        }
    });
    // The cursor's place in the picture is shown while it moves over it, buttons up or down.
    setMouseTracking(true);
    connect(&d->detection, &DetectionFlow::statusMessageChanged, this, &PointView::statusMessageChanged);
    connect(&d->intake, &PictureIntake::pictureTaken, this, &PointView::setImage);
    // Keys (Ctrl+V among them) reach the view without a click into it first.
    setFocusPolicy(Qt::StrongFocus);
}

PointView::~PointView() = default;

void PointView::setFacialPoints(core::FacialPoints* points)
{
    core::FacialPoints* const previous = facialPoints();
    if (points != previous) {
        if (previous) {
            disconnect(previous, nullptr, d.get(), nullptr);
        }
        if (points) {
            connect(points, &core::FacialPoints::pointsUpdated, d.get(), [this] { d->refreshFolds(); });
            connect(points, &core::FacialPoints::pointChanged, d.get(), [this] { d->refreshFolds(); });
        }
        // Connected before the controller, so that the layout is new when the controller
        // repaints.
        if (points) {
            connect(points, &core::FacialPoints::imageChanged, d.get(),
                    [this, points] {
                        d->viewport.showPicture(points->image().size());
                        d->navigation->setPicture(points->image());
                        d->refreshFolds();
                    });
        }
    }
    d->controller.setFacialPoints(points);
    if (points != previous) {
        d->viewport.showPicture(points ? points->image().size() : QSize());
        d->navigation->setPicture(points ? points->image() : QImage());
    }
    d->detection.setFacialPoints(points);
    setAcceptDrops(points != nullptr);
    d->refreshFolds();
}

void PointView::setMirrorEdits(bool on)
{
    d->controller.setMirrorEdits(on);
}

bool PointView::mirrorSelection()
{
    return d->controller.mirrorSelection();
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

void PointView::setShowOverview(bool show)
{
    d->navigation->setShowOverview(show);
}

bool PointView::showOverview() const
{
    return d->navigation->showOverview();
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

bool PointView::importPoints(const QString& path, QString* reason)
{
    core::FacialPoints* model = facialPoints();
    const QSize picture = model ? model->image().size() : QSize();
    const std::optional<core::FacialPointVector> points = landmarkio::readPoints(path, picture, reason);
    if (!points) {
        return false;
    }
    tools::execute(d->undoStack, std::make_unique<tools::ReplacePointsCommand>(
                                     model, model->points(), *points,
                                     QStringLiteral("Import Points"), false));
    return true;
}

bool PointView::exportPoints(const QString& path, QString* reason) const
{
    const core::FacialPoints* model = facialPoints();
    if (!model) {
        return landmarkio::writePoints(path, {}, QSize(), QString(), reason);
    }
    // dlib's tools look for the picture beside the XML, under the XML's name.
    return landmarkio::writePoints(path, model->points(), model->image().size(),
                                   QFileInfo(path).completeBaseName() + QStringLiteral(".png"),
                                   reason);
}

QVector<int> PointView::selection() const
{
    return d->controller.selection();
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

void PointView::zoomIn()
{
    d->viewport.zoomIn();
}

void PointView::zoomOut()
{
    d->viewport.zoomOut();
}

void PointView::fitToWindow()
{
    d->viewport.fit();
}

void PointView::setShowNumbers(bool show)
{
    d->controller.setShowNumbers(show);
}

void PointView::setShowOutline(bool show)
{
    d->controller.setShowOutline(show);
}

void PointView::setKeepAspectRatio(bool keep)
{
    d->viewport.setKeepAspectRatio(keep);
}

double PointView::zoom() const
{
    return d->transform().zoom();
}

QPointF PointView::viewToPicturePixels(QPoint position) const
{
    return d->transform().toPicturePixels(QPointF(position));
}

bool PointView::event(QEvent* event)
{
    // Tab and Shift+Tab walk through the points instead of moving the keyboard focus.
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) {
            if (key->key() == Qt::Key_Backtab || (key->modifiers() & Qt::ShiftModifier)) {
                d->controller.selectPrevious();
            } else {
                d->controller.selectNext();
            }
            d->keepSelectionVisible();
            event->accept();
            return true;
        }
    }
    return QWidget::event(event);
}

void PointView::mousePressEvent(QMouseEvent* event)
{
    const bool panButton = event->button() == Qt::MiddleButton
        || (event->button() == Qt::LeftButton && d->spaceHeld);
    if (panButton && !d->viewport.isPanDragging()) {
        d->viewport.beginPanDrag(event->pos());
        setCursor(Qt::ClosedHandCursor);
        event->accept();
        return;
    }
    if (event->button() == Qt::LeftButton
        && d->controller.mousePress(event->pos(), event->modifiers())) {
        event->accept();
    }
}

void PointView::mouseMoveEvent(QMouseEvent* event)
{
    d->reportCursor(event->pos());
    if (d->viewport.isPanDragging()) {
        d->viewport.dragPanTo(event->pos());
        event->accept();
        return;
    }
    if (d->controller.mouseMove(event->pos(), event->modifiers())) {
        event->accept();
    }
}

void PointView::mouseReleaseEvent(QMouseEvent* event)
{
    if (d->viewport.isPanDragging()) {
        if (event->button() == Qt::MiddleButton || event->button() == Qt::LeftButton) {
            d->stopPanning();
        }
        event->accept();
        return;
    }
    if (event->button() == Qt::LeftButton && d->controller.mouseRelease(event->pos())) {
        event->accept();
    }
}

void PointView::wheelEvent(QWheelEvent* event)
{
    const QPoint angle = event->angleDelta();
    if (event->modifiers() & Qt::ControlModifier) {
        const double notches = (angle.y() != 0 ? angle.y() : angle.x()) / wheelNotch;
        d->viewport.zoomBy(std::pow(tools::Viewport::zoomStep, notches), event->position());
    } else if (event->modifiers() & Qt::ShiftModifier) {
        const int along = angle.x() != 0 ? angle.x() : angle.y();
        d->viewport.pan(QPointF(along / wheelNotch * scrollPerNotch, 0));
    } else {
        d->viewport.pan(QPointF(angle.x(), angle.y()) / wheelNotch * scrollPerNotch);
    }
    event->accept();
}

void PointView::resizeEvent(QResizeEvent* event)
{
    d->viewport.setViewSize(event->size());
    d->navigation->sync();
    QWidget::resizeEvent(event);
}

void PointView::leaveEvent(QEvent* event)
{
    d->reportCursor(QPoint(-1, -1));
    QWidget::leaveEvent(event);
}

void PointView::paintEvent(QPaintEvent* event)
{
    d->controller.paint(this, event->rect());
    if (facialPoints() && facialPoints()->count() > 0) {
        waitclock::step("markers painted");
    }
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
    const QPointF pixel = viewToPicturePixels(position);
    const int face = d->detection.faceAt(QPoint(int(std::floor(pixel.x())), int(std::floor(pixel.y()))));
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
    if (event->key() == Qt::Key_Space) {
        if (!event->isAutoRepeat()) {
            d->spaceHeld = true;
            if (!d->viewport.isPanDragging()) {
                setCursor(Qt::OpenHandCursor);
            }
        }
        event->accept();
        return;
    }
    if (d->handleEditingKey(event)) {
        event->accept();
        return;
    }
    if (!(event->modifiers() & Qt::ControlModifier) || event->key() != Qt::Key_V) {
        event->ignore();
        return;
    }
    waitclock::begin("paste");
    const QMimeData* data = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
    if (data && insertFromMimeData(data)) {
        event->accept();
    }
}

void PointView::keyReleaseEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Space && !event->isAutoRepeat()) {
        d->spaceHeld = false;
        if (!d->viewport.isPanDragging()) {
            unsetCursor();
        }
        event->accept();
        return;
    }
    QWidget::keyReleaseEvent(event);
}

void PointView::focusOutEvent(QFocusEvent* event)
{
    // The Space release goes elsewhere once the focus has left.
    d->spaceHeld = false;
    if (!d->viewport.isPanDragging()) {
        unsetCursor();
    }
    QWidget::focusOutEvent(event);
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
    waitclock::begin("drop");
    if (insertFromMimeData(event->mimeData())) {
        event->acceptProposedAction();
    }
}

} // namespace ui
