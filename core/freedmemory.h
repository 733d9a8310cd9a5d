#pragma once

namespace core {

// Serves every block of 1 MiB or more (a picture, a picture's copy) from a mapping of its own,
// so that freeing it gives its pages back to the system at once. Left to itself, the C library
// raises that threshold to the largest block freed so far (up to 32 MiB) and serves later
// pictures from its heap, whose pages it keeps after they are freed: a window whose history
// let go of a day's pictures went on holding their memory. Call once at start, before any
// thread. False where the C library offers no such setting (nothing is changed then).
bool giveFreedPicturesBack();

} // namespace core
