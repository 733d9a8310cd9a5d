#include "core/facemaskproject.h"
#include "core/facialpoints.h"
#include "tools/pointcommands.h"

#include <QImage>
#include <QSignalSpy>
#include <QUndoStack>
#include <QtTest>

#include <memory>

using PointList = core::FacialPointVector;

namespace {

// 75 points that differ from each other and from anything a test moves them to.
PointList originalPoints(int count = 75)
{
    PointList points;
    for (int i = 0; i < count; ++i) {
        points.emplace_back(0.01 * i + 0.003, 0.9 - 0.011 * i);
    }
    return points;
}

QImage picture(int width, int height, Qt::GlobalColor colour)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

// FacialPoint's == is fuzzy; a step must bring back the very numbers it replaced.
QString differenceBetween(const PointList& actual, const PointList& expected)
{
    if (actual.size() != expected.size()) {
        return QStringLiteral("%1 points instead of %2").arg(actual.size()).arg(expected.size());
    }
    for (size_t i = 0; i < actual.size(); ++i) {
        if (actual[i].x() != expected[i].x() || actual[i].y() != expected[i].y()) {
            return QStringLiteral("point %1 is (%2, %3) instead of (%4, %5)")
                .arg(i)
                .arg(actual[i].x(), 0, 'g', 17)
                .arg(actual[i].y(), 0, 'g', 17)
                .arg(expected[i].x(), 0, 'g', 17)
                .arg(expected[i].y(), 0, 'g', 17);
        }
    }
    return QString();
}

#define COMPARE_POINTS(actual, expected)                                                          \
    do {                                                                                          \
        const QString difference = differenceBetween((actual), (expected));                      \
        QVERIFY2(difference.isEmpty(), qPrintable(difference));                                   \
    } while (false)

// Where the points of indices go: every moved point gets a value of its own.
PointList movedValues(const QVector<int>& indices)
{
    PointList values;
    for (int i = 0; i < indices.size(); ++i) {
        values.emplace_back(0.5 + 0.001 * i, 0.25 + 0.002 * i);
    }
    return values;
}

PointList valuesAt(const PointList& points, const QVector<int>& indices)
{
    PointList values;
    for (int index : indices) {
        values.push_back(index >= 0 && size_t(index) < points.size() ? points[size_t(index)]
                                                                     : FacialPoint(-1, -1));
    }
    return values;
}

PointList withMoved(PointList points, const QVector<int>& indices, const PointList& values)
{
    for (int i = 0; i < indices.size(); ++i) {
        if (indices[i] >= 0 && size_t(indices[i]) < points.size()) {
            points[size_t(indices[i])] = values[size_t(i)];
        }
    }
    return points;
}

QVector<int> range(int first, int count)
{
    QVector<int> indices;
    for (int i = 0; i < count; ++i) {
        indices.append(first + i);
    }
    return indices;
}

} // namespace

class tst_PointCommands : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void undoAndRedoRestoreExactly_data();
    void undoAndRedoRestoreExactly();
    void nudgesMerge_data();
    void nudgesMerge();
    void mismatchedListsUseTheCommonPart();
    void executeWithoutStackApplies_data();
    void executeWithoutStackApplies();
    void stepsAnnounceThroughModelSignals();
    void effectTypeStepUndoesAndAnnounces();
    void pictureRedoCallsBackOnlyWhenRedone();
    void historyKeepsPicturesWithinItsBudget_data();
    void historyKeepsPicturesWithinItsBudget();
};

void tst_PointCommands::initTestCase()
{
    core::registerFacialPointVector();
    qRegisterMetaType<FacialPoint>("FacialPoint");
}

