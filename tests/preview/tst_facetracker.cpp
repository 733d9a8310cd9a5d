#include "preview/facetracker.h"

#include <QPainter>
#include <QtTest>

#include <cmath>
#include <random>

using core::FacialPointVector;
using preview::FaceObservation;
using preview::FaceTracker;
using preview::FaceTrackerSettings;
using preview::TrackedFace;

namespace {

constexpr double frameTime = 1.0 / 30;

// A stand-in face: 75 points on a 15 x 5 grid over the lower part of a box of this size.
FaceObservation faceAt(double left, double top, double size, double wobble = 0)
{
    FaceObservation face;
    face.box = QRectF(left, top, size, size).toAlignedRect();
    for (int i = 0; i < 75; ++i) {
        const double x = left + size * (0.1 + 0.8 * (i % 15) / 14.0) + ((i % 2) ? wobble : -wobble);
        const double y = top + size * (0.3 + 0.6 * (i / 15) / 4.0);
        face.points.push_back(QPointF(x, y));
    }
    return face;
}

const TrackedFace* withId(const QVector<TrackedFace>& faces, int id)
{
    for (const TrackedFace& face : faces) {
        if (face.id == id) {
            return &face;
        }
    }
    return nullptr;
}

// A frame of 320 x 240 grey with a patch of 15-pixel blocks (levels of a fixed pattern) at left,
// 60: a stand-in for a face on a plain background. pattern 0 draws no patch.
QImage frameWithPatch(int left, int pattern)
{
    QImage frame(320, 240, QImage::Format_RGB888);
    frame.fill(QColor(90, 90, 90));
    if (pattern > 0) {
        QPainter painter(&frame);
        for (int by = 0; by < 8; ++by) {
            for (int bx = 0; bx < 8; ++bx) {
                const int level = (37 * (bx + 8 * by) * pattern + 11 * pattern) % 200 + 30;
                painter.fillRect(left + 15 * bx, 60 + 15 * by, 15, 15, QColor(level, level, level));
            }
        }
    }
    return frame;
}

double meanX(const FacialPointVector& points)
{
    double sum = 0;
    for (const QPointF& p : points) {
        sum += p.x();
    }
    return sum / points.size();
}


// Detection frames written as text: frames parted by ';', faces by ' ', each face "left,top,size"
// (faceAt()), with a trailing '!' for a face whose points cannot be predicted.
struct ScriptedFace {
    FaceObservation face;
    bool predictable = true;
};

QVector<QVector<ScriptedFace>> framesOf(const QString& script)
{
    QVector<QVector<ScriptedFace>> frames;
    for (const QString& frame : script.split(QLatin1Char(';'))) {
        QVector<ScriptedFace> faces;
        for (QString word : frame.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            const bool predictable = !word.endsWith(QLatin1Char('!'));
            word.remove(QLatin1Char('!'));
            const QStringList numbers = word.split(QLatin1Char(','));
            faces.append({faceAt(numbers.value(0).toInt(), numbers.value(1).toInt(), numbers.value(2).toInt()),
                          predictable});
        }
        frames.append(faces);
    }
    return frames;
}

// count faces in a row, left to right, each step apart, sizes from first by change.
QString rowOfFaces(int count, int step, int first, int change, int top = 0)
{
    QStringList faces;
    for (int i = 0; i < count; ++i) {
        faces.append(QStringLiteral("%1,%2,%3").arg(i * step).arg(top).arg(first + change * i));
    }
    return faces.join(QLatin1Char(' '));
}

// frames detection frames of crowds that drift, grow, shrink, come and go, with now and then a
// face that cannot be predicted; the same for the same seed.
QString randomCrowds(unsigned seed, int frames)
{
    std::mt19937 random(seed);
    const auto uniform = [&random](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    struct Face {
        int left, top, size;
    };
    QVector<Face> crowd;
    QStringList script;
    for (int frame = 0; frame < frames; ++frame) {
        QVector<Face> next;
        for (const Face& face : crowd) {
            if (uniform(0, 9) > 0) { // one in ten is not found again
                const int size = std::max(30, face.size + uniform(-8, 8));
                next.append({face.left + uniform(-20, 20), face.top + uniform(-20, 20), size});
            }
        }
        for (int fresh = uniform(0, 4); fresh > 0; --fresh) {
            next.append({uniform(0, 1600), uniform(0, 900), uniform(40, 200)});
        }
        crowd = next;
        QStringList faces;
        QVector<QRect> boxes;
        for (const Face& face : crowd) {
            const QRect box = faceAt(face.left, face.top, face.size).box;
            if (boxes.contains(box)) {
                continue; // each box names one face
            }
            boxes.append(box);
            faces.append(QStringLiteral("%1,%2,%3%4").arg(face.left).arg(face.top).arg(face.size)
                             .arg(uniform(0, 9) == 0 ? QStringLiteral("!") : QString()));
        }
        script.append(faces.join(QLatin1Char(' ')));
    }
    return script.join(QLatin1Char(';'));
}

} // namespace

class tst_FaceTracker : public QObject
{
    Q_OBJECT

private slots:
    void detectionSchedule_data();
    void detectionSchedule();
    void crossingFacesKeepTheirTracks();
    void followedBoxesMoveWithThePoints();
    void stillFaceKeepsTheBoxItWasFoundIn();
    void atMostEightFacesTheLargest();
    void muchLargerFaceTakesTheSmallestPlace_data();
    void muchLargerFaceTakesTheSmallestPlace();
    void lostFaceEndsItsTrack();
    void changedFaceBoxIsSearchedAnew_data();
    void changedFaceBoxIsSearchedAnew();
    void withoutSteadyPointsAreExact();
    void steadyDampsTrembleAndRestartsOnAJump();
    void boxesAloneKeepWhatPointsWouldKeep_data();
    void boxesAloneKeepWhatPointsWouldKeep();
};

void tst_FaceTracker::detectionSchedule_data()
{
    QTest::addColumn<int>("interval");
    QTest::addColumn<QString>("expected"); // D: detector runs, f: followed
    QTest::newRow("every-frame") << 1 << "DDDD";
    QTest::newRow("every-third") << 3 << "DffDffD";
    QTest::newRow("every-sixth") << 6 << "DfffffDf";
}

void tst_FaceTracker::detectionSchedule()
{
    QFETCH(int, interval);
    QFETCH(QString, expected);
    FaceTrackerSettings settings;
    settings.detectionInterval = interval;
    FaceTracker tracker(settings);
    QString got;
    for (int frame = 0; frame < expected.size(); ++frame) {
        const FaceObservation face = faceAt(100 + frame, 100, 120);
        if (tracker.detectionDue()) {
            got += QLatin1Char('D');
            tracker.detected({face}, frame * frameTime);
        } else {
            got += QLatin1Char('f');
            QCOMPARE(tracker.followBoxes().size(), 1);
            tracker.followed({face.points}, frame * frameTime);
        }
    }
    QCOMPARE(got, expected);
}

// Two faces pass each other, one a little lower; found on every frame in an order that swaps
// at random, each keeps the id it started with.
void tst_FaceTracker::crossingFacesKeepTheirTracks()
{
    FaceTrackerSettings settings;
    settings.detectionInterval = 1;
    settings.steady = false;
    FaceTracker tracker(settings);
    const QVector<TrackedFace>& first = tracker.detected({faceAt(0, 100, 120), faceAt(400, 150, 120)}, 0);
    QCOMPARE(first.size(), 2);
    const int leftId = first[0].id;
    const int rightId = first[1].id;
    QVERIFY(leftId != rightId);
    for (int frame = 1; frame <= 50; ++frame) {
        const FaceObservation goingRight = faceAt(8.0 * frame, 100, 120);
        const FaceObservation goingLeft = faceAt(400 - 8.0 * frame, 150, 120);
        const QVector<TrackedFace>& faces = (frame % 3)
                                                ? tracker.detected({goingRight, goingLeft}, frame * frameTime)
                                                : tracker.detected({goingLeft, goingRight}, frame * frameTime);
        QCOMPARE(faces.size(), 2);
        const TrackedFace* right = withId(faces, leftId);
        const TrackedFace* left = withId(faces, rightId);
        QVERIFY2(right && left, qPrintable(QStringLiteral("frame %1 lost a track").arg(frame)));
        QVERIFY2(std::abs(meanX(right->points) - meanX(goingRight.points)) < 1e-9,
                 qPrintable(QStringLiteral("frame %1: the tracks swapped").arg(frame)));
        QVERIFY(std::abs(meanX(left->points) - meanX(goingLeft.points)) < 1e-9);
    }
}

void tst_FaceTracker::followedBoxesMoveWithThePoints()
{
    FaceTracker tracker;
    tracker.detected({faceAt(100, 100, 120)}, 0);
    const QRect before = tracker.followBoxes().value(0);
    QCOMPARE(before, QRect(100, 100, 120, 120));
    tracker.followed({faceAt(130, 90, 120).points}, frameTime);
    const QRect after = tracker.followBoxes().value(0);
    QVERIFY2(std::abs(after.x() - 130) <= 1 && std::abs(after.y() - 90) <= 1,
             qPrintable(QStringLiteral("%1, %2").arg(after.x()).arg(after.y())));
    QVERIFY(std::abs(after.width() - 120) <= 1);
}

// Points that do not move give back the detector's box exactly, whatever its size and place,
// so that a face that stays still is looked for where it was found.
void tst_FaceTracker::stillFaceKeepsTheBoxItWasFoundIn()
{
    FaceTrackerSettings settings;
    settings.steady = false;
    for (int size = 40; size < 260; size += 3) {
        for (int left = 0; left < 300; left += 7) {
            const FaceObservation face = faceAt(left, 50, size);
            FaceTracker tracker(settings);
            tracker.detected({face}, 0);
            for (int frame = 1; frame < 4; ++frame) {
                tracker.followed({face.points}, frame * frameTime);
                QVERIFY2(tracker.followBoxes().value(0) == face.box,
                         qPrintable(QStringLiteral("a box of %1 at %2 became %3 wide at %4 on frame %5")
                                        .arg(size).arg(left).arg(tracker.followBoxes().value(0).width())
                                        .arg(tracker.followBoxes().value(0).x()).arg(frame)));
            }
        }
    }
}

void tst_FaceTracker::atMostEightFacesTheLargest()
{
    FaceTracker tracker;
    QVector<FaceObservation> found;
    for (int i = 0; i < 10; ++i) {
        found.append(faceAt(i * 130, 0, 50 + 5 * i)); // the first two are the smallest
    }
    const QVector<TrackedFace>& faces = tracker.detected(found, 0);
    QCOMPARE(faces.size(), 8);
    for (const TrackedFace& face : faces) {
        QVERIFY2(face.box.width() >= 60, qPrintable(QString::number(face.box.width())));
    }
}

// Eight faces are followed (60 to 95 px wide, one row); a ninth comes in. Faces of about one
// size keep their tracks, so that the mask does not jump between them; a face with twice the
// area of the smallest followed one or more (someone stepping up to the camera before a crowd)
// takes that one's place.
void tst_FaceTracker::muchLargerFaceTakesTheSmallestPlace_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("takesAPlace");
    QTest::newRow("as small as the smallest") << 60 << false;
    QTest::newRow("a little larger") << 80 << false;
    QTest::newRow("just under twice the area") << 84 << false;
    QTest::newRow("twice the area") << 85 << true;
    QTest::newRow("filling much of the frame") << 300 << true;
}

