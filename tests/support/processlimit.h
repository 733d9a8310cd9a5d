#pragma once
// A soft resource limit of this process (setrlimit) lowered while the object lives and put back
// when it goes. It holds for the whole process.

#include <sys/resource.h>

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
