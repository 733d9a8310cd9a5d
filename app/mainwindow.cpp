#include "mainwindow.h"

#include "backgroundreader.h"
#include "facemaskproject.h"
#include "facialpoints.h"
#include "facialpointsdetector.h"
#include "pictureintake.h"
#include "pointview.h"
#include "previewwindow.h"
#include "prompts.h"
#include "savepmkform.h"

#include <QAction>
#include <QBoxLayout>
#include <QCloseEvent>
#include <QFileInfo>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QShortcut>
#include <QUndoStack>

namespace ui {

namespace {
const char* const footerText =
    "Open, drop or paste (Ctrl+V) a picture, drag the points into place, save with Ctrl+S.";
const char* const loadingModelText = "Loading the landmark model\u2026";
const char* const unsavedTitle = "Unsaved changes";
const char* const closeQuestion = "Save the changes to the mask before closing?";
const char* const openQuestion = "Save the changes to the mask before opening another package?";

bool isPackageName(const QString& path)
{
    return QFileInfo(path).suffix().compare(QLatin1String("pmk"), Qt::CaseInsensitive) == 0;
}

// The platform's keys for a standard command and the extra ones, each once, so that every usual
// key works whatever the desktop's key scheme says.
QList<QKeySequence> keysOf(QKeySequence::StandardKey command, const QList<QKeySequence>& extra)
{
    QList<QKeySequence> keys = QKeySequence::keyBindings(command);
    for (const QKeySequence& key : extra) {
        if (!keys.contains(key)) {
            keys.append(key);
        }
    }
    return keys;
}
} // namespace

class MainWindow::Impl : public QObject
{
public:
    explicit Impl(MainWindow* owner)
        : q(owner)
        , saveShortcut(QKeySequence::Save, owner, nullptr, nullptr, Qt::WindowShortcut)
    {
    }

    void buildWidgets();
    void buildFileMenu();
    void buildEditMenu();
    void buildViewMenu();
    void openImage();
    void openPackage();
    void onPackageRead(const QString& path, const core::PackageReading& reading);
    // True when the package was written.
    bool showSaveDialog();
    // True when the work may be replaced or thrown away: it is unchanged, or the user saved it
    // or chose to discard it. question says what is about to happen.
    bool mayLeaveWork(const char* question);
    // The work now matches the package at path: clean, and named by it.
    void markStoredAs(const QString& path);
    void refreshTitle();
    void showPreview();
    void onDetectorInitialized();
    // The footer shows the selected point when there is one, else the latest status line, else
    // the hint. An empty text clears that line.
    void showStatus(const QString& text);
    void showPointInfo(const QString& text);
    void refreshFooter();

