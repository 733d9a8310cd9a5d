#pragma once
// The Preview window's private state, shared by the files that implement it: previewwindow.cpp
// (the mask, the face photo, its footer, saving and drops), previewwindowmenus.cpp (its menus
// and layout) and previewwindowlive.cpp (camera and video, with the video's controls). Not for
// use outside those files.

#include "ui/framesource.h"
#include "ui/livepreview.h"
#include "ui/pictureintake.h"
#include "ui/previewwindow.h"
#include "ui/prompts.h"
#include "ui/workspace.h"
#include "core/facialpoints.h"
#include "face_detection_module/facialpointsdetector.h"
#include "preview/maskrenderer.h"

#include <QCameraInfo>
#include <QFutureWatcher>
#include <QImage>
#include <QObject>
#include <QString>
#include <QThreadPool>
#include <QTimer>

#include <memory>
#include <vector>

class QAction;
class QActionGroup;
class QBoxLayout;
class QLabel;
class QMenu;
class QSlider;
class QToolButton;

namespace ui {

class PreviewCanvas;
class VideoFrameSource;

// The footer's words when the landmark model cannot be read: no face is looked for.
QString modelFailedText();

class PreviewWindow::Impl : public QObject
{
public:
    Impl(PreviewWindow* owner, core::FaceMaskProject* project, core::FacialPointsDetector* detector,
         PromptSession* session);
    Prompts& prompts() const { return session.prompts(); }

    void buildWidgets();
    void buildCameraMenu(QMenu* menu);
    // Fills the Camera menu with cameras, unless it lists them already as they are.
    void listCameras(const QList<QCameraInfo>& cameras);
    void followModel();
    void scheduleRefresh() { if (!refreshTimer.isActive()) { refreshTimer.start(); } }
    void refresh();
    // Gives the renderer the main window's picture when it changed since (imageChanged).
    void takeMaskPicture();
    // Draws the mask on every face of the photo into the canvas, on photoPool's thread: one
    // render at a time; requests made while one is in work are served together by one more
    // render after it. The GUI thread never waits for it. Without photoWorker, drawPhotoNow().
    void drawPhoto();
    // As drawPhoto(), on this thread, now: the canvas shows the mask as it is (previewImage()).
    void drawPhotoNow();
    void startPhotoRender();
    void onPhotoRendered();
    // Puts picture on the canvas; a photo render in work is not shown, and none more is made
    // for the requests it left.
    void showPicture(const QImage& picture);
    void openFacePicture();
    void pasteFacePicture();
    // Tells the user when the picture of Save Preview Picture was not written.
    void onPictureSaved();
    void onPhotoDetected(std::shared_ptr<QFutureWatcher<core::DetectionResult>> watcher);
    void onFrameRendered(const QImage& preview, int faceCount);
    // Stops the camera or video and drops the live preview, and unticks the camera in the Camera
    // menu: a camera chosen there is ticked again once it has started. Leaves the photo as it is.
    void stopLive();
    // Lets go of a live preview; one whose worker still waits for the landmark model is deleted
    // once that wait is over, so that the window does not wait with it.
    void retire(std::unique_ptr<LivePreview> old);
    void showStatus();
    void openFaceVideo();
    // A package (.pmk) at path: the footer says to open it in the main window, and true. False
    // for any other file, and nothing said.
    bool notePackage(const QString& path);
    // Plays the video at path, or opens it as a face picture when it is a GIF, as
    // PreviewWindow::openFaceVideo() tells.
    bool openVideoFile(const QString& path, bool gif);
    // The window waits for the file of the video at path to be looked at (its disk does not
    // answer): no source plays meanwhile, and the footer says what it waits for.
    void awaitVideo(const QString& path);
    // The look at the file of the video chosen last answered: gif what it found.
    void onVideoLookedAt(quint64 look, const QString& path, bool gif);
    void buildVideoControls(QBoxLayout* layout);
    void showVideoControls(VideoFrameSource* video);
    void togglePlaying();
    // The slider and the time label at position (ms), a frame's start time.
    void showPosition(qint64 position);
    // The time label alone at position (ms).
    void showTime(qint64 position);
    void seekTo(qint64 position);
    void stepFrames(int count);

