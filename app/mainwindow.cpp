#include "app/mainwindow.h"

#include "ui/backgroundreader.h"
#include "core/facemaskproject.h"
#include "core/facialpoints.h"
#include "face_detection_module/facialpointsdetector.h"
#include "ui/pictureintake.h"
#include "core/imagefiles.h"
#include "ui/landmarkfileio.h"
#include "core/meanface.h"
#include "tools/pointcommands.h"
#include "ui/pointview.h"
#include "ui/previewwindow.h"
#include "ui/prompts.h"
#include "ui/savepmkform.h"
#include "ui/workspace.h"
#include "ui/waitclock.h"

#include <QAction>
#include <QActionGroup>
#include <QBoxLayout>
#include <QClipboard>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeySequence>
#include <QLabel>
#include <QMimeData>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QShortcut>
#include <QStatusBar>
#include <QUndoStack>

#include <algorithm>

namespace ui {

namespace {
const char* const footerText =
    "Open, drop or paste (Ctrl+V) a picture, drag the points into place, save with Ctrl+S.";
const char* const loadingModelText = "Loading the landmark model\u2026";
const char* const unsavedTitle = "Unsaved changes";
const char* const closeQuestion = "Save the changes to the mask before closing?";
const char* const openQuestion = "Save the changes to the mask before opening another package?";
const char* const packageMimeType = "application/x-facemask-package";
const char* const effectTypeNames[] = {"Face only", "Whole image", "Full frame effect"};

// The workspace's names of the View toggles.
const char* const showNumbersKey = "showNumbers";
const char* const showOutlineKey = "showOutline";
const char* const keepAspectRatioKey = "keepAspectRatio";
const char* const showMeshKey = "showMesh";
const char* const showOverviewKey = "showOverview";
const char* const mirrorEditsKey = "mirrorEdits";

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
    void importPoints();
    void exportPoints();
    void onPackageRead(const QString& path, const core::PackageReading& reading);
    // True when the package was written.
    bool showSaveDialog();
    // True when the work may be replaced or thrown away: it is unchanged, or the user saved it
    // or chose to discard it. question says what is about to happen.
    bool mayLeaveWork(const char* question);
    // The work now matches the package at path: clean, and named by it; it heads the recent
    // packages.
    void markStoredAs(const QString& path);
    void refreshTitle();
    void showPreview();
    void onDetectorInitialized();
    // The left of the footer: the latest event; an empty text shows the hint.
    void showStatus(const QString& text);
    // The right of the footer: the selection and the zoom.
    void showPointInfo(const QString& text);
    void paste();
    void detectAgain();
    void placeTemplate();
    void chooseEffectType(int type);
    void showEffectType(int type);
    // After Undo or Redo: what was taken back or done again, and what to do next.
    void reportHistoryStep(const QString& verb, const QString& step);
    void fillRecentMenu();
    void openRecent(const QString& path);
    void restoreWorkspace();
    // Window geometry, for the next start.
    void storeWorkspace();
    bool eventFilter(QObject* watched, QEvent* event) override;

    MainWindow* q;
    core::FaceMaskProject project;
    core::FacialPointsDetector detector;
    BackgroundReader reader;
    Workspace workspace;
    QMenuBar* menuBar = nullptr;
    PointView* pointView = nullptr;
    QStatusBar* statusBar = nullptr;
    QLabel* footerLabel = nullptr;
    QLabel* selectionLabel = nullptr;
    QLabel* cursorLabel = nullptr;
    // The folded-triangles message; a click selects their corners.
    QPushButton* foldedButton = nullptr;
    QMenu* viewMenu = nullptr;
    QMenu* recentMenu = nullptr;
    QActionGroup* effectTypeGroup = nullptr;
    // Edit → Mirror Edits, applied to the view once it exists.
    QAction* mirrorEditsAction = nullptr;
    std::unique_ptr<PreviewWindow> previewWindow;
    QShortcut saveShortcut;
    // The history of edits; declared after the project, so it goes first and no step outlives
    // the model it edits.
    QUndoStack undoStack;
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
    viewMenu = menuBar->addMenu(QStringLiteral("&View"));
    QAction* previewAction = viewMenu->addAction(QStringLiteral("Preview Effect"));
    previewAction->setObjectName(QStringLiteral("previewEffectAction"));
    previewAction->setShortcut(Qt::Key_F5);
    q->addAction(previewAction);
    connect(previewAction, &QAction::triggered, this, &Impl::showPreview);
    layout->addWidget(menuBar, 0, Qt::AlignTop);

