#include "core/pngcodec.h"

#include "core/imagefiles.h"

#include <QByteArray>
#include <QColorSpace>
#include <QVector>
#include <QtEndian>

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <type_traits>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace core::png {

namespace {

constexpr char pngSignature[] = "\x89PNG\r\n\x1a\n";
constexpr int signatureLength = 8;
// PNG's own bound on a chunk's length.
constexpr quint32 maximumChunkLength = 0x7fffffffu;
// Written IDAT chunks are at most this long, so that streaming readers get modest pieces.
constexpr size_t writtenChunkLength = size_t(1) << 20;
// Below this many filtered bytes a second thread costs more than it saves.
constexpr size_t twoStripThreshold = size_t(1) << 20;
// Deflate cannot expand by more than 1032 to 1: a stream shorter than its picture needs by
// that ratio is refused before the picture is allocated.
constexpr quint64 deflateMaximumRatio = 1032;

enum ColourType : quint8 { Grey = 0, Rgb = 2, Palette = 3, GreyAlpha = 4, Rgba = 6 };

int channelCount(quint8 colourType)
{
    switch (colourType) {
    case Grey:
    case Palette:
        return 1;
    case GreyAlpha:
        return 2;
    case Rgb:
        return 3;
    case Rgba:
        return 4;
    default:
        return 0;
    }
}

quint64 rowBytes(quint64 width, int channels, int bitDepth)
{
    return (width * quint64(channels) * quint64(bitDepth) + 7) / 8;
}

// Bytes between a byte and the one the Sub, Average and Paeth filters compare it with.
int filterDistance(int channels, int bitDepth)
{
    return std::max(1, channels * bitDepth / 8);
}

quint8 paethPredictor(int left, int up, int upLeft)
{
    const int estimate = left + up - upLeft;
    const int toLeft = std::abs(estimate - left);
    const int toUp = std::abs(estimate - up);
    const int toUpLeft = std::abs(estimate - upLeft);
    if (toLeft <= toUp && toLeft <= toUpLeft) {
        return quint8(left);
    }
    return quint8(toUp <= toUpLeft ? up : upLeft);
}

struct LibdeflateCompressorDeleter {
    void operator()(libdeflate_compressor* compressor) const { libdeflate_free_compressor(compressor); }
};
struct LibdeflateDecompressorDeleter {
    void operator()(libdeflate_decompressor* decompressor) const
    {
        libdeflate_free_decompressor(decompressor);
    }
};

struct FreeDeleter {
    void operator()(void* block) const { std::free(block); }
};
using LargeBuffer = std::unique_ptr<quint8[], FreeDeleter>;

// Buffers of many megabytes are written once from end to end, so they are not zeroed first.
// They are not marked for transparent huge pages: with the kernel's usual setting ("defrag:
// madvise") a fault in such a region may compact memory before it returns, and large encodes and
// decodes stalled on it at random (a 12000 x 9000 save took 0.59-0.70 x Qt's encode in runs
// where it otherwise takes 0.24-0.27 x; our decode, 1.2-1.7 x Qt's instead of 0.3 x).
// Null when memory runs out.
LargeBuffer largeBuffer(size_t size)
{
    return LargeBuffer(static_cast<quint8*>(std::malloc(std::max<size_t>(size, 1))));
}

// ---------------------------------------------------------------------------------------------
// Writing

// Where the bytes of one PNG row come from.
enum class RowSource {
    Bytes,   // the scanline already holds the PNG samples (palette, grey 8, RGB888)
    Grey16,  // native 16-bit grey, written big-endian
    Rgb32,   // 0xffRRGGBB words, written as RGB
    Argb32,  // straight 0xAARRGGBB words, written as RGBA
    Rgbx64,  // QRgba64 words, written as 16-bit RGB
    Rgba64,  // straight QRgba64 words, written as 16-bit RGBA
};

// The picture in a format the row writer reads, and the PNG header it is written under.
struct Layout {
    QImage source;
    RowSource rowSource = RowSource::Bytes;
    quint8 colourType = Rgb;
    quint8 bitDepth = 8;
    size_t rowLength = 0;  // bytes of one row, without its filter byte
    int distance = 1;
};

bool everyPixelOpaque(const QImage& picture)
{
    const bool wide = picture.format() == QImage::Format_RGBA64;
    for (int y = 0; y < picture.height(); ++y) {
        if (wide) {
            const auto* line = reinterpret_cast<const QRgba64*>(picture.constScanLine(y));
            for (int x = 0; x < picture.width(); ++x) {
                if (line[x].alpha() != 0xffff) {
                    return false;
                }
            }
        } else {
            const auto* line = reinterpret_cast<const QRgb*>(picture.constScanLine(y));
            for (int x = 0; x < picture.width(); ++x) {
                if (qAlpha(line[x]) != 0xff) {
                    return false;
                }
            }
        }
    }
    return true;
}

Layout layoutOf(const QImage& source, RowSource rowSource, quint8 colourType, quint8 bitDepth)
{
    Layout layout;
    layout.source = source;
    layout.rowSource = rowSource;
    layout.colourType = colourType;
    layout.bitDepth = bitDepth;
    const int channels = channelCount(colourType);
    layout.rowLength = size_t(rowBytes(quint64(source.width()), channels, bitDepth));
    layout.distance = filterDistance(channels, bitDepth);
    return layout;
}

Layout wideLayout(const QImage& picture)
{
    const bool alpha = picture.hasAlphaChannel();
    QImage wide = picture.convertToFormat(alpha ? QImage::Format_RGBA64 : QImage::Format_RGBX64);
    if (alpha && everyPixelOpaque(wide)) {
        return layoutOf(wide, RowSource::Rgbx64, Rgb, 16);
    }
    return layoutOf(wide, alpha ? RowSource::Rgba64 : RowSource::Rgbx64, alpha ? Rgba : Rgb, 16);
}

// Pictures with alpha are written as RGB when every pixel is opaque: a third fewer bytes to
// filter and compress, the same pixels on reading.
Layout argbLayout(const QImage& argb)
{
    if (everyPixelOpaque(argb)) {
        return layoutOf(argb, RowSource::Rgb32, Rgb, 8);
    }
    return layoutOf(argb, RowSource::Argb32, Rgba, 8);
}

// The picture turned into one of the formats the row writer reads, or nothing when a
// conversion ran out of memory.
std::optional<Layout> layoutFor(const QImage& picture)
{
    Layout layout;
    switch (picture.format()) {
    case QImage::Format_Indexed8:
        layout = layoutOf(picture, RowSource::Bytes, Palette, 8);
        break;
    case QImage::Format_Mono:
    case QImage::Format_MonoLSB:
        layout = layoutOf(picture.convertToFormat(QImage::Format_Indexed8), RowSource::Bytes, Palette, 8);
        break;
    case QImage::Format_Grayscale8:
        layout = layoutOf(picture, RowSource::Bytes, Grey, 8);
        break;
#if QT_VERSION >= QT_VERSION_CHECK(5, 13, 0)
    case QImage::Format_Grayscale16:
        layout = layoutOf(picture, RowSource::Grey16, Grey, 16);
        break;
#endif
    case QImage::Format_RGB888:
        layout = layoutOf(picture, RowSource::Bytes, Rgb, 8);
        break;
    case QImage::Format_RGB32:
        layout = layoutOf(picture, RowSource::Rgb32, Rgb, 8);
        break;
    case QImage::Format_ARGB32:
        layout = argbLayout(picture);
        break;
    case QImage::Format_RGBX64:
    case QImage::Format_RGBA64:
    case QImage::Format_RGBA64_Premultiplied:
    case QImage::Format_BGR30:
    case QImage::Format_RGB30:
    case QImage::Format_A2BGR30_Premultiplied:
    case QImage::Format_A2RGB30_Premultiplied:
        layout = wideLayout(picture);
        break;
    default:
        layout = picture.hasAlphaChannel()
                     ? argbLayout(picture.convertToFormat(QImage::Format_ARGB32))
                     : layoutOf(picture.convertToFormat(QImage::Format_RGB32), RowSource::Rgb32, Rgb, 8);
        break;
    }
    if (layout.source.isNull()) {
        return std::nullopt;
    }
    return layout;
}

// The PNG bytes of row y: the scanline itself when it already holds them, else scratch filled.
const quint8* rawRow(const Layout& layout, int y, quint8* scratch)
{
    const uchar* line = layout.source.constScanLine(y);
    const int width = layout.source.width();
    quint8* out = scratch;
    switch (layout.rowSource) {
    case RowSource::Bytes:
        return line;
    case RowSource::Grey16: {
        const auto* samples = reinterpret_cast<const quint16*>(line);
        for (int x = 0; x < width; ++x) {
            qToBigEndian(samples[x], out + 2 * x);
        }
        break;
    }
    case RowSource::Rgb32: {
        const auto* pixels = reinterpret_cast<const QRgb*>(line);
        for (int x = 0; x < width; ++x) {
            const QRgb pixel = pixels[x];
            out[0] = quint8(pixel >> 16);
            out[1] = quint8(pixel >> 8);
            out[2] = quint8(pixel);
            out += 3;
        }
        break;
    }
    case RowSource::Argb32: {
        const auto* pixels = reinterpret_cast<const QRgb*>(line);
        for (int x = 0; x < width; ++x) {
            const QRgb pixel = pixels[x];
            out[0] = quint8(pixel >> 16);
            out[1] = quint8(pixel >> 8);
            out[2] = quint8(pixel);
            out[3] = quint8(pixel >> 24);
            out += 4;
        }
        break;
    }
    case RowSource::Rgbx64:
    case RowSource::Rgba64: {
        const bool alpha = layout.rowSource == RowSource::Rgba64;
        const auto* pixels = reinterpret_cast<const QRgba64*>(line);
        for (int x = 0; x < width; ++x) {
            qToBigEndian(pixels[x].red(), out);
            qToBigEndian(pixels[x].green(), out + 2);
            qToBigEndian(pixels[x].blue(), out + 4);
            out += 6;
            if (alpha) {
                qToBigEndian(pixels[x].alpha(), out);
                out += 2;
            }
        }
        break;
    }
    }
    return scratch;
}

// Writes the filter byte and the filtered row to out. prior is null for a picture's first row.
void filterRow(Filter filter, const quint8* row, const quint8* prior, size_t length, int distance,
               quint8* out)
{
    quint8* data = out + 1;
    switch (filter) {
    case Filter::None:
        out[0] = 0;
        std::memcpy(data, row, length);
        return;
    case Filter::Sub:
        out[0] = 1;
        for (size_t i = 0; i < length; ++i) {
            data[i] = quint8(row[i] - (i >= size_t(distance) ? row[i - distance] : 0));
        }
        return;
    case Filter::Up:
        if (!prior) {
            filterRow(Filter::None, row, prior, length, distance, out);
            return;
        }
        out[0] = 2;
        for (size_t i = 0; i < length; ++i) {
            data[i] = quint8(row[i] - prior[i]);
        }
        return;
    case Filter::Paeth:
        out[0] = 4;
        for (size_t i = 0; i < length; ++i) {
            const bool hasLeft = i >= size_t(distance);
            const int left = hasLeft ? row[i - distance] : 0;
            const int up = prior ? prior[i] : 0;
            const int upLeft = prior && hasLeft ? prior[i - distance] : 0;
            data[i] = quint8(row[i] - paethPredictor(left, up, upLeft));
        }
        return;
    case Filter::Adaptive:
        break;
    }
}

quint64 magnitudeSum(const quint8* data, size_t length)
{
    quint64 sum = 0;
    for (size_t i = 0; i < length; ++i) {
        sum += quint64(std::abs(int(qint8(data[i]))));
    }
    return sum;
}

// The usual heuristic: the filter whose bytes, read as signed, have the smallest magnitudes.
void filterRowAdaptively(const quint8* row, const quint8* prior, size_t length, int distance,
                         quint8* out, std::vector<quint8>& trial)
{
    trial.resize(length + 1);
    filterRow(Filter::None, row, prior, length, distance, out);
    quint64 best = magnitudeSum(out + 1, length);
    for (Filter candidate : {Filter::Sub, Filter::Up, Filter::Paeth}) {
        filterRow(candidate, row, prior, length, distance, trial.data());
        const quint64 sum = magnitudeSum(trial.data() + 1, length);
        if (sum < best) {
            best = sum;
            std::memcpy(out, trial.data(), length + 1);
        }
    }
}

struct Strip {
    int firstRow = 0;
    int endRow = 0;
    bool last = true;  // the last strip ends the Deflate stream
    LargeBuffer deflated;
    size_t deflatedLength = 0;
    quint32 adler = 1;
    size_t filteredLength = 0;
    bool ok = false;
};

// The filter of a strip's first row when the strip starts inside the picture: one that does not
// look at the row above, so that a reader can unfilter the strip without waiting for the one
// before it. None and Up write None, as for the picture's first row; the others write Sub.
Filter independentFilter(Filter filter)
{
    return filter == Filter::None || filter == Filter::Up ? Filter::None : Filter::Sub;
}

// The filtered rows from firstRow to endRow, or null when memory runs out.
LargeBuffer filteredRows(const Layout& layout, Filter filter, int firstRow, int endRow)
{
    const size_t stride = layout.rowLength + 1;
    LargeBuffer filtered = largeBuffer(size_t(endRow - firstRow) * stride);
    if (!filtered) {
        return filtered;
    }
    std::vector<quint8> current(layout.rowLength);
    std::vector<quint8> previous(layout.rowLength);
    std::vector<quint8> trial;
    const quint8* prior = nullptr;
    for (int y = firstRow; y < endRow; ++y) {
        const quint8* row = rawRow(layout, y, current.data());
        quint8* out = filtered.get() + size_t(y - firstRow) * stride;
        if (y == firstRow && firstRow > 0) {
            filterRow(independentFilter(filter), row, nullptr, layout.rowLength, layout.distance, out);
        } else if (filter == Filter::Adaptive) {
            filterRowAdaptively(row, prior, layout.rowLength, layout.distance, out, trial);
        } else {
            filterRow(filter, row, prior, layout.rowLength, layout.distance, out);
        }
        // A converted row lives in scratch: keep it as the next row's prior by swapping buffers.
        if (row == current.data()) {
            std::swap(current, previous);
            prior = previous.data();
        } else {
            prior = row;
        }
    }
    return filtered;
}

// Room after the compressed bytes for what makeContinuable appends.
constexpr size_t continuationRoom = 8;

bool deflateWithLibdeflate(const quint8* input, size_t inputLength, int level, Strip& strip)
{
    const std::unique_ptr<libdeflate_compressor, LibdeflateCompressorDeleter> compressor(
        libdeflate_alloc_compressor(std::clamp(level, 0, 12)));
    if (!compressor) {
        return false;
    }
    const size_t bound = libdeflate_deflate_compress_bound(compressor.get(), inputLength);
    strip.deflated = largeBuffer(bound + continuationRoom);
    if (!strip.deflated) {
        return false;
    }
    strip.deflatedLength = libdeflate_deflate_compress(compressor.get(), input, inputLength,
                                                       strip.deflated.get(), bound);
    return strip.deflatedLength > 0;
}

// libdeflate always ends its output with a final block. For more Deflate data to follow, the
// final block's BFINAL bit is cleared and an empty stored block brings the stream to a byte
// boundary, as zlib's sync flush would. zlib's inflate, stopping at every block boundary, finds
// where that last block starts; it checks the data on the way.
bool makeContinuable(Strip& strip, size_t inflatedLength)
{
    quint8* deflated = strip.deflated.get();
    size_t& length = strip.deflatedLength;
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) {
        return false;
    }
    std::vector<quint8> sink(size_t(1) << 16);
    stream.next_in = deflated;
    stream.avail_in = uInt(length);
    quint64 lastBlockBit = 0;
    quint64 endBit = 0;
    int result = Z_OK;
    while (result == Z_OK) {
        if (stream.avail_out == 0) {
            stream.next_out = sink.data();
            stream.avail_out = uInt(sink.size());
        }
        result = inflate(&stream, Z_BLOCK);
        // Bit 128: stopped at a block boundary, bit 64: after the final block; the low bits
        // count what is left unused of the bytes read.
        if (result == Z_OK && (stream.data_type & 128) != 0) {
            const quint64 bit = quint64(stream.total_in) * 8 - quint64(stream.data_type & 63);
            ((stream.data_type & 64) != 0 ? endBit : lastBlockBit) = bit;
        }
    }
    const bool whole = result == Z_STREAM_END && stream.avail_in == 0 && stream.total_out == inflatedLength;
    inflateEnd(&stream);
    const bool finalBitFound = lastBlockBit < endBit && (deflated[size_t(lastBlockBit / 8)] >> (lastBlockBit % 8)) & 1;
    if (!whole || !finalBitFound || (endBit + 7) / 8 != length) {
        return false;
    }
    deflated[size_t(lastBlockBit / 8)] &= quint8(~(1u << (lastBlockBit % 8)));
    const int endBitInByte = int(endBit % 8);
    if (endBitInByte != 0) {
        deflated[length - 1] &= quint8((1u << endBitInByte) - 1);  // the padding becomes zero bits
    }
    // The empty stored block: three zero header bits, then zero bits up to the byte boundary,
    // then LEN 0 and NLEN 0xffff (continuationRoom was kept for these bytes).
    if (endBitInByte == 0 || endBitInByte > 5) {
        deflated[length++] = 0;
    }
    for (quint8 byte : {0x00, 0x00, 0xff, 0xff}) {
        deflated[length++] = byte;
    }
    return true;
}

void compressStrip(const Layout& layout, const EncodeSettings& settings, Strip& strip)
{
    try {
        const LargeBuffer filtered = filteredRows(layout, settings.filter, strip.firstRow, strip.endRow);
        if (!filtered) {
            strip.ok = false;
            return;
        }
        strip.filteredLength = size_t(strip.endRow - strip.firstRow) * (layout.rowLength + 1);
        strip.adler = quint32(libdeflate_adler32(1, filtered.get(), strip.filteredLength));
        strip.ok = deflateWithLibdeflate(filtered.get(), strip.filteredLength, settings.level, strip)
                   && (strip.last || makeContinuable(strip, strip.filteredLength));
    } catch (...) {
        strip.ok = false;
    }
}

// The top strip costs its compression plus the walk through its blocks, about 1.7 times what
// the bottom strip costs per row at level 1: it gets this share of the rows so that both
// threads finish together.
constexpr double topStripShare = 0.37;

std::vector<Strip> compressedStrips(const Layout& layout, const EncodeSettings& settings)
{
    const int height = layout.source.height();
    const size_t filteredLength = size_t(height) * (layout.rowLength + 1);
    const bool split = settings.useTwoThreads && height >= 2 && filteredLength >= twoStripThreshold
                       && std::thread::hardware_concurrency() >= 2;
    if (!split) {
        std::vector<Strip> strips(1);
        strips[0].endRow = height;
        compressStrip(layout, settings, strips[0]);
        return strips;
    }
    std::vector<Strip> strips(2);
    const int boundary = std::clamp(int(height * topStripShare), 1, height - 1);
    strips[0].endRow = boundary;
    strips[0].last = false;
    strips[1].firstRow = boundary;
    strips[1].endRow = height;
    try {
        std::thread top(compressStrip, std::cref(layout), std::cref(settings), std::ref(strips[0]));
        compressStrip(layout, settings, strips[1]);
        top.join();
    } catch (...) {
        // No thread to be had: both strips on this one.
        compressStrip(layout, settings, strips[0]);
        compressStrip(layout, settings, strips[1]);
    }
    return strips;
}

void appendBigEndian(QByteArray& out, quint32 value)
{
    uchar bytes[4];
    qToBigEndian(value, bytes);
    out.append(reinterpret_cast<const char*>(bytes), 4);
}

void appendChunk(QByteArray& out, const char* type, const QByteArray& data)
{
    appendBigEndian(out, quint32(data.size()));
    const int typeStart = out.size();
    out.append(type, 4);
    out.append(data);
    const auto* covered = reinterpret_cast<const uchar*>(out.constData()) + typeStart;
    appendBigEndian(out, quint32(libdeflate_crc32(0, covered, size_t(data.size()) + 4)));
}

QByteArray headerData(const Layout& layout)
{
    QByteArray data;
    appendBigEndian(data, quint32(layout.source.width()));
    appendBigEndian(data, quint32(layout.source.height()));
    data.append(char(layout.bitDepth));
    data.append(char(layout.colourType));
    data.append(3, '\0');  // Deflate, adaptive filtering, no interlace
    return data;
}

// PLTE and tRNS of a palette picture. The palette covers every index used, so that no reader
// meets an index without a colour.
void appendPalette(QByteArray& out, const QImage& picture)
{
    QVector<QRgb> colours = picture.colorTable();
    int highestIndex = 0;
    for (int y = 0; y < picture.height(); ++y) {
        const uchar* line = picture.constScanLine(y);
        highestIndex = std::max(highestIndex, int(*std::max_element(line, line + picture.width())));
    }
    while (colours.size() <= highestIndex) {
        colours.append(qRgb(0, 0, 0));
    }
    colours.resize(std::min(colours.size(), 256));
    QByteArray palette;
    QByteArray alphas;
    for (QRgb colour : colours) {
        palette.append(char(qRed(colour))).append(char(qGreen(colour))).append(char(qBlue(colour)));
        alphas.append(char(qAlpha(colour)));
    }
    while (!alphas.isEmpty() && uchar(alphas.back()) == 0xff) {
        alphas.chop(1);
    }
    appendChunk(out, "PLTE", palette);
    if (!alphas.isEmpty()) {
        appendChunk(out, "tRNS", alphas);
    }
}

// The zlib stream is the pieces in order, cut into IDAT chunks.
void appendImageData(QByteArray& out, const std::vector<std::pair<const quint8*, size_t>>& pieces)
{
    size_t total = 0;
    for (const auto& piece : pieces) {
        total += piece.second;
    }
    size_t pieceIndex = 0;
    size_t pieceOffset = 0;
    while (total > 0) {
        const size_t length = std::min(total, writtenChunkLength);
        appendBigEndian(out, quint32(length));
        const int typeStart = out.size();
        out.append("IDAT", 4);
        size_t copied = 0;
        while (copied < length) {
            const auto& piece = pieces[pieceIndex];
            const size_t step = std::min(length - copied, piece.second - pieceOffset);
            out.append(reinterpret_cast<const char*>(piece.first + pieceOffset), int(step));
            copied += step;
            pieceOffset += step;
            if (pieceOffset == piece.second) {
                ++pieceIndex;
                pieceOffset = 0;
            }
        }
        const auto* covered = reinterpret_cast<const uchar*>(out.constData()) + typeStart;
        appendBigEndian(out, quint32(libdeflate_crc32(0, covered, length + 4)));
        total -= length;
    }
}

// The private chunk that tells a reader where the second strip starts: the byte offset of its
// Deflate data from the start of the zlib stream, and its first row, both big-endian. It is
// ancillary and unsafe to copy, so every other reader skips it and an editor drops it.
constexpr char stripChunkType[] = "stRP";
constexpr quint32 stripChunkLength = 8;

QByteArray assemble(const Layout& layout, const std::vector<Strip>& strips)
{
    // CMF 0x78: Deflate with a 32 KiB window; FLG 0x01 makes the pair a multiple of 31.
    static const quint8 zlibHeader[2] = {0x78, 0x01};
    quint32 adler = 1;
    size_t deflatedLength = 0;
    for (const Strip& strip : strips) {
        adler = quint32(adler32_combine(adler, strip.adler, z_off_t(strip.filteredLength)));
        deflatedLength += strip.deflatedLength;
    }
    quint8 adlerBytes[4];
    qToBigEndian(adler, adlerBytes);
    std::vector<std::pair<const quint8*, size_t>> pieces{{zlibHeader, 2}};
    for (const Strip& strip : strips) {
        pieces.emplace_back(strip.deflated.get(), strip.deflatedLength);
    }
    pieces.emplace_back(adlerBytes, 4);

    const size_t streamLength = deflatedLength + 6;
    const size_t chunkCount = (streamLength + writtenChunkLength - 1) / writtenChunkLength;
    const size_t fileLength = streamLength + 12 * chunkCount + 1024 + 3 * 256 + 256;
    if (fileLength > size_t(std::numeric_limits<int>::max())) {
        return QByteArray();
    }
    QByteArray out;
    out.reserve(int(fileLength));
    out.append(pngSignature, signatureLength);
    appendChunk(out, "IHDR", headerData(layout));
    if (layout.colourType == Palette) {
        appendPalette(out, layout.source);
    }
    if (strips.size() == 2) {
        QByteArray where;
        appendBigEndian(where, quint32(2 + strips[0].deflatedLength));
        appendBigEndian(where, quint32(strips[1].firstRow));
        appendChunk(out, stripChunkType, where);
    }
    appendImageData(out, pieces);
    appendChunk(out, "IEND", QByteArray());
    return out;
}

// ---------------------------------------------------------------------------------------------
// Reading

quint32 bigEndian32(const uchar* bytes)
{
    return qFromBigEndian<quint32>(bytes);
}

quint16 bigEndian16(const uchar* bytes)
{
    return qFromBigEndian<quint16>(bytes);
}

bool cancelled(const std::atomic<bool>* cancel)
{
    return cancel && cancel->load(std::memory_order_relaxed);
}

struct Header {
    quint32 width = 0;
    quint32 height = 0;
    quint8 bitDepth = 0;
    quint8 colourType = 0;
    bool interlaced = false;
};

bool bitDepthAllowed(quint8 colourType, quint8 bitDepth)
{
    switch (colourType) {
    case Grey:
        return bitDepth == 1 || bitDepth == 2 || bitDepth == 4 || bitDepth == 8 || bitDepth == 16;
    case Palette:
        return bitDepth == 1 || bitDepth == 2 || bitDepth == 4 || bitDepth == 8;
    case Rgb:
    case GreyAlpha:
    case Rgba:
        return bitDepth == 8 || bitDepth == 16;
    default:
        return false;
    }
}

std::optional<Header> parseHeader(const uchar* data, quint32 length)
{
    if (length != 13) {
        return std::nullopt;
    }
    Header header;
    header.width = bigEndian32(data);
    header.height = bigEndian32(data + 4);
    header.bitDepth = data[8];
    header.colourType = data[9];
    const bool standardMethods = data[10] == 0 && data[11] == 0 && data[12] <= 1;
    header.interlaced = data[12] == 1;
    const bool sizeValid = header.width > 0 && header.height > 0 && header.width <= maximumChunkLength
                           && header.height <= maximumChunkLength;
    if (!standardMethods || !sizeValid || !bitDepthAllowed(header.colourType, header.bitDepth)) {
        return std::nullopt;
    }
    return header;
}

// The transparency a tRNS chunk gives: one alpha per palette entry, or the one grey or RGB
// value (at the file's bit depth) that is fully transparent.
struct Transparency {
    bool present = false;
    quint16 grey = 0;
    quint16 red = 0;
    quint16 green = 0;
    quint16 blue = 0;
};

// Where the second strip of a file written in two strips starts, as its stRP chunk says.
// Only a hint: it is checked before it is used, and a wrong one costs only the second thread.
struct StripMarker {
    bool present = false;
    quint32 streamOffset = 0;  // of the strip's Deflate data, from the zlib stream's first byte
    quint32 firstRow = 0;
};

// The colour profile an iCCP chunk holds: its compressed bytes, not yet inflated.
struct Profile {
    bool standard = false;  // an sRGB chunk, which overrides any profile
    const uchar* packed = nullptr;
    quint32 packedLength = 0;
};

struct Chunks {
    Header header;
    QVector<QRgb> palette;
    Transparency transparency;
    StripMarker strips;
    Profile profile;
    std::vector<std::pair<const uchar*, quint32>> imageData;
    quint64 imageDataLength = 0;
};

bool criticalChunk(const uchar* type)
{
    return (type[0] & 0x20) == 0;
}

bool chunkTypeValid(const uchar* type)
{
    for (int i = 0; i < 4; ++i) {
        const bool letter = (type[i] >= 'A' && type[i] <= 'Z') || (type[i] >= 'a' && type[i] <= 'z');
        if (!letter) {
            return false;
        }
    }
    return true;
}

bool crcMatches(const uchar* typeAndData, quint32 length)
{
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    // A fuzzer cannot make CRCs right: it would never get past the first chunk it changed.
    Q_UNUSED(typeAndData)
    Q_UNUSED(length)
    return true;
#else
    const quint32 stored = bigEndian32(typeAndData + 4 + length);
    return quint32(libdeflate_crc32(0, typeAndData, size_t(length) + 4)) == stored;
#endif
}

bool readPalette(Chunks& chunks, const uchar* data, quint32 length)
{
    const quint32 entries = length / 3;
    const bool grey = chunks.header.colourType == Grey || chunks.header.colourType == GreyAlpha;
    if (grey || length % 3 != 0 || entries == 0 || entries > 256 || !chunks.palette.isEmpty()) {
        return false;
    }
    // Entries no index of the bit depth can reach are dropped, as the reference reader does.
    const quint32 reachable = chunks.header.colourType == Palette ? 1u << chunks.header.bitDepth : 256;
    for (quint32 i = 0; i < std::min(entries, reachable); ++i) {
        chunks.palette.append(qRgb(data[3 * i], data[3 * i + 1], data[3 * i + 2]));
    }
    return true;
}

// A tRNS chunk that does not fit the picture is ignored, as the reference reader does.
void readTransparency(Chunks& chunks, const uchar* data, quint32 length)
{
    Transparency& transparency = chunks.transparency;
    switch (chunks.header.colourType) {
    case Grey:
        if (length == 2) {
            transparency.present = true;
            transparency.grey = bigEndian16(data);
        }
        break;
    case Rgb:
        if (length == 6) {
            transparency.present = true;
            transparency.red = bigEndian16(data);
            transparency.green = bigEndian16(data + 2);
            transparency.blue = bigEndian16(data + 4);
        }
        break;
    case Palette:
        if (!chunks.palette.isEmpty() && length <= quint32(chunks.palette.size())) {
            transparency.present = length > 0;
            for (quint32 i = 0; i < length; ++i) {
                const QRgb colour = chunks.palette[int(i)];
                chunks.palette[int(i)] = qRgba(qRed(colour), qGreen(colour), qBlue(colour), data[i]);
            }
        }
        break;
    default:
        break;
    }
}

// An iCCP chunk: a name of 1 to 79 bytes, its zero, the compression method (0), then the
// zlib stream. One that does not fit is ignored.
void readProfile(Profile& profile, const uchar* data, quint32 length)
{
    const quint32 nameEnd = quint32(std::find(data, data + std::min<quint32>(length, 80), 0) - data);
    if (nameEnd == 0 || nameEnd >= 80 || length < nameEnd + 2 || data[nameEnd + 1] != 0) {
        return;
    }
    profile.packed = data + nameEnd + 2;
    profile.packedLength = length - nameEnd - 2;
}

// Profiles this long are of printers, never of a picture Qt could convert.
constexpr size_t maximumProfileLength = size_t(1) << 20;

// The colour space a profile gives the picture; invalid without one, with an sRGB chunk or with
// a profile that cannot be read.
QColorSpace colourSpaceOf(const Profile& profile)
{
    if (profile.standard || !profile.packed) {
        return QColorSpace();
    }
    const std::unique_ptr<libdeflate_decompressor, LibdeflateDecompressorDeleter> decompressor(
        libdeflate_alloc_decompressor());
    if (!decompressor) {
        return QColorSpace();
    }
    QByteArray icc(int(std::min<quint64>(maximumProfileLength, quint64(profile.packedLength) * deflateMaximumRatio)),
                   Qt::Uninitialized);
    size_t length = 0;
    if (libdeflate_zlib_decompress(decompressor.get(), profile.packed, profile.packedLength, icc.data(),
                                   size_t(icc.size()), &length)
        != LIBDEFLATE_SUCCESS) {
        return QColorSpace();
    }
    icc.truncate(int(length));
    return QColorSpace::fromIccProfile(icc);
}

// Walks the chunks up to IEND, checking order and the CRC of every chunk that is used. Other
// ancillary chunks (text, animation) are stepped over without being read.
std::optional<Chunks> readChunks(const QByteArray& bytes, const std::atomic<bool>* cancel)
{
    const auto* data = reinterpret_cast<const uchar*>(bytes.constData());
    const quint64 size = quint64(bytes.size());
    if (!hasSignature(bytes)) {
        return std::nullopt;
    }
    Chunks chunks;
    bool headerSeen = false;
    bool imageDataSeen = false;
    bool imageDataEnded = false;
    quint64 position = signatureLength;
    while (!cancelled(cancel)) {
        if (size - position < 12) {
            return std::nullopt;
        }
        const quint32 length = bigEndian32(data + position);
        const uchar* type = data + position + 4;
        const uchar* body = type + 4;
        if (length > maximumChunkLength || size - position - 12 < length || !chunkTypeValid(type)) {
            return std::nullopt;
        }
        position += 12 + quint64(length);
        const bool isHeader = std::memcmp(type, "IHDR", 4) == 0;
        if (headerSeen == isHeader) {
            return std::nullopt;  // IHDR first, and only once
        }
        const bool isImageData = std::memcmp(type, "IDAT", 4) == 0;
        if (imageDataSeen && !isImageData) {
            imageDataEnded = true;
        }
        const bool isStripMarker = std::memcmp(type, stripChunkType, 4) == 0;
        const bool isProfile = std::memcmp(type, "iCCP", 4) == 0;
        const bool isStandardColours = std::memcmp(type, "sRGB", 4) == 0;
        const bool used = criticalChunk(type) || std::memcmp(type, "tRNS", 4) == 0 || isStripMarker
            || isProfile || isStandardColours;
        if (!used) {
            continue;
        }
        if (!crcMatches(type, length)) {
            if (!criticalChunk(type)) {
                continue;
            }
            return std::nullopt;
        }
        if (isHeader) {
            std::optional<Header> header = parseHeader(body, length);
            if (!header) {
                return std::nullopt;
            }
            chunks.header = *header;
            headerSeen = true;
        } else if (isImageData) {
            if (imageDataEnded || (chunks.header.colourType == Palette && chunks.palette.isEmpty())) {
                return std::nullopt;
            }
            imageDataSeen = true;
            if (length > 0) {
                chunks.imageData.emplace_back(body, length);
                chunks.imageDataLength += length;
            }
        } else if (std::memcmp(type, "PLTE", 4) == 0) {
            if (imageDataSeen || chunks.transparency.present || !readPalette(chunks, body, length)) {
                return std::nullopt;
            }
        } else if (std::memcmp(type, "tRNS", 4) == 0) {
            if (!imageDataSeen && !chunks.transparency.present) {
                readTransparency(chunks, body, length);
            }
        } else if (isStripMarker) {
            if (!imageDataSeen && !chunks.strips.present && length == stripChunkLength) {
                chunks.strips = {true, bigEndian32(body), bigEndian32(body + 4)};
            }
        } else if (isProfile) {
            if (!imageDataSeen && !chunks.profile.packed) {
                readProfile(chunks.profile, body, length);
            }
        } else if (isStandardColours) {
            chunks.profile.standard = chunks.profile.standard || !imageDataSeen;
        } else if (std::memcmp(type, "IEND", 4) == 0) {
            if (!imageDataSeen) {
                return std::nullopt;
            }
            return chunks;
        } else {
            return std::nullopt;  // a critical chunk this reader does not know
        }
    }
    return std::nullopt;
}

// One reduced picture of the Adam7 interlacing, or the whole picture when not interlaced.
struct Pass {
    quint32 x0, y0, dx, dy;
    quint32 width, height;
};

std::vector<Pass> passesOf(const Header& header)
{
    if (!header.interlaced) {
        return {{0, 0, 1, 1, header.width, header.height}};
    }
    static const quint32 adam7[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                        {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
    std::vector<Pass> passes;
    for (const auto& p : adam7) {
        const quint32 width = header.width > p[0] ? (header.width - p[0] + p[2] - 1) / p[2] : 0;
        const quint32 height = header.height > p[1] ? (header.height - p[1] + p[3] - 1) / p[3] : 0;
        if (width > 0 && height > 0) {
            passes.push_back({p[0], p[1], p[2], p[3], width, height});
        }
    }
    return passes;
}

QImage::Format decodedFormat(const Header& header, const Transparency& transparency)
{
    const bool wide = header.bitDepth == 16;
    switch (header.colourType) {
    case Palette:
        return QImage::Format_Indexed8;
    case Grey:
        if (transparency.present) {
            return wide ? QImage::Format_RGBA64 : QImage::Format_ARGB32;
        }
#if QT_VERSION >= QT_VERSION_CHECK(5, 13, 0)
        return wide ? QImage::Format_Grayscale16 : QImage::Format_Grayscale8;
#else
        return wide ? QImage::Format_RGBX64 : QImage::Format_Grayscale8;
#endif
    case Rgb:
        if (transparency.present) {
            return wide ? QImage::Format_RGBA64 : QImage::Format_ARGB32;
        }
        return wide ? QImage::Format_RGBX64 : QImage::Format_RGB32;
    default:
        return wide ? QImage::Format_RGBA64 : QImage::Format_ARGB32;
    }
}

int decodedPixelBytes(QImage::Format format)
{
    return QImage::toPixelFormat(format).bitsPerPixel() / 8;
}

// The sample at index of a row packed at bitDepth 1, 2 or 4, most significant bits first.
quint8 packedSample(const quint8* row, quint32 index, int bitDepth)
{
    const quint32 bit = index * quint32(bitDepth);
    const int shift = 8 - bitDepth - int(bit % 8);
    return quint8((row[bit / 8] >> shift) & ((1 << bitDepth) - 1));
}

quint16 sample16(const quint8* row, quint32 index)
{
    return bigEndian16(row + 2 * size_t(index));
}

// Turns one unfiltered row of width pixels into the decoded format's pixels at out.
void convertRow(const Header& header, const Transparency& transparency, QImage::Format format,
                const quint8* row, quint32 width, uchar* out)
{
    const int depth = header.bitDepth;
    auto* argb = reinterpret_cast<QRgb*>(out);
    auto* wide = reinterpret_cast<QRgba64*>(out);
    switch (header.colourType) {
    case Palette:
        for (quint32 x = 0; x < width; ++x) {
            out[x] = depth == 8 ? row[x] : packedSample(row, x, depth);
        }
        return;
    case Grey: {
        if (depth == 16) {
            for (quint32 x = 0; x < width; ++x) {
                const quint16 grey = sample16(row, x);
                if (format == QImage::Format_RGBA64 || format == QImage::Format_RGBX64) {
                    const quint16 alpha = transparency.present && grey == transparency.grey ? 0 : 0xffff;
                    wide[x] = QRgba64::fromRgba64(grey, grey, grey, alpha);
                } else {
                    reinterpret_cast<quint16*>(out)[x] = grey;
                }
            }
            return;
        }
        const int scale = 255 / ((1 << depth) - 1);
        for (quint32 x = 0; x < width; ++x) {
            const quint8 sample = depth == 8 ? row[x] : packedSample(row, x, depth);
            const int grey = sample * scale;
            if (format == QImage::Format_ARGB32) {
                // The transparent grey reads as transparent black, as Qt's reader gives it.
                argb[x] = sample == transparency.grey ? qRgba(0, 0, 0, 0) : qRgb(grey, grey, grey);
            } else {
                out[x] = quint8(grey);
            }
        }
        return;
    }
    case GreyAlpha:
        for (quint32 x = 0; x < width; ++x) {
            if (depth == 16) {
                const quint16 grey = sample16(row, 2 * x);
                wide[x] = QRgba64::fromRgba64(grey, grey, grey, sample16(row, 2 * x + 1));
            } else {
                argb[x] = qRgba(row[2 * x], row[2 * x], row[2 * x], row[2 * x + 1]);
            }
        }
        return;
    case Rgb:
        if (depth == 16) {
            for (quint32 x = 0; x < width; ++x) {
                const quint16 red = sample16(row, 3 * x);
                const quint16 green = sample16(row, 3 * x + 1);
                const quint16 blue = sample16(row, 3 * x + 2);
                const bool clear = transparency.present && red == transparency.red
                                   && green == transparency.green && blue == transparency.blue;
                wide[x] = QRgba64::fromRgba64(red, green, blue, clear ? 0 : 0xffff);
            }
        } else if (transparency.present) {
            for (quint32 x = 0; x < width; ++x) {
                const quint8* p = row + 3 * size_t(x);
                const bool clear = p[0] == transparency.red && p[1] == transparency.green
                                   && p[2] == transparency.blue;
                argb[x] = qRgba(p[0], p[1], p[2], clear ? 0 : 0xff);
            }
        } else {
            for (quint32 x = 0; x < width; ++x) {
                const quint8* p = row + 3 * size_t(x);
                argb[x] = qRgb(p[0], p[1], p[2]);
            }
        }
        return;
    case Rgba:
        for (quint32 x = 0; x < width; ++x) {
            if (depth == 16) {
                wide[x] = QRgba64::fromRgba64(sample16(row, 4 * x), sample16(row, 4 * x + 1),
                                              sample16(row, 4 * x + 2), sample16(row, 4 * x + 3));
            } else {
                const quint8* p = row + 4 * size_t(x);
                argb[x] = qRgba(p[0], p[1], p[2], p[3]);
            }
        }
        return;
    default:
        return;
    }
}

// Reverses the filter of one row in place. prior is null for the first row of a pass.
bool unfilterRow(quint8 filter, quint8* row, const quint8* prior, size_t length, int distance)
{
    switch (filter) {
    case 0:
        return true;
    case 1:
        for (size_t i = size_t(distance); i < length; ++i) {
            row[i] = quint8(row[i] + row[i - distance]);
        }
        return true;
    case 2:
        if (prior) {
            for (size_t i = 0; i < length; ++i) {
                row[i] = quint8(row[i] + prior[i]);
            }
        }
        return true;
    case 3:
        for (size_t i = 0; i < length; ++i) {
            const int left = i >= size_t(distance) ? row[i - distance] : 0;
            const int up = prior ? prior[i] : 0;
            row[i] = quint8(row[i] + ((left + up) >> 1));
        }
        return true;
    case 4:
        for (size_t i = 0; i < length; ++i) {
            const bool hasLeft = i >= size_t(distance);
            const int left = hasLeft ? row[i - distance] : 0;
            const int up = prior ? prior[i] : 0;
            const int upLeft = prior && hasLeft ? prior[i - distance] : 0;
            row[i] = quint8(row[i] + paethPredictor(left, up, upLeft));
        }
        return true;
    default:
        return false;
    }
}

quint64 filteredLength(const Header& header, const std::vector<Pass>& passes)
{
    const int channels = channelCount(header.colourType);
    quint64 total = 0;
    for (const Pass& pass : passes) {
        total += quint64(pass.height) * (1 + rowBytes(pass.width, channels, header.bitDepth));
    }
    return total;
}

bool sizeAcceptable(const Header& header, QImage::Format format)
{
    const quint64 pixels = quint64(header.width) * quint64(header.height);
    return pixels <= quint64(maximumPicturePixels)
           && pixels * quint64(decodedPixelBytes(format)) <= quint64(maximumPictureBytes);
}

#if defined(__SSE2__) && defined(__x86_64__)
// The Average and Paeth filters of rows of whole pixels of D bytes (3, 4, 6 or 8) take a pixel
// at a time in 16-bit lanes: each byte depends on the one D bytes to its left, so a row cannot
// be taken in wider steps. They give the bytes of the loops in unfilterInto and read and write
// no byte outside the row.

// The D bytes of a pixel in a register. Moves of 3 and 6 bytes are made of whole words: a copy
// through memory of an odd length would be read back before the store can forward to it.
template <int D>
quint64 loadBytes(const quint8* bytes)
{
    if constexpr (D == 3 || D == 6) {
        quint16 high = 0;
        std::memcpy(&high, bytes + D - 2, 2);
        if constexpr (D == 3) {
            return quint64(bytes[0]) | (quint64(high) << 8);
        } else {
            quint32 low = 0;
            std::memcpy(&low, bytes, 4);
            return quint64(low) | (quint64(high) << 32);
        }
    } else {
        typename std::conditional<D == 4, quint32, quint64>::type value = 0;
        std::memcpy(&value, bytes, D);
        return quint64(value);
    }
}

template <int D>
void storeBytes(quint8* bytes, quint64 value)
{
    if constexpr (D == 3 || D == 6) {
        const quint16 high = quint16(value >> (8 * (D - 2)));
        if constexpr (D == 3) {
            bytes[0] = quint8(value);
        } else {
            const quint32 low = quint32(value);
            std::memcpy(bytes, &low, 4);
        }
        std::memcpy(bytes + D - 2, &high, 2);
    } else {
        const typename std::conditional<D == 4, quint32, quint64>::type narrowed(value);
        std::memcpy(bytes, &narrowed, D);
    }
}

template <int D>
__m128i loadPixel(const quint8* bytes)
{
    return _mm_unpacklo_epi8(_mm_cvtsi64_si128(qint64(loadBytes<D>(bytes))), _mm_setzero_si128());
}

template <int D>
void storePixel(quint8* bytes, __m128i lanes)
{
    storeBytes<D>(bytes, quint64(_mm_cvtsi128_si64(_mm_packus_epi16(lanes, lanes))));
}

inline __m128i absolute16(__m128i lanes)
{
    return _mm_max_epi16(lanes, _mm_sub_epi16(_mm_setzero_si128(), lanes));
}

// filter is 3 or 4; prior is the unfiltered row above.
template <int D>
void unfilterPixels(quint8 filter, const quint8* __restrict in, const quint8* __restrict prior,
                    quint8* __restrict out, size_t length)
{
    const __m128i low = _mm_set1_epi16(0xff);
    __m128i left = _mm_setzero_si128();
    __m128i upLeft = _mm_setzero_si128();
    if (filter == 3) {
        for (size_t i = 0; i < length; i += D) {
            const __m128i mean = _mm_srli_epi16(_mm_add_epi16(left, loadPixel<D>(prior + i)), 1);
            left = _mm_and_si128(_mm_add_epi16(loadPixel<D>(in + i), mean), low);
            storePixel<D>(out + i, left);
        }
    } else {
        for (size_t i = 0; i < length; i += D) {
            const __m128i up = loadPixel<D>(prior + i);
            // Distances of the estimate left + up - upLeft to left, up and upLeft.
            const __m128i upStep = _mm_sub_epi16(up, upLeft);
            const __m128i leftStep = _mm_sub_epi16(left, upLeft);
            const __m128i toLeft = absolute16(upStep);
            const __m128i toUp = absolute16(leftStep);
            const __m128i toUpLeft = absolute16(_mm_add_epi16(upStep, leftStep));
            const __m128i nearest = _mm_min_epi16(toUpLeft, _mm_min_epi16(toLeft, toUp));
            // Ties go to left, then to up, as in paethPredictor.
            const __m128i takeLeft = _mm_cmpeq_epi16(toLeft, nearest);
            const __m128i takeUp = _mm_andnot_si128(takeLeft, _mm_cmpeq_epi16(toUp, nearest));
            const __m128i takeUpLeft = _mm_andnot_si128(_mm_or_si128(takeLeft, takeUp), low);
            const __m128i predicted = _mm_or_si128(
                _mm_or_si128(_mm_and_si128(takeLeft, left), _mm_and_si128(takeUp, up)),
                _mm_and_si128(takeUpLeft, upLeft));
            left = _mm_and_si128(_mm_add_epi16(loadPixel<D>(in + i), predicted), low);
            storePixel<D>(out + i, left);
            upLeft = up;
        }
    }
}

// True when the row was unfiltered here; false leaves it to the byte loops.
bool unfilterByPixels(quint8 filter, const quint8* in, const quint8* prior, quint8* out,
                      size_t length, int distance)
{
    if (!prior || (filter != 3 && filter != 4) || length % size_t(distance) != 0) {
        return false;
    }
    switch (distance) {
    case 3:
        unfilterPixels<3>(filter, in, prior, out, length);
        return true;
    case 4:
        unfilterPixels<4>(filter, in, prior, out, length);
        return true;
    case 6:
        unfilterPixels<6>(filter, in, prior, out, length);
        return true;
    case 8:
        unfilterPixels<8>(filter, in, prior, out, length);
        return true;
    default:
        return false;
    }
}
#endif

// Unfilters one row from in to out, which must not overlap. prior is the unfiltered row above,
// null for the first row of a pass.
bool unfilterInto(quint8 filter, const quint8* __restrict in, const quint8* __restrict prior,
                  quint8* __restrict out, size_t length, int distance)
{
#if defined(__SSE2__) && defined(__x86_64__)
    if (unfilterByPixels(filter, in, prior, out, length, distance)) {
        return true;
    }
#endif
    const size_t lead = std::min(length, size_t(distance));
    switch (filter) {
    case 0:
        std::memcpy(out, in, length);
        return true;
    case 1:
        std::memcpy(out, in, lead);
        for (size_t i = lead; i < length; ++i) {
            out[i] = quint8(in[i] + out[i - distance]);
        }
        return true;
    case 2:
        if (!prior) {
            std::memcpy(out, in, length);
            return true;
        }
        for (size_t i = 0; i < length; ++i) {
            out[i] = quint8(in[i] + prior[i]);
        }
        return true;
    case 3:
        for (size_t i = 0; i < length; ++i) {
            const int left = i >= lead ? out[i - distance] : 0;
            const int up = prior ? prior[i] : 0;
            out[i] = quint8(in[i] + ((left + up) >> 1));
        }
        return true;
    case 4:
        for (size_t i = 0; i < length; ++i) {
            const bool hasLeft = i >= lead;
            const int left = hasLeft ? out[i - distance] : 0;
            const int up = prior ? prior[i] : 0;
            const int upLeft = prior && hasLeft ? prior[i - distance] : 0;
            out[i] = quint8(in[i] + paethPredictor(left, up, upLeft));
        }
        return true;
    default:
        return false;
    }
}

// Conversions of the common 8-bit layouts, one row at a time. Rows are read from scratch rows
// with slack behind them, so a vector load may run past the last pixel.
using RowConverter = void (*)(const quint8* row, quint32 width, uchar* out);
constexpr size_t scratchSlack = 16;

void copyRow(const quint8* row, quint32 width, uchar* out)
{
    std::memcpy(out, row, width);
}

void rgbToRgb32(const quint8* row, quint32 width, uchar* out)
{
    auto* pixels = reinterpret_cast<QRgb*>(out);
    for (quint32 x = 0; x < width; ++x) {
        pixels[x] = qRgb(row[3 * x], row[3 * x + 1], row[3 * x + 2]);
    }
}

void rgbaToArgb32(const quint8* row, quint32 width, uchar* out)
{
    auto* pixels = reinterpret_cast<QRgb*>(out);
    for (quint32 x = 0; x < width; ++x) {
        pixels[x] = qRgba(row[4 * x], row[4 * x + 1], row[4 * x + 2], row[4 * x + 3]);
    }
}

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__)) \
    && Q_BYTE_ORDER == Q_LITTLE_ENDIAN
#define FACEMASK_PNG_SSSE3 1
// A QRgb lies in memory as B, G, R, A: one byte shuffle per four pixels.
__attribute__((target("ssse3"))) void rgbToRgb32Ssse3(const quint8* row, quint32 width, uchar* out)
{
    const __m128i order = _mm_setr_epi8(2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1);
    const __m128i opaque = _mm_set1_epi32(int(0xff000000u));
    quint32 x = 0;
    for (; x + 4 <= width; x += 4) {
        const __m128i rgb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 3 * size_t(x)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * size_t(x)),
                         _mm_or_si128(_mm_shuffle_epi8(rgb, order), opaque));
    }
    rgbToRgb32(row + 3 * size_t(x), width - x, out + 4 * size_t(x));
}