void tst_PointCommands::undoAndRedoRestoreExactly_data()
{
    QTest::addColumn<QString>("kind"); // "move", "points" or "picture"
    QTest::addColumn<QVector<int>>("indices"); // move: the points moved
    QTest::addColumn<int>("afterCount");       // points, picture: how many points come after
    QTest::addColumn<bool>("alreadyApplied");
    QTest::addColumn<QString>("givenText");
    QTest::addColumn<QString>("text");

    QTest::newRow("drag-of-point-37") << "move" << QVector<int>{37} << 0 << true << "" << "Move Point 37";
    QTest::newRow("move-of-point-0-not-yet-applied") << "move" << QVector<int>{0} << 0 << false << "" << "Move Point 0";
    QTest::newRow("group-of-12") << "move" << range(3, 12) << 0 << true << "" << "Move 12 Points";
    QTest::newRow("scale-with-given-text") << "move" << range(60, 12) << 0 << false << "Scale 12 Points" << "Scale 12 Points";
    QTest::newRow("all-75-in-one-list") << "move" << range(0, 75) << 0 << true << "" << "Move 75 Points";
    QTest::newRow("unordered-indices") << "move" << QVector<int>{70, 2, 41} << 0 << false << "" << "Move 3 Points";
    QTest::newRow("index-past-the-end-is-ignored") << "move" << QVector<int>{5, 80} << 0 << false << "" << "Move 2 Points";
    QTest::newRow("negative-index-is-ignored") << "move" << QVector<int>{-1, 6} << 0 << false << "" << "Move 2 Points";
    QTest::newRow("detection-replaces-75") << "points" << QVector<int>{} << 75 << false << "Detect Points" << "Detect Points";
    QTest::newRow("detection-found-no-face") << "points" << QVector<int>{} << 0 << false << "Detect Points" << "Detect Points";
    QTest::newRow("placed-on-other-face-live") << "points" << QVector<int>{} << 75 << true << "Place Points on Face" << "Place Points on Face";
    QTest::newRow("picture-with-points-cleared") << "picture" << QVector<int>{} << 0 << true << "" << "Replace Picture";
    QTest::newRow("picture-keeping-points") << "picture" << QVector<int>{} << 75 << true << "" << "Replace Picture";
    QTest::newRow("picture-not-yet-applied") << "picture" << QVector<int>{} << 0 << false << "" << "Replace Picture";
}

void tst_PointCommands::undoAndRedoRestoreExactly()
{
    QFETCH(QString, kind);
    QFETCH(QVector<int>, indices);
    QFETCH(int, afterCount);
    QFETCH(bool, alreadyApplied);
    QFETCH(QString, givenText);
    QFETCH(QString, text);

    core::FacialPoints model;
    const QImage beforePicture = picture(40, 30, Qt::darkGreen);
    const PointList beforePoints = originalPoints();
    model.setImage(beforePicture);
    model.setPoints(beforePoints);

    QImage afterPicture = beforePicture;
    PointList afterPoints;
    std::unique_ptr<QUndoCommand> step;
    if (kind == QLatin1String("move")) {
        const PointList values = movedValues(indices);
        afterPoints = withMoved(beforePoints, indices, values);
        step = std::make_unique<tools::MovePointsCommand>(&model, indices, valuesAt(beforePoints, indices),
                                                          values, alreadyApplied, false, givenText);
    } else if (kind == QLatin1String("points")) {
        const PointList detected = originalPoints(afterCount);
        afterPoints = PointList(detected.rbegin(), detected.rend());
        step = std::make_unique<tools::ReplacePointsCommand>(&model, beforePoints, afterPoints, givenText,
                                                             alreadyApplied);
    } else {
        afterPicture = picture(64, 16, Qt::darkBlue);
        afterPoints = afterCount == 0 ? PointList() : beforePoints;
        step = std::make_unique<tools::ReplacePictureCommand>(&model, beforePicture, beforePoints,
                                                              afterPicture, afterPoints, alreadyApplied);
    }
    QCOMPARE(step->text(), text);
    if (alreadyApplied) {
        // As the caller of such a step does: the change is on screen before the step exists.
        model.setImage(afterPicture);
        model.setPoints(afterPoints);
    }

    QUndoStack stack;
    stack.push(step.release());
    QCOMPARE(stack.count(), 1);
    QCOMPARE(stack.undoText(), text);
    COMPARE_POINTS(model.points(), afterPoints);
    QCOMPARE(model.image(), afterPicture);

    for (int round = 0; round < 2; ++round) {
        stack.undo();
        COMPARE_POINTS(model.points(), beforePoints);
        QCOMPARE(model.image(), beforePicture);
        QCOMPARE(stack.redoText(), text);
        stack.redo();
        COMPARE_POINTS(model.points(), afterPoints);
        QCOMPARE(model.image(), afterPicture);
    }
}