    pointView = new PointView(&detector);
    pointView->pictureIntake()->setProgressOwner(q);
    pointView->setObjectName(QStringLiteral("pointView"));
    pointView->setFacialPoints(project.facialPoints());
    pointView->setUndoStack(&undoStack);
    pointView->pictureIntake()->setPackageReader(&reader);
    connect(pointView, &PointView::statusMessageChanged, this, &Impl::showStatus);
    connect(pointView, &PointView::pointInfoChanged, this, &Impl::showPointInfo);
    layout->addWidget(pointView, 1);

    // Events on the left, the selection on the right: neither hides the other.
    statusBar = new QStatusBar;
    statusBar->setObjectName(QStringLiteral("statusBar"));
    statusBar->setSizeGripEnabled(false);
    footerLabel = new QLabel;
    footerLabel->setObjectName(QStringLiteral("footerLabel"));
    footerLabel->setText(QString::fromLatin1(footerText));
    footerLabel->setContentsMargins(5, 2, 5, 2);
    // The footer's text must not hold the window wider than the user wants it.
    footerLabel->setSizePolicy(QSizePolicy::Ignored, footerLabel->sizePolicy().verticalPolicy());
    statusBar->addWidget(footerLabel, 1);
    selectionLabel = new QLabel;
    selectionLabel->setObjectName(QStringLiteral("selectionLabel"));
    selectionLabel->setContentsMargins(5, 2, 5, 2);
    foldedButton = new QPushButton;
    foldedButton->setObjectName(QStringLiteral("foldedButton"));
    foldedButton->setFlat(true);
    foldedButton->setFocusPolicy(Qt::NoFocus);
    foldedButton->setCursor(Qt::PointingHandCursor);
    foldedButton->setToolTip(QStringLiteral("Select the points of the folded triangles"));
    foldedButton->setStyleSheet(QStringLiteral("QPushButton { color: #c0392b; padding: 0 5px; }"));
    foldedButton->setVisible(false);
    statusBar->addPermanentWidget(foldedButton);
    cursorLabel = new QLabel;
    cursorLabel->setObjectName(QStringLiteral("cursorLabel"));
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

void MainWindow::Impl::buildFileMenu()
{
    // The entries keep their texts; the menu's title carries the mnemonic (Alt+F).
    QMenu* fileMenu = menuBar->addMenu(QStringLiteral("&File"));
    QAction* openImageAction = fileMenu->addAction(QStringLiteral("Open Image File"));
    openImageAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    QAction* openPackageAction = fileMenu->addAction(QStringLiteral("Open PMK file"));
    openPackageAction->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O));
    recentMenu = fileMenu->addMenu(QStringLiteral("Open Recent"));
    recentMenu->setObjectName(QStringLiteral("recentMenu"));
    recentMenu->setToolTipsVisible(true);
    connect(recentMenu, &QMenu::aboutToShow, this, &Impl::fillRecentMenu);
    QAction* saveAction = fileMenu->addAction(QStringLiteral("Save PMK File"));
    // Ctrl+S belongs to the window's own shortcut; here it is only shown. A key of the menu
    // entry's own would make the key ambiguous and neither would fire.
    saveAction->setShortcut(saveShortcut.key());
    saveAction->setShortcutContext(Qt::WidgetShortcut);
    fileMenu->addSeparator();
    QAction* importAction = fileMenu->addAction(QStringLiteral("Import Points\u2026"));
    importAction->setObjectName(QStringLiteral("importPointsAction"));
    importAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_I));
    connect(importAction, &QAction::triggered, this, &Impl::importPoints);
    QAction* exportAction = fileMenu->addAction(QStringLiteral("Export Points\u2026"));
    exportAction->setObjectName(QStringLiteral("exportPointsAction"));
    exportAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_E));
    connect(exportAction, &QAction::triggered, this, &Impl::exportPoints);
    fileMenu->addSeparator();
    QAction* quitAction = fileMenu->addAction(QStringLiteral("Quit"));
    quitAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(openImageAction, &QAction::triggered, this, &Impl::openImage);
    connect(openPackageAction, &QAction::triggered, this, &Impl::openPackage);
    connect(&reader, &BackgroundReader::packageRead, this, &Impl::onPackageRead);
    reader.setProgressOwner(q);
    connect(saveAction, &QAction::triggered, this, &Impl::showSaveDialog);
    // Closing asks about unsaved changes; queued, so that the menu is gone first.
    connect(quitAction, &QAction::triggered, q, &QWidget::close, Qt::QueuedConnection);
    fillRecentMenu();
}

