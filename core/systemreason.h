#pragma once

#include <QString>

namespace core {

// The system's words for an errno value, e.g. "No space left on device", in the user's language
// where the system has it. Any thread.
QString systemReason(int error);

} // namespace core
