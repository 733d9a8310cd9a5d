#include "core/numbertext.h"

#include <clocale>
#include <cstdio>
#include <locale.h>

namespace core {

namespace {

// The C locale's numbers (and, from the base it is made on, its character classes, which
// printing numbers and jsoncpp's writing do not use); null if it cannot be made.
locale_t cNumbers()
{
    static const locale_t locale = newlocale(LC_NUMERIC_MASK, "C", locale_t(nullptr));
    return locale;
}

} // namespace

CNumbersInThisThread::CNumbersInThisThread()
{
    if (const locale_t c = cNumbers()) {
        m_previous = uselocale(c);
    }
}

CNumbersInThisThread::~CNumbersInThisThread()
{
    if (m_previous) {
        uselocale(locale_t(m_previous));
    }
}

QByteArray numberText(const char* format, double value)
{
    const CNumbersInThisThread cNumbers;
    char text[64];
    const int length = std::snprintf(text, sizeof text, format, value);
    if (length < 0) {
        return QByteArray();
    }
    return QByteArray(text, length < int(sizeof text) ? length : int(sizeof text) - 1);
}

} // namespace core