void tst_PointCommands::nudgesMerge_data()
{
    // Each step moves its selection by 0.01 to the right; "*" marks a step that may merge.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<int>("expectedCount");

    QTest::newRow("three-nudges-of-one-point") << QStringList{"*4", "*4", "*4"} << 1;
    QTest::newRow("three-nudges-of-a-group") << QStringList{"*1,2,3", "*1,2,3", "*1,2,3"} << 1;
    QTest::newRow("new-selection-starts-a-new-step") << QStringList{"*4", "*4", "*5", "*5"} << 2;
    QTest::newRow("grown-selection-starts-a-new-step") << QStringList{"*1,2", "*1,2,3"} << 2;
    QTest::newRow("drag-between-nudges-separates-them") << QStringList{"*4", "4", "*4"} << 3;
    QTest::newRow("drags-never-merge") << QStringList{"4", "4"} << 2;
    QTest::newRow("back-to-the-first-selection") << QStringList{"*4", "*5", "*4"} << 3;
}

void tst_PointCommands::nudgesMerge()
{
    QFETCH(QStringList, steps);
    QFETCH(int, expectedCount);

    core::FacialPoints model;
    model.setPoints(originalPoints());
    QUndoStack stack;
    // The points after every step, to check each undo against.
    QVector<PointList> history{model.points()};
    QVector<int> stepEnds; // index into history where each stack entry ends
    QVector<int> previous;
    bool previousMergeable = false;
    for (const QString& step : steps) {
        const bool mergeable = step.startsWith(QLatin1Char('*'));
        QVector<int> indices;
        const QStringList numbers = step.mid(mergeable ? 1 : 0).split(QLatin1Char(','));
        for (const QString& number : numbers) {
            indices.append(number.toInt());
        }
        const PointList before = valuesAt(model.points(), indices);
        PointList after = before;
        for (FacialPoint& point : after) {
            point.rx() += 0.01;
        }
        stack.push(new tools::MovePointsCommand(&model, indices, before, after, false, mergeable));
        const bool merged = mergeable && previousMergeable && indices == previous;
        history.append(model.points());
        if (merged) {
            stepEnds.last() = history.size() - 1;
        } else {
            stepEnds.append(history.size() - 1);
        }
        previous = indices;
        previousMergeable = mergeable;
    }
    QCOMPARE(stack.count(), expectedCount);
    QCOMPARE(stepEnds.size(), expectedCount);

    // Each undo goes back to where the previous entry ended, the last to the start.
    for (int entry = expectedCount - 1; entry >= 0; --entry) {
        COMPARE_POINTS(model.points(), history[stepEnds[entry]]);
        stack.undo();
    }
    COMPARE_POINTS(model.points(), history.first());
    while (stack.canRedo()) {
        stack.redo();
    }
    COMPARE_POINTS(model.points(), history.last());
}

void tst_PointCommands::mismatchedListsUseTheCommonPart()
{
    core::FacialPoints model;
    const PointList start = originalPoints();
    model.setPoints(start);
    QUndoStack stack;
    // Three indices, two old values, one new value: only the first point can be moved.
    stack.push(new tools::MovePointsCommand(&model, {10, 11, 12}, {start[10], start[11]},
                                            {FacialPoint(0.5, 0.5)}, false));
    COMPARE_POINTS(model.points(), withMoved(start, {10}, {FacialPoint(0.5, 0.5)}));
    QCOMPARE(stack.undoText(), QStringLiteral("Move Point 10"));
    stack.undo();
    COMPARE_POINTS(model.points(), start);
}

