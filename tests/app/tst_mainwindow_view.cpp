// The window's View menu, its shortcuts, the footer's point line, keys that work before any
// click, and the names a screen reader gives the controls that show no text of their own; the
// keys of the window and of its Preview window, each named in a menu and none taken twice. Runs
// without the landmark model, so no detection changes the points.
#include "core/facialpoints.h"
#include "tests/support/fakeprompts.h"
#include "app/mainwindow.h"
#include "ui/pointview.h"
#include "tests/support/tempworkspace.h"
#include "tests/support/testimages.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QShortcut>
#include <QAccessible>
#include <QtTest>

#include <cmath>

static ui::PointView* pointView(ui::MainWindow& window)
{
    return dynamic_cast<ui::PointView*>(window.findChild<QWidget*>(QStringLiteral("pointView")));
}

static QMenu* viewMenu(ui::MainWindow& window)
{
    auto* menuBar = window.findChild<QMenuBar*>(QStringLiteral("menuBar"));
    const QList<QAction*> menus = menuBar ? menuBar->actions() : QList<QAction*>();
    for (QAction* menu : menus) {
        if (menu->text() == QStringLiteral("&View")) {
            return menu->menu();
        }
    }
    return nullptr;
}

static QAction* viewAction(ui::MainWindow& window, const QString& text)
{
    QMenu* menu = viewMenu(window);
    const QList<QAction*> actions = menu ? menu->actions() : QList<QAction*>();
    for (QAction* action : actions) {
        if (action->text() == text) {
            return action;
        }
    }
    return nullptr;
}

namespace {

// The main window, or the Preview window it opens with View -> Preview Effect.
QWidget* windowNamed(ui::MainWindow& main, const QString& which)
{
    if (which == QLatin1String("main")) {
        return &main;
    }
    QAction* preview = main.findChild<QAction*>(QStringLiteral("previewEffectAction"));
    if (!preview) {
        return nullptr;
    }
    preview->trigger();
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (top != &main && top->findChild<QMenuBar*>(QStringLiteral("previewMenuBar"))) {
            return top;
        }
    }
    return nullptr;
}

QString named(const QKeySequence& key)
{
    return key.toString(QKeySequence::PortableText);
}

// Keys the window's commands answer wherever the keys are in it, with who answers: entries of
// its menus, actions of its own and its shortcuts (those that answer only with the keys in one
// widget left out).
QMultiMap<QString, QString> windowKeys(QWidget* window)
{
    QMultiMap<QString, QString> keys;
    for (const QAction* action : window->findChildren<QAction*>()) {
        if (action->shortcutContext() == Qt::WidgetShortcut) {
            continue;
        }
        for (const QKeySequence& key : action->shortcuts()) {
            keys.insert(named(key), action->text());
        }
    }
    for (const QShortcut* shortcut : window->findChildren<QShortcut*>()) {
        if (shortcut->context() != Qt::WidgetShortcut) {
            keys.insert(named(shortcut->key()), QStringLiteral("a shortcut"));
        }
    }
    return keys;
}

} // namespace

class tst_MainWindowView : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void viewMenuFollowsFile();
    void viewMenuEntries_data();
    void viewMenuEntries();
    void shortcutsZoom_data();
    void shortcutsZoom();
    void pasteWorksBeforeAnyClick();
    void footerShowsSelectedPoint();
    void controlsHaveAccessibleNames_data();
    void controlsHaveAccessibleNames();
    void everyKeyIsNamedInAMenu_data();
    void everyKeyIsNamedInAMenu();
    void noKeyOrLetterIsTakenTwice_data();
    void noKeyOrLetterIsTakenTwice();

private:
    std::unique_ptr<FakePrompts> prompts;
    std::unique_ptr<TempWorkspace> workspace;
};

void tst_MainWindowView::initTestCase()
{
    core::registerFacialPointVector();
}

void tst_MainWindowView::init()
{
    prompts = std::make_unique<FakePrompts>();
    workspace = std::make_unique<TempWorkspace>();
    QVERIFY(workspace->isValid());
}

void tst_MainWindowView::cleanup()
{
    workspace.reset();
    prompts.reset();
}

void tst_MainWindowView::viewMenuFollowsFile()
{
    ui::MainWindow window;
    auto* menuBar = window.findChild<QMenuBar*>(QStringLiteral("menuBar"));
    QVERIFY(menuBar);
    const QList<QAction*> menus = menuBar->actions();
    QVERIFY(menus.size() >= 2);
    QCOMPARE(menus.at(0)->text(), QStringLiteral("&File"));
    int view = -1;
    for (int i = 0; i < menus.size(); ++i) {
        if (menus.at(i)->text() == QStringLiteral("&View")) {
            view = i;
        }
    }
    QVERIFY2(view > 0, "no View menu after File");
}

