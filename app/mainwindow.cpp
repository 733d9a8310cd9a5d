// The main window: its widgets and status bar, opening and saving packages, the question before
// unsaved work is left, the title, the Preview window and the workspace remembered between runs.
// The menus are built in mainwindowmenus.cpp; the commands that change the picture or the points
// are in mainwindowedits.cpp.
#include "app/mainwindow.h"

#include "app/mainwindow_p.h"
#include "core/facialpoints.h"
#include "ui/footerlabel.h"
#include "ui/pictureintake.h"
#include "ui/pointview.h"
#include "ui/prompts.h"
#include "ui/savepmkform.h"
#include "ui/windowplacement.h"
#include "ui/workprogress.h"
#include "tools/pointcommands.h"

#include <QApplication>
#include <QBoxLayout>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>

#include <algorithm>
#include <utility>
#include <functional>

namespace ui {

namespace {
const char* const footerText =
    "Open, drop or paste (Ctrl+V) a picture, drag the points into place, save with Ctrl+S.";
const char* const loadingModelText = "Loading the landmark model\u2026";
const char* const unsavedTitle = "Unsaved changes";
const char* const closeQuestion = "Save the changes to the mask before closing?";
const char* const openQuestion = "Save the changes to the mask before opening another package?";
const char* const packageMimeType = "application/x-facemask-package";

// Tab, Shift+Tab, Shift+F10 and the Menu key: keys the point view takes and a menu bar has no
// use for.
bool isPointKey(const QEvent* event)
{
    if (event->type() == QEvent::ContextMenu) {
        return static_cast<const QContextMenuEvent*>(event)->reason() == QContextMenuEvent::Keyboard;
    }
    if (event->type() != QEvent::KeyPress) {
        return false;
    }
    const auto* key = static_cast<const QKeyEvent*>(event);
    const Qt::KeyboardModifiers modifiers = key->modifiers() & ~Qt::KeypadModifier;
    if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) {
        return !(modifiers & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
    }
    return key->key() == Qt::Key_F10 && modifiers == Qt::ShiftModifier;
}

// Calls done once, at the first key or mouse button pressed in window or a window it owns (a
// dialog), as the application delivers it. GUI thread.
class FirstInputWatch : public QObject
{
public:
    FirstInputWatch(QWidget* window, std::function<void()> done)
        : window(window)
        , done(std::move(done))
    {
        qApp->installEventFilter(this);
    }

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        const bool input = event->type() == QEvent::KeyPress || event->type() == QEvent::MouseButtonPress;
        if (input && done && watched->isWidgetType() && ownedBy(static_cast<QWidget*>(watched)->window())) {
            qApp->removeEventFilter(this);
            std::exchange(done, nullptr)();
        }
        return false;
    }

private:
    bool ownedBy(const QWidget* top) const
    {
        for (; top; top = top->parentWidget() ? top->parentWidget()->window() : nullptr) {
            if (top == window) {
                return true;
            }
        }
        return false;
    }

    QWidget* window;
    std::function<void()> done;
};

bool isPackageName(const QString& path)
{
    return QFileInfo(path).suffix().compare(QLatin1String("pmk"), Qt::CaseInsensitive) == 0;
}
} // namespace

