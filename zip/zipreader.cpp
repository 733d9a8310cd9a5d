#include "zip/zipreader.h"

#include "zip/bytereader.h"
#include "zip/zipformat.h"
#include "zip/zipplatform.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

using namespace zipformat;

namespace {

constexpr size_t kComparedNameLimit = 256;  // names of this many UTF-8 bytes are never found
constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;
constexpr uint64_t kFileTimeTicksPerSecond = 10000000ull;

struct CentralHeader {
    uint16_t versionMadeBy = 0;
    uint16_t versionNeeded = 0;
    uint16_t flags = 0;
    uint16_t method = 0;
    uint16_t dosTime = 0;
    uint16_t dosDate = 0;
    uint32_t crc = 0;
    uint32_t compressedSize = 0;
    uint32_t uncompressedSize = 0;
    uint16_t nameLength = 0;
    uint16_t extraLength = 0;
    uint16_t commentLength = 0;
    uint16_t diskStart = 0;
    uint16_t internalAttributes = 0;
    uint32_t externalAttributes = 0;
    uint32_t localHeaderOffset = 0;
    std::string name;  // at most kMaxNameBytes of the stored name
    uint64_t position = 0;  // of the header on the input
};

struct LocalLayout {
    uint64_t extraPosition = 0;
    uint16_t extraLength = 0;
    uint64_t dataPosition = 0;
};

// A file or a memory block, read at archive positions. Reads past the end come up short; so do
// reads the system fails, and error keeps the first one's error number until it is taken.
struct Input {
    zipplatform::File file;
    const uint8_t* block = nullptr;
    uint64_t size = 0;
    int error = 0;

    size_t readAt(uint64_t position, void* buffer, size_t length)
    {
        if (length == 0)
            return 0;  // buffer may be the null data() of an empty vector
        if (!block) {
            int failure = 0;
            const size_t n = file.readAt(position, buffer, length, &failure);
            if (failure != 0 && error == 0)
                error = failure;
            return n;
        }
        if (position >= size)
            return 0;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(length, size - position));
        std::memcpy(buffer, block + position, n);
        return n;
    }
};

// The read state of the one member that extraction has open.
struct OpenMember {
    std::vector<uint8_t> buffer = std::vector<uint8_t>(kBufferSize);
    const uint8_t* inNext = nullptr;
    size_t inAvailable = 0;
    uint64_t nextPosition = 0;
    uint32_t compressedLeft = 0;
    uint32_t uncompressedLeft = 0;
    uint32_t crc = 0;
    uint32_t expectedCrc = 0;
    uint16_t method = kMethodStored;
    bool encrypted = false;
    bool streamEnded = false;
    bool streamReady = false;
    z_stream stream {};

    ~OpenMember()
    {
        if (streamReady)
            inflateEnd(&stream);
    }
};

struct ReadOutcome {
    uint32_t delivered = 0;
    bool endReached = false;
    ArchiveResult error = ArchiveResult::Ok;
};

bool startsWithSignature(const uint8_t* p, uint32_t signature)
{
    return p[0] == (signature & 0xFF) && p[1] == ((signature >> 8) & 0xFF)
        && p[2] == ((signature >> 16) & 0xFF) && p[3] == (signature >> 24);
}

void eraseThrough(std::u16string* name, const char16_t* pattern)
{
    const size_t at = name->find(pattern);
    if (at != std::u16string::npos)
        name->erase(0, at + std::char_traits<char16_t>::length(pattern));
}

// Strips drive letters, leading separators and everything up to a "..": a described name never
// points outside the folder it would be extracted to.
std::u16string sanitisedName(std::u16string name)
{
    static const char16_t* const parentPatterns[] = { u"\\..\\", u"\\../", u"/../", u"/..\\" };
    for (;;) {
        if (name.size() >= 2 && name[1] == u':') {
            name.erase(0, 2);
            continue;
        }
        if (!name.empty() && (name[0] == u'\\' || name[0] == u'/')) {
            name.erase(0, 1);
            continue;
        }
        bool changed = false;
        for (const char16_t* pattern : parentPatterns) {
            if (name.find(pattern) != std::u16string::npos) {
                eraseThrough(&name, pattern);
                changed = true;
                break;
            }
        }
        if (!changed)
            return name;
    }
}

uint32_t decodedAttributes(uint16_t versionMadeBy, uint32_t external)
{
    const unsigned host = versionMadeBy >> 8;
    bool readOnly, hidden = false, system = false, directory, archive;
    if (host == 0 || host == 7 || host == 11 || host == 14) {
        readOnly = external & 0x01;
        hidden = external & 0x02;
        system = external & 0x04;
        directory = external & 0x10;
        archive = external & 0x20;
    } else {
        directory = external & (1u << 30);
        readOnly = !(external & (1u << 23));
        archive = true;
    }
    return (directory ? 0x10u : 0) | (archive ? 0x20u : 0) | (hidden ? 0x02u : 0)
        | (readOnly ? 0x01u : 0) | (system ? 0x04u : 0);
}

