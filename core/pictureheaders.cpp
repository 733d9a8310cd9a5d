#include "core/pictureheaders.h"

#include "core/imagefiles.h"

#include <QVector>

#include <algorithm>
#include <cstring>

namespace core {

namespace {

// Bounds checked reads: every read past the end gives zero and marks the reader failed, so a
// walk over damaged headers ends instead of reading beyond the bytes.
class Bytes
{
public:
    explicit Bytes(const QByteArray& bytes)
        : m_data(reinterpret_cast<const uchar*>(bytes.constData())), m_size(bytes.size())
    {
    }

    qint64 size() const { return m_size; }
    bool has(qint64 at, qint64 count) const { return at >= 0 && count >= 0 && at <= m_size - count; }
    bool ok() const { return m_ok; }
    void fail() { m_ok = false; }

    quint32 u8(qint64 at) { return has(at, 1) ? m_data[at] : failed(); }
    quint32 le16(qint64 at) { return has(at, 2) ? quint32(m_data[at] | m_data[at + 1] << 8) : failed(); }
    quint32 be16(qint64 at) { return has(at, 2) ? quint32(m_data[at] << 8 | m_data[at + 1]) : failed(); }
    quint32 le24(qint64 at) { return has(at, 3) ? le16(at) | quint32(m_data[at + 2]) << 16 : failed(); }
    quint32 le32(qint64 at) { return has(at, 4) ? le16(at) | le16(at + 2) << 16 : failed(); }
    quint32 be32(qint64 at) { return has(at, 4) ? be16(at) << 16 | be16(at + 2) : failed(); }
    bool startsWith(qint64 at, const char* text) const
    {
        const qint64 length = qint64(std::strlen(text));
        return has(at, length) && std::memcmp(m_data + at, text, size_t(length)) == 0;
    }
    const uchar* data() const { return m_data; }

private:
    quint32 failed()
    {
        m_ok = false;
        return 0;
    }

