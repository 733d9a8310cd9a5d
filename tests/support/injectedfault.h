#pragma once
// A failing disk for one scope, through the preloaded tests/support/faultshim.c: the Nth call of
// a file function on a path containing a text fails with an error number, or transfers half; or
// a disk that stops answering for a while.
// Arm it only while no other thread of the test touches files.

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <dlfcn.h>
#include <unistd.h>

// Whether the shim is preloaded; a test of a failing disk without it would test nothing.
inline bool faultShimLoaded()
{
    return dlsym(RTLD_DEFAULT, "facemaskFaultShimLoaded") != nullptr;
}

class InjectedFault
{
public:
    // fault: "CALL:TEXT:N:WHAT", as faultshim.c describes; empty arms nothing.
    explicit InjectedFault(const QString& fault) { qputenv("FACEMASK_FAULT", fault.toUtf8()); }
    // Emptied, not removed: ctest makes the entry at the start, and a value replaced in place is
    // safe for the shim reading it on another thread, where a removed or added entry is not.
    ~InjectedFault() { qputenv("FACEMASK_FAULT", QByteArray()); }
    InjectedFault(const InjectedFault&) = delete;
    InjectedFault& operator=(const InjectedFault&) = delete;
};

// A share that stopped answering, for one scope: every file call on a path containing text waits
// (faultshim.c's FACEMASK_STALL) until the scope ends or releaseAfterMs has passed, whichever
// comes first, so that a test of code that waits for it ends all the same, measurably late. Calls
// of other threads on such a path are held too.
class StalledDisk
{
public:
    StalledDisk(const QString& text, int releaseAfterMs)
        : marker(QDir::temp().filePath(QStringLiteral("facemask-held-%1-%2")
                                           .arg(QCoreApplication::applicationPid())
                                           .arg(quintptr(this))))
    {
        // Named before the marker is made, so that no earlier text can be held by this marker.
        qputenv("FACEMASK_STALL", (text + QLatin1Char(':') + marker).toUtf8());
        QFile file(marker);
        armed = file.open(QIODevice::WriteOnly);
        file.close();
        watchdog = std::thread([this, releaseAfterMs] {
            std::unique_lock<std::mutex> hold(lock);
            ended.wait_for(hold, std::chrono::milliseconds(releaseAfterMs), [this] { return over; });
            ::unlink(QFile::encodeName(marker).constData());
        });
    }
    ~StalledDisk()
    {
        {
            const std::lock_guard<std::mutex> hold(lock);
            over = true;
        }
        ended.notify_all();
        watchdog.join();
        // ":" holds nothing; replaced in place, as for InjectedFault, while held calls still read it.
        qputenv("FACEMASK_STALL", ":");
    }
    StalledDisk(const StalledDisk&) = delete;
    StalledDisk& operator=(const StalledDisk&) = delete;
    // Whether the stall could be set up; a test without it would test nothing.
    bool isArmed() const { return armed; }
    // Whether the disk still does not answer: the scope has not ended and the time not passed.
    bool isHolding() const { return QFile::exists(marker); }

private:
    QString marker;
    bool armed = false;
    std::mutex lock;
    std::condition_variable ended;
    bool over = false;
    std::thread watchdog;
};
