#include "zip/zipwriter.h"

#include "zip/zipformat.h"
#include "zip/zipplatform.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <sys/mman.h>
#include <vector>

using namespace zipformat;

namespace {

// Pieces handed to the compressor at a time: the CRC-32 is taken over each piece as it goes in.
constexpr uint32_t kDeflateInputPiece = 65536;
constexpr int kDeflateLevel = 8;
// The automatic level looks at this much of a member, and takes level 0 when deflating it at
// level 1 saves less than a sixty-fourth: such data is already compressed (PNG, JPEG).
constexpr uint32_t kProbeLength = 65536;
constexpr uint32_t kWorthwhileSavingShare = 64;
constexpr uint16_t kFlagFastCompression = 0x0004;
constexpr uint16_t kFlagFastestCompression = 0x0006;
constexpr uint16_t kVersionMadeBy = 0x0B17;
constexpr uint16_t kVersionNeeded = 20;
constexpr uint16_t kFlagMaximumCompression = 0x0002;
constexpr uint32_t kMemoryAttributes = 0x80000000;
constexpr uint32_t kFolderAttributes = 0x41C00010;
constexpr uint64_t kFormatLimit = 0xFFFFFFFFull;

struct MemberRecord {
    uint16_t flags = kFlagDataDescriptor;
    uint16_t localFlags = kFlagDataDescriptor;
    uint16_t method = kMethodDeflated;
    uint16_t dosTime = 0;
    uint16_t dosDate = 0;
    uint32_t crc = 0;
    uint32_t compressedSize = 0;
    uint32_t uncompressedSize = 0;
    uint32_t externalAttributes = kMemoryAttributes;
    uint32_t localHeaderOffset = 0;
    std::string name;
    std::array<uint8_t, kLocalExtraSize> localExtra {};
    std::array<uint8_t, kCentralExtraSize> centralExtra {};
};

// Little-endian serialisation into a growing byte vector.
class ByteWriter {
public:
    explicit ByteWriter(size_t reserve) { bytes_.reserve(reserve); }
    void u8(uint8_t v) { bytes_.push_back(v); }
    void u16(uint16_t v)
    {
        u8(static_cast<uint8_t>(v));
        u8(static_cast<uint8_t>(v >> 8));
    }
    void u32(uint32_t v)
    {
        u16(static_cast<uint16_t>(v));
        u16(static_cast<uint16_t>(v >> 16));
    }
    void append(const void* data, size_t n)
    {
        const auto* p = static_cast<const uint8_t*>(data);
        bytes_.insert(bytes_.end(), p, p + n);
    }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

std::vector<uint8_t> localHeaderBytes(const MemberRecord& r)
{
    ByteWriter w(kLocalHeaderSize + r.name.size() + kLocalExtraSize);
    w.u32(kLocalHeaderSignature);
    w.u16(kVersionNeeded);
    w.u16(r.localFlags);
    w.u16(r.method);
    w.u16(r.dosTime);
    w.u16(r.dosDate);
    w.u32(r.crc);
    w.u32(r.compressedSize);
    w.u32(r.uncompressedSize);
    w.u16(static_cast<uint16_t>(r.name.size()));
    w.u16(kLocalExtraSize);
    w.append(r.name.data(), r.name.size());
    w.append(r.localExtra.data(), r.localExtra.size());
    return w.bytes();
}

std::vector<uint8_t> centralHeaderBytes(const MemberRecord& r)
{
    ByteWriter w(kCentralHeaderSize + r.name.size() + kCentralExtraSize);
    w.u32(kCentralHeaderSignature);
    w.u16(kVersionMadeBy);
    w.u16(kVersionNeeded);
    w.u16(r.flags);
    w.u16(r.method);
    w.u16(r.dosTime);
    w.u16(r.dosDate);
    w.u32(r.crc);
    w.u32(r.compressedSize);
    w.u32(r.uncompressedSize);
    w.u16(static_cast<uint16_t>(r.name.size()));
    w.u16(kCentralExtraSize);
    w.u16(0);  // comment length
    w.u16(0);  // disk number start
    w.u16(0);  // internal attributes
    w.u32(r.externalAttributes);
    w.u32(r.localHeaderOffset);
    w.append(r.name.data(), r.name.size());
    w.append(r.centralExtra.data(), r.centralExtra.size());
    return w.bytes();
}

std::vector<uint8_t> dataDescriptorBytes(const MemberRecord& r)
{
    ByteWriter w(kDataDescriptorSize);
    w.u32(kDataDescriptorSignature);
    w.u32(r.crc);
    w.u32(r.compressedSize);
    w.u32(r.uncompressedSize);
    return w.bytes();
}

std::vector<uint8_t> endRecordBytes(uint16_t count, uint32_t directorySize, uint32_t directoryOffset)
{
    ByteWriter w(kEndRecordSize);
    w.u32(kEndRecordSignature);
    w.u16(0);
    w.u16(0);
    w.u16(count);
    w.u16(count);
    w.u32(directorySize);
    w.u32(directoryOffset);
    w.u16(0);
    return w.bytes();
}

// ASCII only: std::tolower follows the process locale, and in some (Turkish) "I" is no "i".
char asciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool endsWithIgnoringCase(const std::string& text, size_t from, const char* suffix)
{
    const size_t n = std::strlen(suffix);
    if (text.size() - from != n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        if (asciiLower(text[from + i]) != asciiLower(suffix[i]))
            return false;
    }
    return true;
}

// Formats that are compressed already gain nothing from Deflate. The last "." of the whole name
// counts, even inside a directory part, so "a.zip/b" is deflated.
// General purpose bits 1 and 2 of a deflated member tell the level it was made with.
uint16_t levelFlags(int level)
{
    if (level >= kDeflateLevel)
        return kFlagMaximumCompression;
    if (level <= 0)
        return kFlagFastestCompression;
    return level <= 2 ? kFlagFastCompression : 0;
}

// What deflate at level 1 makes of the first kProbeLength bytes; SIZE_MAX when it fails.
size_t probedDeflatedSize(const uint8_t* data, uint32_t length)
{
    const uint32_t probed = std::min(length, kProbeLength);
    z_stream probe {};
    if (deflateInit2(&probe, 1, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return SIZE_MAX;
    std::vector<uint8_t> out(deflateBound(&probe, probed));
    probe.next_in = const_cast<Bytef*>(data);
    probe.avail_in = probed;
    probe.next_out = out.data();
    probe.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&probe, Z_FINISH);
    const size_t produced = out.size() - probe.avail_out;
    deflateEnd(&probe);
    return rc == Z_STREAM_END ? produced : SIZE_MAX;
}

int automaticLevel(const uint8_t* data, uint32_t length)
{
    const uint32_t probed = std::min(length, kProbeLength);
    const size_t deflated = probedDeflatedSize(data, length);
    const bool compresses = deflated != SIZE_MAX && deflated + probed / kWorthwhileSavingShare < probed;
    return compresses ? kDeflateLevel : 0;
}

uint16_t methodForName(const std::string& name)
{
    static const char* const storedSuffixes[] = { ".Z", ".zip", ".zoo", ".arc",
                                                  ".lzh", ".arj", ".gz", ".tgz" };
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos)
        return kMethodDeflated;
    for (const char* suffix : storedSuffixes) {
        if (endsWithIgnoringCase(name, dot, suffix))
            return kMethodStored;
    }
    return kMethodDeflated;
}

void putU32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

void stampTimes(MemberRecord* r, const ArchiveLocalTime& reading)
{
    // DOS dates hold 1980 to 2107: a reading outside them takes the first or last stamp as a
    // whole (clamping the year alone could give 29 February of 2107, which no calendar has).
    ArchiveLocalTime now = reading;
    if (now.year < 1980) {
        now = ArchiveLocalTime { 1980, 1, 1, 0, 0, 0 };
    } else if (now.year > 2107) {
        now = ArchiveLocalTime { 2107, 12, 31, 23, 59, 58 };
    }
    const int year = now.year;
    r->dosDate = static_cast<uint16_t>(((year - 1980) << 9) | ((now.month & 0x0F) << 5) | (now.day & 0x1F));
    r->dosTime = static_cast<uint16_t>(((now.hour & 0x1F) << 11) | ((now.minute & 0x3F) << 5)
                                       | ((now.second / 2) & 0x1F));
    // The wall-clock reading is stored as if it were UTC, without a zone conversion. Readers take
    // the field as signed 32-bit seconds: a later reading keeps the last one it can hold.
    // It holds 1970 to 2038, so a reading outside the DOS dates keeps its own time here.
    const auto unixTime = static_cast<uint32_t>(
        std::clamp<int64_t>(zipplatform::calendarSecondsSinceEpoch(reading), 0, INT32_MAX));
    const uint8_t localHead[] = { 'U', 'T', 13, 0, 0x07 };
    std::memcpy(r->localExtra.data(), localHead, sizeof localHead);
    putU32(&r->localExtra[5], unixTime);   // modification
    putU32(&r->localExtra[9], unixTime);   // access
    putU32(&r->localExtra[13], unixTime);  // creation
    const uint8_t centralHead[] = { 'U', 'T', 5, 0, 0x07 };
    std::memcpy(r->centralExtra.data(), centralHead, sizeof centralHead);
    putU32(&r->centralExtra[5], unixTime);
}

}  // namespace

struct ArchiveWriter::Impl {
    enum class Target { None, File, Memory };

