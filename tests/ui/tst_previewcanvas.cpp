// The Preview window's picture: fitted into the widget, centred, its proportions kept.
#include "ui/previewcanvas.h"

#include <QtTest>

class tst_PreviewCanvas : public QObject
{
    Q_OBJECT

private slots:
    void thinPictureIsDrawn_data();
    void thinPictureIsDrawn();
};

void tst_PreviewCanvas::thinPictureIsDrawn_data()
{
    QTest::addColumn<QSize>("pictureSize");
    QTest::newRow("1x4000") << QSize(1, 4000);
    QTest::newRow("3x2000") << QSize(3, 2000);
    QTest::newRow("4000x1") << QSize(4000, 1);
    QTest::newRow("20000x5") << QSize(20000, 5);
}

// Fitted into the canvas, such a picture is thinner than a pixel: it is still drawn, as a line
// along the whole of its long side.
void tst_PreviewCanvas::thinPictureIsDrawn()
{
    QFETCH(QSize, pictureSize);
    QImage picture(pictureSize, QImage::Format_RGB32);
    picture.fill(Qt::blue);
    ui::PreviewCanvas canvas;
    canvas.resize(300, 200);
    canvas.setPicture(picture);
    const QImage shown = canvas.grab().toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(shown.size(), QSize(300, 200));
    const bool tall = pictureSize.height() > pictureSize.width();
    const int along = tall ? shown.height() : shown.width();
    const int across = tall ? shown.width() : shown.height();
    for (int i = 0; i < along; ++i) {
        bool drawn = false;
        for (int j = 0; j < across && !drawn; ++j) {
            const QRgb pixel = tall ? shown.pixel(j, i) : shown.pixel(i, j);
            drawn = qBlue(pixel) > 200 && qRed(pixel) < 50 && qGreen(pixel) < 50;
        }
        QVERIFY2(drawn, qPrintable(QStringLiteral("%1 %2 of the canvas shows nothing of the picture")
                                       .arg(tall ? "row" : "column").arg(i)));
    }
}

QTEST_MAIN(tst_PreviewCanvas)
#include "tst_previewcanvas.moc"