void tst_PointCommands::executeWithoutStackApplies_data()
{
    QTest::addColumn<bool>("withStack");
    QTest::addColumn<bool>("alreadyApplied");
    QTest::addColumn<bool>("moved"); // the model shows the new value afterwards
    QTest::addColumn<int>("stackCount");
    QTest::newRow("no-stack-applies") << false << false << true << 0;
    QTest::newRow("no-stack-already-applied-changes-nothing") << false << true << false << 0;
    QTest::newRow("stack-applies-and-records") << true << false << true << 1;
}

void tst_PointCommands::executeWithoutStackApplies()
{
    QFETCH(bool, withStack);
    QFETCH(bool, alreadyApplied);
    QFETCH(bool, moved);
    QFETCH(int, stackCount);

    core::FacialPoints model;
    const PointList start = originalPoints();
    model.setPoints(start);
    QUndoStack stack;
    const FacialPoint target(0.75, 0.125);
    tools::execute(withStack ? &stack : nullptr,
                   std::make_unique<tools::MovePointsCommand>(&model, QVector<int>{2}, PointList{start[2]},
                                                              PointList{target}, alreadyApplied));
    COMPARE_POINTS(model.points(), moved ? withMoved(start, {2}, {target}) : start);
    QCOMPARE(stack.count(), stackCount);
    tools::execute(&stack, nullptr); // a missing step is no step
    QCOMPARE(stack.count(), stackCount);
}

// Views repaint from the model's signals, so undo must go through them.
void tst_PointCommands::stepsAnnounceThroughModelSignals()
{
    core::FacialPoints model;
    model.setImage(picture(8, 8, Qt::red));
    model.setPoints(originalPoints());
    QSignalSpy pointChanged(&model, &core::FacialPoints::pointChanged);
    QSignalSpy pointsUpdated(&model, &core::FacialPoints::pointsUpdated);
    QSignalSpy imageChanged(&model, &core::FacialPoints::imageChanged);
    QUndoStack stack;

    stack.push(new tools::MovePointsCommand(&model, {7}, {model.points()[7]}, {FacialPoint(0.5, 0.5)}, false));
    stack.undo();
    QCOMPARE(pointChanged.count(), 2);
    QCOMPARE(pointChanged.last().at(0).toInt(), 7);

    stack.push(new tools::ReplacePictureCommand(&model, model.image(), model.points(), picture(4, 4, Qt::blue),
                                                {}, false));
    stack.undo();
    QCOMPARE(imageChanged.count(), 2);
    QCOMPARE(pointsUpdated.count(), 2);
}

void tst_PointCommands::effectTypeStepUndoesAndAnnounces()
{
    core::FaceMaskProject project;
    QSignalSpy changed(&project, &core::FaceMaskProject::effectTypeChanged);
    QVERIFY(changed.isValid());
    QUndoStack stack;
    tools::execute(&stack, std::make_unique<tools::SetEffectTypeCommand>(&project, core::FaceOnly,
                                                                         core::FullFrame));
    QCOMPARE(project.effectType(), int(core::FullFrame));
    QCOMPARE(stack.undoText(), QStringLiteral("Change Effect Type"));
    stack.undo();
    QCOMPARE(project.effectType(), int(core::FaceOnly));
    stack.redo();
    QCOMPARE(project.effectType(), int(core::FullFrame));
    QCOMPARE(changed.count(), 3);
    QCOMPARE(changed.last().at(0).toInt(), int(core::FullFrame));
    // Setting the type it has announces nothing.
    project.setEffectType(core::FullFrame);
    QCOMPARE(changed.count(), 3);
}

