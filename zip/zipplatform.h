#pragma once
// The little the archive engine needs from the operating system: files, local time and text
// conversion. POSIX and the C++ standard library only; no Qt. Every call is synchronous and
// reports failure through its return value.

#include <cstddef>
#include <cstdint>
#include <string>

struct ArchiveLocalTime;

namespace zipplatform {

// An owned or borrowed POSIX file descriptor. Moving transfers ownership; an owned descriptor
// is closed by close() or the destructor, a borrowed one never.
class File {
public:
    File() = default;
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File();

    // Creates the file anew (truncating an existing one) for writing. Not open on failure.
    static File createForWriting(const std::string& utf8Path);
    // Opens an existing regular file for reading. Not open on failure; then *error (when not
    // null) holds the system's error number, or 0 when the file opened but is no regular file.
    static File openForReading(const std::string& utf8Path, int* error = nullptr);
    // Wraps a descriptor the caller keeps owning.
    static File borrow(int descriptor);

    bool isOpen() const { return descriptor_ >= 0; }
    // Writes all of data unless the system refuses; returns the bytes accepted.
    size_t write(const void* data, size_t length);
    // Reads up to length bytes at absolute position; returns the bytes delivered (short at the
    // end of the file or on error). *error (when not null) holds the system's error number of a
    // failed read, 0 when the file ended. An interrupted read is retried.
    size_t readAt(uint64_t position, void* buffer, size_t length, int* error = nullptr);
    // Moves the write position; false when the file cannot be positioned (a pipe, say).
    bool seek(uint64_t position);
    // Current position, or false when the file cannot be positioned.
    bool position(uint64_t* out) const;
    // Length in bytes, or false when unknown.
    bool size(uint64_t* out) const;
    void close();

private:
    explicit File(int descriptor, bool owned) : descriptor_(descriptor), owned_(owned) {}
    int descriptor_ = -1;
    bool owned_ = false;
};

// The wall-clock time of the local time zone, to the second.
ArchiveLocalTime currentLocalTime();

// The local calendar time taken as local and converted to seconds since 1970-01-01 UTC with the
// local time-zone rules.
int64_t localTimeToUtcSeconds(const ArchiveLocalTime& local);

// The calendar fields read as if they were UTC: seconds since 1970-01-01 00:00 without any
// time-zone conversion.
int64_t calendarSecondsSinceEpoch(const ArchiveLocalTime& time);

// UTF-16 (zero-terminated, at most maxUnits units before the terminator) to UTF-8. False for a
// null text, an unpaired surrogate, or a text longer than maxUnits.
bool utf16ToUtf8(const char16_t* text, size_t maxUnits, std::string* out);

// UTF-8 to UTF-16, stopping after maxUnits units; malformed sequences become U+FFFD.
std::u16string utf8ToUtf16(const char* text, size_t length, size_t maxUnits);

}  // namespace zipplatform
