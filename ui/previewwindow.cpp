#include "ui/previewwindow.h"

#include "ui/camerasource.h"
#include "face_detection_module/facedetectionmodule.h"
#include "core/facemaskproject.h"
#include "core/facialpoints.h"
#include "face_detection_module/facialpointsdetector.h"
#include "preview/facetriangles.h"
#include "ui/framesource.h"
#include "ui/livepreview.h"
#include "preview/maskrenderer.h"
#include "ui/pictureintake.h"
#include "ui/prompts.h"
#include "ui/videosource.h"
#include "ui/workspace.h"

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
#include <QSettings>
#include <QShortcut>
#include <QSlider>
#include <QToolButton>
#include <QTimer>

namespace ui {

namespace {

// Changes of the model are gathered for this long, then drawn once.
constexpr int refreshDelayMs = 40;

const char* const steadySetting = "preview/steady";

// The photo path masks this many faces at most, as the video path does.
constexpr std::size_t maximumPhotoFaces = 8;

QSettings settings()
{
    return QSettings(QStringLiteral("facemask"), QStringLiteral("facemask"));
}

// "1:05.3" for 65.3 s: minutes, seconds and tenths.
QString timeText(qint64 ms)
{
    ms = std::max<qint64>(0, ms);
    return QStringLiteral("%1:%2.%3")
        .arg(ms / 60000)
        .arg((ms / 1000) % 60, 2, 10, QLatin1Char('0'))
        .arg((ms / 100) % 10);
}

QString loadingModelText()
{
    return QStringLiteral("Loading the landmark model\u2026");
}

bool isVideoFile(const QString& path)
{
    static const QStringList suffixes{QStringLiteral("mp4"), QStringLiteral("m4v"), QStringLiteral("mov"),
                                      QStringLiteral("webm"), QStringLiteral("mkv"), QStringLiteral("avi"),
                                      QStringLiteral("ogv")};
    return suffixes.contains(QFileInfo(path).suffix().toLower());
}

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
        intake.setProgressOwner(owner);
    }

    void buildWidgets();
    void buildCameraMenu(QMenu* menu);
    void followModel();
    void scheduleRefresh() { if (!refreshTimer.isActive()) { refreshTimer.start(); } }
    void refresh();
    void openFacePicture();
    void pasteFacePicture();
    void onPhotoDetected(std::shared_ptr<QFutureWatcher<core::DetectionResult>> watcher);
    void onFrameRendered(const QImage& preview, int faceCount);
    void showStatus();
    void openFaceVideo();
    void buildVideoControls(QBoxLayout* layout);
    void showVideoControls(VideoFrameSource* video);
    void togglePlaying();
    void showPosition(qint64 position);
    void seekTo(qint64 position);
    void stepFrames(int count);

    PreviewWindow* const q;
    core::FaceMaskProject* const project;
    core::FacialPointsDetector* const detector;
    PreviewCanvas* canvas = nullptr;
    QLabel* footer = nullptr;
    QAction* stopCameraAction = nullptr;
    QActionGroup* cameraGroup = nullptr;
    QTimer refreshTimer;
    PictureIntake intake;

    preview::MaskRenderer renderer;
    bool maskPictureChanged = true;
    QImage photo;
    core::FacialPointVector photoPoints;
    std::vector<core::FacialPointVector> photoFaces; // every face of the photo, up to 8
    bool detecting = false;
    std::shared_ptr<QFutureWatcher<core::DetectionResult>> pendingDetection;
    QString faceStatus;

