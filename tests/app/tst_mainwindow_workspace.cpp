// The window around the editing: what it remembers between runs, Open Recent, the Edit menu's
// Paste, Place Template and Effect Type, and the status bar after each kind of event. Runs
// without the landmark model, so no detection changes the points.
#include "core/facemaskproject.h"
#include "core/facialpoints.h"
#include "tests/support/fakeprompts.h"
#include "tests/support/fileevents.h"
#include "tests/support/injectedfault.h"
#include "tests/support/packagefixtures.h"
#include "app/mainwindow.h"
#include "ui/pointview.h"
#include "ui/previewwindow.h"
#include "ui/savepmkform.h"
#include "ui/workprogress.h"
#include "tests/support/tempworkspace.h"
#include "tests/support/testimages.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QDataStream>
#include <QMenuBar>
#include <QMimeData>
#include <QMouseEvent>
#include <QProgressDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

namespace {

ui::PointView* pointView(ui::MainWindow& window)
{
    return window.findChild<ui::PointView*>(QStringLiteral("pointView"));
}

QString labelText(ui::MainWindow& window, const char* name)
{
    auto* label = window.findChild<QLabel*>(QString::fromLatin1(name));
    return label ? label->text() : QStringLiteral("<no %1>").arg(QLatin1String(name));
}

// By object name, or by the text shown (without its mnemonic marks).
QAction* findAction(QWidget& window, const QString& wanted)
{
    const QList<QAction*> actions = window.findChildren<QAction*>();
    for (QAction* candidate : actions) {
        if (candidate->objectName() == wanted || QString(candidate->text()).remove(QLatin1Char('&')) == wanted) {
            return candidate;
        }
    }
    return nullptr;
}

// The Preview window View → Preview Effect shows, shown and exposed; null when there is none.
QWidget* showPreview(ui::MainWindow& window)
{
    QAction* preview = findAction(window, QStringLiteral("previewEffectAction"));
    if (!preview) {
        return nullptr;
    }
    preview->trigger();
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (dynamic_cast<ui::PreviewWindow*>(top) && top->isVisible()) {
            return QTest::qWaitForWindowExposed(top) ? top : nullptr;
        }
    }
    return nullptr;
}

QMenu* recentMenu(ui::MainWindow& window)
{
    return window.findChild<QMenu*>(QStringLiteral("recentMenu"));
}

QStringList recentEntries(ui::MainWindow& window)
{
    QMenu* menu = recentMenu(window);
    emit menu->aboutToShow();
    QStringList entries;
    for (QAction* entry : menu->actions()) {
        if (!entry->isSeparator()) {
            entries << entry->text();
        }
    }
    return entries;
}

// Where the view draws a point at fraction f, with square pixels at fit zoom: the picture
// scaled to fit and centred.
QPointF toView(ui::PointView* view, const FacialPoint& f)
{
    const QSize picture = view->facialPoints()->image().size();
    const double scale = std::min(double(view->width()) / picture.width(),
                                  double(view->height()) / picture.height());
    const QPointF offset((view->width() - picture.width() * scale) / 2,
                         (view->height() - picture.height() * scale) / 2);
    return offset + QPointF(f.x() * picture.width() * scale, f.y() * picture.height() * scale);
}

QRectF boundsInView(ui::PointView* view)
{
    QRectF bounds;
    for (const FacialPoint& point : view->facialPoints()->points()) {
        const QPointF at = toView(view, point);
        bounds = bounds.isNull() ? QRectF(at, QSizeF(1e-9, 1e-9)) : bounds.united(QRectF(at, QSizeF(1e-9, 1e-9)));
    }
    return bounds;
}

void drag(QWidget* view, QPoint from, QPoint to)
{
    QTest::mousePress(view, Qt::LeftButton, Qt::NoModifier, from);
    // Offscreen, QTest::mouseMove sends nothing while a button is held.
    QMouseEvent move(QEvent::MouseMove, QPointF(to), QPointF(view->mapToGlobal(to)), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view, &move);
    QTest::mouseRelease(view, Qt::LeftButton, Qt::NoModifier, to);
}

core::FacialPointVector gridPoints()
{
    core::FacialPointVector points;
    for (int i = 0; i < 75; ++i) {
        points.emplace_back(0.2 + 0.008 * i, 0.3 + 0.005 * i);
    }
    return points;
}

} // namespace

class tst_MainWindowWorkspace : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void workspaceRestoredInTheNextWindow();
    void previewPlaceRestoredInTheNextWindow_data();
    void previewPlaceRestoredInTheNextWindow();
    void windowKeptLargerThanTheScreenComesBackInsideIt_data();
    void windowKeptLargerThanTheScreenComesBackInsideIt();
    void windowPastTheScreensEdgeComesBackWhereItWas_data();
    void windowPastTheScreensEdgeComesBackWhereItWas();
    void footerSaysWhereTheSettingsCannotBeKept_data();
    void footerSaysWhereTheSettingsCannotBeKept();
    void damagedSettingsGiveDefaults_data();
    void damagedSettingsGiveDefaults();
    void openRecentListsPackagesAndDropsMissingOnes();
    void openRecentKeepsWhatCannotBeReachedNow_data();
    void openRecentKeepsWhatCannotBeReachedNow();
    void openRecentOpensAPackageNamedWithADot();
    void openRecentShowsNamesWithAnAmpersand();
    void openRecentStaysNarrowerThanTheScreen_data();
    void openRecentStaysNarrowerThanTheScreen();
    void pickersStartInTheFoldersUsedLast();
    void pasteFromTheEditMenuAndAfterAMenuWasClosed();
    void saveKeyAfterAMenuWasClosed();
    void placeTemplateFitsInsideTheView_data();
    void placeTemplateFitsInsideTheView();
    void keyboardKeepsTheSelectedPointInAZoomedView();
    void effectTypeIsAnUndoStepThePreviewFollows();
    void statusBarAfterEachEvent();
    void packageWithOtherFilesSaysTheyAreNotKept_data();
    void packageWithOtherFilesSaysTheyAreNotKept();
    void longNameIsSavedAsTyped();
    void saveRemembersItsChoicesInOneWrite();
    void dropFromAShareThatDoesNotAnswerIsNotWaitedFor();
    void exportDoesNotWaitForTheDisk();
    void closeWaitsForAWriteStillRunning_data();
    void closeWaitsForAWriteStillRunning();
    void openDoesNotWaitForTheDesktopsRecentList();

private:
    QString writePackage(const QString& name, int effectType = 0);
    void prepare(ui::MainWindow& window);

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<FakePrompts> prompts;
    std::unique_ptr<TempWorkspace> workspace;
};

void tst_MainWindowWorkspace::initTestCase()
{
    core::registerFacialPointVector();
}

void tst_MainWindowWorkspace::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
    prompts = std::make_unique<FakePrompts>();
    workspace = std::make_unique<TempWorkspace>();
    QVERIFY(workspace->isValid());
}

void tst_MainWindowWorkspace::cleanup()
{
    workspace.reset();
    prompts.reset();
    dir.reset();
}

QString tst_MainWindowWorkspace::writePackage(const QString& name, int effectType)
{
    core::FaceMaskProject project;
    project.setName(name);
    project.setEffectType(effectType);
    project.facialPoints()->setImage(testimages::filled(32, 24, Qt::magenta));
    project.facialPoints()->setPoints(gridPoints());
    const QString path = dir->filePath(name + QStringLiteral(".pmk"));
    return project.save(path) ? path : QString();
}

void tst_MainWindowWorkspace::prepare(ui::MainWindow& window)
{
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QApplication::setActiveWindow(&window);
    QVERIFY(QTest::qWaitForWindowActive(&window));
}