void MainWindow::Impl::buildWidgets()
{
    auto* layout = new QVBoxLayout;
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    menuBar = new QMenuBar;
    menuBar->setObjectName(QStringLiteral("menuBar"));
    menuBar->installEventFilter(this);
    buildFileMenu();
    buildEditMenu();
    viewMenu = menuBar->addMenu(QStringLiteral("&View"));
    QAction* previewAction = viewMenu->addAction(QStringLiteral("Preview Effect"));
    previewAction->setObjectName(QStringLiteral("previewEffectAction"));
    previewAction->setShortcut(Qt::Key_F5);
    q->addAction(previewAction);
    connect(previewAction, &QAction::triggered, this, &Impl::showPreview);
    layout->addWidget(menuBar, 0, Qt::AlignTop);

    pointView = new PointView(&detector, &session);
    pointView->pictureIntake()->setProgressOwner(q);
    pointView->setObjectName(QStringLiteral("pointView"));
    pointView->setFacialPoints(project.facialPoints());
    pointView->setUndoStack(&undoStack);
    pointView->pictureIntake()->setPackageReader(&reader);
    // A package pasted or dropped opens as with Open PMK file, a video plays in the Preview;
    // from the event loop, so that the question about unsaved work is not asked inside the drop.
    // A video, told by its name or by its content, plays in the Preview.
    const auto playInThePreview = [this](const QString& path) {
        showPreview();
        previewWindow->openFaceVideo(path);
    };
    pointView->pictureIntake()->setFileOpener([this, playInThePreview](const QString& path) {
        if (isPackageName(path)) {
            QMetaObject::invokeMethod(this, [this, path] { openPackageFile(path); }, Qt::QueuedConnection);
            return true;
        }
        if (isVideoFile(path)) {
            QMetaObject::invokeMethod(this, [playInThePreview, path] { playInThePreview(path); }, Qt::QueuedConnection);
            return true;
        }
        return false;
    });
    pointView->pictureIntake()->setContentOpener(startsAsVideoFile, playInThePreview);
    connect(pointView, &PointView::statusMessageChanged, this, &Impl::showStatus);
    connect(pointView, &PointView::noNextFace, this, &Impl::tellNoNextFace);
    connect(pointView, &PointView::pointInfoChanged, this, &Impl::showPointInfo);
    layout->addWidget(pointView, 1);

    // Events on the left, the selection on the right: neither hides the other.
    statusBar = new QStatusBar;
    statusBar->setObjectName(QStringLiteral("statusBar"));
    statusBar->setSizeGripEnabled(false);
    // Its text must not hold the window wider than the user wants it; what does not fit ends in
    // "…" and shows whole as a tooltip or on a click.
    footerLabel = new FooterLabel;
    footerLabel->setObjectName(QStringLiteral("footerLabel"));
    footerLabel->setText(QString::fromLatin1(footerText));
    footerLabel->setContentsMargins(5, 2, 5, 2);
    statusBar->addWidget(footerLabel, 1);
    selectionLabel = new QLabel;
    selectionLabel->setObjectName(QStringLiteral("selectionLabel"));
    selectionLabel->setContentsMargins(5, 2, 5, 2);
    foldedButton = new FooterButton;
    foldedButton->setObjectName(QStringLiteral("foldedButton"));
    foldedButton->setFlat(true);
    foldedButton->setFocusPolicy(Qt::NoFocus);
    foldedButton->setCursor(Qt::PointingHandCursor);
    foldedButton->setToolTip(QStringLiteral("Select the points of the folded triangles"));
    foldedButton->setStyleSheet(QStringLiteral("QPushButton { color: #c0392b; padding: 0 5px; }"));
    foldedButton->setVisible(false);
    statusBar->addPermanentWidget(foldedButton);
    cursorLabel = new FooterLabel;
    cursorLabel->setObjectName(QStringLiteral("cursorLabel"));
    // As wide as its text while there is room, cut with "…" when the window is narrow.
    cursorLabel->setSizePolicy(QSizePolicy::Preferred, cursorLabel->sizePolicy().verticalPolicy());
    cursorLabel->setContentsMargins(5, 2, 5, 2);
    // The status bar keeps one height whatever it shows: a status bar that grew when the cursor
    // entered the picture or a fold appeared would resize the view under a drag.
    const int lineHeight = cursorLabel->fontMetrics().height() + 4;
    cursorLabel->setMinimumSize(1, lineHeight);
    foldedButton->setFixedHeight(lineHeight);
    // Neither holds the window wider than the user wants it.
    foldedButton->setMinimumWidth(1);
    statusBar->addPermanentWidget(cursorLabel);
    statusBar->addPermanentWidget(selectionLabel);
    connect(pointView, &PointView::cursorPositionChanged, cursorLabel, &QLabel::setText);
    connect(pointView, &PointView::foldedMessageChanged, this, [this](const QString& text) {
        foldedButton->setText(text);
        foldedButton->setVisible(!text.isEmpty());
    });
    connect(foldedButton, &QPushButton::clicked, this, [this] {
        pointView->selectFoldedPoints();
        pointView->setFocus();
    });
    foldedButton->setText(pointView->foldedMessage());
    foldedButton->setVisible(!pointView->foldedMessage().isEmpty());
    layout->addWidget(statusBar, 0);
    buildViewMenu();

    pointView->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    q->setLayout(layout);
}

