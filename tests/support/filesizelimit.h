#pragma once
// Makes writes beyond a file size fail (EFBIG) while it lives, as a disk that fills up would:
// a file is created and written up to the limit, and every byte past it is refused. Reading is
// not affected. It holds for the whole process, so only a test that writes on one thread uses it.

#include "tests/support/processlimit.h"

#include <csignal>

class FileSizeLimit : public ProcessLimit
{
public:
    // SIGXFSZ, whose default ends the process, is ignored from then on.
    explicit FileSizeLimit(rlim_t bytes)
        : ProcessLimit((std::signal(SIGXFSZ, SIG_IGN), RLIMIT_FSIZE), static_cast<long long>(bytes))
    {
    }
};
