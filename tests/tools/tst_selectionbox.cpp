// The selection's box and its handles, laid out in view pixels.

#include "selectionbox.h"

#include <QtTest>

using Points = std::vector<QPointF>;
Q_DECLARE_METATYPE(Points)

class tst_SelectionBox : public QObject
{
    Q_OBJECT

private slots:
    void around_data();
    void around();
    void handles_data();
    void handles();
};

void tst_SelectionBox::around_data()
{
    QTest::addColumn<Points>("points");
    QTest::addColumn<QRectF>("expected");
    QTest::newRow("none") << Points{} << QRectF();
    QTest::newRow("one point has no box") << Points{{50, 50}} << QRectF();
    QTest::newRow("two points, the margin around them")
        << Points{{100, 200}, {160, 240}} << QRectF(QPointF(90, 190), QPointF(170, 250));
    QTest::newRow("two points in one place") << Points{{30, 30}, {30, 30}}
                                             << QRectF(QPointF(20, 20), QPointF(40, 40));
    QTest::newRow("order does not matter")
        << Points{{160, 240}, {100, 260}, {120, 200}} << QRectF(QPointF(90, 190), QPointF(170, 270));
}

void tst_SelectionBox::around()
{
    QFETCH(Points, points);
    QFETCH(QRectF, expected);
    const tools::SelectionBox box = tools::SelectionBox::around(points);
    QCOMPARE(box.isNull(), expected.isNull());
    QCOMPARE(box.rect(), expected);
}

void tst_SelectionBox::handles_data()
{
    // The box runs from (90, 190) to (170, 250); the turn handle stands at (130, 166).
    QTest::addColumn<QPointF>("press");
    QTest::addColumn<int>("corner");
    QTest::addColumn<bool>("turn");
    QTest::newRow("top left") << QPointF(90, 190) << 0 << false;
    QTest::newRow("top right, at the handle's edge") << QPointF(175, 185) << 1 << false;
    QTest::newRow("bottom right") << QPointF(168, 252) << 2 << false;
    QTest::newRow("bottom left") << QPointF(91, 249) << 3 << false;
    QTest::newRow("just off a corner") << QPointF(84.9, 190) << -1 << false;
    QTest::newRow("inside the box") << QPointF(130, 220) << -1 << false;
    QTest::newRow("turn handle") << QPointF(130, 166) << -1 << true;
    QTest::newRow("turn handle, at its radius") << QPointF(136, 166) << -1 << true;
    QTest::newRow("beside the turn handle") << QPointF(137, 166) << -1 << false;
}

void tst_SelectionBox::handles()
{
    QFETCH(QPointF, press);
    QFETCH(int, corner);
    QFETCH(bool, turn);
    const tools::SelectionBox box = tools::SelectionBox::around(Points{{100, 200}, {160, 240}});
    QCOMPARE(box.cornerAt(press), corner);
    QCOMPARE(box.isOnTurnHandle(press), turn);
    if (corner >= 0) {
        // Scaling about the opposite corner.
        const auto corners = box.corners();
        const QPointF opposite = corners[size_t((corner + 2) % 4)];
        QVERIFY(QLineF(opposite, box.rect().center()).length()
                == QLineF(corners[size_t(corner)], box.rect().center()).length());
        QVERIFY(opposite != corners[size_t(corner)]);
    }
    const tools::SelectionBox none = tools::SelectionBox::around(Points{{130, 166}});
    QCOMPARE(none.cornerAt(press), -1);
    QVERIFY(!none.isOnTurnHandle(press));
}

QTEST_APPLESS_MAIN(tst_SelectionBox)
#include "tst_selectionbox.moc"
