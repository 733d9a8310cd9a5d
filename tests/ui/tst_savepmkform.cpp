#include "core/facemaskproject.h"
#include "core/facialpoints.h"
#include "tests/support/busyworkers.h"
#include "tests/support/fakeprompts.h"
#include "tests/support/injectedfault.h"
#include "ui/savepmkform.h"
#include "tests/support/testimages.h"

#include <QApplication>
#include <QProgressDialog>
#include <QRegularExpression>
#include <QSemaphore>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QAccessible>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <random>

#include <signal.h>

#include <memory>

class tst_SavePMKForm : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void layout();
    void accessibleNames_data();
    void accessibleNames();
    void showsProjectType_data();
    void showsProjectType();
    void savesChosenTypeAndName_data();
    void savesChosenTypeAndName();
    void cancelledFileDialogChangesNothing();
    void failedSaveWarnsAndStaysOpen();
    void unfinishedSaveGivesTheKeysBack_data();
    void unfinishedSaveGivesTheKeysBack();
    void enterDuringTheSaveDoesNotStopIt_data();
    void enterDuringTheSaveDoesNotStopIt();
    void failingDiskKeepsTheEarlierPackage_data();
    void failingDiskKeepsTheEarlierPackage();
    void refusedNameSaysWhatToDo_data();
    void refusedNameSaysWhatToDo();
    void pictureTooLargeToReopenIsNotSaved();
    void tooFewPointsAreRefusedBeforeAnyFile_data();
    void tooFewPointsAreRefusedBeforeAnyFile();
    void cancelClosesWithoutTouchingProject();
    void saveWaitingForAWorkerIsGivenUpOnCancel();
    void savedPathHasDefaultSuffix_data();
    void savedPathHasDefaultSuffix();
    void windowRepaintsWhileSavingAndEditsDoNotReachThePackage();
    void progressCancelKeepsEarlierPackage_data();
    void progressCancelKeepsEarlierPackage();
    void formGoesBeforeItsProgressWindow();
    void textLengths_data();
    void textLengths();
    void pickerProposesThePackage();
    void asksThroughTheSessionItIsGiven();
    void interruptedSaveLeavesNoPartialFile_data();
    void interruptedSaveLeavesNoPartialFile();
    // Not a test of its own: the program interruptedSaveLeavesNoPartialFile starts and ends.
    void savesUntilEnded();

private:
    template <typename T> T* child(ui::SavePMKForm& form, const char* name)
    {
        return form.findChild<T*>(QLatin1String(name));
    }
    void fillProject(core::FaceMaskProject& project);

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<FakePrompts> prompts;
};

void tst_SavePMKForm::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
    prompts = std::make_unique<FakePrompts>();
}

void tst_SavePMKForm::cleanup()
{
    prompts.reset();
    dir.reset();
    QVERIFY2(QApplication::topLevelWidgets().isEmpty(), "a test left a window behind");
}

void tst_SavePMKForm::fillProject(core::FaceMaskProject& project)
{
    project.facialPoints()->setImage(testimages::filled(64, 48, Qt::darkCyan));
    project.facialPoints()->setPoints(core::FacialPointVector(75, FacialPoint(0.5, 0.25)));
}

void tst_SavePMKForm::layout()
{
    core::FaceMaskProject project;
    project.setName(QStringLiteral("Tiger"));
    ui::SavePMKForm form(&project);
    QVERIFY(form.isModal());

    QLineEdit* nameEdit = child<QLineEdit>(form, "nameEdit");
    QVERIFY(nameEdit);
    QCOMPARE(nameEdit->placeholderText(), QStringLiteral("Type effect name"));
    QCOMPARE(nameEdit->text(), QStringLiteral("Tiger"));

    const QList<QRadioButton*> radios = form.findChildren<QRadioButton*>();
    QStringList labels;
    for (QRadioButton* radio : radios) {
        labels << radio->text();
    }
    QCOMPARE(labels, (QStringList{"Face only", "Whole image", "Full frame effect"}));
    QCOMPARE(child<QPushButton>(form, "saveButton")->text(), QStringLiteral("Save"));
    QCOMPARE(child<QPushButton>(form, "cancelButton")->text(), QStringLiteral("Cancel"));

    // The buttons share the dialog as parent, which makes them exclusive.
    child<QRadioButton>(form, "fullFrameButton")->setChecked(true);
    QVERIFY(!child<QRadioButton>(form, "faceOnlyButton")->isChecked());
}

void tst_SavePMKForm::accessibleNames_data()
{
    // The fields are told by their grey placeholders alone, which go once a text is typed, and
    // the dialog has no title of its own: a screen reader has nothing else to say of them.
    QTest::addColumn<QString>("objectName");
    QTest::newRow("dialog") << QString();
    QTest::newRow("name") << "nameEdit";
    QTest::newRow("author") << "authorEdit";
}

void tst_SavePMKForm::accessibleNames()
{
    QFETCH(QString, objectName);
    core::FaceMaskProject project;
    project.setName(QStringLiteral("Tiger"));
    project.setAuthor(QStringLiteral("Ann"));
    ui::SavePMKForm form(&project);
    QWidget* widget = objectName.isEmpty() ? &form : form.findChild<QWidget*>(objectName);
    QVERIFY(widget);
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
    QVERIFY(accessible);
    const QString name = accessible->text(QAccessible::Name);
    QVERIFY2(!name.trimmed().isEmpty(), "a screen reader would say nothing but the control's kind");
    // Not the value typed into it, which the reader tells apart.
    QVERIFY(name != project.name() && name != project.author());
}

