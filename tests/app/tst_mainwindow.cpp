#include "core/facemaskproject.h"
#include "core/facialpoints.h"
#include "tests/support/fakeprompts.h"
#include "tests/support/fromoutside.h"
#include "tests/support/busyworkers.h"
#include "app/mainwindow.h"
#include "core/packageformat.h"
#include "ui/pictureintake.h"
#include "ui/pointview.h"
#include "ui/savepmkform.h"
#include "tests/support/tempworkspace.h"
#include "tests/support/testimages.h"
#include "zip/ziparchive.h"

#include <QAction>
#include <QBuffer>
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QDropEvent>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QProgressDialog>
#include <QPushButton>
#include <QThreadPool>
#include <QScreen>
#include <QTimer>
#include <QtTest>



#include <memory>

// PointView has no meta-object of its own, so findChild cannot tell it from other widgets.
static ui::PointView* pointView(ui::MainWindow& window)
{
    return dynamic_cast<ui::PointView*>(window.findChild<QWidget*>(QStringLiteral("pointView")));
}

class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void freshWindowLayout();
    void openImage_data();
    void openImage();
    void openPackage_data();
    void openPackage();
    void saveCommandsOpenTheSaveDialog_data();
    void saveCommandsOpenTheSaveDialog();
    void cancelAbandonsALoad_data();
    void cancelAbandonsALoad();
    void footerConfirmsASave();
    void previewEffectOpensOnePreviewWindow();
    void previewEffectBringsThePreviewForward_data();
    void previewEffectBringsThePreviewForward();
    void quitDuringAnOpenAbandonsIt();
    void saveWhileAPictureIsReadSaysSo();
    void saveWhileAPackageIsOpenedSaysSo();
    void pasteDuringAPackageLoadIsRefusedAndSaysSo_data();
    void pasteDuringAPackageLoadIsRefusedAndSaysSo();
    void filesNamedOnTheCommandLine_data();
    void filesNamedOnTheCommandLine();
    void packagePastedOrDroppedOpens_data();
    void packagePastedOrDroppedOpens();
    void videoPastedOrDroppedPlaysInThePreview_data();
    void videoPastedOrDroppedPlaysInThePreview();

private:
    QAction* action(ui::MainWindow& window, const QString& text);
    QString writeFile(const QString& name, const QByteArray& bytes);
    QString writePackage(const QString& name, const QImage& picture, int points);

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<FakePrompts> prompts;
    std::unique_ptr<TempWorkspace> workspace;
};

void tst_MainWindow::initTestCase()
{
    core::registerFacialPointVector();
}

void tst_MainWindow::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
    prompts = std::make_unique<FakePrompts>();
    workspace = std::make_unique<TempWorkspace>();
    QVERIFY(workspace->isValid());
}

void tst_MainWindow::cleanup()
{
    workspace.reset();
    prompts.reset();
    dir.reset();
}

QAction* tst_MainWindow::action(ui::MainWindow& window, const QString& text)
{
    const QList<QAction*> actions = window.findChildren<QAction*>();
    for (QAction* candidate : actions) {
        if (candidate->text() == text) {
            return candidate;
        }
    }
    return nullptr;
}

QString tst_MainWindow::writeFile(const QString& name, const QByteArray& bytes)
{
    const QString path = dir->filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        return QString();
    }
    return path;
}

QString tst_MainWindow::writePackage(const QString& name, const QImage& picture, int points)
{
    const core::FacialPointVector pointList(size_t(points), FacialPoint(0.25, 0.75));
    const QString path = dir->filePath(name + QStringLiteral(".pmk"));
    if (points >= core::package::minimumPivotCount) {
        core::FaceMaskProject project;
        project.setName(name);
        project.facialPoints()->setImage(picture);
        project.facialPoints()->setPoints(pointList);
        return project.save(path) ? path : QString();
    }
    // A save refuses to write what the loader would refuse: such a package is packed by hand.
    QByteArray png;
    QBuffer buffer(&png);
    if (!buffer.open(QIODevice::WriteOnly) || !picture.save(&buffer, "PNG")) {
        return QString();
    }
    using namespace core::package;
    const std::pair<const char*, QByteArray> members[] = {
        {propertiesMember, buildPropertiesDocument(name, "Author", "Hats", QDate(2020, 3, 5))},
        {effectMember, buildEffectDocument(0, pointList)},
        {pictureMember, png}};
    HZIP archive = archiveCreateFile(path.toStdU16String().c_str(), nullptr);
    bool written = archive != nullptr;
    for (const auto& [member, bytes] : members) {
        written = written
            && archiveAddBuffer(archive, QString::fromLatin1(member).toStdU16String().c_str(),
                                bytes.constData(), uint32_t(bytes.size()))
                == ArchiveResult::Ok;
    }
    written = archive && archiveClose(archive) == ArchiveResult::Ok && written;
    return written ? path : QString();
}