void tst_MainWindowWorkspace::workspaceRestoredInTheNextWindow()
{
    {
        ui::MainWindow first;
        prepare(first);
        QCOMPARE(first.size(), QSize(640, 360));
        QVERIFY(findAction(first, QStringLiteral("Keep Aspect Ratio"))->isChecked());
        first.resize(700, 480);
        QTRY_COMPARE(first.size(), QSize(700, 480));
        findAction(first, QStringLiteral("Keep Aspect Ratio"))->toggle();
        findAction(first, QStringLiteral("Show Numbers"))->toggle();
        QVERIFY(first.close());
    }
    ui::MainWindow second;
    prepare(second);
    QCOMPARE(second.size(), QSize(700, 480));
    QVERIFY(!findAction(second, QStringLiteral("Keep Aspect Ratio"))->isChecked());
    QVERIFY(!findAction(second, QStringLiteral("Show Numbers"))->isChecked());
    QVERIFY(findAction(second, QStringLiteral("Show Outline"))->isChecked());

    // A toggle is written as soon as it changes, before any close.
    findAction(second, QStringLiteral("Show Outline"))->toggle();
    QCOMPARE(ui::Workspace().toggle(QStringLiteral("showOutline"), true), false);
}

void tst_MainWindowWorkspace::previewPlaceRestoredInTheNextWindow_data()
{
    QTest::addColumn<bool>("closePreviewFirst");
    QTest::newRow("preview-closed-before-the-window") << true;
    QTest::newRow("preview-open-when-the-window-closes") << false;
}

void tst_MainWindowWorkspace::previewPlaceRestoredInTheNextWindow()
{
    QFETCH(bool, closePreviewFirst);
    const QRect moved(130, 95, 520, 410);
    {
        ui::MainWindow first;
        prepare(first);
        QWidget* preview = showPreview(first);
        QVERIFY(preview);
        // Nothing stored yet: the window's own size.
        QCOMPARE(preview->size(), QSize(640, 520));
        preview->setGeometry(moved);
        QTRY_COMPARE(preview->geometry(), moved);
        if (closePreviewFirst) {
            QVERIFY(preview->close());
        }
        QVERIFY(first.close());
    }
    ui::MainWindow second;
    prepare(second);
    QWidget* preview = showPreview(second);
    QVERIFY(preview);
    QCOMPARE(preview->geometry(), moved);
    QVERIFY(preview->close());
    QVERIFY(second.close());
}

void tst_MainWindowWorkspace::windowKeptLargerThanTheScreenComesBackInsideIt_data()
{
    QTest::addColumn<bool>("preview");
    QTest::newRow("main window") << false;
    QTest::newRow("preview") << true;
}

// A window kept larger than the screen it comes back on (a smaller screen now) is restored inside
// its available area, title bar and all.
void tst_MainWindowWorkspace::windowKeptLargerThanTheScreenComesBackInsideIt()
{
    QFETCH(bool, preview);
    {
        ui::MainWindow first;
        prepare(first);
        QWidget* window = preview ? showPreview(first) : &first;
        QVERIFY(window);
        const QRect available = window->screen()->availableGeometry();
        const QRect large(available.x() + 60, available.y() + 50, available.width() + 300, available.height() + 200);
        window->setGeometry(large);
        QTRY_COMPARE(window->geometry(), large);
        QVERIFY(first.close());
    }
    ui::MainWindow second;
    prepare(second);
    QWidget* window = preview ? showPreview(second) : &second;
    QVERIFY(window);
    QTRY_VERIFY(window->isVisible());
    const QRect available = window->screen()->availableGeometry();
    QVERIFY2(available.contains(window->frameGeometry()),
             qPrintable(QStringLiteral("frame %1,%2 %3 x %4 on %5 x %6")
                            .arg(window->frameGeometry().x()).arg(window->frameGeometry().y())
                            .arg(window->frameGeometry().width()).arg(window->frameGeometry().height())
                            .arg(available.width()).arg(available.height())));
    // As large as the screen allows: the remembered size is kept as far as it fits.
    QVERIFY(window->frameGeometry().width() >= available.width() - 4);
    QVERIFY(window->frameGeometry().height() >= available.height() - 40);
}

void tst_MainWindowWorkspace::windowPastTheScreensEdgeComesBackWhereItWas_data()
{
    QTest::addColumn<bool>("preview");
    QTest::addColumn<int>("keptScreenWidth"); // in % of this screen's width
    QTest::newRow("main window") << false << 100;
    QTest::newRow("preview") << true << 100;
    QTest::newRow("main window kept on a wider screen") << false << 110;
    QTest::newRow("preview kept on a wider screen") << true << 110;
    // Qt's restoreGeometry() refuses what was kept on a screen more than a quarter wider or
    // narrower than this one.
    QTest::newRow("main window kept on a far wider screen") << false << 150;
    QTest::newRow("preview kept on a far wider screen") << true << 150;
    QTest::newRow("main window kept on a far narrower screen") << false << 75;
    QTest::newRow("preview kept on a far narrower screen") << true << 75;
}

// A window the user left partly past the edge of the screen it comes back on, no larger than it,
// comes back where it was; one kept so on a wider screen comes back inside this one.
void tst_MainWindowWorkspace::windowPastTheScreensEdgeComesBackWhereItWas()
{
    QFETCH(bool, preview);
    QFETCH(int, keptScreenWidth);
    const bool widerScreen = keptScreenWidth > 100;
    QRect placed;
    {
        ui::MainWindow first;
        prepare(first);
        QWidget* window = preview ? showPreview(first) : &first;
        QVERIFY(window);
        const QRect available = window->screen()->availableGeometry();
        placed = QRect(available.right() - 200, available.bottom() - 150, 500, 400);
        window->setGeometry(placed);
        QTRY_COMPARE(window->geometry(), placed);
        QVERIFY(first.close());
    }
    if (keptScreenWidth != 100) {
        // QWidget::saveGeometry() keeps the screen's width after the frame, the normal geometry,
        // the screen's number and two flags.
        const QString name = preview ? QStringLiteral("preview") : QStringLiteral("main");
        QByteArray kept = ui::Workspace().geometry(name);
        QVERIFY(kept.size() >= 50);
        QDataStream patch(&kept, QIODevice::ReadWrite);
        patch.device()->seek(4 + 2 + 2 + 16 + 16 + 4 + 1 + 1);
        patch << qint32(QGuiApplication::primaryScreen()->geometry().width() * keptScreenWidth / 100);
        ui::Workspace().setGeometry(name, kept);
    }
    ui::MainWindow second;
    prepare(second);
    QWidget* window = preview ? showPreview(second) : &second;
    QVERIFY(window);
    QTRY_VERIFY(window->isVisible());
    if (widerScreen) {
        QVERIFY(window->screen()->availableGeometry().contains(window->frameGeometry()));
        QCOMPARE(window->size(), placed.size());
    } else {
        QCOMPARE(window->geometry(), placed);
    }
}

void tst_MainWindowWorkspace::footerSaysWhereTheSettingsCannotBeKept_data()
{
    // opened: a package named on the command line; clicked: the user presses a button on the
    // points once it is open, then opens another package.
    QTest::addColumn<bool>("opened");
    QTest::addColumn<bool>("clicked");
    QTest::newRow("nothing-named") << false << false;
    QTest::newRow("package-named") << true << false;
    QTest::newRow("package-named-then-a-click") << true << true;
}

