#include "ui/windowplacement.h"

#include <QDataStream>
#include <QMargins>
#include <QtTest>

Q_DECLARE_METATYPE(QMargins)

class tst_WindowPlacement : public QObject
{
    Q_OBJECT

private slots:
    void placeBeside_data();
    void placeBeside();
    void fitInside_data();
    void fitInside();
    void rememberedFrame_data();
    void rememberedFrame();
};

void tst_WindowPlacement::placeBeside_data()
{
    QTest::addColumn<QRect>("owner");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QRect>("available");
    QTest::addColumn<QRect>("expected");
    const QRect screen(0, 0, 1920, 1050);
    QTest::newRow("room on the right") << QRect(100, 100, 800, 600) << QSize(640, 520) << screen
                                       << QRect(908, 100, 640, 520);
    QTest::newRow("room on the left only") << QRect(1000, 100, 800, 600) << QSize(640, 520) << screen
                                           << QRect(352, 100, 640, 520);
    // No room beside: on the roomier side against the screen's edge, the owner's far part in sight.
    QTest::newRow("no room beside, more on the right") << QRect(400, 200, 1100, 700) << QSize(640, 520)
                                                       << screen << QRect(1280, 200, 640, 520);
    QTest::newRow("no room beside, more on the left") << QRect(450, 200, 1100, 700) << QSize(640, 520)
                                                      << screen << QRect(0, 200, 640, 520);
    // A window centred on the screen, as window managers place it: short of the gap alone.
    QTest::newRow("centred owner, room but for the gap") << QRect(640, 300, 640, 400) << QSize(640, 520)
                                                         << screen << QRect(1280, 300, 640, 520);
    QTest::newRow("would run off the bottom") << QRect(100, 800, 600, 240) << QSize(640, 520) << screen
                                              << QRect(708, 530, 640, 520);
    QTest::newRow("larger than the screen: shrunk")
        << QRect(0, 0, 640, 480) << QSize(900, 700) << QRect(0, 0, 800, 600) << QRect(0, 0, 800, 600);
    QTest::newRow("second screen to the left") << QRect(-1500, 50, 700, 500) << QSize(640, 520)
                                               << QRect(-1920, 0, 1920, 1080) << QRect(-792, 50, 640, 520);
}

void tst_WindowPlacement::placeBeside()
{
    QFETCH(QRect, owner);
    QFETCH(QSize, size);
    QFETCH(QRect, available);
    QFETCH(QRect, expected);
    const QRect placed = ui::placeBeside(owner, size, available);
    QCOMPARE(placed, expected);
    QVERIFY(available.contains(placed));
}

void tst_WindowPlacement::fitInside_data()
{
    QTest::addColumn<QRect>("frame");
    QTest::addColumn<QRect>("available");
    QTest::addColumn<QRect>("expected");
    const QRect screen(0, 0, 1920, 1050);
    QTest::newRow("fits: as it was") << QRect(100, 80, 800, 600) << screen << QRect(100, 80, 800, 600);
    QTest::newRow("kept on a larger screen: shrunk inside")
        << QRect(198, 175, 2202, 1325) << screen << QRect(0, 0, 1920, 1050);
    QTest::newRow("wider only") << QRect(300, 100, 2000, 700) << screen << QRect(0, 100, 1920, 700);
    QTest::newRow("past the right and bottom edges: moved in")
        << QRect(1500, 800, 800, 600) << screen << QRect(1120, 450, 800, 600);
    QTest::newRow("title bar above the top: moved down") << QRect(100, -30, 800, 600) << screen
                                                         << QRect(100, 0, 800, 600);
    QTest::newRow("below a top panel") << QRect(100, 0, 800, 1080) << QRect(0, 30, 1920, 1050)
                                       << QRect(100, 30, 800, 1050);
    QTest::newRow("second screen to the left") << QRect(-2000, 50, 2400, 900) << QRect(-1920, 0, 1920, 1080)
                                               << QRect(-1920, 50, 1920, 900);
    QTest::newRow("no screen known: unchanged") << QRect(100, 80, 3000, 2000) << QRect() << QRect(100, 80, 3000, 2000);
}

void tst_WindowPlacement::fitInside()
{
    QFETCH(QRect, frame);
    QFETCH(QRect, available);
    QFETCH(QRect, expected);
    QCOMPARE(ui::fitInside(frame, available), expected);
}

void tst_WindowPlacement::rememberedFrame_data()
{
    QTest::addColumn<QByteArray>("saved");
    QTest::addColumn<QMargins>("expected");
    const auto saved = [](QRect frame, QRect normal) {
        QByteArray bytes;
        QDataStream stream(&bytes, QIODevice::WriteOnly);
        stream.setVersion(QDataStream::Qt_4_0);
        stream << quint32(0x1D9D0CB) << quint16(3) << quint16(0) << frame << normal << qint32(0) << quint8(0)
               << quint8(0) << qint32(2400) << normal;
        return bytes;
    };
    const QMargins fallback(1, 21, 1, 1);
    QTest::newRow("a framed window") << saved(QRect(198, 175, 2202, 1325), QRect(199, 195, 2200, 1300))
                                     << QMargins(1, 20, 1, 5);
    QTest::newRow("no frame") << saved(QRect(10, 10, 300, 200), QRect(10, 10, 300, 200)) << fallback;
    QTest::newRow("maximized: frame inside the normal geometry")
        << saved(QRect(0, 0, 1920, 1050), QRect(200, 200, 2200, 1300)) << fallback;
    QTest::newRow("not saved geometry") << QByteArray("\x01\xd9\xd0\xcbgarbage") << fallback;
    QTest::newRow("empty") << QByteArray() << fallback;
}

void tst_WindowPlacement::rememberedFrame()
{
    QFETCH(QByteArray, saved);
    QFETCH(QMargins, expected);
    QCOMPARE(ui::rememberedFrame(saved, QMargins(1, 21, 1, 1)), expected);
}

QTEST_APPLESS_MAIN(tst_WindowPlacement)
#include "tst_windowplacement.moc"
