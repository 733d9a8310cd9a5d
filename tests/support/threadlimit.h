#pragma once
// Thread creation made to fail as when memory or the process's thread limit (`ulimit -u`) has
// run out: this program's own pthread_create, which every library's call reaches first. It holds
// for the whole process. Include it in one source file of a test program only: it defines
// pthread_create.

#include <atomic>
#include <cerrno>

#include <dlfcn.h>
#include <pthread.h>

namespace threadlimit {

// Set while no thread may be created.
inline std::atomic_bool fail{false};
// Threads that may be alive at once besides those running already; -1: any number.
inline std::atomic_int room{-1};

struct Counted {
    void* (*run)(void*);
    void* argument;
};

inline void* runCounted(void* counted)
{
    const Counted task = *static_cast<Counted*>(counted);
    delete static_cast<Counted*>(counted);
    void* const result = task.run(task.argument);
    ++room;
    return result;
}

} // namespace threadlimit

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*run)(void*),
                              void* argument)
{
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto create = reinterpret_cast<Create>(::dlsym(RTLD_NEXT, "pthread_create"));
    if (threadlimit::fail.load() || !create) {
        return EAGAIN;
    }
    if (threadlimit::room.load() < 0) {
        return create(thread, attributes, run, argument);
    }
    if (threadlimit::room.fetch_sub(1) <= 0) {
        ++threadlimit::room;
        return EAGAIN;
    }
    const int created = create(thread, attributes, threadlimit::runCounted, new threadlimit::Counted{run, argument});
    if (created != 0) {
        ++threadlimit::room;
    }
    return created;
}
