// ui::endProgramSoon: the process ends with the window's status, within about a second, also
// when no thread can be had for the wait. Thread creation is made to fail by this program's own
// pthread_create, which every library's call reaches first; each case runs in a child process.
#include "app/programend.h"
#include "tests/support/injectedfault.h"
#include "tests/support/threadlimit.h"
#include "ui/workspace.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/wait.h>
#include <unistd.h>

class tst_ProgramEnd : public QObject
{
    Q_OBJECT

private slots:
    void endsWithTheStatus_data();
    void endsWithTheStatus();
    void settingsStoredAtTheCloseAreWrittenFirst();
};

void tst_ProgramEnd::endsWithTheStatus_data()
{
    QTest::addColumn<bool>("noThread");
    QTest::newRow("thread-for-the-wait") << false;
    QTest::newRow("no-thread-to-be-had") << true;
}

void tst_ProgramEnd::endsWithTheStatus()
{
    QFETCH(bool, noThread);
    QElapsedTimer clock;
    clock.start();
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        ::alarm(20);
        threadlimit::fail = noThread;
        try {
            ui::endProgramSoon(7);
        } catch (...) {
            ::_exit(98); // in the program, an exception out of main: std::terminate, an abort
        }
        // A worker that never ends, as the detection of a large picture.
        ::sleep(15);
        ::_exit(99);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY2(WIFEXITED(status), qPrintable(QStringLiteral("ended by signal %1").arg(WTERMSIG(status))));
    QCOMPARE(WEXITSTATUS(status), 7);
    QVERIFY(clock.elapsed() < 10000);
}

// The settings the window stored as it closed are on a disk that holds them for a while: the
// process stays until they are written, then ends with the window's status.
void tst_ProgramEnd::settingsStoredAtTheCloseAreWrittenFirst()
{
    QVERIFY2(faultShimLoaded(), "run with the fault shim preloaded, as ctest does");
    QTemporaryDir home;
    QVERIFY(home.isValid());
    const QString marker = home.filePath(QStringLiteral("held"));
    QFile held(marker);
    QVERIFY(held.open(QIODevice::WriteOnly));
    held.close();
    const QString config = home.filePath(QStringLiteral("config"));
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        ::alarm(60);
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config));
        ui::Workspace workspace;
        qputenv("FACEMASK_STALL", QFile::encodeName(QStringLiteral("facemask.conf:") + marker));
        workspace.setAuthor(QStringLiteral("Ada"));
        ui::endProgramAfterSettings(7, std::chrono::seconds(30));
        ::sleep(30);
        ::_exit(99);
    }
    // While the disk holds the write, the process stays.
    int status = 0;
    bool endedWhileHeld = false;
    for (int i = 0; i < 30 && !endedWhileHeld; ++i) {
        QTest::qWait(100);
        endedWhileHeld = ::waitpid(child, &status, WNOHANG) == child;
    }
    QVERIFY(held.remove());
    if (!endedWhileHeld) {
        QCOMPARE(::waitpid(child, &status, 0), child);
    }
    QVERIFY2(WIFEXITED(status), qPrintable(QStringLiteral("ended by signal %1").arg(WTERMSIG(status))));
    QCOMPARE(WEXITSTATUS(status), 7);
    QVERIFY(!endedWhileHeld);
    QFile settings(config + QStringLiteral("/facemask/facemask.conf"));
    QVERIFY(settings.open(QIODevice::ReadOnly));
    QVERIFY2(settings.readAll().contains("author=Ada"), qPrintable(settings.fileName()));
}

QTEST_GUILESS_MAIN(tst_ProgramEnd)
#include "tst_programend.moc"