    Target target = Target::None;
    zipplatform::File file;
    uint8_t* block = nullptr;
    uint32_t capacity = 0;
    uint64_t memoryPosition = 0;
    uint64_t memoryLength = 0;
    bool ownsBlock = false;

    uint32_t startOffset = 0;
    bool canSeek = true;
    uint64_t bytesWritten = 0;
    uint64_t directoryBytes = 0;  // central headers of the members so far
    ArchiveResult stickyFailure = ArchiveResult::Ok;
    bool directoryWritten = false;
    std::vector<MemberRecord> members;
    std::optional<ArchiveLocalTime> fixedTime;

    std::array<uint8_t, kBufferSize> buffer {};
    z_stream compressor {};
    bool compressorReady = false;
    int compressorLevel = kDeflateLevel;

    ~Impl()
    {
        if (compressorReady)
            deflateEnd(&compressor);
        releaseTarget();
    }

    void fail(ArchiveResult why)
    {
        if (stickyFailure == ArchiveResult::Ok)
            stickyFailure = why;
    }

    // Writes all bytes or sets the sticky failure: a partly written record would leave every
    // later offset wrong, so nothing more may be added after it.
    bool write(const void* data, size_t length)
    {
        switch (target) {
        case Target::Memory:
            if (memoryPosition + length > capacity) {
                fail(ArchiveResult::BufferTooSmall);
                return false;
            }
            std::memcpy(block + memoryPosition, data, length);
            memoryPosition += length;
            memoryLength = std::max(memoryLength, memoryPosition);
            return true;
        case Target::File:
            if (file.write(data, length) == length)
                return true;
            fail(ArchiveResult::WriteFailed);
            return false;
        case Target::None:
            break;
        }
        fail(ArchiveResult::NotInitialised);
        return false;
    }

