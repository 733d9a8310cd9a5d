#pragma once

// The byte form of the model cache: fixed-width numbers and arrays of them in the machine's own
// order, copied with memcpy (no alignment is assumed). The cache file carries the byte order and
// type sizes in its header, so a file from another machine is refused rather than misread.

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

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

// Reads what Sink wrote, from memory it does not own or in pieces pulled from a file. Every read
// checks the remaining length; once one fails, ok() stays false and later reads fail too.
class Source
{
public:
    // Fills target with the length bytes at offset of the payload; false when they cannot be read.
    using Fill = std::function<bool(char* target, uint64_t offset, size_t length)>;
    // Sees every piece once, in order, as it is filled (to hash the payload on the way).
    using Seen = std::function<void(const char* bytes, size_t length)>;

    Source(const char* data, size_t size)
        : window(data)
        , windowEnd(size)
        , size(size)
    {
    }
    // size bytes in pieces of pieceSize, so that a file is never held whole in memory (nor
    // mapped, which a file cut short by another process would turn into SIGBUS).
    Source(size_t size, Fill fill, Seen seen, size_t pieceSize = size_t(1) << 20)
        : size(size)
        , fill(std::move(fill))
        , seen(std::move(seen))
        , piece(std::min(size, pieceSize))
    {
        window = piece.data();
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
        const size_t bytes = count * sizeof(T);
        if (bytes <= windowEnd - offset) {
            if (bytes > 0) {
                std::memcpy(values, window + (offset - windowStart), bytes);
            }
            offset += bytes;
            return true;
        }
        return getAcrossPieces(reinterpret_cast<char*>(values), bytes);
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
    bool getAcrossPieces(char* target, size_t bytes)
    {
        while (bytes > 0) {
            const size_t available = windowEnd - offset;
            if (available == 0) {
                const size_t length = std::min(piece.size(), size - offset);
                if (!fill || length == 0 || !fill(piece.data(), offset, length)) {
                    good = false;
                    return false;
                }
                if (seen) {
                    seen(piece.data(), length);
                }
                windowStart = offset;
                windowEnd = offset + length;
                continue;
            }
            const size_t taken = std::min(available, bytes);
            std::memcpy(target, window + (offset - windowStart), taken);
            target += taken;
            offset += taken;
            bytes -= taken;
        }
        return true;
    }

    const char* window = nullptr; // the bytes from windowStart to windowEnd
    size_t windowStart = 0;
    size_t windowEnd = 0;
    size_t size;
    size_t offset = 0;
    bool good = true;
    Fill fill;
    Seen seen;
    std::vector<char> piece;
};

} // namespace core::cachebytes
