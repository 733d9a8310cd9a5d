#pragma once
// Leaves the process no file descriptor to open while it lives, as a long session that has used
// up its `ulimit -n` would: every open(2), pipe(2) or socket(2) fails with EMFILE. Descriptors
// open already keep working. It holds for the whole process.

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

class DescriptorLimit
{
public:
    DescriptorLimit()
    {
        getrlimit(RLIMIT_NOFILE, &m_previous);
        // The lowest free number: with the limit there, no new descriptor fits below it.
        const int lowestFree = ::fcntl(0, F_DUPFD_CLOEXEC, 0);
        if (lowestFree < 0) {
            return;
        }
        ::close(lowestFree);
        rlimit limited = m_previous;
        limited.rlim_cur = rlim_t(lowestFree);
        m_active = setrlimit(RLIMIT_NOFILE, &limited) == 0;
    }
    ~DescriptorLimit() { setrlimit(RLIMIT_NOFILE, &m_previous); }
    DescriptorLimit(const DescriptorLimit&) = delete;
    DescriptorLimit& operator=(const DescriptorLimit&) = delete;
    bool isActive() const { return m_active; }

private:
    rlimit m_previous{};
    bool m_active = false;
};