void MainWindow::Impl::openPackage()
{
    if (!mayLeaveWork(openQuestion)) {
        return;
    }
    const QString path = session.prompts().openFileName(
        QStringLiteral("Select PMK file"), QStringLiteral("PMK file (*.pmk);; All files (*.*)"),
        workspace.folder(QStringLiteral("package")));
    if (path.isEmpty()) {
        return;
    }
    workspace.setFolderOf(QStringLiteral("package"), path);
    // A picture still being read would land on the package once it is open.
    pointView->pictureIntake()->cancel();
    reader.readPackage(path);
}

void MainWindow::Impl::onPackageRead(const QString& path, const core::PackageReading& reading)
{
    if (!reading.result.ok) {
        // The box keeps its short text; the status bar says which check refused which file.
        if (!reading.result.reason.isEmpty()) {
            showStatus(QStringLiteral("%1 was not opened: %2.").arg(QFileInfo(path).fileName(), reading.result.reason));
        }
        session.prompts().warning(QStringLiteral("Loading error"),
                                  QStringLiteral("The PMK file was not load"));
        return;
    }
    project.apply(reading.snapshot);
    // A package starts a new history: its steps would undo edits of other work.
    undoStack.clear();
    markStoredAs(path);
    QString opened = QStringLiteral("Opened %1: %2 points, %3.")
                         .arg(QFileInfo(path).fileName())
                         .arg(project.facialPoints()->count())
                         .arg(QString::fromLatin1(Impl::effectTypeNames[std::clamp(project.effectType(), 0, 2)]));
    // Another program's files in the package are not kept: saving it over itself loses them.
    if (const QStringList& others = reading.otherMembers; !others.isEmpty()) {
        QStringList named = others.mid(0, 3);
        if (others.size() > named.size()) {
            named.append(QStringLiteral("…"));
        }
        const QString count = others.size() >= core::PackageReading::maximumOtherMembers
                                  ? QStringLiteral("%1 or more files").arg(others.size())
                                  : others.size() == 1 ? QStringLiteral("a file")
                                                       : QStringLiteral("%1 files").arg(others.size());
        opened += QStringLiteral(" Saving it drops %1 another program put there (%2).")
                      .arg(count, named.join(QStringLiteral(", ")));
    }
    showStatus(opened);
}

bool MainWindow::Impl::showSaveDialog()
{
    // The points on screen are about to be replaced: a package of them would not be the work.
    if (pointView->isDetecting()) {
        session.prompts().warning(QStringLiteral("Saving error"),
                                  QStringLiteral("Points are still being detected. Save again "
                                                 "once they are placed."));
        return false;
    }
    // A picture still being read would land while the form is open, and be marked as saved.
    if (pointView->pictureIntake()->isReading()) {
        session.prompts().warning(QStringLiteral("Saving error"),
                                  QStringLiteral("A picture is still being read. Save again once it "
                                                 "is shown, or cancel the reading first."));
        return false;
    }
    // A package still being read would land under the form and be saved as the older package.
    if (reader.isReadingPackage()) {
        session.prompts().warning(QStringLiteral("Saving error"),
                                  QStringLiteral("A package is being opened. Save again once it is "
                                                 "open, or cancel the opening first."));
        return false;
    }
    SavePMKForm dialog(&project, {}, &session, q);
    if (!packagePath.isEmpty()) {
        dialog.setFolder(QFileInfo(packagePath).absolutePath());
        dialog.setProposedFile(packagePath);
    } else {
        dialog.setFolder(workspace.folder(QStringLiteral("package")));
    }
    const int typeBefore = project.effectType();
    const int result = dialog.exec();
    // The form stores the type chosen in it; the change is a step of the history like a choice
    // from the Edit menu, so that Undo and Redo of earlier type changes start from it and the
    // saved step holds the type that was saved.
    if (project.effectType() != typeBefore) {
        undoStack.push(new tools::SetEffectTypeCommand(&project, typeBefore, project.effectType()));
    }
    if (result != QDialog::Accepted || dialog.savedPath().isEmpty()) {
        return false;
    }
    workspace.rememberSavedPackage(dialog.savedPath(), project.effectType(), project.author());
    showStatus(dialog.resultMessage());
    markStoredAs(dialog.savedPath(), Listed);
    return true;
}