    bool write(const std::vector<uint8_t>& bytes) { return write(bytes.data(), bytes.size()); }

    // Positions the output at an archive-relative offset.
    bool seekTo(uint64_t relative)
    {
        switch (target) {
        case Target::Memory:
            if (relative > capacity) {
                fail(ArchiveResult::BufferTooSmall);
                return false;
            }
            memoryPosition = relative;
            return true;
        case Target::File:
            return file.seek(startOffset + relative);
        case Target::None:
            break;
        }
        fail(ArchiveResult::NotInitialised);
        return false;
    }

    ArchiveLocalTime now() const { return fixedTime ? *fixedTime : zipplatform::currentLocalTime(); }

    // The member, its worst-case data and its share of the directory must all stay addressable
    // with 32-bit offsets, and the count must fit the end record's 16 bits.
    bool fitsFormat(size_t nameBytes, uint64_t worstData) const
    {
        if (members.size() >= 0xFFFF)
            return false;
        const uint64_t end = uint64_t(startOffset) + bytesWritten + kLocalHeaderSize + nameBytes
            + kLocalExtraSize + worstData + kDataDescriptorSize + directoryBytes
            + kCentralHeaderSize + nameBytes + kCentralExtraSize + kEndRecordSize;
        return end <= kFormatLimit;
    }