void tst_FaceTracker::muchLargerFaceTakesTheSmallestPlace()
{
    QFETCH(int, size);
    QFETCH(bool, takesAPlace);
    QVector<FaceObservation> crowd;
    for (int i = 0; i < 8; ++i) {
        crowd.append(faceAt(i * 110, 0, 95 - 5 * i)); // the last, at 770, the smallest
    }
    FaceTracker tracker;
    QVector<int> ids;
    for (const TrackedFace& face : tracker.detected(crowd, 0)) {
        ids.append(face.id);
    }
    QCOMPARE(ids.size(), 8);
    QVector<FaceObservation> found = crowd;
    found.prepend(faceAt(200, 200, size));
    for (int frame = 1; frame <= 3; ++frame) {
        const QVector<TrackedFace>& faces = tracker.detected(found, frame * frameTime);
        QCOMPARE(faces.size(), 8);
        bool newcomer = false;
        QVector<int> kept;
        for (const TrackedFace& face : faces) {
            newcomer = newcomer || face.box == found[0].box;
            if (ids.contains(face.id)) {
                kept.append(face.id);
            }
        }
        QCOMPARE(newcomer, takesAPlace);
        // The smallest gave its place up, the others kept theirs, from frame to frame.
        QCOMPARE(kept, takesAPlace ? ids.mid(0, 7) : ids);
    }
}