__attribute__((target("ssse3"))) void rgbaToArgb32Ssse3(const quint8* row, quint32 width, uchar* out)
{
    const __m128i order = _mm_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15);
    quint32 x = 0;
    for (; x + 4 <= width; x += 4) {
        const __m128i rgba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 4 * size_t(x)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * size_t(x)), _mm_shuffle_epi8(rgba, order));
    }
    rgbaToArgb32(row + 4 * size_t(x), width - x, out + 4 * size_t(x));
}

bool hasSsse3()
{
    static const bool supported = __builtin_cpu_supports("ssse3");
    return supported;
}
#endif

// A converter for the layouts that need no more than a copy or a shuffle, else null.
RowConverter fastConverter(const Header& header, const Transparency& transparency)
{
    if (header.bitDepth != 8) {
        return nullptr;
    }
    switch (header.colourType) {
    case Palette:
        return copyRow;
    case Grey:
        return transparency.present ? nullptr : copyRow;
    case Rgb:
        if (transparency.present) {
            return nullptr;
        }
#ifdef FACEMASK_PNG_SSSE3
        return hasSsse3() ? rgbToRgb32Ssse3 : rgbToRgb32;
#else
        return rgbToRgb32;
#endif
    case Rgba:
#ifdef FACEMASK_PNG_SSSE3
        return hasSsse3() ? rgbaToArgb32Ssse3 : rgbaToArgb32;
#else
        return rgbaToArgb32;
#endif
    default:
        return nullptr;
    }
}