    ArchiveResult prepareName(const char16_t* name, bool folder, std::string* utf8) const
    {
        if (!name || name[0] == 0)
            return ArchiveResult::BadArguments;
        std::u16string converted;
        for (size_t i = 0; name[i] != 0 && i <= kMaxNameUnits; ++i)
            converted.push_back(name[i] == u'\\' ? u'/' : name[i]);
        if (converted.size() > kMaxNameUnits)
            return ArchiveResult::BadArguments;
        if (!zipplatform::utf16ToUtf8(converted.c_str(), kMaxNameUnits, utf8))
            return ArchiveResult::BadArguments;
        if (folder && utf8->back() != '/')
            utf8->push_back('/');
        if (utf8->size() > kMaxNameBytes)
            return ArchiveResult::BadArguments;
        return ArchiveResult::Ok;
    }

    bool prepareCompressor(int level)
    {
        if (compressorReady && level != compressorLevel) {
            deflateEnd(&compressor);
            compressor = z_stream {};
            compressorReady = false;
        }
        if (!compressorReady) {
            if (deflateInit2(&compressor, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY)
                != Z_OK)
                return false;
            compressorReady = true;
            compressorLevel = level;
            return true;
        }
        return deflateReset(&compressor) == Z_OK;
    }

    ArchiveResult deflateData(const uint8_t* data, uint32_t length, int level, MemberRecord* r,
                              uint64_t* compressed)
    {
        if (!prepareCompressor(level))
            return ArchiveResult::WriteFailed;
        r->flags |= levelFlags(level);
        uint32_t crc = crc32(0, nullptr, 0);
        uint32_t consumed = 0;
        compressor.next_in = nullptr;
        compressor.avail_in = 0;
        compressor.next_out = buffer.data();
        compressor.avail_out = kBufferSize;
        for (;;) {
            if (compressor.avail_in == 0 && consumed < length) {
                const uint32_t piece = std::min(kDeflateInputPiece, length - consumed);
                crc = crc32(crc, data + consumed, piece);
                compressor.next_in = const_cast<Bytef*>(data + consumed);
                compressor.avail_in = piece;
                consumed += piece;
            }
            const int flush = (consumed == length && compressor.avail_in == 0) ? Z_FINISH : Z_NO_FLUSH;
            const int rc = deflate(&compressor, flush);
            if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR)
                return ArchiveResult::WriteFailed;
            if (compressor.avail_out == 0 || rc == Z_STREAM_END) {
                const size_t produced = kBufferSize - compressor.avail_out;
                if (produced > 0 && !write(buffer.data(), produced))
                    return ArchiveResult::WriteFailed;
                *compressed += produced;
                compressor.next_out = buffer.data();
                compressor.avail_out = kBufferSize;
            }
            if (rc == Z_STREAM_END)
                break;
        }
        r->crc = crc;
        return ArchiveResult::Ok;
    }

    ArchiveResult storeData(const uint8_t* data, uint32_t length, MemberRecord* r,
                            uint64_t* compressed)
    {
        // The caller's block is written in place, a buffer-full at a time: copying it into the
        // buffer first would only cost time.
        uint32_t crc = crc32(0, nullptr, 0);
        for (uint32_t done = 0; done < length;) {
            const uint32_t piece = std::min(kBufferSize, length - done);
            crc = crc32(crc, data + done, piece);
            if (!write(data + done, piece))
                return ArchiveResult::WriteFailed;
            done += piece;
            *compressed += piece;
        }
        r->crc = crc;
        return ArchiveResult::Ok;
    }

    // Rewrites the local header with the final values, or (output that cannot seek) completes
    // the member with a data descriptor.
    ArchiveResult fixHeader(MemberRecord* r, uint16_t firstMethod, bool firstSizeRight)
    {
        if (canSeek) {
            if ((r->flags & kFlagEncrypted) == 0)
                r->flags &= static_cast<uint16_t>(~kFlagDataDescriptor);
            r->localFlags = r->flags;
            if (!seekTo(r->localHeaderOffset - startOffset))
                return stickyOr(ArchiveResult::SeekFailed);
            if (!write(localHeaderBytes(*r)))
                return stickyOr(ArchiveResult::WriteFailed);
            if (!seekTo(bytesWritten))
                return stickyOr(ArchiveResult::SeekFailed);
            return ArchiveResult::Ok;
        }
        if (r->method != firstMethod || (r->method == kMethodStored && !firstSizeRight))
            return ArchiveResult::CannotFixHeader;
        if (!write(dataDescriptorBytes(*r)))
            return stickyOr(ArchiveResult::WriteFailed);
        bytesWritten += kDataDescriptorSize;
        r->flags = r->localFlags;
        return ArchiveResult::Ok;
    }

