// The window's history and unsaved work: the Edit menu, the title's modified mark, the questions
// before unsaved work is left, and files named on the command line.
#include "core/facemaskproject.h"
#include "core/facialpoints.h"
#include "core/meanface.h"
#include "core/mirroring.h"
#include "tests/support/fakeprompts.h"
#include "app/mainwindow.h"
#include "tests/support/mousedrags.h"
#include "ui/pointview.h"
#include "ui/savepmkform.h"
#include "tests/support/tempworkspace.h"
#include "tests/support/testimages.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>
#include <QtTest>

#include <memory>

namespace {

ui::PointView* pointView(ui::MainWindow& window)
{
    return window.findChild<ui::PointView*>(QStringLiteral("pointView"));
}

core::FacialPointVector gridPoints()
{
    core::FacialPointVector points;
    for (int i = 0; i < 75; ++i) {
        points.emplace_back(0.1 + 0.01 * i, 0.2 + 0.008 * i);
    }
    return points;
}

// Presses on the point, moves the cursor by offset pixels and releases: one completed drag.
void dragPoint(ui::PointView* view, int index, QPoint offset)
{
    const FacialPoint point = view->facialPoints()->points().at(size_t(index));
    const QPoint start(qRound(point.x() * view->width()), qRound(point.y() * view->height()));
    testsupport::drag(view, start, start + offset);
}

// Works the save dialog that a command opens in its own event loop: presses Save once, and
// Cancel when that save did not close it (the file picker was cancelled or the save failed).
class SaveDialogDriver : public QObject
{
public:
    explicit SaveDialogDriver(FakePrompts* prompts) : prompts(prompts)
    {
        connect(&timer, &QTimer::timeout, this, &SaveDialogDriver::poll);
        timer.start(10);
    }
    int dialogsSeen = 0;

private:
    void poll()
    {
        auto* dialog = dynamic_cast<ui::SavePMKForm*>(QApplication::activeModalWidget());
        if (!dialog) {
            current = nullptr;
            return;
        }
        if (dialog != current) {
            current = dialog;
            ++dialogsSeen;
            pickerAnswered = !prompts->fileNames.isEmpty();
            dialog->findChild<QPushButton*>(QStringLiteral("saveButton"))->click();
            return;
        }
        const bool failed = !prompts->ofKind(QStringLiteral("warning")).isEmpty();
        if (!pickerAnswered || failed) {
            dialog->findChild<QPushButton*>(QStringLiteral("cancelButton"))->click();
        }
    }
    FakePrompts* prompts;
    QTimer timer;
    // Guarded: consecutive dialogs made on the stack can share an address.
    QPointer<ui::SavePMKForm> current;
    bool pickerAnswered = false;
};

} // namespace

class tst_MainWindowHistory : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void editMenuNamesTheSteps();
    void undoAndRedoKeys_data();
    void undoAndRedoKeys();
    void stepKeyDuringADragFinishesItFirst_data();
    void stepKeyDuringADragFinishesItFirst();
    void titleMarksUnsavedWork_data();
    void titleMarksUnsavedWork();
    void titleShowsANameHoldingTheUnsavedMark_data();
    void titleShowsANameHoldingTheUnsavedMark();
    void typeChosenInSaveDialogIsAStep_data();
    void typeChosenInSaveDialogIsAStep();
    void closeAsksAboutUnsavedWork_data();
    void closeAsksAboutUnsavedWork();
    void closeDuringADragAsksAboutIt_data();
    void closeDuringADragAsksAboutIt();
    void openPackageAsksAboutUnsavedWork_data();
    void openPackageAsksAboutUnsavedWork();
    void unsavedQuestionOffersSaveDiscardAndCancel();
    void unsavedQuestionButtonsKeepTheirTextsAndTakeAltKeys();
    void packageStartsNewHistory();
    void saveDialogStartsInLastPackageFolder();
    void fileArgument_data();
    void fileArgument();

private:
    QAction* action(ui::MainWindow& window, const char* objectNameOrText);
    QString writePackage(const QString& name);
    QString blockedPath();
    // The questions about unsaved work; a new picture may also ask about detecting again.
    QList<PromptRecord> unsavedQuestions() const;
    // A shown, active window whose model holds a picture and 75 points, unmodified.
    void prepare(ui::MainWindow& window);

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<FakePrompts> prompts;
    std::unique_ptr<TempWorkspace> workspace;
};

void tst_MainWindowHistory::initTestCase()
{
    core::registerFacialPointVector();
}

void tst_MainWindowHistory::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
    prompts = std::make_unique<FakePrompts>();
    workspace = std::make_unique<TempWorkspace>();
    QVERIFY(workspace->isValid());
    // dragPoint maps fractions onto the whole view.
    workspace->useStretchedView();
}

void tst_MainWindowHistory::cleanup()
{
    workspace.reset();
    prompts.reset();
    dir.reset();
}

QAction* tst_MainWindowHistory::action(ui::MainWindow& window, const char* objectNameOrText)
{
    const QString wanted = QString::fromUtf8(objectNameOrText);
    const QList<QAction*> actions = window.findChildren<QAction*>();
    for (QAction* candidate : actions) {
        if (candidate->objectName() == wanted || candidate->text() == wanted) {
            return candidate;
        }
    }
    return nullptr;
}