// A settings folder below a file (a home folder that is not there, for another user) cannot take
// the settings: the footer says so when the window opens, also when it opens a package named on
// the command line (double-clicked in the file manager), until the user takes over; the window
// works on.
void tst_MainWindowWorkspace::footerSaysWhereTheSettingsCannotBeKept()
{
    QFETCH(bool, opened);
    QFETCH(bool, clicked);
    const QString package = writePackage(QStringLiteral("named"));
    const QString other = writePackage(QStringLiteral("other"));
    QVERIFY(!package.isEmpty() && !other.isEmpty());
    QFile file(dir->filePath(QStringLiteral("file")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir->filePath(QStringLiteral("file/config"))));
    const QString notice = QStringLiteral("Settings cannot be kept in %1/config/facemask/facemask.conf: %1 is not a folder.")
                               .arg(dir->filePath(QStringLiteral("file")));
    ui::MainWindow window(prompts.get());
    prepare(window);
    if (!opened) {
        QCOMPARE(labelText(window, "footerLabel"), notice);
        QVERIFY(window.close());
        return;
    }
    window.openFiles({package});
    QTRY_VERIFY(window.windowTitle().startsWith(QStringLiteral("named.pmk")));
    QTRY_COMPARE(labelText(window, "footerLabel"),
                 QStringLiteral("Opened named.pmk: 75 points, Face only. ") + notice);
    if (clicked) {
        QTest::mouseClick(pointView(window), Qt::LeftButton, Qt::NoModifier, QPoint(2, 2));
    }
    window.openFile(other);
    QTRY_VERIFY(window.windowTitle().startsWith(QStringLiteral("other.pmk")));
    QCOMPARE(labelText(window, "footerLabel"),
             QStringLiteral("Opened other.pmk: 75 points, Face only.") + (clicked ? QString() : QStringLiteral(" ") + notice));
    QVERIFY(window.close());
}

void tst_MainWindowWorkspace::damagedSettingsGiveDefaults_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("folderInstead");
    QTest::addColumn<bool>("pipeInstead");
    QByteArray binary;
    for (int i = 0; i < 2048; ++i) {
        binary.append(char((i * 131) % 251));
    }
    QTest::newRow("garbage") << binary << false << false;
    QTest::newRow("wrong-kinds") << QByteArray("[geometry]\nmain=12\n[view]\nkeepAspectRatio=7\n"
                                               "[save]\neffectType=x\n[recent]\npackages=@Invalid()\n")
                                 << false << false;
    QTest::newRow("a-folder-where-the-file-goes") << QByteArray() << true << false;
    // No writer ever comes to the pipe: reading it would hold the window, or the Preview, for good.
    QTest::newRow("a-pipe-where-the-file-goes") << QByteArray() << false << true;
}

void tst_MainWindowWorkspace::damagedSettingsGiveDefaults()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, folderInstead);
    QFETCH(bool, pipeInstead);
    const QString file = ui::Workspace::defaultFile();
    QVERIFY(QDir().mkpath(QFileInfo(file).absolutePath()));
    if (folderInstead) {
        QVERIFY(QDir().mkpath(file));
    } else if (pipeInstead) {
        QVERIFY(::mkfifo(QFile::encodeName(file).constData(), 0600) == 0);
    } else {
        QFile settings(file);
        QVERIFY(settings.open(QIODevice::WriteOnly));
        QCOMPARE(settings.write(content), qint64(content.size()));
    }
    ui::MainWindow window;
    prepare(window);
    QCOMPARE(window.size(), QSize(640, 360));
    QVERIFY(findAction(window, QStringLiteral("Keep Aspect Ratio"))->isChecked());
    QVERIFY(findAction(window, QStringLiteral("Show Numbers"))->isChecked());
    QCOMPARE(recentEntries(window), QStringList{QStringLiteral("No recent packages")});
    QVERIFY(findAction(window, QStringLiteral("Face only"))->isChecked());
    QWidget* preview = showPreview(window);
    QVERIFY(preview);
    auto* steady = preview->findChild<QAction*>(QStringLiteral("steadyAction"));
    QVERIFY(steady && steady->isChecked());
    QVERIFY(preview->close());
    QVERIFY(window.close());
}

void tst_MainWindowWorkspace::openRecentListsPackagesAndDropsMissingOnes()
{
    QStringList paths;
    for (int i = 0; i < 9; ++i) {
        paths << writePackage(QStringLiteral("mask%1").arg(i));
        QVERIFY(!paths.last().isEmpty());
    }
    {
        ui::MainWindow window;
        prepare(window);
        QCOMPARE(recentEntries(window), QStringList{QStringLiteral("No recent packages")});
        for (const QString& path : paths) {
            window.openFile(path);
            QTRY_VERIFY(window.windowTitle().startsWith(QFileInfo(path).fileName()));
        }
        QVERIFY(window.close());
    }
    ui::MainWindow window;
    prepare(window);
    const QStringList entries = recentEntries(window);
    // The last eight, latest first, numbered for the keyboard, then the entry that clears them.
    QCOMPARE(entries.size(), 9);
    QVERIFY2(entries.first().startsWith(QStringLiteral("&1 mask8.pmk")), qPrintable(entries.first()));
    QVERIFY2(entries.at(7).startsWith(QStringLiteral("&8 mask1.pmk")), qPrintable(entries.at(7)));
    QCOMPARE(entries.last(), QStringLiteral("Clear List"));

    // A package that is gone is taken off the list, with a message.
    QVERIFY(QFile::remove(paths.at(7)));
    recentMenu(window)->actions().at(1)->trigger();
    const QList<PromptRecord> warnings = prompts->ofKind(QStringLiteral("warning"));
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings.first().text.startsWith(QStringLiteral("mask7.pmk is no longer there")),
             qPrintable(warnings.first().text));
    QCOMPARE(recentEntries(window).size(), 8);
    QVERIFY(!recentEntries(window).join(QLatin1Char('\n')).contains(QStringLiteral("mask7.pmk")));
    // A folder made under its name since: the message does not say it is gone.
    QVERIFY(QFile::remove(paths.at(6)) && QDir().mkdir(paths.at(6)));
    recentMenu(window)->actions().at(1)->trigger();
    QCOMPARE(prompts->ofKind(QStringLiteral("warning")).size(), 2);
    QVERIFY2(prompts->ofKind(QStringLiteral("warning")).last().text.startsWith(QStringLiteral("mask6.pmk is now a folder")),
             qPrintable(prompts->ofKind(QStringLiteral("warning")).last().text));
    QCOMPARE(recentEntries(window).size(), 7);

    // One that is there opens.
    recentMenu(window)->actions().at(1)->trigger();
    QTRY_VERIFY(window.windowTitle().startsWith(QStringLiteral("mask5.pmk")));
    QVERIFY(recentEntries(window).first().startsWith(QStringLiteral("&1 mask5.pmk")));

    // The desktop's list knows them too.
    QVERIFY(ui::Workspace::finishWrites(std::chrono::seconds(30)));
    QFile xbel(workspace->recentlyUsedFile());
    QVERIFY(xbel.open(QIODevice::ReadOnly));
    const QByteArray list = xbel.readAll();
    QVERIFY(list.contains(QUrl::fromLocalFile(paths.at(5)).toEncoded()));
    QVERIFY(list.contains("application/x-facemask-package"));
}

void tst_MainWindowWorkspace::openRecentKeepsWhatCannotBeReachedNow_data()
{
    // "folder" removes the package's folder, "file" the package alone from beside another file,
    // "mount point" the package alone from a folder then empty, "link" opens the package
    // through a link beside its folder and removes the folder, "folder file" puts a file where
    // the folder was, "stalled" makes its drive stop answering; else stat:N:WHAT.
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("kept");
    QTest::addColumn<QString>("message");  // what the warning says, after the package's name
    QTest::newRow("folder gone") << "folder" << true
                                 << "cannot be reached now, so it stays on the list of recent packages";
    QTest::newRow("disk fails") << "stat:1:EIO" << true << "The system says: " + QString::fromLocal8Bit(std::strerror(EIO));
    QTest::newRow("no permission") << "stat:1:EACCES" << true
                                   << "The system says: " + QString::fromLocal8Bit(std::strerror(EACCES));
    QTest::newRow("gone from its folder") << "file" << false
                                          << "is no longer there, so it was taken off the list of recent packages";
    // A stick's mount point is left as an empty folder while the stick is out.
    QTest::newRow("mount point left empty") << "mount point" << true << "Its folder is empty";
    // The link is there; what it names is on the drive that is not.
    QTest::newRow("linked, folder gone") << "link" << true
                                         << "cannot be reached now, so it stays on the list of recent packages";
    QTest::newRow("folder now a file") << "folder file" << false
                                       << "is no longer there, so it was taken off the list of recent packages";
    // A share that went away without a word: the window must not wait for it for ever.
    QTest::newRow("share does not answer") << "stalled" << true << "Its drive or share does not answer.";
    // A folder one may enter but not list (mode 0311): whether it is a mount point left empty
    // cannot be told.
    QTest::newRow("folder cannot be listed") << "unlisted" << true << "Its folder cannot be read";
}

