// The view's layout owner: when it reports a change, where its size comes from, pan drags.

#include "tools/viewport.h"

#include <QSignalSpy>
#include <QtTest>

class tst_Viewport : public QObject
{
    Q_OBJECT

private slots:
    void changedOnlyWhenThePictureMoves();
    void sizeComesFromTheSource();
    void showPictureFits();
    void zoomStepsAboutTheCentre();
    void panDrag();
};

void tst_Viewport::changedOnlyWhenThePictureMoves()
{
    tools::Viewport viewport;
    QSignalSpy changed(&viewport, &tools::Viewport::changed);
    QVERIFY(changed.isValid());

    viewport.setViewSize(QSize(400, 300));
    QCOMPARE(changed.count(), 1);
    viewport.setViewSize(QSize(400, 300));
    QCOMPARE(changed.count(), 1);

    // At zoom 1 the stretched picture fills the view: nothing to scroll, nothing to zoom out.
    viewport.pan(QPointF(30, 20));
    viewport.zoomOut();
    viewport.fit();
    QCOMPARE(changed.count(), 1);

    viewport.zoomBy(4.0, QPointF(100, 100));
    QCOMPARE(changed.count(), 2);
    viewport.pan(QPointF(30, 20));
    QCOMPARE(changed.count(), 3);
    // Scrolled to the top-left edge: a further pan that way is stopped there.
    viewport.pan(QPointF(1e6, 1e6));
    QCOMPARE(changed.count(), 4);
    viewport.pan(QPointF(10, 10));
    QCOMPARE(changed.count(), 4);

    viewport.zoomBy(1000.0, QPointF(0, 0));
    QCOMPARE(viewport.transform().zoom(), tools::ViewTransform::maximumZoom);
    QCOMPARE(changed.count(), 5);

    viewport.setKeepAspectRatio(true);
    QCOMPARE(changed.count(), 6);
    viewport.setKeepAspectRatio(true);
    QCOMPARE(changed.count(), 6);
    viewport.fit();
    QCOMPARE(changed.count(), 7);
    QCOMPARE(viewport.transform().zoom(), 1.0);
}

void tst_Viewport::sizeComesFromTheSource()
{
    tools::Viewport viewport;
    QSize widgetSize(200, 100);
    viewport.setViewSizeSource([&widgetSize] { return widgetSize; });
    QCOMPARE(viewport.transform().viewSize(), QSize(200, 100));

    QSignalSpy changed(&viewport, &tools::Viewport::changed);
    // As a hidden widget resized without a resize event: the next reading sees the new size.
    widgetSize = QSize(640, 480);
    QCOMPARE(viewport.transform().viewSize(), QSize(640, 480));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(viewport.transform().toView(QPointF(1, 1)), QPointF(640, 480));
    QCOMPARE(changed.count(), 1);

    // Zooming about the view's centre uses the size just read.
    widgetSize = QSize(100, 100);
    viewport.zoomIn();
    QCOMPARE(viewport.transform().viewSize(), QSize(100, 100));
    QCOMPARE(viewport.transform().toFraction(QPointF(50, 50)), QPointF(0.5, 0.5));
}

void tst_Viewport::showPictureFits()
{
    tools::Viewport viewport;
    viewport.setViewSize(QSize(400, 300));
    viewport.setKeepAspectRatio(true);
    viewport.zoomBy(8.0, QPointF(10, 10));
    QSignalSpy changed(&viewport, &tools::Viewport::changed);

    viewport.showPicture(QSize(200, 300));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(viewport.transform().zoom(), 1.0);
    QCOMPARE(viewport.transform().pictureSize(), QSize(200, 300));
    // Letter-boxed: 200 x 300 view pixels, centred.
    QCOMPARE(viewport.transform().pictureRect(), QRectF(100, 0, 200, 300));
}

void tst_Viewport::zoomStepsAboutTheCentre()
{
    tools::Viewport viewport;
    viewport.setViewSize(QSize(400, 300));
    viewport.zoomBy(2.0, QPointF(0, 0));
    const QPointF centre = viewport.transform().toFraction(QPointF(200, 150));
    viewport.zoomIn();
    QCOMPARE(viewport.transform().zoom(), 2.0 * tools::Viewport::zoomStep);
    QVERIFY(QLineF(viewport.transform().toFraction(QPointF(200, 150)), centre).length() < 1e-12);
    viewport.zoomOut();
    QVERIFY(qFuzzyCompare(viewport.transform().zoom(), 2.0));
    QVERIFY(QLineF(viewport.transform().toFraction(QPointF(200, 150)), centre).length() < 1e-12);
}

void tst_Viewport::panDrag()
{
    tools::Viewport viewport;
    viewport.setViewSize(QSize(400, 300));
    viewport.zoomBy(4.0, QPointF(200, 150));
    const QPointF before = viewport.transform().toView(QPointF(0.5, 0.5));

    QVERIFY(!viewport.isPanDragging());
    viewport.dragPanTo(QPoint(50, 50));
    QCOMPARE(viewport.transform().toView(QPointF(0.5, 0.5)), before);

    viewport.beginPanDrag(QPoint(100, 100));
    QVERIFY(viewport.isPanDragging());
    viewport.dragPanTo(QPoint(110, 95));
    viewport.dragPanTo(QPoint(130, 90));
    // The picture follows the cursor: 30 right, 10 up in all.
    QCOMPARE(viewport.transform().toView(QPointF(0.5, 0.5)), before + QPointF(30, -10));
    viewport.endPanDrag();
    QVERIFY(!viewport.isPanDragging());
    viewport.dragPanTo(QPoint(300, 300));
    QCOMPARE(viewport.transform().toView(QPointF(0.5, 0.5)), before + QPointF(30, -10));
}

QTEST_APPLESS_MAIN(tst_Viewport)
#include "tst_viewport.moc"
