// The video surface the camera and the player hand their frames to: every pixel format it offers
// the back end comes out as a picture of the right colours (a format it cannot read must not be
// offered: the back end then converts to one it can).
#include "ui/framesurface.h"

#include <QHash>
#include <QVideoFrame>
#include <QVideoSurfaceFormat>
#include <QtTest>

#include <cstring>

class tst_FrameSurface : public QObject
{
    Q_OBJECT

private slots:
    void offeredFormatsArePictures();
};

void tst_FrameSurface::offeredFormatsArePictures()
{
    // How the GStreamer back end lays out each format's bytes (little-endian), as a QImage format.
    const QHash<int, QImage::Format> layouts{
        {QVideoFrame::Format_RGB32, QImage::Format_RGB32},       // BGRx
        {QVideoFrame::Format_ARGB32, QImage::Format_ARGB32},     // BGRA
        {QVideoFrame::Format_BGR32, QImage::Format_RGBX8888},    // RGBx
        {QVideoFrame::Format_ABGR32, QImage::Format_RGBA8888},   // RGBA
        {QVideoFrame::Format_RGB24, QImage::Format_RGB888},      // RGB
        {QVideoFrame::Format_BGR24, QImage::Format_BGR888},      // BGR
        {QVideoFrame::Format_RGB565, QImage::Format_RGB16},      // RGB16
    };
    const QSize size(7, 5); // odd: rows are padded
    const QList<QVideoFrame::PixelFormat> offered =
        ui::FrameSurface([](const QImage&, qint64) {}).supportedPixelFormats(QAbstractVideoBuffer::NoHandle);
    QVERIFY(!offered.isEmpty());
    for (const QVideoFrame::PixelFormat pixelFormat : offered) {
        QVERIFY2(layouts.contains(pixelFormat), qPrintable(QString::number(pixelFormat)));
        QVector<QImage> pictures;
        ui::FrameSurface surface([&](const QImage& picture, qint64) { pictures.append(picture); });
        QVERIFY(surface.start(QVideoSurfaceFormat(size, pixelFormat)));
        QImage source(size, layouts.value(pixelFormat));
        source.fill(QColor(200, 96, 40));
        QVideoFrame frame(int(source.sizeInBytes()), size, source.bytesPerLine(), pixelFormat);
        QVERIFY(frame.map(QAbstractVideoBuffer::WriteOnly));
        std::memcpy(frame.bits(), source.constBits(), size_t(source.sizeInBytes()));
        frame.unmap();
        QVERIFY(surface.present(frame));
        QVERIFY2(pictures.size() == 1, qPrintable(QStringLiteral("format %1: no picture").arg(pixelFormat)));
        QCOMPARE(pictures.first().size(), size);
        const QColor shown = pictures.first().pixelColor(6, 4);
        // RGB565 keeps 5 or 6 bits of each channel.
        QVERIFY2(std::abs(shown.red() - 200) <= 8 && std::abs(shown.green() - 96) <= 8
                     && std::abs(shown.blue() - 40) <= 8,
                 qPrintable(QStringLiteral("format %1: %2").arg(pixelFormat).arg(shown.name())));
    }
}

QTEST_MAIN(tst_FrameSurface)
#include "tst_framesurface.moc"
