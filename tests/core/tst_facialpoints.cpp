#include "core/facialpoints.h"

#include <QSignalSpy>
#include <QtTest>

using core::FacialPoints;
using core::FacialPointVector;


class tst_FacialPoints : public QObject
{
    Q_OBJECT

private slots:
    void freshModelIsEmpty();
    void setImageAlwaysSignalsAndKeepsPoints();
    void setPointsAlwaysSignalsAndKeepsPicture();
    void setPointComparesFuzzily_data();
    void setPointComparesFuzzily();
    void setPointReportsOldAndNewPoint();
    void setPointIgnoresIndexOutsideList_data();
    void setPointIgnoresIndexOutsideList();
    void metaTypeIsRegisteredUnderItsName();
};

namespace {

// pointChanged carries its points under the type name FacialPoint, which is deliberately not a
// registered meta type, so QSignalSpy cannot copy them; a direct connection records them instead.
struct PointChange {
    int index;
    FacialPoint oldPoint;
    FacialPoint newPoint;
};

class PointChangeRecorder
{
public:
    explicit PointChangeRecorder(FacialPoints* model)
    {
        QObject::connect(model, &FacialPoints::pointChanged, &m_context,
                         [this](int index, const FacialPoint& oldPoint, const FacialPoint& newPoint) {
                             changes.push_back({index, oldPoint, newPoint});
                         });
    }
    std::vector<PointChange> changes;

private:
    QObject m_context;
};

QImage solidPicture(int width, int height, QColor colour)
{
    QImage picture(width, height, QImage::Format_RGB32);
    picture.fill(colour);
    return picture;
}

} // namespace

void tst_FacialPoints::freshModelIsEmpty()
{
    const FacialPoints model;
    QVERIFY2(model.image().isNull(), "a fresh model must hold no picture");
    QCOMPARE(model.count(), 0);
    QVERIFY2(model.points().empty(), "a fresh model must hold no points");
}

void tst_FacialPoints::setImageAlwaysSignalsAndKeepsPoints()
{
    FacialPoints model;
    const FacialPointVector points{{0.25, 0.5}, {0.75, 0.125}};
    model.setPoints(points);
    QSignalSpy imageSpy(&model, &FacialPoints::imageChanged);
    QSignalSpy pointsSpy(&model, &FacialPoints::pointsUpdated);

    const QImage picture = solidPicture(8, 6, Qt::red);
    model.setImage(picture);
    model.setImage(picture);

    QCOMPARE(imageSpy.count(), 2);
    QCOMPARE(pointsSpy.count(), 0);
    QCOMPARE(model.image(), picture);
    QVERIFY2(model.points() == points, "replacing the picture must keep the previous points");
    QCOMPARE(model.count(), 2);
}

void tst_FacialPoints::setPointsAlwaysSignalsAndKeepsPicture()
{
    FacialPoints model;
    const QImage picture = solidPicture(4, 4, Qt::blue);
    model.setImage(picture);
    QSignalSpy imageSpy(&model, &FacialPoints::imageChanged);
    QSignalSpy pointsSpy(&model, &FacialPoints::pointsUpdated);

    const FacialPointVector points{{0.1, 0.2}};
    model.setPoints(points);
    model.setPoints(points);

    QCOMPARE(pointsSpy.count(), 2);
    QCOMPARE(imageSpy.count(), 0);
    QCOMPARE(model.image().cacheKey(), picture.cacheKey());
    QCOMPARE(model.count(), 1);
}

