#include "core/imagefiles.h"
#include "core/pngcodec.h"
#include "tests/support/sanitizer.h"
#include "tests/support/testimages.h"

#include <QColorSpace>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <zlib.h>

#include <atomic>
#include <cstdlib>
#include <thread>

class tst_PngCodec : public QObject
{
    Q_OBJECT

private slots:
    void roundTripReadsBackAsWritten_data();
    void roundTripReadsBackAsWritten();
    void externalReadersAcceptWrittenFile_data();
    void externalReadersAcceptWrittenFile();
    void everySettingWritesTheSamePixels_data();
    void everySettingWritesTheSamePixels();
    void decodesLikeQt_data();
    void decodesLikeQt();
    void readsSixteenBitRgbTransparency();
    void refusesDamagedFile_data();
    void refusesDamagedFile();
    void skipsDamagedAncillaryChunk();
    void readsColourProfile_data();
    void readsColourProfile();
    void refusesEveryTruncation();
    void cancelFlagAbandonsDecoding();
    void hostileFileStaysWithinMemoryLimit_data();
    void hostileFileStaysWithinMemoryLimit();
    void readsWrittenStripsAtOnce_data();
    void readsWrittenStripsAtOnce();
    void stripMarkerOnlyDecidesTheWay_data();
    void stripMarkerOnlyDecidesTheWay();
    void damagedTwoStripFileRefusedLikeLibpng_data();
    void damagedTwoStripFileRefusedLikeLibpng();

private:
    QTemporaryDir m_folder;
};

namespace {

// A picture whose every pixel differs from its neighbours, with alpha varying when the format
// has it, so that a swapped channel or a wrong filter shows.
QImage patterned(int width, int height, QImage::Format format)
{
    QImage argb(width, height, QImage::Format_ARGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int noise = (x * 7919 + y * 104729) % 61;
            argb.setPixel(x, y, qRgba((x * 5 + noise) & 0xff, (y * 3 + 2 * noise) & 0xff,
                                      (x * y + noise) & 0xff, (x + y * 11) & 0xff));
        }
    }
    return argb.convertToFormat(format);
}

QImage wideGradient(int width, int height, QImage::Format format)
{
    QImage wide(width, height, QImage::Format_RGBA64);
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<QRgba64*>(wide.scanLine(y));
        for (int x = 0; x < width; ++x) {
            line[x] = QRgba64::fromRgba64(quint16(x * 1021 + y), quint16(y * 2039 + x * 3),
                                          quint16((x ^ y) * 257 + 1), quint16(65535 - x * 97 - y));
        }
    }
    return wide.convertToFormat(format);
}

QImage palettePicture(int width, int height)
{
    QImage picture(width, height, QImage::Format_Indexed8);
    QVector<QRgb> colours;
    for (int i = 0; i < 20; ++i) {
        colours.append(qRgba(i * 12, 255 - i * 9, i * i % 256, i < 5 ? i * 50 : 255));
    }
    picture.setColorTable(colours);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            picture.setPixel(x, y, uint((x + 3 * y) % 20));
        }
    }
    return picture;
}

// The format both pictures are compared in: one that keeps every bit of either.
QImage comparable(const QImage& picture, bool wide)
{
    return picture.convertToFormat(wide ? QImage::Format_RGBA64 : QImage::Format_ARGB32);
}

QByteArray pngChunk(const char* type, const QByteArray& data)
{
    QByteArray chunk(4, '\0');
    qToBigEndian<quint32>(quint32(data.size()), chunk.data());
    const QByteArray body = QByteArray(type, 4) + data;
    QByteArray crc(4, '\0');
    qToBigEndian<quint32>(quint32(crc32(0, reinterpret_cast<const Bytef*>(body.constData()),
                                        uInt(body.size()))),
                          crc.data());
    return chunk + body + crc;
}

QByteArray zlibCompressed(const QByteArray& raw)
{
    uLongf packedSize = compressBound(uLong(raw.size()));
    QByteArray packed(int(packedSize), '\0');
    compress2(reinterpret_cast<Bytef*>(packed.data()), &packedSize,
              reinterpret_cast<const Bytef*>(raw.constData()), uLong(raw.size()), 9);
    packed.resize(int(packedSize));
    return packed;
}

struct Chunk {
    QByteArray type;
    QByteArray data;
    int offset;  // of the length field in the file
};

QList<Chunk> chunksOf(const QByteArray& png)
{
    QList<Chunk> chunks;
    int position = 8;
    while (position + 12 <= png.size()) {
        const int length = int(qFromBigEndian<quint32>(png.constData() + position));
        chunks.append({png.mid(position + 4, 4), png.mid(position + 8, length), position});
        position += 12 + length;
    }
    return chunks;
}

// The colour type and bit depth a file's header declares, e.g. "6/8".
QString declaredLayout(const QByteArray& png)
{
    if (png.size() < 33) {
        return QString();
    }
    return QStringLiteral("%1/%2").arg(int(uchar(png[25]))).arg(int(uchar(png[24])));
}

// Builds PNG files of any standard layout, so that the decoder is checked on what other
// writers produce: packed depths, interlacing, tRNS, every filter type, many IDAT chunks.
struct PngLayout {
    quint8 colourType = 2;
    quint8 bitDepth = 8;
    bool interlaced = false;
    int width = 13;
    int height = 11;
    QByteArray transparency;  // the tRNS chunk's data, empty for none
    int filter = -1;          // the filter type of every row; -1 takes the five in turn
    bool fewValues = false;   // bytes from ten values near 0 and 255, so that the Paeth
                              // filter's distances tie often
};

int channelsOf(quint8 colourType)
{
    switch (colourType) {
    case 0:
    case 3:
        return 1;
    case 4:
        return 2;
    case 2:
        return 3;
    default:
        return 4;
    }
}

