// The Preview window's live sources: a camera or a face video as the frame source, rendered by
// a LivePreview, with the video's play, pause, position and frame-step controls and keys.
#include "ui/previewwindow_p.h"

#include "face_detection_module/facedetectionmodule.h"
#include "ui/answerwithin.h"
#include "ui/camerasource.h"
#include "ui/framesource.h"
#include "ui/livepreview.h"
#include "ui/previewcanvas.h"
#include "ui/prompts.h"
#include "ui/videosource.h"
#include "video/videoreader.h"

#include <QAction>
#include <QActionGroup>
#include <QBoxLayout>
#include <QEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPointer>
#include <QShortcut>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QToolButton>

namespace ui {

namespace {

// "1:05.3" for 65.3 s: minutes, seconds and tenths.
QString timeText(qint64 ms)
{
    ms = std::max<qint64>(0, ms);
    return QStringLiteral("%1:%2.%3")
        .arg(ms / 60000)
        .arg((ms / 1000) % 60, 2, 10, QLatin1Char('0'))
        .arg((ms / 100) % 10);
}

// How long the window waits for a video's file to be looked at before it waits without being held.
constexpr std::chrono::milliseconds videoLookTimeout{500};

QString loadingModelText()
{
    return QStringLiteral("Loading the landmark model\u2026");
}

// Lets the slider go when a dialog opens while it is held (the dialog takes the button's
// release) or when it is hidden (another source replaced the video): held, it would no longer
// follow the video's position.
class SliderLetGo : public QObject
{
public:
    explicit SliderLetGo(QSlider* slider)
        : QObject(slider)
        , slider(slider)
    {
        slider->installEventFilter(this);
    }

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == slider && (event->type() == QEvent::WindowBlocked || event->type() == QEvent::Hide)
            && slider->isSliderDown()) {
            slider->setSliderDown(false);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QSlider* slider;
};

// The video's position slider. A left press beside the handle brings the handle there and
// holds it, as a drag from there: one seek, then the video plays on (Qt would step a page and
// repeat the step, seeking again and again, while the button is held).
class PositionSlider : public QSlider
{
public:
    PositionSlider()
        : QSlider(Qt::Horizontal)
    {
    }

protected:
    void mousePressEvent(QMouseEvent* event) override
    {
        if (event->button() == Qt::LeftButton && maximum() > minimum()) {
            QStyleOptionSlider option;
            initStyleOption(&option);
            const QRect handle = style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this);
            if (!handle.contains(event->pos())) {
                const QRect groove = style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderGroove, this);
                // The handle's middle comes under the cursor.
                setSliderPosition(QStyle::sliderValueFromPosition(
                    minimum(), maximum(), event->pos().x() - handle.width() / 2 - groove.x(),
                    groove.width() - handle.width(), option.upsideDown));
            }
        }
        QSlider::mousePressEvent(event);
    }
};

} // namespace

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
    positionSlider = new PositionSlider;
    positionSlider->setObjectName(QStringLiteral("positionSlider"));
    positionSlider->setAccessibleName(QStringLiteral("Video position"));
    positionSlider->setToolTip(QStringLiteral("Drag to move through the video; Left and Right step one frame while paused"));
    // Milliseconds: Page Up/Down moves a second, not Qt's 10.
    positionSlider->setPageStep(1000);
    positionSlider->setSingleStep(100);
    new SliderLetGo(positionSlider);
    timeLabel = new QLabel(QStringLiteral("0:00.0 / 0:00.0"));
    timeLabel->setObjectName(QStringLiteral("videoTime"));
    row->addWidget(playButton);
    row->addWidget(positionSlider, 1);
    row->addWidget(timeLabel);
    layout->addWidget(videoControls, 0);
    videoControls->hide();

    connect(playButton, &QToolButton::clicked, this, &Impl::togglePlaying);
    connect(positionSlider, &QSlider::sliderMoved, this, [this](int position) {
        // The handle's time until the frame there comes with its own: a paused seek past a cut
        // in the file can take seconds.
        showTime(position);
        seekTo(position);
    });
    // A move while the handle is not held is a jump: a press beside it, the wheel, Page Up and
    // Down. The time follows at once, as it does a drag.
    connect(positionSlider, &QSlider::actionTriggered, this, [this](int action) {
        if (action != QAbstractSlider::SliderMove || !positionSlider->isSliderDown()) {
            showTime(positionSlider->sliderPosition());
            seekTo(positionSlider->sliderPosition());
        }
    });
    auto* space = new QShortcut(QKeySequence(Qt::Key_Space), q, nullptr, nullptr, Qt::WindowShortcut);
    // Held, it plays or pauses once; Left and Right step on at the keyboard's repeat rate.
    space->setAutoRepeat(false);
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
    for (QAction* action : playbackActions) {
        action->setEnabled(video != nullptr);
    }
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
    showTime(position);
}