// How the rows of a picture that is not interlaced turn into its pixels.
struct RowDecoder {
    const Header* header = nullptr;
    const Transparency* transparency = nullptr;
    QImage::Format format = QImage::Format_Invalid;
    RowConverter fast = nullptr;
    size_t length = 0;  // bytes of an unfiltered row
    int distance = 1;
    uchar* bits = nullptr;  // the picture's first line; taken once, so that threads share no QImage call
    size_t bytesPerLine = 0;

    size_t stride() const { return length + 1; }

    // Unfilters rows first to end, whose filtered bytes start at filtered, into the picture.
    // prior is the unfiltered row above first, or null; lastRow, when given, receives the last
    // unfiltered row. The filtered bytes may lie in the picture's own memory, at or after the
    // end of the lines the rows become (see filteredPlace).
    bool decode(const quint8* filtered, quint32 first, quint32 end, const quint8* prior,
                std::vector<quint8>* lastRow, const std::atomic<bool>* cancel) const
    {
        std::vector<quint8> scratch(2 * (length + scratchSlack));
        quint8* current = scratch.data();
        quint8* other = current + length + scratchSlack;
        for (quint32 y = first; y < end; ++y) {
            if (cancelled(cancel)) {
                return false;
            }
            const quint8* in = filtered + size_t(y - first) * stride();
            if (!unfilterInto(in[0], in + 1, prior, current, length, distance)) {
                return false;
            }
            uchar* line = bits + size_t(y) * bytesPerLine;
            if (fast) {
                fast(current, header->width, line);
            } else {
                convertRow(*header, *transparency, format, current, header->width, line);
            }
            prior = current;
            std::swap(current, other);
        }
        if (lastRow && prior) {
            lastRow->assign(prior, prior + length);
        }
        return true;
    }