// A package that cannot be reached for now (its drive unplugged, its share offline, its disk
// failing) stays on the list; only one whose folder is there without it is taken off.
void tst_MainWindowWorkspace::openRecentKeepsWhatCannotBeReachedNow()
{
    QFETCH(QString, fault);
    QFETCH(bool, kept);
    QFETCH(QString, message);
    QVERIFY2(faultShimLoaded(), "run with the fault shim preloaded, as ctest does");
    const QString folder = dir->filePath(QStringLiteral("stick"));
    QVERIFY(QDir().mkdir(folder));
    core::FaceMaskProject project;
    project.setName(QStringLiteral("away"));
    project.facialPoints()->setImage(testimages::filled(32, 24, Qt::magenta));
    project.facialPoints()->setPoints(gridPoints());
    const QString saved = folder + QStringLiteral("/away.pmk");
    QVERIFY(project.save(saved));
    const QString link = dir->filePath(QStringLiteral("away.pmk"));
    const QString path = fault == QLatin1String("link") ? link : saved;
    if (path == link) {
        QVERIFY(QFile::link(saved, link));
    }
    ui::MainWindow window;
    prepare(window);
    window.openFile(path);
    QTRY_VERIFY(window.windowTitle().startsWith(QStringLiteral("away.pmk")));
    QVERIFY(recentEntries(window).first().startsWith(QStringLiteral("&1 away.pmk")));

    if (fault == QLatin1String("folder") || fault == QLatin1String("link")) {
        QVERIFY(QDir(folder).removeRecursively());
        recentMenu(window)->actions().at(0)->trigger();
    } else if (fault == QLatin1String("file") || fault == QLatin1String("mount point")) {
        if (fault == QLatin1String("file")) {
            QFile beside(folder + QStringLiteral("/notes.txt"));
            QVERIFY(beside.open(QIODevice::WriteOnly));
        }
        QVERIFY(QFile::remove(path));
        recentMenu(window)->actions().at(0)->trigger();
    } else if (fault == QLatin1String("unlisted")) {
        QVERIFY(QFile::remove(path));
        QFile beside(folder + QStringLiteral("/notes.txt"));
        QVERIFY(beside.open(QIODevice::WriteOnly));
        beside.close();
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0311) == 0);
        {
            // The mode alone for a plain user; root lists any folder, and is refused here.
            const InjectedFault injected(QStringLiteral("open:stick:1+:EACCES"));
            recentMenu(window)->actions().at(0)->trigger();
        }
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0755) == 0);
    } else if (fault == QLatin1String("folder file")) {
        QVERIFY(QDir(folder).removeRecursively());
        QFile stand(folder);
        QVERIFY(stand.open(QIODevice::WriteOnly));
        stand.close();
        recentMenu(window)->actions().at(0)->trigger();
    } else if (fault == QLatin1String("stalled")) {
        const StalledDisk stalled(QStringLiteral("away.pmk"), 15000);
        QVERIFY(stalled.isArmed());
        QElapsedTimer clock;
        clock.start();
        recentMenu(window)->actions().at(0)->trigger();
        QVERIFY2(clock.elapsed() < 6000, qPrintable(QString::number(clock.elapsed())));
    } else {
        const QStringList parts = fault.split(QLatin1Char(':'));
        const InjectedFault injected(
            QStringList{parts[0], QStringLiteral("away.pmk"), parts[1], parts[2]}.join(QLatin1Char(':')));
        recentMenu(window)->actions().at(0)->trigger();
    }
    const QList<PromptRecord> warnings = prompts->ofKind(QStringLiteral("warning"));
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings.first().text.startsWith(QStringLiteral("away.pmk ")), qPrintable(warnings.first().text));
    QVERIFY2(warnings.first().text.contains(message), qPrintable(warnings.first().text));
    QCOMPARE(recentEntries(window).first().startsWith(QStringLiteral("&1 away.pmk")), kept);
}

// A menu entry takes '&' for the mark of its key: the file and folder names must show as they are.
void tst_MainWindowWorkspace::openRecentShowsNamesWithAnAmpersand()
{
    QVERIFY(QDir(dir->path()).mkdir(QStringLiteral("R&D")));
    const QString path = writePackage(QStringLiteral("R&D/Tom & Jerry"));
    QVERIFY(!path.isEmpty());
    ui::MainWindow window;
    prepare(window);
    window.openFile(path);
    QTRY_VERIFY(window.windowTitle().startsWith(QStringLiteral("Tom & Jerry.pmk")));
    emit recentMenu(window)->aboutToShow();
    QAction* entry = recentMenu(window)->actions().at(0);
    // What the menu shows: the text with each mark of a key taken out and "&&" shown as "&".
    const QString shown = entry->iconText();
    QVERIFY2(shown.startsWith(QStringLiteral("1 Tom & Jerry.pmk")), qPrintable(shown));
    QVERIFY2(shown.contains(QDir::toNativeSeparators(QFileInfo(path).absolutePath())), qPrintable(shown));
    QCOMPARE(QKeySequence::mnemonic(entry->text()), QKeySequence(Qt::ALT | Qt::Key_1));
    entry->trigger();
    QVERIFY(prompts->ofKind(QStringLiteral("warning")).isEmpty());
}

void tst_MainWindowWorkspace::openRecentStaysNarrowerThanTheScreen_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("name");
    QStringList folders;
    for (int i = 0; i < 6; ++i) {
        folders << QString(120, QLatin1Char('A' + i));
    }
    const QString deep = folders.join(QLatin1Char('/'));
    QTest::newRow("long-name") << QString() << QString(240, QLatin1Char('L'));
    QTest::newRow("deep-folder") << deep << QStringLiteral("deep");
    QTest::newRow("both") << deep << QString(240, QLatin1Char('L'));
    QTest::newRow("ampersands") << QStringLiteral("R&D/") + QString(200, QLatin1Char('&')) << QString(200, QLatin1Char('&'));
}

// An entry for a long name in a deep folder is cut in the middle: the menu stays narrower than
// the screen, with both ends of the name and the folder in sight, its key Alt and its number, and
// the whole path in its tooltip; it still opens the package.
void tst_MainWindowWorkspace::openRecentStaysNarrowerThanTheScreen()
{
    QFETCH(QString, folder);
    QFETCH(QString, name);
    QVERIFY(folder.isEmpty() || QDir(dir->path()).mkpath(folder));
    const QString path = writePackage(folder.isEmpty() ? name : folder + QLatin1Char('/') + name);
    QVERIFY(!path.isEmpty());
    QVERIFY(writePackage(QStringLiteral("short")).size() > 0);
    ui::MainWindow window;
    prepare(window);
    window.openFile(dir->filePath(QStringLiteral("short.pmk")));
    QTRY_VERIFY(window.windowTitle().startsWith(QStringLiteral("short.pmk")));
    window.openFile(path);
    QTRY_VERIFY(window.windowTitle().startsWith(name.left(20)));
    QMenu* menu = recentMenu(window);
    emit menu->aboutToShow();
    QCOMPARE(menu->actions().size(), 4); // two packages, the separator, Clear List
    QVERIFY2(menu->sizeHint().width() < window.screen()->availableGeometry().width(),
             qPrintable(QStringLiteral("%1 px").arg(menu->sizeHint().width())));
    QAction* entry = menu->actions().at(0);
    const QString shown = entry->iconText();
    QVERIFY2(shown.startsWith(QStringLiteral("1 ") + name.left(4)), qPrintable(shown));
    const QString nativeFolder = QDir::toNativeSeparators(QFileInfo(path).absolutePath());
    QVERIFY2(shown.contains(QStringLiteral(".pmk  (") + nativeFolder.left(4)), qPrintable(shown));
    QVERIFY2(shown.endsWith(nativeFolder.right(8) + QLatin1Char(')')),
             qPrintable(shown));
    QVERIFY2(shown.contains(QChar(0x2026)), qPrintable(shown));
    QCOMPARE(QKeySequence::mnemonic(entry->text()), QKeySequence(Qt::ALT | Qt::Key_1));
    QCOMPARE(entry->toolTip(), QDir::toNativeSeparators(path));
    QCOMPARE(menu->actions().at(1)->iconText(),
             QStringLiteral("2 short.pmk  (%1)").arg(QDir::toNativeSeparators(dir->path())));

    menu->actions().at(1)->trigger();
    QTRY_VERIFY(window.windowTitle().startsWith(QStringLiteral("short.pmk")));
    emit menu->aboutToShow();
    menu->actions().at(1)->trigger();
    QTRY_VERIFY(window.windowTitle().startsWith(name.left(20)));
    QVERIFY(prompts->ofKind(QStringLiteral("warning")).isEmpty());
}

