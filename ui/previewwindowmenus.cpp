// The Preview window's layout and menus: File (open or paste a face picture, open a video, save
// the preview, close), View → Steady (remembered), the Camera menu with the cameras found, and
// Playback with the video's keys.
#include "ui/previewwindow_p.h"
#include "ui/footerlabel.h"

#include "ui/camerasource.h"
#include "ui/livepreview.h"
#include "ui/previewcanvas.h"
#include "ui/videosource.h"
#include "ui/workspace.h"

#include <QAction>
#include <QActionGroup>
#include <QBoxLayout>
#include <QKeyEvent>
#include <QCameraInfo>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>

#include <functional>

namespace ui {

namespace {

const QString steadyToggle = QStringLiteral("steady");

// While the menu bar holds the keys (Alt pressed alone, or a menu closed with Escape), the arrows
// (the keypad's too) and Space move through it and open its menus; the window's video keys take
// them otherwise.
class MenuBarKeys : public QObject
{
public:
    explicit MenuBarKeys(QMenuBar* menuBar)
        : QObject(menuBar)
        , menuBar(menuBar)
    {
        menuBar->installEventFilter(this);
    }

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == menuBar && event->type() == QEvent::ShortcutOverride && menuBar->hasFocus()) {
            auto* key = static_cast<QKeyEvent*>(event);
            if ((key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier
                && (key->key() == Qt::Key_Left || key->key() == Qt::Key_Right
                    || key->key() == Qt::Key_Space)) {
                event->accept();
                return true;
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QMenuBar* menuBar;
};

} // namespace

void PreviewWindow::Impl::buildWidgets()
{
    auto* layout = new QVBoxLayout;
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* menuBar = new QMenuBar;
    menuBar->setObjectName(QStringLiteral("previewMenuBar"));
    new MenuBarKeys(menuBar);
    // The titles carry the mnemonics (Alt+F, Alt+V, Alt+C), as in the main window.
    QMenu* fileMenu = menuBar->addMenu(QStringLiteral("&File"));
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
    QAction* pasteAction = fileMenu->addAction(QStringLiteral("Paste Face Picture"));
    pasteAction->setObjectName(QStringLiteral("pasteFacePictureAction"));
    // Every paste key of the desktop (Shift+Insert too), as the main window's Edit → Paste takes.
    pasteAction->setShortcuts(QKeySequence::Paste);
    connect(pasteAction, &QAction::triggered, this, &Impl::pasteFacePicture);
    fileMenu->addSeparator();
    QAction* closeAction = fileMenu->addAction(QStringLiteral("Close"));
    closeAction->setShortcut(QKeySequence::Close);
    connect(openAction, &QAction::triggered, this, &Impl::openFacePicture);
    connect(saveAction, &QAction::triggered, this, [this] { q->savePreviewPicture(); });
    connect(closeAction, &QAction::triggered, q, &QWidget::close);
    // Menu shortcuts of a window without a main-window frame work only when the actions are
    // the window's own too.
    q->addActions({openAction, openVideoAction, pasteAction, saveAction, closeAction});

    QMenu* viewMenu = menuBar->addMenu(QStringLiteral("&View"));
    steadyAction = viewMenu->addAction(QStringLiteral("Steady"));
    steadyAction->setObjectName(QStringLiteral("steadyAction"));
    steadyAction->setCheckable(true);
    steadyAction->setChecked(workspace.previewToggle(steadyToggle, true));
    steadyAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
    // A held key turns it once, not on and off at the keyboard's repeat rate.
    steadyAction->setAutoRepeat(false);
    steadyAction->setToolTip(QStringLiteral("Smooth the points from frame to frame so that the mask does not tremble"));
    connect(steadyAction, &QAction::toggled, this, [this](bool on) {
        workspace.setPreviewToggle(steadyToggle, on);
        if (live) {
            live->setSteady(on);
        }
        // A paused video shows its frame worked on again, not the points smoothed before.
        if (video && !video->isPlaying()) {
            stepFrames(0);
        }
    });
    q->addAction(steadyAction);

    QMenu* cameraMenu = menuBar->addMenu(QStringLiteral("&Camera"));
    cameraMenu->setObjectName(QStringLiteral("cameraMenu"));
    buildCameraMenu(cameraMenu);

    // The video's keys, named where they are looked for. The keys themselves belong to the
    // window (buildVideoControls): the entries show them after a tab rather than hold them too,
    // which would make each key ambiguous.
    QMenu* playbackMenu = menuBar->addMenu(QStringLiteral("&Playback"));
    playbackMenu->setObjectName(QStringLiteral("playbackMenu"));
    const auto addPlaybackAction = [&](const char* name, const QString& text, Qt::Key key,
                                       std::function<void()> run) {
        QAction* action = playbackMenu->addAction(text + QLatin1Char('\t')
                                                  + QKeySequence(key).toString(QKeySequence::NativeText));
        action->setObjectName(QLatin1String(name));
        action->setEnabled(false);
        connect(action, &QAction::triggered, this, std::move(run));
        playbackActions.append(action);
    };
    addPlaybackAction("playPauseAction", QStringLiteral("Play or Pause"), Qt::Key_Space, [this] { togglePlaying(); });
    addPlaybackAction("nextFrameAction", QStringLiteral("Next Frame"), Qt::Key_Right, [this] { stepFrames(1); });
    addPlaybackAction("previousFrameAction", QStringLiteral("Previous Frame"), Qt::Key_Left, [this] { stepFrames(-1); });
    layout->addWidget(menuBar, 0, Qt::AlignTop);

    canvas = new PreviewCanvas;
    canvas->setObjectName(QStringLiteral("previewCanvas"));
    canvas->setAccessibleName(QStringLiteral("Preview picture"));
    canvas->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    layout->addWidget(canvas, 1);
    buildVideoControls(layout);

    footer = new FooterLabel;
    footer->setObjectName(QStringLiteral("previewFooter"));
    footer->setContentsMargins(5, 5, 5, 5);
    layout->addWidget(footer, 0);
    q->setLayout(layout);
}

void PreviewWindow::Impl::buildCameraMenu(QMenu* menu)
{
    cameraMenu = menu;
    stopCameraAction = new QAction(QStringLiteral("Stop Camera"), this);
    stopCameraAction->setEnabled(false);
    connect(stopCameraAction, &QAction::triggered, this, [this] { q->setFrameSource(nullptr); });
    // The window is kept while closed, for the whole session: a camera plugged in or out since it
    // was made is found when the menu opens.
    connect(menu, &QMenu::aboutToShow, this, [this] { listCameras(QCameraInfo::availableCameras()); });
    listCameras(QCameraInfo::availableCameras());
}

void PreviewWindow::Impl::listCameras(const QList<QCameraInfo>& cameras)
{
    const bool running = stopCameraAction->isEnabled();
    if (!cameraMenu->isEmpty() && cameras == listedCameras && running == listedWhileRunning) {
        return;
    }
    listedCameras = cameras;
    listedWhileRunning = running;
    cameraMenu->clear();
    delete cameraGroup;
    cameraGroup = nullptr;
    if (cameras.isEmpty()) {
        QAction* none = cameraMenu->addAction(QStringLiteral("No camera found"));
        none->setObjectName(QStringLiteral("noCameraAction"));
        none->setEnabled(false);
    } else {
        cameraGroup = new QActionGroup(cameraMenu);
        for (const QCameraInfo& camera : cameras) {
            // A menu takes '&' for the mark of a key: doubled, the device's name shows as it is.
            QAction* action = cameraMenu->addAction(QString(camera.description()).replace(QLatin1Char('&'), QStringLiteral("&&")));
            action->setCheckable(true);
            action->setData(camera.deviceName());
            action->setChecked(running && camera.deviceName() == runningCamera);
            cameraGroup->addAction(action);
            const QPointer<QAction> chosenAction(action);
            connect(action, &QAction::triggered, this, [this, chosenAction, camera] {
                auto source = std::make_unique<CameraFrameSource>(camera);
                const FrameSource* chosen = source.get();
                q->setFrameSource(std::move(source));
                // Ticked while it runs: one that could not start is not.
                const bool started = frameSource.get() == chosen;
                runningCamera = started ? camera.deviceName() : QString();
                if (chosenAction) {
                    chosenAction->setChecked(started);
                }
            });
        }
    }
    // Also without a camera listed, while one that was unplugged still runs.
    if (!cameras.isEmpty() || running) {
        cameraMenu->addSeparator();
        cameraMenu->addAction(stopCameraAction);
    }
}

} // namespace ui