uint64_t fileTimeFromUnix(int64_t seconds)
{
    return static_cast<uint64_t>(seconds * int64_t(kFileTimeTicksPerSecond)
                                 + int64_t(kUnixEpochAsFileTime));
}

uint64_t fileTimeFromDos(uint16_t dosDate, uint16_t dosTime)
{
    ArchiveLocalTime local;
    local.year = 1980 + (dosDate >> 9);
    local.month = (dosDate >> 5) & 0x0F;
    local.day = dosDate & 0x1F;
    local.hour = dosTime >> 11;
    local.minute = (dosTime >> 5) & 0x3F;
    local.second = 2 * (dosTime & 0x1F);
    return fileTimeFromUnix(zipplatform::localTimeToUtcSeconds(local));
}

// Takes the times of the first extended-timestamp block, when the extra field has one.
void applyExtendedTimestamp(const std::vector<uint8_t>& extra, ArchiveMemberInfo* info)
{
    if (extra.size() <= 4)
        return;
    ByteReader blocks(extra.data(), extra.size());
    while (blocks.remaining() >= 4) {
        const uint8_t* id = blocks.bytes(2);
        const uint16_t dataSize = blocks.u16();
        const size_t available = std::min<size_t>(dataSize, blocks.remaining());
        const uint8_t* data = blocks.bytes(available);
        if (id[0] != 'U' || id[1] != 'T')
            continue;
        ByteReader block(data, available);  // only times inside the block count
        const uint8_t flags = block.u8();
        auto take = [&block](uint64_t* target) {
            const auto seconds = static_cast<int32_t>(block.u32());
            if (block.ok())
                *target = fileTimeFromUnix(seconds);
        };
        if (flags & 0x01)
            take(&info->modificationTime);
        if (flags & 0x02)
            take(&info->accessTime);
        if (flags & 0x04)
            take(&info->creationTime);
        return;
    }
}

}  // namespace

struct ArchiveReader::Impl {
    struct Cursor {
        uint32_t index = 0;
        uint64_t position = 0;
        bool valid = false;
        CentralHeader header;
    };

    Input input;
    uint16_t entryCount = 0;
    uint32_t directoryOffset = 0;
    uint32_t directorySize = 0;
    uint64_t prefix = 0;
    Cursor cursor;
    std::unique_ptr<OpenMember> member;
    int32_t extractionIndex = -1;
    ArchiveMemberInfo cachedInfo;
    int32_t cachedIndex = -1;
    int systemError = 0;

    // Whatever a failed read made of the bytes (a short record, a name that does not match) is
    // no finding about the archive: such an operation returns SystemError, and nothing it
    // gathered is kept.
    ArchiveResult told(ArchiveResult result)
    {
        systemError = input.error;
        input.error = 0;
        if (systemError == 0)
            return result;
        closeMember();
        cachedIndex = -1;
        return ArchiveResult::SystemError;
    }

    // The end record lies in the last 22 + 65535 bytes: after the directory, before a comment
    // of up to 65535 bytes. Searching from the end, the first signature whose comment ends
    // exactly at the end of the input is taken; failing that, the nearest whose comment fits
    // (an archive followed by stray bytes).
    bool locateEndRecord(uint64_t* recordPosition)
    {
        const uint64_t span = std::min<uint64_t>(input.size, kEndRecordSize + kMaxCommentLength);
        if (span < kEndRecordSize)
            return false;
        const uint64_t start = input.size - span;
        std::vector<uint8_t> tail(static_cast<size_t>(span));
        if (input.readAt(start, tail.data(), tail.size()) != tail.size())
            return false;
        bool fits = false;
        uint64_t nearestFitting = 0;
        for (size_t i = tail.size() - kEndRecordSize + 1; i-- > 0;) {
            if (!startsWithSignature(&tail[i], kEndRecordSignature))
                continue;
            const uint64_t commentLength = tail[i + 20] | (tail[i + 21] << 8);
            const uint64_t recordEnd = i + kEndRecordSize + commentLength;
            if (recordEnd == tail.size()) {
                *recordPosition = start + i;
                return true;
            }
            if (recordEnd < tail.size() && !fits) {
                fits = true;
                nearestFitting = start + i;
            }
        }
        *recordPosition = nearestFitting;
        return fits;
    }

    struct Directory {
        uint64_t count = 0;
        uint64_t size = 0;
        uint64_t offset = 0;
        uint64_t recordPosition = 0;  // where the record that follows the directory starts
        uint64_t recordOffset = 0;    // the same, as the archive itself counts (without prefix)
    };