// A name typed with a dot ("Dr. Smith") already has an extension to the save dialog, so the
// package is written without ".pmk"; Open Recent must still open it as the package it is.
void tst_MainWindowWorkspace::openRecentOpensAPackageNamedWithADot()
{
    {
        ui::MainWindow window;
        prepare(window);
        core::FacialPoints* model = pointView(window)->facialPoints();
        model->setImage(testimages::filled(64, 48, Qt::gray));
        model->setPoints(gridPoints());
        prompts->fileNames.enqueue(dir->filePath(QStringLiteral("Dr. Smith")));
        QTimer fill;
        connect(&fill, &QTimer::timeout, this, [&] {
            if (auto* form = dynamic_cast<ui::SavePMKForm*>(QApplication::activeModalWidget())) {
                if (!form->isSaving()) {
                    form->findChild<QLineEdit*>(QStringLiteral("nameEdit"))->setText(QStringLiteral("Smith"));
                    form->findChild<QPushButton*>(QStringLiteral("saveButton"))->click();
                }
            }
        });
        fill.start(10);
        findAction(window, QStringLiteral("Save PMK File"))->trigger();
        fill.stop();
        QVERIFY(window.close());
    }
    const QStringList recent = ui::Workspace().recentPackages();
    QCOMPARE(recent.size(), 1);
    QVERIFY2(core::readPackage(recent.first()).result.ok, qPrintable(recent.first()));

    ui::MainWindow window;
    prepare(window);
    QVERIFY(recentEntries(window).first().startsWith(QStringLiteral("&1 ") + QFileInfo(recent.first()).fileName()));
    recentMenu(window)->actions().at(0)->trigger();
    QTRY_VERIFY2(window.windowTitle().startsWith(QFileInfo(recent.first()).fileName()),
                 qPrintable(window.windowTitle()));
    QVERIFY2(prompts->ofKind(QStringLiteral("warning")).isEmpty(),
             qPrintable(prompts->ofKind(QStringLiteral("warning")).value(0).text));
    QCOMPARE(pointView(window)->facialPoints()->points().size(), gridPoints().size());
}

void tst_MainWindowWorkspace::pickersStartInTheFoldersUsedLast()
{
    QVERIFY(QDir(dir->path()).mkdir(QStringLiteral("pictures")));
    const QString picture = dir->filePath(QStringLiteral("pictures/face.png"));
    QVERIFY(testimages::filled(20, 10, Qt::blue).save(picture));
    const QString package = writePackage(QStringLiteral("kept"));
    {
        ui::MainWindow window;
        prepare(window);
        prompts->fileNames.enqueue(picture);
        findAction(window, QStringLiteral("Open Image File"))->trigger();
        QTRY_COMPARE(pointView(window)->facialPoints()->image().size(), QSize(20, 10));
        prompts->fileNames.enqueue(package);
        prompts->answers.enqueue(QMessageBox::Discard);
        findAction(window, QStringLiteral("Open PMK file"))->trigger();
        QTRY_VERIFY(window.windowTitle().startsWith(QStringLiteral("kept.pmk")));
        QVERIFY(window.close());
    }
    ui::MainWindow window;
    prepare(window);
    findAction(window, QStringLiteral("Open Image File"))->trigger();
    findAction(window, QStringLiteral("Open PMK file"))->trigger();
    const QList<PromptRecord> opens = prompts->ofKind(QStringLiteral("open"));
    QCOMPARE(opens.size(), 4);
    QCOMPARE(opens.at(0).folder, QString());
    QCOMPARE(opens.at(2).folder, dir->filePath(QStringLiteral("pictures")));
    QCOMPARE(opens.at(3).folder, dir->path());
}

void tst_MainWindowWorkspace::pasteFromTheEditMenuAndAfterAMenuWasClosed()
{
    ui::MainWindow window;
    prepare(window);
    QAction* paste = findAction(window, QStringLiteral("pasteAction"));
    QVERIFY(paste);
    QCOMPARE(paste->shortcut(), QKeySequence(QKeySequence::Paste));
    QGuiApplication::clipboard()->setImage(testimages::filled(30, 20, Qt::red));
    paste->trigger();
    QCOMPARE(pointView(window)->facialPoints()->image().size(), QSize(30, 20));

    // Alt+F opens the File menu; Escape closes it and leaves the menu bar holding the keys.
    auto* menuBar = window.findChild<QMenuBar*>(QStringLiteral("menuBar"));
    QTest::keyClick(window.windowHandle(), Qt::Key_F, Qt::AltModifier);
    QTRY_VERIFY(QApplication::activePopupWidget());
    QTest::keyClick(QApplication::activePopupWidget(), Qt::Key_Escape);
    QTRY_VERIFY(!QApplication::activePopupWidget());
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(menuBar));
    QGuiApplication::clipboard()->setImage(testimages::filled(44, 33, Qt::green));
    QTest::keyClick(window.windowHandle(), Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(pointView(window)->facialPoints()->image().size(), QSize(44, 33));
    // And the view has the keys again.
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(pointView(window)));

    QGuiApplication::clipboard()->clear();
    paste->trigger();
    QCOMPARE(labelText(window, "footerLabel"),
             QStringLiteral("Nothing to paste: the clipboard holds no picture or picture file."));
}

// The menu entry shows Ctrl+S and the window's own shortcut acts on it. While the menu bar holds
// the keys (a menu closed with Escape) both match the key: every press still opens the form.
void tst_MainWindowWorkspace::saveKeyAfterAMenuWasClosed()
{
    ui::MainWindow window;
    prepare(window);
    int forms = 0;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&forms] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            forms += dynamic_cast<ui::SavePMKForm*>(modal) ? 1 : 0;
            modal->close();
        }
    });
    poll.start(10);
    auto* menuBar = window.findChild<QMenuBar*>(QStringLiteral("menuBar"));
    for (int press = 1; press <= 3; ++press) {
        // Back from the form (a window manager would do this).
        QApplication::setActiveWindow(&window);
        QTRY_VERIFY(window.isActiveWindow());
        QTest::keyClick(window.windowHandle(), Qt::Key_F, Qt::AltModifier);
        QTRY_VERIFY(QApplication::activePopupWidget());
        QTest::keyClick(QApplication::activePopupWidget(), Qt::Key_Escape);
        QTRY_VERIFY(!QApplication::activePopupWidget());
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(menuBar));
        QTest::keyClick(window.windowHandle(), Qt::Key_S, Qt::ControlModifier);
        QTRY_COMPARE_WITH_TIMEOUT(forms, press, 5000);
    }
}

void tst_MainWindowWorkspace::placeTemplateFitsInsideTheView_data()
{
    QTest::addColumn<QSize>("picture");
    QTest::newRow("portrait") << QSize(360, 480);
    QTest::newRow("wide") << QSize(1600, 300);
    QTest::newRow("tall") << QSize(300, 1400);
    QTest::newRow("tiny") << QSize(8, 6);
    QTest::newRow("huge") << QSize(12000, 9000);
}