void tst_SavePMKForm::showsProjectType_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("checked");
    QTest::newRow("face-only") << 0 << "faceOnlyButton";
    QTest::newRow("whole-image") << 1 << "wholeImageButton";
    QTest::newRow("full-frame") << 2 << "fullFrameButton";
    QTest::newRow("unknown-5-shows-face-only") << 5 << "faceOnlyButton";
    QTest::newRow("negative-shows-face-only") << -1 << "faceOnlyButton";
}

void tst_SavePMKForm::showsProjectType()
{
    QFETCH(int, type);
    QFETCH(QString, checked);
    core::FaceMaskProject project;
    project.setEffectType(type);
    ui::SavePMKForm form(&project);
    QVERIFY(child<QRadioButton>(form, qPrintable(checked))->isChecked());
}

void tst_SavePMKForm::savesChosenTypeAndName_data()
{
    QTest::addColumn<int>("initialType");
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("savedType");
    QTest::newRow("type-5-saves-face-only") << 5 << "" << "Tiger" << 0;
    QTest::newRow("whole-image") << 0 << "wholeImageButton" << "Wide" << 1;
    QTest::newRow("full-frame") << 0 << "fullFrameButton" << "Frame" << 2;
    QTest::newRow("empty-name-is-kept") << 1 << "faceOnlyButton" << "" << 0;
    QTest::newRow("spaces-are-not-trimmed") << 0 << "" << "  Tiger  " << 0;
}

void tst_SavePMKForm::savesChosenTypeAndName()
{
    QFETCH(int, initialType);
    QFETCH(QString, button);
    QFETCH(QString, name);
    QFETCH(int, savedType);

    core::FaceMaskProject project;
    fillProject(project);
    project.setEffectType(initialType);
    ui::SavePMKForm form(&project);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    if (!button.isEmpty()) {
        child<QRadioButton>(form, qPrintable(button))->setChecked(true);
    }
    child<QLineEdit>(form, "nameEdit")->setText(name);
    const QString path = dir->filePath(QStringLiteral("effect.pmk"));
    prompts->fileNames.enqueue(path);

    QTest::mouseClick(child<QPushButton>(form, "saveButton"), Qt::LeftButton);
    QTRY_VERIFY2(!form.isVisible(), "a successful save closes the dialog");
    QCOMPARE(form.result(), int(QDialog::Accepted));

    QCOMPARE(prompts->ofKind(QStringLiteral("save")).size(), 1);
    QCOMPARE(prompts->ofKind(QStringLiteral("save")).at(0).text,
             QStringLiteral("PMK file (*.pmk);; All files (*.*)"));
    QVERIFY2(prompts->ofKind(QStringLiteral("warning")).isEmpty(), "the save failed");
    QVERIFY2(QFile::exists(path), "no package was written at the chosen path");
    QCOMPARE(project.effectType(), savedType);
    QCOMPARE(project.name(), name);
    QVERIFY2(!form.isVisible(), "a successful save closes the dialog");
}

void tst_SavePMKForm::cancelledFileDialogChangesNothing()
{
    core::FaceMaskProject project;
    fillProject(project);
    project.setName(QStringLiteral("Before"));
    project.setEffectType(1);
    ui::SavePMKForm form(&project);
    form.show();
    child<QRadioButton>(form, "fullFrameButton")->setChecked(true);
    child<QLineEdit>(form, "nameEdit")->setText(QStringLiteral("After"));

    QTest::mouseClick(child<QPushButton>(form, "saveButton"), Qt::LeftButton); // no file name queued

    QCOMPARE(project.name(), QStringLiteral("Before"));
    QCOMPARE(project.effectType(), 1);
    QVERIFY(form.isVisible());
    QVERIFY(prompts->ofKind(QStringLiteral("warning")).isEmpty());
    form.close();
}

// The package would be refused when opened again: the warning says why, no file appears.
void tst_SavePMKForm::pictureTooLargeToReopenIsNotSaved()
{
    core::FaceMaskProject project;
    fillProject(project);
    QImage huge(12000, 10001, QImage::Format_Mono);  // 120 megapixels in 15 MB
    QVERIFY(!huge.isNull());
    huge.fill(0);
    project.facialPoints()->setImage(huge);
    ui::SavePMKForm form(&project);
    form.show();
    child<QLineEdit>(form, "nameEdit")->setText(QStringLiteral("Huge"));
    const QString path = dir->filePath(QStringLiteral("huge.pmk"));
    prompts->fileNames.enqueue(path);

    QTest::mouseClick(child<QPushButton>(form, "saveButton"), Qt::LeftButton);
    QTRY_VERIFY(!form.isSaving());

    const QList<PromptRecord> warnings = prompts->ofKind(QStringLiteral("warning"));
    QCOMPARE(warnings.size(), 1);
    QCOMPARE(warnings.at(0).text,
             QStringLiteral("PMK file was not save.\n\nReason: picture larger than 120 megapixels."));
    QVERIFY(form.isVisible());
    QVERIFY(!QFileInfo::exists(path));
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden), QStringList());
}