    // Where the filtered bytes of rows first to end may be inflated inside the picture: at the
    // end of those rows' lines. Writing line y then never reaches the bytes of a later row, as
    // long as a line is at least as long as a filtered row.
    quint8* filteredPlace(quint32 first, quint32 end) const
    {
        return bits + size_t(end) * bytesPerLine - size_t(end - first) * stride();
    }
};

// The picture the rows are decoded into; null when memory runs out.
QImage allocatePicture(const Header& header, QImage::Format format)
{
    return QImage(int(header.width), int(header.height), format);
}

// The zlib stream of the IDAT chunks in one piece: the one chunk itself, or the chunks copied
// into storage. With insertAt, the two bytes of inserted go in before that stream offset.
const quint8* wholeStream(const Chunks& chunks, LargeBuffer& storage, size_t insertAt = 0,
                          const quint8* inserted = nullptr)
{
    if (chunks.imageData.size() == 1 && !inserted) {
        return chunks.imageData[0].first;
    }
    storage = largeBuffer(size_t(chunks.imageDataLength) + (inserted ? 2 : 0));
    if (!storage) {
        return nullptr;
    }
    quint8* out = storage.get();
    size_t done = 0;
    for (const auto& piece : chunks.imageData) {
        const quint8* from = piece.first;
        size_t left = piece.second;
        if (inserted && done <= insertAt && insertAt < done + left) {
            const size_t before = insertAt - done;
            std::memcpy(out, from, before);
            out[before] = inserted[0];
            out[before + 1] = inserted[1];
            out += before + 2;
            from += before;
            left -= before;
            done += before;
        }
        std::memcpy(out, from, left);
        out += left;
        done += left;
    }
    return storage.get();
}

