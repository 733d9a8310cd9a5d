#include "core/freedmemory.h"

#include <cstdlib> // defines __GLIBC__ on the GNU C library

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace core {

bool giveFreedPicturesBack()
{
#if defined(__GLIBC__)
    // A threshold set by hand is no longer raised by the blocks freed.
    return ::mallopt(M_MMAP_THRESHOLD, 1 << 20) == 1;
#else
    return false;
#endif
}

} // namespace core