void tst_FaceTracker::lostFaceEndsItsTrack()
{
    FaceTracker tracker;
    const int firstId = tracker.detected({faceAt(0, 0, 100), faceAt(300, 0, 100)}, 0).value(0).id;
    const QVector<TrackedFace>& followed = tracker.followed({FacialPointVector(), faceAt(300, 0, 100).points}, frameTime);
    QCOMPARE(followed.size(), 1);
    QVERIFY(followed[0].id != firstId);
    QVERIFY(!tracker.detectionDue());
    tracker.followed({FacialPointVector()}, 2 * frameTime);
    QVERIFY(tracker.faces().isEmpty());
    QVERIFY(tracker.detectionDue());
    // Found again, the face is a new track.
    const int again = tracker.detected({faceAt(0, 0, 100)}, 3 * frameTime).value(0).id;
    QVERIFY(again != firstId);
}

// Between detections, a frame on which a followed face's box no longer shows what it showed (the
// face gone, a cut to another scene) goes through the detector; a face moving as faces move
// does not make it.
void tst_FaceTracker::changedFaceBoxIsSearchedAnew_data()
{
    QTest::addColumn<int>("step");      // pixels the patch moves per frame
    QTest::addColumn<int>("changeAt");  // the frame from which the scene is another (-1: none)
    QTest::addColumn<int>("nextPattern"); // the patch drawn from then on (0: none)
    QTest::addColumn<QString>("expected"); // D: detector runs, f: followed
    QTest::newRow("still") << 0 << -1 << 1 << "Dfffff";
    QTest::newRow("moving") << 4 << -1 << 1 << "Dfffff";
    QTest::newRow("face gone") << 0 << 3 << 0 << "DffDDD";
    QTest::newRow("cut to another face") << 0 << 3 << 2 << "DffDff";
    QTest::newRow("cut while moving") << 4 << 2 << 3 << "DfDfff";
}