void tst_MainWindowView::viewMenuEntries_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("shortcuts");
    QTest::addColumn<bool>("checkable");
    QTest::addColumn<bool>("checked");
    QTest::newRow("zoom-in") << "Zoom In" << QStringList{"Ctrl+=", "Ctrl++"} << false << false;
    QTest::newRow("zoom-out") << "Zoom Out" << QStringList{"Ctrl+-"} << false << false;
    QTest::newRow("fit") << "Fit to Window" << QStringList{"Ctrl+0"} << false << false;
    QTest::newRow("numbers") << "Show Numbers" << QStringList{} << true << true;
    QTest::newRow("outline") << "Show Outline" << QStringList{} << true << true;
    // Square pixels unless asked otherwise.
    QTest::newRow("aspect") << "Keep Aspect Ratio" << QStringList{} << true << true;
}

void tst_MainWindowView::viewMenuEntries()
{
    QFETCH(QString, text);
    QFETCH(QStringList, shortcuts);
    QFETCH(bool, checkable);
    QFETCH(bool, checked);
    ui::MainWindow window;
    QAction* action = viewAction(window, text);
    QVERIFY2(action, qPrintable(text));
    QStringList actual;
    for (const QKeySequence& sequence : action->shortcuts()) {
        actual << sequence.toString(QKeySequence::PortableText);
    }
    QCOMPARE(actual, shortcuts);
    QCOMPARE(action->isCheckable(), checkable);
    QCOMPARE(action->isChecked(), checked);
}

void tst_MainWindowView::shortcutsZoom_data()
{
    QTest::addColumn<QList<int>>("keys");
    QTest::addColumn<double>("expectedZoom");
    const int ctrl = int(Qt::ControlModifier);
    QTest::newRow("ctrl-equal") << QList<int>{ctrl | Qt::Key_Equal} << 1.25;
    QTest::newRow("ctrl-plus") << QList<int>{ctrl | Qt::Key_Plus} << 1.25;
    QTest::newRow("in-in-out") << QList<int>{ctrl | Qt::Key_Equal, ctrl | Qt::Key_Equal, ctrl | Qt::Key_Minus} << 1.25;
    QTest::newRow("in-then-fit") << QList<int>{ctrl | Qt::Key_Equal, ctrl | Qt::Key_Equal, ctrl | Qt::Key_0} << 1.0;
    QTest::newRow("out-at-fit") << QList<int>{ctrl | Qt::Key_Minus} << 1.0;
}

void tst_MainWindowView::shortcutsZoom()
{
    QFETCH(QList<int>, keys);
    QFETCH(double, expectedZoom);
    ui::MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    ui::PointView* view = pointView(window);
    view->setImage(testimages::filled(64, 48, Qt::darkCyan));
    for (int key : keys) {
        QTest::keyClick(window.windowHandle(), Qt::Key(key & ~Qt::KeyboardModifierMask),
                        Qt::KeyboardModifiers(key & Qt::KeyboardModifierMask));
    }
    QVERIFY2(std::abs(view->zoom() - expectedZoom) < 1e-9, qPrintable(QString::number(view->zoom())));
}

void tst_MainWindowView::pasteWorksBeforeAnyClick()
{
    ui::MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QGuiApplication::clipboard()->setImage(testimages::filled(40, 10, Qt::blue));
    // Sent to the window, as the keyboard does: it reaches whichever widget has the focus.
    QTest::keyClick(window.windowHandle(), Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(pointView(window)->facialPoints()->image().size(), QSize(40, 10));
}

void tst_MainWindowView::footerShowsSelectedPoint()
{
    ui::MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    // The selection has the right of the status bar; the latest event keeps the left.
    auto* footer = window.findChild<QLabel*>(QStringLiteral("footerLabel"));
    auto* selection = window.findChild<QLabel*>(QStringLiteral("selectionLabel"));
    QVERIFY(footer && selection);
    ui::PointView* view = pointView(window);
    view->setImage(testimages::filled(512, 512, Qt::gray));
    view->facialPoints()->setPoints({FacialPoint(0.25, 0.5), FacialPoint(0.5, 0.5)});
    // The picture's detection (which fails: there is no model here) has its last word first.
    QTRY_VERIFY(!view->isDetecting());
    QCoreApplication::processEvents();
    const QString before = footer->text();
    QVERIFY(!before.isEmpty());
    QCOMPARE(selection->text(), QString());

    QTest::keyClick(window.windowHandle(), Qt::Key_Tab);
    QCOMPARE(selection->text(), QStringLiteral("Point 0: 128.0, 256.0 px of 512 \u00d7 512"));
    viewAction(window, QStringLiteral("Zoom In"))->trigger();
    QCOMPARE(selection->text(), QStringLiteral("Point 0: 128.0, 256.0 px of 512 \u00d7 512 \u2014 125 %"));
    QTest::keyClick(window.windowHandle(), Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(selection->text(), QStringLiteral("2 points selected \u2014 125 %"));
    QTest::keyClick(window.windowHandle(), Qt::Key_Escape);
    QCOMPARE(selection->text(), QStringLiteral("125 %"));
    QCOMPARE(footer->text(), before);
}

void tst_MainWindowView::controlsHaveAccessibleNames_data()
{
    QTest::addColumn<bool>("inPreview");
    QTest::addColumn<QString>("objectName");
    // The view that holds the keys from the start, and the Preview's picture and video position.
    QTest::newRow("points view") << false << "pointView";
    QTest::newRow("preview picture") << true << "previewCanvas";
    QTest::newRow("video position") << true << "positionSlider";
    QTest::newRow("play button") << true << "playButton";
}

void tst_MainWindowView::controlsHaveAccessibleNames()
{
    QFETCH(bool, inPreview);
    QFETCH(QString, objectName);
    ui::MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QWidget* top = &window;
    if (inPreview) {
        QAction* preview = nullptr;
        for (QAction* action : window.findChildren<QAction*>()) {
            if (action->objectName() == QStringLiteral("previewEffectAction")) {
                preview = action;
            }
        }
        QVERIFY(preview);
        preview->trigger();
        top = nullptr;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->isVisible() && widget->windowTitle() == QStringLiteral("Preview Effect")) {
                top = widget;
            }
        }
        QVERIFY(top);
    }
    QWidget* control = top->findChild<QWidget*>(objectName);
    QVERIFY(control);
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(control);
    QVERIFY(accessible);
    QVERIFY2(!accessible->text(QAccessible::Name).trimmed().isEmpty(),
             "a screen reader would say nothing but the control's kind");
}

