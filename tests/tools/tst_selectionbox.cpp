// The selection's box and its handles, laid out in view pixels.

#include "tools/selectionbox.h"

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
    void keptInsideTheView_data();
    void keptInsideTheView();
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

void tst_SelectionBox::keptInsideTheView_data()
{
    // A 400 x 300 view. The box's rectangle and where the turn handle stands.
    QTest::addColumn<Points>("points");
    QTest::addColumn<QRectF>("expected");
    QTest::addColumn<QPointF>("turnHandle");
    QTest::newRow("well inside: as without a view")
        << Points{{100, 200}, {160, 240}} << QRectF(QPointF(90, 190), QPointF(170, 250)) << QPointF(130, 166);
    QTest::newRow("touching every edge, as a detection without a face")
        << Points{{0, 0}, {400, 300}} << QRectF(QPointF(5, 5), QPointF(395, 295)) << QPointF(200, 29);
    QTest::newRow("at the top: the turn handle below")
        << Points{{100, 0}, {160, 100}} << QRectF(QPointF(90, 5), QPointF(170, 110)) << QPointF(130, 134);
    QTest::newRow("at the left only")
        << Points{{-50, 100}, {60, 200}} << QRectF(QPointF(5, 90), QPointF(70, 210)) << QPointF(37.5, 66);
    QTest::newRow("far past the view, as when zoomed")
        << Points{{-5000, -4000}, {9000, 7000}} << QRectF(QPointF(5, 5), QPointF(395, 295)) << QPointF(200, 29);
    QTest::newRow("wholly outside: as it is")
        << Points{{500, 400}, {600, 500}} << QRectF(QPointF(490, 390), QPointF(610, 510)) << QPointF(550, 366);
}

void tst_SelectionBox::keptInsideTheView()
{
    QFETCH(Points, points);
    QFETCH(QRectF, expected);
    QFETCH(QPointF, turnHandle);
    const QRectF view(0, 0, 400, 300);
    const tools::SelectionBox box = tools::SelectionBox::around(points, view);
    QCOMPARE(box.rect(), expected);
    QCOMPARE(box.turnHandle(), turnHandle);
    QVERIFY(box.isOnTurnHandle(turnHandle));
    if (!view.contains(expected)) {
        return;
    }
    // Every handle can be seen whole and grabbed.
    const double half = tools::SelectionBox::handleHalfSide;
    const auto corners = box.corners();
    for (int i = 0; i < 4; ++i) {
        const QPointF corner = corners[size_t(i)];
        QVERIFY(view.contains(QRectF(corner - QPointF(half, half), QSizeF(2 * half, 2 * half))));
        QCOMPARE(box.cornerAt(corner), i);
    }
    const double radius = tools::SelectionBox::turnHandleRadius;
    QVERIFY(view.contains(QRectF(turnHandle - QPointF(radius, radius), QSizeF(2 * radius, 2 * radius))));
    // The stem meets the box at the middle of the edge the handle stands by.
    const QPointF stem = box.topCentre();
    QCOMPARE(stem.x(), expected.center().x());
    QVERIFY(stem.y() == expected.top() || stem.y() == expected.bottom());
}

QTEST_APPLESS_MAIN(tst_SelectionBox)
#include "tst_selectionbox.moc"
