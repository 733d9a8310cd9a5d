#include "ui/pictureoverview.h"

#include <QSignalSpy>
#include <QtTest>

class tst_PictureOverview : public QObject
{
    Q_OBJECT

private slots:
    void keepsThePicturesShape_data();
    void keepsThePicturesShape();
    void clickAsksForThatPlace_data();
    void clickAsksForThatPlace();
    void dragFollowsTheMouse();
    void visiblePartIsFramedAndTheRestDimmed();
    void otherButtonsAskForNothing();
};

void tst_PictureOverview::keepsThePicturesShape_data()
{
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<QSize>("small");
    QTest::newRow("square") << QSize(512, 512) << QSize(160, 160);
    QTest::newRow("wide") << QSize(4000, 1000) << QSize(160, 40);
    QTest::newRow("tall") << QSize(360, 480) << QSize(120, 160);
    QTest::newRow("tiny-is-enlarged") << QSize(20, 10) << QSize(160, 80);
}

void tst_PictureOverview::keepsThePicturesShape()
{
    QFETCH(QSize, picture);
    QFETCH(QSize, small);
    ui::PictureOverview overview;
    QImage image(picture, QImage::Format_RGB32);
    image.fill(Qt::white);
    overview.setPicture(image);
    QCOMPARE(overview.pictureArea().size(), small);
    QCOMPARE(overview.size(), small + QSize(2, 2));
}

void tst_PictureOverview::clickAsksForThatPlace_data()
{
    QTest::addColumn<QPoint>("offset");  // from the small picture's top-left corner
    QTest::addColumn<QPointF>("fraction");
    // Pixel centres: (x + 0.5) / 160 across, (y + 0.5) / 80 down.
    QTest::newRow("top-left-pixel") << QPoint(0, 0) << QPointF(0.5 / 160, 0.5 / 80);
    QTest::newRow("middle") << QPoint(80, 40) << QPointF(80.5 / 160, 40.5 / 80);
    QTest::newRow("bottom-right-pixel") << QPoint(159, 79) << QPointF(159.5 / 160, 79.5 / 80);
    QTest::newRow("on-the-border-clamps") << QPoint(-1, 80) << QPointF(0.0, 1.0);
}

void tst_PictureOverview::clickAsksForThatPlace()
{
    QFETCH(QPoint, offset);
    QFETCH(QPointF, fraction);
    ui::PictureOverview overview;
    QImage image(800, 400, QImage::Format_RGB32);
    image.fill(Qt::white);
    overview.setPicture(image);
    overview.show();
    QVERIFY(QTest::qWaitForWindowExposed(&overview));
    QSignalSpy asked(&overview, &ui::PictureOverview::centreRequested);
    QTest::mouseClick(&overview, Qt::LeftButton, Qt::NoModifier, overview.pictureArea().topLeft() + offset);
    QCOMPARE(asked.count(), 1);
    const QPointF got = asked.first().first().toPointF();
    QVERIFY2(std::abs(got.x() - fraction.x()) < 1e-12 && std::abs(got.y() - fraction.y()) < 1e-12,
             qPrintable(QStringLiteral("%1, %2").arg(got.x()).arg(got.y())));
}

void tst_PictureOverview::dragFollowsTheMouse()
{
    ui::PictureOverview overview;
    QImage image(512, 512, QImage::Format_RGB32);
    image.fill(Qt::white);
    overview.setPicture(image);
    QSignalSpy asked(&overview, &ui::PictureOverview::centreRequested);
    const QPoint start = overview.pictureArea().topLeft() + QPoint(10, 10);
    const QPoint end = overview.pictureArea().topLeft() + QPoint(100, 50);
    QTest::mousePress(&overview, Qt::LeftButton, Qt::NoModifier, start);
    QMouseEvent move(QEvent::MouseMove, end, overview.mapToGlobal(end), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&overview, &move);
    QTest::mouseRelease(&overview, Qt::LeftButton, Qt::NoModifier, end);
    QCOMPARE(asked.count(), 2);
    QCOMPARE(asked.last().first().toPointF(), QPointF(100.5 / 160, 50.5 / 160));
    // After the release a move is only a move.
    QMouseEvent hover(QEvent::MouseMove, start, overview.mapToGlobal(start), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(&overview, &hover);
    QCOMPARE(asked.count(), 2);
}

void tst_PictureOverview::visiblePartIsFramedAndTheRestDimmed()
{
    ui::PictureOverview overview;
    QImage image(160, 160, QImage::Format_RGB32);
    image.fill(Qt::white);
    overview.setPicture(image);
    overview.setVisibleRect(QRectF(0.25, 0.25, 0.5, 0.5));
    const QImage shown = overview.grab().toImage();
    const QPoint origin = overview.pictureArea().topLeft();
    // Inside the frame the picture is as it is; outside it is darker; on the frame it is yellow.
    QCOMPARE(QColor(shown.pixel(origin + QPoint(80, 80))), QColor(Qt::white));
    QVERIFY(qGray(shown.pixel(origin + QPoint(10, 10))) < 200);
    const QColor edge(shown.pixel(origin + QPoint(40, 80)));
    QVERIFY2(edge.red() > 200 && edge.green() > 150 && edge.blue() < 100, qPrintable(edge.name()));
    // The whole picture visible: nothing framed, nothing dimmed.
    overview.setVisibleRect(QRectF(0, 0, 1, 1));
    const QImage whole = overview.grab().toImage();
    QCOMPARE(QColor(whole.pixel(origin + QPoint(10, 10))), QColor(Qt::white));
    QCOMPARE(QColor(whole.pixel(origin + QPoint(40, 80))), QColor(Qt::white));
    // Another picture of the same size replaces the one drawn before.
    image.fill(Qt::black);
    overview.setPicture(image);
    QCOMPARE(QColor(overview.grab().toImage().pixel(origin + QPoint(80, 80))), QColor(Qt::black));
}

void tst_PictureOverview::otherButtonsAskForNothing()
{
    ui::PictureOverview overview;
    QSignalSpy asked(&overview, &ui::PictureOverview::centreRequested);
    QTest::mouseClick(&overview, Qt::RightButton, Qt::NoModifier, QPoint(20, 20));
    QTest::mouseClick(&overview, Qt::MiddleButton, Qt::NoModifier, QPoint(20, 20));
    QCOMPARE(asked.count(), 0);
}

QTEST_MAIN(tst_PictureOverview)
#include "tst_pictureoverview.moc"