void tst_SavePMKForm::failedSaveWarnsAndStaysOpen()
{
    core::FaceMaskProject project;
    fillProject(project);
    ui::SavePMKForm form(&project);
    form.show();
    child<QRadioButton>(form, "wholeImageButton")->setChecked(true);
    child<QLineEdit>(form, "nameEdit")->setText(QStringLiteral("Stored anyway"));
    // The parent of the target is a regular file, so the save fails even for root.
    QFile blocker(dir->filePath(QStringLiteral("file")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    prompts->fileNames.enqueue(dir->filePath(QStringLiteral("file/effect.pmk")));

    QTest::mouseClick(child<QPushButton>(form, "saveButton"), Qt::LeftButton);
    QTRY_VERIFY(!form.isSaving());

    const QList<PromptRecord> warnings = prompts->ofKind(QStringLiteral("warning"));
    QCOMPARE(warnings.size(), 1);
    QCOMPARE(warnings.at(0).title, QStringLiteral("Saving error"));
    QCOMPARE(warnings.at(0).text, QStringLiteral("PMK file was not save.\n\nReason: cannot create a file beside %1: %2.")
                                      .arg(dir->filePath(QStringLiteral("file/effect.pmk")),
                                           QString::fromLocal8Bit(std::strerror(ENOTDIR))));
    QVERIFY2(form.isVisible(), "the dialog stays open so that the user can try again");
    QVERIFY(form.savedPath().isEmpty());
    QCOMPARE(project.name(), QStringLiteral("Stored anyway"));
    QCOMPARE(project.effectType(), 1);

    QTest::mouseClick(child<QPushButton>(form, "cancelButton"), Qt::LeftButton);
    QVERIFY(!form.isVisible());
    QCOMPARE(project.name(), QStringLiteral("Stored anyway"));
}

void tst_SavePMKForm::unfinishedSaveGivesTheKeysBack_data()
{
    QTest::addColumn<QString>("from"); // the input that has the focus when the save starts
    QTest::addColumn<bool>("cancelled"); // by Escape while it runs; else it fails
    QTest::newRow("failed-from-name") << "nameEdit" << false;
    QTest::newRow("failed-from-author") << "authorEdit" << false;
    QTest::newRow("failed-from-save-button") << "saveButton" << false;
    QTest::newRow("cancelled-from-name") << "nameEdit" << true;
    QTest::newRow("cancelled-from-save-button") << "saveButton" << true;
}

// A save that failed or was stopped leaves the form open for another try: the keys go back to
// the input that had them, so Enter saves again rather than pressing Cancel, to which the focus
// passed while the inputs were greyed out.
void tst_SavePMKForm::unfinishedSaveGivesTheKeysBack()
{
    QFETCH(QString, from);
    QFETCH(bool, cancelled);
    core::FaceMaskProject project;
    fillProject(project);
    const ui::SavePMKForm::PackageWriter writer =
        [cancelled](const core::ProjectSnapshot&, const QString&, const std::function<void(int)>&,
                    const std::atomic_bool* cancel) {
            // Stopped: runs until told to stop (never beyond a minute, so that a failing test
            // cannot hang). Failed: at once.
            for (int waited = 0; cancelled && !cancel->load() && waited < 60000; waited += 5) {
                QThread::msleep(5);
            }
            return false;
        };
    ui::SavePMKForm form(&project, writer);
    form.show();
    QApplication::setActiveWindow(&form);
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QWidget* input = form.findChild<QWidget*>(from);
    QVERIFY(input);
    input->setFocus();
    QCOMPARE(QApplication::focusWidget(), input);
    prompts->fileNames.enqueue(dir->filePath(QStringLiteral("effect.pmk")));

    // Enter in a field presses the form's default button; Space presses the focused one.
    QTest::keyClick(input, qobject_cast<QPushButton*>(input) ? Qt::Key_Space : Qt::Key_Return);
    QCOMPARE(prompts->ofKind(QStringLiteral("save")).size(), 1);
    if (cancelled) {
        QVERIFY(form.isSaving());
        QTest::keyClick(&form, Qt::Key_Escape);
    }
    QTRY_VERIFY(!form.isSaving());
    QCOMPARE(prompts->ofKind(QStringLiteral("warning")).size(), cancelled ? 0 : 1);
    QVERIFY(form.isVisible());

    QVERIFY(QApplication::focusWidget());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QVERIFY2(form.isVisible(), "Enter closed the form");
    QCOMPARE(prompts->ofKind(QStringLiteral("save")).size(), 2); // the picker, cancelled this time
    QCOMPARE(QApplication::focusWidget(), input);
    form.close();
}

void tst_SavePMKForm::enterDuringTheSaveDoesNotStopIt_data()
{
    QTest::addColumn<bool>("inProgressWindow"); // else in the form, whose Cancel has the keys
    QTest::newRow("in-the-form") << false;
    QTest::newRow("in-the-progress-window") << true;
}

// Enter pressed twice (the second a moment after the picker closed) must not press the Cancel
// button that has the keys while the save runs: the save goes on and ends the form.
void tst_SavePMKForm::enterDuringTheSaveDoesNotStopIt()
{
    QFETCH(bool, inProgressWindow);
    core::FaceMaskProject project;
    fillProject(project);
    const auto started = std::make_shared<std::atomic_bool>(false);
    const auto release = std::make_shared<std::atomic_bool>(false);
    const auto stopped = std::make_shared<std::atomic_bool>(false);
    const ui::SavePMKForm::PackageWriter writer =
        [started, release, stopped](const core::ProjectSnapshot&, const QString&,
                                    const std::function<void(int)>&, const std::atomic_bool* cancel) {
            started->store(true);
            // Runs until released or told to stop, never beyond a minute.
            for (int waited = 0; !release->load() && !cancel->load() && waited < 60000; waited += 5) {
                QThread::msleep(5);
            }
            stopped->store(cancel->load());
            return !cancel->load();
        };
    ui::SavePMKForm form(&project, writer);
    form.show();
    QApplication::setActiveWindow(&form);
    QVERIFY(QTest::qWaitForWindowActive(&form));
    prompts->fileNames.enqueue(dir->filePath(QStringLiteral("effect.pmk")));
    QTest::keyClick(child<QLineEdit>(form, "nameEdit"), Qt::Key_Return);
    QVERIFY(form.isSaving());
    QTRY_VERIFY(started->load());

    QWidget* keys = QApplication::focusWidget();
    QCOMPARE(keys, child<QPushButton>(form, "cancelButton"));
    if (inProgressWindow) {
        QTRY_VERIFY(form.findChild<QProgressDialog*>(QStringLiteral("workProgressDialog")));
        keys = form.findChild<QProgressDialog*>(QStringLiteral("workProgressDialog"))->findChild<QPushButton*>();
        QVERIFY(keys);
    }
    QTest::keyClick(keys, Qt::Key_Return);
    release->store(true);

    QTRY_VERIFY(!form.isSaving());
    QVERIFY2(!stopped->load(), "Enter stopped the save");
    QCOMPARE(form.result(), int(QDialog::Accepted));
    QCOMPARE(form.savedPath(), dir->filePath(QStringLiteral("effect.pmk")));
}

void tst_SavePMKForm::failingDiskKeepsTheEarlierPackage_data()
{
    QTest::addColumn<QString>("fault"); // CALL:N:WHAT on the package's files
    QTest::addColumn<int>("error");     // 0: the save succeeds

    QTest::newRow("write EIO") << "write:1:EIO" << EIO;
    QTest::newRow("flush EIO") << "fsync:1:EIO" << EIO;
    QTest::newRow("rename EXDEV") << "rename:1:EXDEV" << EXDEV;
    QTest::newRow("rename EACCES") << "rename:1:EACCES" << EACCES;
    QTest::newRow("write EINTR") << "write:2:EINTR" << 0;
    QTest::newRow("short writes") << "write:1+:short" << 0;
}

// A stick or a share that fails a call of the save (the preloaded shim makes it fail) is told
// with the system's reason, and the earlier package stays whole with nothing left beside it.
void tst_SavePMKForm::failingDiskKeepsTheEarlierPackage()
{
    QFETCH(QString, fault);
    QFETCH(int, error);
    QVERIFY2(faultShimLoaded(), "run with the fault shim preloaded, as ctest does");
    core::FaceMaskProject project;
    fillProject(project);
    const QString path = dir->filePath(QStringLiteral("effect.pmk"));
    QVERIFY(project.save(path));
    const QByteArray earlier = [&] {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }();
    QVERIFY(!earlier.isEmpty());
    project.facialPoints()->setImage(testimages::filled(64, 48, Qt::darkRed));
    ui::SavePMKForm form(&project);
    form.show();
    prompts->fileNames.enqueue(path);
    {
        const QStringList parts = fault.split(QLatin1Char(':'));
        const InjectedFault injected(QStringList{parts[0], QStringLiteral("effect.pmk"), parts[1], parts[2]}
                                         .join(QLatin1Char(':')));
        QTest::mouseClick(child<QPushButton>(form, "saveButton"), Qt::LeftButton);
        QTRY_VERIFY(!form.isSaving());
    }
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("effect.pmk")});
    const QList<PromptRecord> warnings = prompts->ofKind(QStringLiteral("warning"));
    core::FaceMaskProject reopened;
    if (error == 0) {
        QCOMPARE(warnings.size(), 0);
        QCOMPARE(form.savedPath(), path);
        QVERIFY(reopened.load(path));
        QCOMPARE(reopened.facialPoints()->image().pixel(0, 0), QColor(Qt::darkRed).rgb());
        return;
    }
    QCOMPARE(warnings.size(), 1);
    const QString reason = QString::fromLocal8Bit(std::strerror(error));
    QVERIFY2(warnings.at(0).text.endsWith(QStringLiteral(": %1.").arg(reason)), qPrintable(warnings.at(0).text));
    QVERIFY(form.savedPath().isEmpty());
    QFile kept(path);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), earlier);
    QTest::mouseClick(child<QPushButton>(form, "cancelButton"), Qt::LeftButton);
}