// The check libdeflate makes of a zlib header: Deflate, a window of at most 32 KiB, no preset
// dictionary, and the check bits. The fuzzing build checks less, as in inflateWhole.
bool zlibHeaderValid(const quint8* stream)
{
    const bool checkBits = ((stream[0] << 8) | stream[1]) % 31 == 0 && (stream[0] & 0x0f) == 8;
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    return checkBits;
#else
    return checkBits && (stream[0] >> 4) <= 7 && (stream[1] & 0x20) == 0;
#endif
}

bool inflateWhole(const quint8* stream, size_t streamLength, quint8* filtered, size_t filteredLength)
{
    const std::unique_ptr<libdeflate_decompressor, LibdeflateDecompressorDeleter> decompressor(
        libdeflate_alloc_decompressor());
    if (!decompressor || streamLength == 0) {
        return false;
    }
    size_t consumed = 0;
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    // Nor the Adler-32 at the end: the Deflate data behind the two header bytes is inflated raw.
    return streamLength >= 6 && zlibHeaderValid(stream)
           && libdeflate_deflate_decompress_ex(decompressor.get(), stream + 2, streamLength - 2,
                                               filtered, filteredLength, &consumed, nullptr)
                  == LIBDEFLATE_SUCCESS;
#else
    const libdeflate_result result =
        libdeflate_zlib_decompress_ex(decompressor.get(), stream, streamLength, filtered,
                                      filteredLength, &consumed, nullptr);
    return result == LIBDEFLATE_SUCCESS;
#endif
}