    MainWindow* q;
    core::FaceMaskProject project;
    core::FacialPointsDetector detector;
    BackgroundReader reader;
    QMenuBar* menuBar = nullptr;
    PointView* pointView = nullptr;
    QLabel* footerLabel = nullptr;
    QMenu* viewMenu = nullptr;
    std::unique_ptr<PreviewWindow> previewWindow;
    QShortcut saveShortcut;
    // The history of edits; declared after the project, so it goes first and no step outlives
    // the model it edits.
    QUndoStack undoStack;
    QString statusText;
    QString pointInfoText;
    // The package last opened or saved; empty before the first.
    QString packagePath;
};

void MainWindow::Impl::buildWidgets()
{
    auto* layout = new QVBoxLayout;
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    menuBar = new QMenuBar;
    menuBar->setObjectName(QStringLiteral("menuBar"));
    buildFileMenu();
    buildEditMenu();
    viewMenu = menuBar->addMenu(QStringLiteral("View"));
    QAction* previewAction = viewMenu->addAction(QStringLiteral("Preview Effect"));
    previewAction->setObjectName(QStringLiteral("previewEffectAction"));
    previewAction->setShortcut(Qt::Key_F5);
    q->addAction(previewAction);
    connect(previewAction, &QAction::triggered, this, &Impl::showPreview);
    layout->addWidget(menuBar, 0, Qt::AlignTop);

    pointView = new PointView(&detector);
    pointView->setObjectName(QStringLiteral("pointView"));
    pointView->setFacialPoints(project.facialPoints());
    pointView->setUndoStack(&undoStack);
    pointView->pictureIntake()->setPackageReader(&reader);
    connect(pointView, &PointView::statusMessageChanged, this, &Impl::showStatus);
    connect(pointView, &PointView::pointInfoChanged, this, &Impl::showPointInfo);
    layout->addWidget(pointView, 1);

    footerLabel = new QLabel;
    footerLabel->setObjectName(QStringLiteral("footerLabel"));
    footerLabel->setText(QString::fromLatin1(footerText));
    footerLabel->setAlignment(Qt::AlignLeft);
    footerLabel->setContentsMargins(5, 5, 5, 5);
    layout->addWidget(footerLabel, 0);
    buildViewMenu();

    pointView->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    // The footer's text must not hold the window wider than the user wants it.
    footerLabel->setSizePolicy(QSizePolicy::Ignored, footerLabel->sizePolicy().verticalPolicy());
    q->setLayout(layout);
}

void MainWindow::Impl::buildFileMenu()
{
    QMenu* fileMenu = menuBar->addMenu(QStringLiteral("File"));
    QAction* openImageAction = fileMenu->addAction(QStringLiteral("Open Image File"));
    openImageAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    QAction* openPackageAction = fileMenu->addAction(QStringLiteral("Open PMK file"));
    openPackageAction->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O));
    QAction* saveAction = fileMenu->addAction(QStringLiteral("Save PMK File"));
    // Ctrl+S belongs to the window's own shortcut; here it is only shown. A key of the menu
    // entry's own would make the key ambiguous and neither would fire.
    saveAction->setShortcut(saveShortcut.key());
    saveAction->setShortcutContext(Qt::WidgetShortcut);
    fileMenu->addSeparator();
    QAction* quitAction = fileMenu->addAction(QStringLiteral("Quit"));
    quitAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(openImageAction, &QAction::triggered, this, &Impl::openImage);
    connect(openPackageAction, &QAction::triggered, this, &Impl::openPackage);
    connect(&reader, &BackgroundReader::packageRead, this, &Impl::onPackageRead);
    connect(saveAction, &QAction::triggered, this, &Impl::showSaveDialog);
    // Closing asks about unsaved changes; queued, so that the menu is gone first.
    connect(quitAction, &QAction::triggered, q, &QWidget::close, Qt::QueuedConnection);
}

void MainWindow::Impl::buildEditMenu()
{
    QMenu* editMenu = menuBar->addMenu(QStringLiteral("Edit"));
    QAction* undoAction = undoStack.createUndoAction(editMenu, QStringLiteral("Undo"));
    undoAction->setObjectName(QStringLiteral("undoAction"));
    undoAction->setShortcuts(keysOf(QKeySequence::Undo, {QKeySequence(Qt::CTRL | Qt::Key_Z)}));
    QAction* redoAction = undoStack.createRedoAction(editMenu, QStringLiteral("Redo"));
    redoAction->setObjectName(QStringLiteral("redoAction"));
    redoAction->setShortcuts(keysOf(QKeySequence::Redo, {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z),
                                                         QKeySequence(Qt::CTRL | Qt::Key_Y)}));
    editMenu->addAction(undoAction);
    editMenu->addAction(redoAction);
    connect(&undoStack, &QUndoStack::cleanChanged, q,
            [this](bool clean) { q->setWindowModified(!clean); });
}

void MainWindow::Impl::buildViewMenu()
{
    QAction* zoomIn = viewMenu->addAction(QStringLiteral("Zoom In"));
    zoomIn->setShortcuts({QKeySequence(Qt::CTRL + Qt::Key_Equal), QKeySequence(Qt::CTRL + Qt::Key_Plus)});
    connect(zoomIn, &QAction::triggered, pointView, &PointView::zoomIn);
    QAction* zoomOut = viewMenu->addAction(QStringLiteral("Zoom Out"));
    zoomOut->setShortcut(QKeySequence(Qt::CTRL + Qt::Key_Minus));
    connect(zoomOut, &QAction::triggered, pointView, &PointView::zoomOut);
    QAction* fit = viewMenu->addAction(QStringLiteral("Fit to Window"));
    fit->setShortcut(QKeySequence(Qt::CTRL + Qt::Key_0));
    connect(fit, &QAction::triggered, pointView, &PointView::fitToWindow);
    viewMenu->addSeparator();

    const auto addToggle = [this](const QString& text, bool checked, void (PointView::*apply)(bool)) {
        QAction* toggle = viewMenu->addAction(text);
        toggle->setCheckable(true);
        toggle->setChecked(checked);
        (pointView->*apply)(checked);
        connect(toggle, &QAction::toggled, pointView, apply);
    };
    addToggle(QStringLiteral("Show Numbers"), true, &PointView::setShowNumbers);
    addToggle(QStringLiteral("Show Outline"), true, &PointView::setShowOutline);
    addToggle(QStringLiteral("Keep Aspect Ratio"), false, &PointView::setKeepAspectRatio);
    // Paste and the editing keys work as soon as the window is shown.
    pointView->setFocus();
}