    // Takes the ZIP64 end record named by the locator in front of the classic end record at
    // endAt. Every classic field must hold either its escape value or the ZIP64 value.
    ArchiveResult readZip64Records(uint64_t endAt, uint16_t thisDisk, uint16_t directoryDisk,
                                   uint16_t entriesHere, uint16_t entriesTotal,
                                   uint32_t directorySize32, uint32_t directoryOffset32,
                                   Directory* directory)
    {
        uint8_t rawLocator[kZip64LocatorSize];
        if (input.readAt(endAt - kZip64LocatorSize, rawLocator, sizeof rawLocator) != sizeof rawLocator)
            return ArchiveResult::Inconsistent;
        ByteReader locator(rawLocator, sizeof rawLocator);
        locator.skip(4);
        const uint32_t recordDisk = locator.u32();
        const uint32_t recordOffsetLow = locator.u32();
        const uint64_t recordOffset = recordOffsetLow | (uint64_t(locator.u32()) << 32);
        const uint32_t diskCount = locator.u32();
        if (recordDisk != 0 || diskCount > 1)
            return ArchiveResult::Unsupported;

        // The record normally ends where the locator starts; at its stated offset otherwise
        // (then the archive has no prefix).
        const uint64_t locatorAt = endAt - kZip64LocatorSize;
        uint8_t raw[kZip64EndRecordSize];
        uint64_t recordAt = 0;
        auto recordAtHolds = [&](uint64_t at) {
            return at <= input.size && input.readAt(at, raw, sizeof raw) == sizeof raw
                && startsWithSignature(raw, kZip64EndRecordSignature);
        };
        if (locatorAt < kZip64EndRecordSize)
            return ArchiveResult::Inconsistent;
        if (recordAtHolds(locatorAt - kZip64EndRecordSize))
            recordAt = locatorAt - kZip64EndRecordSize;
        else if (recordOffset <= locatorAt - kZip64EndRecordSize && recordAtHolds(recordOffset))
            recordAt = recordOffset;
        else
            return ArchiveResult::Inconsistent;
        ByteReader record(raw, sizeof raw);
        record.skip(4);
        const uint64_t recordSize = record.u32() | (uint64_t(record.u32()) << 32);
        record.skip(4);  // versions
        const uint32_t disk64 = record.u32();
        const uint32_t directoryDisk64 = record.u32();
        auto u64 = [&record] {
            const uint64_t low = record.u32();
            return low | (uint64_t(record.u32()) << 32);
        };
        const uint64_t entriesHere64 = u64();
        const uint64_t entriesTotal64 = u64();
        const uint64_t size64 = u64();
        const uint64_t offset64 = u64();
        // recordAt + 12 + 44 <= locatorAt holds for both places the record was found at.
        if (recordSize != locatorAt - recordAt - 12)
            return ArchiveResult::Inconsistent;
        if (disk64 != 0 || directoryDisk64 != 0)
            return ArchiveResult::Unsupported;
        auto agrees = [](uint64_t classic, uint64_t escape, uint64_t wide) {
            return classic == escape || classic == wide;
        };
        if (entriesHere64 != entriesTotal64 || !agrees(thisDisk, kEscape16, 0)
            || !agrees(directoryDisk, kEscape16, 0) || !agrees(entriesHere, kEscape16, entriesHere64)
            || !agrees(entriesTotal, kEscape16, entriesTotal64)
            || !agrees(directorySize32, kEscape32, size64)
            || !agrees(directoryOffset32, kEscape32, offset64))
            return ArchiveResult::Inconsistent;
        // The directory ends where the ZIP64 end record starts, both in the archive's own
        // count and on the input; the difference is the prefix.
        if (offset64 > recordOffset || recordOffset - offset64 != size64 || recordAt < recordOffset)
            return ArchiveResult::Inconsistent;
        if (entriesTotal64 > 0xFFFF || size64 > kEscape32 || offset64 > kEscape32)
            return ArchiveResult::Unsupported;
        directory->count = entriesTotal64;
        directory->size = size64;
        directory->offset = offset64;
        directory->recordPosition = recordAt;
        directory->recordOffset = recordOffset;
        return ArchiveResult::Ok;
    }