// One of the two strips read at once.
struct StripWork {
    const quint8* input = nullptr;  // raw Deflate data ending in a final block
    size_t inputLength = 0;
    quint8* filtered = nullptr;
    quint32 firstRow = 0;
    quint32 endRow = 0;
    size_t consumed = 0;
    quint32 adler = 1;
    bool ok = false;

    bool inflate(const RowDecoder& rows)
    {
        const std::unique_ptr<libdeflate_decompressor, LibdeflateDecompressorDeleter> decompressor(
            libdeflate_alloc_decompressor());
        const size_t length = size_t(endRow - firstRow) * rows.stride();
        if (!decompressor
            || libdeflate_deflate_decompress_ex(decompressor.get(), input, inputLength, filtered,
                                                length, &consumed, nullptr)
                   != LIBDEFLATE_SUCCESS) {
            return false;
        }
        adler = quint32(libdeflate_adler32(1, filtered, length));
        return true;
    }
};

// The top strip's outcome, awaited by the bottom strip when its first row is filtered
// against the row above.
class TopStripOutcome
{
public:
    void settle(bool ok)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_state = ok ? State::Done : State::Failed;
        }
        m_settled.notify_all();
    }

    bool await()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_settled.wait(lock, [this] { return m_state != State::Running; });
        return m_state == State::Done;
    }

    std::vector<quint8> lastRow;  // written before settle(true), read after await()

