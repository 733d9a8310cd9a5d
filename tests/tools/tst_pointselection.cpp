// The selection on its own: which indices it keeps, and the walk through the points.

#include "tools/pointselection.h"

#include <QtTest>

#include <limits>

class tst_PointSelection : public QObject
{
    Q_OBJECT

private slots:
    void set_data();
    void set();
    void toggle();
    void selectAllAndClear();
    void truncate_data();
    void truncate();
    void next_data();
    void next();
    void finiteIndices();
};

void tst_PointSelection::set_data()
{
    QTest::addColumn<QVector<int>>("given");
    QTest::addColumn<int>("count");
    QTest::addColumn<QVector<int>>("expected");
    QTest::newRow("kept as given") << QVector<int>{1, 4} << 5 << QVector<int>{1, 4};
    QTest::newRow("sorted") << QVector<int>{4, 0, 2} << 5 << QVector<int>{0, 2, 4};
    QTest::newRow("repeats dropped") << QVector<int>{3, 3, 1, 3} << 5 << QVector<int>{1, 3};
    QTest::newRow("out of range dropped") << QVector<int>{-1, 0, 5, 7} << 5 << QVector<int>{0};
    QTest::newRow("no points, nothing kept") << QVector<int>{0, 1} << 0 << QVector<int>{};
    QTest::newRow("empty") << QVector<int>{} << 5 << QVector<int>{};
}

void tst_PointSelection::set()
{
    QFETCH(QVector<int>, given);
    QFETCH(int, count);
    QFETCH(QVector<int>, expected);
    tools::PointSelection selection;
    QCOMPARE(selection.set(given, count), !expected.isEmpty());
    QCOMPARE(selection.toVector(), expected);
    QVERIFY2(!selection.set(given, count), "setting the same indices again reported a change");
}

void tst_PointSelection::toggle()
{
    tools::PointSelection selection;
    selection.toggle(5);
    selection.toggle(2);
    selection.toggle(9);
    QCOMPARE(selection.toVector(), (QVector<int>{2, 5, 9}));
    QVERIFY(selection.contains(5));
    selection.toggle(5);
    QCOMPARE(selection.toVector(), (QVector<int>{2, 9}));
    QVERIFY(!selection.contains(5));
    QVERIFY(selection.selectOnly(9));
    QCOMPARE(selection.toVector(), QVector<int>{9});
    QVERIFY2(!selection.selectOnly(9), "selecting the only selected point again reported a change");
}

void tst_PointSelection::selectAllAndClear()
{
    tools::PointSelection selection;
    QVERIFY(selection.selectAll(4));
    QCOMPARE(selection.toVector(), (QVector<int>{0, 1, 2, 3}));
    QVERIFY(!selection.selectAll(4));
    QVERIFY(selection.clear());
    QVERIFY(selection.isEmpty());
    QVERIFY(!selection.clear());
    QVERIFY(!selection.selectAll(0));
    QVERIFY(!selection.selectAll(-3));
    QVERIFY(selection.isEmpty());
}

void tst_PointSelection::truncate_data()
{
    QTest::addColumn<QVector<int>>("selected");
    QTest::addColumn<int>("count");
    QTest::addColumn<QVector<int>>("expected");
    QTest::addColumn<bool>("changed");
    QTest::newRow("all still exist") << QVector<int>{0, 3} << 4 << QVector<int>{0, 3} << false;
    QTest::newRow("the last went away") << QVector<int>{0, 3} << 3 << QVector<int>{0} << true;
    QTest::newRow("all went away") << QVector<int>{1, 2} << 0 << QVector<int>{} << true;
}

void tst_PointSelection::truncate()
{
    QFETCH(QVector<int>, selected);
    QFETCH(int, count);
    QFETCH(QVector<int>, expected);
    QFETCH(bool, changed);
    tools::PointSelection selection;
    selection.set(selected, 100);
    QCOMPARE(selection.truncate(count), changed);
    QCOMPARE(selection.toVector(), expected);
}

void tst_PointSelection::next_data()
{
    QTest::addColumn<QVector<int>>("selected");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("next");
    QTest::addColumn<int>("previous");
    QTest::newRow("none: first and last") << QVector<int>{} << 75 << 0 << 74;
    QTest::newRow("one in the middle") << QVector<int>{37} << 75 << 38 << 36;
    QTest::newRow("the last wraps to the first") << QVector<int>{74} << 75 << 0 << 73;
    QTest::newRow("the first wraps to the last") << QVector<int>{0} << 75 << 1 << 74;
    QTest::newRow("several: as none") << QVector<int>{3, 8} << 75 << 0 << 74;
    QTest::newRow("a single point") << QVector<int>{0} << 1 << 0 << 0;
    QTest::newRow("no points") << QVector<int>{} << 0 << -1 << -1;
}

void tst_PointSelection::next()
{
    QFETCH(QVector<int>, selected);
    QFETCH(int, count);
    QFETCH(int, next);
    QFETCH(int, previous);
    tools::PointSelection selection;
    selection.set(selected, 100);
    QCOMPARE(selection.next(count), next);
    QCOMPARE(selection.previous(count), previous);
}

void tst_PointSelection::finiteIndices()
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<QPointF> points{{0.1, 0.1}, {nan, 0.5}, {0.5, inf}, {2.0, -1.0}};
    tools::PointSelection selection;
    selection.set(QVector<int>{0, 1, 2, 3, 4}, 5);
    // Index 4 has no point in this list; a point outside [0, 1] is still a point.
    QCOMPARE(selection.finiteIndices(points), (QVector<int>{0, 3}));
}

QTEST_APPLESS_MAIN(tst_PointSelection)
#include "tst_pointselection.moc"