QString tst_MainWindowHistory::writePackage(const QString& name)
{
    core::FaceMaskProject project;
    project.setName(name);
    project.facialPoints()->setImage(testimages::filled(32, 24, Qt::magenta));
    project.facialPoints()->setPoints(core::FacialPointVector(75, FacialPoint(0.25, 0.75)));
    const QString path = dir->filePath(name + QStringLiteral(".pmk"));
    return project.save(path) ? path : QString();
}

// A path no save can write, even as root: its parent is a regular file.
QString tst_MainWindowHistory::blockedPath()
{
    QFile blocker(dir->filePath(QStringLiteral("file")));
    if (!blocker.open(QIODevice::WriteOnly)) {
        return QString();
    }
    return dir->filePath(QStringLiteral("file/effect.pmk"));
}

QList<PromptRecord> tst_MainWindowHistory::unsavedQuestions() const
{
    QList<PromptRecord> result;
    const QList<PromptRecord> questions = prompts->ofKind(QStringLiteral("question"));
    for (const PromptRecord& question : questions) {
        if (question.title == QLatin1String("Unsaved changes")) {
            result.append(question);
        }
    }
    return result;
}

void tst_MainWindowHistory::prepare(ui::MainWindow& window)
{
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QApplication::setActiveWindow(&window);
    QVERIFY(QTest::qWaitForWindowActive(&window));
    core::FacialPoints* model = pointView(window)->facialPoints();
    model->setImage(testimages::filled(80, 60, Qt::darkGray));
    model->setPoints(gridPoints());
    QVERIFY(!window.isWindowModified());
}

void tst_MainWindowHistory::editMenuNamesTheSteps()
{
    ui::MainWindow window;
    prepare(window);
    QAction* undo = action(window, "undoAction");
    QAction* redo = action(window, "redoAction");
    QVERIFY(undo && redo);
    QVERIFY(!undo->isEnabled() && !redo->isEnabled());

    QMenuBar* menuBar = window.findChild<QMenuBar*>(QStringLiteral("menuBar"));
    QMenu* editMenu = menuBar->actions().at(1)->menu();
    QCOMPARE(menuBar->actions().at(1)->text(), QStringLiteral("&Edit"));
    QCOMPARE(editMenu->actions().mid(0, 2), (QList<QAction*>{undo, redo}));

    dragPoint(pointView(window), 37, QPoint(15, 10));
    QCOMPARE(undo->text(), QStringLiteral("Undo Move Point 37"));
    QVERIFY(undo->isEnabled());
    undo->trigger();
    QCOMPARE(redo->text(), QStringLiteral("Redo Move Point 37"));
    QCOMPARE(undo->text(), QStringLiteral("Undo"));
    QVERIFY(!undo->isEnabled());

    // A new picture is a step; the view's detection may follow as a step of its own.
    pointView(window)->setImage(testimages::filled(40, 40, Qt::cyan));
    QVERIFY2(undo->text() == QStringLiteral("Undo Replace Picture")
                 || undo->text() == QStringLiteral("Undo Detect Points"),
             qPrintable(undo->text()));
    QVERIFY2(!redo->isEnabled(), "a new step drops the steps that were undone");
}

void tst_MainWindowHistory::undoAndRedoKeys_data()
{
    QTest::addColumn<int>("redoKey");
    QTest::addColumn<int>("redoModifiers");
    QTest::newRow("ctrl-shift-z") << int(Qt::Key_Z) << int(Qt::ControlModifier | Qt::ShiftModifier);
    QTest::newRow("ctrl-y") << int(Qt::Key_Y) << int(Qt::ControlModifier);
}