void tst_MainWindow::freshWindowLayout()
{
    ui::MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.size(), QSize(640, 360));

    auto* menuBar = window.findChild<QMenuBar*>(QStringLiteral("menuBar"));
    auto* view = pointView(window);
    QVERIFY(view);
    auto* footer = window.findChild<QStatusBar*>(QStringLiteral("statusBar"));
    auto* message = window.findChild<QLabel*>(QStringLiteral("footerLabel"));
    QVERIFY(menuBar && view && footer && message);
    const QList<QAction*> menus = menuBar->actions();
    QStringList titles;
    QStringList mnemonics;
    for (QAction* menu : menus) {
        titles << QString(menu->text()).remove(QLatin1Char('&'));
        mnemonics << QKeySequence::mnemonic(menu->text()).toString();
    }
    // Shown as before; Alt and the first letter opens each.
    QCOMPARE(titles.mid(0, 3), (QStringList{"File", "Edit", "View"}));
    QCOMPARE(mnemonics.mid(0, 3), (QStringList{"Alt+F", "Alt+E", "Alt+V"}));
    QStringList entries;
    QStringList keys;
    const QList<QAction*> fileActions = menus.at(0)->menu()->actions();
    for (QAction* entry : fileActions) {
        entries << (entry->isSeparator() ? QStringLiteral("--") : entry->text());
        keys << entry->shortcut().toString();
    }
    QCOMPARE(entries, (QStringList{"Open Image File", "Open PMK file", "Open Recent", "Save PMK File",
                                   "--", "Import Points\u2026", "Export Points\u2026", "--", "Quit"}));
    QCOMPARE(keys, (QStringList{"Ctrl+O", "Ctrl+Shift+O", "", "Ctrl+S", "", "Ctrl+I", "Ctrl+E", "",
                                "Ctrl+Q"}));

    // Menu at the top, the view filling the middle, the footer at the bottom.
    QCOMPARE(menuBar->geometry().top(), 0);
    QCOMPARE(view->geometry().top(), menuBar->geometry().bottom() + 1);
    QCOMPARE(footer->geometry().top(), view->geometry().bottom() + 1);
    QCOMPARE(footer->geometry().bottom(), window.height() - 1);
    QCOMPARE(view->width(), window.width());
    QVERIFY(!message->text().isEmpty());
    QVERIFY(view->acceptDrops());

    // The picture's size never dictates the window's size.
    view->setImage(testimages::filled(3000, 2000, Qt::gray));
    window.resize(200, 150);
    QTRY_COMPARE(window.size(), QSize(200, 150));
}

void tst_MainWindow::openImage_data()
{
    QTest::addColumn<QString>("fileName"); // empty: the dialog is cancelled
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("loaded");

    QTest::newRow("cancelled-dialog") << QString() << QByteArray() << false;
    QTest::newRow("png-is-shown") << "blue.png" << testimages::encoded(testimages::filled(40, 30, Qt::blue), "png") << true;
    QTest::newRow("text-named-png-is-refused") << "notes.png" << QByteArray("not a picture\n") << false;
    QTest::newRow("missing-file-is-refused") << "gone.jpg" << QByteArray() << false;
}

