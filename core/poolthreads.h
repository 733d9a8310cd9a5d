#pragma once

#include <cstddef>

class QThreadPool;

namespace core {

// Starts every thread of pool now and keeps them for the life of the pool, so that no thread
// is created later, when memory or the process's thread limit may have run out: Qt's pool
// keeps the task it meant for a thread that cannot be started, never to run it, and whoever
// waits for that task (Qt's own conversion of a large picture included) waits for ever.
// Waits at most about two seconds, when a thread cannot be had even now. The pool is made no
// larger than the threads that can be started now: Qt would count one it could not start as
// busy for ever, and waiting for the pool, as its destructor and a program's end do, would never
// return. False, with nothing given to the pool, when not one thread can be started now: work
// given to it later waits for a thread Qt starts then. Call before the pool is used, on the
// thread that owns it.
bool keepPoolThreads(QThreadPool& pool);

// How many threads, up to wanted, this process can have running at once now, each with a stack
// of stackBytes (0: the system's default, as a QThread's): each is started and kept until all
// are, then ended. *error, when given, is the system's error number of the first one that could
// not be started, else 0. Any thread.
int startableThreads(int wanted, int* error = nullptr, std::size_t stackBytes = 64 * 1024);

} // namespace core
