// The silence of a source is counted in the program's own ticks: a program held still (stopped
// by a signal, a suspended laptop, a busy machine) does not find a healthy source silent for
// the time it was not running.
#include "ui/silencewatch.h"

#include <QSignalSpy>
#include <QThread>
#include <QtTest>

class tst_SilenceWatch : public QObject
{
    Q_OBJECT

private slots:
    void silenceIsReported();
    void programHeldStillIsNotSilence();
    void signsOfLifeKeepItQuiet();
    void stoppedWatchSaysNothing();
};

void tst_SilenceWatch::silenceIsReported()
{
    ui::SilenceWatch watch(300, 100);
    QSignalSpy silent(&watch, &ui::SilenceWatch::silent);
    watch.start();
    QVERIFY(silent.wait(60000));
    QCOMPARE(silent.count(), 1);
    QVERIFY(!watch.isActive());
}

// The thread is held for more than the whole limit, as a stopped program is: when it runs
// again, the source has its chance to answer before any silence is reported.
void tst_SilenceWatch::programHeldStillIsNotSilence()
{
    ui::SilenceWatch watch(300, 100);
    QSignalSpy silent(&watch, &ui::SilenceWatch::silent);
    watch.start();
    QThread::msleep(1000);
    QCoreApplication::processEvents();
    QCOMPARE(silent.count(), 0);
    QVERIFY(watch.isActive());
    // Held still again and again, with the source answering each time it can.
    for (int i = 0; i < 5; ++i) {
        QThread::msleep(500);
        QCoreApplication::processEvents();
        watch.heard();
    }
    QCOMPARE(silent.count(), 0);
    // Truly silent: reported in the end.
    QVERIFY(silent.wait(60000));
    QCOMPARE(silent.count(), 1);
}

void tst_SilenceWatch::signsOfLifeKeepItQuiet()
{
    ui::SilenceWatch watch(300, 100);
    QSignalSpy silent(&watch, &ui::SilenceWatch::silent);
    watch.start();
    // Each round lets at most one tick through, and is then heard from.
    for (int i = 0; i < 20; ++i) {
        QThread::msleep(150);
        QCoreApplication::processEvents();
        watch.heard();
    }
    QCOMPARE(silent.count(), 0);
}

void tst_SilenceWatch::stoppedWatchSaysNothing()
{
    ui::SilenceWatch watch(300, 100);
    QSignalSpy silent(&watch, &ui::SilenceWatch::silent);
    watch.start();
    watch.stop();
    watch.heard(); // a picture after the stop does not start it again
    QVERIFY(!watch.isActive());
    QThread::msleep(500);
    QCoreApplication::processEvents();
    QCOMPARE(silent.count(), 0);
}

QTEST_MAIN(tst_SilenceWatch)
#include "tst_silencewatch.moc"
