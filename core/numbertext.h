#pragma once

#include <QByteArray>

namespace core {

// The decimal point of Arabic-script locales such as Pashto (U+066B) in UTF-8: two bytes, which
// builds before numbers were written with C's '.' left in files.
constexpr char arabicDecimalPoint[] = "\xd9\xab";

// One number as printf writes it with `format` (a single double conversion such as "%.17g"),
// with '.' for the decimal point whatever the program's locale: the application object takes
// the locale from the environment on start, and a German one would write "0,5". Any thread.
QByteArray numberText(const char* format, double value);

// While it lives, the calling thread formats numbers with C's '.', for code that prints them
// through the C library itself (jsoncpp's writer mends a ',' but not the two-byte decimal point
// of a Pashto locale). Other threads keep their locale.
class CNumbersInThisThread {
public:
    CNumbersInThisThread();
    ~CNumbersInThisThread();
    CNumbersInThisThread(const CNumbersInThisThread&) = delete;
    CNumbersInThisThread& operator=(const CNumbersInThisThread&) = delete;

private:
    void* m_previous = nullptr; // the thread's locale_t before, or null when nothing was changed
};

} // namespace core