quint32 sampleAt(const PngLayout& layout, int x, int y, int channel)
{
    if (layout.colourType == 3) {
        return quint32((x * 3 + y * 5) % 7) & ((1u << layout.bitDepth) - 1);
    }
    const quint32 mask = layout.bitDepth == 16 ? 0xffffu : (1u << layout.bitDepth) - 1;
    if (layout.fewValues) {
        static const quint32 values[10] = {0, 1, 2, 3, 4, 5, 6, 253, 254, 255};
        const quint32 mixed = quint32(x) * 73856093u ^ quint32(y) * 19349663u ^ quint32(channel) * 83492791u;
        const quint32 sample = values[(mixed >> 7) % 10];
        return layout.bitDepth == 16 ? sample << 8 | values[(mixed >> 17) % 10] : sample & mask;
    }
    return quint32(x * 2731 + y * 1571 + channel * 4099 + x * y * 13) & mask;
}

QByteArray packedRow(const PngLayout& layout, int y, int x0, int dx, int width)
{
    const int channels = channelsOf(layout.colourType);
    const int bits = channels * layout.bitDepth;
    QByteArray row(int((qint64(width) * bits + 7) / 8), '\0');
    int bit = 0;
    for (int i = 0; i < width; ++i) {
        for (int c = 0; c < channels; ++c) {
            const quint32 sample = sampleAt(layout, x0 + i * dx, y, c);
            if (layout.bitDepth == 16) {
                row[bit / 8] = char(sample >> 8);
                row[bit / 8 + 1] = char(sample);
            } else if (layout.bitDepth == 8) {
                row[bit / 8] = char(sample);
            } else {
                row[bit / 8] = char(uchar(row[bit / 8]) | (sample << (8 - layout.bitDepth - bit % 8)));
            }
            bit += layout.bitDepth;
        }
    }
    return row;
}

int paeth(int a, int b, int c)
{
    const int p = a + b - c;
    const int pa = std::abs(p - a);
    const int pb = std::abs(p - b);
    const int pc = std::abs(p - c);
    return pa <= pb && pa <= pc ? a : (pb <= pc ? b : c);
}

QByteArray filtered(int type, const QByteArray& row, const QByteArray& prior, int distance)
{
    QByteArray out(1, char(type));
    for (int i = 0; i < row.size(); ++i) {
        const int left = i >= distance ? uchar(row[i - distance]) : 0;
        const int up = prior.isEmpty() ? 0 : uchar(prior[i]);
        const int upLeft = prior.isEmpty() || i < distance ? 0 : uchar(prior[i - distance]);
        const int predictors[5] = {0, left, up, (left + up) / 2, paeth(left, up, upLeft)};
        out.append(char(uchar(row[i]) - predictors[type]));
    }
    return out;
}

