#pragma once
// Holds every thread of Qt's global pool until destroyed, so that work started meanwhile waits
// for it: a test can then look at a window while its read is certainly still running.

#include <QSemaphore>
#include <QThreadPool>

class BusyWorkers
{
public:
    BusyWorkers()
    {
        m_count = QThreadPool::globalInstance()->maxThreadCount();
        for (int i = 0; i < m_count; ++i) {
            QThreadPool::globalInstance()->start([this] {
                m_started.release();
                m_held.acquire();
            });
        }
        m_started.acquire(m_count);
    }
    ~BusyWorkers() { release(); }
    void release()
    {
        m_held.release(m_count);
        m_count = 0;
    }

private:
    int m_count = 0;
    QSemaphore m_started;
    QSemaphore m_held;
};
