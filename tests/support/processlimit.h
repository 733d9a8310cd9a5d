#pragma once
// A soft resource limit of this process (setrlimit) lowered while the object lives and put back
// when it goes. It holds for the whole process.

#include <QFile>

#include <functional>

#include <sys/resource.h>
#include <unistd.h>

class ProcessLimit
{
public:
    // Lowers resource's soft limit to current; a negative current leaves it as it is (inactive).
    ProcessLimit(int resource, long long current) : m_resource(resource)
    {
        getrlimit(m_resource, &m_previous);
        if (current < 0) {
            return;
        }
        rlimit limited = m_previous;
        limited.rlim_cur = rlim_t(current);
        m_active = setrlimit(m_resource, &limited) == 0;
    }
    ~ProcessLimit() { setrlimit(m_resource, &m_previous); }
    ProcessLimit(const ProcessLimit&) = delete;
    ProcessLimit& operator=(const ProcessLimit&) = delete;
    bool isActive() const { return m_active; }

private:
    int m_resource;
    rlimit m_previous{};
    bool m_active = false;
};

// Bytes of address space this process holds now; -1 when it cannot be told.
inline long long addressSpaceInUse()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly)) {
        return -1;
    }
    return statm.readLine().split(' ').first().toLongLong() * sysconf(_SC_PAGESIZE);
}

// The least limit, to within precision, under which succeeds(limit) holds: doubled from start
// until it holds, then halved in between. Units are the caller's (bytes, KiB). -1 when nothing up
// to ceiling lets it hold. What a run needs on the machine at hand (its cores, its libraries),
// for limits set as room beyond it.
inline long long leastSucceedingLimit(const std::function<bool(long long)>& succeeds, long long start,
                                      long long ceiling, long long precision)
{
    long long fails = 0;
    long long enough = start;
    while (!succeeds(enough)) {
        if (enough >= ceiling) {
            return -1;
        }
        fails = enough;
        enough *= 2;
    }
    while (enough - fails > precision) {
        const long long middle = (fails + enough) / 2;
        (succeeds(middle) ? enough : fails) = middle;
    }
    return enough;
}