void tst_MainWindowWorkspace::placeTemplateFitsInsideTheView()
{
    QFETCH(QSize, picture);
    ui::MainWindow window;
    prepare(window);
    ui::PointView* view = pointView(window);
    core::FacialPoints* model = view->facialPoints();
    model->setImage(testimages::filled(picture.width(), picture.height(), Qt::darkGray,
                                       QImage::Format_Grayscale8));
    QTest::keyClick(window.windowHandle(), Qt::Key_T, Qt::ControlModifier);
    QCOMPARE(model->count(), 75);
    QCOMPARE(findAction(window, QStringLiteral("undoAction"))->text(), QStringLiteral("Undo Place Template"));

    // Every point well inside the view, the face upright and square in pixels.
    const QRectF viewRect(QPointF(0, 0), QSizeF(view->size()));
    for (const FacialPoint& point : model->points()) {
        QVERIFY2(viewRect.contains(toView(view, point)), qPrintable(QStringLiteral("%1, %2").arg(point.x()).arg(point.y())));
    }
    const QRectF before = boundsInView(view);
    const double pictureHeightInView = toView(view, FacialPoint(0, 1)).y() - toView(view, FacialPoint(0, 0)).y();
    const double smallerSide = std::min(picture.width(), picture.height()) * pictureHeightInView / picture.height();
    QVERIFY2(std::abs(before.height() / smallerSide - 0.6) < 0.01, qPrintable(QString::number(before.height() / smallerSide)));
    QVERIFY2(std::abs(before.center().x() - toView(view, FacialPoint(0.5, 0.5)).x()) < 1.0, "centred");
    // Its box, 10 pixels off the outermost markers, with the turn handle 24 above: in view too.
    const QRectF box = before.adjusted(-10, -10, 10, 10);
    QVERIFY(viewRect.contains(box));
    QVERIFY(viewRect.contains(QPointF(box.center().x(), box.top() - 24)));

    // Ctrl+A, then a drag on the box's bottom-right corner scales the template.
    QTest::keyClick(window.windowHandle(), Qt::Key_A, Qt::ControlModifier);
    const QPoint corner = box.bottomRight().toPoint();
    drag(view, corner, corner - QPoint(qRound(box.width() / 4), qRound(box.height() / 4)));
    const QRectF after = boundsInView(view);
    QVERIFY2(after.width() < before.width() * 0.9, qPrintable(QStringLiteral("%1 -> %2").arg(before.width()).arg(after.width())));
    // About the opposite corner, which stays where it was.
    const double scale = (after.right() - box.left()) / (before.right() - box.left());
    QVERIFY2(std::abs(box.left() + scale * (before.left() - box.left()) - after.left()) < 1.0,
             qPrintable(QStringLiteral("%1 -> %2").arg(before.left()).arg(after.left())));

    // One step takes the template back.
    findAction(window, QStringLiteral("undoAction"))->trigger();
    findAction(window, QStringLiteral("undoAction"))->trigger();
    QCOMPARE(model->count(), 0);
}

void tst_MainWindowWorkspace::keyboardKeepsTheSelectedPointInAZoomedView()
{
    ui::MainWindow window;
    prepare(window);
    ui::PointView* view = pointView(window);
    core::FacialPoints* model = view->facialPoints();
    model->setImage(testimages::filled(400, 300, Qt::darkGray));
    // Corners and middle, far apart at a high zoom.
    model->setPoints({FacialPoint(0.02, 0.03), FacialPoint(0.97, 0.05), FacialPoint(0.5, 0.5),
                      FacialPoint(0.04, 0.96), FacialPoint(0.98, 0.97)});
    for (int i = 0; i < 8; ++i) {
        view->zoomIn();
    }
    QVERIFY(view->zoom() > 5);
    // What the view shows, 40 view pixels inside its edges, in picture pixels.
    const auto inView = [view](int index) {
        const FacialPoint f = view->facialPoints()->points()[size_t(index)];
        const QPointF at(f.x() * 400, f.y() * 300);
        const QPointF low = view->viewToPicturePixels(QPoint(40, 40));
        const QPointF high = view->viewToPicturePixels(QPoint(view->width() - 40, view->height() - 40));
        const double slack = 1.0 / view->zoom();
        return at.x() >= low.x() - slack && at.x() <= high.x() + slack && at.y() >= low.y() - slack
            && at.y() <= high.y() + slack;
    };
    for (int step = 0; step < 5; ++step) {
        QTest::keyClick(window.windowHandle(), Qt::Key_Tab);
        QVERIFY2(inView(step), qPrintable(QStringLiteral("point %1 after Tab").arg(step)));
    }
    QTest::keyClick(window.windowHandle(), Qt::Key_Backtab, Qt::ShiftModifier);
    QVERIFY2(inView(3), "point 3 after Shift+Tab");
    // Nudged toward the edge, the point stays in view.
    for (int i = 0; i < 30; ++i) {
        QTest::keyClick(window.windowHandle(), Qt::Key_Up, Qt::ShiftModifier);
        QVERIFY2(inView(3), qPrintable(QStringLiteral("point 3 after %1 nudges up").arg(i + 1)));
    }
}

void tst_MainWindowWorkspace::effectTypeIsAnUndoStepThePreviewFollows()
{
    ui::MainWindow window;
    prepare(window);
    QAction* wholeImage = findAction(window, QStringLiteral("Whole image"));
    QAction* faceOnly = findAction(window, QStringLiteral("Face only"));
    QVERIFY(wholeImage && faceOnly && faceOnly->isChecked());
    findAction(window, QStringLiteral("previewEffectAction"))->trigger();
    auto* preview = qobject_cast<QWidget*>(QApplication::activeWindow());
    QWidget* previewWindow = nullptr;
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (dynamic_cast<ui::PreviewWindow*>(top)) {
            previewWindow = top;
        }
    }
    Q_UNUSED(preview);
    QVERIFY(previewWindow);
    auto* previewFooter = previewWindow->findChild<QLabel*>(QStringLiteral("previewFooter"));
    core::FacialPoints* model = pointView(window)->facialPoints();
    model->setImage(testimages::filled(64, 64, Qt::gray));
    model->setPoints(gridPoints());
    QTRY_VERIFY(previewFooter->text().startsWith(QStringLiteral("Effect: Face only.")));

    wholeImage->trigger();
    QVERIFY(wholeImage->isChecked() && !faceOnly->isChecked());
    QCOMPARE(findAction(window, QStringLiteral("undoAction"))->text(), QStringLiteral("Undo Change Effect Type"));
    QVERIFY(window.isWindowModified());
    QTRY_VERIFY2(previewFooter->text().startsWith(QStringLiteral("Effect: Whole image.")), qPrintable(previewFooter->text()));

    findAction(window, QStringLiteral("undoAction"))->trigger();
    QVERIFY(faceOnly->isChecked());
    QTRY_VERIFY(previewFooter->text().startsWith(QStringLiteral("Effect: Face only.")));

    // A package brings its own type into the menu.
    window.openFile(writePackage(QStringLiteral("frame"), 2));
    QTRY_VERIFY(findAction(window, QStringLiteral("Full frame effect"))->isChecked());
    QTRY_VERIFY(previewFooter->text().startsWith(QStringLiteral("Effect: Full frame effect.")));
    previewWindow->close();
}

void tst_MainWindowWorkspace::packageWithOtherFilesSaysTheyAreNotKept_data()
{
    QTest::addColumn<QStringList>("others");
    QTest::addColumn<QString>("said");
    QTest::newRow("one") << QStringList{"notes.txt"}
                         << " Saving it drops a file another program put there (notes.txt).";
    QTest::newRow("four") << QStringList{"a.wav", "b.wav", "c.wav", "d.wav"}
                          << " Saving it drops 4 files another program put there (a.wav, b.wav, c.wav, …).";
}

