#include "previewwindow.h"

#include "camerasource.h"
#include "facemaskproject.h"
#include "facialpoints.h"
#include "facialpointsdetector.h"
#include "facetriangles.h"
#include "framesource.h"
#include "imagefiles.h"
#include "livepreview.h"
#include "maskrenderer.h"
#include "prompts.h"
#include "workspace.h"

#include <QAction>
#include <QActionGroup>
#include <QBoxLayout>
#include <QCameraInfo>
#include <QClipboard>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPainter>
#include <QShortcut>
#include <QTimer>
#include <QUrl>

namespace ui {

namespace {

// Changes of the model are gathered for this long, then drawn once.
constexpr int refreshDelayMs = 40;

const char* const effectNames[] = {"Face only", "Whole image", "Full frame effect"};

QString effectName(int type)
{
    return QString::fromLatin1(type == core::WholeImage || type == core::FullFrame ? effectNames[type]
                                                                                   : effectNames[0]);
}

// Shows one picture, scaled to fit and centred, keeping its proportions.
class PreviewCanvas : public QWidget
{
public:
    void setPicture(const QImage& picture)
    {
        shown = picture;
        update();
    }
    const QImage& picture() const { return shown; }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.fillRect(rect(), QColor(48, 48, 48));
        if (shown.isNull()) {
            return;
        }
        const QSize fitted = shown.size().scaled(size(), Qt::KeepAspectRatio);
        const QRect target(QPoint((width() - fitted.width()) / 2, (height() - fitted.height()) / 2), fitted);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(target, shown);
    }

private:
    QImage shown;
};

} // namespace

class PreviewWindow::Impl : public QObject
{
public:
    Impl(PreviewWindow* owner, core::FaceMaskProject* project, core::FacialPointsDetector* detector)
        : q(owner)
        , project(project)
        , detector(detector)
    {
        refreshTimer.setSingleShot(true);
        refreshTimer.setInterval(refreshDelayMs);
        connect(&refreshTimer, &QTimer::timeout, this, &Impl::refresh);
    }

    void buildWidgets();
    void buildCameraMenu(QMenu* menu);
    void followModel();
    void scheduleRefresh() { if (!refreshTimer.isActive()) { refreshTimer.start(); } }
    void refresh();
    void openFacePicture();
    void pasteFacePicture();
    void onPhotoDetected(std::shared_ptr<QFutureWatcher<core::DetectionResult>> watcher);
    void onFrameRendered(const QImage& preview, bool faceFound);
    void showStatus();

    PreviewWindow* const q;
    core::FaceMaskProject* const project;
    core::FacialPointsDetector* const detector;
    PreviewCanvas* canvas = nullptr;
    QLabel* footer = nullptr;
    QAction* stopCameraAction = nullptr;
    QActionGroup* cameraGroup = nullptr;
    QTimer refreshTimer;

    preview::MaskRenderer renderer;
    bool maskPictureChanged = true;
    QImage photo;
    core::FacialPointVector photoPoints;
    bool detecting = false;
    std::shared_ptr<QFutureWatcher<core::DetectionResult>> pendingDetection;
    QString faceStatus;

    std::unique_ptr<FrameSource> frameSource;
    std::unique_ptr<LivePreview> live;
};

void PreviewWindow::Impl::buildWidgets()
{
    auto* layout = new QVBoxLayout;
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* menuBar = new QMenuBar;
    menuBar->setObjectName(QStringLiteral("previewMenuBar"));
    QMenu* fileMenu = menuBar->addMenu(QStringLiteral("File"));
    QAction* openAction = fileMenu->addAction(QStringLiteral("Open Face Picture..."));
    openAction->setObjectName(QStringLiteral("openFacePictureAction"));
    openAction->setShortcut(QKeySequence::Open);
    QAction* saveAction = fileMenu->addAction(QStringLiteral("Save Preview Picture..."));
    saveAction->setObjectName(QStringLiteral("savePreviewPictureAction"));
    saveAction->setShortcut(QKeySequence::Save);
    fileMenu->addSeparator();
    QAction* closeAction = fileMenu->addAction(QStringLiteral("Close"));
    closeAction->setShortcut(QKeySequence::Close);
    connect(openAction, &QAction::triggered, this, &Impl::openFacePicture);
    connect(saveAction, &QAction::triggered, this, [this] { q->savePreviewPicture(); });
    connect(closeAction, &QAction::triggered, q, &QWidget::close);
    // Menu shortcuts of a window without a main-window frame work only when the actions are
    // the window's own too.
    q->addActions({openAction, saveAction, closeAction});

    QMenu* cameraMenu = menuBar->addMenu(QStringLiteral("Camera"));
    cameraMenu->setObjectName(QStringLiteral("cameraMenu"));
    buildCameraMenu(cameraMenu);
    layout->addWidget(menuBar, 0, Qt::AlignTop);

    canvas = new PreviewCanvas;
    canvas->setObjectName(QStringLiteral("previewCanvas"));
    canvas->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    layout->addWidget(canvas, 1);

    footer = new QLabel;
    footer->setObjectName(QStringLiteral("previewFooter"));
    footer->setContentsMargins(5, 5, 5, 5);
    footer->setSizePolicy(QSizePolicy::Ignored, footer->sizePolicy().verticalPolicy());
    layout->addWidget(footer, 0);
    q->setLayout(layout);

    auto* paste = new QShortcut(QKeySequence::Paste, q, nullptr, nullptr, Qt::WindowShortcut);
    connect(paste, &QShortcut::activated, this, &Impl::pasteFacePicture);
}