    std::unique_ptr<FrameSource> frameSource;
    VideoFrameSource* video = nullptr; // frameSource, when it plays a file
    std::unique_ptr<LivePreview> live;
    QAction* steadyAction = nullptr;
    QWidget* videoControls = nullptr;
    QToolButton* playButton = nullptr;
    QSlider* positionSlider = nullptr;
    QLabel* timeLabel = nullptr;
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
    QAction* openVideoAction = fileMenu->addAction(QStringLiteral("Open Face Video..."));
    openVideoAction->setObjectName(QStringLiteral("openFaceVideoAction"));
    openVideoAction->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O));
    connect(openVideoAction, &QAction::triggered, this, &Impl::openFaceVideo);
    fileMenu->addSeparator();
    QAction* closeAction = fileMenu->addAction(QStringLiteral("Close"));
    closeAction->setShortcut(QKeySequence::Close);
    connect(openAction, &QAction::triggered, this, &Impl::openFacePicture);
    connect(saveAction, &QAction::triggered, this, [this] { q->savePreviewPicture(); });
    connect(closeAction, &QAction::triggered, q, &QWidget::close);
    // Menu shortcuts of a window without a main-window frame work only when the actions are
    // the window's own too.
    q->addActions({openAction, openVideoAction, saveAction, closeAction});

    QMenu* viewMenu = menuBar->addMenu(QStringLiteral("View"));
    steadyAction = viewMenu->addAction(QStringLiteral("Steady"));
    steadyAction->setObjectName(QStringLiteral("steadyAction"));
    steadyAction->setCheckable(true);
    steadyAction->setChecked(settings().value(QLatin1String(steadySetting), true).toBool());
    steadyAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
    steadyAction->setToolTip(QStringLiteral("Smooth the points from frame to frame so that the mask does not tremble"));
    connect(steadyAction, &QAction::toggled, this, [this](bool on) {
        settings().setValue(QLatin1String(steadySetting), on);
        if (live) {
            live->setSteady(on);
        }
    });
    q->addAction(steadyAction);

    QMenu* cameraMenu = menuBar->addMenu(QStringLiteral("Camera"));
    cameraMenu->setObjectName(QStringLiteral("cameraMenu"));
    buildCameraMenu(cameraMenu);
    layout->addWidget(menuBar, 0, Qt::AlignTop);

    canvas = new PreviewCanvas;
    canvas->setObjectName(QStringLiteral("previewCanvas"));
    canvas->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    layout->addWidget(canvas, 1);
    buildVideoControls(layout);

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
        canvas->setPicture(renderer.renderFaces(photo, photoFaces));
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
        face = QStringLiteral("Open, drop or paste (Ctrl+V) a face picture, open a face video (Ctrl+Shift+O), or choose a camera.");
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
    intake.openFile(path);
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
        photoFaces.clear();
        // The face the main window would place first, then the others, up to 8 in all.
        photoFaces.push_back(result.points);
        for (int i = 0; i < result.faces.size() && photoFaces.size() < maximumPhotoFaces; ++i) {
            if (i != result.placed && result.faces[i].points.size() >= std::size_t(preview::faceTrianglePointCount)) {
                photoFaces.push_back(result.faces[i].points);
            }
        }
        photoPoints = result.points;
        faceStatus.clear();
    } else {
        photoPoints.clear();
        photoFaces.clear();
        faceStatus = detector->state() == core::FacialPointsDetector::Failed
                         ? QStringLiteral("No face can be found: the landmark model was not load.")
                         : QStringLiteral("No face found in the picture.");
    }
    refresh();
}

void PreviewWindow::Impl::buildVideoControls(QBoxLayout* layout)
{
    videoControls = new QWidget;
    videoControls->setObjectName(QStringLiteral("videoControls"));
    auto* row = new QHBoxLayout(videoControls);
    row->setContentsMargins(5, 3, 5, 0);
    playButton = new QToolButton;
    playButton->setObjectName(QStringLiteral("playButton"));
    playButton->setText(QStringLiteral("Pause"));
    playButton->setToolTip(QStringLiteral("Play or pause the video (Space)"));
    positionSlider = new QSlider(Qt::Horizontal);
    positionSlider->setObjectName(QStringLiteral("positionSlider"));
    positionSlider->setToolTip(QStringLiteral("Drag to move through the video; Left and Right step one frame while paused"));
    timeLabel = new QLabel(QStringLiteral("0:00.0 / 0:00.0"));
    timeLabel->setObjectName(QStringLiteral("videoTime"));
    row->addWidget(playButton);
    row->addWidget(positionSlider, 1);
    row->addWidget(timeLabel);
    layout->addWidget(videoControls, 0);
    videoControls->hide();

    connect(playButton, &QToolButton::clicked, this, &Impl::togglePlaying);
    connect(positionSlider, &QSlider::sliderMoved, this, &Impl::seekTo);
    connect(positionSlider, &QSlider::actionTriggered, this, [this](int action) {
        if (action != QAbstractSlider::SliderMove) {
            seekTo(positionSlider->sliderPosition());
        }
    });
    auto* space = new QShortcut(QKeySequence(Qt::Key_Space), q, nullptr, nullptr, Qt::WindowShortcut);
    connect(space, &QShortcut::activated, this, &Impl::togglePlaying);
    auto* right = new QShortcut(QKeySequence(Qt::Key_Right), q, nullptr, nullptr, Qt::WindowShortcut);
    connect(right, &QShortcut::activated, this, [this] { stepFrames(1); });
    auto* left = new QShortcut(QKeySequence(Qt::Key_Left), q, nullptr, nullptr, Qt::WindowShortcut);
    connect(left, &QShortcut::activated, this, [this] { stepFrames(-1); });
}

void PreviewWindow::Impl::showVideoControls(VideoFrameSource* source)
{
    video = source;
    videoControls->setVisible(video != nullptr);
    if (!video) {
        return;
    }
    positionSlider->setRange(0, 0);
    showPosition(0);
    connect(video, &VideoFrameSource::durationChanged, this, [this](qint64 duration) {
        positionSlider->setRange(0, int(std::max<qint64>(0, duration)));
        showPosition(video ? video->position() : 0);
    });
    connect(video, &VideoFrameSource::positionChanged, this, &Impl::showPosition);
    connect(video, &VideoFrameSource::playingChanged, this, [this](bool playing) {
        playButton->setText(playing ? QStringLiteral("Pause") : QStringLiteral("Play"));
    });
}

void PreviewWindow::Impl::togglePlaying()
{
    if (!video) {
        return;
    }
    if (video->isPlaying()) {
        video->pause();
    } else {
        video->play();
    }
}