void MainWindow::Impl::buildEditMenu()
{
    QMenu* editMenu = menuBar->addMenu(QStringLiteral("&Edit"));
    QAction* undoAction = undoStack.createUndoAction(editMenu, QStringLiteral("Undo"));
    undoAction->setObjectName(QStringLiteral("undoAction"));
    undoAction->setShortcuts(keysOf(QKeySequence::Undo, {QKeySequence(Qt::CTRL | Qt::Key_Z)}));
    QAction* redoAction = undoStack.createRedoAction(editMenu, QStringLiteral("Redo"));
    redoAction->setObjectName(QStringLiteral("redoAction"));
    redoAction->setShortcuts(keysOf(QKeySequence::Redo, {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z),
                                                         QKeySequence(Qt::CTRL | Qt::Key_Y)}));
    editMenu->addAction(undoAction);
    editMenu->addAction(redoAction);
    // Connected after the stack's own connection: the step has been taken back when this runs.
    connect(undoAction, &QAction::triggered, this,
            [this] { reportHistoryStep(QStringLiteral("Undone"), undoStack.redoText()); });
    connect(redoAction, &QAction::triggered, this,
            [this] { reportHistoryStep(QStringLiteral("Redone"), undoStack.undoText()); });
    connect(&undoStack, &QUndoStack::cleanChanged, q,
            [this](bool clean) { q->setWindowModified(!clean); });
    editMenu->addSeparator();

    // A key of the window's, so that it works wherever the focus is, the menu bar included.
    QAction* pasteAction = editMenu->addAction(QStringLiteral("Paste"));
    pasteAction->setObjectName(QStringLiteral("pasteAction"));
    pasteAction->setShortcuts(QKeySequence::Paste);
    connect(pasteAction, &QAction::triggered, this, &Impl::paste);
    editMenu->addSeparator();

    QAction* detectAction = editMenu->addAction(QStringLiteral("Detect Points Again"));
    detectAction->setObjectName(QStringLiteral("detectAgainAction"));
    detectAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_D));
    connect(detectAction, &QAction::triggered, this, &Impl::detectAgain);
    QAction* templateAction = editMenu->addAction(QStringLiteral("Place Template"));
    templateAction->setObjectName(QStringLiteral("placeTemplateAction"));
    templateAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
    connect(templateAction, &QAction::triggered, this, &Impl::placeTemplate);
    editMenu->addSeparator();

    QMenu* typeMenu = editMenu->addMenu(QStringLiteral("Effect Type"));
    typeMenu->setObjectName(QStringLiteral("effectTypeMenu"));
    effectTypeGroup = new QActionGroup(typeMenu);
    effectTypeGroup->setExclusive(true);
    for (int type = core::FaceOnly; type <= core::FullFrame; ++type) {
        QAction* choice = typeMenu->addAction(QString::fromLatin1(effectTypeNames[type]));
        choice->setCheckable(true);
        choice->setData(type);
        effectTypeGroup->addAction(choice);
        connect(choice, &QAction::triggered, this, [this, type] { chooseEffectType(type); });
    }
    connect(&project, &core::FaceMaskProject::effectTypeChanged, this, &Impl::showEffectType);
    editMenu->addSeparator();

    // Remembered like the View toggles.
    QAction* mirrorAction = editMenu->addAction(QStringLiteral("Mirror Edits"));
    mirrorAction->setObjectName(QStringLiteral("mirrorEditsAction"));
    mirrorAction->setCheckable(true);
    mirrorAction->setShortcut(QKeySequence(Qt::Key_M));
    mirrorAction->setChecked(workspace.toggle(QString::fromLatin1(mirrorEditsKey), false));
    connect(mirrorAction, &QAction::toggled, this, [this](bool on) {
        pointView->setMirrorEdits(on);
        workspace.setToggle(QString::fromLatin1(mirrorEditsKey), on);
    });
    mirrorEditsAction = mirrorAction;
    QAction* mirrorSelectionAction = editMenu->addAction(QStringLiteral("Mirror Selection to Other Side"));
    mirrorSelectionAction->setObjectName(QStringLiteral("mirrorSelectionAction"));
    mirrorSelectionAction->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_M));
    connect(mirrorSelectionAction, &QAction::triggered, this, [this] {
        if (!pointView->mirrorSelection()) {
            showStatus(QStringLiteral("Select points on one side of the face to mirror them to the other."));
        }
    });
    showEffectType(project.effectType());
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

    // Each toggle starts as it was left, and is written down as soon as it changes.
    const auto addToggle = [this](const QString& text, const char* key, bool fallback,
                                  void (PointView::*apply)(bool)) {
        QAction* toggle = viewMenu->addAction(text);
        toggle->setCheckable(true);
        const bool checked = workspace.toggle(QString::fromLatin1(key), fallback);
        toggle->setChecked(checked);
        (pointView->*apply)(checked);
        connect(toggle, &QAction::toggled, pointView, apply);
        connect(toggle, &QAction::toggled, this,
                [this, key](bool on) { workspace.setToggle(QString::fromLatin1(key), on); });
    };
    addToggle(QStringLiteral("Show Numbers"), showNumbersKey, true, &PointView::setShowNumbers);
    addToggle(QStringLiteral("Show Outline"), showOutlineKey, true, &PointView::setShowOutline);
    // Square pixels unless the user asked for the stretched view.
    addToggle(QStringLiteral("Keep Aspect Ratio"), keepAspectRatioKey, true,
              &PointView::setKeepAspectRatio);
    addToggle(QStringLiteral("Show Mesh"), showMeshKey, false, &PointView::setShowMesh);
    addToggle(QStringLiteral("Show Overview"), showOverviewKey, true, &PointView::setShowOverview);
    pointView->setMirrorEdits(mirrorEditsAction->isChecked());
    // Paste and the editing keys work as soon as the window is shown.
    pointView->setFocus();
}

