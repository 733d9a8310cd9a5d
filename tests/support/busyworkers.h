#pragma once
// Holds every thread of Qt's global pool until destroyed, so that work started meanwhile waits
// for it: a test can then look at a window while its read is certainly still running.

#include <QSemaphore>
#include <QThreadPool>

#include <memory>

class BusyWorkers
{
public:
    BusyWorkers() : m_state(std::make_shared<State>())
    {
        m_count = QThreadPool::globalInstance()->maxThreadCount();
        for (int i = 0; i < m_count; ++i) {
            // Each task keeps the semaphores alive: a released task may still be inside
            // acquire() when this object is gone.
            std::shared_ptr<State> state = m_state;
            QThreadPool::globalInstance()->start([state] {
                state->started.release();
                state->held.acquire();
            });
        }
        m_state->started.acquire(m_count);
    }
    ~BusyWorkers() { release(); }
    void release()
    {
        m_state->held.release(m_count);
        m_count = 0;
    }

private:
    struct State {
        QSemaphore started;
        QSemaphore held;
    };
    std::shared_ptr<State> m_state;
    int m_count = 0;
};