void tst_MainWindowHistory::undoAndRedoKeys()
{
    QFETCH(int, redoKey);
    QFETCH(int, redoModifiers);
    ui::MainWindow window;
    prepare(window);
    core::FacialPoints* model = pointView(window)->facialPoints();
    const core::FacialPointVector start = model->points();
    dragPoint(pointView(window), 20, QPoint(-12, 9));
    const core::FacialPointVector dragged = model->points();
    QVERIFY(dragged != start);

    QTest::keyClick(&window, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(model->points(), start);
    QTest::keyClick(&window, Qt::Key(redoKey), Qt::KeyboardModifiers(redoModifiers));
    QCOMPARE(model->points(), dragged);
}

// Undo, Redo or Place Template pressed while a point is still held: the drag so far becomes its
// own step first, and the key acts after it; the rest of the drag moves nothing. Taking the steps
// back then ends exactly where the work was unmodified, with the title saying so, and not before.
void tst_MainWindowHistory::stepKeyDuringADragFinishesItFirst_data()
{
    QTest::addColumn<bool>("dragAndUndoFirst"); // an earlier drag, undone, so that Redo has a step
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    // "start" of the held drag, "held" where it was, "template", "mirrored" (its partner follows)
    QTest::addColumn<QString>("afterKey");
    QTest::addColumn<int>("undosToUnmodified");
    QTest::newRow("undo") << false << int(Qt::Key_Z) << int(Qt::ControlModifier) << "start" << 1;
    QTest::newRow("redo-ctrl-y") << true << int(Qt::Key_Y) << int(Qt::ControlModifier) << "held" << 1;
    QTest::newRow("redo-ctrl-shift-z") << true << int(Qt::Key_Z) << int(Qt::ControlModifier | Qt::ShiftModifier)
                                       << "held" << 1;
    QTest::newRow("place-template") << false << int(Qt::Key_T) << int(Qt::ControlModifier) << "template" << 2;
    QTest::newRow("mirror-selection") << false << int(Qt::Key_M) << int(Qt::ShiftModifier) << "mirrored" << 2;
}

void tst_MainWindowHistory::stepKeyDuringADragFinishesItFirst()
{
    QFETCH(bool, dragAndUndoFirst);
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(QString, afterKey);
    QFETCH(int, undosToUnmodified);
    ui::MainWindow window;
    prepare(window);
    ui::PointView* view = pointView(window);
    core::FacialPoints* model = view->facialPoints();
    const core::FacialPointVector unmodified = model->points();
    if (dragAndUndoFirst) {
        dragPoint(view, 20, QPoint(30, 0));
        QTest::keyClick(&window, Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(model->points(), unmodified);
    }
    // With "undo" the held drag follows a finished one, which the undo must leave in place.
    if (!dragAndUndoFirst && afterKey == QLatin1String("start")) {
        dragPoint(view, 20, QPoint(30, 0));
    }
    const core::FacialPointVector beforeHeld = model->points();
    const FacialPoint point = beforeHeld.at(20);
    const QPoint at(qRound(point.x() * view->width()), qRound(point.y() * view->height()));
    QTest::mousePress(view, Qt::LeftButton, Qt::NoModifier, at);
    testsupport::moveHeld(view, at + QPoint(10, 6));
    const core::FacialPointVector held = model->points();
    QVERIFY(held != beforeHeld);

    QTest::keyClick(&window, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    // Redo had nothing left once the drag became a step: the footer says nothing was redone.
    QVERIFY2(!window.findChild<QLabel*>(QStringLiteral("footerLabel"))->text().startsWith(QLatin1String("Redone")),
             "a redo that took no step was reported");
    const core::FacialPointVector expected = afterKey == QLatin1String("start") ? beforeHeld
                                             : afterKey == QLatin1String("held") ? held
                                             : afterKey == QLatin1String("mirrored")
                                                 ? core::mirror::mirrorSelection(held, {20}, model->image().size())
                                                 : core::templateFace(model->image().size());
    QVERIFY(afterKey != QLatin1String("mirrored") || expected != held);
    QCOMPARE(model->points(), expected);
    testsupport::moveHeld(view, at + QPoint(25, 12));
    QTest::mouseRelease(view, Qt::LeftButton, Qt::NoModifier, at + QPoint(25, 12));
    QCOMPARE(model->points(), expected);

    for (int i = 0; i < undosToUnmodified; ++i) {
        QVERIFY2(window.isWindowModified(), qPrintable(QStringLiteral("unmodified after %1 undos").arg(i)));
        QTest::keyClick(&window, Qt::Key_Z, Qt::ControlModifier);
    }
    QVERIFY(!window.isWindowModified());
    QCOMPARE(model->points(), unmodified);
}

void tst_MainWindowHistory::titleMarksUnsavedWork_data()
{
    // Steps: "drag", "undo", "redo", "open" (a package), "save" (through the dialog),
    // "template" (Edit -> Place Template), "save-line-break" (through the dialog, to a name with
    // a line break).
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("title");
    QTest::addColumn<bool>("modified");
    QTest::newRow("fresh") << QStringList{} << "Untitled[*] \u2014 facemask" << false;
    QTest::newRow("after-a-drag") << QStringList{"drag"} << "Untitled[*] \u2014 facemask" << true;
    QTest::newRow("undone-to-start") << QStringList{"drag", "undo"} << "Untitled[*] \u2014 facemask" << false;
    QTest::newRow("redone") << QStringList{"drag", "undo", "redo"} << "Untitled[*] \u2014 facemask" << true;
    QTest::newRow("opened-package") << QStringList{"open"} << "astronaut.pmk[*] \u2014 facemask" << false;
    QTest::newRow("edited-package") << QStringList{"open", "drag"} << "astronaut.pmk[*] \u2014 facemask" << true;
    QTest::newRow("saved") << QStringList{"drag", "save"} << "saved.pmk[*] \u2014 facemask" << false;
    QTest::newRow("edited-after-save") << QStringList{"drag", "save", "drag"} << "saved.pmk[*] \u2014 facemask" << true;
    QTest::newRow("undone-to-saved") << QStringList{"drag", "save", "drag", "undo"} << "saved.pmk[*] \u2014 facemask" << false;
    QTest::newRow("undone-past-saved") << QStringList{"drag", "save", "undo"} << "saved.pmk[*] \u2014 facemask" << true;
    QTest::newRow("template-placed") << QStringList{"template"} << "Untitled[*] \u2014 facemask" << true;
    QTest::newRow("template-placed-again-after-save")
        << QStringList{"template", "save", "template"} << "saved.pmk[*] \u2014 facemask" << false;
    QTest::newRow("saved-named-with-a-line-break")
        << QStringList{"drag", "save-line-break"} << "new\u21B5line.pmk[*] \u2014 facemask" << false;
    QTest::newRow("edited-named-with-a-line-break")
        << QStringList{"save-line-break", "drag"} << "new\u21B5line.pmk[*] \u2014 facemask" << true;
}

void tst_MainWindowHistory::titleMarksUnsavedWork()
{
    QFETCH(QStringList, steps);
    QFETCH(QString, title);
    QFETCH(bool, modified);
    ui::MainWindow window;
    prepare(window);
    SaveDialogDriver driver(prompts.get());
    for (const QString& step : steps) {
        if (step == QLatin1String("drag")) {
            dragPoint(pointView(window), 5, QPoint(10, 10));
        } else if (step == QLatin1String("undo")) {
            action(window, "undoAction")->trigger();
        } else if (step == QLatin1String("redo")) {
            action(window, "redoAction")->trigger();
        } else if (step == QLatin1String("open")) {
            prompts->fileNames.enqueue(writePackage(QStringLiteral("astronaut")));
            action(window, "Open PMK file")->trigger();
            // Packages are read on a worker.
            QTRY_VERIFY(window.windowTitle().startsWith(QLatin1String("astronaut.pmk")));
        } else if (step == QLatin1String("save")) {
            prompts->fileNames.enqueue(dir->filePath(QStringLiteral("saved")));
            action(window, "Save PMK File")->trigger();
            QVERIFY(QFile::exists(dir->filePath(QStringLiteral("saved.pmk"))));
        } else if (step == QLatin1String("save-line-break")) {
            prompts->fileNames.enqueue(dir->filePath(QStringLiteral("new\nline")));
            action(window, "Save PMK File")->trigger();
            QVERIFY(QFile::exists(dir->filePath(QStringLiteral("new\nline.pmk"))));
        } else if (step == QLatin1String("template")) {
            action(window, "placeTemplateAction")->trigger();
        }
    }
    QVERIFY2(prompts->ofKind(QStringLiteral("warning")).isEmpty(), "a step failed");
    QCOMPARE(window.windowTitle(), title);
    QCOMPARE(window.isWindowModified(), modified);
}

void tst_MainWindowHistory::titleShowsANameHoldingTheUnsavedMark_data()
{
    QTest::addColumn<bool>("editedAfter");
    QTest::addColumn<QString>("shown"); // the title bar's text
    QTest::newRow("saved") << false << "a[*]b.pmk \u2014 facemask";
    QTest::newRow("edited-after-saving") << true << "a[*]b.pmk* \u2014 facemask";
}

// "[*]" is where the title bar shows the unsaved mark: in a package's name it is a part of
// the name like any other.
void tst_MainWindowHistory::titleShowsANameHoldingTheUnsavedMark()
{
    QFETCH(bool, editedAfter);
    QFETCH(QString, shown);
    ui::MainWindow window;
    prepare(window);
    SaveDialogDriver driver(prompts.get());
    dragPoint(pointView(window), 5, QPoint(10, 10));
    prompts->fileNames.enqueue(dir->filePath(QStringLiteral("a[*]b.pmk")));
    action(window, "Save PMK File")->trigger();
    QVERIFY(QFile::exists(dir->filePath(QStringLiteral("a[*]b.pmk"))));
    if (editedAfter) {
        dragPoint(pointView(window), 5, QPoint(10, 10));
    }
    QVERIFY(window.windowHandle());
    QCOMPARE(window.windowHandle()->title(), shown);
}

void tst_MainWindowHistory::typeChosenInSaveDialogIsAStep_data()
{
    // Steps: "whole" (Edit -> Effect Type -> Whole image), "save-frame" (the save dialog with
    // "Full frame effect" chosen in it), "failed-save-frame" (the same, to a path no save can
    // write, then Cancel), "undo", "redo".
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("modified");
    QTest::newRow("saved") << QStringList{"save-frame"} << int(core::FullFrame) << false;
    QTest::newRow("undone") << QStringList{"save-frame", "undo"} << int(core::FaceOnly) << true;
    QTest::newRow("after-menu-step-undone") << QStringList{"whole", "save-frame", "undo"}
                                            << int(core::WholeImage) << true;
    QTest::newRow("after-menu-step-back-to-saved") << QStringList{"whole", "save-frame", "undo", "redo"}
                                                   << int(core::FullFrame) << false;
    QTest::newRow("after-menu-step-undone-twice") << QStringList{"whole", "save-frame", "undo", "undo"}
                                                  << int(core::FaceOnly) << true;
    QTest::newRow("failed-save") << QStringList{"failed-save-frame"} << int(core::FullFrame) << true;
    QTest::newRow("failed-save-undone") << QStringList{"failed-save-frame", "undo"} << int(core::FaceOnly)
                                        << false;
}

void tst_MainWindowHistory::typeChosenInSaveDialogIsAStep()
{
    QFETCH(QStringList, steps);
    QFETCH(int, type);
    QFETCH(bool, modified);
    ui::MainWindow window;
    prepare(window);
    QVERIFY(action(window, "Face only")->isChecked());
    // Chooses "Full frame effect" in the form, presses Save, and Cancel when the form stays.
    QPointer<ui::SavePMKForm> worked;
    QTimer pressSave;
    connect(&pressSave, &QTimer::timeout, this, [&worked] {
        auto* form = dynamic_cast<ui::SavePMKForm*>(QApplication::activeModalWidget());
        if (!form || form->isSaving()) {
            return;
        }
        if (form != worked) {
            worked = form;
            form->findChild<QAbstractButton*>(QStringLiteral("fullFrameButton"))->click();
            form->findChild<QPushButton*>(QStringLiteral("saveButton"))->click();
        } else {
            form->findChild<QPushButton*>(QStringLiteral("cancelButton"))->click();
        }
    });
    pressSave.start(10);
    for (const QString& step : steps) {
        if (step == QLatin1String("whole")) {
            action(window, "Whole image")->trigger();
        } else if (step == QLatin1String("undo")) {
            action(window, "undoAction")->trigger();
        } else if (step == QLatin1String("redo")) {
            action(window, "redoAction")->trigger();
        } else if (step == QLatin1String("save-frame")) {
            prompts->fileNames.enqueue(dir->filePath(QStringLiteral("saved")));
            action(window, "Save PMK File")->trigger();
            QVERIFY(QFile::exists(dir->filePath(QStringLiteral("saved.pmk"))));
        } else if (step == QLatin1String("failed-save-frame")) {
            prompts->fileNames.enqueue(blockedPath());
            action(window, "Save PMK File")->trigger();
            QCOMPARE(prompts->ofKind(QStringLiteral("warning")).size(), 1);
        }
    }
    const char* const names[] = {"Face only", "Whole image", "Full frame effect"};
    QVERIFY(action(window, names[type])->isChecked());
    QCOMPARE(window.isWindowModified(), modified);
    if (!modified && QFile::exists(dir->filePath(QStringLiteral("saved.pmk")))) {
        // Unchanged work is the saved package.
        core::FaceMaskProject saved;
        QVERIFY(saved.load(dir->filePath(QStringLiteral("saved.pmk"))));
        QCOMPARE(saved.effectType(), type);
    }
}

void tst_MainWindowHistory::closeAsksAboutUnsavedWork_data()
{
    QTest::addColumn<bool>("edited");
    QTest::addColumn<int>("answer");    // to the question
    QTest::addColumn<QString>("saveAs"); // "" cancels the file picker, "blocked" fails the save
    QTest::addColumn<bool>("byQuit");
    QTest::addColumn<bool>("closed");

    QTest::newRow("unchanged-closes-without-question") << false << int(QMessageBox::Cancel) << "" << false << true;
    QTest::newRow("discard-closes") << true << int(QMessageBox::Discard) << "" << false << true;
    QTest::newRow("cancel-stays") << true << int(QMessageBox::Cancel) << "" << false << false;
    QTest::newRow("save-closes-after-saving") << true << int(QMessageBox::Save) << "kept.pmk" << false << true;
    QTest::newRow("save-with-cancelled-picker-stays") << true << int(QMessageBox::Save) << "" << false << false;
    QTest::newRow("failed-save-stays") << true << int(QMessageBox::Save) << "blocked" << false << false;
    QTest::newRow("quit-asks-too-and-cancel-stays") << true << int(QMessageBox::Cancel) << "" << true << false;
    QTest::newRow("quit-with-discard-closes") << true << int(QMessageBox::Discard) << "" << true << true;
}

void tst_MainWindowHistory::closeAsksAboutUnsavedWork()
{
    QFETCH(bool, edited);
    QFETCH(int, answer);
    QFETCH(QString, saveAs);
    QFETCH(bool, byQuit);
    QFETCH(bool, closed);

    ui::MainWindow window;
    prepare(window);
    if (edited) {
        dragPoint(pointView(window), 60, QPoint(-8, 14));
    }
    const core::FacialPointVector work = pointView(window)->facialPoints()->points();
    prompts->answers.enqueue(QMessageBox::StandardButton(answer));
    QString savePath;
    if (saveAs == QLatin1String("blocked")) {
        savePath = blockedPath();
        QVERIFY(!savePath.isEmpty());
    } else if (!saveAs.isEmpty()) {
        savePath = dir->filePath(saveAs);
    }
    if (!savePath.isEmpty()) {
        prompts->fileNames.enqueue(savePath);
    }
    SaveDialogDriver driver(prompts.get());

    if (byQuit) {
        action(window, "Quit")->trigger();
        QTRY_VERIFY(!unsavedQuestions().isEmpty() || !window.isVisible());
    } else {
        window.close();
    }

    QCOMPARE(!window.isVisible(), closed);
    const QList<PromptRecord> questions = unsavedQuestions();
    QCOMPARE(questions.size(), edited ? 1 : 0);
    if (edited) {
        QCOMPARE(questions.at(0).title, QStringLiteral("Unsaved changes"));
        QCOMPARE(questions.at(0).text, QStringLiteral("Save the changes to the mask before closing?"));
        QCOMPARE(questions.at(0).defaultButton, QMessageBox::Save);
    }
    QCOMPARE(driver.dialogsSeen, answer == QMessageBox::Save && edited ? 1 : 0);
    if (saveAs == QLatin1String("kept.pmk")) {
        core::FaceMaskProject saved;
        QVERIFY2(saved.load(savePath), "the package written before closing does not load");
        QCOMPARE(saved.facialPoints()->points(), work);
    }
    if (saveAs == QLatin1String("blocked")) {
        QCOMPARE(prompts->ofKind(QStringLiteral("warning")).size(), 1);
        QVERIFY(window.isWindowModified());
    }
    if (!closed) {
        QCOMPARE(pointView(window)->facialPoints()->points(), work);
    }
}

void tst_MainWindowHistory::closeDuringADragAsksAboutIt_data()
{
    QTest::addColumn<bool>("byQuit");
    QTest::newRow("window-closed") << false;
    QTest::newRow("quit-key") << true;
}

// A point still held when the window closes (Ctrl+Q, the title bar's button) is work that the
// release would have made a step: unsaved, so the question comes, and Cancel keeps it as a step.
void tst_MainWindowHistory::closeDuringADragAsksAboutIt()
{
    QFETCH(bool, byQuit);
    ui::MainWindow window;
    prepare(window);
    ui::PointView* view = pointView(window);
    core::FacialPoints* model = view->facialPoints();
    const core::FacialPointVector unmodified = model->points();
    const FacialPoint point = unmodified.at(30);
    const QPoint at(qRound(point.x() * view->width()), qRound(point.y() * view->height()));
    QTest::mousePress(view, Qt::LeftButton, Qt::NoModifier, at);
    testsupport::moveHeld(view, at + QPoint(12, -7));
    const core::FacialPointVector held = model->points();
    QVERIFY(held != unmodified);
    prompts->answers.enqueue(QMessageBox::Cancel);

    if (byQuit) {
        QTest::keyClick(&window, Qt::Key_Q, Qt::ControlModifier);
        QTRY_VERIFY(!unsavedQuestions().isEmpty() || !window.isVisible());
    } else {
        window.close();
    }

    QVERIFY2(window.isVisible(), "the window closed without asking about the held point");
    QCOMPARE(unsavedQuestions().size(), 1);
    QCOMPARE(model->points(), held);
    QVERIFY(window.isWindowModified());
    QTest::keyClick(&window, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(model->points(), unmodified);
}

// Asked through the prompts the window was given, not the installed ones.
void tst_MainWindowHistory::unsavedQuestionOffersSaveDiscardAndCancel()
{
    FakePrompts windowPrompts(FakePrompts::NotInstalled);
    ui::MainWindow window(&windowPrompts);
    prepare(window);
    dragPoint(pointView(window), 60, QPoint(-8, 14));
    windowPrompts.answers.enqueue(QMessageBox::Cancel);
    window.close();
    QVERIFY2(window.isVisible(), "Cancel keeps the window open");

    const QList<PromptRecord> asked = windowPrompts.ofKind(QStringLiteral("question"));
    QCOMPARE(asked.size(), 1);
    QCOMPARE(asked.at(0).title, QStringLiteral("Unsaved changes"));
    QCOMPARE(asked.at(0).buttons,
             QMessageBox::StandardButtons(QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel));
    QCOMPARE(asked.at(0).defaultButton, QMessageBox::Save);
    QVERIFY2(prompts->records.isEmpty(), qPrintable(prompts->records.value(0).text));
}

// The real question box: "Save", "Discard" and "Cancel" as the user reads them, Save the default,
// and Alt+S and Alt+D as their keys; Alt+D discards and the window closes.
void tst_MainWindowHistory::unsavedQuestionButtonsKeepTheirTextsAndTakeAltKeys()
{
    ui::DialogPrompts dialogs;
    ui::MainWindow window(&dialogs);
    prepare(window);
    dragPoint(pointView(window), 60, QPoint(-8, 14));

    QString title;
    QStringList shown;       // the buttons' texts without their mnemonic marks, in box order
    QList<QKeySequence> keys; // Save's and Discard's mnemonics
    QString defaultText;
    bool closedByHand = false;
    QPointer<QMessageBox> seen;
    bool pressed = false;
    int ticks = 0;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) {
            return;
        }
        if (box != seen) {
            seen = box;
            title = box->windowTitle();
            for (QMessageBox::StandardButton which : {QMessageBox::Save, QMessageBox::Discard, QMessageBox::Cancel}) {
                QAbstractButton* button = box->button(which);
                shown << (button ? QString(button->text()).remove(QLatin1Char('&')) : QStringLiteral("<none>"));
                if (button && which != QMessageBox::Cancel) {
                    keys << QKeySequence::mnemonic(button->text());
                }
            }
            defaultText = box->defaultButton() ? QString(box->defaultButton()->text()).remove(QLatin1Char('&'))
                                               : QString();
        }
        // The keys reach the box once it is the active window.
        if (!pressed && QApplication::activeWindow() == box) {
            pressed = true;
            QTest::keyClick(box, Qt::Key_D, Qt::AltModifier);
            return;
        }
        // Unanswered after two seconds: closed, so that the test fails instead of hanging.
        if (++ticks > 200) {
            closedByHand = true;
            box->reject();
        }
    });
    poll.start(10);
    window.close();
    poll.stop();

    QCOMPARE(title, QStringLiteral("Unsaved changes"));
    QCOMPARE(shown, (QStringList{QStringLiteral("Save"), QStringLiteral("Discard"), QStringLiteral("Cancel")}));
    QCOMPARE(defaultText, QStringLiteral("Save"));
    QCOMPARE(keys, (QList<QKeySequence>{QKeySequence(Qt::ALT | Qt::Key_S), QKeySequence(Qt::ALT | Qt::Key_D)}));
    QVERIFY2(!closedByHand, "Alt+D did not answer the question");
    QVERIFY2(!window.isVisible(), "Discard closes the window");
}

void tst_MainWindowHistory::openPackageAsksAboutUnsavedWork_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<QString>("saveAs"); // "" cancels the file picker, "blocked" fails the save
    QTest::addColumn<bool>("opened");
    QTest::newRow("discard-opens") << int(QMessageBox::Discard) << "" << true;
    QTest::newRow("cancel-keeps-the-work") << int(QMessageBox::Cancel) << "" << false;
    QTest::newRow("save-then-open") << int(QMessageBox::Save) << "first.pmk" << true;
    QTest::newRow("failed-save-keeps-the-work") << int(QMessageBox::Save) << "blocked" << false;
    QTest::newRow("cancelled-save-keeps-the-work") << int(QMessageBox::Save) << "" << false;
}

