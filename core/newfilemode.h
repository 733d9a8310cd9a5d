#pragma once

namespace core {

// The permission bits of a file this process creates, as open(2) would give it: read and write
// for everyone (0666) less the process's umask, read afresh on every call. Files are written
// under a temporary name and renamed into place, so their mode is set explicitly; this keeps
// a user's umask (077, say) in force for packages holding their photos. Any thread.
unsigned newFileMode();

} // namespace core