bool MainWindow::Impl::mayLeaveWork(const char* question)
{
    // A point still held is work too: the release would have made it a step.
    pointView->finishGesture();
    if (undoStack.isClean()) {
        return true;
    }
    const QMessageBox::StandardButton answer = session.prompts().question(
        QString::fromLatin1(unsavedTitle), QString::fromLatin1(question),
        QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, QMessageBox::Save);
    switch (answer) {
    case QMessageBox::Save:
        return showSaveDialog();
    case QMessageBox::Discard:
        return true;
    default:
        return false;
    }
}

void MainWindow::Impl::markStoredAs(const QString& path, Listing listing)
{
    packagePath = path;
    undoStack.setClean();
    refreshTitle();
    if (listing == NotListed) {
        workspace.addRecentPackage(path);
    }
    addToRecentlyUsedLater(path, QString::fromLatin1(packageMimeType));
    fillRecentMenu();
}

void MainWindow::Impl::refreshTitle()
{
    // A title has one line: a line break in the name would show as a box, or not at all.
    QString name =
        packagePath.isEmpty() ? QStringLiteral("Untitled") : oneLineText(QFileInfo(packagePath).fileName());
    // "[*]" is where the toolkit puts the unsaved mark; doubled, it shows as the name has it.
    name.replace(QStringLiteral("[*]"), QStringLiteral("[*][*]"));
    q->setWindowTitle(name + QStringLiteral("[*] \u2014 facemask"));
    q->setWindowModified(!undoStack.isClean());
}

void MainWindow::Impl::showPreview()
{
    if (!previewWindow) {
        previewWindow = std::make_unique<PreviewWindow>(&project, &detector, &session);
        const QByteArray kept = workspace.geometry(QStringLiteral("preview"));
        if (restoreKeptGeometry(previewWindow.get(), kept)) {
            // Kept on a larger screen: inside the one it lands on, its frame as it was then (else
            // as large as this window's).
            const QRect outer = q->frameGeometry();
            const QRect inner = q->geometry();
            fitRestoredWindow(previewWindow.get(), kept,
                              QMargins(inner.left() - outer.left(), inner.top() - outer.top(),
                                       outer.right() - inner.right(), outer.bottom() - inner.bottom()));
        } else {
            // Nothing remembered yet: beside this window, on its screen, frame and all (the
            // Preview's frame taken to be as large as this window's).
            const QScreen* screen = q->screen();
            const QSize frame = q->frameGeometry().size() - q->geometry().size();
            const QRect placed = placeBeside(q->frameGeometry(), previewWindow->size() + frame,
                                             screen ? screen->availableGeometry() : QRect());
            previewWindow->resize(placed.size() - frame);
            previewWindow->move(placed.topLeft());
        }
        previewWindow->installEventFilter(this);
    }
    // Minimized, it comes back as it was (maximized, say): shown again alone, it stays an icon.
    if (previewWindow->isMinimized()) {
        previewWindow->setWindowState(previewWindow->windowState() & ~Qt::WindowMinimized);
    }
    previewWindow->show();
    previewWindow->raise();
    previewWindow->activateWindow();
}

void MainWindow::Impl::onDetectorInitialized()
{
    if (footerLabel->text() == QString::fromUtf8(loadingModelText)) {
        showStatus(settingsNotice);
    }
    if (detector.state() == core::FacialPointsDetector::Failed) {
        session.prompts().warning(QStringLiteral("Error"),
                                  QStringLiteral("Face detection module was not load"));
    }
}

