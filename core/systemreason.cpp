#include "core/systemreason.h"

#include <cstring>

namespace core {

QString systemReason(int error)
{
    char buffer[256] = {};
    // The GNU strerror_r: returns the text, in buffer or in a constant of the library.
    return QString::fromLocal8Bit(strerror_r(error, buffer, sizeof buffer));
}

} // namespace core