void MainWindow::Impl::openImage()
{
    const QString path = Prompts::current().openFileName(
        QStringLiteral("Select image file"),
        QStringLiteral("Image files (*.png *.jpg *.jpeg *.xpm *.bmp *.tif *.tiff);; All files (*.*)"),
        workspace.folder(QStringLiteral("picture")));
    if (path.isEmpty()) {
        return;
    }
    workspace.setFolderOf(QStringLiteral("picture"), path);
    // A new picture is an undoable edit of the work, so nothing is asked.
    ui::waitclock::begin("open");
    pointView->openPictureFile(path);
}

void MainWindow::Impl::importPoints()
{
    const QString path = Prompts::current().openFileName(
        QStringLiteral("Import points"), landmarkio::fileFilter(),
        workspace.folder(QStringLiteral("points")));
    if (path.isEmpty()) {
        return;
    }
    workspace.setFolderOf(QStringLiteral("points"), path);
    QString reason;
    if (!pointView->importPoints(path, &reason)) {
        Prompts::current().warning(QStringLiteral("Import Points"), reason);
        return;
    }
    showStatus(QStringLiteral("Points imported from %1").arg(QFileInfo(path).fileName()));
}

void MainWindow::Impl::exportPoints()
{
    const QString path = Prompts::current().saveFileName(
        QStringLiteral("Export points"), landmarkio::fileFilter(),
        workspace.folder(QStringLiteral("points")), QStringLiteral("pts"));
    if (path.isEmpty()) {
        return;
    }
    workspace.setFolderOf(QStringLiteral("points"), path);
    QString reason;
    if (!pointView->exportPoints(path, &reason)) {
        Prompts::current().warning(QStringLiteral("Export Points"), reason);
        return;
    }
    showStatus(QStringLiteral("Points exported to %1").arg(QFileInfo(path).fileName()));
}