void tst_MainWindow::openImage()
{
    QFETCH(QString, fileName);
    QFETCH(QByteArray, content);
    QFETCH(bool, loaded);

    QString path;
    if (!fileName.isEmpty()) {
        path = content.isEmpty() ? dir->filePath(fileName) : writeFile(fileName, content);
        QVERIFY(!path.isEmpty());
        prompts->fileNames.enqueue(path);
    }
    ui::MainWindow window;
    core::FacialPoints* model = pointView(window)->facialPoints();
    QSignalSpy imageChanged(model, &core::FacialPoints::imageChanged);

    action(window, QStringLiteral("Open Image File"))->trigger();
    // The picture is read on a worker: wait for its outcome.
    if (!fileName.isEmpty()) {
        QTRY_COMPARE(imageChanged.count() + prompts->ofKind(QStringLiteral("warning")).size(), 1);
    }

    const QList<PromptRecord> opens = prompts->ofKind(QStringLiteral("open"));
    QCOMPARE(opens.size(), 1);
    QCOMPARE(opens.at(0).title, QStringLiteral("Select image file"));
    QCOMPARE(opens.at(0).text,
             QStringLiteral("Image files (*.png *.jpg *.jpeg *.xpm *.bmp *.tif *.tiff);; All files (*.*)"));
    QCOMPARE(imageChanged.count(), loaded ? 1 : 0);
    QCOMPARE(model->image().isNull(), !loaded);

    const QList<PromptRecord> warnings = prompts->ofKind(QStringLiteral("warning"));
    if (loaded || fileName.isEmpty()) {
        QVERIFY(warnings.isEmpty());
    } else {
        QCOMPARE(warnings.size(), 1);
        QCOMPARE(warnings.at(0).title, QStringLiteral("Error"));
        // The line the program always showed, then the check that refused the file.
        QCOMPARE(warnings.at(0).text.section(QLatin1Char('\n'), 0, 0),
                 QStringLiteral("File \"") + path + QStringLiteral("\" was not load."));
        QVERIFY2(!warnings.at(0).text.section(QLatin1Char('\n'), 1).isEmpty(), "the reason is told");
    }
    if (loaded) {
        // The detection's outcome reaches the footer; a plain blue picture has no face.
        auto* footer = window.findChild<QLabel*>(QStringLiteral("footerLabel"));
        QVERIFY(footer);
        QTRY_COMPARE_WITH_TIMEOUT(footer->text(),
                                  QStringLiteral("No face found: points spread over the picture. "
                                                 "Press Ctrl+T for a template to move, scale and turn onto the face."),
                                  60000);
    }
}

void tst_MainWindow::openPackage_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("loaded");
    QTest::addColumn<QString>("refusal"); // in the status bar, beside the box's short text
    QTest::newRow("cancelled-dialog") << "cancel" << false << QString();
    QTest::newRow("package-with-75-points") << "good" << true << QString();
    QTest::newRow("package-with-68-points") << "few" << false
                                            << "few.pmk was not opened: properties.json: mask_pivots has 68 elements, at least 75 needed.";
    QTest::newRow("not-an-archive") << "text" << false << "text.pmk was not opened: not a ZIP archive.";
}

void tst_MainWindow::openPackage()
{
    QFETCH(QString, kind);
    QFETCH(QString, refusal);
    QFETCH(bool, loaded);

    const QImage packagePicture = testimages::filled(32, 24, Qt::magenta);
    QString path;
    if (kind == QLatin1String("good")) {
        path = writePackage(QStringLiteral("good"), packagePicture, 75);
    } else if (kind == QLatin1String("few")) {
        path = writePackage(QStringLiteral("few"), packagePicture, 68);
    } else if (kind == QLatin1String("text")) {
        path = writeFile(QStringLiteral("text.pmk"), "PK but not really\n");
    }
    if (kind != QLatin1String("cancel")) {
        QVERIFY2(!path.isEmpty(), "cannot write the package for the test");
        prompts->fileNames.enqueue(path);
    }

    ui::MainWindow window;
    core::FacialPoints* model = pointView(window)->facialPoints();
    const QImage before = testimages::filled(10, 10, Qt::yellow);
    const core::FacialPointVector pointsBefore{FacialPoint(0.1, 0.1)};
    model->setImage(before);
    model->setPoints(pointsBefore);

    action(window, QStringLiteral("Open PMK file"))->trigger();
    if (kind != QLatin1String("cancel")) {
        QTRY_VERIFY(model->count() == 75 || !prompts->ofKind(QStringLiteral("warning")).isEmpty());
    }

    const QList<PromptRecord> opens = prompts->ofKind(QStringLiteral("open"));
    QCOMPARE(opens.size(), 1);
    QCOMPARE(opens.at(0).title, QStringLiteral("Select PMK file"));
    QCOMPARE(opens.at(0).text, QStringLiteral("PMK file (*.pmk);; All files (*.*)"));
    const QList<PromptRecord> warnings = prompts->ofKind(QStringLiteral("warning"));
    if (loaded) {
        QVERIFY(warnings.isEmpty());
        QCOMPARE(model->image().size(), packagePicture.size());
        QCOMPARE(model->count(), 75);
        QVERIFY2(prompts->ofKind(QStringLiteral("question")).isEmpty(), "a package starts no detection");
    } else {
        QCOMPARE(warnings.size(), kind == QLatin1String("cancel") ? 0 : 1);
        if (!warnings.isEmpty()) {
            QCOMPARE(warnings.at(0).title, QStringLiteral("Loading error"));
            QCOMPARE(warnings.at(0).text, QStringLiteral("The PMK file was not load"));
            QCOMPARE(window.findChild<QLabel*>(QStringLiteral("footerLabel"))->text(), refusal);
        }
        QCOMPARE(model->image(), before);
        QCOMPARE(model->points(), pointsBefore);
    }
}