QByteArray buildPng(const PngLayout& layout)
{
    QByteArray header(13, '\0');
    qToBigEndian<quint32>(quint32(layout.width), header.data());
    qToBigEndian<quint32>(quint32(layout.height), header.data() + 4);
    header[8] = char(layout.bitDepth);
    header[9] = char(layout.colourType);
    header[12] = char(layout.interlaced ? 1 : 0);
    const int distance = std::max(1, channelsOf(layout.colourType) * layout.bitDepth / 8);

    static const int adam7[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                    {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
    static const int whole[1][4] = {{0, 0, 1, 1}};
    const auto* passes = layout.interlaced ? adam7 : whole;
    const int passCount = layout.interlaced ? 7 : 1;
    QByteArray raw;
    int rowNumber = 0;
    for (int p = 0; p < passCount; ++p) {
        const int x0 = passes[p][0], y0 = passes[p][1], dx = passes[p][2], dy = passes[p][3];
        const int width = layout.width > x0 ? (layout.width - x0 + dx - 1) / dx : 0;
        if (width == 0) {
            continue;
        }
        QByteArray prior;
        for (int y = y0; y < layout.height; y += dy) {
            const QByteArray row = packedRow(layout, y, x0, dx, width);
            raw += filtered(layout.filter >= 0 ? layout.filter : rowNumber++ % 5, row, prior, distance);
            prior = row;
        }
    }
    QByteArray file = QByteArray("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", header);
    if (layout.colourType == 3) {
        QByteArray palette;
        for (int i = 0; i < 7; ++i) {
            palette.append(char(i * 40)).append(char(250 - i * 30)).append(char(i * 17));
        }
        file += pngChunk("PLTE", palette);
    }
    if (!layout.transparency.isEmpty()) {
        file += pngChunk("tRNS", layout.transparency);
    }
    const QByteArray stream = zlibCompressed(raw);
    for (int offset = 0; offset < stream.size(); offset += 100) {
        file += pngChunk("IDAT", stream.mid(offset, 100));
    }
    return file + pngChunk("IEND", QByteArray());
}

QByteArray sixteenBits(std::initializer_list<quint16> values)
{
    QByteArray data;
    for (quint16 value : values) {
        data.append(char(value >> 8)).append(char(value & 0xff));
    }
    return data;
}

// A PNG of a small picture with count zTXt chunks in front of its pixels, each of which would
// inflate to inflatedSize bytes.
QByteArray withTextBombs(int count, int inflatedSize)
{
    const QByteArray picture = core::png::encode(patterned(64, 48, QImage::Format_RGB32));
    const QByteArray text = QByteArray("Comment\0\0", 9) + zlibCompressed(QByteArray(inflatedSize, 'a'));
    const QByteArray chunk = pngChunk("zTXt", text);
    QByteArray bombs;
    for (int i = 0; i < count; ++i) {
        bombs += chunk;
    }
    return picture.left(33) + bombs + picture.mid(33);  // after the signature and IHDR
}

QByteArray withChunkPatched(QByteArray png, const char* type, int byteInChunk, char value)
{
    for (const Chunk& chunk : chunksOf(png)) {
        if (chunk.type == type) {
            png[chunk.offset + byteInChunk] = value;
            return png;
        }
    }
    return QByteArray();
}

QByteArray withChunkBefore(const QByteArray& png, const char* beforeType, const QByteArray& chunk)
{
    for (const Chunk& c : chunksOf(png)) {
        if (c.type == beforeType) {
            return png.left(c.offset) + chunk + png.mid(c.offset);
        }
    }
    return QByteArray();
}

QByteArray headerWith(quint32 width, quint32 height, quint8 depth, quint8 colourType)
{
    QByteArray header(13, '\0');
    qToBigEndian<quint32>(width, header.data());
    qToBigEndian<quint32>(height, header.data() + 4);
    header[8] = char(depth);
    header[9] = char(colourType);
    return header;
}

// A file declaring width x height RGBA pixels whose few image bytes inflate to almost nothing.
QByteArray hugeDeclaration(quint32 width, quint32 height)
{
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", headerWith(width, height, 8, 6))
        + pngChunk("IDAT", zlibCompressed(QByteArray(4000, '\0'))) + pngChunk("IEND", QByteArray());
}

bool toolAvailable(const char* name)
{
    return !QStandardPaths::findExecutable(QLatin1String(name)).isEmpty();
}

// ---- files written in two strips ----

QByteArray withoutChunks(const QByteArray& png, const char* type)
{
    QByteArray out = png.left(8);
    for (const Chunk& chunk : chunksOf(png)) {
        if (chunk.type != type) {
            out += png.mid(chunk.offset, 12 + chunk.data.size());
        }
    }
    return out;
}

QByteArray stripMarker(quint32 streamOffset, quint32 firstRow)
{
    QByteArray data(8, '\0');
    qToBigEndian<quint32>(streamOffset, data.data());
    qToBigEndian<quint32>(firstRow, data.data() + 4);
    return pngChunk("stRP", data);
}

// The stRP chunk's two numbers, or {0, 0} when the file has none.
QPair<quint32, quint32> markerOf(const QByteArray& png)
{
    for (const Chunk& chunk : chunksOf(png)) {
        if (chunk.type == "stRP" && chunk.data.size() == 8) {
            return {qFromBigEndian<quint32>(chunk.data.constData()),
                    qFromBigEndian<quint32>(chunk.data.constData() + 4)};
        }
    }
    return {0, 0};
}

// The zlib stream of all IDAT chunks.
QByteArray streamOf(const QByteArray& png)
{
    QByteArray stream;
    for (const Chunk& chunk : chunksOf(png)) {
        if (chunk.type == "IDAT") {
            stream += chunk.data;
        }
    }
    return stream;
}

// png with its chunks before the pixels replaced by before (when not null), and its stream by
// stream, cut into IDAT chunks of 100,000 bytes: another cut than the writer's.
QByteArray rebuilt(const QByteArray& png, const QByteArray& stream, const QByteArray* before = nullptr)
{
    QByteArray head = png.left(8);
    for (const Chunk& chunk : chunksOf(png)) {
        if (chunk.type == "IDAT") {
            break;
        }
        if (!before || chunk.type == "IHDR") {
            head += png.mid(chunk.offset, 12 + chunk.data.size());
        }
    }
    if (before) {
        head += *before;
    }
    for (int offset = 0; offset < stream.size(); offset += 100000) {
        head += pngChunk("IDAT", stream.mid(offset, 100000));
    }
    return head + pngChunk("IEND", QByteArray());
}

// A file of an RGB picture made with zlib in two strips that meet at row boundary, the first
// ending in a flush. A full flush forgets the first strip, so the second inflates alone; a sync
// flush lets the second strip refer back into the first. Every row but the first is filtered
// Up, so the second strip's first row needs the row above it.
QByteArray zlibTwoStrips(const QImage& rgb, int boundary, int flush)
{
    const int length = rgb.width() * 3;
    QByteArray raw;
    QByteArray prior;
    for (int y = 0; y < rgb.height(); ++y) {
        QByteArray row;
        for (int x = 0; x < rgb.width(); ++x) {
            const QRgb pixel = rgb.pixel(x, y);
            row.append(char(qRed(pixel))).append(char(qGreen(pixel))).append(char(qBlue(pixel)));
        }
        raw += filtered(y == 0 ? 0 : 2, row, prior, 3);
        prior = row;
    }
    z_stream z{};
    deflateInit(&z, 6);
    QByteArray stream(int(deflateBound(&z, uLong(raw.size()))) + 64, '\0');
    z.next_out = reinterpret_cast<Bytef*>(stream.data());
    z.avail_out = uInt(stream.size());
    const int split = boundary * (length + 1);
    z.next_in = reinterpret_cast<Bytef*>(raw.data());
    z.avail_in = uInt(split);
    deflate(&z, flush);
    const quint32 secondStrip = quint32(z.total_out);
    z.avail_in = uInt(raw.size() - split);
    deflate(&z, Z_FINISH);
    stream.resize(int(z.total_out));
    deflateEnd(&z);
    const QByteArray marker = stripMarker(secondStrip, quint32(boundary));
    return rebuilt(pngChunk("IHDR", headerWith(quint32(rgb.width()), quint32(rgb.height()), 8, 2)).prepend("\x89PNG\r\n\x1a\n", 8)
                       + pngChunk("IDAT", QByteArray()),
                   stream, &marker);
}

// A picture of 640 x 560 RGB: its filtered rows pass the megabyte above which the writer
// uses two strips.
QImage twoStripPicture()
{
    return patterned(640, 560, QImage::Format_RGB32);
}

// stream with the byte at offset changed.
QByteArray streamWithByteFlipped(QByteArray stream, int offset)
{
    stream[offset] = char(stream[offset] ^ 0x5a);
    return stream;
}

bool twoCores()
{
    return std::thread::hardware_concurrency() >= 2;
}

} // namespace

void tst_PngCodec::roundTripReadsBackAsWritten_data()
{
    QTest::addColumn<QImage>("picture");
    QTest::addColumn<bool>("wide");
    QTest::addColumn<QString>("layout");  // colour type / bit depth in the written header

    QTest::newRow("rgb32") << patterned(37, 23, QImage::Format_RGB32) << false << "2/8";
    QTest::newRow("rgb32-one-pixel") << patterned(1, 1, QImage::Format_RGB32) << false << "2/8";
    QTest::newRow("rgb32-two-strips") << patterned(700, 600, QImage::Format_RGB32) << false << "2/8";
    QTest::newRow("rgb888-odd-width") << patterned(451, 9, QImage::Format_RGB888) << false << "2/8";
    QTest::newRow("argb32-with-alpha") << patterned(33, 17, QImage::Format_ARGB32) << false << "6/8";
    QTest::newRow("argb32-with-alpha-two-strips")
        << patterned(600, 500, QImage::Format_ARGB32) << false << "6/8";
    QTest::newRow("argb32-opaque-written-as-rgb")
        << patterned(20, 20, QImage::Format_RGB32).convertToFormat(QImage::Format_ARGB32) << false
        << "2/8";
    QTest::newRow("argb32-premultiplied-straightened")
        << patterned(25, 14, QImage::Format_ARGB32_Premultiplied) << false << "6/8";
    QTest::newRow("rgba8888") << patterned(19, 8, QImage::Format_RGBA8888) << false << "6/8";
    QTest::newRow("rgb16-converted") << patterned(21, 6, QImage::Format_RGB16) << false << "2/8";
    QTest::newRow("grayscale8") << patterned(29, 31, QImage::Format_Grayscale8) << false << "0/8";
    QTest::newRow("grayscale16")
        << wideGradient(27, 13, QImage::Format_Grayscale16) << true << "0/16";
    QTest::newRow("indexed8-palette-with-alpha") << palettePicture(35, 12) << false << "3/8";
    QTest::newRow("mono") << patterned(43, 5, QImage::Format_Mono) << false << "3/8";
    QTest::newRow("rgba64") << wideGradient(31, 9, QImage::Format_RGBA64) << true << "6/16";
    QTest::newRow("rgbx64") << wideGradient(31, 9, QImage::Format_RGBX64) << true << "2/16";
    QTest::newRow("rgba64-premultiplied")
        << wideGradient(12, 12, QImage::Format_RGBA64_Premultiplied) << true << "6/16";
    QTest::newRow("rgb30-kept-wide") << wideGradient(10, 10, QImage::Format_RGB30) << true << "2/16";
}

void tst_PngCodec::roundTripReadsBackAsWritten()
{
    QFETCH(QImage, picture);
    QFETCH(bool, wide);
    QFETCH(QString, layout);
    QVERIFY(!picture.isNull());

    const QByteArray png = core::png::encode(picture);
    QVERIFY2(!png.isEmpty(), "a picture must be written");
    QCOMPARE(declaredLayout(png), layout);

    const QImage byQt = QImage::fromData(png, "png");
    QVERIFY2(!byQt.isNull(), "Qt must read the written file");
    QCOMPARE(comparable(byQt, wide), comparable(picture, wide));

    const QImage byUs = core::png::decode(png);
    QVERIFY2(!byUs.isNull(), "our reader must read the written file");
    QCOMPARE(comparable(byUs, wide), comparable(byQt, wide));
}

void tst_PngCodec::externalReadersAcceptWrittenFile_data()
{
    QTest::addColumn<QImage>("picture");
    QTest::newRow("rgb-two-strips") << patterned(800, 600, QImage::Format_RGB32);
    QTest::newRow("rgba-two-strips") << patterned(600, 500, QImage::Format_ARGB32);
    QTest::newRow("grey") << patterned(33, 7, QImage::Format_Grayscale8);
    QTest::newRow("palette") << palettePicture(17, 9);
    QTest::newRow("rgba-16-bit") << wideGradient(15, 4, QImage::Format_RGBA64);
    QTest::newRow("grey-16-bit") << wideGradient(15, 4, QImage::Format_Grayscale16);
}

void tst_PngCodec::externalReadersAcceptWrittenFile()
{
    QFETCH(QImage, picture);
    if (!toolAvailable("pngcheck") || !toolAvailable("identify")) {
        QSKIP("pngcheck and ImageMagick's identify are installed by scripts/install-deps.sh");
    }
    const QString path = m_folder.filePath(QStringLiteral("%1.png").arg(QTest::currentDataTag()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.write(core::png::encode(picture)) > 0);
    file.close();

    QProcess pngcheck;
    pngcheck.start(QStringLiteral("pngcheck"), {QStringLiteral("-v"), path});
    QVERIFY(pngcheck.waitForFinished(60000));
    QVERIFY2(pngcheck.exitCode() == 0, pngcheck.readAllStandardOutput().constData());

    // identify prints a digest of the pixels it read: the same as for the file Qt writes of the
    // same picture, as long as both declare the same channels.
    const QString reference = m_folder.filePath(QStringLiteral("%1-qt.png").arg(QTest::currentDataTag()));
    QVERIFY(picture.save(reference, "png"));
    QProcess identify;
    identify.start(QStringLiteral("identify"),
                   {QStringLiteral("-format"), QStringLiteral("%w %h %#\\n"), path, reference});
    QVERIFY(identify.waitForFinished(60000));
    QCOMPARE(identify.exitCode(), 0);
    const QList<QByteArray> lines = identify.readAllStandardOutput().trimmed().split('\n');
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines[0].startsWith(QStringLiteral("%1 %2 ").arg(picture.width()).arg(picture.height()).toLatin1()),
             lines[0].constData());
    QCOMPARE(lines[0], lines[1]);
}

void tst_PngCodec::everySettingWritesTheSamePixels_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<int>("filter");
    QTest::addColumn<bool>("twoThreads");
    using core::png::Filter;
    QTest::newRow("stored") << 0 << int(Filter::None) << false;
    QTest::newRow("level-1-sub") << 1 << int(Filter::Sub) << false;
    QTest::newRow("level-1-up") << 1 << int(Filter::Up) << false;
    QTest::newRow("level-1-up-two-strips") << 1 << int(Filter::Up) << true;
    QTest::newRow("level-2-paeth-two-strips") << 2 << int(Filter::Paeth) << true;
    QTest::newRow("level-6-adaptive") << 6 << int(Filter::Adaptive) << false;
    QTest::newRow("level-0-two-strips") << 0 << int(Filter::Up) << true;
    QTest::newRow("level-12-adaptive-two-strips") << 12 << int(Filter::Adaptive) << true;
}

