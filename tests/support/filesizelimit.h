#pragma once
// Makes writes beyond a file size fail (EFBIG) while it lives, as a disk that fills up would:
// a file is created and written up to the limit, and every byte past it is refused. Reading is
// not affected. It holds for the whole process, so only a test that writes on one thread uses it.

#include <csignal>
#include <sys/resource.h>

class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_previous);
        rlimit limited = m_previous;
        limited.rlim_cur = bytes;
        m_active = setrlimit(RLIMIT_FSIZE, &limited) == 0;
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &m_previous); }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    bool isActive() const { return m_active; }

private:
    rlimit m_previous{};
    bool m_active = false;
};