private:
    enum class State { Running, Done, Failed };
    std::mutex m_mutex;
    std::condition_variable m_settled;
    State m_state = State::Running;
};

// A marker that can be believed: the second strip starts inside the picture and inside the
// stream, right after the empty stored block that ends the first strip.
bool markerPlausible(const Chunks& chunks, const RowDecoder& rows)
{
    const StripMarker& marker = chunks.strips;
    const quint64 offset = marker.streamOffset;
    if (!marker.present || chunks.header.interlaced || marker.firstRow == 0
        || marker.firstRow >= chunks.header.height || offset < 6 || offset + 5 > chunks.imageDataLength) {
        return false;
    }
    const quint64 filteredLength = quint64(chunks.header.height) * rows.stride();
    return filteredLength >= twoStripThreshold && std::thread::hardware_concurrency() >= 2;
}

// Reads a file written in two strips with both cores: each strip is inflated and unfiltered on
// a thread of its own. False when the marker does not fit the data, the data is damaged, or no
// thread can be had; the caller then reads the stream in one piece, which refuses damage as it
// always did. Success needs the same header, lengths and Adler-32 as the one-piece reading.
bool decodeTwoStrips(const Chunks& chunks, const RowDecoder& rows, quint8* separate,
                     const std::atomic<bool>* cancel)
{
    const size_t offset = chunks.strips.streamOffset;
    // The first strip ends in an empty stored block that is not final; a final empty block of
    // fixed codes behind it (bits 1, 01, then the seven zero bits of end-of-block) ends the
    // first strip's own copy of the stream, so that it inflates alone.
    static const quint8 finalEmptyBlock[2] = {0x03, 0x00};
    LargeBuffer storage;
    const quint8* stream = wholeStream(chunks, storage, offset, finalEmptyBlock);
    static const quint8 storedEnd[4] = {0x00, 0x00, 0xff, 0xff};
    if (!stream || !zlibHeaderValid(stream) || std::memcmp(stream + offset - 4, storedEnd, 4) != 0) {
        return false;
    }
    const quint32 boundary = chunks.strips.firstRow;
    const quint32 height = chunks.header.height;
    StripWork top{stream + 2, offset, nullptr, 0, boundary};
    StripWork bottom{stream + offset + 2, size_t(chunks.imageDataLength) - offset, nullptr, boundary, height};
    if (separate) {
        top.filtered = separate;
        bottom.filtered = separate + size_t(boundary) * rows.stride();
    } else {
        top.filtered = rows.filteredPlace(0, boundary);
        bottom.filtered = rows.filteredPlace(boundary, height);
    }
    TopStripOutcome outcome;
    auto readBottom = [&] {
        try {
            if (!bottom.inflate(rows) || cancelled(cancel)) {
                return;
            }
            // A first row filtered against the row above waits for the top strip's last row.
            const bool dependent = bottom.filtered[0] >= 2;
            if (dependent && !outcome.await()) {
                return;
            }
            bottom.ok = rows.decode(bottom.filtered, boundary, height,
                                    dependent ? outcome.lastRow.data() : nullptr, nullptr, cancel);
        } catch (...) {
            bottom.ok = false;
        }
    };
    std::thread second;
    try {
        second = std::thread(readBottom);
    } catch (...) {
        return false;
    }
    try {
        top.ok = top.inflate(rows) && top.consumed == top.inputLength && !cancelled(cancel)
                 && rows.decode(top.filtered, 0, boundary, nullptr, &outcome.lastRow, cancel);
    } catch (...) {
        top.ok = false;
    }
    outcome.settle(top.ok);
    second.join();
    if (!top.ok || !bottom.ok) {
        return false;
    }
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    return true;
#else
    if (bottom.inputLength - bottom.consumed < 4) {
        return false;
    }
    const size_t bottomLength = size_t(height - boundary) * rows.stride();
    const quint32 adler = quint32(adler32_combine(top.adler, bottom.adler, z_off_t(bottomLength)));
    return adler == bigEndian32(bottom.input + bottom.consumed);
#endif
}