void tst_FaceTracker::changedFaceBoxIsSearchedAnew()
{
    QFETCH(int, step);
    QFETCH(int, changeAt);
    QFETCH(int, nextPattern);
    QFETCH(QString, expected);
    FaceTrackerSettings settings;
    settings.detectionInterval = 6;
    FaceTracker tracker(settings);
    QString got;
    for (int frame = 0; frame < expected.size(); ++frame) {
        const bool changed = changeAt >= 0 && frame >= changeAt;
        const int left = changed ? 180 : 20 + step * frame;
        const int pattern = changed ? nextPattern : 1;
        const QImage picture = frameWithPatch(left, pattern);
        const FaceObservation face = faceAt(left, 60, 120);
        tracker.track(
            picture, frame * frameTime,
            [&] {
                got += QLatin1Char('D');
                return pattern > 0 ? QVector<FaceObservation>{face} : QVector<FaceObservation>();
            },
            [&](const QVector<QRect>& boxes) {
                got += QLatin1Char('f');
                return QVector<FacialPointVector>(boxes.size(), face.points);
            });
    }
    QCOMPARE(got, expected);
}

void tst_FaceTracker::withoutSteadyPointsAreExact()
{
    FaceTrackerSettings settings;
    settings.steady = false;
    FaceTracker tracker(settings);
    for (int frame = 0; frame < 12; ++frame) {
        const FaceObservation face = faceAt(100 + 3 * frame, 100, 120, (frame % 2) ? 1.5 : -1.5);
        const QVector<TrackedFace>& faces = tracker.detectionDue()
                                                ? tracker.detected({face}, frame * frameTime)
                                                : tracker.followed({face.points}, frame * frameTime);
        QCOMPARE(faces.size(), 1);
        QVERIFY(faces[0].points == face.points);
    }
}