    ArchiveResult readEndRecord()
    {
        uint64_t at = 0;
        if (!locateEndRecord(&at))
            return ArchiveResult::CannotOpen;
        uint8_t raw[kEndRecordSize];
        if (input.readAt(at, raw, sizeof raw) != sizeof raw)
            return ArchiveResult::CannotOpen;
        ByteReader record(raw, sizeof raw);
        record.skip(4);
        const uint16_t thisDisk = record.u16();
        const uint16_t directoryDisk = record.u16();
        const uint16_t entriesHere = record.u16();
        const uint16_t entriesTotal = record.u16();
        const uint32_t size32 = record.u32();
        const uint32_t offset32 = record.u32();
        if (!record.ok())
            return ArchiveResult::CannotOpen;

        Directory directory;
        uint8_t signature[4];
        const bool zip64 = at >= kZip64LocatorSize
            && input.readAt(at - kZip64LocatorSize, signature, 4) == 4
            && startsWithSignature(signature, kZip64LocatorSignature);
        if (zip64) {
            const ArchiveResult read = readZip64Records(at, thisDisk, directoryDisk, entriesHere,
                                                        entriesTotal, size32, offset32, &directory);
            if (read != ArchiveResult::Ok)
                return read;
        } else {
            if (thisDisk != 0 || directoryDisk != 0)
                return ArchiveResult::Unsupported;
            if (entriesHere != entriesTotal)
                return ArchiveResult::Inconsistent;
            const uint64_t directoryEnd = uint64_t(offset32) + size32;
            if (at < directoryEnd)
                return ArchiveResult::CannotOpen;
            directory.count = entriesTotal;
            directory.size = size32;
            directory.offset = offset32;
            directory.recordPosition = at;
            directory.recordOffset = directoryEnd;
        }
        entryCount = static_cast<uint16_t>(directory.count);
        directorySize = static_cast<uint32_t>(directory.size);
        directoryOffset = static_cast<uint32_t>(directory.offset);
        prefix = directory.recordPosition - directory.recordOffset;
        return walkDirectory();
    }

    // Every header the end record counts must follow the one before it inside the directory,
    // and the last must end where the directory ends: no member hidden, none invented.
    ArchiveResult walkDirectory()
    {
        const uint64_t end = uint64_t(directoryOffset) + directorySize;
        uint64_t position = directoryOffset;
        for (uint32_t i = 0; i < entryCount; ++i) {
            CentralHeader h;
            const ArchiveResult read = readCentralHeader(position, &h);
            if (read == ArchiveResult::Unsupported)
                return read;
            if (read != ArchiveResult::Ok)
                return ArchiveResult::Inconsistent;
            position += kCentralHeaderSize + uint64_t(h.nameLength) + h.extraLength + h.commentLength;
            if (position > end)
                return ArchiveResult::Inconsistent;
        }
        return position == end ? ArchiveResult::Ok : ArchiveResult::Inconsistent;
    }

    // The first ZIP64 block of an extra field: its data, or null when there is none.
    static const uint8_t* zip64Block(const std::vector<uint8_t>& extra, size_t* length)
    {
        ByteReader blocks(extra.data(), extra.size());
        while (blocks.remaining() >= 4) {
            const uint16_t id = blocks.u16();
            const uint16_t dataSize = blocks.u16();
            const uint8_t* data = blocks.bytes(dataSize);
            if (!data)
                return nullptr;
            if (id == kZip64ExtraId) {
                *length = dataSize;
                return data;
            }
        }
        return nullptr;
    }

    // Replaces the escaped fields of a header by the values of its ZIP64 block, which lists
    // them in a fixed order and only those escaped. Unsupported when one passes 32 bits;
    // Corrupt when the block is missing or too short.
    static ArchiveResult applyZip64(const std::vector<uint8_t>& extra, uint32_t* uncompressed,
                                    uint32_t* compressed, uint32_t* offset)
    {
        size_t length = 0;
        const uint8_t* block = zip64Block(extra, &length);
        if (!block)
            return ArchiveResult::Corrupt;
        ByteReader values(block, length);
        for (uint32_t* field : { uncompressed, compressed, offset }) {
            if (!field || *field != kEscape32)
                continue;
            const uint64_t low = values.u32();
            const uint64_t value = low | (uint64_t(values.u32()) << 32);
            if (!values.ok())
                return ArchiveResult::Corrupt;
            if (value > kEscape32)
                return ArchiveResult::Unsupported;
            *field = static_cast<uint32_t>(value);
        }
        return ArchiveResult::Ok;
    }