void tst_MainWindowHistory::openPackageAsksAboutUnsavedWork()
{
    QFETCH(int, answer);
    QFETCH(QString, saveAs);
    QFETCH(bool, opened);

    const QString package = writePackage(QStringLiteral("other"));
    QVERIFY(!package.isEmpty());
    ui::MainWindow window;
    prepare(window);
    dragPoint(pointView(window), 3, QPoint(9, 9));
    core::FacialPoints* model = pointView(window)->facialPoints();
    const core::FacialPointVector work = model->points();
    prompts->answers.enqueue(QMessageBox::StandardButton(answer));
    if (saveAs == QLatin1String("blocked")) {
        prompts->fileNames.enqueue(blockedPath());
    } else if (!saveAs.isEmpty()) {
        prompts->fileNames.enqueue(dir->filePath(saveAs));
    }
    prompts->fileNames.enqueue(package); // for the package picker, if it comes
    SaveDialogDriver driver(prompts.get());
    if (saveAs.isEmpty() && answer == QMessageBox::Save) {
        // The save picker takes the package's name and is cancelled by the driver instead.
        prompts->fileNames.clear();
    }

    action(window, "Open PMK file")->trigger();
    if (opened) {
        QTRY_COMPARE(model->points(), core::FacialPointVector(75, FacialPoint(0.25, 0.75)));
    }

    const QList<PromptRecord> questions = unsavedQuestions();
    QCOMPARE(questions.size(), 1);
    QCOMPARE(questions.at(0).title, QStringLiteral("Unsaved changes"));
    QCOMPARE(questions.at(0).text,
             QStringLiteral("Save the changes to the mask before opening another package?"));
    QCOMPARE(prompts->ofKind(QStringLiteral("open")).size(), opened ? 1 : 0);
    QCOMPARE(model->count(), 75);
    if (opened) {
        QCOMPARE(model->points(), core::FacialPointVector(75, FacialPoint(0.25, 0.75)));
        QCOMPARE(window.windowTitle(), QStringLiteral("other.pmk[*] \u2014 facemask"));
        QVERIFY(!window.isWindowModified());
    } else {
        QCOMPARE(model->points(), work);
        QVERIFY(window.isWindowModified());
    }
    if (saveAs == QLatin1String("first.pmk")) {
        core::FaceMaskProject saved;
        QVERIFY(saved.load(dir->filePath(saveAs)));
        QCOMPARE(saved.facialPoints()->points(), work);
    }
}