// Unfilters every pass of an interlaced picture in place and places its pixels.
bool reconstructInterlaced(const Chunks& chunks, const std::vector<Pass>& passes, quint8* filtered,
                           QImage& picture, const std::atomic<bool>* cancel)
{
    const Header& header = chunks.header;
    const int channels = channelCount(header.colourType);
    const int distance = filterDistance(channels, header.bitDepth);
    const int pixelBytes = decodedPixelBytes(picture.format());
    std::vector<uchar> converted;
    size_t offset = 0;
    for (const Pass& pass : passes) {
        const size_t length = size_t(rowBytes(pass.width, channels, header.bitDepth));
        const quint8* prior = nullptr;
        converted.resize(size_t(pass.width) * size_t(pixelBytes));
        for (quint32 j = 0; j < pass.height; ++j) {
            if (cancelled(cancel)) {
                return false;
            }
            quint8* row = filtered + offset + 1;
            if (!unfilterRow(row[-1], row, prior, length, distance)) {
                return false;
            }
            prior = row;
            offset += length + 1;
            convertRow(header, chunks.transparency, picture.format(), row, pass.width, converted.data());
            uchar* line = picture.scanLine(int(pass.y0 + j * pass.dy));
            for (quint32 i = 0; i < pass.width; ++i) {
                std::memcpy(line + size_t(pass.x0 + i * pass.dx) * size_t(pixelBytes),
                            converted.data() + size_t(i) * size_t(pixelBytes), size_t(pixelBytes));
            }
        }
    }
    return true;
}

QImage decodeChecked(const QByteArray& bytes, const std::atomic<bool>* cancel, DecodeReport* report)
{
    const auto outOfMemory = [report] {
        if (report) {
            report->outOfMemory = true;
        }
        return QImage();
    };
    const std::optional<Chunks> chunks = readChunks(bytes, cancel);
    if (!chunks) {
        return QImage();
    }
    const Header& header = chunks->header;
    const QImage::Format format = decodedFormat(header, chunks->transparency);
    if (!sizeAcceptable(header, format)) {
        return QImage();
    }
    const std::vector<Pass> passes = passesOf(header);
    const quint64 inflatedLength = filteredLength(header, passes);
    if (inflatedLength > chunks->imageDataLength * deflateMaximumRatio + 65536 || cancelled(cancel)) {
        return QImage();
    }
    QImage picture = allocatePicture(header, format);
    if (picture.isNull()) {
        // Qt's row length is an int of bytes, rounded up to 32 bits.
        const int depth = QImage::toPixelFormat(format).bitsPerPixel();
        const int widestRow = (std::numeric_limits<int>::max() - 31) / depth;
        if (qint64(header.width) > widestRow) {
            if (report) {
                report->widestRow = widestRow;
            }
            return QImage();
        }
        return outOfMemory();
    }
    picture.setColorSpace(colourSpaceOf(chunks->profile));
    if (format == QImage::Format_Indexed8) {
        QVector<QRgb> colours = chunks->palette;
        // Indexes beyond the palette read as opaque black rather than outside the table.
        while (colours.size() < (1 << header.bitDepth)) {
            colours.append(qRgb(0, 0, 0));
        }
        picture.setColorTable(colours);
    }
    LargeBuffer streamStorage;
    if (header.interlaced) {
        // Not zeroed: the inflater writes every byte or fails.
        const LargeBuffer filtered = largeBuffer(size_t(inflatedLength));
        const quint8* stream = wholeStream(*chunks, streamStorage);
        if (!filtered || !stream) {
            return outOfMemory();
        }
        if (!inflateWhole(stream, size_t(chunks->imageDataLength), filtered.get(), size_t(inflatedLength))
            || !reconstructInterlaced(*chunks, passes, filtered.get(), picture, cancel)) {
            return QImage();
        }
        return picture;
    }

    RowDecoder rows;
    rows.header = &header;
    rows.transparency = &chunks->transparency;
    rows.format = format;
    rows.fast = fastConverter(header, chunks->transparency);
    rows.length = size_t(rowBytes(header.width, channelCount(header.colourType), header.bitDepth));
    rows.distance = filterDistance(channelCount(header.colourType), header.bitDepth);
    rows.bits = picture.bits();
    rows.bytesPerLine = size_t(picture.bytesPerLine());
    // The filtered rows are inflated into the picture's own memory when its lines are at least
    // as long (RGB into 32-bit pixels), else into a buffer of their own.
    LargeBuffer separate;
    if (rows.bytesPerLine < rows.stride()) {
        separate = largeBuffer(size_t(inflatedLength));
        if (!separate) {
            return outOfMemory();
        }
    }
    if (markerPlausible(*chunks, rows) && decodeTwoStrips(*chunks, rows, separate.get(), cancel)) {
        if (report) {
            report->twoStrips = true;
        }
        return picture;
    }
    quint8* filtered = separate ? separate.get() : rows.filteredPlace(0, header.height);
    const quint8* stream = wholeStream(*chunks, streamStorage);
    if (!stream && !cancelled(cancel)) {
        return outOfMemory();
    }
    if (cancelled(cancel) || !stream
        || !inflateWhole(stream, size_t(chunks->imageDataLength), filtered, size_t(inflatedLength))
        || !rows.decode(filtered, 0, header.height, nullptr, nullptr, cancel)) {
        return QImage();
    }
    return picture;
}

} // namespace

QByteArray encode(const QImage& picture)
{
    return encode(picture, EncodeSettings());
}

QByteArray encode(const QImage& picture, const EncodeSettings& settings)
{
    if (picture.isNull()) {
        return QByteArray();
    }
    try {
        const std::optional<Layout> layout = layoutFor(picture);
        if (!layout) {
            return QByteArray();
        }
        const std::vector<Strip> strips = compressedStrips(*layout, settings);
        for (const Strip& strip : strips) {
            if (!strip.ok) {
                return QByteArray();
            }
        }
        return assemble(*layout, strips);
    } catch (...) {
        return QByteArray();
    }
}

bool hasSignature(const QByteArray& bytes)
{
    return bytes.size() >= signatureLength && std::memcmp(bytes.constData(), pngSignature, signatureLength) == 0;
}

QImage decode(const QByteArray& bytes, const std::atomic<bool>* cancel, DecodeReport* report)
{
    if (report) {
        *report = DecodeReport();
    }
    try {
        return decodeChecked(bytes, cancel, report);
    } catch (const std::bad_alloc&) {
        if (report) {
            report->outOfMemory = true;
        }
        return QImage();
    } catch (...) {
        return QImage();
    }
}

} // namespace core::png
