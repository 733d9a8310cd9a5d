#include "mainwindow.h"

#include "backgroundreader.h"
#include "facemaskproject.h"
#include "facialpoints.h"
#include "facialpointsdetector.h"
#include "imagefiles.h"
#include "pointview.h"
#include "previewwindow.h"
#include "prompts.h"
#include "savepmkform.h"

#include <QAction>
#include <QBoxLayout>
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
}

class MainWindow::Impl : public QObject
{
public:
    explicit Impl(MainWindow* owner)
        : q(owner)
        , saveShortcut(QKeySequence::Save, owner, nullptr, nullptr, Qt::WindowShortcut)
    {
    }

    void buildWidgets();
    void buildViewMenu();
    void openImage();
    void openPackage();
    void onPictureRead(const QString& path, const QImage& picture);
    void onPackageRead(const QString& path, const core::PackageReading& reading);
    void showSaveDialog();
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
};

void MainWindow::Impl::buildWidgets()
{
    auto* layout = new QVBoxLayout;
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    menuBar = new QMenuBar;
    menuBar->setObjectName(QStringLiteral("menuBar"));
    QMenu* fileMenu = menuBar->addMenu(QStringLiteral("File"));
    QAction* openImageAction = fileMenu->addAction(QStringLiteral("Open Image File"));
    QAction* openPackageAction = fileMenu->addAction(QStringLiteral("Open PMK file"));
    QAction* saveAction = fileMenu->addAction(QStringLiteral("Save PMK File"));
    connect(openImageAction, &QAction::triggered, this, &Impl::openImage);
    connect(openPackageAction, &QAction::triggered, this, &Impl::openPackage);
    connect(&reader, &BackgroundReader::pictureRead, this, &Impl::onPictureRead);
    connect(&reader, &BackgroundReader::packageRead, this, &Impl::onPackageRead);
    connect(saveAction, &QAction::triggered, this, &Impl::showSaveDialog);
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
    reader.readPicture(path);
}

void MainWindow::Impl::onPictureRead(const QString& path, const QImage& picture)
{
    if (picture.isNull()) {
        Prompts::current().warning(QStringLiteral("Error"),
                                   QStringLiteral("File \"%1\" was not load.").arg(path));
        return;
    }
    pointView->setImage(picture);
}

void MainWindow::Impl::openPackage()
{
    const QString path = Prompts::current().openFileName(
        QStringLiteral("Select PMK file"), QStringLiteral("PMK file (*.pmk);; All files (*.*)"));
    if (path.isEmpty()) {
        return;
    }
    reader.readPackage(path);
}

void MainWindow::Impl::onPackageRead(const QString&, const core::PackageReading& reading)
{
    if (!reading.result.ok) {
        Prompts::current().warning(QStringLiteral("Loading error"),
                                   QStringLiteral("The PMK file was not load"));
        return;
    }
    project.apply(reading.snapshot);
}

void MainWindow::Impl::showSaveDialog()
{
    SavePMKForm dialog(&project);
    if (dialog.exec() == QDialog::Accepted) {
        showStatus(dialog.resultMessage());
    }
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
    resize(640, 360);
    connect(&d->detector, &core::FacialPointsDetector::initializingFinished, d.get(),
            &Impl::onDetectorInitialized);
    connect(&d->saveShortcut, &QShortcut::activated, d.get(), &Impl::showSaveDialog,
            Qt::QueuedConnection);
}

MainWindow::~MainWindow() = default;

} // namespace ui