void tst_MainWindowHistory::packageStartsNewHistory()
{
    ui::MainWindow window;
    prepare(window);
    dragPoint(pointView(window), 8, QPoint(6, 6));
    dragPoint(pointView(window), 9, QPoint(6, 6));
    action(window, "undoAction")->trigger();
    QVERIFY(action(window, "redoAction")->isEnabled());
    prompts->answers.enqueue(QMessageBox::Discard);
    prompts->fileNames.enqueue(writePackage(QStringLiteral("fresh")));

    action(window, "Open PMK file")->trigger();

    QTRY_VERIFY(window.windowTitle().startsWith(QLatin1String("fresh.pmk")));
    QCOMPARE(pointView(window)->facialPoints()->count(), 75);
    QVERIFY(!action(window, "undoAction")->isEnabled());
    QVERIFY(!action(window, "redoAction")->isEnabled());
    QCOMPARE(action(window, "undoAction")->text(), QStringLiteral("Undo"));
}

void tst_MainWindowHistory::saveDialogStartsInLastPackageFolder()
{
    ui::MainWindow window;
    prepare(window);
    SaveDialogDriver driver(prompts.get());
    // Before any package: the picker's default folder. After opening one: that package, in its
    // folder. After saving elsewhere: the package saved.
    action(window, "Save PMK File")->trigger();
    prompts->fileNames.enqueue(writePackage(QStringLiteral("opened")));
    action(window, "Open PMK file")->trigger();
    QTRY_VERIFY(window.windowTitle().startsWith(QLatin1String("opened.pmk")));
    action(window, "Save PMK File")->trigger();
    QVERIFY(QDir(dir->path()).mkdir(QStringLiteral("elsewhere")));
    prompts->fileNames.enqueue(dir->filePath(QStringLiteral("elsewhere/copy")));
    action(window, "Save PMK File")->trigger();
    action(window, "Save PMK File")->trigger();

    const QList<PromptRecord> saves = prompts->ofKind(QStringLiteral("save"));
    QCOMPARE(saves.size(), 4);
    QCOMPARE(saves.at(0).folder, QString());
    QCOMPARE(saves.at(1).folder, dir->filePath(QStringLiteral("opened.pmk")));
    QCOMPARE(saves.at(2).folder, dir->filePath(QStringLiteral("opened.pmk")));
    QCOMPARE(saves.at(3).folder, dir->filePath(QStringLiteral("elsewhere/copy.pmk")));
    QVERIFY(QFile::exists(dir->filePath(QStringLiteral("elsewhere/copy.pmk"))));
    QCOMPARE(window.windowTitle(), QStringLiteral("copy.pmk[*] \u2014 facemask"));
}