    ArchiveResult readCentralHeader(uint64_t position, CentralHeader* h)
    {
        uint8_t raw[kCentralHeaderSize];
        const uint64_t at = position + prefix;
        const size_t got = input.readAt(at, raw, sizeof raw);
        if (got >= 4 && !startsWithSignature(raw, kCentralHeaderSignature))
            return ArchiveResult::Corrupt;
        if (got != sizeof raw)
            return ArchiveResult::ReadFailed;
        ByteReader r(raw, sizeof raw);
        r.skip(4);
        h->versionMadeBy = r.u16();
        h->versionNeeded = r.u16();
        h->flags = r.u16();
        h->method = r.u16();
        h->dosTime = r.u16();
        h->dosDate = r.u16();
        h->crc = r.u32();
        h->compressedSize = r.u32();
        h->uncompressedSize = r.u32();
        h->nameLength = r.u16();
        h->extraLength = r.u16();
        h->commentLength = r.u16();
        h->diskStart = r.u16();
        h->internalAttributes = r.u16();
        h->externalAttributes = r.u32();
        h->localHeaderOffset = r.u32();
        h->position = at;
        const size_t nameBytes = std::min<size_t>(h->nameLength, kMaxNameBytes);
        h->name.resize(nameBytes);
        if (input.readAt(at + kCentralHeaderSize, h->name.data(), nameBytes) != nameBytes)
            return ArchiveResult::ReadFailed;
        if (h->compressedSize == kEscape32 || h->uncompressedSize == kEscape32
            || h->localHeaderOffset == kEscape32) {
            std::vector<uint8_t> extra(h->extraLength);
            const uint64_t extraAt = at + kCentralHeaderSize + h->nameLength;
            if (input.readAt(extraAt, extra.data(), extra.size()) != extra.size())
                return ArchiveResult::ReadFailed;
            return applyZip64(extra, &h->uncompressedSize, &h->compressedSize, &h->localHeaderOffset);
        }
        return ArchiveResult::Ok;
    }

    ArchiveResult goToFirst()
    {
        cursor.index = 0;
        cursor.position = directoryOffset;
        cursor.valid = false;
        if (entryCount == 0)
            return ArchiveResult::NotFound;
        const ArchiveResult read = readCentralHeader(cursor.position, &cursor.header);
        cursor.valid = read == ArchiveResult::Ok;
        return read;
    }

    // NotFound at the end of the walk (the cursor stays); the read's failure otherwise.
    ArchiveResult goToNext()
    {
        if (!cursor.valid)
            return ArchiveResult::ReadFailed;
        if (uint32_t(cursor.index) + 1 >= entryCount)
            return ArchiveResult::NotFound;
        const CentralHeader& h = cursor.header;
        cursor.index += 1;
        cursor.position += kCentralHeaderSize + uint64_t(h.nameLength) + h.extraLength + h.commentLength;
        const ArchiveResult read = readCentralHeader(cursor.position, &cursor.header);
        cursor.valid = read == ArchiveResult::Ok;
        return read;
    }

    ArchiveResult moveTo(uint32_t index)
    {
        if (!cursor.valid || index < cursor.index) {
            if (ArchiveResult first = goToFirst(); first != ArchiveResult::Ok)
                return first == ArchiveResult::NotFound ? ArchiveResult::ReadFailed : first;
        }
        while (cursor.index < index) {
            if (ArchiveResult next = goToNext(); next != ArchiveResult::Ok)
                return next == ArchiveResult::NotFound ? ArchiveResult::ReadFailed : next;
        }
        return ArchiveResult::Ok;
    }

    // The name the directory gives, whole (the header keeps only its first kMaxNameBytes).
    bool fullCentralName(const CentralHeader& central, std::string* name)
    {
        if (central.nameLength <= kMaxNameBytes) {
            *name = central.name;
            return true;
        }
        name->resize(central.nameLength);
        return input.readAt(central.position + kCentralHeaderSize, name->data(), name->size())
            == name->size();
    }