void tst_PointCommands::pictureRedoCallsBackOnlyWhenRedone()
{
    core::FacialPoints model;
    const QImage before(4, 4, QImage::Format_RGB32);
    const QImage after(8, 8, QImage::Format_RGB32);
    model.setImage(after);
    auto step = std::make_unique<tools::ReplacePictureCommand>(&model, before, core::FacialPointVector{},
                                                               after, core::FacialPointVector{}, true);
    int calls = 0;
    QSize seen;
    step->setAfterRedo([&] {
        ++calls;
        seen = model.image().size();
    });
    QUndoStack stack;
    stack.push(step.release());
    QCOMPARE(calls, 0);
    stack.undo();
    QCOMPARE(calls, 0);
    stack.redo();
    QCOMPARE(calls, 1);
    QCOMPARE(seen, QSize(8, 8));
}

void tst_PointCommands::historyKeepsPicturesWithinItsBudget_data()
{
    QTest::addColumn<int>("pictures");       // replacements made, one after the other
    QTest::addColumn<int>("budget");         // in pictures of 10 x 10
    QTest::addColumn<int>("savedAfter");     // the replacement after which the work is saved; 0: never
    QTest::addColumn<int>("undosBeforeLast"); // steps undone before the last replacement
    QTest::addColumn<int>("steps");          // steps left in the history at the end
    QTest::addColumn<bool>("cleanAfterUndo"); // clean once the last replacement is undone
    QTest::newRow("within-budget-all-kept") << 5 << 10 << 0 << 0 << 5 << false;
    QTest::newRow("over-budget-newest-kept") << 5 << 3 << 0 << 0 << 1 << false;
    QTest::newRow("saved-just-before-the-last") << 5 << 3 << 4 << 0 << 1 << true;
    QTest::newRow("saved-then-replaced-stays-unsaved") << 5 << 3 << 3 << 0 << 1 << false;
    // The two undone steps go with the push: what stays fits.
    QTest::newRow("undone-steps-not-counted") << 4 << 4 << 0 << 2 << 2 << false;
}

void tst_PointCommands::historyKeepsPicturesWithinItsBudget()
{
    QFETCH(int, pictures);
    QFETCH(int, budget);
    QFETCH(int, savedAfter);
    QFETCH(int, undosBeforeLast);
    QFETCH(int, steps);
    QFETCH(bool, cleanAfterUndo);
    const qint64 pictureBytes = picture(10, 10, Qt::black).sizeInBytes();
    core::FacialPoints model;
    model.setImage(picture(10, 10, Qt::black));
    model.setPoints(originalPoints());
    QUndoStack stack;
    QImage previous;
    for (int k = 1; k <= pictures; ++k) {
        for (int undo = 0; k == pictures && undo < undosBeforeLast; ++undo) {
            stack.undo();
        }
        previous = model.image();
        const QImage next = picture(10, 10, Qt::GlobalColor(Qt::red + k));
        tools::makeRoomForPictures(stack, {previous, next}, budget * pictureBytes);
        stack.push(new tools::ReplacePictureCommand(&model, previous, model.points(), next, model.points(), false));
        // What is left never holds more than the budget, unless it is the one new step.
        QVERIFY2(tools::historyPictureBytes(stack) <= budget * pictureBytes || stack.count() == 1,
                 qPrintable(QStringLiteral("%1 bytes after picture %2").arg(tools::historyPictureBytes(stack)).arg(k)));
        if (k == savedAfter) {
            stack.setClean();
        }
    }
    QCOMPARE(stack.count(), steps);
    // Pictures shared by neighbouring steps are counted once.
    QCOMPARE(tools::historyPictureBytes(stack), (steps + 1) * pictureBytes);
    stack.undo();
    QCOMPARE(model.image(), previous);
    QCOMPARE(stack.isClean(), cleanAfterUndo);
}

QTEST_MAIN(tst_PointCommands)
#include "tst_pointcommands.moc"
