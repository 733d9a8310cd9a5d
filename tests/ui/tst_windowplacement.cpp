#include "ui/windowplacement.h"

#include <QtTest>

class tst_WindowPlacement : public QObject
{
    Q_OBJECT

private slots:
    void placeBeside_data();
    void placeBeside();
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
    QTest::newRow("no room beside: over it, centred") << QRect(400, 200, 1100, 700) << QSize(640, 520)
                                                      << screen << QRect(630, 290, 640, 520);
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

QTEST_APPLESS_MAIN(tst_WindowPlacement)
#include "tst_windowplacement.moc"
