#pragma once
// Helpers shared by the archive tests: building archives in memory, reading and patching
// little-endian fields, and printing result codes by name.

#include "zip/ziparchive.h"

#include <QByteArray>
#include <QString>
#include <QVector>
#include <QtTest>

#include <memory>
#include <zlib.h>

namespace QTest {
template<>
inline char* toString(const ArchiveResult& result)
{
    const char* name = "unknown";
    switch (result) {
    case ArchiveResult::Ok: name = "Ok"; break;
    case ArchiveResult::CannotOpen: name = "CannotOpen"; break;
    case ArchiveResult::NoMemory: name = "NoMemory"; break;
    case ArchiveResult::WriteFailed: name = "WriteFailed"; break;
    case ArchiveResult::NotFound: name = "NotFound"; break;
    case ArchiveResult::MoreData: name = "MoreData"; break;
    case ArchiveResult::Corrupt: name = "Corrupt"; break;
    case ArchiveResult::ReadFailed: name = "ReadFailed"; break;
    case ArchiveResult::BadPassword: name = "BadPassword"; break;
    case ArchiveResult::BadArguments: name = "BadArguments"; break;
    case ArchiveResult::BufferTooSmall: name = "BufferTooSmall"; break;
    case ArchiveResult::AlreadyFailed: name = "AlreadyFailed"; break;
    case ArchiveResult::AlreadyEnded: name = "AlreadyEnded"; break;
    case ArchiveResult::WrongHandleKind: name = "WrongHandleKind"; break;
    case ArchiveResult::NotInitialised: name = "NotInitialised"; break;
    case ArchiveResult::SeekFailed: name = "SeekFailed"; break;
    case ArchiveResult::CannotFixHeader: name = "CannotFixHeader"; break;
    case ArchiveResult::CodecError: name = "CodecError"; break;
    case ArchiveResult::Inconsistent: name = "Inconsistent"; break;
    case ArchiveResult::Unsupported: name = "Unsupported"; break;
    case ArchiveResult::SystemError: name = "SystemError"; break;
    }
    return qstrdup(name);
}
}  // namespace QTest

Q_DECLARE_METATYPE(ArchiveResult)

namespace ziptest {

struct HandleCloser {
    void operator()(ArchiveHandle* h) const { archiveClose(h); }
};
using Handle = std::unique_ptr<ArchiveHandle, HandleCloser>;

inline std::u16string u16(const QString& text)
{
    return text.toStdU16String();
}

inline quint16 le16(const QByteArray& bytes, int at)
{
    return quint16(quint8(bytes[at]) | (quint8(bytes[at + 1]) << 8));
}

inline quint32 le32(const QByteArray& bytes, int at)
{
    return quint32(le16(bytes, at)) | (quint32(le16(bytes, at + 2)) << 16);
}

inline void put16(QByteArray* bytes, int at, quint16 v)
{
    (*bytes)[at] = char(v & 0xFF);
    (*bytes)[at + 1] = char(v >> 8);
}

inline void put32(QByteArray* bytes, int at, quint32 v)
{
    put16(bytes, at, quint16(v & 0xFFFF));
    put16(bytes, at + 2, quint16(v >> 16));
}

inline quint32 crcOf(const QByteArray& data)
{
    return quint32(crc32(0, reinterpret_cast<const Bytef*>(data.constData()), uInt(data.size())));
}

struct Member {
    QString name;
    QByteArray data;  // empty: a folder entry
};

// Writes members into a fresh in-memory archive stamped with time and returns its bytes.
inline QByteArray writeArchive(const QVector<Member>& members, const ArchiveLocalTime& time)
{
    ArchiveResult created = ArchiveResult::Ok;
    Handle writer(archiveCreateInMemory(nullptr, 64u << 20, nullptr, &created));
    if (!writer)
        return {};
    archiveSetClock(writer.get(), &time);
    for (const Member& m : members) {
        const std::u16string name = u16(m.name);
        const ArchiveResult added = m.data.isEmpty()
            ? archiveAddFolder(writer.get(), name.c_str())
            : archiveAddBuffer(writer.get(), name.c_str(), m.data.constData(), uint32_t(m.data.size()));
        if (added != ArchiveResult::Ok)
            return {};
    }
    if (archiveFinish(writer.get()) != ArchiveResult::Ok)
        return {};
    const void* base = nullptr;
    uint32_t length = 0;
    archiveGetMemory(writer.get(), &base, &length);
    return QByteArray(static_cast<const char*>(base), int(length));
}

inline ArchiveLocalTime fixedTime(int y, int mo, int d, int h, int mi, int s)
{
    ArchiveLocalTime t;
    t.year = y, t.month = mo, t.day = d, t.hour = h, t.minute = mi, t.second = s;
    return t;
}

// Bytes that Deflate cannot shrink, the same for a given seed.
inline QByteArray noise(int size, quint32 seed)
{
    QByteArray out(size, Qt::Uninitialized);
    quint32 x = seed ? seed : 1;
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = char(x >> 24);
    }
    return out;
}