void PreviewWindow::Impl::showPosition(qint64 position)
{
    if (!positionSlider->isSliderDown()) {
        const QSignalBlocker quiet(positionSlider);
        positionSlider->setValue(int(position));
    }
    timeLabel->setText(QStringLiteral("%1 / %2").arg(timeText(position), timeText(video ? video->duration() : 0)));
}

void PreviewWindow::Impl::seekTo(qint64 position)
{
    if (!video) {
        return;
    }
    if (live) {
        live->restartTracking();
    }
    video->seek(position);
}

void PreviewWindow::Impl::stepFrames(int count)
{
    if (!video) {
        return;
    }
    if (live) {
        live->restartTracking();
    }
    video->step(count);
}

void PreviewWindow::Impl::openFaceVideo()
{
    const QString path = Prompts::current().openFileName(
        QStringLiteral("Select face video"),
        QStringLiteral("Videos (*.mp4 *.m4v *.mov *.webm *.mkv *.avi *.ogv);; All files (*.*)"));
    if (!path.isEmpty()) {
        q->openFaceVideo(path);
    }
}

void PreviewWindow::Impl::onFrameRendered(const QImage& preview, int faceCount)
{
    if (!live) {
        return;
    }
    canvas->setPicture(preview);
    const QString status = faceCount > 0 ? QString()
                           : video      ? QStringLiteral("No face in the video picture.")
                                        : QStringLiteral("No face in the camera picture.");
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
    connect(&d->intake, &PictureIntake::pictureTaken, this, &PreviewWindow::setFacePicture);
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
    d->photoFaces.clear();
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
    return d->intake.takeMimeData(data);
}

PictureIntake* PreviewWindow::pictureIntake() const
{
    return &d->intake;
}

void PreviewWindow::setFrameSource(std::unique_ptr<FrameSource> source)
{
    d->showVideoControls(nullptr);
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
    auto* video = qobject_cast<VideoFrameSource*>(source.get());
    if (d->detector) {
        // The detection service's model, shared: read once, and likely loaded already.
        core::FacialPointsDetector* detector = d->detector;
        d->live = std::make_unique<LivePreview>(6, [detector] { return detector->makeSiblingModule(); });
    } else {
        d->live = std::make_unique<LivePreview>();
    }
    d->live->setSteady(d->steadyAction->isChecked());
    connect(d->live.get(), &LivePreview::modelReady, d.get(), [impl = d.get()] {
        if (impl->faceStatus == loadingModelText()) {
            impl->faceStatus = impl->video ? QStringLiteral("Opening the video...") : QStringLiteral("Waiting for the camera...");
            impl->showStatus();
        }
    });
    connect(d->live.get(), &LivePreview::frameRendered, d.get(), &Impl::onFrameRendered);
    connect(d->live.get(), &LivePreview::modelFailed, d.get(), [impl = d.get()] {
        impl->faceStatus = QStringLiteral("No face can be found: the landmark model was not load.");
        impl->showStatus();
    });
    if (video) {
        // A paused video's frame is the one the user asked for: it is never dropped.
        connect(video, &FrameSource::frameReady, d.get(), [impl = d.get(), video](const QImage& frame) {
            if (!impl->live) {
                return;
            }
            if (video->isPlaying()) {
                impl->live->takeFrame(frame);
            } else {
                impl->live->takeStill(frame);
            }
        });
    } else {
        connect(source.get(), &FrameSource::frameReady, d->live.get(), &LivePreview::takeFrame);
    }
    connect(source.get(), &FrameSource::failed, d.get(), [impl = d.get()](const QString& message) {
        impl->faceStatus = message;
        impl->showStatus();
    });
    d->frameSource = std::move(source);
    d->live->prepareModel();
    const bool modelLoaded = d->live->isModelReady()
                             || (d->detector && d->detector->state() == core::FacialPointsDetector::Initialized);
    d->faceStatus = !modelLoaded ? loadingModelText()
                    : video                  ? QStringLiteral("Opening the video...")
                                             : QStringLiteral("Waiting for the camera...");
    d->showVideoControls(video);
    d->refresh();
    if (!d->frameSource->start()) {
        const QString message = video ? QStringLiteral("The video \"%1\" could not be opened.").arg(video->path())
                                      : QStringLiteral("The camera could not be started.");
        d->showVideoControls(nullptr);
        d->frameSource.reset();
        d->live.reset();
        Prompts::current().warning(video ? QStringLiteral("Video") : QStringLiteral("Camera"), message);
        setFrameSource(nullptr);
        return;
    }
    if (d->stopCameraAction && !video) {
        d->stopCameraAction->setEnabled(true);
    }
}

bool PreviewWindow::openFaceVideo(const QString& path)
{
    if (path.isEmpty()) {
        return false;
    }
    setFrameSource(std::make_unique<VideoFrameSource>(path));
    return d->video != nullptr;
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
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile() && isVideoFile(url.toLocalFile())) {
            if (openFaceVideo(url.toLocalFile())) {
                event->acceptProposedAction();
            }
            return;
        }
    }
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
