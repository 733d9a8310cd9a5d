#pragma once
// Leaves the process no file descriptor to open while it lives, as a long session that has used
// up its `ulimit -n` would: every open(2), pipe(2) or socket(2) fails with EMFILE. Descriptors
// open already keep working. It holds for the whole process.

#include "tests/support/processlimit.h"

#include <fcntl.h>
#include <unistd.h>

class DescriptorLimit : public ProcessLimit
{
public:
    DescriptorLimit() : ProcessLimit(RLIMIT_NOFILE, lowestFree()) {}

private:
    // The lowest free number: with the limit there, no new descriptor fits below it; -1 when
    // none can be had to find it.
    static long long lowestFree()
    {
        const int lowest = ::fcntl(0, F_DUPFD_CLOEXEC, 0);
        if (lowest < 0) {
            return -1;
        }
        ::close(lowest);
        return lowest;
    }
};
