#pragma once

#include <QString>

namespace core {

// The system's words for an errno value, e.g. "No space left on device", in the user's language
// where the system has it. Any thread.
QString systemReason(int error);

// Why a file could not be made at path when its folder is there but the folder's file system
// refuses the name (FAT and exFAT on USB sticks and memory cards: ENOENT through FUSE, EINVAL in
// the kernel), in words that say what to do; empty for any other failure. Any thread.
QString refusedNameReason(const QString& path, int error);

} // namespace core
