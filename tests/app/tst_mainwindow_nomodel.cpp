// The window in a working directory without "shape_predictor.dat".
#include "core/facemaskproject.h"
#include "core/facialpoints.h"
#include "tests/support/fakeprompts.h"
#include "app/mainwindow.h"
#include "ui/pointview.h"
#include "tests/support/testimages.h"

#include <QAction>
#include <QFile>
#include <QLabel>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

// PointView has no meta-object of its own, so findChild cannot tell it from other widgets.
static ui::PointView* pointView(ui::MainWindow& window)
{
    return dynamic_cast<ui::PointView*>(window.findChild<QWidget*>(QStringLiteral("pointView")));
}

class tst_MainWindowWithoutModel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void missingModelIsReportedOnceAndDetectionStops();
    void packagesOpenWithoutModel();

private:
    QAction* action(ui::MainWindow& window, const QString& text);
};

void tst_MainWindowWithoutModel::initTestCase()
{
    core::registerFacialPointVector();
    QVERIFY2(!QFile::exists(QStringLiteral("shape_predictor.dat")),
             "this test must run in a folder without the landmark model");
}

QAction* tst_MainWindowWithoutModel::action(ui::MainWindow& window, const QString& text)
{
    const QList<QAction*> actions = window.findChildren<QAction*>();
    for (QAction* candidate : actions) {
        if (candidate->text() == text) {
            return candidate;
        }
    }
    return nullptr;
}

void tst_MainWindowWithoutModel::missingModelIsReportedOnceAndDetectionStops()
{
    FakePrompts prompts;
    ui::MainWindow window;
    auto* view = pointView(window);
    QVERIFY(view);
    core::FacialPoints* model = view->facialPoints();
    model->setPoints({FacialPoint(0.5, 0.5)});

    // The model is loaded on the first request only, so nothing is reported before a picture.
    QCoreApplication::processEvents();
    QVERIFY(prompts.records.isEmpty());

    prompts.answers.enqueue(QMessageBox::Yes);
    view->setImage(testimages::filled(50, 40, Qt::red));
    QTRY_COMPARE_WITH_TIMEOUT(prompts.ofKind(QStringLiteral("warning")).size(), 1, 10000);
    const PromptRecord warning = prompts.ofKind(QStringLiteral("warning")).at(0);
    QCOMPARE(warning.title, QStringLiteral("Error"));
    QCOMPARE(warning.text, QStringLiteral("Face detection module was not load"));
    QCOMPARE(prompts.ofKind(QStringLiteral("question")).size(), 1);
    // The detection queued behind the failed loading finds no model: the points the user agreed
    // to replace come back rather than being lost, and the footer says why.
    auto* footer = window.findChild<QLabel*>(QStringLiteral("footerLabel"));
    QVERIFY(footer);
    QTRY_COMPARE_WITH_TIMEOUT(footer->text(),
                              QStringLiteral("The landmark model could not be loaded: the previous points were kept."),
                              10000);
    QCOMPARE(model->points(), core::FacialPointVector{FacialPoint(0.5, 0.5)});

    // From now on pictures come in without a question, a detection or another message.
    model->setPoints({FacialPoint(0.25, 0.25)});
    QSignalSpy pointsUpdated(model, &core::FacialPoints::pointsUpdated);
    view->setImage(testimages::filled(60, 20, Qt::blue));
    QCoreApplication::processEvents();
    QCOMPARE(model->image().size(), QSize(60, 20));
    QCOMPARE(pointsUpdated.count(), 0);
    QCOMPARE(prompts.ofKind(QStringLiteral("question")).size(), 1);
    QCOMPARE(prompts.ofKind(QStringLiteral("warning")).size(), 1);

    // Place Points on Next Face says why no face is known, not to detect again.
    QAction* next = window.findChild<QAction*>(QStringLiteral("nextFaceAction"));
    QVERIFY(next);
    next->trigger();
    QCOMPARE(footer->text(), QStringLiteral("The faces of this picture cannot be looked for: the landmark "
                                            "model could not be loaded."));
}

void tst_MainWindowWithoutModel::packagesOpenWithoutModel()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("saved.pmk"));
    {
        core::FaceMaskProject project;
        project.facialPoints()->setImage(testimages::filled(30, 30, Qt::green));
        project.facialPoints()->setPoints(core::FacialPointVector(75, FacialPoint(0.5, 0.5)));
        QVERIFY(project.save(path));
    }
    FakePrompts prompts;
    prompts.fileNames.enqueue(path);
    ui::MainWindow window;
    action(window, QStringLiteral("Open PMK file"))->trigger();
    core::FacialPoints* model = pointView(window)->facialPoints();
    QTRY_COMPARE(model->count(), 75);  // read on a worker
    QCOMPARE(model->image().size(), QSize(30, 30));
    QVERIFY(prompts.ofKind(QStringLiteral("warning")).isEmpty());
}

QTEST_MAIN(tst_MainWindowWithoutModel)
#include "tst_mainwindow_nomodel.moc"