void PreviewWindow::Impl::showTime(qint64 position)
{
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
    QStringList patterns;
    for (const QString& suffix : video::videoSuffixes()) {
        patterns.append(QStringLiteral("*.") + suffix);
    }
    const QString path = prompts().openFileName(
        QStringLiteral("Select face video"),
        QStringLiteral("Videos (%1);; All files (*.*)").arg(patterns.join(QLatin1Char(' '))));
    if (!path.isEmpty()) {
        q->openFaceVideo(path);
    }
}

void PreviewWindow::Impl::onFrameRendered(const QImage& preview, int faceCount)
{
    if (!live) {
        return;
    }
    showPicture(preview);
    if (sourceFailed) {
        return;
    }
    if (faceCount == 0 && faceStatus == modelFailedText()) {
        return; // no face is looked for: "No face in the … picture" would mislead
    }
    const QString status = faceCount > 0 ? QString()
                           : video      ? QStringLiteral("No face in the video picture.")
                                        : QStringLiteral("No face in the camera picture.");
    if (status != faceStatus) {
        faceStatus = status;
        showStatus();
    }
}

void PreviewWindow::Impl::stopLive()
{
    showVideoControls(nullptr);
    if (frameSource) {
        frameSource->stop();
        frameSource.reset();
    }
    retire(std::move(live));
    ++liveGeneration;
    droppedVideoFrame = QImage();
    awaitedVideo.clear();
    awaitedVideoSilence.stop();
    sourceNote.clear();
    silenceNote.clear();
    sourceFailed = false;
    if (stopCameraAction) {
        stopCameraAction->setEnabled(false);
    }
    if (cameraGroup && cameraGroup->checkedAction()) {
        cameraGroup->checkedAction()->setChecked(false);
    }
    runningCamera.clear();
}

// The worker of a live preview chosen while the detection service loads its model, or detects a
// large picture, waits for the service (seconds). Deleting the preview would make the window wait
// as well; instead it goes when its model is ready (or failed). It receives no more frames, and
// the generation count drops whatever it still sends.
void PreviewWindow::Impl::retire(std::unique_ptr<LivePreview> old)
{
    if (!old || old->isModelReady()) {
        return; // deleted here, after at most the frame in work
    }
    LivePreview* waiting = old.release();
    waiting->setParent(this);
    connect(waiting, &LivePreview::modelReady, waiting, &QObject::deleteLater);
    connect(waiting, &LivePreview::modelFailed, waiting, &QObject::deleteLater);
    // Ready between the check above and the connections: the signal went out unseen.
    if (waiting->isModelReady()) {
        waiting->deleteLater();
    }
}