void tst_SavePMKForm::refusedNameSaysWhatToDo_data()
{
    QTest::addColumn<QString>("name");  // in the test's folder
    QTest::addColumn<QString>("fault"); // the creation of the file beside it fails so; empty: none
    QTest::addColumn<QString>("reason");

    const QString refused = QStringLiteral("the drive refuses the name \"effect|1.pmk\" (USB sticks and memory "
                                           "cards take no : * ? \" < > | in a name): choose another name");
    QTest::newRow("exFAT through FUSE") << "effect|1.pmk" << "open:1.pmk:1:ENOENT" << refused;
    QTest::newRow("FAT in the kernel") << "effect|1.pmk" << "open:1.pmk:1:EINVAL" << refused;
    // No character to blame: the name is refused for its length or its end.
    QTest::newRow("no character to blame") << "effect.pmk" << "open:effect.pmk:1:ENOENT"
                                           << "the drive refuses the name \"effect.pmk\": choose another name";
    QTest::newRow("folder missing") << "gone/effect.pmk" << ""
                                    << "cannot create a file beside %1: " + QString::fromLocal8Bit(std::strerror(ENOENT));
}

// A name the folder's file system refuses (a stick's FAT or exFAT: "a:b.pmk") is told as such,
// not as a missing file, and nothing is left in the folder.
void tst_SavePMKForm::refusedNameSaysWhatToDo()
{
    QFETCH(QString, name);
    QFETCH(QString, fault);
    QFETCH(QString, reason);
    QVERIFY2(faultShimLoaded(), "run with the fault shim preloaded, as ctest does");
    core::FaceMaskProject project;
    fillProject(project);
    ui::SavePMKForm form(&project);
    form.show();
    const QString path = dir->filePath(name);
    prompts->fileNames.enqueue(path);
    {
        const InjectedFault injected(fault);
        QTest::mouseClick(child<QPushButton>(form, "saveButton"), Qt::LeftButton);
        QTRY_VERIFY(!form.isSaving());
    }
    const QList<PromptRecord> warnings = prompts->ofKind(QStringLiteral("warning"));
    QCOMPARE(warnings.size(), 1);
    const QString told = reason.contains(QLatin1String("%1")) ? reason.arg(path) : reason;
    QCOMPARE(warnings.at(0).text, QStringLiteral("PMK file was not save.\n\nReason: %1.").arg(told));
    QVERIFY(form.isVisible());
    QCOMPARE(QDir(dir->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
}

// The window hands its session in: the picker and the warnings of both the press of Save and
// the finished save go through it, never through the installed prompts.
void tst_SavePMKForm::asksThroughTheSessionItIsGiven()
{
    FakePrompts windowPrompts(FakePrompts::NotInstalled);
    ui::PromptSession session(&windowPrompts);
    core::FaceMaskProject project;
    fillProject(project);
    ui::SavePMKForm form(&project, {}, &session);
    form.show();

    // The picker is cancelled.
    QTest::mouseClick(child<QPushButton>(form, "saveButton"), Qt::LeftButton);
    QCOMPARE(windowPrompts.ofKind(QStringLiteral("save")).size(), 1);

    QFile blocker(dir->filePath(QStringLiteral("file")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    windowPrompts.fileNames.enqueue(dir->filePath(QStringLiteral("file/effect.pmk")));
    QTest::mouseClick(child<QPushButton>(form, "saveButton"), Qt::LeftButton);
    QTRY_VERIFY(!form.isSaving());
    QCOMPARE(windowPrompts.ofKind(QStringLiteral("save")).size(), 2);
    QCOMPARE(windowPrompts.ofKind(QStringLiteral("warning")).size(), 1);

    // Too few points: refused on the press itself.
    project.facialPoints()->setPoints(core::FacialPointVector(3, FacialPoint(0.5, 0.5)));
    QTest::mouseClick(child<QPushButton>(form, "saveButton"), Qt::LeftButton);
    QCOMPARE(windowPrompts.ofKind(QStringLiteral("warning")).size(), 2);
    QVERIFY2(prompts->records.isEmpty(), qPrintable(prompts->records.value(0).text));
    form.close();
}

void tst_SavePMKForm::cancelClosesWithoutTouchingProject()
{
    core::FaceMaskProject project;
    project.setName(QStringLiteral("Kept"));
    ui::SavePMKForm form(&project);
    form.show();
    child<QLineEdit>(form, "nameEdit")->setText(QStringLiteral("Typed"));
    child<QRadioButton>(form, "fullFrameButton")->setChecked(true);
    QTest::mouseClick(child<QPushButton>(form, "cancelButton"), Qt::LeftButton);
    QVERIFY(!form.isVisible());
    QCOMPARE(project.name(), QStringLiteral("Kept"));
    QCOMPARE(project.effectType(), 0);
    QVERIFY(prompts->records.isEmpty());
}

void tst_SavePMKForm::savedPathHasDefaultSuffix_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("written");
    QTest::newRow("bare-name-becomes-pmk") << "effect" << "effect.pmk";
    QTest::newRow("pmk-name-is-kept") << "effect.pmk" << "effect.pmk";
    QTest::newRow("other-extension-is-kept") << "effect.zip" << "effect.zip";
    QTest::newRow("spaced-name-becomes-pmk") << "my effect" << "my effect.pmk";
}

void tst_SavePMKForm::savedPathHasDefaultSuffix()
{
    QFETCH(QString, typed);
    QFETCH(QString, written);
    core::FaceMaskProject project;
    fillProject(project);
    ui::SavePMKForm form(&project);
    form.setFolder(dir->path());
    form.show();
    QSignalSpy accepted(&form, &QDialog::accepted);
    prompts->fileNames.enqueue(dir->filePath(typed));
    QVERIFY(form.savedPath().isEmpty());

    QTest::mouseClick(child<QPushButton>(form, "saveButton"), Qt::LeftButton);

    const QList<PromptRecord> saves = prompts->ofKind(QStringLiteral("save"));
    QCOMPARE(saves.size(), 1);
    QCOMPARE(saves.at(0).folder, dir->path());
    QCOMPARE(saves.at(0).defaultSuffix, QStringLiteral("pmk"));
    QTRY_COMPARE(accepted.count(), 1);
    QCOMPARE(form.result(), int(QDialog::Accepted));
    QCOMPARE(form.savedPath(), dir->filePath(written));
    QVERIFY2(QFile::exists(dir->filePath(written)), qPrintable(written));
    if (written != typed) {
        QVERIFY2(!QFile::exists(dir->filePath(typed)), "the bare name was written too");
    }
}

void tst_SavePMKForm::tooFewPointsAreRefusedBeforeAnyFile_data()
{
    QTest::addColumn<int>("pointCount");
    QTest::addColumn<bool>("hasPicture");
    QTest::addColumn<bool>("saved");
    QTest::newRow("no-picture") << 0 << false << false;
    QTest::newRow("no-points") << 0 << true << false;
    QTest::newRow("the-68-predicted-only") << 68 << true << false;
    QTest::newRow("one-short") << 74 << true << false;
    QTest::newRow("complete") << 75 << true << true;
    QTest::newRow("more-than-needed") << 80 << true << true;
}

void tst_SavePMKForm::tooFewPointsAreRefusedBeforeAnyFile()
{
    QFETCH(int, pointCount);
    QFETCH(bool, hasPicture);
    QFETCH(bool, saved);
    core::FaceMaskProject project;
    fillProject(project);
    if (!hasPicture) {
        project.facialPoints()->setImage(QImage());
    }
    project.facialPoints()->setPoints(core::FacialPointVector(size_t(pointCount), FacialPoint(0.5, 0.25)));
    project.setName(QStringLiteral("Before"));
    ui::SavePMKForm form(&project);
    form.show();
    child<QLineEdit>(form, "nameEdit")->setText(QStringLiteral("After"));
    const QString path = dir->filePath(QStringLiteral("effect.pmk"));
    prompts->fileNames.enqueue(path);

    QTest::mouseClick(child<QPushButton>(form, "saveButton"), Qt::LeftButton);
    QTRY_VERIFY(!form.isSaving());  // the package is written on a worker

    QCOMPARE(QFile::exists(path), saved);
    QCOMPARE(form.isVisible(), !saved);
    const QList<PromptRecord> warnings = prompts->ofKind(QStringLiteral("warning"));
    if (saved) {
        QVERIFY(warnings.isEmpty());
        return;
    }
    QCOMPARE(warnings.size(), 1);
    QCOMPARE(warnings.at(0).title, QStringLiteral("Saving error"));
    // The advice fits the project: a picture to open, or points to place on the one shown.
    const QString advice = hasPicture
        ? QStringLiteral("Press Ctrl+D to detect them, or Ctrl+T for a template to fit.")
        : QStringLiteral("Open or paste a picture to detect them, or open a complete PMK file.");
    QCOMPARE(warnings.at(0).text,
             QStringLiteral("The project has %1 points; a package needs 75. ").arg(pointCount) + advice);
    QVERIFY2(prompts->ofKind(QStringLiteral("save")).isEmpty(), "no file name may be asked for");
    QCOMPARE(project.name(), QStringLiteral("Before"));
    form.close();
}

namespace {

// A widget that counts how often it was painted, standing in for the main window.
class PaintCounter : public QWidget
{
public:
    int paints = 0;

protected:
    void paintEvent(QPaintEvent*) override { ++paints; }
};

// Holds the worker at the start of the save until released, so that the test knows the save
// is still running; never longer than a minute, so that a failing test cannot hang.
struct Gate {
    QSemaphore entered;
    QSemaphore released;
    ui::SavePMKForm::PackageWriter writer()
    {
        return [this](const core::ProjectSnapshot& snapshot, const QString& path,
                      const std::function<void(int)>& progress, const std::atomic_bool* cancel) {
            entered.release();
            released.tryAcquire(1, 60000);
            return core::savePackage(snapshot, path, progress, cancel);
        };
    }
};

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

void tst_SavePMKForm::windowRepaintsWhileSavingAndEditsDoNotReachThePackage()
{
    core::FaceMaskProject project;
    fillProject(project);
    PaintCounter window;
    window.resize(200, 100);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    Gate gate;
    ui::SavePMKForm form(&project, gate.writer());
    form.show();
    child<QLineEdit>(form, "nameEdit")->setText(QStringLiteral("Pressed"));
    const QString path = dir->filePath(QStringLiteral("astronaut.pmk"));
    prompts->fileNames.enqueue(path);
    QTest::mouseClick(child<QPushButton>(form, "saveButton"), Qt::LeftButton);
    QVERIFY2(gate.entered.tryAcquire(1, 30000), "the save must start on the worker");
    QVERIFY(form.isSaving());

    const int paintsBefore = window.paints;
    window.update();
    QTRY_VERIFY2(window.paints > paintsBefore, "the window must repaint while the save runs");
    QTRY_VERIFY2(shownProgressDialog(), "a progress dialog must appear while the save runs");
    // Above the dialog it belongs to, and centred on it.
    QCOMPARE(shownProgressDialog()->parentWidget(), &form);
    const QPoint offCentre = shownProgressDialog()->frameGeometry().center() - form.frameGeometry().center();
    QVERIFY2(offCentre.manhattanLength() <= 4, qPrintable(QStringLiteral("%1, %2").arg(offCentre.x()).arg(offCentre.y())));

    // Edits made while the worker writes must not reach the package.
    project.setName(QStringLiteral("Edited"));
    project.facialPoints()->setImage(testimages::filled(20, 10, Qt::red));
    project.facialPoints()->setPoint(FacialPoint(0.9, 0.9), 0);
    gate.released.release();
    QTRY_VERIFY2(!form.isVisible(), "a successful save closes the dialog");
    QCOMPARE(form.result(), int(QDialog::Accepted));
    QVERIFY(!shownProgressDialog());
    QVERIFY2(QRegularExpression(QStringLiteral("^Saved astronaut\\.pmk \\(\\d+ KB\\) in \\d+\\.\\d s$"))
                 .match(form.resultMessage())
                 .hasMatch(),
             qPrintable(form.resultMessage()));

    const core::PackageReading reading = core::readPackage(path);
    QVERIFY2(reading.result.ok, qPrintable(reading.result.reason));
    QCOMPARE(reading.snapshot.name, QStringLiteral("Pressed"));
    QCOMPARE(reading.snapshot.picture.size(), QSize(64, 48));
    QCOMPARE(reading.snapshot.points.at(0), FacialPoint(0.5, 0.25));
    QVERIFY(prompts->ofKind(QStringLiteral("warning")).isEmpty());
}

void tst_SavePMKForm::progressCancelKeepsEarlierPackage_data()
{
    QTest::addColumn<bool>("escape"); // else the Cancel button
    QTest::newRow("cancel button") << false;
    QTest::newRow("escape key") << true;
}

void tst_SavePMKForm::progressCancelKeepsEarlierPackage()
{
    QFETCH(bool, escape);
    core::FaceMaskProject project;
    fillProject(project);
    const QString path = dir->filePath(QStringLiteral("kept.pmk"));
    QVERIFY(project.save(path));
    QFile earlier(path);
    QVERIFY(earlier.open(QIODevice::ReadOnly));
    const QByteArray before = earlier.readAll();
    earlier.close();

    Gate gate;
    ui::SavePMKForm form(&project, gate.writer());
    form.show();
    prompts->fileNames.enqueue(path);
    QTest::mouseClick(child<QPushButton>(form, "saveButton"), Qt::LeftButton);
    QVERIFY(gate.entered.tryAcquire(1, 30000));
    QTRY_VERIFY(shownProgressDialog());
    if (escape) {
        QTest::keyClick(shownProgressDialog(), Qt::Key_Escape);
    } else {
        QTest::mouseClick(shownProgressDialog()->findChild<QPushButton*>(), Qt::LeftButton);
    }
    // The write cannot stop before the disk answers: the user sees that it is stopping.
    QTest::qWait(100);
    QProgressDialog* stopping = shownProgressDialog();
    QVERIFY2(stopping, "the progress went while the save was still running");
    QCOMPARE(stopping->labelText(), QStringLiteral("Cancelling\u2026"));
    QVERIFY(!stopping->findChild<QPushButton*>()->isEnabled());
    gate.released.release();
    QTRY_VERIFY(!form.isSaving());
    QVERIFY(!shownProgressDialog());

    QVERIFY2(form.isVisible(), "a cancelled save leaves the dialog open");
    QVERIFY2(prompts->ofKind(QStringLiteral("warning")).isEmpty(), "cancelling is no failure");
    QVERIFY(earlier.open(QIODevice::ReadOnly));
    QVERIFY2(earlier.readAll() == before, "a cancelled save leaves the earlier package");
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden), QStringList{"kept.pmk"});
    form.close();
    QVERIFY(!form.isVisible());
}

// A save long enough to show its progress window: that window has the keys when the package is
// written. The form goes first and the progress window last, so that the window manager hands
// the keys to the window beneath the form. In the other order it handed them to the form on its
// way out, and in most saves no window had them until the user clicked one.
void tst_SavePMKForm::formGoesBeforeItsProgressWindow()
{
    core::FaceMaskProject project;
    fillProject(project);
    Gate gate;
    ui::SavePMKForm form(&project, gate.writer());
    form.show();
    const QString path = dir->filePath(QStringLiteral("large.pmk"));
    prompts->fileNames.enqueue(path);
    QTest::mouseClick(child<QPushButton>(form, "saveButton"), Qt::LeftButton);
    QVERIFY(gate.entered.tryAcquire(1, 30000));
    QTRY_VERIFY(shownProgressDialog());
    QProgressDialog* progress = shownProgressDialog();
    bool formShownWhenProgressWent = false;
    connect(progress, &QObject::destroyed, this, [&] { formShownWhenProgressWent = form.isVisible(); });
    QSignalSpy gone(progress, &QObject::destroyed);
    gate.released.release();
    QTRY_COMPARE(gone.count(), 1);
    QCOMPARE(form.savedPath(), path);
    QVERIFY2(!formShownWhenProgressWent, "the progress window went before the form");
    QVERIFY(!form.isVisible());
}

// Every worker busy (reads that cannot be cancelled, say): the save waits in the queue. Cancel
// gives it up at once, so the form can be closed; when a worker comes free, nothing is written.
void tst_SavePMKForm::saveWaitingForAWorkerIsGivenUpOnCancel()
{
    core::FaceMaskProject project;
    fillProject(project);
    const QString path = dir->filePath(QStringLiteral("queued.pmk"));
    auto busy = std::make_unique<BusyWorkers>();
    ui::SavePMKForm form(&project);
    form.show();
    prompts->fileNames.enqueue(path);
    QTest::mouseClick(child<QPushButton>(form, "saveButton"), Qt::LeftButton);
    QVERIFY(form.isSaving());
    QTest::mouseClick(child<QPushButton>(form, "cancelButton"), Qt::LeftButton);
    QVERIFY2(!form.isSaving(), "the save waits for a worker after Cancel");
    QVERIFY(form.isVisible());
    QVERIFY(child<QPushButton>(form, "saveButton")->isEnabled());
    QTest::mouseClick(child<QPushButton>(form, "cancelButton"), Qt::LeftButton);
    QVERIFY(!form.isVisible());

    busy.reset();
    QVERIFY(QThreadPool::globalInstance()->waitForDone(60000));
    QCoreApplication::processEvents();
    QVERIFY(!QFile::exists(path));
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden), QStringList{});
    QVERIFY(prompts->ofKind(QStringLiteral("warning")).isEmpty());
}