void MainWindow::Impl::openPackage()
{
    if (!mayLeaveWork(openQuestion)) {
        return;
    }
    const QString path = Prompts::current().openFileName(
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
        Prompts::current().warning(QStringLiteral("Loading error"),
                                   QStringLiteral("The PMK file was not load"));
        return;
    }
    project.apply(reading.snapshot);
    // A package starts a new history: its steps would undo edits of other work.
    undoStack.clear();
    markStoredAs(path);
    showStatus(QStringLiteral("Opened %1: %2 points, %3.")
                   .arg(QFileInfo(path).fileName())
                   .arg(project.facialPoints()->count())
                   .arg(QString::fromLatin1(effectTypeNames[std::clamp(project.effectType(), 0, 2)])));
}

bool MainWindow::Impl::showSaveDialog()
{
    // The points on screen are about to be replaced: a package of them would not be the work.
    if (pointView->isDetecting()) {
        Prompts::current().warning(QStringLiteral("Saving error"),
                                   QStringLiteral("Points are still being detected. Save again "
                                                  "once they are placed."));
        return false;
    }
    SavePMKForm dialog(&project);
    if (!packagePath.isEmpty()) {
        dialog.setFolder(QFileInfo(packagePath).absolutePath());
        dialog.setProposedFile(packagePath);
    } else {
        dialog.setFolder(workspace.folder(QStringLiteral("package")));
    }
    if (dialog.exec() != QDialog::Accepted || dialog.savedPath().isEmpty()) {
        return false;
    }
    workspace.setEffectType(project.effectType());
    workspace.setAuthor(project.author());
    workspace.setFolderOf(QStringLiteral("package"), dialog.savedPath());
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
    workspace.addRecentPackage(path);
    addToRecentlyUsed(path, QString::fromLatin1(packageMimeType));
    fillRecentMenu();
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
        previewWindow->restoreGeometry(workspace.geometry(QStringLiteral("preview")));
        previewWindow->installEventFilter(this);
    }
    previewWindow->show();
    previewWindow->raise();
    previewWindow->activateWindow();
}

void MainWindow::Impl::onDetectorInitialized()
{
    if (footerLabel->text() == QString::fromUtf8(loadingModelText)) {
        showStatus(QString());
    }
    if (detector.state() == core::FacialPointsDetector::Failed) {
        Prompts::current().warning(QStringLiteral("Error"),
                                   QStringLiteral("Face detection module was not load"));
    }
}

void MainWindow::Impl::showStatus(const QString& text)
{
    footerLabel->setText(text.isEmpty() ? QString::fromLatin1(footerText) : text);
}

void MainWindow::Impl::showPointInfo(const QString& text)
{
    selectionLabel->setText(text);
}

