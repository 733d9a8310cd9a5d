#include "core/newfilemode.h"

#include <cstdio>
#include <cstring>

namespace core {

namespace {

// 022 where the kernel does not say: the mask almost every system starts with.
constexpr unsigned usualMask = 022;

// The umask from /proc/self/status, which reads it without changing it (umask(2) can only be
// read by setting it, which would race with files other threads create meanwhile).
unsigned currentMask()
{
    std::FILE* status = std::fopen("/proc/self/status", "re");
    if (!status) {
        return usualMask;
    }
    unsigned mask = usualMask;
    char line[256];
    while (std::fgets(line, sizeof line, status)) {
        unsigned value = 0;
        if (std::strncmp(line, "Umask:", 6) == 0 && std::sscanf(line + 6, "%o", &value) == 1) {
            mask = value & 0777;
            break;
        }
    }
    std::fclose(status);
    return mask;
}

} // namespace

unsigned newFileMode()
{
    return 0666 & ~currentMask();
}

} // namespace core