void tst_PngCodec::everySettingWritesTheSamePixels()
{
    QFETCH(int, level);
    QFETCH(int, filter);
    QFETCH(bool, twoThreads);
    const QImage picture = patterned(520, 700, QImage::Format_ARGB32);
    core::png::EncodeSettings settings;
    settings.level = level;
    settings.filter = core::png::Filter(filter);
    settings.useTwoThreads = twoThreads;
    const QByteArray png = core::png::encode(picture, settings);
    QVERIFY(!png.isEmpty());
    QCOMPARE(QImage::fromData(png, "png").convertToFormat(QImage::Format_ARGB32), picture);
    QCOMPARE(core::png::decode(png), picture);
}

void tst_PngCodec::decodesLikeQt_data()
{
    QTest::addColumn<QByteArray>("png");
    QTest::addColumn<bool>("wide");
    auto layout = [](quint8 colourType, quint8 depth, bool interlaced, QByteArray transparency = {}) {
        PngLayout s;
        s.colourType = colourType;
        s.bitDepth = depth;
        s.interlaced = interlaced;
        s.transparency = transparency;
        return s;
    };
    for (bool interlaced : {false, true}) {
        const char* suffix = interlaced ? "-interlaced" : "";
        for (quint8 depth : {1, 2, 4, 8, 16}) {
            QTest::addRow("grey-%d%s", depth, suffix) << buildPng(layout(0, depth, interlaced)) << (depth == 16);
        }
        for (quint8 depth : {1, 2, 4, 8}) {
            QTest::addRow("palette-%d%s", depth, suffix) << buildPng(layout(3, depth, interlaced)) << false;
        }
        for (quint8 depth : {8, 16}) {
            QTest::addRow("rgb-%d%s", depth, suffix) << buildPng(layout(2, depth, interlaced)) << (depth == 16);
            QTest::addRow("grey-alpha-%d%s", depth, suffix) << buildPng(layout(4, depth, interlaced)) << (depth == 16);
            QTest::addRow("rgba-%d%s", depth, suffix) << buildPng(layout(6, depth, interlaced)) << (depth == 16);
        }
    }
    // Each transparent value below is the pixel at (1, 0).
    QTest::newRow("grey-4-transparent-value") << buildPng(layout(0, 4, false, sixteenBits({11}))) << false;
    QTest::newRow("grey-8-transparent-value") << buildPng(layout(0, 8, false, sixteenBits({0xab}))) << false;
    QTest::newRow("grey-16-transparent-value") << buildPng(layout(0, 16, false, sixteenBits({0x0aab}))) << true;
    QTest::newRow("rgb-8-transparent-value")
        << buildPng(layout(2, 8, false, sixteenBits({0xab, 0xae, 0xb1}))) << false;
    QTest::newRow("palette-alphas") << buildPng(layout(3, 8, false, QByteArray("\x00\x40\x80", 3))) << false;
    PngLayout tiny = layout(6, 8, true);
    tiny.width = 1;
    tiny.height = 1;
    QTest::newRow("interlaced-one-pixel") << buildPng(tiny) << false;
    PngLayout tall = layout(2, 8, true);
    tall.width = 3;
    tall.height = 40;
    QTest::newRow("interlaced-narrow") << buildPng(tall) << false;
    // Rows of one filter over pixels of 3 to 8 bytes, with many ties between Paeth's distances,
    // and pixels of 2 bytes beside them.
    const struct {
        const char* name;
        quint8 colourType;
        quint8 depth;
    } pixelLayouts[] = {{"rgb-8", 2, 8}, {"rgba-8", 6, 8}, {"grey-alpha-8", 4, 8}, {"grey-alpha-16", 4, 16},
                        {"rgb-16", 2, 16}, {"rgba-16", 6, 16}};
    const struct {
        const char* name;
        int type;
    } filters[] = {{"sub", 1}, {"average", 3}, {"paeth", 4}};
    for (const auto& pixels : pixelLayouts) {
        for (const auto& filter : filters) {
            for (int width : {1, 2, 37}) {
                PngLayout one = layout(pixels.colourType, pixels.depth, false);
                one.filter = filter.type;
                one.fewValues = true;
                one.width = width;
                one.height = 9;
                QTest::addRow("%s-%s-only-%d-wide", pixels.name, filter.name, width)
                    << buildPng(one) << (pixels.depth == 16);
            }
        }
    }
    QTest::newRow("qt-written-rgb") << testimages::encoded(patterned(90, 70, QImage::Format_RGB32), "png") << false;
    QTest::newRow("qt-written-rgba") << testimages::encoded(patterned(90, 70, QImage::Format_ARGB32), "png") << false;
}