void tst_FacialPoints::setPointComparesFuzzily_data()
{
    QTest::addColumn<FacialPoint>("stored");
    QTest::addColumn<FacialPoint>("proposed");
    QTest::addColumn<bool>("changes");

    QTest::newRow("identical-point-is-unchanged") << FacialPoint(0.5, 0.5) << FacialPoint(0.5, 0.5) << false;
    QTest::newRow("x-differs-by-1e-14-relative-is-unchanged")
        << FacialPoint(0.5, 0.5) << FacialPoint(0.5 + 1e-14, 0.5) << false;
    QTest::newRow("y-differs-by-1e-14-relative-is-unchanged")
        << FacialPoint(0.5, 0.5) << FacialPoint(0.5, 0.5 + 1e-14) << false;
    QTest::newRow("x-differs-by-1e-11-relative-changes")
        << FacialPoint(0.5, 0.5) << FacialPoint(0.5 + 1e-11, 0.5) << true;
    QTest::newRow("stored-zero-new-1e-13-is-unchanged")
        << FacialPoint(0.0, 0.5) << FacialPoint(1e-13, 0.5) << false;
    QTest::newRow("stored-zero-new-1e-11-changes")
        << FacialPoint(0.0, 0.5) << FacialPoint(1e-11, 0.5) << true;
    QTest::newRow("new-zero-stored-1e-13-is-unchanged")
        << FacialPoint(0.5, 1e-13) << FacialPoint(0.5, 0.0) << false;
    QTest::newRow("tiny-nonzero-values-compare-relatively")
        << FacialPoint(1e-13, 0.5) << FacialPoint(2e-13, 0.5) << true;
    QTest::newRow("sign-change-changes") << FacialPoint(0.25, 0.5) << FacialPoint(-0.25, 0.5) << true;
}

void tst_FacialPoints::setPointComparesFuzzily()
{
    QFETCH(FacialPoint, stored);
    QFETCH(FacialPoint, proposed);
    QFETCH(bool, changes);

    FacialPoints model;
    model.setPoints({{0.9, 0.9}, stored});
    PointChangeRecorder recorder(&model);
    model.setPoint(proposed, 1);

    QCOMPARE(int(recorder.changes.size()), changes ? 1 : 0);
    const FacialPoint kept = model.points()[1];
    const FacialPoint expected = changes ? proposed : stored;
    QVERIFY2(kept.x() == expected.x() && kept.y() == expected.y(),
             "an unchanged point must keep its stored value exactly, a changed one the new value");
    QCOMPARE(model.points()[0], FacialPoint(0.9, 0.9));
}

void tst_FacialPoints::setPointReportsOldAndNewPoint()
{
    FacialPoints model;
    model.setPoints({{0.1, 0.1}, {0.2, 0.2}, {0.3, 0.3}});
    PointChangeRecorder recorder(&model);
    QSignalSpy updated(&model, &FacialPoints::pointsUpdated);

    model.setPoint(FacialPoint(0.6, 0.7), 2);

    QCOMPARE(int(recorder.changes.size()), 1);
    QCOMPARE(updated.count(), 0);
    QCOMPARE(recorder.changes[0].index, 2);
    QCOMPARE(recorder.changes[0].oldPoint, FacialPoint(0.3, 0.3));
    QCOMPARE(recorder.changes[0].newPoint, FacialPoint(0.6, 0.7));
    QCOMPARE(model.points()[2], FacialPoint(0.6, 0.7));
}

void tst_FacialPoints::setPointIgnoresIndexOutsideList_data()
{
    QTest::addColumn<int>("index");
    QTest::newRow("negative-index-is-ignored") << -1;
    QTest::newRow("index-equal-to-count-is-ignored") << 2;
    QTest::newRow("far-index-is-ignored") << 1000;
}

void tst_FacialPoints::setPointIgnoresIndexOutsideList()
{
    QFETCH(int, index);
    FacialPoints model;
    const FacialPointVector points{{0.1, 0.2}, {0.3, 0.4}};
    model.setPoints(points);
    PointChangeRecorder recorder(&model);

    model.setPoint(FacialPoint(0.5, 0.5), index);

    QVERIFY2(recorder.changes.empty(), "an ignored call must not signal");
    QVERIFY2(model.points() == points, "an index outside the list must not change any point");
}

void tst_FacialPoints::metaTypeIsRegisteredUnderItsName()
{
    core::registerFacialPointVector();
    const int id = QMetaType::type("core::FacialPointVector");
    QVERIFY2(id != QMetaType::UnknownType, "the vector must be known by its exact name");
    QCOMPARE(id, qMetaTypeId<FacialPointVector>());

    const QVariant variant = QVariant::fromValue(FacialPointVector{{0.1, 0.2}, {0.3, 0.4}});
    QVERIFY2(variant.canConvert<QVariantList>(), "a variant of points must be iterable");
    int visited = 0;
    for (const QVariant& element : variant.value<QSequentialIterable>()) {
        Q_UNUSED(element)
        ++visited;
    }
    QCOMPARE(visited, 2);
}

QTEST_GUILESS_MAIN(tst_FacialPoints)
#include "tst_facialpoints.moc"