void tst_MainWindow::saveCommandsOpenTheSaveDialog_data()
{
    QTest::addColumn<bool>("byShortcut");
    // Alt+F and Escape first: the menu bar holds the keys when the form opens.
    QTest::addColumn<bool>("fromMenuBar");
    QTest::newRow("menu-entry") << false << false;
    QTest::newRow("ctrl-s") << true << false;
    QTest::newRow("ctrl-s-after-a-menu") << true << true;
}

void tst_MainWindow::saveCommandsOpenTheSaveDialog()
{
    QFETCH(bool, byShortcut);
    QFETCH(bool, fromMenuBar);

    ui::MainWindow window;
    // Off the screen's centre: the form opens over its window, not in the middle of the screen
    // (on several monitors, of the one under the cursor).
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    window.move(screen.right() - window.width() - 10, screen.bottom() - window.height() - 10);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QApplication::setActiveWindow(&window);
    QVERIFY(QTest::qWaitForWindowActive(&window));
    ui::PointView* view = pointView(window);
    QVERIFY(view);
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(view));
    if (fromMenuBar) {
        QTest::keyClick(&window, Qt::Key_F, Qt::AltModifier);
        QTRY_VERIFY(QApplication::activePopupWidget());
        QTest::keyClick(QApplication::activePopupWidget(), Qt::Key_Escape);
        QTRY_VERIFY(!QApplication::activePopupWidget());
        QCOMPARE(QApplication::focusWidget(), window.findChild<QWidget*>(QStringLiteral("menuBar")));
    }

    // Record which modal window appears, and close it: the dialog runs its own event loop.
    QString seen;
    QRect formFrame;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal) {
            return;
        }
        seen = modal->metaObject()->className();
        if (dynamic_cast<ui::SavePMKForm*>(modal)) {
            seen = QStringLiteral("SavePMKForm");
            formFrame = modal->frameGeometry();
        }
        modal->close();
    });
    poll.start(10);

    if (byShortcut) {
        QTest::keyClick(&window, Qt::Key_S, Qt::ControlModifier);
    } else {
        action(window, QStringLiteral("Save PMK File"))->trigger();
    }
    QTRY_COMPARE_WITH_TIMEOUT(seen, QStringLiteral("SavePMKForm"), 5000);
    const QPoint centre = window.frameGeometry().center();
    QVERIFY2((formFrame.center() - centre).manhattanLength() < (formFrame.center() - screen.center()).manhattanLength(),
             qPrintable(QStringLiteral("form at %1,%2 %3x%4, window centre %5,%6")
                            .arg(formFrame.x()).arg(formFrame.y()).arg(formFrame.width()).arg(formFrame.height())
                            .arg(centre.x()).arg(centre.y())));
    // Once the window is active again, the keys that follow move the points.
    QTRY_VERIFY(!QApplication::activeModalWidget());
    QApplication::setActiveWindow(&window);
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(view));
}

void tst_MainWindow::previewEffectOpensOnePreviewWindow()
{
    auto previewWindows = [] {
        QList<QWidget*> found;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->isVisible() && widget->windowTitle() == QLatin1String("Preview Effect")) {
                found.append(widget);
            }
        }
        return found;
    };
    ui::MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QAction* preview = action(window, QStringLiteral("Preview Effect"));
    QVERIFY(preview);
    QCOMPARE(preview->shortcut(), QKeySequence(Qt::Key_F5));
    QVERIFY(previewWindows().isEmpty());
    QTest::keyClick(&window, Qt::Key_F5);
    QTRY_COMPARE(previewWindows().size(), 1);
    // Asked again, the same window comes forward.
    preview->trigger();
    QCOMPARE(previewWindows().size(), 1);
    QVERIFY(prompts->records.isEmpty());
}