void tst_PngCodec::decodesLikeQt()
{
    QFETCH(QByteArray, png);
    QFETCH(bool, wide);
    const QImage byQt = QImage::fromData(png, "png");
    QVERIFY2(!byQt.isNull(), "the reference reader must read the test file");
    const QImage byUs = core::png::decode(png);
    QVERIFY2(!byUs.isNull(), "our reader must read what the reference reads");
    QCOMPARE(byUs.size(), byQt.size());
    QCOMPARE(comparable(byUs, wide), comparable(byQt, wide));
}

// Qt 5.15 misreads this layout (its channels come out shifted), so the expected pixels are
// the samples the file was built from.
void tst_PngCodec::readsSixteenBitRgbTransparency()
{
    PngLayout layout;
    layout.bitDepth = 16;
    layout.transparency = sixteenBits({0x0aab, 0x1aae, 0x2ab1});  // the pixel at (1, 0)
    const QImage picture = core::png::decode(buildPng(layout));
    QCOMPARE(picture.format(), QImage::Format_RGBA64);
    int transparent = 0;
    for (int y = 0; y < layout.height; ++y) {
        const auto* line = reinterpret_cast<const QRgba64*>(picture.constScanLine(y));
        for (int x = 0; x < layout.width; ++x) {
            const QRgba64 expected = QRgba64::fromRgba64(
                quint16(sampleAt(layout, x, y, 0)), quint16(sampleAt(layout, x, y, 1)),
                quint16(sampleAt(layout, x, y, 2)), x == 1 && y == 0 ? 0 : 0xffff);
            QCOMPARE(quint64(line[x]), quint64(expected));
            transparent += line[x].alpha() == 0 ? 1 : 0;
        }
    }
    QCOMPARE(transparent, 1);
}

