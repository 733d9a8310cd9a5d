// ui::endProgramSoon: the process ends with the window's status, within about a second, also
// when no thread can be had for the wait. Thread creation is made to fail by this program's own
// pthread_create, which every library's call reaches first; each case runs in a child process.
#include "app/programend.h"

#include <QElapsedTimer>
#include <QtTest>

#include <atomic>
#include <cerrno>

#include <dlfcn.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::atomic_bool threadsFail{false};

} // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*run)(void*),
                              void* argument)
{
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto create = reinterpret_cast<Create>(::dlsym(RTLD_NEXT, "pthread_create"));
    if (threadsFail.load() || !create) {
        return EAGAIN;
    }
    return create(thread, attributes, run, argument);
}

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
        threadsFail = noThread;
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
