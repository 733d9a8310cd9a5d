#include "facemaskproject.h"
#include "facialpoints.h"
#include "fakeprompts.h"
#include "savepmkform.h"
#include "testimages.h"

#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

class tst_SavePMKForm : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void layout();
    void showsProjectType_data();
    void showsProjectType();
    void savesChosenTypeAndName_data();
    void savesChosenTypeAndName();
    void cancelledFileDialogChangesNothing();
    void failedSaveWarnsAndStaysOpen();
    void tooFewPointsAreRefusedBeforeAnyFile_data();
    void tooFewPointsAreRefusedBeforeAnyFile();
    void cancelClosesWithoutTouchingProject();

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

    const QList<PromptRecord> warnings = prompts->ofKind(QStringLiteral("warning"));
    QCOMPARE(warnings.size(), 1);
    QCOMPARE(warnings.at(0).title, QStringLiteral("Saving error"));
    QCOMPARE(warnings.at(0).text, QStringLiteral("PMK file was not save."));
    QVERIFY2(form.isVisible(), "the dialog stays open so that the user can try again");
    QCOMPARE(project.name(), QStringLiteral("Stored anyway"));
    QCOMPARE(project.effectType(), 1);

    QTest::mouseClick(child<QPushButton>(form, "cancelButton"), Qt::LeftButton);
    QVERIFY(!form.isVisible());
    QCOMPARE(project.name(), QStringLiteral("Stored anyway"));
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

void tst_SavePMKForm::tooFewPointsAreRefusedBeforeAnyFile_data()
{
    QTest::addColumn<int>("pointCount");
    QTest::addColumn<bool>("saved");
    QTest::newRow("no-points") << 0 << false;
    QTest::newRow("the-68-predicted-only") << 68 << false;
    QTest::newRow("one-short") << 74 << false;
    QTest::newRow("complete") << 75 << true;
    QTest::newRow("more-than-needed") << 80 << true;
}

void tst_SavePMKForm::tooFewPointsAreRefusedBeforeAnyFile()
{
    QFETCH(int, pointCount);
    QFETCH(bool, saved);
    core::FaceMaskProject project;
    fillProject(project);
    project.facialPoints()->setPoints(core::FacialPointVector(size_t(pointCount), FacialPoint(0.5, 0.25)));
    project.setName(QStringLiteral("Before"));
    ui::SavePMKForm form(&project);
    form.show();
    child<QLineEdit>(form, "nameEdit")->setText(QStringLiteral("After"));
    const QString path = dir->filePath(QStringLiteral("effect.pmk"));
    prompts->fileNames.enqueue(path);

    QTest::mouseClick(child<QPushButton>(form, "saveButton"), Qt::LeftButton);

    QCOMPARE(QFile::exists(path), saved);
    QCOMPARE(form.isVisible(), !saved);
    const QList<PromptRecord> warnings = prompts->ofKind(QStringLiteral("warning"));
    if (saved) {
        QVERIFY(warnings.isEmpty());
        return;
    }
    QCOMPARE(warnings.size(), 1);
    QCOMPARE(warnings.at(0).title, QStringLiteral("Saving error"));
    QCOMPARE(warnings.at(0).text,
             QStringLiteral("The project has %1 points; a package needs 75. Open or paste a picture "
                            "to detect them, or open a complete PMK file.")
                 .arg(pointCount));
    QVERIFY2(prompts->ofKind(QStringLiteral("save")).isEmpty(), "no file name may be asked for");
    QCOMPARE(project.name(), QStringLiteral("Before"));
    form.close();
}

QTEST_MAIN(tst_SavePMKForm)
#include "tst_savepmkform.moc"
