// Pictures freed give their memory back to the system, however large those freed before them.
#include "core/freedmemory.h"
#include "tests/support/sanitizer.h"

#include <QFile>
#include <QImage>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

// The process's resident memory in KiB, from /proc; -1 where it cannot be read.
qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) {
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
        }
    }
    return -1;
}

QImage filledPicture(int megabytes)
{
    QImage picture(1024, megabytes * 256, QImage::Format_ARGB32);
    picture.fill(Qt::darkCyan);
    return picture;
}

} // namespace

class tst_FreedMemory : public QObject
{
    Q_OBJECT

private slots:
    void picturesFreedLeaveTheProcess_data();
    void picturesFreedLeaveTheProcess();
};

void tst_FreedMemory::picturesFreedLeaveTheProcess_data()
{
    QTest::addColumn<int>("largestFreedBefore"); // MiB: a large photo of earlier in the day
    QTest::addColumn<int>("pictures");           // MiB each, kept together and freed together
    QTest::newRow("after a 24 MiB picture, four of 4 MiB") << 24 << 4;
    QTest::newRow("after a 30 MiB picture, four of 12 MiB") << 30 << 12;
}

void tst_FreedMemory::picturesFreedLeaveTheProcess()
{
    QFETCH(int, largestFreedBefore);
    QFETCH(int, pictures);
    if (runsUnderAddressSanitizer()) {
        QSKIP("AddressSanitizer keeps freed memory in its quarantine");
    }
    QVERIFY(core::giveFreedPicturesBack());
    filledPicture(largestFreedBefore);

    const qint64 before = residentKiB();
    QVERIFY(before > 0);
    std::vector<QImage> held;
    // Small blocks after each picture, as the window's own bookkeeping makes, keep the heap's top
    // from being given back on its own.
    std::vector<std::unique_ptr<char[]>> small;
    for (int i = 0; i < 4; ++i) {
        held.push_back(filledPicture(pictures));
        small.push_back(std::make_unique<char[]>(256));
    }
    // What an earlier row freed may be taken again, but not four pictures' worth.
    QVERIFY(residentKiB() - before >= pictures * 1024);
    held.clear();
    const qint64 kept = residentKiB() - before;
    QVERIFY2(kept < 2048, qPrintable(QStringLiteral("%1 KiB of the freed pictures still held").arg(kept)));
}

QTEST_GUILESS_MAIN(tst_FreedMemory)
#include "tst_freedmemory.moc"