void tst_MainWindowHistory::fileArgument_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("editedBefore");
    QTest::addColumn<QString>("warningTitle"); // empty: the file opens
    QTest::addColumn<QString>("title");
    QTest::newRow("picture") << "picture" << false << "" << "Untitled[*] \u2014 facemask";
    QTest::newRow("picture-over-edited-work-asks-nothing") << "picture" << true << "" << "Untitled[*] \u2014 facemask";
    QTest::newRow("package") << "package" << false << "" << "argument.pmk[*] \u2014 facemask";
    QTest::newRow("package-with-upper-case-suffix") << "PACKAGE" << false << "" << "ARGUMENT.PMK[*] \u2014 facemask";
    QTest::newRow("damaged-package") << "damaged-package" << false << "Loading error" << "Untitled[*] \u2014 facemask";
    QTest::newRow("damaged-picture") << "damaged-picture" << false << "Error" << "Untitled[*] \u2014 facemask";
    QTest::newRow("missing-file") << "missing" << false << "Error" << "Untitled[*] \u2014 facemask";
}

void tst_MainWindowHistory::fileArgument()
{
    QFETCH(QString, kind);
    QFETCH(bool, editedBefore);
    QFETCH(QString, warningTitle);
    QFETCH(QString, title);

    QString path;
    if (kind == QLatin1String("picture")) {
        path = dir->filePath(QStringLiteral("face.png"));
        QVERIFY(testimages::filled(50, 40, Qt::blue).save(path));
    } else if (kind == QLatin1String("package")) {
        path = writePackage(QStringLiteral("argument"));
    } else if (kind == QLatin1String("PACKAGE")) {
        path = dir->filePath(QStringLiteral("ARGUMENT.PMK"));
        QVERIFY(QFile::rename(writePackage(QStringLiteral("argument")), path));
    } else if (kind == QLatin1String("damaged-package")) {
        const QString good = writePackage(QStringLiteral("damaged"));
        QFile file(good);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.resize(file.size() / 2));
        path = good;
    } else if (kind == QLatin1String("damaged-picture")) {
        path = dir->filePath(QStringLiteral("broken.jpg"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(testimages::encoded(testimages::filled(50, 40, Qt::red), "jpg").left(20));
    } else {
        path = dir->filePath(QStringLiteral("gone.png"));
    }
    QVERIFY(!path.isEmpty());

    ui::MainWindow window;
    prepare(window);
    core::FacialPoints* model = pointView(window)->facialPoints();
    if (editedBefore) {
        dragPoint(pointView(window), 1, QPoint(5, 5));
    }
    const QImage pictureBefore = model->image();

    window.openFile(path);
    // Files are read on a worker: wait for the picture to change or the message to come.
    QTRY_VERIFY(!prompts->ofKind(QStringLiteral("warning")).isEmpty()
                || model->image().cacheKey() != pictureBefore.cacheKey());

    QVERIFY2(unsavedQuestions().isEmpty(),
             "nothing was modified, or the new picture is an undoable step");
    QVERIFY2(prompts->ofKind(QStringLiteral("open")).isEmpty(), "a named file needs no picker");
    const QList<PromptRecord> warnings = prompts->ofKind(QStringLiteral("warning"));
    QCOMPARE(window.windowTitle(), title);
    if (!warningTitle.isEmpty()) {
        QCOMPARE(warnings.size(), 1);
        QCOMPARE(warnings.at(0).title, warningTitle);
        QCOMPARE(warnings.at(0).text.section(QLatin1Char('\n'), 0, 0), warningTitle == QLatin1String("Error")
                                          ? QStringLiteral("File \"%1\" was not load.").arg(path)
                                          : QStringLiteral("The PMK file was not load"));
        QCOMPARE(model->image(), pictureBefore);
        return;
    }
    QVERIFY(warnings.isEmpty());
    if (kind == QLatin1String("picture")) {
        QCOMPARE(model->image().size(), QSize(50, 40));
        QVERIFY(window.isWindowModified());
        // Undoing the new picture (and whatever detection followed) brings the old one back.
        QAction* undo = action(window, "undoAction");
        while (model->image().size() == QSize(50, 40) && undo->isEnabled()) {
            undo->trigger();
        }
        QCOMPARE(model->image(), pictureBefore);
    } else {
        QCOMPARE(model->image().size(), QSize(32, 24));
        QCOMPARE(model->count(), 75);
        QVERIFY(!window.isWindowModified());
    }
}

QTEST_MAIN(tst_MainWindowHistory)
#include "tst_mainwindow_history.moc"