    const uchar* m_data;
    qint64 m_size;
    bool m_ok = true;
};

PictureHeader refused(const QString& reason)
{
    PictureHeader header;
    header.refusal = reason;
    return header;
}

PictureHeader damaged(const char* format)
{
    return refused(QStringLiteral("picture: %1 header damaged").arg(QLatin1String(format)));
}

PictureHeader tooShort(const char* format)
{
    return refused(QStringLiteral("picture: %1 file shorter than the pixels its header declares")
                       .arg(QLatin1String(format)));
}

QString sizeProblem(qint64 width, qint64 height, int bytesPerPixel)
{
    if (width <= 0 || height <= 0) {
        return QStringLiteral("picture: size unreadable");
    }
    // Checked one side at a time first, so that the product below cannot overflow.
    if (width > maximumPicturePixels || height > maximumPicturePixels
        || width * height > maximumPicturePixels) {
        return QStringLiteral("picture larger than %1 megapixels").arg(maximumPicturePixels / 1'000'000);
    }
    if (width * height * bytesPerPixel > maximumPictureBytes) {
        return QStringLiteral("picture larger than %1 MiB in memory").arg(maximumPictureBytes >> 20);
    }
    return QString();
}

// The header of a picture whose canvas is width x height, decoded into bytesPerPixel per pixel.
PictureHeader accepted(const char* format, qint64 width, qint64 height, int bytesPerPixel)
{
    const QString problem = sizeProblem(width, height, bytesPerPixel);
    if (!problem.isEmpty()) {
        return refused(problem);
    }
    PictureHeader header;
    header.format = format;
    header.size = QSize(int(width), int(height));
    header.decodedBytes = width * height * bytesPerPixel;
    return header;
}

// ---- PNG: the header chunk comes first; our own decoder skips every ancillary chunk.

PictureHeader pngHeader(Bytes& in)
{
    if (!in.startsWith(12, "IHDR") || in.be32(8) != 13) {
        return refused(QStringLiteral("picture: size unreadable"));
    }
    const qint64 width = in.be32(16);
    const qint64 height = in.be32(20);
    const int depth = int(in.u8(24));
    if (!in.ok()) {
        return refused(QStringLiteral("picture: size unreadable"));
    }
    return accepted("png", width, height, depth == 16 ? 8 : 4);
}

// ---- JPEG: the frame header gives the size; the number of scans is bounded separately.

bool isStandaloneMarker(uchar marker)
{
    // Stuffed zero, TEM, SOI and the restart markers carry no length.
    return marker == 0x00 || marker == 0x01 || marker == 0xd8 || (marker >= 0xd0 && marker <= 0xd7);
}

bool isFrameMarker(uchar marker)
{
    return marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 && marker != 0xcc;
}

PictureHeader jpegHeader(Bytes& in)
{
    const uchar* data = in.data();
    const qint64 size = in.size();
    int scans = 0;
    qint64 width = 0;
    qint64 height = 0;
    bool ended = false;
    // Walked segment by segment as a decoder does; entropy-coded bytes are passed one at a time.
    for (qint64 at = 2; at + 1 < size && scans <= maximumJpegScans;) {
        const uchar marker = data[at + 1];
        if (data[at] != 0xff || marker == 0xff) {
            ++at;
        } else if (marker == 0xd9) {
            ended = true;
            break;
        } else if (isStandaloneMarker(marker)) {
            at += 2;
        } else {
            if (marker == 0xda) {
                ++scans;
            }
            if (isFrameMarker(marker) && width == 0) {
                height = in.be16(at + 5);
                width = in.be16(at + 7);
            }
            const qint64 length = at + 3 < size ? qint64(data[at + 2]) << 8 | data[at + 3] : 0;
            at += 2 + length;
        }
    }
    if (scans > maximumJpegScans) {
        return refused(QStringLiteral("picture: JPEG of more than %1 scans").arg(maximumJpegScans));
    }
    PictureHeader header = accepted("jpeg", width, height, 4);
    // Every 8 x 8 block of the full-resolution component costs at least one bit of the DC scan,
    // so a complete picture needs a byte per 512 pixels. A shorter file decodes to grey.
    if (header.refusal.isEmpty() && size < width * height / 512) {
        return tooShort("JPEG");
    }
    // Every JPEG ends with its end marker. Without it the decoder paints what is missing grey
    // (a download cut short); the picture is still taken, as other programs show it, with a word.
    if (header.refusal.isEmpty() && !ended) {
        header.warning = QStringLiteral("the file ends before its picture does (cut short?): the missing part is grey");
    }
    return header;
}

// ---- GIF: every frame is placed on the logical screen; a reader enlarges the canvas to hold
// the frame, so the canvas is judged by the frames, not by the screen the header names.

// One LZW code of at least 3 bits yields at most 4096 pixels.
constexpr qint64 gifPixelsPerByte = 4096 * 8 / 3 + 1;

PictureHeader gifHeader(Bytes& in)
{
    qint64 width = in.le16(6);
    qint64 height = in.le16(8);
    const quint32 screenFlags = in.u8(10);
    qint64 at = 13;
    if (screenFlags & 0x80) {
        at += 3 * (qint64(2) << (screenFlags & 7));
    }
    int frames = 0;
    while (in.ok()) {
        if (!in.has(at, 1) && frames > 0) {
            break;  // a file cut after its last frame still reads
        }
        const quint32 block = in.u8(at);
        if (block == 0x3b) {
            break;  // the trailer
        }
        if (block == 0x21) {
            at += 2;
            for (quint32 length = in.u8(at); in.ok() && length != 0; length = in.u8(at)) {
                at += 1 + length;
            }
            at += 1;
        } else if (block == 0x2c) {
            const qint64 left = in.le16(at + 1);
            const qint64 top = in.le16(at + 3);
            const qint64 frameWidth = in.le16(at + 5);
            const qint64 frameHeight = in.le16(at + 7);
            const quint32 flags = in.u8(at + 9);
            at += 10;
            if (flags & 0x80) {
                at += 3 * (qint64(2) << (flags & 7));
            }
            at += 1;  // the smallest code size
            qint64 data = 0;
            for (quint32 length = in.u8(at); in.ok() && length != 0; length = in.u8(at)) {
                data += length;
                at += 1 + length;
            }
            at += 1;
            if (!in.ok()) {
                return tooShort("GIF");
            }
            width = std::max(width, left + frameWidth);
            height = std::max(height, top + frameHeight);
            const QString problem = sizeProblem(width, height, 4);
            if (!problem.isEmpty()) {
                return refused(problem);
            }
            if (frameWidth * frameHeight > data * gifPixelsPerByte) {
                return tooShort("GIF");
            }
            ++frames;
        } else {
            return damaged("GIF");
        }
    }
    if (frames == 0) {
        return in.ok() ? refused(QStringLiteral("picture: GIF without a frame")) : damaged("GIF");
    }
    return accepted("gif", width, height, 4);
}

// ---- BMP: the information header gives the size and depth; the pixels follow at the offset.

PictureHeader bmpHeader(Bytes& in)
{
    const qint64 offset = in.le32(10);
    const quint32 infoSize = in.le32(14);
    qint64 width = 0;
    qint64 height = 0;
    quint32 depth = 0;
    quint32 compression = 0;
    if (infoSize == 12) {
        width = in.le16(18);
        height = in.le16(20);
        depth = in.le16(24);
    } else if (infoSize >= 40) {
        width = qint32(in.le32(18));
        height = qint32(in.le32(22));
        depth = in.le16(28);
        compression = in.le32(30);
    } else {
        return damaged("BMP");
    }
    if (!in.ok()) {
        return damaged("BMP");
    }
    height = std::abs(height);  // negative: rows stored top-down
    const QString problem = sizeProblem(width, height, 4);
    if (!problem.isEmpty()) {
        return refused(problem);
    }
    const qint64 pixelBytes = in.size() - offset;
    if (offset <= 0 || pixelBytes <= 0) {
        return tooShort("BMP");
    }
    switch (compression) {
    case 0:  // rows padded to four bytes
    case 3:  // with bit fields
    case 6: {
        if (depth != 1 && depth != 4 && depth != 8 && depth != 16 && depth != 24 && depth != 32) {
            return damaged("BMP");
        }
        if (pixelBytes < (width * depth + 31) / 32 * 4 * height) {
            return tooShort("BMP");
        }
        break;
    }
    case 1:  // run lengths: a run of at most 255 pixels costs two bytes
    case 2:
        if (pixelBytes * 128 < width * height) {
            return tooShort("BMP");
        }
        break;
    default:
        return refused(QStringLiteral("picture: BMP compression %1 not read").arg(compression));
    }
    return accepted("bmp", width, height, 4);
}

// ---- TIFF: every directory of the chain; the strips or tiles must lie in the file and be
// large enough for the rows they declare.

class TiffReader
{
public:
    TiffReader(Bytes& in, bool bigEndian)
        : in(in), big(bigEndian), valuesLeft(in.size() / 2 + 65536)
    {
    }