void tst_SavePMKForm::textLengths_data()
{
    QTest::addColumn<int>("nameLength");
    QTest::addColumn<int>("authorLength");
    QTest::addColumn<QString>("refused");
    QTest::newRow("short") << 5 << 3 << QString();
    QTest::newRow("over-qlineedit-default") << 40003 << 3 << QString();
    QTest::newRow("at-the-limit") << ui::SavePMKForm::maximumTextLength << 3 << QString();
    QTest::newRow("name-one-over") << ui::SavePMKForm::maximumTextLength + 1 << 3 << "name";
    QTest::newRow("author-over") << 5 << 250000 << "author";
}

void tst_SavePMKForm::textLengths()
{
    QFETCH(int, nameLength);
    QFETCH(int, authorLength);
    QFETCH(QString, refused);
    core::FaceMaskProject project;
    fillProject(project);
    ui::SavePMKForm form(&project);
    form.show();
    const QString name(nameLength, QChar(0x00e9));
    const QString author(authorLength, QLatin1Char('a'));
    // As a paste puts it in: the whole text, never cut.
    child<QLineEdit>(form, "nameEdit")->clear();
    child<QLineEdit>(form, "nameEdit")->insert(name);
    child<QLineEdit>(form, "authorEdit")->clear();
    child<QLineEdit>(form, "authorEdit")->insert(author);
    QCOMPARE(child<QLineEdit>(form, "nameEdit")->text().size(), nameLength);
    const QString path = dir->filePath(QStringLiteral("long.pmk"));
    prompts->fileNames.enqueue(path);
    QTest::mouseClick(child<QPushButton>(form, "saveButton"), Qt::LeftButton);
    QTRY_VERIFY(!form.isSaving());
    const QList<PromptRecord> warnings = prompts->ofKind(QStringLiteral("warning"));
    if (!refused.isEmpty()) {
        QCOMPARE(warnings.size(), 1);
        QVERIFY2(warnings.first().text.startsWith(QStringLiteral("The %1 has %2 characters; a package takes at most 100000.")
                                                      .arg(refused)
                                                      .arg(refused == QLatin1String("name") ? nameLength : authorLength)),
                 qPrintable(warnings.first().text));
        QVERIFY(!QFile::exists(path));
        QVERIFY(prompts->ofKind(QStringLiteral("save")).isEmpty());
        QVERIFY(project.name().isEmpty());
        form.close();
        return;
    }
    QVERIFY(warnings.isEmpty());
    const core::PackageReading reading = core::readPackage(path);
    QVERIFY2(reading.result.ok, qPrintable(reading.result.reason));
    QCOMPARE(reading.snapshot.name, name);
    QCOMPARE(reading.snapshot.author, author);
}