void tst_FaceTracker::steadyDampsTrembleAndRestartsOnAJump()
{
    FaceTracker tracker;
    QVERIFY(tracker.isSteady());
    double rawTremble = 0, shownTremble = 0;
    FacialPointVector lastShown;
    int frame = 0;
    for (; frame < 60; ++frame) {
        const double wobble = (frame % 2) ? 1.0 : -1.0;
        const FaceObservation face = faceAt(200, 100, 120, wobble);
        const QVector<TrackedFace>& faces = tracker.detectionDue() ? tracker.detected({face}, frame * frameTime)
                                                                   : tracker.followed({face.points}, frame * frameTime);
        QCOMPARE(faces.size(), 1);
        if (frame > 10) {
            rawTremble += 2.0;
            shownTremble += std::abs(faces[0].points[1].x() - lastShown[1].x());
        }
        lastShown = faces[0].points;
    }
    QVERIFY2(shownTremble < 0.4 * rawTremble, qPrintable(QStringLiteral("%1 of %2").arg(shownTremble).arg(rawTremble)));
    // More than half the box's width in one frame: shown where observed, not dragged across.
    const FaceObservation jumped = faceAt(300, 100, 120);
    const QVector<TrackedFace>& faces = tracker.detectionDue() ? tracker.detected({jumped}, frame * frameTime)
                                                               : tracker.followed({jumped.points}, frame * frameTime);
    QCOMPARE(faces.size(), 1);
    QVERIFY(faces[0].points == jumped.points);
}

// Detection frames given as boxes, with the points asked for afterwards, against the same frames
// given with every face's points: the same faces followed, with the same ids, boxes and points,
// and points asked only for the faces followed (and for those that turn out to have none).
void tst_FaceTracker::boxesAloneKeepWhatPointsWouldKeep_data()
{
    QTest::addColumn<QString>("frames");
    QTest::addColumn<int>("followedLast"); // faces followed on the last frame (-1: not checked)
    QTest::addColumn<int>("askedLast");    // boxes whose points were asked for on it (-1: not checked)
    const QString eight = rowOfFaces(8, 110, 95, -5); // 95 to 60 px, the last the smallest
    QTest::newRow("ten faces at once: the eight largest") << rowOfFaces(10, 130, 50, 5) << 8 << 8;
    QTest::newRow("one face") << QStringLiteral("100,100,120") << 1 << 1;
    QTest::newRow("no face") << QStringLiteral("100,100,120;") << 0 << 0;
    QTest::newRow("eight followed, a face of twice the smallest's area comes")
        << eight + QLatin1Char(';') + eight + QStringLiteral(" 200,200,85") << 8 << 8;
    QTest::newRow("eight followed, a face just under twice the area comes")
        << eight + QLatin1Char(';') + eight + QStringLiteral(" 200,200,84") << 8 << 8;
    QTest::newRow("the largest of ten cannot be predicted: the ninth takes its place")
        << QStringLiteral("1170,0,95! ") + rowOfFaces(9, 130, 50, 5) << 8 << 9;
    QTest::newRow("a followed face cannot be predicted: the largest newcomer takes its place")
        << eight + QLatin1Char(';') + eight.section(QLatin1Char(' '), 0, 2) + QStringLiteral("! ")
               + eight.section(QLatin1Char(' '), 3) + QStringLiteral(" 100,300,50 300,300,55")
        << 8 << 9;
    QTest::newRow("the smallest followed face, which a newcomer replaces, cannot be predicted")
        << eight + QLatin1Char(';') + eight + QStringLiteral("! 200,200,150") << 8 << 8;
    QTest::newRow("two newcomers replace two followed faces, one of which cannot be predicted")
        << eight + QLatin1Char(';') + eight.section(QLatin1Char(' '), 0, 5) + QLatin1Char(' ')
               + eight.section(QLatin1Char(' '), 6, 6) + QStringLiteral("! ") + eight.section(QLatin1Char(' '), 7)
               + QStringLiteral(" 200,200,150 500,300,140")
        << 8 << 8;
    QTest::newRow("no face can be predicted") << QStringLiteral("0,0,100! 200,0,90!") << 0 << 2;
    QTest::newRow("followed faces move by just over half their width")
        << rowOfFaces(8, 200, 100, 0) + QLatin1Char(';') + rowOfFaces(8, 200, 100, 0, 52) << 8 << 8;
    QTest::newRow("twelve faces cross the frame") << [] {
        QStringList frames;
        for (int frame = 0; frame < 10; ++frame) {
            QStringList faces;
            for (int i = 0; i < 12; ++i) {
                faces.append(QStringLiteral("%1,%2,%3").arg(i * 120 + (i % 2 ? 15 : -15) * frame).arg(40 * (i % 3))
                                 .arg(60 + 4 * i));
            }
            frames.append(faces.join(QLatin1Char(' ')));
        }
        return frames.join(QLatin1Char(';'));
    }() << 8 << 8;
    QTest::newRow("random crowds, seed 1") << randomCrowds(1, 80) << -1 << -1;
    QTest::newRow("random crowds, seed 2") << randomCrowds(2, 80) << -1 << -1;
    QTest::newRow("random crowds, seed 3") << randomCrowds(3, 80) << -1 << -1;
}