void tst_PngCodec::refusesDamagedFile_data()
{
    QTest::addColumn<QByteArray>("png");
    const QByteArray good = buildPng(PngLayout());
    const QByteArray palette = buildPng([] { PngLayout s; s.colourType = 3; return s; }());
    const QByteArray signature("\x89PNG\r\n\x1a\n", 8);
    const QByteArray end = pngChunk("IEND", QByteArray());
    const QByteArray pixels = pngChunk("IDAT", zlibCompressed(QByteArray(4 * 14 * 11, '\0')));
    QVERIFY(core::png::decode(good).size() == QSize(13, 11));  // the rows below break only one thing

    QTest::newRow("empty") << QByteArray();
    QTest::newRow("signature-changed") << QByteArray(good).replace(1, 1, "p");
    QTest::newRow("header-crc") << withChunkPatched(good, "IHDR", 20, '\x5a');
    QTest::newRow("image-data-crc") << withChunkPatched(good, "IDAT", 8, '\x5a');
    QTest::newRow("palette-crc") << withChunkPatched(palette, "PLTE", 9, '\x5a');
    QTest::newRow("chunk-length-past-end") << withChunkPatched(good, "IDAT", 1, '\x7f');
    QTest::newRow("chunk-length-above-png-limit") << withChunkPatched(good, "IDAT", 0, '\x80');
    QTest::newRow("no-end-chunk") << good.left(good.size() - 12);
    QTest::newRow("header-not-first")
        << signature + pngChunk("tEXt", "a\0b") + good.mid(8);
    QTest::newRow("second-header")
        << withChunkBefore(good, "IDAT", pngChunk("IHDR", headerWith(13, 11, 8, 2)));
    QTest::newRow("unknown-critical-chunk") << withChunkBefore(good, "IEND", pngChunk("ABCD", "x"));
    QTest::newRow("chunk-type-not-letters") << withChunkBefore(good, "IEND", pngChunk("ab1d", "x"));
    QTest::newRow("image-data-interrupted")
        << withChunkBefore(good, "IEND", pngChunk("tEXt", "a\0b") + pixels);
    QTest::newRow("palette-picture-without-palette")
        << signature + pngChunk("IHDR", headerWith(13, 11, 8, 3)) + pixels + end;
    QTest::newRow("palette-in-grey-picture")
        << signature + pngChunk("IHDR", headerWith(13, 11, 8, 0)) + pngChunk("PLTE", "abc") + pixels + end;
    QTest::newRow("rgb-at-depth-4") << signature + pngChunk("IHDR", headerWith(13, 11, 4, 2)) + pixels + end;
    QTest::newRow("zero-width") << signature + pngChunk("IHDR", headerWith(0, 11, 8, 2)) + pixels + end;
    QTest::newRow("unknown-colour-type") << signature + pngChunk("IHDR", headerWith(13, 11, 8, 5)) + pixels + end;
    QTest::newRow("filter-type-5")
        << signature + pngChunk("IHDR", headerWith(1, 1, 8, 0))
               + pngChunk("IDAT", zlibCompressed(QByteArray("\x05\x00", 2))) + end;
    QTest::newRow("too-few-pixel-bytes")
        << signature + pngChunk("IHDR", headerWith(13, 11, 8, 2))
               + pngChunk("IDAT", zlibCompressed(QByteArray(100, '\0'))) + end;
    QTest::newRow("too-many-pixel-bytes")
        << signature + pngChunk("IHDR", headerWith(2, 2, 8, 0))
               + pngChunk("IDAT", zlibCompressed(QByteArray(7, '\0'))) + end;
    QTest::newRow("not-a-zlib-stream")
        << signature + pngChunk("IHDR", headerWith(2, 2, 8, 0)) + pngChunk("IDAT", QByteArray(30, 'x')) + end;
    QTest::newRow("declared-above-pixel-bound") << hugeDeclaration(20000, 20000);
    QTest::newRow("declared-width-above-png-limit") << hugeDeclaration(0x80000000u, 1);
    QTest::newRow("declared-far-more-than-data-can-hold") << hugeDeclaration(5000, 5000);
}

void tst_PngCodec::refusesDamagedFile()
{
    QFETCH(QByteArray, png);
    QVERIFY2(core::png::decode(png).isNull(), "a damaged file gives a null image");
}

void tst_PngCodec::skipsDamagedAncillaryChunk()
{
    const QByteArray good = buildPng(PngLayout());
    const QByteArray text = pngChunk("tEXt", "Title\0a picture");
    const QByteArray damaged = withChunkPatched(withChunkBefore(good, "IDAT", text), "tEXt", 10, 'X');
    QVERIFY(!damaged.isEmpty());
    QCOMPARE(core::png::decode(damaged), core::png::decode(good));
    QVERIFY(!core::png::decode(damaged).isNull());
}

QByteArray profileChunk(const QColorSpace& space)
{
    return pngChunk("iCCP", QByteArray("Display\0\0", 9) + zlibCompressed(space.iccProfile()));
}

void tst_PngCodec::readsColourProfile_data()
{
    QTest::addColumn<QByteArray>("png");
    QTest::addColumn<QColorSpace>("space");
    const QByteArray good = buildPng(PngLayout());
    const QColorSpace p3(QColorSpace::DisplayP3);
    const QColorSpace adobe(QColorSpace::AdobeRgb);
    QTest::newRow("none") << good << QColorSpace();
    QTest::newRow("display-p3") << withChunkBefore(good, "IDAT", profileChunk(p3)) << p3;
    QTest::newRow("adobe-rgb") << withChunkBefore(good, "IDAT", profileChunk(adobe)) << adobe;
    QTest::newRow("srgb-chunk-overrides-profile")
        << withChunkBefore(good, "IDAT", profileChunk(p3) + pngChunk("sRGB", QByteArray(1, '\0'))) << QColorSpace();
    QTest::newRow("after-image-data") << withChunkBefore(good, "IEND", profileChunk(p3)) << QColorSpace();
    QTest::newRow("stream-damaged")
        << withChunkBefore(good, "IDAT", pngChunk("iCCP", QByteArray("Display\0\0xxxxxxxxxxxx", 21))) << QColorSpace();
    QTest::newRow("without-compression-method")
        << withChunkBefore(good, "IDAT", pngChunk("iCCP", QByteArray("Display", 7))) << QColorSpace();
}