void tst_SavePMKForm::pickerProposesThePackage()
{
    core::FaceMaskProject project;
    fillProject(project);
    ui::SavePMKForm form(&project);
    form.setFolder(dir->path());
    const QString earlier = dir->filePath(QStringLiteral("earlier.pmk"));
    form.setProposedFile(earlier);
    form.show();
    QTest::mouseClick(child<QPushButton>(form, "saveButton"), Qt::LeftButton); // picker cancelled
    const QList<PromptRecord> saves = prompts->ofKind(QStringLiteral("save"));
    QCOMPARE(saves.size(), 1);
    QCOMPARE(saves.first().folder, earlier);
    form.close();
}

namespace {
const char* const saveIntoVariable = "FACEMASK_TEST_SAVE_INTO";
}

void tst_SavePMKForm::interruptedSaveLeavesNoPartialFile_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("terminated") << int(SIGTERM);
    QTest::newRow("Ctrl+C") << int(SIGINT);
}

// A package is written under a partial name beside its target; a program ended meanwhile (the
// session logs out, Ctrl+C in its terminal) leaves no such file in the user's folder.
void tst_SavePMKForm::interruptedSaveLeavesNoPartialFile()
{
    QFETCH(int, signal);
    QProcess saver;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(saveIntoVariable), dir->path());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    saver.setProcessEnvironment(environment);
    saver.setProcessChannelMode(QProcess::ForwardedChannels);
    saver.start(QCoreApplication::applicationFilePath(), {QStringLiteral("savesUntilEnded")});
    QVERIFY(saver.waitForStarted());
    const auto partials = [this] {
        return QDir(dir->path()).entryList({QStringLiteral("*.pmk.*")}, QDir::Files | QDir::Hidden);
    };
    QTRY_VERIFY_WITH_TIMEOUT(!partials().isEmpty() || saver.state() == QProcess::NotRunning, 60000);
    if (saver.state() == QProcess::NotRunning) {
        QSKIP("every save ended before the test could end the program");
    }
    ::kill(pid_t(saver.processId()), signal);
    QVERIFY(saver.waitForFinished(60000));
    QCOMPARE(saver.exitStatus(), QProcess::CrashExit); // ended by the signal, as without the clean-up
    QVERIFY2(partials().isEmpty(), qPrintable(partials().join(QStringLiteral(", "))));
}

