#pragma once

#include "cli/parallelbatch.h"

#include <QSize>
#include <QStringList>
#include <QtGlobal>

// How much memory the work of make and detect may take at once. Any thread.
namespace cli {

// Bytes this process may still take: the smaller of what the system has available
// (MemAvailable) and the room left under the address-space limit (RLIMIT_AS), less reserve
// bytes. 0 when neither can be told.
qint64 availableMemory(qint64 reserve);

// The memory making a package of a picture of the declared size takes at its peak: the decoded
// picture, the copies detection makes of it and the encoded package. An invalid size (not told
// by the header) counts as a small picture.
qint64 packageMemoryNeed(QSize declared);

// The bound for working on pictures with jobs threads at once: each picture's need told from its
// header (packageMemoryNeed, also an upper bound for detecting alone), the budget what is free
// now less the room the worker threads take for their stacks and allocation arenas.
MemoryBound pictureMemoryBound(const QStringList& pictures, int jobs);

} // namespace cli