    quint32 u16(qint64 at) { return big ? in.be16(at) : in.le16(at); }
    quint32 u32(qint64 at) { return big ? in.be32(at) : in.le32(at); }

    // The values of one entry of type SHORT or LONG, at most limit of them.
    QVector<qint64> values(qint64 entry, int limit)
    {
        const quint32 type = u16(entry + 2);
        const qint64 count = u32(entry + 4);
        const int width = type == 3 ? 2 : type == 4 ? 4 : 0;
        QVector<qint64> result;
        // Every value takes two bytes or more of its own in a sound file; directories that point
        // again and again at one table would have minutes of reading come out of a small file.
        if (width == 0 || count > limit || count > valuesLeft) {
            in.fail();
            return result;
        }
        valuesLeft -= count;
        const qint64 at = count * width <= 4 ? entry + 8 : qint64(u32(entry + 8));
        for (qint64 i = 0; i < count && in.ok(); ++i) {
            result.append(width == 2 ? u16(at + 2 * i) : u32(at + 4 * i));
        }
        return result;
    }

    Bytes& in;
    bool big;
    qint64 valuesLeft; // for the whole file
};

// Bytes of decoded data one byte of compressed data can hold at most, per compression scheme.
qint64 tiffExpansion(qint64 compression, qint64 width)
{
    switch (compression) {
    case 1:
        return 1;
    case 32773:  // PackBits: 128 bytes in two
        return 64;
    case 8:
    case 32946:  // Deflate
        return 1032;
    case 5:  // LZW: a 9-bit code or longer yields at most 4096 bytes
        return 4096 * 8 / 9 + 1;
    case 6:
    case 7:  // JPEG: a bit per 8 x 8 block, as for JPEG files, for up to four samples a pixel
        return 2048;
    case 2:
    case 3:
    case 4:  // CCITT fax codes: a bit can stand for a whole row of one-bit pixels
        return std::max<qint64>(1, width);
    default:
        return 0;
    }
}

constexpr int maximumTiffDirectories = 1024;
constexpr int maximumTiffEntries = 4096;
constexpr int maximumTiffStrips = 1 << 20;

PictureHeader tiffHeader(Bytes& in)
{
    TiffReader tiff(in, in.startsWith(0, "MM"));
    if (tiff.u16(2) == 43) {
        return refused(QStringLiteral("picture: BigTIFF not read"));
    }
    qint64 next = tiff.u32(4);
    qint64 widest = 0;
    qint64 tallest = 0;
    qint64 largestBytes = 0;
    int directories = 0;
    QVector<qint64> visited;
    while (next != 0 && in.ok()) {
        if (++directories > maximumTiffDirectories || visited.contains(next)) {
            return damaged("TIFF");
        }
        visited.append(next);
        const qint64 entries = tiff.u16(next);
        if (entries > maximumTiffEntries) {
            return damaged("TIFF");
        }
        qint64 width = 0;
        qint64 height = 0;
        qint64 bits = 1;
        qint64 samples = 1;
        qint64 compression = 1;
        QVector<qint64> offsets;
        QVector<qint64> counts;
        for (qint64 i = 0; i < entries && in.ok(); ++i) {
            const qint64 entry = next + 2 + 12 * i;
            const quint32 tag = tiff.u16(entry);
            auto single = [&] {
                const QVector<qint64> v = tiff.values(entry, 1);
                return v.isEmpty() ? 0 : v.front();
            };
            switch (tag) {
            case 256: width = single(); break;
            case 257: height = single(); break;
            case 258: {
                const QVector<qint64> v = tiff.values(entry, 16);
                bits = v.isEmpty() ? 0 : *std::max_element(v.begin(), v.end());
                break;
            }
            case 259: compression = single(); break;
            case 277: samples = single(); break;
            case 273:
            case 324: offsets = tiff.values(entry, maximumTiffStrips); break;
            case 279:
            case 325: counts = tiff.values(entry, maximumTiffStrips); break;
            default: break;
            }
        }
        next = tiff.u32(next + 2 + 12 * entries);
        if (!in.ok()) {
            return damaged("TIFF");
        }
        const int bytesPerPixel = bits > 8 ? 8 : 4;
        const QString problem = sizeProblem(width, height, bytesPerPixel);
        if (!problem.isEmpty()) {
            return refused(problem);
        }
        if (bits <= 0 || bits > 64 || samples <= 0 || samples > 16) {
            return damaged("TIFF");
        }
        const qint64 expansion = tiffExpansion(compression, width);
        if (expansion == 0) {
            return refused(QStringLiteral("picture: TIFF compression %1 not read").arg(compression));
        }
        if (offsets.isEmpty() || offsets.size() != counts.size()) {
            return damaged("TIFF");
        }
        qint64 stored = 0;
        for (int i = 0; i < offsets.size(); ++i) {
            if (!in.has(offsets[i], counts[i])) {
                return tooShort("TIFF");
            }
            stored += counts[i];
        }
        // Tiles cover whole tile rows and columns, strips whole rows.
        // Tiles are stored padded to whole tiles, so the picture's own rows are a lower bound.
        const qint64 raw = width * bits * samples / 8 * height;
        if (stored * expansion < raw) {
            return tooShort("TIFF");
        }
        if (width * height > widest * tallest) {
            widest = width;
            tallest = height;
            largestBytes = bytesPerPixel;
        }
    }
    if (!in.ok() || widest == 0) {
        return damaged("TIFF");
    }
    return accepted("tiff", widest, tallest, int(largestBytes));
}

// ---- WebP: a RIFF file whose first chunk is a simple lossy or lossless picture, or an
// extended header naming the canvas, followed by frames that each must fit on it.

PictureHeader webpHeader(Bytes& in)
{
    const qint64 riffEnd = qint64(in.le32(4)) + 8;
    if (riffEnd > in.size() + 1) {  // one byte of padding may be missing
        return tooShort("WebP");
    }
    qint64 width = 0;
    qint64 height = 0;
    bool pixels = false;
    for (qint64 at = 12; at + 8 <= std::min(riffEnd, in.size()) && in.ok();) {
        const qint64 length = in.le32(at + 4);
        const qint64 body = at + 8;
        if (!in.has(body, length)) {
            return tooShort("WebP");
        }
        if (in.startsWith(at, "VP8 ")) {
            if (in.u8(body + 3) != 0x9d || in.u8(body + 4) != 0x01 || in.u8(body + 5) != 0x2a) {
                return damaged("WebP");
            }
            width = std::max<qint64>(width, in.le16(body + 6) & 0x3fff);
            height = std::max<qint64>(height, in.le16(body + 8) & 0x3fff);
            pixels = true;
        } else if (in.startsWith(at, "VP8L")) {
            if (in.u8(body) != 0x2f) {
                return damaged("WebP");
            }
            const quint32 bits = in.le32(body + 1);
            width = std::max<qint64>(width, (bits & 0x3fff) + 1);
            height = std::max<qint64>(height, ((bits >> 14) & 0x3fff) + 1);
            pixels = true;
        } else if (in.startsWith(at, "VP8X")) {
            width = std::max<qint64>(width, qint64(in.le24(body + 4)) + 1);
            height = std::max<qint64>(height, qint64(in.le24(body + 7)) + 1);
        } else if (in.startsWith(at, "ANMF")) {
            width = std::max<qint64>(width, 2 * qint64(in.le24(body)) + in.le24(body + 6) + 1);
            height = std::max<qint64>(height, 2 * qint64(in.le24(body + 3)) + in.le24(body + 9) + 1);
            pixels = true;
        }
        at = body + length + (length & 1);
    }
    if (!in.ok()) {
        return damaged("WebP");
    }
    if (!pixels) {
        return tooShort("WebP");
    }
    return accepted("webp", width, height, 4);
}

// ---- Text formats: the size is written out as numbers, and every pixel costs at least one
// character.

// The next number after at, skipping white space and (for PNM) comments to the end of a line.
qint64 readNumber(const QByteArray& text, int& at)
{
    while (at < text.size()) {
        const char c = text[at];
        if (c == '#') {
            while (at < text.size() && text[at] != '\n') {
                ++at;
            }
        } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            ++at;
        } else {
            break;
        }
    }
    qint64 value = -1;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && value < (qint64(1) << 40)) {
        value = std::max<qint64>(value, 0) * 10 + (text[at] - '0');
        ++at;
    }
    return value;
}