void tst_SavePMKForm::savesUntilEnded()
{
    const QString folder = qEnvironmentVariable(saveIntoVariable);
    if (folder.isEmpty()) {
        QSKIP("run by interruptedSaveLeavesNoPartialFile");
    }
    // The test library catches these signals itself; the program leaves them to their default.
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    // Noise compresses slowly: each save spends a while on its partial file.
    QImage picture(3000, 2000, QImage::Format_RGB32);
    std::mt19937 random(7);
    for (int y = 0; y < picture.height(); ++y) {
        auto* line = reinterpret_cast<quint32*>(picture.scanLine(y));
        for (int x = 0; x < picture.width(); ++x) {
            line[x] = 0xff000000u | (random() & 0xffffffu);
        }
    }
    core::FaceMaskProject project;
    project.facialPoints()->setImage(picture);
    project.facialPoints()->setPoints(core::FacialPointVector(75, FacialPoint(0.5, 0.25)));
    for (int save = 0; save < 20; ++save) {
        ui::SavePMKForm form(&project);
        form.show();
        prompts->fileNames.enqueue(QDir(folder).filePath(QStringLiteral("ended.pmk")));
        QTest::mouseClick(child<QPushButton>(form, "saveButton"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!form.isSaving(), 60000);
        QVERIFY(!form.savedPath().isEmpty());
    }
}

QTEST_MAIN(tst_SavePMKForm)
#include "tst_savepmkform.moc"