    // The local header must name the same member with the same method, and (unless a data
    // descriptor follows the data) the same CRC and sizes, ZIP64 sizes included.
    ArchiveResult checkLocalHeader(const CentralHeader& central, LocalLayout* layout)
    {
        uint8_t raw[kLocalHeaderSize];
        const uint64_t at = uint64_t(central.localHeaderOffset) + prefix;
        if (input.readAt(at, raw, sizeof raw) != sizeof raw)
            return ArchiveResult::Corrupt;
        ByteReader r(raw, sizeof raw);
        const uint32_t signature = r.u32();
        r.skip(2);  // version needed
        const uint16_t flags = r.u16();
        const uint16_t method = r.u16();
        r.skip(4);  // time and date are not compared
        const uint32_t crc = r.u32();
        uint32_t compressedSize = r.u32();
        uint32_t uncompressedSize = r.u32();
        const uint16_t nameLength = r.u16();
        const uint16_t extraLength = r.u16();
        if (!r.ok() || signature != kLocalHeaderSignature || method != central.method
            || (method != kMethodStored && method != kMethodDeflated)
            || nameLength != central.nameLength)
            return ArchiveResult::Corrupt;
        std::string localName(nameLength, '\0');
        std::string centralName;
        if (input.readAt(at + kLocalHeaderSize, localName.data(), localName.size()) != localName.size()
            || !fullCentralName(central, &centralName) || localName != centralName)
            return ArchiveResult::Corrupt;
        layout->extraPosition = uint64_t(central.localHeaderOffset) + kLocalHeaderSize + nameLength;
        layout->extraLength = extraLength;
        layout->dataPosition = layout->extraPosition + extraLength;
        // Data said to reach past the end of the file: sizes derived from it (and the memory a
        // reader sets aside for them) would be lies.
        const uint64_t dataStart = layout->dataPosition + prefix;
        if (dataStart <= input.size && central.compressedSize > input.size - dataStart)
            return ArchiveResult::Corrupt;
        if (!(flags & kFlagDataDescriptor)) {
            if (compressedSize == kEscape32 || uncompressedSize == kEscape32) {
                std::vector<uint8_t> extra(extraLength);
                if (input.readAt(layout->extraPosition + prefix, extra.data(), extra.size()) != extra.size())
                    return ArchiveResult::ReadFailed;
                // A local ZIP64 block holds both sizes, whichever was escaped.
                compressedSize = uncompressedSize = kEscape32;
                const ArchiveResult sizes = applyZip64(extra, &uncompressedSize, &compressedSize, nullptr);
                if (sizes != ArchiveResult::Ok)
                    return sizes;
            }
            if (crc != central.crc || compressedSize != central.compressedSize
                || uncompressedSize != central.uncompressedSize)
                return ArchiveResult::Corrupt;
        }
        return ArchiveResult::Ok;
    }

    void closeMember()
    {
        member.reset();
        extractionIndex = -1;
    }

    ArchiveResult describe(uint32_t index, ArchiveMemberInfo* info)
    {
        closeMember();
        if (int32_t(index) == cachedIndex) {
            *info = cachedInfo;
            return ArchiveResult::Ok;
        }
        if (ArchiveResult moved = moveTo(index); moved != ArchiveResult::Ok)
            return moved;
        const CentralHeader& h = cursor.header;
        LocalLayout layout;
        if (const ArchiveResult local = checkLocalHeader(h, &layout); local != ArchiveResult::Ok)
            return local;
        std::vector<uint8_t> extra(layout.extraLength);
        if (input.readAt(layout.extraPosition + prefix, extra.data(), extra.size()) != extra.size())
            return ArchiveResult::ReadFailed;

        ArchiveMemberInfo described;
        described.index = int32_t(index);
        const std::u16string name = sanitisedName(
            zipplatform::utf8ToUtf16(h.name.data(), h.name.size(), kMaxNameUnits));
        std::copy(name.begin(), name.end(), described.name);
        described.attributes = decodedAttributes(h.versionMadeBy, h.externalAttributes);
        const uint64_t dosTime = fileTimeFromDos(h.dosDate, h.dosTime);
        described.accessTime = described.creationTime = described.modificationTime = dosTime;
        applyExtendedTimestamp(extra, &described);
        described.compressedSize = h.compressedSize;
        described.uncompressedSize = h.uncompressedSize;
        cachedInfo = described;
        cachedIndex = int32_t(index);
        *info = described;
        return ArchiveResult::Ok;
    }

    static bool namesEqual(const CentralHeader& h, const std::string& wanted, bool ignoreCase)
    {
        if (h.nameLength != wanted.size())
            return false;
        for (size_t i = 0; i < wanted.size(); ++i) {
            char a = h.name[i];
            char b = wanted[i];
            if (ignoreCase) {
                a = (a >= 'a' && a <= 'z') ? char(a - 'a' + 'A') : a;
                b = (b >= 'a' && b <= 'z') ? char(b - 'a' + 'A') : b;
            }
            if (a != b)
                return false;
        }
        return true;
    }

    ArchiveResult find(const std::string& wanted, bool ignoreCase, int32_t* index,
                       ArchiveMemberInfo* info)
    {
        const Cursor remembered = cursor;
        bool found = false;
        if (wanted.size() < kComparedNameLimit && goToFirst() == ArchiveResult::Ok) {
            do {
                found = namesEqual(cursor.header, wanted, ignoreCase);
            } while (!found && goToNext() == ArchiveResult::Ok);
        }
        if (!found) {
            cursor = remembered;
            if (index)
                *index = -1;
            if (info)
                *info = ArchiveMemberInfo();
            return ArchiveResult::NotFound;
        }
        closeMember();
        if (index)
            *index = int32_t(cursor.index);
        if (info)
            return describe(cursor.index, info);
        return ArchiveResult::Ok;
    }