void MainWindow::Impl::openImage()
{
    const QString path = Prompts::current().openFileName(
        QStringLiteral("Select image file"),
        QStringLiteral("Image files (*.png *.jpg *.jpeg *.xpm *.bmp *.tif *.tiff);; All files (*.*)"));
    if (path.isEmpty()) {
        return;
    }
    // A new picture is an undoable edit of the work, so nothing is asked.
    pointView->openPictureFile(path);
}

void MainWindow::Impl::openPackage()
{
    if (!mayLeaveWork(openQuestion)) {
        return;
    }
    const QString path = Prompts::current().openFileName(
        QStringLiteral("Select PMK file"), QStringLiteral("PMK file (*.pmk);; All files (*.*)"));
    if (path.isEmpty()) {
        return;
    }
    // A picture still being read would land on the package once it is open.
    pointView->pictureIntake()->cancel();
    reader.readPackage(path);
}

void MainWindow::Impl::onPackageRead(const QString& path, const core::PackageReading& reading)
{
    if (!reading.result.ok) {
        Prompts::current().warning(QStringLiteral("Loading error"),
                                   QStringLiteral("The PMK file was not load"));
        return;
    }
    project.apply(reading.snapshot);
    // A package starts a new history: its steps would undo edits of other work.
    undoStack.clear();
    markStoredAs(path);
}

bool MainWindow::Impl::showSaveDialog()
{
    SavePMKForm dialog(&project);
    if (!packagePath.isEmpty()) {
        dialog.setFolder(QFileInfo(packagePath).absolutePath());
    }
    if (dialog.exec() != QDialog::Accepted || dialog.savedPath().isEmpty()) {
        return false;
    }
    showStatus(dialog.resultMessage());
    markStoredAs(dialog.savedPath());
    return true;
}

bool MainWindow::Impl::mayLeaveWork(const char* question)
{
    if (undoStack.isClean()) {
        return true;
    }
    const QMessageBox::StandardButton answer = Prompts::current().question(
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

void MainWindow::Impl::markStoredAs(const QString& path)
{
    packagePath = path;
    undoStack.setClean();
    refreshTitle();
}

void MainWindow::Impl::refreshTitle()
{
    const QString name =
        packagePath.isEmpty() ? QStringLiteral("Untitled") : QFileInfo(packagePath).fileName();
    q->setWindowTitle(name + QStringLiteral("[*] \u2014 facemask"));
    q->setWindowModified(!undoStack.isClean());
}

void MainWindow::Impl::showPreview()
{
    if (!previewWindow) {
        previewWindow = std::make_unique<PreviewWindow>(&project, &detector);
    }
    previewWindow->show();
    previewWindow->raise();
    previewWindow->activateWindow();
}

void MainWindow::Impl::onDetectorInitialized()
{
    if (statusText == QString::fromUtf8(loadingModelText)) {
        showStatus(QString());
    }
    if (detector.state() == core::FacialPointsDetector::Failed) {
        Prompts::current().warning(QStringLiteral("Error"),
                                   QStringLiteral("Face detection module was not load"));
    }
}

void MainWindow::Impl::showStatus(const QString& text)
{
    statusText = text;
    refreshFooter();
}

void MainWindow::Impl::showPointInfo(const QString& text)
{
    pointInfoText = text;
    refreshFooter();
}

void MainWindow::Impl::refreshFooter()
{
    if (!pointInfoText.isEmpty()) {
        footerLabel->setText(pointInfoText);
    } else if (!statusText.isEmpty()) {
        footerLabel->setText(statusText);
    } else {
        footerLabel->setText(QString::fromLatin1(footerText));
    }
}

MainWindow::MainWindow()
    : d(std::make_unique<Impl>(this))
{
    d->buildWidgets();
    d->refreshTitle();
    resize(640, 360);
    connect(&d->detector, &core::FacialPointsDetector::initializingFinished, d.get(),
            &Impl::onDetectorInitialized);
    // Loaded while the user finds a picture, so the first one finds the model ready.
    if (d->detector.preload()) {
        d->showStatus(QString::fromUtf8(loadingModelText));
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
    if (d->mayLeaveWork(openQuestion)) {
        d->pointView->pictureIntake()->cancel();
        d->reader.readPackage(path);
    }
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (!d->mayLeaveWork(closeQuestion)) {
        event->ignore();
        return;
    }
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
