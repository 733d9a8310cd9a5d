#include "zip/zipplatform.h"

#include "zip/ziparchive.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zipplatform {

File::File(File&& other) noexcept : descriptor_(other.descriptor_), owned_(other.owned_)
{
    other.descriptor_ = -1;
    other.owned_ = false;
}

File& File::operator=(File&& other) noexcept
{
    if (this != &other) {
        close();
        descriptor_ = other.descriptor_;
        owned_ = other.owned_;
        other.descriptor_ = -1;
        other.owned_ = false;
    }
    return *this;
}

File::~File()
{
    close();
}

File File::createForWriting(const std::string& utf8Path)
{
    const int fd = ::open(utf8Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return File(fd, fd >= 0);
}

File File::openForReading(const std::string& utf8Path, int* error)
{
    int failure = 0;
    // Without waiting: a FIFO would hold open(2), on a worker no cancel reaches, until something
    // writes to it. Only a regular file is an archive (a directory opens fine on POSIX).
    int fd = -1;
    do {
        fd = ::open(utf8Path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    struct stat info {};
    if (fd < 0) {
        failure = errno;
    } else if (::fstat(fd, &info) != 0) {
        failure = errno;
        ::close(fd);
        fd = -1;
    } else if (!S_ISREG(info.st_mode)) {
        ::close(fd);
        fd = -1;
    }
    if (error)
        *error = failure;
    return fd < 0 ? File() : File(fd, true);
}

File File::borrow(int descriptor)
{
    return File(descriptor, false);
}

size_t File::write(const void* data, size_t length)
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t done = 0;
    while (isOpen() && done < length) {
        const ssize_t n = ::write(descriptor_, bytes + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    return done;
}

size_t File::readAt(uint64_t position, void* buffer, size_t length, int* error)
{
    auto* bytes = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    int failure = 0;
    while (isOpen() && done < length) {
        const ssize_t n = ::pread(descriptor_, bytes + done, length - done,
                                  static_cast<off_t>(position + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            failure = errno;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    if (error)
        *error = failure;
    return done;
}

bool File::seek(uint64_t position)
{
    return isOpen() && ::lseek(descriptor_, static_cast<off_t>(position), SEEK_SET) >= 0;
}

bool File::position(uint64_t* out) const
{
    if (!isOpen())
        return false;
    const off_t at = ::lseek(descriptor_, 0, SEEK_CUR);
    if (at < 0)
        return false;
    *out = static_cast<uint64_t>(at);
    return true;
}

bool File::size(uint64_t* out) const
{
    struct stat info {};
    if (!isOpen() || ::fstat(descriptor_, &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    *out = static_cast<uint64_t>(info.st_size);
    return true;
}

void File::close()
{
    if (owned_ && descriptor_ >= 0)
        ::close(descriptor_);
    descriptor_ = -1;
    owned_ = false;
}

ArchiveLocalTime currentLocalTime()
{
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    ::localtime_r(&now, &local);
    return ArchiveLocalTime { local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                              local.tm_hour, local.tm_min, local.tm_sec };
}

int64_t localTimeToUtcSeconds(const ArchiveLocalTime& local)
{
    std::tm fields {};
    fields.tm_year = local.year - 1900;
    fields.tm_mon = local.month - 1;
    fields.tm_mday = local.day;
    fields.tm_hour = local.hour;
    fields.tm_min = local.minute;
    fields.tm_sec = local.second;
    fields.tm_isdst = -1;  // let the zone rules decide, as a person reading a clock would
    return static_cast<int64_t>(std::mktime(&fields));
}

int64_t calendarSecondsSinceEpoch(const ArchiveLocalTime& time)
{
    // Days from 1970-01-01 in the proleptic Gregorian calendar (H. Hinnant's days_from_civil).
    int64_t year = time.year;
    const int64_t month = time.month;
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + time.day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const int64_t days = era * 146097 + dayOfEra - 719468;
    return days * 86400 + int64_t(time.hour) * 3600 + int64_t(time.minute) * 60 + time.second;
}

bool utf16ToUtf8(const char16_t* text, size_t maxUnits, std::string* out)
{
    if (!text)
        return false;
    out->clear();
    for (size_t i = 0; text[i] != 0; ++i) {
        if (i >= maxUnits)
            return false;
        uint32_t code = text[i];
        if (code >= 0xD800 && code <= 0xDBFF) {
            const uint32_t low = text[i + 1];
            if (low < 0xDC00 || low > 0xDFFF || i + 1 >= maxUnits)
                return false;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            ++i;
        } else if (code >= 0xDC00 && code <= 0xDFFF) {
            return false;
        }
        if (code < 0x80) {
            out->push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out->push_back(static_cast<char>(0xC0 | (code >> 6)));
            out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out->push_back(static_cast<char>(0xE0 | (code >> 12)));
            out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out->push_back(static_cast<char>(0xF0 | (code >> 18)));
            out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return true;
}

namespace {

// Decodes one UTF-8 sequence at text[i]; returns U+FFFD and consumes one byte when malformed.
uint32_t decodeUtf8(const uint8_t* text, size_t length, size_t* i)
{
    const uint8_t lead = text[*i];
    size_t extra = 0;
    uint32_t code = 0;
    uint32_t minimum = 0;
    if (lead < 0x80) {
        ++*i;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        extra = 1, code = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2, code = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3, code = lead & 0x07, minimum = 0x10000;
    } else {
        ++*i;
        return 0xFFFD;
    }
    if (length - *i <= extra) {
        ++*i;
        return 0xFFFD;
    }
    for (size_t k = 1; k <= extra; ++k) {
        const uint8_t next = text[*i + k];
        if ((next & 0xC0) != 0x80) {
            ++*i;
            return 0xFFFD;
        }
        code = (code << 6) | (next & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        ++*i;
        return 0xFFFD;
    }
    *i += extra + 1;
    return code;
}

}  // namespace

std::u16string utf8ToUtf16(const char* text, size_t length, size_t maxUnits)
{
    std::u16string out;
    const auto* bytes = reinterpret_cast<const uint8_t*>(text);
    size_t i = 0;
    while (i < length && bytes[i] != 0) {
        const uint32_t code = decodeUtf8(bytes, length, &i);
        if (code >= 0x10000) {
            if (out.size() + 2 > maxUnits)
                break;
            out.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
        } else {
            if (out.size() + 1 > maxUnits)
                break;
            out.push_back(static_cast<char16_t>(code));
        }
    }
    return out;
}

}  // namespace zipplatform
