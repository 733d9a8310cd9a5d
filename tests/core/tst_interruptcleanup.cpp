#include "core/interruptcleanup.h"

#include <QDir>
#include <QDirIterator>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

class tst_InterruptCleanup : public QObject
{
    Q_OBJECT

private slots:
    void interruptLeavesNoFileBeingMade_data();
    void interruptLeavesNoFileBeingMade();
    void exitLeavesNoFileBeingMade();
    void interruptLeavesNoEmptyFolderMade_data();
    void interruptLeavesNoEmptyFolderMade();
};

void tst_InterruptCleanup::interruptLeavesNoFileBeingMade_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("Ctrl+C") << int(SIGINT);
    QTest::newRow("terminated") << int(SIGTERM);
    QTest::newRow("hung up") << int(SIGHUP);
}

// A child makes and removes partial files as fast as it can; whenever the signal lands (a signal
// is taken on the way out of a system call, such as the one that just made the file), the child
// ends by it and leaves no file behind.
void tst_InterruptCleanup::interruptLeavesNoFileBeingMade()
{
    QFETCH(int, signal);
    for (int round = 0; round < 60; ++round) {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        QByteArray pattern = QFile::encodeName(folder.filePath(QStringLiteral("out.pmk.XXXXXX")));
        const int placesAt = pattern.size() - 6;
        pattern.detach();
        int ready[2];
        QVERIFY(::pipe(ready) == 0);
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            std::signal(signal, SIG_DFL); // not the test framework's handler
            ::close(ready[0]);
            if (::write(ready[1], "r", 1) != 1) {
                ::_exit(3);
            }
            for (;;) {
                std::memcpy(pattern.data() + placesAt, "XXXXXX", 6);
                int ticket = -1;
                const int descriptor = core::interruptcleanup::createWatched(&pattern, &ticket);
                if (descriptor < 0) {
                    ::_exit(2);
                }
                ::close(descriptor);
                ::unlink(pattern.constData());
                core::interruptcleanup::release(ticket);
            }
        }
        ::close(ready[1]);
        char byte = 0;
        const bool started = ::read(ready[0], &byte, 1) == 1;
        ::close(ready[0]);
        if (started) {
            ::usleep(QRandomGenerator::global()->bounded(3000));
        }
        ::kill(child, signal);
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY2(WIFSIGNALED(status) && WTERMSIG(status) == signal,
                 qPrintable(QStringLiteral("the child ended with status %1").arg(status)));
        const QStringList left = QDir(folder.path()).entryList(QDir::Files | QDir::Hidden);
        QVERIFY2(left.isEmpty(), qPrintable(QStringLiteral("round %1 left %2").arg(round).arg(left.join(' '))));
    }
}

// exit() while a file is written (Qt calls it when the X server goes away, at a logout) removes
// the file; one already moved into place stays.
void tst_InterruptCleanup::exitLeavesNoFileBeingMade()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    QByteArray partial = QFile::encodeName(folder.filePath(QStringLiteral("out.pmk.XXXXXX")));
    QByteArray done = QFile::encodeName(folder.filePath(QStringLiteral("done.pmk.XXXXXX")));
    const QByteArray placed = QFile::encodeName(folder.filePath(QStringLiteral("done.pmk")));
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        int ticket = -1;
        int descriptor = core::interruptcleanup::createWatched(&done, &ticket);
        if (descriptor < 0 || ::rename(done.constData(), placed.constData()) != 0) {
            ::_exit(2);
        }
        core::interruptcleanup::release(ticket);
        descriptor = core::interruptcleanup::createWatched(&partial, &ticket);
        if (descriptor < 0 || ::write(descriptor, "PK", 2) != 2) {
            ::_exit(2);
        }
        std::exit(1);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY2(WIFEXITED(status) && WEXITSTATUS(status) == 1, qPrintable(QStringLiteral("status %1").arg(status)));
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("done.pmk")});
}

void tst_InterruptCleanup::interruptLeavesNoEmptyFolderMade_data()
{
    QTest::addColumn<bool>("innerFirst"); // the inner folder is watched before the outer one
    QTest::addColumn<bool>("finished");   // a finished file lies in the inner folder
    QTest::addColumn<QStringList>("left"); // what is left in the test's folder
    QTest::newRow("outer-watched-first") << false << false << QStringList();
    QTest::newRow("inner-watched-first") << true << false << QStringList();
    QTest::newRow("a-finished-file-keeps-them")
        << false << true << QStringList{QStringLiteral("outer"), QStringLiteral("outer/inner"),
                                        QStringLiteral("outer/inner/done.png")};
}

// A child makes outer/inner, watches both, starts a partial file in inner and is interrupted:
// the partial file goes, then the folders, where nothing else is in them.
void tst_InterruptCleanup::interruptLeavesNoEmptyFolderMade()
{
    QFETCH(bool, innerFirst);
    QFETCH(bool, finished);
    QFETCH(QStringList, left);
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QByteArray outer = QFile::encodeName(folder.filePath(QStringLiteral("outer")));
    const QByteArray inner = outer + "/inner";
    QByteArray partial = inner + "/frame.png.XXXXXX";
    const QByteArray done = inner + "/done.png";
    int ready[2];
    QVERIFY(::pipe(ready) == 0);
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        std::signal(SIGINT, SIG_DFL); // not the test framework's handler
        ::close(ready[0]);
        if (::mkdir(outer.constData(), 0700) != 0 || ::mkdir(inner.constData(), 0700) != 0) {
            ::_exit(2);
        }
        for (const QByteArray& made : innerFirst ? QList<QByteArray>{inner, outer} : QList<QByteArray>{outer, inner}) {
            if (core::interruptcleanup::watchFolder(made.constData()) < 0) {
                ::_exit(2);
            }
        }
        int ticket = -1;
        if (core::interruptcleanup::createWatched(&partial, &ticket) < 0
            || (finished && ::close(::open(done.constData(), O_WRONLY | O_CREAT, 0600)) != 0)
            || ::write(ready[1], "r", 1) != 1) {
            ::_exit(2);
        }
        for (;;) {
            ::pause();
        }
    }
    ::close(ready[1]);
    char byte = 0;
    QCOMPARE(::read(ready[0], &byte, 1), ssize_t(1));
    ::close(ready[0]);
    ::kill(child, SIGINT);
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY2(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT,
             qPrintable(QStringLiteral("the child ended with status %1").arg(status)));
    QStringList found;
    QDirIterator entries(folder.path(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                         QDirIterator::Subdirectories);
    while (entries.hasNext()) {
        found << QDir(folder.path()).relativeFilePath(entries.next());
    }
    found.sort();
    QCOMPARE(found, left);
}

QTEST_GUILESS_MAIN(tst_InterruptCleanup)
#include "tst_interruptcleanup.moc"