// Text-like bytes that Deflate shrinks well.
inline QByteArray prose(int size)
{
    static const char* const words[] = { "mask ", "face ", "point ", "pivot ", "effect ",
                                         "camera ", "image ", "landmark ", "json\n" };
    QByteArray out;
    out.reserve(size);
    quint32 x = 7;
    while (out.size() < size) {
        x = x * 1103515245u + 12345u;
        out.append(words[(x >> 16) % 9]);
    }
    out.truncate(size);
    return out;
}

// Raw Deflate of data (window bits -15), for hand-made archives.
inline QByteArray rawDeflate(const QByteArray& data)
{
    z_stream s {};
    deflateInit2(&s, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(int(deflateBound(&s, uLong(data.size()))), Qt::Uninitialized);
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    s.avail_in = uInt(data.size());
    s.next_out = reinterpret_cast<Bytef*>(out.data());
    s.avail_out = uInt(out.size());
    deflate(&s, Z_FINISH);
    out.truncate(int(s.total_out));
    deflateEnd(&s);
    return out;
}

// Raw Inflate of data; empty when the stream is broken.
inline QByteArray rawInflate(const QByteArray& data, int expectedSize)
{
    z_stream s {};
    inflateInit2(&s, -MAX_WBITS);
    QByteArray out(expectedSize, Qt::Uninitialized);
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    s.avail_in = uInt(data.size());
    s.next_out = reinterpret_cast<Bytef*>(out.data());
    s.avail_out = uInt(out.size());
    const int rc = inflate(&s, Z_FINISH);
    inflateEnd(&s);
    return rc == Z_STREAM_END ? out : QByteArray();
}

// A member of a hand-made archive: every field that the writer would fix can be chosen.
struct RawMember {
    QByteArray name;
    QByteArray data;            // stored as given (already compressed when method is 8)
    quint32 uncompressedSize = 0;
    quint32 crc = 0;
    quint16 method = 0;
    quint16 flags = 0;
    quint16 versionMadeBy = 0x0314;
    quint32 externalAttributes = 0;
    quint16 dosTime = 0x6000;
    quint16 dosDate = 0x5821;
    QByteArray localExtra;
};

inline RawMember storedMember(const QByteArray& name, const QByteArray& data)
{
    RawMember m;
    m.name = name;
    m.data = data;
    m.uncompressedSize = quint32(data.size());
    m.crc = crcOf(data);
    return m;
}

inline void append16(QByteArray* out, quint16 v)
{
    out->append(char(v & 0xFF));
    out->append(char(v >> 8));
}

inline void append32(QByteArray* out, quint32 v)
{
    append16(out, quint16(v & 0xFFFF));
    append16(out, quint16(v >> 16));
}

// Builds an archive from hand-made members with an optional archive comment.
inline QByteArray buildRawArchive(const QVector<RawMember>& members, const QByteArray& comment = {})
{
    QByteArray out;
    QVector<quint32> offsets;
    for (const RawMember& m : members) {
        offsets.append(quint32(out.size()));
        append32(&out, 0x04034B50);
        append16(&out, 20);
        append16(&out, m.flags);
        append16(&out, m.method);
        append16(&out, m.dosTime);
        append16(&out, m.dosDate);
        append32(&out, m.crc);
        append32(&out, quint32(m.data.size()));
        append32(&out, m.uncompressedSize);
        append16(&out, quint16(m.name.size()));
        append16(&out, quint16(m.localExtra.size()));
        out.append(m.name);
        out.append(m.localExtra);
        out.append(m.data);
    }
    const quint32 directoryOffset = quint32(out.size());
    for (int i = 0; i < members.size(); ++i) {
        const RawMember& m = members[i];
        append32(&out, 0x02014B50);
        append16(&out, m.versionMadeBy);
        append16(&out, 20);
        append16(&out, m.flags);
        append16(&out, m.method);
        append16(&out, m.dosTime);
        append16(&out, m.dosDate);
        append32(&out, m.crc);
        append32(&out, quint32(m.data.size()));
        append32(&out, m.uncompressedSize);
        append16(&out, quint16(m.name.size()));
        append16(&out, 0);
        append16(&out, 0);
        append16(&out, 0);
        append16(&out, 0);
        append32(&out, m.externalAttributes);
        append32(&out, offsets[i]);
        out.append(m.name);
    }
    const quint32 directorySize = quint32(out.size()) - directoryOffset;
    append32(&out, 0x06054B50);
    append16(&out, 0);
    append16(&out, 0);
    append16(&out, quint16(members.size()));
    append16(&out, quint16(members.size()));
    append32(&out, directorySize);
    append32(&out, directoryOffset);
    append16(&out, quint16(comment.size()));
    out.append(comment);
    return out;
}

// Positions of the structures of a well-formed archive without comment.
struct Layout {
    int endRecord = -1;
    int directoryOffset = -1;
    QVector<int> centralHeaders;
    QVector<int> localHeaders;
};

inline Layout layoutOf(const QByteArray& archive)
{
    Layout l;
    l.endRecord = archive.size() - 22;
    const int count = le16(archive, l.endRecord + 10);
    l.directoryOffset = int(le32(archive, l.endRecord + 16));
    int at = l.directoryOffset;
    for (int i = 0; i < count; ++i) {
        l.centralHeaders.append(at);
        l.localHeaders.append(int(le32(archive, at + 42)));
        at += 46 + le16(archive, at + 28) + le16(archive, at + 30) + le16(archive, at + 32);
    }
    return l;
}

// The reader keeps pointing into bytes: they must outlive the handle.
inline Handle openMemory(const QByteArray& bytes)
{
    return Handle(archiveOpenMemory(bytes.constData(), uint32_t(bytes.size()), nullptr));
}
Handle openMemory(QByteArray&&) = delete;

// Extracts member index whole through a buffer of its declared size.
inline ArchiveResult extractAll(HZIP reader, int32_t index, quint32 size, QByteArray* out)
{
    out->resize(int(size));
    return archiveExtractToBuffer(reader, index, out->data(), size);
}

// Looks name up and extracts it whole; the look-up's failure is returned as it is.
inline ArchiveResult findAndExtract(HZIP reader, const char16_t* name, bool ignoreCase, QByteArray* out)
{
    ArchiveMemberInfo info;
    const ArchiveResult found = archiveFindMember(reader, name, ignoreCase, nullptr, &info);
    if (found != ArchiveResult::Ok) {
        return found;
    }
    return extractAll(reader, info.index, info.uncompressedSize, out);
}

}  // namespace ziptest
