// The Preview window itself: the mask it follows from the project, the face photo and its
// detection, the footer, Save Preview Picture, and pictures and videos dropped on it. Its menus
// are built in previewwindowmenus.cpp, camera and video live in previewwindowlive.cpp.
#include "ui/previewwindow.h"

#include "ui/previewwindow_p.h"
#include "core/facemaskproject.h"
#include "core/localnames.h"
#include "core/poolthreads.h"
#include "core/wholefile.h"
#include "preview/facetriangles.h"
#include "ui/framesource.h"
#include "ui/livepreview.h"
#include "ui/pictureintake.h"
#include "ui/previewcanvas.h"
#include "ui/prompts.h"
#include "ui/videosource.h"
#include "ui/workspace.h"
#include "video/videoreader.h"

#include <QBuffer>
#include <QClipboard>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QMimeData>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>

namespace ui {

namespace {

// Changes of the model are gathered for this long, then drawn once.
constexpr int refreshDelayMs = 40;

// The photo path masks this many faces at most, as the video path does.
constexpr std::size_t maximumPhotoFaces = 8;

const char* const effectNames[] = {"Face only", "Whole image", "Full frame effect"};

QString effectName(int type)
{
    return QString::fromLatin1(type == core::WholeImage || type == core::FullFrame ? effectNames[type]
                                                                                   : effectNames[0]);
}

} // namespace

bool isVideoFile(const QString& path)
{
    return video::looksLikeVideo(path);
}

bool startsAsVideoFile(const QString& path)
{
    return video::startsAsVideo(path);
}

PreviewWindow::Impl::Impl(PreviewWindow* owner, core::FaceMaskProject* project,
                          core::FacialPointsDetector* detector, PromptSession* given)
    : q(owner)
    , project(project)
    , detector(detector)
    , ownSession(given ? nullptr : std::make_unique<PromptSession>())
    , session(given ? *given : *ownSession)
    , intake(&session)
{
    photoPool.setMaxThreadCount(1);
    photoWorker = core::keepPoolThreads(photoPool);
    connect(&photoRender, &QFutureWatcherBase::finished, this, &Impl::onPhotoRendered);
    refreshTimer.setSingleShot(true);
    refreshTimer.setInterval(refreshDelayMs);
    connect(&refreshTimer, &QTimer::timeout, this, &Impl::refresh);
    intake.setProgressOwner(owner);
    awaitedVideoSilence.setSingleShot(true);
    awaitedVideoSilence.setInterval(VideoFrameSource::silenceMs);
    connect(&awaitedVideoSilence, &QTimer::timeout, this, [this] {
        silenceNote = VideoFrameSource::silenceNote(awaitedVideo);
        showStatus();
    });
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
    // Closed, it takes a new picture only when shown or asked again: the copies made for drawing
    // cost the GUI thread up to a second on the largest pictures.
    if (!closed || live) {
        takeMaskPicture();
    }
    renderer.setPoints(model->points());
    renderer.setEffectType(project->effectType());
    if (live) {
        live->setRenderer(renderer);
        // A paused video sends no frame that would show the new mask: its frame is drawn again.
        if (video && !video->isPlaying()) {
            live->redrawLast();
        }
    } else if (!photo.isNull()) {
        // Closed by the user, it shows nothing: a large photo would hold up every step of a drag
        // in the main window for nothing.
        if (!closed) {
            drawPhoto();
        } else {
            photoOutdated = true;
        }
    } else {
        showPicture(QImage()); // nothing left of a camera or video that stopped
    }
    showStatus();
}

void PreviewWindow::Impl::takeMaskPicture()
{
    if (maskPictureChanged) {
        renderer.setPicture(project->facialPoints()->image());
        maskPictureChanged = false;
    }
}

void PreviewWindow::Impl::drawPhoto()
{
    takeMaskPicture();
    photoOutdated = false;
    if (!photoWorker) {
        drawPhotoNow();
    } else if (photoRendering) {
        photoWanted = true;
    } else {
        startPhotoRender();
    }
}

void PreviewWindow::Impl::startPhotoRender()
{
    photoRendering = true;
    photoWanted = false;
    renderStartedAt = canvasChanges;
    // Copies: the worker reads nothing the GUI thread changes meanwhile.
    photoRender.setFuture(QtConcurrent::run(&photoPool, [mask = renderer, frame = photo, faces = photoFaces] {
        return mask.renderFaces(frame, faces);
    }));
}

void PreviewWindow::Impl::onPhotoRendered()
{
    photoRendering = false;
    const QImage rendered = photoRender.result();
    if (canvasChanges == renderStartedAt) {
        canvas->setPicture(rendered);
        ++canvasChanges;
    }
    if (photoWanted) {
        photoWanted = false;
        if (!live && !photo.isNull()) {
            if (closed) {
                photoOutdated = true;
            } else {
                startPhotoRender();
            }
        }
    }
}

void PreviewWindow::Impl::drawPhotoNow()
{
    takeMaskPicture();
    photoOutdated = false;
    showPicture(renderer.renderFaces(photo, photoFaces));
}

void PreviewWindow::Impl::showPicture(const QImage& picture)
{
    photoWanted = false;
    ++canvasChanges;
    canvas->setPicture(picture);
}

void PreviewWindow::Impl::showStatus()
{
    QString mask;
    if (!renderer.hasMask()) {
        mask = QStringLiteral("The mask needs a picture with 75 points in the main window.");
    } else {
        mask = QStringLiteral("Effect: %1.").arg(effectName(project->effectType()));
        // Otherwise the face would be shown as it is without a word.
        if (renderer.maskDrawsNothing()) {
            mask += QStringLiteral(" The mask has no triangle to draw: correct its points in the main window.");
        }
    }
    const bool chosen = frameSource || !awaitedVideo.isEmpty(); // a camera or video
    QString face = chosen ? faceStatus : photoStatus;
    if (face.isEmpty() && !chosen && photo.isNull()) {
        face = QStringLiteral("Open, drop or paste (Ctrl+V) a face picture, open a face video (Ctrl+Shift+O), or choose a camera.");
    }
    QStringList parts{mask};
    for (const QString& part : {face, sourceNote, silenceNote, pasteNote}) {
        if (!part.isEmpty()) {
            parts.append(part);
        }
    }
    footer->setText(parts.join(QLatin1Char(' ')));
}

void PreviewWindow::Impl::openFacePicture()
{
    const QString path = prompts().openFileName(
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
    pasteNote.clear();
    if (!q->insertFromMimeData(QGuiApplication::clipboard()->mimeData())) {
        pasteNote = QStringLiteral("Nothing to paste: the clipboard holds no picture or picture file.");
    }
    showStatus();
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
        // The face the main window would place first, then the others largest first (as a video
        // of the photo picks them), up to 8 in all, the faces detected with points; with the
        // points a face cut by the photo's edge has beyond it, so that the edge cuts its mask.
        const auto drawnPoints = [&result](int i) {
            const core::DetectedFace& face = result.faces[i];
            return face.framePoints.size() == face.points.size() ? face.framePoints : face.points;
        };
        photoFaces.push_back(result.placed >= 0 && result.placed < result.faces.size() ? drawnPoints(result.placed)
                                                                                      : result.points);
        QVector<int> others;
        for (int i = 0; i < result.faces.size(); ++i) {
            if (i != result.placed && result.faces[i].points.size() >= std::size_t(preview::faceTrianglePointCount)) {
                others.append(i);
            }
        }
        const auto areaOf = [&result](int i) {
            return qint64(result.faces[i].rect.width()) * result.faces[i].rect.height();
        };
        std::stable_sort(others.begin(), others.end(), [&](int a, int b) { return areaOf(a) > areaOf(b); });
        for (int i = 0; i < others.size() && photoFaces.size() < maximumPhotoFaces; ++i) {
            photoFaces.push_back(drawnPoints(others[i]));
        }
        photoPoints = result.points;
        photoStatus.clear();
    } else {
        photoPoints.clear();
        photoFaces.clear();
        photoStatus = detector->state() == core::FacialPointsDetector::Failed
                         ? modelFailedText()
                         : QStringLiteral("No face found in the picture.");
    }
    refresh();
}

QString modelFailedText()
{
    return QStringLiteral("No face can be found: the landmark model could not be loaded.");
}

bool PreviewWindow::Impl::notePackage(const QString& path)
{
    if (QFileInfo(path).suffix().compare(QLatin1String("pmk"), Qt::CaseInsensitive) != 0) {
        return false;
    }
    pasteNote = QStringLiteral("\"%1\" is a mask package: open it in the main window "
                               "(File \u2192 Open PMK file) to preview its mask.")
                    .arg(QFileInfo(path).fileName());
    showStatus();
    return true;
}

PreviewWindow::PreviewWindow(core::FaceMaskProject* project, core::FacialPointsDetector* detector,
                             PromptSession* session)
    : d(std::make_unique<Impl>(this, project, detector, session))
{
    setWindowTitle(QStringLiteral("Preview Effect"));
    setAcceptDrops(true);
    d->buildWidgets();
    d->followModel();
    connect(&d->intake, &PictureIntake::pictureTaken, this, &PreviewWindow::setFacePicture);
    // A video file pasted plays, as one dropped does. A package holds a mask, which the main
    // window opens: read here as a picture it would be found to hold none, without a word.
    d->intake.setFileOpener([this](const QString& path) {
        if (d->notePackage(path)) {
            return true;
        }
        if (!isVideoFile(path)) {
            return false;
        }
        openFaceVideo(path);
        return true;
    });
    // A video named otherwise is told by its content, once it is found to hold no picture; not
    // played when the window was closed meanwhile, as closing stops a video.
    d->intake.setContentOpener(startsAsVideoFile, [this](const QString& path) {
        if (!d->closed) {
            openFaceVideo(path);
        }
    });
    connect(&d->pictureSave, &QFutureWatcher<bool>::finished, d.get(), &Impl::onPictureSaved);
    resize(640, 520);
    d->refresh();
}

PreviewWindow::~PreviewWindow()
{
    core::FacialPointsDetector::abandon(d->pendingDetection);
}

void PreviewWindow::setFacePicture(const QImage& picture)
{
    if (picture.isNull()) {
        return;
    }
    d->stopLive();
    d->pasteNote.clear();
    d->photoOutdated = false;
    d->photo = picture;
    d->photoPoints.clear();
    d->photoFaces.clear();
    d->photoStatus = QStringLiteral("Looking for the face...");
    d->showPicture(picture);
    core::FacialPointsDetector::abandon(d->pendingDetection);
    d->pendingDetection = d->detector ? d->detector->detect(picture, int(maximumPhotoFaces)) : nullptr;
    if (d->pendingDetection) {
        // Weak: the watcher must not keep itself alive through its own connection.
        const std::weak_ptr<QFutureWatcher<core::DetectionResult>> watcher = d->pendingDetection;
        connect(d->pendingDetection.get(), &QFutureWatcherBase::finished, d.get(), [impl = d.get(), watcher] {
            if (const auto alive = watcher.lock()) {
                impl->onPhotoDetected(alive);
            }
        });
    } else {
        d->photoStatus = QStringLiteral("No face found in the picture.");
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

QImage PreviewWindow::previewImage() const
{
    // A render in work may be of an earlier mask, and is not waited for: drawn here instead.
    if ((d->photoOutdated || d->photoRendering) && !d->live && !d->photo.isNull()) {
        d->drawPhotoNow();
    }
    return d->canvas->picture();
}

bool PreviewWindow::savePreviewPicture()
{
    const QImage picture = previewImage();
    if (picture.isNull()) {
        d->prompts().warning(QStringLiteral("Error"), QStringLiteral("There is no preview picture to save."));
        return false;
    }
    // Told before a name is asked for: the one being written could end after a second one.
    if (d->savingPicture) {
        d->prompts().warning(QStringLiteral("Error"),
                             QStringLiteral("The preview picture is still being saved to \"%1\".").arg(d->pictureSavePath));
        return false;
    }
    // The dialog adds the suffix itself, so that its question about replacing a file is about
    // the file written: "face" typed next to face.png asks about face.png.
    QString path = d->prompts().saveFileName(QStringLiteral("Save preview picture"),
                                             QStringLiteral("PNG picture (*.png)"), QString(), QStringLiteral("png"));
    if (path.isEmpty()) {
        return false;
    }
    if (QFileInfo(path).suffix().isEmpty()) {
        path += QStringLiteral(".png"); // a dialog that did not complete the name
    }
    // Encoded and written on a worker, so that a disk that does not answer holds it and not the
    // window; whole or not at all, so that a failed write (a full disk) leaves the file that was
    // there.
    d->pictureSavePath = path;
    d->savingPicture = true;
    d->pictureSave.setFuture(QtConcurrent::run([picture, path] {
        QByteArray png;
        QBuffer buffer(&png);
        return buffer.open(QIODevice::WriteOnly) && picture.save(&buffer, "PNG")
            && core::writeWholeFile(path, png).isEmpty();
    }));
    return true;
}

bool PreviewWindow::isSavingPicture() const
{
    return d->savingPicture;
}

QString PreviewWindow::savingPicturePath() const
{
    return d->savingPicture ? d->pictureSavePath : QString();
}

void PreviewWindow::Impl::onPictureSaved()
{
    savingPicture = false;
    if (!pictureSave.result()) {
        prompts().warning(QStringLiteral("Error"),
                          QStringLiteral("The preview picture was not saved to \"%1\".").arg(pictureSavePath));
    }
}

void PreviewWindow::dragEnterEvent(QDragEnterEvent* event)
{
    if (event->mimeData()->hasImage() || event->mimeData()->hasUrls()) {
        takeAsCopy(event);
    }
}

void PreviewWindow::dropEvent(QDropEvent* event)
{
    const QList<QUrl> urls = event->mimeData()->urls();
    for (const QUrl& url : urls) {
        if (url.isLocalFile() && isVideoFile(core::localFilePath(url))) {
            if (openFaceVideo(core::localFilePath(url))) {
                takeAsCopy(event);
            }
            d->intake.tellFilesLeftOut(core::localFilePath(url), int(urls.size()) - 1);
            return;
        }
    }
    if (insertFromMimeData(event->mimeData())) {
        takeAsCopy(event);
    }
}

void PreviewWindow::closeEvent(QCloseEvent* event)
{
    // A closed window shows nothing: its camera is switched off and its video stops, or is no
    // longer waited for.
    if (d->frameSource || !d->awaitedVideo.isEmpty()) {
        // Closed first: the photo it goes back to is drawn when the window is shown again.
        d->closed = true;
        setFrameSource(nullptr);
    }
    QWidget::closeEvent(event);
    d->closed = event->isAccepted();
}

void PreviewWindow::showEvent(QShowEvent* event)
{
    d->closed = false;
    if ((d->photoOutdated || d->maskPictureChanged) && !d->live && !d->photo.isNull()) {
        // Drawn here, before the first paint: drawn on the worker, the mask of before the close
        // would show until that drawing came.
        d->drawPhotoNow();
        d->showStatus(); // it speaks of the mask too
    } else if (d->maskPictureChanged) {
        d->refresh(); // the status too speaks of the mask
    }
    QWidget::showEvent(event);
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