void MainWindow::Impl::showStatus(const QString& text)
{
    QString shown = text.isEmpty() ? QString::fromLatin1(footerText) : text;
    if (noticeUntilInput && shown != settingsNotice) {
        shown += QLatin1Char(' ') + settingsNotice;
    }
    footerLabel->setText(shown);
}

void MainWindow::Impl::showPointInfo(const QString& text)
{
    selectionLabel->setText(text);
}

void MainWindow::Impl::reportHistoryStep(const QString& verb, const QString& step)
{
    if (pointView->isDetecting()) {
        showStatus(pointView->detectionStatus());
        return;
    }
    QString text = QStringLiteral("%1: %2.").arg(verb, step);
    const core::FacialPoints* model = project.facialPoints();
    if (!model->image().isNull() && model->count() == 0) {
        text += QStringLiteral(" The picture has no points: press Ctrl+D to detect them, or "
                               "Ctrl+T for a template.");
    }
    showStatus(text);
}

void MainWindow::Impl::restoreWorkspace()
{
    const int titleBar = q->style()->pixelMetric(QStyle::PM_TitleBarHeight);
    const QByteArray kept = workspace.geometry(QStringLiteral("main"));
    if (restoreKeptGeometry(q, kept)) {
        // Kept on a larger screen: inside the one it lands on, title bar and edges in reach.
        fitRestoredWindow(q, kept, QMargins(1, 1 + titleBar, 1, 1));
    } else {
        // Nothing remembered (a first start): the start size, as far as the screen holds it with
        // a title bar (large text can make a screen's 1024 pixels 512).
        if (const QScreen* screen = q->screen()) {
            const QSize room = screen->availableGeometry().size() - QSize(2, 2 + titleBar);
            q->resize(q->size().boundedTo(room));
        }
    }
    // A new project starts from the save dialog's last choices.
    project.setEffectType(workspace.effectType(project.effectType()));
    project.setAuthor(workspace.author(project.author()));
}

void MainWindow::Impl::storeWorkspace()
{
    workspace.setGeometry(QStringLiteral("main"), q->saveGeometry());
    if (previewWindow && previewWindow->isVisible()) {
        workspace.setGeometry(QStringLiteral("preview"), previewWindow->saveGeometry());
    }
}

bool MainWindow::Impl::eventFilter(QObject* watched, QEvent* event)
{
    // The menu bar holds the focus only while it holds the keys, and it lets them go when the
    // window loses the activation (a dialog opened by a key while it held them): the window that
    // comes back gives its keys to the points, not to a menu bar that no longer takes them.
    if (watched == q && event->type() == QEvent::WindowActivate && q->focusWidget() == menuBar) {
        pointView->setFocus(Qt::ActiveWindowFocusReason);
    }
    // While the menu bar holds the keys (Alt pressed alone, a menu closed with Escape), which
    // nothing in the window shows, the keys of the points that it has no use for go to the
    // points as they would without the menu: Tab and Shift+Tab, Shift+F10 and the Menu key. The
    // arrows, Space and Enter stay with the menu bar, which opens its menus with them.
    if (watched == menuBar && pointView && menuBar->hasFocus() && isPointKey(event)) {
        pointView->setFocus(Qt::OtherFocusReason);
        QCoreApplication::sendEvent(pointView, event);
        return true;
    }
    if (watched == saveMenuAction && event->type() == QEvent::Shortcut) {
        QMetaObject::invokeMethod(this, &Impl::showSaveDialog, Qt::QueuedConnection);
        return true;
    }
    if (previewWindow && watched == previewWindow.get() && event->type() == QEvent::Close) {
        workspace.setGeometry(QStringLiteral("preview"), previewWindow->saveGeometry());
    }
    return QObject::eventFilter(watched, event);
}