void tst_FaceTracker::boxesAloneKeepWhatPointsWouldKeep()
{
    QFETCH(QString, frames);
    QFETCH(int, followedLast);
    QFETCH(int, askedLast);
    FaceTracker withPoints;
    FaceTracker withBoxes;
    const QVector<QVector<ScriptedFace>> script = framesOf(frames);
    int asked = 0;
    for (int frame = 0; frame < script.size(); ++frame) {
        const QVector<ScriptedFace>& faces = script[frame];
        QVector<FaceObservation> observed;
        QVector<QRect> boxes;
        for (const ScriptedFace& face : faces) {
            observed.append({face.face.box, face.predictable ? face.face.points : FacialPointVector()});
            boxes.append(face.face.box);
        }
        QVector<QRect> askedFor;
        const auto predictIn = [&](const QVector<QRect>& wanted) {
            QVector<FacialPointVector> points;
            for (const QRect& box : wanted) {
                askedFor.append(box);
                const int f = boxes.indexOf(box);
                points.append(f >= 0 ? observed[f].points : FacialPointVector());
            }
            return points;
        };
        const QVector<TrackedFace> expected = withPoints.detected(observed, frame * frameTime);
        const QVector<TrackedFace>& got = withBoxes.detected(boxes, frame * frameTime, predictIn);
        const QString where = QStringLiteral("frame %1").arg(frame);
        QVERIFY2(got.size() == expected.size(),
                 qPrintable(where + QStringLiteral(": %1 faces instead of %2").arg(got.size()).arg(expected.size())));
        for (int i = 0; i < got.size(); ++i) {
            QVERIFY2(got[i].id == expected[i].id && got[i].box == expected[i].box, qPrintable(where));
            QVERIFY2(got[i].points == expected[i].points, qPrintable(where + QStringLiteral(": other points")));
        }
        int followedAsked = 0;
        for (const QRect& box : askedFor) {
            QVERIFY2(askedFor.count(box) == 1, qPrintable(where + QStringLiteral(": a box asked for twice")));
            const ScriptedFace& face = faces[boxes.indexOf(box)];
            followedAsked += face.predictable ? 1 : 0;
            // On a detection frame, a followed face's box is the box it was found in.
            bool followed = false;
            for (const TrackedFace& shown : got) {
                followed = followed || shown.box == box;
            }
            QVERIFY2(followed || !face.predictable,
                     qPrintable(where + QStringLiteral(": points asked for a face not followed")));
        }
        QVERIFY2(followedAsked == got.size(), qPrintable(where));
        asked = askedFor.size();
    }
    if (followedLast >= 0) {
        QCOMPARE(withBoxes.faces().size(), followedLast);
    }
    if (askedLast >= 0) {
        QCOMPARE(asked, askedLast);
    }
}

QTEST_APPLESS_MAIN(tst_FaceTracker)
#include "tst_facetracker.moc"
