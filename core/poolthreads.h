#pragma once

class QThreadPool;

namespace core {

// Starts every thread of pool now and keeps them for the life of the pool, so that no thread
// is created later, when memory or the process's thread limit may have run out: Qt's pool
// keeps the task it meant for a thread that cannot be started, never to run it, and whoever
// waits for that task (Qt's own conversion of a large picture included) waits for ever.
// Waits at most about two seconds, when a thread cannot be had even now. Call before the pool
// is used, on the thread that owns it.
void keepPoolThreads(QThreadPool& pool);

} // namespace core