// Files another program put in a package are not written again by a save over it: the user is
// told when the package opens.
void tst_MainWindowWorkspace::packageWithOtherFilesSaysTheyAreNotKept()
{
    QFETCH(QStringList, others);
    QFETCH(QString, said);
    using namespace packagefixtures;
    Members members = package(propertiesText(), effectText(75));
    for (const QString& name : others) {
        members.append({name, "x"});
    }
    const QString path = dir->filePath(QStringLiteral("others.pmk"));
    QVERIFY(writeArchive(path, members));
    ui::MainWindow window;
    prepare(window);
    window.openFile(path);
    QTRY_COMPARE(labelText(window, "footerLabel"), QStringLiteral("Opened others.pmk: 75 points, Face only.") + said);
}

void tst_MainWindowWorkspace::statusBarAfterEachEvent()
{
    ui::MainWindow window;
    prepare(window);
    const QString package = writePackage(QStringLiteral("other"));
    window.openFile(package);
    QTRY_COMPARE(labelText(window, "footerLabel"), QStringLiteral("Opened other.pmk: 75 points, Face only."));

    // A save's confirmation and a selected point at once.
    QTest::keyClick(window.windowHandle(), Qt::Key_Tab);
    QVERIFY2(labelText(window, "selectionLabel").startsWith(QStringLiteral("Point 0: ")),
             qPrintable(labelText(window, "selectionLabel")));
    prompts->fileNames.enqueue(dir->filePath(QStringLiteral("saved.pmk")));
    QTimer press;
    connect(&press, &QTimer::timeout, this, [] {
        if (auto* form = dynamic_cast<ui::SavePMKForm*>(QApplication::activeModalWidget())) {
            if (!form->isSaving()) {
                form->findChild<QPushButton*>(QStringLiteral("saveButton"))->click();
            }
        }
    });
    press.start(10);
    findAction(window, QStringLiteral("Save PMK File"))->trigger();
    press.stop();
    QVERIFY2(labelText(window, "footerLabel").startsWith(QStringLiteral("Saved saved.pmk (")),
             qPrintable(labelText(window, "footerLabel")));
    QVERIFY(labelText(window, "selectionLabel").startsWith(QStringLiteral("Point 0: ")));

    // Opening a package replaces the save's line.
    QApplication::setActiveWindow(&window);
    QVERIFY(QTest::qWaitForWindowActive(&window));
    window.openFile(package);
    QTRY_COMPARE(labelText(window, "footerLabel"), QStringLiteral("Opened other.pmk: 75 points, Face only."));

    // An undo says what it took back, and what is missing after it.
    QTest::keyClick(window.windowHandle(), Qt::Key_T, Qt::ControlModifier);
    QVERIFY2(labelText(window, "footerLabel").startsWith(QStringLiteral("Template placed.")),
             qPrintable(labelText(window, "footerLabel")));
    QTest::keyClick(window.windowHandle(), Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(labelText(window, "footerLabel"), QStringLiteral("Undone: Place Template."));
    QTest::keyClick(window.windowHandle(), Qt::Key_Y, Qt::ControlModifier);
    QCOMPARE(labelText(window, "footerLabel"), QStringLiteral("Redone: Place Template."));

    // A new picture: its detection's line (here: no model) replaces the others. The points are
    // cleared outside the history, so neither picture has any.
    pointView(window)->facialPoints()->setPoints({});
    pointView(window)->setImage(testimages::filled(50, 40, Qt::yellow));
    QTRY_COMPARE_WITH_TIMEOUT(labelText(window, "footerLabel"),
                              QStringLiteral("The landmark model could not be loaded: no points were placed."),
                              60000);
    QTest::keyClick(window.windowHandle(), Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(labelText(window, "footerLabel"),
             QStringLiteral("Undone: Replace Picture. The picture has no points: press Ctrl+D to "
                            "detect them, or Ctrl+T for a template."));
    QTest::keyClick(window.windowHandle(), Qt::Key_Y, Qt::ControlModifier);
    QCOMPARE(labelText(window, "footerLabel"),
             QStringLiteral("Redone: Replace Picture. The picture has no points: press Ctrl+D to "
                            "detect them, or Ctrl+T for a template."));
}

void tst_MainWindowWorkspace::longNameIsSavedAsTyped()
{
    ui::MainWindow window;
    prepare(window);
    core::FacialPoints* model = pointView(window)->facialPoints();
    model->setImage(testimages::filled(64, 48, Qt::gray));
    model->setPoints(gridPoints());
    const QString longName(40003, QLatin1Char('n'));
    const QString path = dir->filePath(QStringLiteral("long.pmk"));
    prompts->fileNames.enqueue(path);
    QTimer fill;
    connect(&fill, &QTimer::timeout, this, [&] {
        if (auto* form = dynamic_cast<ui::SavePMKForm*>(QApplication::activeModalWidget())) {
            if (!form->isSaving()) {
                auto* name = form->findChild<QLineEdit*>(QStringLiteral("nameEdit"));
                // In one go, as a paste does.
                name->selectAll();
                name->insert(longName);
                form->findChild<QLineEdit*>(QStringLiteral("authorEdit"))->setText(QStringLiteral("Ada"));
                form->findChild<QPushButton*>(QStringLiteral("saveButton"))->click();
            }
        }
    });
    fill.start(10);
    findAction(window, QStringLiteral("Save PMK File"))->trigger();
    fill.stop();
    const core::PackageReading reading = core::readPackage(path);
    QVERIFY2(reading.result.ok, qPrintable(reading.result.reason));
    QCOMPARE(reading.snapshot.name.size(), longName.size());
    QCOMPARE(reading.snapshot.name, longName);
    QCOMPARE(reading.snapshot.author, QStringLiteral("Ada"));
    // The author is offered again in the next run.
    QCOMPARE(ui::Workspace().author(QString()), QStringLiteral("Ada"));
}

// Settings on a share far away: each replacement of the file is some fifty calls that each wait
// on the share, on the window's thread. After a save the window remembers its choices in one
// replacement, as the kernel counts the settings file moved into place.
void tst_MainWindowWorkspace::saveRemembersItsChoicesInOneWrite()
{
    ui::MainWindow window;
    prepare(window);
    core::FacialPoints* model = pointView(window)->facialPoints();
    model->setImage(testimages::filled(64, 48, Qt::gray));
    model->setPoints(gridPoints());
    const QString path = dir->filePath(QStringLiteral("far.pmk"));
    prompts->fileNames.enqueue(path);
    QTimer fill;
    connect(&fill, &QTimer::timeout, this, [&] {
        if (auto* form = dynamic_cast<ui::SavePMKForm*>(QApplication::activeModalWidget())) {
            if (!form->isSaving()) {
                form->findChild<QRadioButton*>(QStringLiteral("wholeImageButton"))->setChecked(true);
                form->findChild<QLineEdit*>(QStringLiteral("authorEdit"))->setText(QStringLiteral("Far"));
                form->findChild<QPushButton*>(QStringLiteral("saveButton"))->click();
            }
        }
    });
    const QFileInfo settingsFile(workspace->configFile());
    QVERIFY(QDir().mkpath(settingsFile.absolutePath()));
    FileEvents placed(settingsFile.absolutePath(), IN_MOVED_TO | IN_CREATE);
    QVERIFY(placed.isWatching());
    fill.start(10);
    findAction(window, QStringLiteral("Save PMK File"))->trigger();
    fill.stop();
    QVERIFY(core::readPackage(path).result.ok);
    QCOMPARE(ui::Workspace().effectType(-1), int(core::WholeImage));
    QCOMPARE(ui::Workspace().author(QString()), QStringLiteral("Far"));
    QCOMPARE(ui::Workspace().folder(QStringLiteral("package")), dir->path());
    QCOMPARE(ui::Workspace().recentPackages().value(0), path);
    // Renamed over it, or linked in from an unnamed file while there was none.
    QVERIFY(ui::Workspace::finishWrites(std::chrono::seconds(30)));
    QCOMPARE(placed.count(IN_MOVED_TO | IN_CREATE, settingsFile.fileName()), 1);
}

// A picture dropped from a share that went away: the window must not wait for the share for
// ever, and says why the picture was not taken.
void tst_MainWindowWorkspace::dropFromAShareThatDoesNotAnswerIsNotWaitedFor()
{
    QVERIFY2(faultShimLoaded(), "run with the fault shim preloaded, as ctest does");
    const QString path = dir->filePath(QStringLiteral("faraway.png"));
    QVERIFY(testimages::filled(64, 48, Qt::gray).save(path));
    ui::MainWindow window;
    prepare(window);
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(path)});
    {
        const StalledDisk stalled(QStringLiteral("faraway.png"), 15000);
        QVERIFY(stalled.isArmed());
        QElapsedTimer clock;
        clock.start();
        QVERIFY(pointView(window)->insertFromMimeData(&data));
        QVERIFY2(clock.elapsed() < 6000, qPrintable(QString::number(clock.elapsed())));
    }
    const QList<PromptRecord> warnings = prompts->ofKind(QStringLiteral("warning"));
    QCOMPARE(warnings.size(), 1);
    QCOMPARE(warnings.first().text,
             QStringLiteral("File \"%1\" was not load.\nIts drive or share does not answer.").arg(path));
    QVERIFY(pointView(window)->facialPoints()->image().isNull());
}