void tst_MainWindowView::everyKeyIsNamedInAMenu_data()
{
    QTest::addColumn<QString>("window");
    QTest::newRow("main window") << "main";
    QTest::newRow("Preview window") << "preview";
}

// What a key does is looked up in the menus: each key of a command shows beside its entry, as
// the entry's own key or after a tab in its text.
void tst_MainWindowView::everyKeyIsNamedInAMenu()
{
    QFETCH(QString, window);
    ui::MainWindow main;
    QWidget* shown = windowNamed(main, window);
    QVERIFY(shown);
    QSet<QString> inMenus;
    for (const QMenu* menu : shown->findChildren<QMenu*>()) {
        for (const QAction* entry : menu->actions()) {
            for (const QKeySequence& key : entry->shortcuts()) {
                inMenus.insert(named(key));
            }
            const int tab = entry->text().indexOf(QLatin1Char('\t'));
            if (tab >= 0) {
                inMenus.insert(named(QKeySequence(entry->text().mid(tab + 1), QKeySequence::NativeText)));
            }
        }
    }
    QStringList unnamed;
    const QMultiMap<QString, QString> keys = windowKeys(shown);
    for (auto key = keys.cbegin(); key != keys.cend(); ++key) {
        if (!inMenus.contains(key.key())) {
            unnamed << QStringLiteral("%1 (%2)").arg(key.key(), key.value());
        }
    }
    QVERIFY2(unnamed.isEmpty(), qPrintable(QStringLiteral("not in a menu: ") + unnamed.join(QStringLiteral(", "))));
}

void tst_MainWindowView::noKeyOrLetterIsTakenTwice_data()
{
    everyKeyIsNamedInAMenu_data();
}

// A key two commands of a window answer does nothing at all (Qt calls it ambiguous), and Alt with
// a letter two entries of one menu or menu bar underline only moves between them.
void tst_MainWindowView::noKeyOrLetterIsTakenTwice()
{
    QFETCH(QString, window);
    ui::MainWindow main;
    QWidget* shown = windowNamed(main, window);
    QVERIFY(shown);
    QStringList clashes;
    const QMultiMap<QString, QString> keys = windowKeys(shown);
    for (const QString& key : keys.uniqueKeys()) {
        if (keys.count(key) > 1) {
            clashes << QStringLiteral("%1: %2").arg(key, QStringList(keys.values(key)).join(QStringLiteral(" and ")));
        }
    }
    QList<QWidget*> menus;
    for (QMenuBar* bar : shown->findChildren<QMenuBar*>()) {
        menus << bar;
    }
    for (QMenu* menu : shown->findChildren<QMenu*>()) {
        menus << menu;
    }
    for (QWidget* menu : menus) {
        QMap<QString, QString> letters;
        for (const QAction* entry : menu->actions()) {
            const QString letter = named(QKeySequence::mnemonic(entry->text()));
            if (entry->isVisible() && !letter.isEmpty()) {
                if (letters.contains(letter)) {
                    const auto* titled = qobject_cast<const QMenu*>(menu);
                    clashes << QStringLiteral("%1 in %2: %3 and %4")
                                   .arg(letter, titled ? titled->title() : QStringLiteral("the menu bar"),
                                        letters.value(letter), entry->text());
                }
                letters.insert(letter, entry->text());
            }
        }
    }
    QVERIFY2(clashes.isEmpty(), qPrintable(clashes.join(QStringLiteral("; "))));
}

QTEST_MAIN(tst_MainWindowView)
#include "tst_mainwindow_view.moc"
