// ui::endProgramSoon: the process ends with the window's status, within about a second, also
// when no thread can be had for the wait. Thread creation is made to fail by this program's own
// pthread_create, which every library's call reaches first; each case runs in a child process.
#include "app/programend.h"
#include "tests/support/threadlimit.h"

#include <QElapsedTimer>
#include <QtTest>

#include <sys/wait.h>
#include <unistd.h>

class tst_ProgramEnd : public QObject
{
    Q_OBJECT

private slots:
    void endsWithTheStatus_data();
    void endsWithTheStatus();
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

QTEST_GUILESS_MAIN(tst_ProgramEnd)
#include "tst_programend.moc"