// Points exported into a folder on a share that stopped answering: the window goes on, and says
// where they went once the share answers again.
void tst_MainWindowWorkspace::exportDoesNotWaitForTheDisk()
{
    QVERIFY2(faultShimLoaded(), "run with the fault shim preloaded, as ctest does");
    ui::MainWindow window;
    prepare(window);
    core::FacialPoints* model = pointView(window)->facialPoints();
    model->setImage(testimages::filled(64, 48, Qt::gray));
    model->setPoints(gridPoints());
    const QString folder = dir->filePath(QStringLiteral("unanswering"));
    QVERIFY(QDir().mkdir(folder));
    const QString path = folder + QStringLiteral("/face.xml");
    prompts->fileNames.enqueue(path);
    {
        const StalledDisk stalled(QStringLiteral("unanswering"), 8000);
        QVERIFY(stalled.isArmed());
        findAction(window, QStringLiteral("exportPointsAction"))->trigger();
        // Back while the disk still holds the write.
        QVERIFY2(!labelText(window, "footerLabel").startsWith(QStringLiteral("Points exported")),
                 qPrintable(labelText(window, "footerLabel")));
    }
    QTRY_COMPARE_WITH_TIMEOUT(labelText(window, "footerLabel"),
                              QStringLiteral("Points exported to face.xml, the picture they are placed on to face.png"),
                              10000);
    QVERIFY(QFile::exists(path));
    QVERIFY(QFile::exists(folder + QStringLiteral("/face.png")));
    QVERIFY(prompts->ofKind(QStringLiteral("warning")).isEmpty());
}

// Closing the window while points are exported, or the Preview's picture saved, to a share that
// stopped answering: the window stays until the file is written (the program ends soon after
// the window, and would cut the write off, its temporary file left); Cancel keeps it open.
void tst_MainWindowWorkspace::closeWaitsForAWriteStillRunning_data()
{
    QTest::addColumn<bool>("previewPicture");
    QTest::addColumn<bool>("cancel");
    QTest::newRow("export-points") << false << false;
    QTest::newRow("save-preview-picture") << true << false;
    QTest::newRow("export-points-cancelled") << false << true;
}

void tst_MainWindowWorkspace::closeWaitsForAWriteStillRunning()
{
    QFETCH(bool, previewPicture);
    QFETCH(bool, cancel);
    QVERIFY2(faultShimLoaded(), "run with the fault shim preloaded, as ctest does");
    ui::MainWindow window;
    prepare(window);
    core::FacialPoints* model = pointView(window)->facialPoints();
    model->setImage(testimages::filled(64, 48, Qt::gray));
    model->setPoints(gridPoints());
    ui::PreviewWindow* preview = nullptr;
    if (previewPicture) {
        preview = dynamic_cast<ui::PreviewWindow*>(showPreview(window));
        QVERIFY(preview);
        preview->setFacePicture(testimages::filled(80, 60, Qt::darkGray));
        QTRY_VERIFY(!preview->previewImage().isNull());
    }
    const QString folder = dir->filePath(QStringLiteral("unanswering"));
    QVERIFY(QDir().mkdir(folder));
    const QString path = folder + (previewPicture ? QStringLiteral("/preview.png") : QStringLiteral("/face.pts"));
    prompts->fileNames.enqueue(path);
    auto stalled = std::make_unique<StalledDisk>(QStringLiteral("unanswering"), 20000);
    QVERIFY(stalled->isArmed());
    if (previewPicture) {
        QVERIFY(preview->savePreviewPicture());
    } else {
        findAction(window, QStringLiteral("exportPointsAction"))->trigger();
    }
    // Looked at while the close waits: the window is still there, and says what it waits for.
    bool seenWaiting = false;
    QString waitingFor;
    QTimer::singleShot(ui::WorkProgress::showDelayMs + 200, &window, [&] {
        auto* progress = window.findChild<QProgressDialog*>(QStringLiteral("workProgressDialog"));
        seenWaiting = window.isVisible() && progress && progress->isVisible();
        waitingFor = progress ? progress->labelText() : QString();
        if (cancel && progress) {
            emit progress->canceled();
        } else {
            stalled.reset();
        }
    });
    const bool closed = window.close();
    QVERIFY2(seenWaiting, qPrintable(waitingFor));
    QCOMPARE(waitingFor, previewPicture ? QStringLiteral("Saving the preview picture to preview.png\u2026")
                                        : QStringLiteral("Exporting the points to face.pts\u2026"));
    if (cancel) {
        QVERIFY(!closed);
        QVERIFY(window.isVisible());
        QVERIFY(!QFile::exists(path));
        stalled.reset();
        QTRY_COMPARE_WITH_TIMEOUT(labelText(window, "footerLabel"), QStringLiteral("Points exported to face.pts"), 10000);
    } else {
        QVERIFY(closed);
        QVERIFY(!window.isVisible());
    }
    QVERIFY(QFile::exists(path));
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{QFileInfo(path).fileName()});
    // No write failed (the Preview's detection, without the model, says so on its own).
    for (const PromptRecord& warning : prompts->ofKind(QStringLiteral("warning"))) {
        QVERIFY2(!warning.text.contains(QFileInfo(path).fileName()), qPrintable(warning.text));
    }
}

// The desktop's list of recent files on a share that stopped answering: the package opens all
// the same, and joins the list once the share answers again.
void tst_MainWindowWorkspace::openDoesNotWaitForTheDesktopsRecentList()
{
    QVERIFY2(faultShimLoaded(), "run with the fault shim preloaded, as ctest does");
    const QString path = writePackage(QStringLiteral("listed"));
    QVERIFY(!path.isEmpty());
    ui::MainWindow window;
    prepare(window);
    {
        const StalledDisk stalled(QStringLiteral("recently-used"), 8000);
        QVERIFY(stalled.isArmed());
        window.openFile(path);
        QTRY_VERIFY_WITH_TIMEOUT(window.windowTitle().startsWith(QStringLiteral("listed.pmk")), 20000);
        // Opened while the disk still holds the list's write.
        QVERIFY(!ui::Workspace::finishWrites(std::chrono::milliseconds(0)));
    }
    QTRY_VERIFY_WITH_TIMEOUT(QFile(workspace->recentlyUsedFile()).size() > 0, 10000);
    QFile list(workspace->recentlyUsedFile());
    QVERIFY(list.open(QIODevice::ReadOnly));
    QVERIFY(list.readAll().contains(QUrl::fromLocalFile(path).toEncoded()));
}

QTEST_MAIN(tst_MainWindowWorkspace)
#include "tst_mainwindow_workspace.moc"