PictureHeader pnmHeader(const QByteArray& bytes)
{
    const char kind = bytes[1];
    int at = 2;
    const qint64 width = readNumber(bytes, at);
    const qint64 height = readNumber(bytes, at);
    const bool bitmap = kind == '1' || kind == '4';
    const qint64 maximum = bitmap ? 1 : readNumber(bytes, at);
    if (width < 0 || height < 0 || maximum <= 0 || maximum > 65535) {
        return damaged("PNM");
    }
    PictureHeader header = accepted("pbm", width, height, 4);
    if (!header.refusal.isEmpty()) {
        return header;
    }
    header.format = bitmap ? "pbm" : kind == '2' || kind == '5' ? "pgm" : "ppm";
    const qint64 samples = kind == '3' || kind == '6' ? 3 : 1;
    qint64 needed = width * height * samples;  // a character per value at least
    if (kind == '4') {
        needed = (width + 7) / 8 * height;
    } else if (kind == '5' || kind == '6') {
        needed *= maximum > 255 ? 2 : 1;
    }
    if (bytes.size() - at < needed) {
        return tooShort("PNM");
    }
    return header;
}

PictureHeader xpmHeader(const QByteArray& bytes)
{
    // The first string holds "width height colours characters-per-pixel".
    const int brace = bytes.indexOf('{');
    int at = brace < 0 ? -1 : bytes.indexOf('"', brace);
    if (at < 0) {
        return damaged("XPM");
    }
    ++at;
    const qint64 width = readNumber(bytes, at);
    const qint64 height = readNumber(bytes, at);
    const qint64 colours = readNumber(bytes, at);
    const qint64 perPixel = readNumber(bytes, at);
    if (width < 0 || height < 0 || colours < 0 || perPixel <= 0 || perPixel > 64) {
        return damaged("XPM");
    }
    PictureHeader header = accepted("xpm", width, height, 4);
    if (header.refusal.isEmpty() && bytes.size() - at < height * (width * perPixel + 3) + colours * 4) {
        return tooShort("XPM");
    }
    return header;
}