void MainWindow::Impl::paste()
{
    // Out of the menu bar's keyboard mode, so that the keys that follow reach the points.
    pointView->setFocus();
    ui::waitclock::begin("paste");
    const QMimeData* data = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
    if (!data || !pointView->insertFromMimeData(data)) {
        showStatus(QStringLiteral("Nothing to paste: the clipboard holds no picture or picture file."));
    }
}

void MainWindow::Impl::detectAgain()
{
    pointView->setFocus();
    if (project.facialPoints()->image().isNull()) {
        showStatus(QStringLiteral("Open, drop or paste a picture first: there is nothing to detect."));
        return;
    }
    pointView->detectAgain();
}

void MainWindow::Impl::placeTemplate()
{
    pointView->setFocus();
    core::FacialPoints* model = project.facialPoints();
    if (model->image().isNull()) {
        showStatus(QStringLiteral("Open, drop or paste a picture first: the template is placed on it."));
        return;
    }
    tools::execute(&undoStack, std::make_unique<tools::ReplacePointsCommand>(
                                   model, model->points(), core::templateFace(model->image().size()),
                                   QStringLiteral("Place Template"), false));
    showStatus(QStringLiteral("Template placed. Ctrl+A selects it: drag a point to move it, a "
                              "corner to scale it, the round handle to turn it."));
}

void MainWindow::Impl::chooseEffectType(int type)
{
    if (type != project.effectType()) {
        tools::execute(&undoStack,
                       std::make_unique<tools::SetEffectTypeCommand>(&project, project.effectType(), type));
    }
    showEffectType(project.effectType());
}

void MainWindow::Impl::showEffectType(int type)
{
    // A stored type the menu does not know (an old package) shows as Face only, as it is drawn.
    const int shown = type == core::WholeImage || type == core::FullFrame ? type : core::FaceOnly;
    for (QAction* choice : effectTypeGroup->actions()) {
        choice->setChecked(choice->data().toInt() == shown);
    }
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

void MainWindow::Impl::fillRecentMenu()
{
    recentMenu->clear();
    const QStringList paths = workspace.recentPackages();
    if (paths.isEmpty()) {
        recentMenu->addAction(QStringLiteral("No recent packages"))->setEnabled(false);
        return;
    }
    for (int i = 0; i < paths.size(); ++i) {
        const QString& path = paths.at(i);
        const QFileInfo file(path);
        const QString folder = QDir::toNativeSeparators(file.absolutePath());
        QAction* entry = recentMenu->addAction(
            QStringLiteral("&%1 %2  (%3)").arg(i + 1).arg(file.fileName(), folder));
        entry->setToolTip(QDir::toNativeSeparators(path));
        entry->setData(path);
        connect(entry, &QAction::triggered, this, [this, path] { openRecent(path); });
    }
    recentMenu->addSeparator();
    QAction* clear = recentMenu->addAction(QStringLiteral("Clear List"));
    connect(clear, &QAction::triggered, this, [this] {
        workspace.clearRecentPackages();
        fillRecentMenu();
    });
}

void MainWindow::Impl::openRecent(const QString& path)
{
    if (!QFileInfo(path).isFile()) {
        workspace.removeRecentPackage(path);
        fillRecentMenu();
        Prompts::current().warning(
            QStringLiteral("Open Recent"),
            QStringLiteral("%1 is no longer there, so it was taken off the list of recent "
                           "packages:\n%2")
                .arg(QFileInfo(path).fileName(), QDir::toNativeSeparators(path)));
        return;
    }
    q->openFile(path);
}

void MainWindow::Impl::restoreWorkspace()
{
    q->restoreGeometry(workspace.geometry(QStringLiteral("main")));
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
    if (previewWindow && watched == previewWindow.get() && event->type() == QEvent::Close) {
        workspace.setGeometry(QStringLiteral("preview"), previewWindow->saveGeometry());
    }
    return QObject::eventFilter(watched, event);
}

MainWindow::MainWindow()
    : d(std::make_unique<Impl>(this))
{
    d->buildWidgets();
    d->refreshTitle();
    resize(640, 360);
    d->restoreWorkspace();
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