void PreviewWindow::setFrameSource(std::unique_ptr<FrameSource> source)
{
    d->stopLive();
    d->pasteNote.clear();
    if (!source) {
        // Back to the photo, if there is one, with what its detection found (kept meanwhile).
        d->faceStatus.clear();
        if (!d->photo.isNull() && !d->closed) {
            // Drawn here: drawn on the worker, the source's last frame would show until then.
            d->drawPhotoNow();
            d->showStatus();
        } else {
            d->refresh();
        }
        return;
    }
    // The source chosen last wins over a picture still being read, and shows nothing of the one
    // before it until its own first frame.
    d->intake.cancel();
    d->showPicture(QImage());
    auto* video = qobject_cast<VideoFrameSource*>(source.get());
    if (d->detector) {
        // The detection service's model, shared: read once, and likely loaded already.
        core::FacialPointsDetector* detector = d->detector;
        d->live = std::make_unique<LivePreview>(6, [detector] { return detector->makeSiblingModule(); });
    } else {
        d->live = std::make_unique<LivePreview>();
    }
    d->live->setSteady(d->steadyAction->isChecked());
    const int generation = d->liveGeneration;
    connect(d->live.get(), &LivePreview::modelReady, d.get(), [impl = d.get(), generation] {
        if (generation != impl->liveGeneration) {
            return;
        }
        if (impl->faceStatus == loadingModelText()) {
            impl->faceStatus = impl->video ? QStringLiteral("Opening the video...") : QStringLiteral("Waiting for the camera...");
            impl->showStatus();
        }
    });
    connect(d->live.get(), &LivePreview::frameRendered, d.get(),
            [impl = d.get(), generation](const QImage& preview, int faceCount) {
                if (generation == impl->liveGeneration) {
                    impl->onFrameRendered(preview, faceCount);
                }
            });
    connect(d->live.get(), &LivePreview::modelFailed, d.get(), [impl = d.get(), generation] {
        if (generation != impl->liveGeneration || impl->sourceFailed) {
            return;
        }
        impl->faceStatus = modelFailedText();
        impl->showStatus();
    });
    if (video) {
        // A paused video's frame is the one the user asked for: it is never dropped.
        connect(video, &FrameSource::frameReady, d.get(), [impl = d.get(), video](const QImage& frame) {
            if (!impl->live) {
                return;
            }
            if (video->isPlaying()) {
                impl->droppedVideoFrame = impl->live->takeFrame(frame) ? QImage() : frame;
            } else {
                impl->droppedVideoFrame = QImage();
                impl->live->takeStill(frame);
            }
        });
        // Paused on a frame that was dropped: the time shown is that frame's, and no other follows.
        connect(video, &VideoFrameSource::playingChanged, d.get(), [impl = d.get(), video](bool playing) {
            if (!playing && impl->live && impl->video == video && !impl->droppedVideoFrame.isNull()) {
                impl->live->takeStill(impl->droppedVideoFrame);
                impl->droppedVideoFrame = QImage();
            }
        });
    } else {
        connect(source.get(), &FrameSource::frameReady, d->live.get(), &LivePreview::takeFrame);
    }
    connect(source.get(), &FrameSource::failed, d.get(), [impl = d.get()](const QString& message) {
        impl->sourceFailed = true;
        impl->faceStatus = message;
        impl->showStatus();
    });
    if (video) {
        // It plays on, in a loop, as far as it goes; the footer says why it stops early.
        connect(video, &VideoFrameSource::endedEarly, d.get(), [impl = d.get()](const QString& message) {
            impl->sourceNote = message;
            impl->showStatus();
        });
        connect(video, &VideoFrameSource::silenceChanged, d.get(), [impl = d.get()](const QString& note) {
            impl->silenceNote = note;
            impl->showStatus();
        });
        // The first frame again: the faces of the last one are no guide to where they are now.
        connect(video, &VideoFrameSource::looped, d.get(), [impl = d.get()] {
            if (impl->live) {
                impl->live->restartTracking();
            }
        });
    }
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
        QString message = video ? QStringLiteral("The video \"%1\" could not be opened.").arg(video->path())
                                : QStringLiteral("The camera could not be started.");
        if (!video) {
            const QString missing = CameraFrameSource::missingPieces();
            if (!missing.isEmpty()) {
                message += QLatin1Char(' ') + missing + QLatin1Char('.');
            }
        }
        d->showVideoControls(nullptr);
        d->frameSource.reset();
        d->retire(std::move(d->live));
        d->prompts().warning(video ? QStringLiteral("Video") : QStringLiteral("Camera"), message);
        setFrameSource(nullptr);
        return;
    }
    if (d->stopCameraAction && !video) {
        d->stopCameraAction->setEnabled(true);
    }
}

bool PreviewWindow::openFaceVideo(const QString& path)
{
    if (path.isEmpty() || d->notePackage(path)) {
        return false;
    }
    // Whether it is a GIF is read on a thread of its own: on a disk that stopped answering the
    // read would hold the window for as long as the disk does. Unanswered in a moment, the window
    // waits for it without being held, and goes on when it comes.
    const quint64 look = ++d->videoLooks;
    QPointer<PreviewWindow> self(this);
    bool noThread = false;
    std::optional<bool> gif = answerWithinOrLater<bool>(
        videoLookTimeout, [path] { return video::isGifFile(path); },
        [self, look, path](bool answer) {
            if (self) {
                self->d->onVideoLookedAt(look, path, answer);
            }
        },
        &noThread);
    if (noThread) {
        gif = video::isGifFile(path); // the only way left to know
    }
    if (!gif) {
        d->awaitVideo(path);
        return true;
    }
    return d->openVideoFile(path, *gif);
}

bool PreviewWindow::Impl::openVideoFile(const QString& path, bool gif)
{
    // A GIF is a picture here: its first frame is the face. (The player's GIF reader would show
    // that frame and then ask for more of the file at full speed, without end.)
    if (gif) {
        q->setFrameSource(nullptr);
        intake.openFile(path);
        return false;
    }
    q->setFrameSource(std::make_unique<VideoFrameSource>(path));
    return video != nullptr;
}

void PreviewWindow::Impl::awaitVideo(const QString& path)
{
    // As a source chosen: what played before stops, and a picture still being read is dropped.
    stopLive();
    pasteNote.clear();
    intake.cancel();
    awaitedVideo = path;
    faceStatus = QStringLiteral("Opening the video...");
    awaitedVideoSilence.start();
    refresh();
}

void PreviewWindow::Impl::onVideoLookedAt(quint64 look, const QString& path, bool gif)
{
    if (look != videoLooks || awaitedVideo != path) {
        return; // another source was chosen meanwhile, or the window closed
    }
    if (intake.isReading()) {
        // A picture chosen since: it is the one chosen last.
        awaitedVideo.clear();
        awaitedVideoSilence.stop();
        silenceNote.clear();
        faceStatus.clear();
        refresh();
        return;
    }
    openVideoFile(path, gif);
}

} // namespace ui