MainWindow::MainWindow(Prompts* prompts)
    : d(std::make_unique<Impl>(this, prompts))
{
    d->buildWidgets();
    installEventFilter(d.get());
    d->refreshTitle();
    resize(640, 360);
    d->restoreWorkspace();
    const QString notKept = d->workspace.whyNotKept();
    if (!notKept.isEmpty()) {
        d->settingsNotice = QStringLiteral("Settings cannot be kept in %1: %2.").arg(Workspace::defaultFile(), notKept);
    }
    connect(&d->detector, &core::FacialPointsDetector::initializingFinished, d.get(),
            &Impl::onDetectorInitialized);
    // Loaded while the user finds a picture, so the first one finds the model ready; the footer
    // tells where the settings cannot be kept once the model is loaded, or at once.
    if (d->detector.preload()) {
        d->showStatus(QString::fromUtf8(loadingModelText));
    } else {
        d->showStatus(d->settingsNotice);
    }
    connect(&d->saveShortcut, &QShortcut::activated, d.get(), &Impl::showSaveDialog,
            Qt::QueuedConnection);
}

MainWindow::~MainWindow() = default;

void MainWindow::openFile(const QString& path)
{
    if (!isPackageName(path)) {
        d->pointView->openPictureFile(path);
        return;
    }
    d->openPackageFile(path);
}

void MainWindow::openFiles(const QStringList& files)
{
    if (files.isEmpty()) {
        return;
    }
    // The footer tells the file's opening; where the settings cannot be kept, it goes on saying
    // so until the user takes over.
    if (!d->settingsNotice.isEmpty() && !d->noticeUntilInput) {
        d->noticeUntilInput = std::make_unique<FirstInputWatch>(this, [this] {
            d->noticeUntilInput.release()->deleteLater(); // inside its own filter
        });
    }
    openFile(files.constFirst());
    d->pointView->pictureIntake()->tellFilesLeftOut(files.constFirst(), int(files.size()) - 1);
}

void MainWindow::Impl::openPackageFile(const QString& path)
{
    if (mayLeaveWork(openQuestion)) {
        pointView->pictureIntake()->cancel();
        reader.readPackage(path);
    }
}

bool MainWindow::Impl::waitForWrites()
{
    const auto previewSaving = [this] { return previewWindow && previewWindow->isSavingPicture(); };
    if (exportingTo.isEmpty() && !previewSaving()) {
        return true;
    }
    if (waitingForWrites) {
        return false; // a second close while the first waits
    }
    waitingForWrites = true;
    WorkProgress progress(exportingTo.isEmpty()
                              ? QStringLiteral("Saving the preview picture to %1\u2026")
                                    .arg(QFileInfo(previewWindow->savingPicturePath()).fileName())
                              : QStringLiteral("Exporting the points to %1\u2026").arg(QFileInfo(exportingTo).fileName()),
                          q);
    QEventLoop loop;
    QTimer poll;
    // The writes tell their ending through their own callbacks; the wait looks at their state.
    connect(&poll, &QTimer::timeout, &loop, [&] {
        if (exportingTo.isEmpty() && !previewSaving()) {
            loop.quit();
        } else if (QProgressDialog* dialog = progress.dialog(); dialog && dialog->maximum() != 0) {
            dialog->setRange(0, 0); // no percentage to tell
        }
    });
    connect(&progress, &WorkProgress::cancelled, &loop, &QEventLoop::quit);
    poll.start(20);
    loop.exec();
    waitingForWrites = false;
    return !progress.isCancelled();
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    // The program ends a second after the window: a file still being written would be cut off.
    if (!d->waitForWrites()) {
        event->ignore();
        return;
    }
    if (!d->mayLeaveWork(closeQuestion)) {
        event->ignore();
        return;
    }
    d->storeWorkspace();
    event->accept();
    // Quitting abandons what is still being read, so the workers stop at their next check
    // instead of holding the process until a large picture is decoded; the Preview window
    // goes too, or the program would go on running for it.
    d->pointView->pictureIntake()->cancel();
    d->reader.cancel();
    if (d->previewWindow) {
        d->previewWindow->pictureIntake()->cancel();
        d->previewWindow->close();
    }
}

} // namespace ui