void tst_MainWindow::previewEffectBringsThePreviewForward_data()
{
    QTest::addColumn<QString>("left"); // how the Preview window was left: "behind", "minimized", "closed"
    QTest::newRow("behind the main window") << "behind";
    QTest::newRow("minimized") << "minimized";
    QTest::newRow("closed") << "closed";
}

// F5 a second time shows the Preview window and gives it the keys, however it was left.
void tst_MainWindow::previewEffectBringsThePreviewForward()
{
    QFETCH(QString, left);
    ui::MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QAction* preview = action(window, QStringLiteral("Preview Effect"));
    QVERIFY(preview);
    preview->trigger();
    QWidget* shown = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible() && widget->windowTitle() == QLatin1String("Preview Effect")) {
            shown = widget;
        }
    }
    QVERIFY(shown);
    QVERIFY(QTest::qWaitForWindowActive(shown));
    if (left == QLatin1String("minimized")) {
        shown->showMinimized();
        QTRY_VERIFY(shown->isMinimized());
    } else if (left == QLatin1String("closed")) {
        shown->close();
        QVERIFY(!shown->isVisible());
    }
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));

    QTest::keyClick(&window, Qt::Key_F5);
    QVERIFY(shown->isVisible());
    QVERIFY2(!shown->isMinimized(), "F5 left the Preview window an icon");
    QTRY_COMPARE(QApplication::activeWindow(), shown);
}

namespace {

QProgressDialog* shownProgressDialog()
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* dialog = qobject_cast<QProgressDialog*>(widget); dialog && dialog->isVisible()) {
            return dialog;
        }
    }
    return nullptr;
}

} // namespace

void tst_MainWindow::cancelAbandonsALoad_data()
{
    QTest::addColumn<QString>("actionText");
    QTest::addColumn<QString>("fileName");
    QTest::newRow("picture-file") << "Open Image File" << "slow.png";
    QTest::newRow("package") << "Open PMK file" << "slow.pmk";
}

void tst_MainWindow::cancelAbandonsALoad()
{
    QFETCH(QString, actionText);
    QFETCH(QString, fileName);
    const QString path = dir->filePath(fileName);
    const QByteArray png = testimages::encoded(testimages::filled(40, 30, Qt::blue), "png");
    // Pictures and packages are read only from regular files, so the read is held up by keeping
    // every worker busy.
    QFile plain(path);
    QVERIFY(plain.open(QIODevice::WriteOnly) && plain.write(png) == png.size());
    plain.close();
    auto busy = std::make_unique<BusyWorkers>();
    prompts->fileNames.enqueue(path);

    ui::MainWindow window;
    core::FacialPoints* model = pointView(window)->facialPoints();
    const QImage before = testimages::filled(10, 10, Qt::yellow);
    model->setImage(before);
    QSignalSpy imageChanged(model, &core::FacialPoints::imageChanged);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    action(window, actionText)->trigger();
    QTRY_VERIFY2(shownProgressDialog(), "a load that takes long shows its progress");
    // Above the window it belongs to, and centred on it.
    QCOMPARE(shownProgressDialog()->parentWidget(), &window);
    QVERIFY(shownProgressDialog()->isWindow());
    const QPoint offCentre = shownProgressDialog()->frameGeometry().center() - window.frameGeometry().center();
    QVERIFY2(offCentre.manhattanLength() <= 4, qPrintable(QStringLiteral("%1, %2").arg(offCentre.x()).arg(offCentre.y())));
    QPushButton* cancel = shownProgressDialog()->findChild<QPushButton*>();
    QVERIFY(cancel);
    QTest::mouseClick(cancel, Qt::LeftButton);
    QTRY_VERIFY2(!shownProgressDialog(), "cancel takes the progress away at once");

    // The worker is still waiting; let it finish and deliver whatever it read.
    busy.reset();
    QVERIFY(QThreadPool::globalInstance()->waitForDone(60000));
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
    QCOMPARE(imageChanged.count(), 0);
    QCOMPARE(model->image(), before);
    QVERIFY2(prompts->ofKind(QStringLiteral("warning")).isEmpty(), "a cancelled load is no error");
}