    bool openMember()
    {
        LocalLayout layout;
        const CentralHeader& h = cursor.header;
        if (checkLocalHeader(h, &layout) != ArchiveResult::Ok)
            return false;
        auto opened = std::make_unique<OpenMember>();
        opened->nextPosition = layout.dataPosition + prefix;
        opened->compressedLeft = h.compressedSize;
        opened->uncompressedLeft = h.uncompressedSize;
        opened->expectedCrc = h.crc;
        opened->crc = crc32(0, nullptr, 0);
        opened->method = h.method;
        opened->encrypted = h.flags & kFlagEncrypted;
        if (h.method == kMethodDeflated) {
            if (inflateInit2(&opened->stream, -MAX_WBITS) != Z_OK)
                return false;
            opened->streamReady = true;
        }
        member = std::move(opened);
        return true;
    }

    // Fills the member's input buffer when it is empty; false on a short read.
    bool refill(OpenMember* m)
    {
        if (m->inAvailable > 0 || m->compressedLeft == 0)
            return true;
        const uint32_t piece = std::min(kBufferSize, m->compressedLeft);
        if (input.readAt(m->nextPosition, m->buffer.data(), piece) != piece)
            return false;
        m->nextPosition += piece;
        m->compressedLeft -= piece;
        m->inNext = m->buffer.data();
        m->inAvailable = piece;
        return true;
    }

    // Inflates into out; returns the zlib code and reports the bytes produced.
    int inflateSome(OpenMember* m, uint8_t* out, uint32_t room, uint32_t* produced)
    {
        m->stream.next_in = const_cast<Bytef*>(m->inNext);
        m->stream.avail_in = static_cast<uInt>(m->inAvailable);
        m->stream.next_out = out;
        m->stream.avail_out = room;
        const int rc = inflate(&m->stream, Z_SYNC_FLUSH);
        const size_t consumed = m->inAvailable - m->stream.avail_in;
        m->inNext += consumed;
        m->inAvailable -= consumed;
        *produced = room - m->stream.avail_out;
        if (rc == Z_STREAM_END)
            m->streamEnded = true;
        return rc;
    }

    // After the declared size was delivered the data must end there: a Deflate stream has to
    // close without producing more, and stored data must have no bytes left over.
    bool endsWhereDeclared(OpenMember* m)
    {
        if (m->method == kMethodStored)
            return m->inAvailable == 0 && m->compressedLeft == 0;
        uint8_t probe[64];
        while (!m->streamEnded) {
            if (!refill(m))
                return false;
            uint32_t produced = 0;
            const int rc = inflateSome(m, probe, sizeof probe, &produced);
            if (produced > 0)
                return false;
            if (rc != Z_OK && rc != Z_STREAM_END)
                return false;
            if (rc == Z_OK && m->inAvailable == 0 && m->compressedLeft == 0 && !m->streamEnded)
                return false;
        }
        return true;
    }

    ReadOutcome readMember(uint8_t* out, uint32_t length)
    {
        ReadOutcome outcome;
        OpenMember* m = member.get();
        if (!m) {
            outcome.error = ArchiveResult::CodecError;
            return outcome;
        }
        if (m->encrypted) {
            outcome.error = ArchiveResult::BadPassword;
            return outcome;
        }
        const uint32_t wanted = std::min(length, m->uncompressedLeft);
        while (outcome.delivered < wanted) {
            if (!refill(m)) {
                outcome.error = ArchiveResult::CodecError;
                return outcome;
            }
            uint32_t produced = 0;
            if (m->method == kMethodDeflated) {
                const int rc = inflateSome(m, out + outcome.delivered, wanted - outcome.delivered, &produced);
                if (rc != Z_OK && rc != Z_STREAM_END && !(rc == Z_BUF_ERROR && produced > 0)) {
                    outcome.error = ArchiveResult::CodecError;
                    return outcome;
                }
                if (rc == Z_OK && produced == 0 && m->inAvailable == 0 && m->compressedLeft == 0) {
                    outcome.error = ArchiveResult::CodecError;  // the stream is cut short
                    return outcome;
                }
            } else {
                if (m->inAvailable == 0) {
                    outcome.error = ArchiveResult::Corrupt;  // fewer stored bytes than declared
                    return outcome;
                }
                produced = static_cast<uint32_t>(std::min<size_t>(wanted - outcome.delivered, m->inAvailable));
                std::memcpy(out + outcome.delivered, m->inNext, produced);
                m->inNext += produced;
                m->inAvailable -= produced;
            }
            m->crc = crc32(m->crc, out + outcome.delivered, produced);
            outcome.delivered += produced;
            m->uncompressedLeft -= produced;
            if (m->streamEnded && m->uncompressedLeft > 0) {
                outcome.error = ArchiveResult::Corrupt;  // decoded to fewer bytes than declared
                return outcome;
            }
        }
        if (outcome.delivered > 0 && m->uncompressedLeft == 0) {
            outcome.endReached = true;
            if (!endsWhereDeclared(m) || m->crc != m->expectedCrc)
                outcome.error = ArchiveResult::Corrupt;
        }
        return outcome;
    }