    ArchiveResult stickyOr(ArchiveResult fallback) const
    {
        return stickyFailure != ArchiveResult::Ok ? stickyFailure : fallback;
    }

    ArchiveResult addMember(const char16_t* name, const uint8_t* data, uint32_t length, bool folder,
                            int level = kDeflateLevel)
    {
        if (stickyFailure != ArchiveResult::Ok)
            return ArchiveResult::AlreadyFailed;
        if (directoryWritten)
            return ArchiveResult::AlreadyEnded;
        MemberRecord r;
        if (ArchiveResult named = prepareName(name, folder, &r.name); named != ArchiveResult::Ok)
            return named;
        if (!folder && (!data || length == 0))
            return ArchiveResult::BadArguments;
        r.method = folder ? kMethodStored : methodForName(r.name);
        const uint64_t worstData = r.method == kMethodStored ? length : compressBound(length);
        if (!fitsFormat(r.name.size(), worstData))
            return ArchiveResult::WriteFailed;

        stampTimes(&r, now());
        r.externalAttributes = folder ? kFolderAttributes : kMemoryAttributes;
        r.compressedSize = r.method == kMethodStored ? length : 0;
        r.uncompressedSize = length;
        r.localHeaderOffset = static_cast<uint32_t>(startOffset + bytesWritten);
        const uint16_t firstMethod = r.method;
        const uint32_t firstCompressedSize = r.compressedSize;

        if (!write(localHeaderBytes(r)))
            return stickyOr(ArchiveResult::WriteFailed);
        bytesWritten += kLocalHeaderSize + r.name.size() + kLocalExtraSize;

        uint64_t compressed = 0;
        ArchiveResult dataResult = ArchiveResult::Ok;
        if (folder)
            r.crc = 0;
        else if (r.method == kMethodDeflated)
            dataResult = deflateData(data, length,
                                     level == kArchiveAutomaticLevel ? automaticLevel(data, length) : level,
                                     &r, &compressed);
        else
            dataResult = storeData(data, length, &r, &compressed);
        bytesWritten += compressed;
        if (stickyFailure != ArchiveResult::Ok)
            return stickyFailure;
        if (dataResult != ArchiveResult::Ok) {
            // A half-written member leaves the output unusable for further members.
            fail(ArchiveResult::WriteFailed);
            return ArchiveResult::WriteFailed;
        }
        r.compressedSize = static_cast<uint32_t>(compressed);
        r.uncompressedSize = length;

        if (ArchiveResult fixed = fixHeader(&r, firstMethod, firstCompressedSize == r.compressedSize);
            fixed != ArchiveResult::Ok)
            return fixed;
        if (stickyFailure != ArchiveResult::Ok)
            return stickyFailure;
        directoryBytes += kCentralHeaderSize + r.name.size() + kCentralExtraSize;
        members.push_back(std::move(r));
        return ArchiveResult::Ok;
    }

    ArchiveResult writeDirectory()
    {
        if (directoryWritten)
            return ArchiveResult::Ok;
        directoryWritten = true;
        const auto count = static_cast<uint16_t>(members.size());
        const uint64_t directoryOffset = startOffset + bytesWritten;
        uint64_t directorySize = 0;
        bool headersWritten = true;
        for (const MemberRecord& r : members) {
            if (headersWritten)
                headersWritten = write(centralHeaderBytes(r));
            directorySize += kCentralHeaderSize + r.name.size() + kCentralExtraSize;
        }
        bytesWritten += directorySize;
        members.clear();
        members.shrink_to_fit();
        if (!headersWritten)
            return ArchiveResult::WriteFailed;
        if (!write(endRecordBytes(count, static_cast<uint32_t>(directorySize),
                                  static_cast<uint32_t>(directoryOffset))))
            return ArchiveResult::WriteFailed;
        bytesWritten += kEndRecordSize;
        return ArchiveResult::Ok;
    }