void tst_MainWindow::footerConfirmsASave()
{
    ui::MainWindow window;
    core::FacialPoints* model = pointView(window)->facialPoints();
    model->setImage(testimages::filled(64, 48, Qt::darkCyan));
    model->setPoints(core::FacialPointVector(75, FacialPoint(0.5, 0.5)));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QString path = dir->filePath(QStringLiteral("astronaut.pmk"));
    prompts->fileNames.enqueue(path);

    // The dialog runs its own event loop: press its Save button from there.
    bool pressed = false;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        auto* form = dynamic_cast<ui::SavePMKForm*>(QApplication::activeModalWidget());
        if (form && !pressed) {
            pressed = true;
            form->findChild<QPushButton*>(QStringLiteral("saveButton"))->click();
        }
    });
    poll.start(10);
    action(window, QStringLiteral("Save PMK File"))->trigger();
    poll.stop();

    QVERIFY(pressed);
    QVERIFY(QFile::exists(path));
    const QString footer = window.findChild<QLabel*>(QStringLiteral("footerLabel"))->text();
    QVERIFY2(footer.startsWith(QStringLiteral("Saved astronaut.pmk (")), qPrintable(footer));
}

// A picture still being read would land while the save form is open and then be taken for
// saved: the save is refused until it is shown.
void tst_MainWindow::saveWhileAPictureIsReadSaysSo()
{
    const QString path = writeFile(QStringLiteral("face.png"),
                                   testimages::encoded(testimages::filled(40, 30, Qt::blue), "png"));
    prompts->fileNames.enqueue(path);
    ui::MainWindow window;
    core::FacialPoints* model = pointView(window)->facialPoints();
    model->setImage(testimages::filled(10, 10, Qt::yellow));
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));

    auto busy = std::make_unique<BusyWorkers>();
    action(window, QStringLiteral("Open Image File"))->trigger();
    QVERIFY(pointView(window)->pictureIntake()->isReading());
    action(window, QStringLiteral("Save PMK File"))->trigger();
    const QList<PromptRecord> warnings = prompts->ofKind(QStringLiteral("warning"));
    QCOMPARE(warnings.size(), 1);
    QCOMPARE(warnings[0].text, QStringLiteral("A picture is still being read. Save again once it is shown, "
                                              "or cancel the reading first."));
    QVERIFY2(!window.findChild<QDialog*>(), "no save form may open");

    busy.reset();
    QVERIFY(QThreadPool::globalInstance()->waitForDone(60000));
    QTRY_COMPARE(model->image().size(), QSize(40, 30));
}

// The package being opened would land under the save form, and be written under the name of the
// package open before it: Save waits for it.
void tst_MainWindow::saveWhileAPackageIsOpenedSaysSo()
{
    const QString earlier = writePackage(QStringLiteral("earlier"), testimages::filled(30, 20, Qt::green), 75);
    const QString good = writePackage(QStringLiteral("good"), testimages::filled(32, 24, Qt::magenta), 75);
    const QString slow = dir->filePath(QStringLiteral("slow.pmk"));
    QVERIFY(QFile::copy(good, slow));
    QFile earlierFile(earlier);
    QVERIFY(earlierFile.open(QIODevice::ReadOnly));
    const QByteArray earlierBytes = earlierFile.readAll();

    ui::MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    window.openFile(earlier);
    QTRY_COMPARE(pointView(window)->facialPoints()->image().size(), QSize(30, 20));
    // The read is held up by keeping every worker busy.
    auto busy = std::make_unique<BusyWorkers>();
    window.openFile(slow);
    action(window, QStringLiteral("Save PMK File"))->trigger();
    const QList<PromptRecord> warnings = prompts->ofKind(QStringLiteral("warning"));
    QCOMPARE(warnings.size(), 1);
    QCOMPARE(warnings[0].text, QStringLiteral("A package is being opened. Save again once it is open, "
                                              "or cancel the opening first."));
    QVERIFY2(!window.findChild<QDialog*>(), "no save form may open");

    busy.reset();
    QTRY_COMPARE(pointView(window)->facialPoints()->image().size(), QSize(32, 24));
    QVERIFY(QThreadPool::globalInstance()->waitForDone(60000));
    QVERIFY(earlierFile.seek(0));
    QCOMPARE(earlierFile.readAll(), earlierBytes);
}