    ArchiveResult extract(int32_t index, void* buffer, uint32_t length)
    {
        if (index < 0 || index >= int32_t(entryCount) || (!buffer && length > 0))
            return ArchiveResult::BadArguments;
        if (index != extractionIndex) {
            closeMember();
            if (moveTo(uint32_t(index)) == ArchiveResult::Ok)
                openMember();
            extractionIndex = index;
        }
        const ReadOutcome outcome = readMember(static_cast<uint8_t*>(buffer), length);
        if (outcome.error != ArchiveResult::Ok || outcome.delivered == 0)
            closeMember();
        if (outcome.error != ArchiveResult::Ok)
            return outcome.error;
        if (outcome.endReached)
            return ArchiveResult::Ok;
        return outcome.delivered > 0 ? ArchiveResult::MoreData : ArchiveResult::CodecError;
    }
};

ArchiveReader::ArchiveReader(std::unique_ptr<Impl> impl) : d(std::move(impl)) {}

ArchiveReader::~ArchiveReader() = default;

std::unique_ptr<ArchiveReader> ArchiveReader::openFile(const char16_t* path, ArchiveResult* result,
                                                       int* systemError)
{
    *result = ArchiveResult::CannotOpen;
    *systemError = 0;
    std::string utf8Path;
    if (!zipplatform::utf16ToUtf8(path, kMaxPathUnits, &utf8Path) || utf8Path.empty())
        return nullptr;
    return openInput(zipplatform::File::openForReading(utf8Path, systemError), result, systemError);
}

std::unique_ptr<ArchiveReader> ArchiveReader::openDescriptor(int descriptor, ArchiveResult* result,
                                                             int* systemError)
{
    *result = ArchiveResult::CannotOpen;
    *systemError = 0;
    if (descriptor < 0)
        return nullptr;
    return openInput(zipplatform::File::borrow(descriptor), result, systemError);
}

std::unique_ptr<ArchiveReader> ArchiveReader::openInput(zipplatform::File file, ArchiveResult* result,
                                                        int* systemError)
{
    auto impl = std::make_unique<Impl>();
    impl->input.file = std::move(file);
    if (!impl->input.file.isOpen() || !impl->input.file.size(&impl->input.size))
        return nullptr;
    ArchiveResult read = impl->readEndRecord();
    if (read == ArchiveResult::Ok)
        impl->goToFirst();
    *result = impl->told(read);
    *systemError = impl->systemError;
    if (*result != ArchiveResult::Ok)
        return nullptr;
    return std::unique_ptr<ArchiveReader>(new ArchiveReader(std::move(impl)));
}

std::unique_ptr<ArchiveReader> ArchiveReader::openMemory(const void* data, uint32_t length,
                                                         ArchiveResult* result)
{
    *result = ArchiveResult::CannotOpen;
    if (!data)
        return nullptr;
    auto impl = std::make_unique<Impl>();
    impl->input.block = static_cast<const uint8_t*>(data);
    impl->input.size = length;
    *result = impl->readEndRecord();
    if (*result != ArchiveResult::Ok)
        return nullptr;
    impl->goToFirst();
    return std::unique_ptr<ArchiveReader>(new ArchiveReader(std::move(impl)));
}

ArchiveResult ArchiveReader::findMember(const char16_t* name, bool ignoreCase, int32_t* index,
                                        ArchiveMemberInfo* info)
{
    d->systemError = 0;
    if (!name)
        return ArchiveResult::BadArguments;
    std::string wanted;
    if (!zipplatform::utf16ToUtf8(name, kMaxNameUnits, &wanted))
        wanted.assign(kComparedNameLimit, '?');  // unconvertible: can match nothing
    const ArchiveResult result = d->told(d->find(wanted, ignoreCase, index, info));
    if (result == ArchiveResult::SystemError) {
        if (index)
            *index = -1;
        if (info)
            *info = ArchiveMemberInfo();
    }
    return result;
}

ArchiveResult ArchiveReader::memberInfo(int32_t index, ArchiveMemberInfo* info)
{
    d->systemError = 0;
    if (!info || index < -1 || index >= int32_t(d->entryCount))
        return ArchiveResult::BadArguments;
    if (index == -1) {
        *info = ArchiveMemberInfo();
        info->index = d->entryCount;
        return ArchiveResult::Ok;
    }
    return d->told(d->describe(uint32_t(index), info));
}

ArchiveResult ArchiveReader::extractToBuffer(int32_t index, void* buffer, uint32_t length)
{
    return d->told(d->extract(index, buffer, length));
}

int ArchiveReader::systemError() const
{
    return d->systemError;
}