void PreviewWindow::Impl::buildCameraMenu(QMenu* menu)
{
    const QList<QCameraInfo> cameras = QCameraInfo::availableCameras();
    if (cameras.isEmpty()) {
        QAction* none = menu->addAction(QStringLiteral("No camera found"));
        none->setObjectName(QStringLiteral("noCameraAction"));
        none->setEnabled(false);
        return;
    }
    cameraGroup = new QActionGroup(menu);
    for (const QCameraInfo& camera : cameras) {
        QAction* action = menu->addAction(camera.description());
        action->setCheckable(true);
        cameraGroup->addAction(action);
        connect(action, &QAction::triggered, this, [this, camera] {
            q->setFrameSource(std::make_unique<CameraFrameSource>(camera));
        });
    }
    menu->addSeparator();
    stopCameraAction = menu->addAction(QStringLiteral("Stop Camera"));
    stopCameraAction->setEnabled(false);
    connect(stopCameraAction, &QAction::triggered, this, [this] { q->setFrameSource(nullptr); });
}

void PreviewWindow::Impl::followModel()
{
    core::FacialPoints* model = project->facialPoints();
    connect(model, &core::FacialPoints::imageChanged, this, [this] {
        maskPictureChanged = true;
        scheduleRefresh();
    });
    connect(model, &core::FacialPoints::pointsUpdated, this, &Impl::scheduleRefresh);
    connect(model, &core::FacialPoints::pointChanged, this, &Impl::scheduleRefresh);
    connect(project, &core::FaceMaskProject::effectTypeChanged, this, &Impl::scheduleRefresh);
}

void PreviewWindow::Impl::refresh()
{
    const core::FacialPoints* model = project->facialPoints();
    if (maskPictureChanged) {
        renderer.setPicture(model->image());
        maskPictureChanged = false;
    }
    renderer.setPoints(model->points());
    renderer.setEffectType(project->effectType());
    if (live) {
        live->setRenderer(renderer);
    } else if (!photo.isNull()) {
        canvas->setPicture(renderer.render(photo, photoPoints));
    }
    showStatus();
}

void PreviewWindow::Impl::showStatus()
{
    QString mask;
    if (!renderer.hasMask()) {
        mask = QStringLiteral("The mask needs a picture with 75 points in the main window.");
    } else {
        mask = QStringLiteral("Effect: %1.").arg(effectName(project->effectType()));
    }
    QString face = faceStatus;
    if (face.isEmpty() && !live && photo.isNull()) {
        face = QStringLiteral("Open, drop or paste (Ctrl+V) a face picture, or choose a camera.");
    }
    footer->setText(face.isEmpty() ? mask : mask + QLatin1Char(' ') + face);
}

void PreviewWindow::Impl::openFacePicture()
{
    Workspace workspace;
    const QString path = Prompts::current().openFileName(
        QStringLiteral("Select face picture"),
        QStringLiteral("Image files (*.png *.jpg *.jpeg *.xpm *.bmp *.tif *.tiff);; All files (*.*)"),
        workspace.folder(QStringLiteral("previewFace")));
    if (path.isEmpty()) {
        return;
    }
    workspace.setFolderOf(QStringLiteral("previewFace"), path);
    const QImage picture = core::readImageFile(path);
    if (picture.isNull()) {
        Prompts::current().warning(QStringLiteral("Error"), QStringLiteral("File \"%1\" was not load.").arg(path));
        return;
    }
    q->setFacePicture(picture);
}

void PreviewWindow::Impl::pasteFacePicture()
{
    q->insertFromMimeData(QGuiApplication::clipboard()->mimeData());
}

void PreviewWindow::Impl::onPhotoDetected(std::shared_ptr<QFutureWatcher<core::DetectionResult>> watcher)
{
    if (watcher != pendingDetection) {
        return; // a newer photo came in meanwhile
    }
    pendingDetection.reset();
    const core::DetectionResult result = watcher->result();
    if (result.faceCount > 0 && result.points.size() >= std::size_t(preview::faceTrianglePointCount)) {
        photoPoints = result.points;
        faceStatus.clear();
    } else {
        photoPoints.clear();
        faceStatus = detector->state() == core::FacialPointsDetector::Failed
                         ? QStringLiteral("No face can be found: the landmark model was not load.")
                         : QStringLiteral("No face found in the picture.");
    }
    refresh();
}

void PreviewWindow::Impl::onFrameRendered(const QImage& preview, bool faceFound)
{
    if (!live) {
        return;
    }
    canvas->setPicture(preview);
    const QString status = faceFound ? QString() : QStringLiteral("No face in the camera picture.");
    if (status != faceStatus) {
        faceStatus = status;
        showStatus();
    }
}