void tst_MainWindow::quitDuringAnOpenAbandonsIt()
{
    const QString path = writeFile(QStringLiteral("face.png"),
                                   testimages::encoded(testimages::filled(40, 30, Qt::blue), "png"));
    prompts->fileNames.enqueue(path);
    ui::MainWindow window;
    core::FacialPoints* model = pointView(window)->facialPoints();
    QSignalSpy imageChanged(model, &core::FacialPoints::imageChanged);
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));

    auto busy = std::make_unique<BusyWorkers>();
    action(window, QStringLiteral("Open Image File"))->trigger();
    ui::PictureIntake* intake = pointView(window)->pictureIntake();
    QVERIFY(intake->isReading());
    QTest::keyClick(window.windowHandle(), Qt::Key_Q, Qt::ControlModifier);
    QTRY_VERIFY2(!window.isVisible(), "Ctrl+Q closes the window while a picture is being read");
    QVERIFY2(!intake->isReading(), "closing abandons the read");

    busy.reset();
    QVERIFY(QThreadPool::globalInstance()->waitForDone(60000));
    QCoreApplication::processEvents();
    QCOMPARE(imageChanged.count(), 0);
    QVERIFY(prompts->ofKind(QStringLiteral("warning")).isEmpty());
}

void tst_MainWindow::pasteDuringAPackageLoadIsRefusedAndSaysSo_data()
{
    QTest::addColumn<bool>("byOpening");
    QTest::addColumn<QString>("again");
    QTest::newRow("pasted") << false << "Paste or drop";
    // Opened, it could land while a question about the package is open and take its place.
    QTest::newRow("opened") << true << "Open";
}

void tst_MainWindow::pasteDuringAPackageLoadIsRefusedAndSaysSo()
{
    QFETCH(bool, byOpening);
    QFETCH(QString, again);
    const QString path = dir->filePath(QStringLiteral("slow.pmk"));
    const QString good = writePackage(QStringLiteral("good"), testimages::filled(32, 24, Qt::magenta), 75);
    QVERIFY(QFile::copy(good, path));

    ui::MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    ui::PointView* view = pointView(window);
    view->setImage(testimages::filled(20, 20, Qt::red));
    auto* undo = window.findChild<QAction*>(QStringLiteral("undoAction"));
    QVERIFY(undo);
    const QString undoText = undo->text();
    QVERIFY(undo->isEnabled());

    prompts->answers.enqueue(QMessageBox::Discard);
    // The read is held up by keeping every worker busy.
    auto busy = std::make_unique<BusyWorkers>();
    window.openFile(path);
    if (byOpening) {
        const QString picture = dir->filePath(QStringLiteral("wide.png"));
        QVERIFY(testimages::filled(40, 10, Qt::blue).save(picture));
        prompts->fileNames.enqueue(picture);
        action(window, QStringLiteral("Open Image File"))->trigger();
    } else {
        QGuiApplication::clipboard()->setImage(testimages::filled(40, 10, Qt::blue));
        QTest::keyClick(window.windowHandle(), Qt::Key_V, Qt::ControlModifier);
    }

    const QList<PromptRecord> warnings = prompts->ofKind(QStringLiteral("warning"));
    QCOMPARE(warnings.size(), 1);
    QCOMPARE(warnings[0].text, QStringLiteral("A package is being opened. %1 the picture again once it is "
                                              "open, or cancel the opening first.").arg(again));
    QCOMPARE(view->facialPoints()->image().size(), QSize(20, 20));
    QCOMPARE(undo->text(), undoText);

    // The package lands, and the refused paste never does.
    busy.reset();
    QTRY_COMPARE(view->facialPoints()->image().size(), QSize(32, 24));
    QVERIFY(QThreadPool::globalInstance()->waitForDone(60000));
    QCoreApplication::processEvents();
    QVERIFY(view->facialPoints()->image().size() != QSize(40, 10));
}

void tst_MainWindow::packagePastedOrDroppedOpens_data()
{
    QTest::addColumn<bool>("dropped");
    QTest::newRow("pasted") << false;
    QTest::newRow("dropped") << true;
}

void tst_MainWindow::filesNamedOnTheCommandLine_data()
{
    QTest::addColumn<QStringList>("files"); // "pmk": a package, else a picture of that name
    QTest::addColumn<QString>("leftOut"); // the warning, "%1" the first file; empty: none
    QTest::newRow("one picture") << QStringList{"a.png"} << QString();
    QTest::newRow("three pictures") << QStringList{"a.png", "b.png", "c.png"}
        << "The 2 other files given with \"%1\" were not opened: the window takes one file at a time.";
    QTest::newRow("a package and a picture") << QStringList{"pmk", "b.png"}
        << "The other file given with \"%1\" was not opened: the window takes one file at a time.";
}

