#pragma once

// The byte form of the model cache: fixed-width numbers and arrays of them in the machine's own
// order, copied with memcpy (no alignment is assumed). The cache file carries the byte order and
// type sizes in its header, so a file from another machine is refused rather than misread.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

namespace core::cachebytes {

// Appends to a string that becomes the cache's payload.
class Sink
{
public:
    template <typename T>
    void put(T value)
    {
        static_assert(std::is_trivially_copyable_v<T>);
        bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
    }

    template <typename T>
    void putArray(const T* values, size_t count)
    {
        static_assert(std::is_trivially_copyable_v<T>);
        if (count > 0) {
            bytes.append(reinterpret_cast<const char*>(values), count * sizeof(T));
        }
    }

    std::string bytes;
};

// Reads what Sink wrote, from memory it does not own. Every read checks the remaining length;
// once one fails, ok() stays false and later reads fail too.
class Source
{
public:
    Source(const char* data, size_t size)
        : data(data)
        , size(size)
    {
    }

    template <typename T>
    bool get(T& value)
    {
        return getArray(&value, 1);
    }

    template <typename T>
    bool getArray(T* values, size_t count)
    {
        static_assert(std::is_trivially_copyable_v<T>);
        if (!good || count > (size - offset) / sizeof(T)) {
            good = false;
            return false;
        }
        if (count > 0) {
            std::memcpy(values, data + offset, count * sizeof(T));
        }
        offset += count * sizeof(T);
        return true;
    }

    // A count read from the file, refused when it exceeds limit (which bounds allocations).
    bool getCount(uint32_t& count, uint32_t limit)
    {
        if (!get(count) || count > limit) {
            good = false;
            return false;
        }
        return true;
    }

    bool ok() const { return good; }
    bool atEnd() const { return good && offset == size; }
    void fail() { good = false; }

private:
    const char* data;
    size_t size;
    size_t offset = 0;
    bool good = true;
};

} // namespace core::cachebytes