    void releaseTarget()
    {
        if (ownsBlock && block)
            ::munmap(block, capacity);
        block = nullptr;
        ownsBlock = false;
        file.close();
        target = Target::None;
    }
};

ArchiveWriter::ArchiveWriter(std::unique_ptr<Impl> impl) : d(std::move(impl)) {}

ArchiveWriter::~ArchiveWriter() = default;

std::unique_ptr<ArchiveWriter> ArchiveWriter::createOnFile(const char16_t* path, ArchiveResult* result)
{
    std::string utf8Path;
    if (!zipplatform::utf16ToUtf8(path, kMaxPathUnits, &utf8Path) || utf8Path.empty()) {
        *result = ArchiveResult::CannotOpen;
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    impl->file = zipplatform::File::createForWriting(utf8Path);
    if (!impl->file.isOpen()) {
        *result = ArchiveResult::CannotOpen;
        return nullptr;
    }
    impl->target = Impl::Target::File;
    *result = ArchiveResult::Ok;
    return std::unique_ptr<ArchiveWriter>(new ArchiveWriter(std::move(impl)));
}

std::unique_ptr<ArchiveWriter> ArchiveWriter::createInMemory(void* block, uint32_t capacity,
                                                             ArchiveResult* result)
{
    if (capacity == 0) {
        *result = ArchiveResult::BufferTooSmall;
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    if (!block) {
        void* mapped = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) {
            *result = ArchiveResult::NoMemory;
            return nullptr;
        }
        block = mapped;
        impl->ownsBlock = true;
    }
    impl->target = Impl::Target::Memory;
    impl->block = static_cast<uint8_t*>(block);
    impl->capacity = capacity;
    *result = ArchiveResult::Ok;
    return std::unique_ptr<ArchiveWriter>(new ArchiveWriter(std::move(impl)));
}

std::unique_ptr<ArchiveWriter> ArchiveWriter::createOnHandle(int descriptor, ArchiveResult* result)
{
    if (descriptor < 0) {
        *result = ArchiveResult::BadArguments;
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    impl->file = zipplatform::File::borrow(descriptor);
    uint64_t position = 0;
    impl->canSeek = impl->file.position(&position);
    if (impl->canSeek && position > kFormatLimit) {
        *result = ArchiveResult::SeekFailed;
        return nullptr;
    }
    impl->startOffset = impl->canSeek ? static_cast<uint32_t>(position) : 0;
    impl->target = Impl::Target::File;
    *result = ArchiveResult::Ok;
    return std::unique_ptr<ArchiveWriter>(new ArchiveWriter(std::move(impl)));
}

ArchiveResult ArchiveWriter::addFromMemory(const char16_t* name, const void* data, uint32_t length)
{
    return d->addMember(name, static_cast<const uint8_t*>(data), length, false);
}

ArchiveResult ArchiveWriter::addFromMemory(const char16_t* name, const void* data, uint32_t length,
                                           int level)
{
    if (level != kArchiveAutomaticLevel && (level < 0 || level > 9))
        return ArchiveResult::BadArguments;
    return d->addMember(name, static_cast<const uint8_t*>(data), length, false, level);
}

ArchiveResult ArchiveWriter::addFolder(const char16_t* name)
{
    return d->addMember(name, nullptr, 0, true);
}

void ArchiveWriter::setFixedTime(const ArchiveLocalTime* fixedTime)
{
    if (fixedTime)
        d->fixedTime = *fixedTime;
    else
        d->fixedTime.reset();
}

ArchiveResult ArchiveWriter::finish()
{
    return d->writeDirectory();
}

ArchiveResult ArchiveWriter::memory(const void** base, uint32_t* length) const
{
    if (d->target != Impl::Target::Memory)
        return ArchiveResult::NotInitialised;
    if (base)
        *base = d->block;
    if (length)
        *length = static_cast<uint32_t>(d->memoryLength);
    return ArchiveResult::Ok;
}

ArchiveResult ArchiveWriter::close()
{
    const ArchiveResult result = finish();
    d->releaseTarget();
    return result;
}