    PreviewWindow* const q;
    core::FaceMaskProject* const project;
    core::FacialPointsDetector* const detector;
    PreviewCanvas* canvas = nullptr;
    QLabel* footer = nullptr;
    QMenu* cameraMenu = nullptr;
    QAction* stopCameraAction = nullptr;
    QActionGroup* cameraGroup = nullptr; // of the cameras listed; null when none is
    // What the Camera menu lists, and whether a camera ran then (Stop Camera is listed while one does).
    QList<QCameraInfo> listedCameras;
    bool listedWhileRunning = false;
    // The device of the camera chosen that runs, ticked whenever it is listed; empty when none runs.
    QString runningCamera;
    QTimer refreshTimer;
    std::unique_ptr<PromptSession> ownSession;
    // The window's, or ownSession: every dialog of the window and of its intake.
    PromptSession& session;
    PictureIntake intake;
    // Read as the window is made; a toggle is then remembered without reading the file again.
    Workspace workspace;
    // Save Preview Picture's write, where to, and whether it is still told to come.
    QFutureWatcher<bool> pictureSave;
    QString pictureSavePath;
    bool savingPicture = false;

    preview::MaskRenderer renderer;
    bool maskPictureChanged = true;
    QImage photo;
    core::FacialPointVector photoPoints;
    std::vector<core::FacialPointVector> photoFaces; // every face of the photo, up to 8
    // The mask changed while the window was closed: the photo is drawn when it is shown or asked for.
    bool photoOutdated = false;
    bool closed = false; // by the user, since it was last shown
    bool detecting = false;
    std::shared_ptr<QFutureWatcher<core::DetectionResult>> pendingDetection;
    // What the photo's detection found ("No face found in the picture."); shown while no camera
    // or video runs, and kept while one does.
    QString photoStatus;
    // What the camera or video shows or why it stopped; cleared with the source.
    QString faceStatus;
    // What is amiss with the source that still plays (a video cut short); cleared with the source.
    QString sourceNote;
    // The video plays and has sent no picture for a while (its disk does not answer); cleared
    // when pictures come again, and with the source.
    QString silenceNote;
    // Why the last Ctrl+V brought nothing; cleared by the next picture, camera or video.
    QString pasteNote;
    // The video chosen last while its file is still being looked at, its disk not answering;
    // empty when none. Choosing another source, or closing the window, drops it (stopLive()).
    QString awaitedVideo;
    // Counts the looks at the files of videos chosen: the answer of one chosen before is dropped.
    quint64 videoLooks = 0;
    // Runs while awaitedVideo waits; the footer then says that its disk may not be answering.
    QTimer awaitedVideoSilence;
    // The source said it cannot go on: faceStatus says why, and frames drawn after (the one in
    // work when it failed, a redraw) leave it there. Cleared with the source.
    bool sourceFailed = false;

    std::unique_ptr<FrameSource> frameSource;
    VideoFrameSource* video = nullptr; // frameSource, when it plays a file
    // The video's latest frame when the busy worker dropped it: shown if the video pauses on it.
    QImage droppedVideoFrame;
    // Changes of the canvas so far: a render's result is shown only if the canvas is as it was
    // when the render began, so that it never replaces a newer picture (a newer mask drawn here,
    // another photo, a camera frame).
    quint64 canvasChanges = 0;
    quint64 renderStartedAt = 0;
    bool photoRendering = false;
    bool photoWanted = false; // drawPhoto() was called since the render in work began
    // photoPool has its thread; without one (the process's thread limit reached when the window
    // was made) the photo is drawn on the GUI thread.
    bool photoWorker = false;
    QFutureWatcher<QImage> photoRender;

    std::unique_ptr<LivePreview> live;
    // Counts the live previews made: a signal queued by an earlier one is recognised and dropped.
    int liveGeneration = 0;
    QAction* steadyAction = nullptr;
    // Playback: play or pause, next and previous frame; enabled while a video is shown.
    QList<QAction*> playbackActions;
    QWidget* videoControls = nullptr;
    QToolButton* playButton = nullptr;
    QSlider* positionSlider = nullptr;
    QLabel* timeLabel = nullptr;

    // Last, so that its destructor's wait for the render in work comes before the rest goes.
    QThreadPool photoPool;
};

} // namespace ui