PreviewWindow::PreviewWindow(core::FaceMaskProject* project, core::FacialPointsDetector* detector)
    : d(std::make_unique<Impl>(this, project, detector))
{
    setWindowTitle(QStringLiteral("Preview Effect"));
    setAcceptDrops(true);
    d->buildWidgets();
    d->followModel();
    resize(640, 520);
    d->refresh();
}

PreviewWindow::~PreviewWindow() = default;

void PreviewWindow::setFacePicture(const QImage& picture)
{
    if (picture.isNull()) {
        return;
    }
    setFrameSource(nullptr);
    d->photo = picture;
    d->photoPoints.clear();
    d->faceStatus = QStringLiteral("Looking for the face...");
    d->canvas->setPicture(picture);
    d->pendingDetection = d->detector ? d->detector->detect(picture) : nullptr;
    if (d->pendingDetection) {
        auto watcher = d->pendingDetection;
        connect(watcher.get(), &QFutureWatcherBase::finished, d.get(),
                [impl = d.get(), watcher] { impl->onPhotoDetected(watcher); });
    } else {
        d->faceStatus = QStringLiteral("No face found in the picture.");
    }
    d->showStatus();
}

bool PreviewWindow::insertFromMimeData(const QMimeData* data)
{
    if (!data) {
        return false;
    }
    if (data->hasImage()) {
        const QImage picture = qvariant_cast<QImage>(data->imageData());
        if (!picture.isNull()) {
            setFacePicture(picture);
            return true;
        }
    }
    for (const QUrl& url : data->urls()) {
        if (url.isLocalFile()) {
            const QImage picture = core::readImageFile(url.toLocalFile());
            if (!picture.isNull()) {
                setFacePicture(picture);
                return true;
            }
        }
    }
    return false;
}

void PreviewWindow::setFrameSource(std::unique_ptr<FrameSource> source)
{
    if (d->frameSource) {
        d->frameSource->stop();
        d->frameSource.reset();
    }
    d->live.reset();
    if (d->stopCameraAction) {
        d->stopCameraAction->setEnabled(false);
    }
    if (!source) {
        if (d->cameraGroup && d->cameraGroup->checkedAction()) {
            d->cameraGroup->checkedAction()->setChecked(false);
        }
        d->faceStatus.clear();
        d->refresh();
        if (!d->photo.isNull() && d->photoPoints.empty()) {
            setFacePicture(d->photo);
        }
        return;
    }
    d->live = std::make_unique<LivePreview>();
    connect(d->live.get(), &LivePreview::frameRendered, d.get(), &Impl::onFrameRendered);
    connect(d->live.get(), &LivePreview::modelFailed, d.get(), [impl = d.get()] {
        impl->faceStatus = QStringLiteral("No face can be found: the landmark model was not load.");
        impl->showStatus();
    });
    connect(source.get(), &FrameSource::frameReady, d->live.get(), &LivePreview::takeFrame);
    d->frameSource = std::move(source);
    d->faceStatus = QStringLiteral("Waiting for the camera...");
    d->refresh();
    if (!d->frameSource->start()) {
        d->frameSource.reset();
        d->live.reset();
        Prompts::current().warning(QStringLiteral("Camera"), QStringLiteral("The camera could not be started."));
        setFrameSource(nullptr);
        return;
    }
    if (d->stopCameraAction) {
        d->stopCameraAction->setEnabled(true);
    }
}

QImage PreviewWindow::previewImage() const
{
    return d->canvas->picture();
}

bool PreviewWindow::savePreviewPicture()
{
    const QImage picture = previewImage();
    if (picture.isNull()) {
        Prompts::current().warning(QStringLiteral("Error"), QStringLiteral("There is no preview picture to save."));
        return false;
    }
    QString path = Prompts::current().saveFileName(QStringLiteral("Save preview picture"),
                                                   QStringLiteral("PNG picture (*.png)"));
    if (path.isEmpty()) {
        return false;
    }
    if (QFileInfo(path).suffix().isEmpty()) {
        path += QStringLiteral(".png");
    }
    if (!picture.save(path, "PNG")) {
        Prompts::current().warning(QStringLiteral("Error"),
                                   QStringLiteral("The preview picture was not saved to \"%1\".").arg(path));
        return false;
    }
    return true;
}

void PreviewWindow::dragEnterEvent(QDragEnterEvent* event)
{
    if (event->mimeData()->hasImage() || event->mimeData()->hasUrls()) {
        event->acceptProposedAction();
    }
}

void PreviewWindow::dropEvent(QDropEvent* event)
{
    if (insertFromMimeData(event->mimeData())) {
        event->acceptProposedAction();
    }
}

void PreviewWindow::changeEvent(QEvent* event)
{
    // The effect type is chosen in the save dialog, which tells nobody: read it again whenever
    // the user comes back to this window.
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) {
        d->scheduleRefresh();
    }
    QWidget::changeEvent(event);
}

} // namespace ui
