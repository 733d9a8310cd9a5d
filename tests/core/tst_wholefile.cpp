#include "core/wholefile.h"

#include "tests/support/injectedfault.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstdlib>

#include <sys/wait.h>
#include <unistd.h>

class tst_WholeFile : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void failingDisk_data();
    void failingDisk();
    void interruptLeavesNoPartialFile_data();
    void interruptLeavesNoPartialFile();
};

void tst_WholeFile::initTestCase()
{
    QVERIFY2(faultShimLoaded(), "run with the fault shim preloaded, as ctest does");
    // A terminated child ends as the program would, not through the test framework's handler.
    std::signal(SIGTERM, SIG_DFL);
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

void tst_WholeFile::failingDisk_data()
{
    QTest::addColumn<QString>("call");
    QTest::addColumn<QString>("what");
    QTest::addColumn<bool>("replaced");
    QTest::addColumn<QString>("told"); // a piece of the failure; empty: not looked at
    // A bad stick: the bytes or their flush to the disk fail, and the old file must stay.
    QTest::newRow("write EIO") << "write" << "EIO" << false << "";
    QTest::newRow("flush EIO") << "fsync" << "EIO" << false << "";
    QTest::newRow("rename EACCES") << "rename" << "EACCES" << false << "";
    QTest::newRow("rename EXDEV") << "rename" << "EXDEV" << false << "";
    QTest::newRow("create EACCES") << "open" << "EACCES" << false << "Permission denied";
    // A stick's FAT or exFAT refuses names with : * ? " < > | (ENOENT through FUSE, EINVAL in the kernel).
    QTest::newRow("name refused, FUSE") << "open" << "ENOENT" << false << "the drive refuses the name \"settings.conf\"";
    QTest::newRow("name refused, kernel") << "open" << "EINVAL" << false << "the drive refuses the name \"settings.conf\"";
    // A signal or a short transfer is no failure: the write goes on.
    QTest::newRow("write EINTR") << "write" << "EINTR" << true << "";
    QTest::newRow("write short") << "write" << "short" << true << "";
}

// The file holds the new bytes whole, or the old ones with nothing left beside them, and the
// result says which.
void tst_WholeFile::failingDisk()
{
    QFETCH(QString, call);
    QFETCH(QString, what);
    QFETCH(bool, replaced);
    QFETCH(QString, told);
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QString path = folder.filePath(QStringLiteral("settings.conf"));
    const QByteArray before("the earlier settings\n");
    const QByteArray after = QByteArray(200000, 'n') + '\n';
    QVERIFY(core::writeWholeFile(path, before).isEmpty());
    QString failure;
    {
        // The partial file may have no name yet (O_TMPFILE): its folder names it.
        const InjectedFault fault(QStringLiteral("%1:%2:1:%3").arg(call, folder.path(), what));
        failure = core::writeWholeFile(path, after);
    }
    QCOMPARE(failure.isEmpty(), replaced);
    QVERIFY2(failure.contains(told), qPrintable(failure));
    QCOMPARE(readAll(path), replaced ? after : before);
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("settings.conf")});
}

void tst_WholeFile::interruptLeavesNoPartialFile_data()
{
    QTest::addColumn<bool>("unnamedFiles");
    QTest::newRow("unnamed partial file") << true;
    // NFS, CIFS and FAT refuse O_TMPFILE: the partial file has a name from the start.
    QTest::newRow("named partial file") << false;
}

// A SIGTERM (the session ending) while the file is being moved into place leaves the earlier
// file alone and nothing beside it.
void tst_WholeFile::interruptLeavesNoPartialFile()
{
    QFETCH(bool, unnamedFiles);
    QTemporaryDir folder;
    QTemporaryDir markers;
    QVERIFY(folder.isValid() && markers.isValid());
    const QString path = folder.filePath(QStringLiteral("settings.conf"));
    const QByteArray before("the earlier settings\n");
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(before) == before.size());
    }
    const QString marker = markers.filePath(QStringLiteral("held"));
    {
        QFile file(marker);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        ::setenv("FACEMASK_STALL_RENAME", QFile::encodeName(QStringLiteral("/settings.conf:") + marker).constData(), 1);
        if (!unnamedFiles) {
            ::setenv("FACEMASK_NO_TMPFILE", QFile::encodeName(folder.path()).constData(), 1);
        }
        core::writeWholeFile(path, QByteArray(200000, 'n'));
        ::_exit(0);
    }
    // Held at the move: the partial file is complete and named.
    QStringList seen;
    for (int waited = 0; waited < 10000 && seen.size() < 2; waited += 10) {
        QTest::qSleep(10);
        seen = QDir(folder.path()).entryList(QDir::Files | QDir::Hidden);
    }
    ::kill(child, SIGTERM);
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QFile::remove(marker);
    QVERIFY2(seen.size() == 2, qPrintable(seen.join(' ')));
    QVERIFY2(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM, qPrintable(QString::number(status)));
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("settings.conf")});
    QCOMPARE(readAll(path), before);
}

QTEST_GUILESS_MAIN(tst_WholeFile)
#include "tst_wholefile.moc"