void tst_PngCodec::readsColourProfile()
{
    QFETCH(QByteArray, png);
    QFETCH(QColorSpace, space);
    const QImage picture = core::png::decode(png);
    QCOMPARE(picture, core::png::decode(buildPng(PngLayout())));
    QCOMPARE(picture.colorSpace(), space);
}

void tst_PngCodec::refusesEveryTruncation()
{
    const QByteArray png = core::png::encode(patterned(9, 7, QImage::Format_ARGB32));
    QVERIFY(!core::png::decode(png).isNull());
    for (int length = 0; length < png.size(); ++length) {
        QVERIFY2(core::png::decode(png.left(length)).isNull(),
                 qPrintable(QStringLiteral("cut after %1 of %2 bytes").arg(length).arg(png.size())));
    }
}

void tst_PngCodec::cancelFlagAbandonsDecoding()
{
    const QByteArray png = core::png::encode(patterned(30, 20, QImage::Format_RGB32));
    std::atomic<bool> cancel{false};
    QCOMPARE(core::png::decode(png, &cancel).size(), QSize(30, 20));
    cancel = true;
    QVERIFY(core::png::decode(png, &cancel).isNull());
}

void tst_PngCodec::hostileFileStaysWithinMemoryLimit_data()
{
    QTest::addColumn<QByteArray>("png");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("output");
    // 100 text chunks that would inflate to 7.5 MB each: skipped, the picture is read.
    QTest::newRow("hundred-text-bombs") << withTextBombs(100, 7'500'000) << 0 << QByteArray("64x48");
    // 324 MB of pixels, within the picture bounds, declared by a few bytes of data: refused
    // before anything is allocated.
    QTest::newRow("huge-declared-size") << hugeDeclaration(9000, 9000) << 2 << QByteArray("refused");
}

void tst_PngCodec::hostileFileStaysWithinMemoryLimit()
{
    QFETCH(QByteArray, png);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, output);
    if (runsUnderAddressSanitizer()) {
        QSKIP("AddressSanitizer reserves more address space than any limit this test sets");
    }
    if (!toolAvailable("prlimit")) {
        QSKIP("prlimit (util-linux) is needed to limit the child's memory");
    }
    const QString path = m_folder.filePath(QStringLiteral("%1.png").arg(QTest::currentDataTag()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(png) == png.size());
    file.close();

    // The probe maps Qt and the C++ runtime in well under this; decoding the 7.5 MB texts, or
    // allocating the declared pixels, would need far more.
    QProcess probe;
    probe.start(QStringLiteral("prlimit"),
                {QStringLiteral("--as=%1").arg(300 * 1024 * 1024), QStringLiteral(PNG_PROBE_PATH), path});
    QVERIFY(probe.waitForFinished(120000));
    QCOMPARE(probe.exitStatus(), QProcess::NormalExit);
    QCOMPARE(probe.exitCode(), exitCode);
    QCOMPARE(probe.readAllStandardOutput().trimmed(), output);
}

void tst_PngCodec::readsWrittenStripsAtOnce_data()
{
    QTest::addColumn<QImage>("picture");
    QTest::addColumn<int>("filter");
    QTest::addColumn<int>("pixelBytes");  // of the written rows
    using core::png::Filter;
    QTest::newRow("rgb-up") << twoStripPicture() << int(Filter::Up) << 3;
    QTest::newRow("rgba-up") << patterned(560, 520, QImage::Format_ARGB32) << int(Filter::Up) << 4;
    QTest::newRow("rgb-paeth") << twoStripPicture() << int(Filter::Paeth) << 3;
    QTest::newRow("rgb-adaptive") << twoStripPicture() << int(Filter::Adaptive) << 3;
    QTest::newRow("grey-sub") << patterned(1500, 800, QImage::Format_Grayscale8) << int(Filter::Sub) << 1;
    QTest::newRow("rgb-16-bit") << wideGradient(300, 700, QImage::Format_RGBX64) << int(Filter::Up) << 6;
}

void tst_PngCodec::readsWrittenStripsAtOnce()
{
    QFETCH(QImage, picture);
    QFETCH(int, filter);
    QFETCH(int, pixelBytes);
    if (!twoCores()) {
        QSKIP("the strips are written and read at once only on two cores or more");
    }
    core::png::EncodeSettings settings;
    settings.filter = core::png::Filter(filter);
    const QByteArray png = core::png::encode(picture, settings);
    const auto [streamOffset, firstRow] = markerOf(png);
    QVERIFY2(firstRow > 0 && int(firstRow) < picture.height(), "the writer records its second strip");
    QCOMPARE(streamOf(png).mid(int(streamOffset) - 4, 4), QByteArray("\x00\x00\xff\xff", 4));
    // The second strip's first row does not look at the row above: None after Up, else Sub.
    const QByteArray stream = streamOf(png);
    const uLong stride = uLong(picture.width() * pixelBytes + 1);
    QByteArray rows(int(stride * uLong(picture.height())), '\0');
    uLongf rowsLength = uLongf(rows.size());
    QCOMPARE(uncompress(reinterpret_cast<Bytef*>(rows.data()), &rowsLength,
                        reinterpret_cast<const Bytef*>(stream.constData()), uLong(stream.size())), Z_OK);
    QCOMPARE(int(rowsLength), rows.size());
    QCOMPARE(int(rows[int(firstRow * stride)]), filter == int(core::png::Filter::Up) ? 0 : 1);

    core::png::DecodeReport report;
    const QImage twoStrips = core::png::decode(png, nullptr, &report);
    QVERIFY2(report.twoStrips, "a file written in two strips is read in two");
    const QImage onePiece = core::png::decode(withoutChunks(png, "stRP"), nullptr, &report);
    QVERIFY(!report.twoStrips);
    const bool wide = picture.depth() > 32;
    QCOMPARE(comparable(twoStrips, wide), comparable(picture, wide));
    QCOMPARE(twoStrips, onePiece);
    QCOMPARE(comparable(QImage::fromData(png, "png"), wide), comparable(picture, wide));
}