PictureHeader xbmHeader(const QByteArray& bytes)
{
    const auto defined = [&bytes](const char* suffix) {
        const int name = bytes.indexOf(suffix);
        int at = name < 0 ? bytes.size() : name + int(std::strlen(suffix));
        return readNumber(bytes, at);
    };
    const qint64 width = defined("_width");
    const qint64 height = defined("_height");
    if (width < 0 || height < 0) {
        return damaged("XBM");
    }
    PictureHeader header = accepted("xbm", width, height, 4);
    // Every byte of eight pixels is written as "0x00," at least.
    if (header.refusal.isEmpty() && bytes.size() < (width + 7) / 8 * height * 4) {
        return tooShort("XBM");
    }
    return header;
}

PictureHeader unreadableContainer(const char* format)
{
    return refused(QStringLiteral("picture: %1 files are not read, as the size of the pictures "
                                  "they hold cannot be established before decoding")
                       .arg(QLatin1String(format)));
}

} // namespace

PictureHeader readPictureHeader(const QByteArray& bytes)
{
    Bytes in(bytes);
    if (in.startsWith(0, "\x89PNG\r\n\x1a\n")) {
        return pngHeader(in);
    }
    if (in.startsWith(0, "\xff\xd8\xff")) {
        return jpegHeader(in);
    }
    if (in.startsWith(0, "GIF87a") || in.startsWith(0, "GIF89a")) {
        return gifHeader(in);
    }
    if (in.startsWith(0, "BM")) {
        return bmpHeader(in);
    }
    if ((in.startsWith(0, "II") && (in.le16(2) == 42 || in.le16(2) == 43))
        || (in.startsWith(0, "MM") && (in.be16(2) == 42 || in.be16(2) == 43))) {
        return tiffHeader(in);
    }
    if (in.startsWith(0, "RIFF") && in.startsWith(8, "WEBP")) {
        return webpHeader(in);
    }
    if (bytes.size() >= 3 && bytes[0] == 'P' && bytes[1] >= '1' && bytes[1] <= '6'
        && (bytes[2] == ' ' || bytes[2] == '\n' || bytes[2] == '\r' || bytes[2] == '\t' || bytes[2] == '#')) {
        return pnmHeader(bytes);
    }
    if (bytes.left(64).contains("/* XPM */")) {
        return xpmHeader(bytes);
    }
    if (bytes.startsWith("#define") && bytes.left(1024).contains("_width")) {
        return xbmHeader(bytes);
    }
    if (in.has(0, 4) && in.u8(0) == 0 && in.u8(1) == 0 && in.u8(3) == 0) {
        if (in.u8(2) == 1) {
            return unreadableContainer("ICO");
        }
        if (in.u8(2) == 2) {
            return unreadableContainer("CUR");
        }
    }
    if (in.startsWith(0, "icns")) {
        return unreadableContainer("ICNS");
    }
    if (in.startsWith(0, "\x8aMNG")) {
        return unreadableContainer("MNG");
    }
    return refused(unknownFormatReason());
}

QString unknownFormatReason()
{
    return QStringLiteral("picture: not in a format that can be read");
}

} // namespace core