// `facemask a.png b.png`: the first file opens, and the user learns that the others did not.
void tst_MainWindow::filesNamedOnTheCommandLine()
{
    QFETCH(QStringList, files);
    QFETCH(QString, leftOut);
    QStringList paths;
    for (const QString& file : files) {
        paths << (file == QLatin1String("pmk")
                      ? writePackage(QStringLiteral("good"), testimages::filled(32, 24, Qt::magenta), 75)
                      : writeFile(file, testimages::encoded(testimages::filled(40, 30, Qt::blue), "png")));
        QVERIFY(!paths.last().isEmpty());
    }
    ui::MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.openFiles(paths);
    const QSize expected = files.first() == QLatin1String("pmk") ? QSize(32, 24) : QSize(40, 30);
    QTRY_COMPARE(pointView(window)->facialPoints()->image().size(), expected);
    QStringList warnings;
    for (const PromptRecord& warning : prompts->ofKind(QStringLiteral("warning"))) {
        if (warning.title == QLatin1String("Picture")) {
            warnings << warning.text;
        }
    }
    QCOMPARE(warnings, leftOut.isEmpty() ? QStringList() : QStringList{leftOut.arg(paths.first())});
}

// A package copied in a file manager and pasted, or dragged from it onto the window, opens as
// with Open PMK file, the unsaved work first asked about.
void tst_MainWindow::packagePastedOrDroppedOpens()
{
    QFETCH(bool, dropped);
    const QString path = writePackage(QStringLiteral("good"), testimages::filled(32, 24, Qt::magenta), 75);
    QVERIFY(!path.isEmpty());

    ui::MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    ui::PointView* view = pointView(window);
    view->setImage(testimages::filled(20, 20, Qt::red));
    prompts->answers.enqueue(QMessageBox::Discard);

    QVERIFY2(testsupport::handFileOver(view, path, dropped), "the drop is taken");

    QTRY_COMPARE(view->facialPoints()->image().size(), QSize(32, 24));
    QCOMPARE(view->facialPoints()->count(), 75);
    const QList<PromptRecord> questions = prompts->ofKind(QStringLiteral("question"));
    QCOMPARE(questions.size(), 1);
    QCOMPARE(questions[0].text, QStringLiteral("Save the changes to the mask before opening another package?"));
    QVERIFY(prompts->ofKind(QStringLiteral("warning")).isEmpty());
}

void tst_MainWindow::videoPastedOrDroppedPlaysInThePreview_data()
{
    QTest::addColumn<bool>("dropped");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    const QByteArray broken(4096, '\x42');
    // The start of an MP4 file, and nothing it could play.
    const QByteArray mp4 = QByteArray("\0\0\0\x20" "ftypisom\0\0\x02\0" "isomiso2avc1mp41", 32) + QByteArray(4096, '\0');
    QTest::newRow("pasted") << false << "face.webm" << broken;
    QTest::newRow("dropped") << true << "face.webm" << broken;
    QTest::newRow("named otherwise, pasted") << false << "face" << mp4;
    QTest::newRow("named otherwise, dropped") << true << "face.png" << mp4;
}

// A face video pasted or dropped on the window opens the Preview window and plays there; one
// whose name does not say so is told by its content.
void tst_MainWindow::videoPastedOrDroppedPlaysInThePreview()
{
    QFETCH(bool, dropped);
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    const QString path = writeFile(name, content);
    QVERIFY(!path.isEmpty());

    ui::MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    ui::PointView* view = pointView(window);
    QVERIFY2(testsupport::handFileOver(view, path, dropped), "the drop is taken");

    const auto previewWindow = [] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->windowTitle() == QLatin1String("Preview Effect") && widget->isVisible()) {
                return widget;
            }
        }
        return static_cast<QWidget*>(nullptr);
    };
    QTRY_VERIFY_WITH_TIMEOUT(previewWindow(), 10000);
    auto* footer = previewWindow()->findChild<QLabel*>(QStringLiteral("previewFooter"));
    QVERIFY(footer);
    QTRY_VERIFY_WITH_TIMEOUT(footer->text().contains(QStringLiteral("The video \"%1\" cannot be played").arg(name)), 30000);
    QVERIFY(view->facialPoints()->image().isNull());
    QVERIFY(prompts->ofKind(QStringLiteral("warning")).isEmpty());
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