// Whatever the marker says, the pixels are those of the file; only the way there changes.
void tst_PngCodec::stripMarkerOnlyDecidesTheWay_data()
{
    QTest::addColumn<QByteArray>("png");
    QTest::addColumn<bool>("twoStrips");
    const QByteArray png = core::png::encode(twoStripPicture());
    const auto [offset, row] = markerOf(png);
    const QByteArray stream = streamOf(png);
    QVERIFY(row > 0 && offset > 100);
    auto withMarker = [&](quint32 streamOffset, quint32 firstRow) {
        const QByteArray marker = stripMarker(streamOffset, firstRow);
        return rebuilt(png, stream, &marker);
    };

    QTest::newRow("as-written") << png << true;
    QTest::newRow("as-written-other-chunk-cut") << withMarker(offset, row) << true;
    QTest::newRow("no-marker") << withoutChunks(png, "stRP") << false;
    QTest::newRow("offset-a-byte-early") << withMarker(offset - 1, row) << false;
    QTest::newRow("offset-a-byte-late") << withMarker(offset + 1, row) << false;
    QTest::newRow("offset-inside-a-deflate-block") << withMarker(offset / 2, row) << false;
    QTest::newRow("offset-inside-the-second-strip") << withMarker(offset + (quint32(stream.size()) - offset) / 2, row) << false;
    QTest::newRow("offset-at-the-checksum") << withMarker(quint32(stream.size()) - 4, row) << false;
    QTest::newRow("offset-past-the-end") << withMarker(quint32(stream.size()) + 10, row) << false;
    QTest::newRow("offset-zero") << withMarker(0, row) << false;
    QTest::newRow("offset-huge") << withMarker(0xffffffffu, row) << false;
    QTest::newRow("row-a-row-early") << withMarker(offset, row - 1) << false;
    QTest::newRow("row-a-row-late") << withMarker(offset, row + 1) << false;
    QTest::newRow("row-zero") << withMarker(offset, 0) << false;
    QTest::newRow("row-past-the-picture") << withMarker(offset, 100000) << false;
    QTest::newRow("marker-crc-damaged") << withChunkPatched(png, "stRP", 9, '\x7f') << false;
    const QByteArray shortMarker = pngChunk("stRP", stripMarker(offset, row).mid(8, 4));
    QTest::newRow("marker-too-short") << rebuilt(png, stream, &shortMarker) << false;
    const QByteArray marker = stripMarker(offset, row);
    QTest::newRow("marker-after-the-pixels")
        << withChunkBefore(withoutChunks(png, "stRP"), "IEND", marker) << false;
    // zlib's own two strips: a full flush keeps them apart, and the second strip's first row
    // waits for the row above it from the other thread.
    QTest::newRow("zlib-full-flush-row-needs-the-row-above") << zlibTwoStrips(twoStripPicture(), 211, Z_FULL_FLUSH) << true;
    // After a sync flush the second strip refers back into the first: it cannot be read alone.
    QImage repeating(640, 560, QImage::Format_RGB32);
    for (int y = 0; y < repeating.height(); ++y) {
        for (int x = 0; x < repeating.width(); ++x) {
            repeating.setPixel(x, y, qRgb((x * 7) & 0xff, (x * 13) & 0xff, (x * 3 + y % 2) & 0xff));
        }
    }
    QTest::newRow("zlib-sync-flush-refers-back") << zlibTwoStrips(repeating, 300, Z_SYNC_FLUSH) << false;
}

void tst_PngCodec::stripMarkerOnlyDecidesTheWay()
{
    QFETCH(QByteArray, png);
    QFETCH(bool, twoStrips);
    const QImage byQt = QImage::fromData(png, "png");
    QVERIFY2(!byQt.isNull(), "libpng reads the file");
    core::png::DecodeReport report;
    const QImage byUs = core::png::decode(png, nullptr, &report);
    QVERIFY2(!byUs.isNull(), "our reader reads what libpng reads");
    QCOMPARE(byUs, byQt.convertToFormat(QImage::Format_RGB32));
    QCOMPARE(byUs, core::png::decode(withoutChunks(png, "stRP")));
    QCOMPARE(report.twoStrips, twoStrips && twoCores());
}

void tst_PngCodec::damagedTwoStripFileRefusedLikeLibpng_data()
{
    QTest::addColumn<QByteArray>("png");
    const QByteArray png = core::png::encode(twoStripPicture());
    const int offset = int(markerOf(png).first);
    const QByteArray stream = streamOf(png);
    QVERIFY(offset > 100);
    QTest::newRow("first-strip-data") << rebuilt(png, streamWithByteFlipped(stream, offset / 2));
    QTest::newRow("first-strip-end-of-block") << rebuilt(png, streamWithByteFlipped(stream, offset - 6));
    QTest::newRow("stored-block-length") << rebuilt(png, streamWithByteFlipped(stream, offset - 2));
    QTest::newRow("second-strip-first-byte") << rebuilt(png, streamWithByteFlipped(stream, offset));
    QTest::newRow("second-strip-data") << rebuilt(png, streamWithByteFlipped(stream, (offset + stream.size()) / 2));
    QTest::newRow("second-strip-cut-short") << rebuilt(png, stream.left(offset + 1000) + stream.right(4));
    QTest::newRow("first-strip-cut-short") << rebuilt(png, stream.left(offset - 1000) + stream.mid(offset));
    QTest::newRow("zlib-header") << rebuilt(png, streamWithByteFlipped(stream, 0));
    QTest::newRow("checksum") << rebuilt(png, streamWithByteFlipped(stream, stream.size() - 1));
}

void tst_PngCodec::damagedTwoStripFileRefusedLikeLibpng()
{
    QFETCH(QByteArray, png);
    QVERIFY(markerOf(png).second > 0);
    QVERIFY2(QImage::fromData(png, "png").isNull(), "libpng refuses the damaged file");
    core::png::DecodeReport report;
    QVERIFY2(core::png::decode(png, nullptr, &report).isNull(), "so does our reader");
    QVERIFY(!report.twoStrips);
    QVERIFY(core::png::decode(withoutChunks(png, "stRP")).isNull());
}

QTEST_GUILESS_MAIN(tst_PngCodec)
#include "tst_pngcodec.moc"
