#pragma once
// A cursor over a block of bytes that never reads outside it. Once a read would pass the end,
// every read yields 0 (or null) and ok() stays false: parse a whole record, then check once.

#include <cstddef>
#include <cstdint>

class ByteReader {
public:
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(data ? size : 0) {}

    bool ok() const { return ok_; }
    size_t position() const { return position_; }
    size_t remaining() const { return ok_ ? size_ - position_ : 0; }

    uint8_t u8()
    {
        const uint8_t* p = take(1);
        return p ? p[0] : 0;
    }
    uint16_t u16()
    {
        const uint8_t* p = take(2);
        return p ? static_cast<uint16_t>(p[0] | (p[1] << 8)) : 0;
    }
    uint32_t u32()
    {
        const uint8_t* p = take(4);
        return p ? static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8)
                       | (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24)
                 : 0;
    }
    // The next n bytes, or null when fewer remain.
    const uint8_t* bytes(size_t n) { return take(n); }
    void skip(size_t n) { take(n); }

private:
    const uint8_t* take(size_t n)
    {
        if (!ok_ || n > size_ - position_) {
            ok_ = false;
            return nullptr;
        }
        const uint8_t* p = data_ + position_;
        position_ += n;
        return p;
    }

    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
    bool ok_ = true;
};
