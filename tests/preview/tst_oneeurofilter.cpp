#include "preview/oneeurofilter.h"

#include <QtTest>

#include <cmath>
#include <random>

using core::FacialPointVector;
using preview::LandmarkFilter;
using preview::OneEuroSettings;
using preview::SteadySettings;

namespace {

constexpr double frameTime = 1.0 / 30;

FacialPointVector onePoint(double x, double y)
{
    return {QPointF(x, y)};
}

// How many frames the filtered x of a point moving at speed (pixels per second) trails the
// true one, once the filter has settled.
double lagInFrames(double speed, const OneEuroSettings& settings)
{
    SteadySettings steady;
    steady.pose = settings; // one point alone is filtered with the pose settings
    LandmarkFilter filter(steady);
    double x = 0;
    double filtered = 0;
    for (int frame = 0; frame < 120; ++frame) {
        x = speed * frame * frameTime;
        filtered = filter.filter(onePoint(x, 0), frame * frameTime)[0].x();
    }
    return (x - filtered) / (speed * frameTime);
}

} // namespace

class tst_OneEuroFilter : public QObject
{
    Q_OBJECT

private slots:
    void firstFramePassesThrough();
    void restartsWhen_data();
    void restartsWhen();
    void stillNoiseIsDamped();
    void rigidMotionIsFollowedClosely();
    void fastMotionLagsLessThanSlowMotion();
    void settlesOnAStoppedPoint();
};

void tst_OneEuroFilter::firstFramePassesThrough()
{
    LandmarkFilter filter;
    QVERIFY(filter.isFresh());
    const FacialPointVector points{QPointF(10.5, 20), QPointF(-3, 7.25)};
    QCOMPARE(filter.filter(points, 0.0), points);
    QVERIFY(!filter.isFresh());
}

void tst_OneEuroFilter::restartsWhen_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<double>("time");
    QTest::addColumn<bool>("resetFirst");
    QTest::newRow("time-stands-still") << 1 << 0.0 << false;
    QTest::newRow("time-runs-back") << 1 << -0.5 << false;
    QTest::newRow("point-count-changes") << 2 << frameTime << false;
    QTest::newRow("after-reset") << 1 << frameTime << true;
}

// Each of these frames cannot be related to the one before, so it is shown as observed.
void tst_OneEuroFilter::restartsWhen()
{
    QFETCH(int, count);
    QFETCH(double, time);
    QFETCH(bool, resetFirst);
    LandmarkFilter filter;
    filter.filter(onePoint(0, 0), 0.0);
    if (resetFirst) {
        filter.reset();
    }
    FacialPointVector jumped(std::size_t(count), QPointF(50, 40));
    QCOMPARE(filter.filter(jumped, time), jumped);
}

// A face-like ring of 30 points, each trembling on its own around a still place.
void tst_OneEuroFilter::stillNoiseIsDamped()
{
    std::mt19937 random(7);
    std::normal_distribution<double> noise(0.0, 1.0);
    LandmarkFilter filter;
    double rawStep = 0, filteredStep = 0;
    FacialPointVector lastRaw, lastFiltered;
    for (int frame = 0; frame < 300; ++frame) {
        FacialPointVector raw;
        for (int i = 0; i < 30; ++i) {
            raw.push_back(QPointF(200 + 60 * std::cos(i * 0.21) + noise(random), 150 + 80 * std::sin(i * 0.21) + noise(random)));
        }
        const FacialPointVector filtered = filter.filter(raw, frame * frameTime);
        QCOMPARE(filtered.size(), raw.size());
        if (frame > 30) {
            for (std::size_t i = 0; i < raw.size(); ++i) {
                rawStep += std::hypot(raw[i].x() - lastRaw[i].x(), raw[i].y() - lastRaw[i].y());
                filteredStep += std::hypot(filtered[i].x() - lastFiltered[i].x(), filtered[i].y() - lastFiltered[i].y());
            }
        }
        lastRaw = raw;
        lastFiltered = filtered;
    }
    QVERIFY2(filteredStep < 0.4 * rawStep, qPrintable(QStringLiteral("filtered %1, raw %2").arg(filteredStep).arg(rawStep)));
}

// The same ring moved, turned and scaled without tremble: every point follows within a frame,
// since the shape in the face's own frame does not change.
void tst_OneEuroFilter::rigidMotionIsFollowedClosely()
{
    LandmarkFilter filter;
    double worst = 0;
    for (int frame = 0; frame < 120; ++frame) {
        const double t = frame * frameTime;
        QTransform motion;
        motion.translate(300 + 90 * t, 200 + 20 * std::sin(3 * t));
        motion.rotate(10 * std::sin(2 * t));
        motion.scale(1 + 0.1 * t, 1 + 0.1 * t);
        FacialPointVector points;
        for (int i = 0; i < 30; ++i) {
            points.push_back(motion.map(QPointF(60 * std::cos(i * 0.21), 80 * std::sin(i * 0.21))));
        }
        const FacialPointVector filtered = filter.filter(points, t);
        if (frame > 15) {
            for (std::size_t i = 0; i < points.size(); ++i) {
                worst = std::max(worst, std::hypot(filtered[i].x() - points[i].x(), filtered[i].y() - points[i].y()));
            }
        }
    }
    // 90 pixels a second is 3 a frame.
    QVERIFY2(worst < 3.0, qPrintable(QString::number(worst)));
}

// The point of the filter: the cutoff rises with the speed, so a fast face is not left behind.
void tst_OneEuroFilter::fastMotionLagsLessThanSlowMotion()
{
    const OneEuroSettings settings;
    const double slow = lagInFrames(20, settings);
    const double fast = lagInFrames(300, settings);
    QVERIFY2(fast < 0.5 * slow, qPrintable(QStringLiteral("slow %1 frames, fast %2 frames").arg(slow).arg(fast)));
    QVERIFY2(fast > 0, qPrintable(QString::number(fast)));
    // Without beta the cutoff stays at its minimum, whatever the speed.
    OneEuroSettings fixed;
    fixed.beta = 0;
    QVERIFY(std::abs(lagInFrames(20, fixed) - lagInFrames(300, fixed)) < 0.01);
}

void tst_OneEuroFilter::settlesOnAStoppedPoint()
{
    LandmarkFilter filter{SteadySettings()};
    int frame = 0;
    for (; frame < 30; ++frame) {
        filter.filter(onePoint(frame * 5.0, 0), frame * frameTime);
    }
    QPointF last;
    for (int still = 0; still < 90; ++still, ++frame) {
        last = filter.filter(onePoint(145, 0), frame * frameTime)[0];
    }
    QVERIFY2(std::abs(last.x() - 145) < 0.05, qPrintable(QString::number(last.x())));
}

QTEST_APPLESS_MAIN(tst_OneEuroFilter)
#include "tst_oneeurofilter.moc"
