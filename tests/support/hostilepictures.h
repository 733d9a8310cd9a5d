#pragma once
// Picture files made to lie about their size or to cost far more to decode than they weigh, and
// small honest files of the formats the program reads, generated in memory for the tests.

#include "tests/support/testimages.h"

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageWriter>
#include <QtEndian>

#include <zlib.h>

namespace hostilepictures {

inline QByteArray le16(quint16 value)
{
    QByteArray bytes(2, '\0');
    qToLittleEndian(value, bytes.data());
    return bytes;
}

inline QByteArray le32(quint32 value)
{
    QByteArray bytes(4, '\0');
    qToLittleEndian(value, bytes.data());
    return bytes;
}

inline QByteArray be32(quint32 value)
{
    QByteArray bytes(4, '\0');
    qToBigEndian(value, bytes.data());
    return bytes;
}

inline QByteArray deflated(const QByteArray& raw)
{
    uLongf size = compressBound(uLong(raw.size()));
    QByteArray packed(int(size), '\0');
    compress2(reinterpret_cast<Bytef*>(packed.data()), &size,
              reinterpret_cast<const Bytef*>(raw.constData()), uLong(raw.size()), 9);
    packed.resize(int(size));
    return packed;
}

inline QByteArray pngChunk(const char* type, const QByteArray& data)
{
    const QByteArray body = QByteArray(type, 4) + data;
    return be32(quint32(data.size())) + body
        + be32(quint32(crc32(0, reinterpret_cast<const Bytef*>(body.constData()), uInt(body.size()))));
}

// A one-bit grey PNG of width x height whose rows are all zero; with pixels false its data
// stream holds only 16 bytes, whatever the size it declares.
inline QByteArray blackPng(quint32 width, quint32 height, bool withPixels = true)
{
    QByteArray header = be32(width) + be32(height);
    header += QByteArray("\x01\x00\x00\x00\x00", 5);  // depth 1, grey, no interlace
    const QByteArray raw = withPixels ? QByteArray(int((width + 7) / 8 + 1) * int(height), '\0')
                                      : QByteArray(16, '\0');
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", header)
        + pngChunk("IDAT", deflated(raw)) + pngChunk("IEND", QByteArray());
}

// A valid 40 x 30 PNG carrying count compressed text chunks (zTXt and iTXt by turns) that each
// inflate to textBytes: a few hundred kilobytes that cost gigabytes to a reader that inflates them.
inline QByteArray pngTextBomb(int count, int textBytes)
{
    const QByteArray png = testimages::encoded(testimages::filled(40, 30, Qt::darkRed), "png");
    const QByteArray packed = deflated(QByteArray(textBytes, 'a'));
    QByteArray chunks;
    for (int i = 0; i < count; ++i) {
        if (i % 2 == 0) {
            chunks += pngChunk("zTXt", QByteArray("Comment\0\0", 9) + packed);
        } else {
            chunks += pngChunk("iTXt", QByteArray("Comment\0\1\0\0\0", 12) + packed);
        }
    }
    const int afterHeader = 8 + 25;  // signature and IHDR chunk
    return png.left(afterHeader) + chunks + png.mid(afterHeader);
}

// The bits of an LZW stream that never lets its code width grow: a clear code before every two
// pixels of colour 0, codes of three bits, least significant bit first.
inline QByteArray gifPixelCodes(int pixels)
{
    QByteArray out;
    quint32 buffer = 0;
    int bits = 0;
    const auto put = [&](quint32 code) {
        buffer |= code << bits;
        bits += 3;
        while (bits >= 8) {
            out.append(char(buffer & 0xff));
            buffer >>= 8;
            bits -= 8;
        }
    };
    for (int i = 0; i < pixels; ++i) {
        if (i % 2 == 0) {
            put(4);  // clear
        }
        put(0);
    }
    put(5);  // end of information
    if (bits > 0) {
        out.append(char(buffer & 0xff));
    }
    return out;
}

// A GIF whose logical screen is screenWidth x screenHeight and whose one frame is frameWidth x
// frameHeight, holding pixels encoded pixels (the frame's own count makes an honest file).
inline QByteArray gif(quint16 screenWidth, quint16 screenHeight, quint16 frameWidth,
                      quint16 frameHeight, int pixels)
{
    QByteArray bytes("GIF89a");
    bytes += le16(screenWidth) + le16(screenHeight);
    bytes += QByteArray("\x81\x00\x00", 3);  // a global table of 4 colours
    bytes += QByteArray("\x00\x00\x00\xff\xff\xff\xff\x00\x00\x00\x00\xff", 12);
    bytes += QByteArray("\x2c", 1) + le16(0) + le16(0) + le16(frameWidth) + le16(frameHeight);
    bytes += QByteArray("\x00\x02", 2);  // no local table; smallest code size 2
    const QByteArray codes = gifPixelCodes(pixels);
    for (int at = 0; at < codes.size(); at += 255) {
        const QByteArray block = codes.mid(at, 255);
        bytes += char(block.size()) + block;
    }
    bytes += QByteArray("\x00\x3b", 2);
    return bytes;
}

// 29 bytes: a 1 x 1 screen, a 12000 x 12000 frame and no pixel data to speak of.
inline QByteArray gifSizeLie()
{
    QByteArray bytes("GIF89a");
    bytes += le16(1) + le16(1) + QByteArray("\x00\x00\x00", 3);
    bytes += QByteArray("\x2c", 1) + le16(0) + le16(0) + le16(12000) + le16(12000);
    bytes += QByteArray("\x00\x02\x02\x4c\x01\x00\x3b", 7);
    return bytes;
}

// An icon whose directory says 16 x 16 and whose only entry is a PNG of width x height.
inline QByteArray icoSizeLie(quint32 width, quint32 height)
{
    const QByteArray png = blackPng(width, height, false);
    QByteArray bytes = le16(0) + le16(1) + le16(1);
    bytes += QByteArray("\x10\x10\x00\x00", 4) + le16(1) + le16(32) + le32(quint32(png.size())) + le32(22);
    return bytes + png;
}

// A BMP file header and information header declaring width x height at 32 bits, followed by
// extra bytes only: 70 bytes for 16 extra, where the pixels would need width * height * 4.
inline QByteArray bmpWithoutPixels(qint32 width, qint32 height, int extra = 16)
{
    QByteArray info = le32(40) + le32(quint32(width)) + le32(quint32(height)) + le16(1) + le16(32)
        + le32(0) + le32(0) + le32(2835) + le32(2835) + le32(0) + le32(0);
    QByteArray bytes = QByteArray("BM") + le32(quint32(14 + 40 + extra)) + le32(0) + le32(54);
    return bytes + info + QByteArray(extra, '\0');
}

inline QByteArray progressiveJpeg(const QImage& picture)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setProgressiveScanWrite(true);
    writer.write(picture);
    return bytes;
}

// A progressive JPEG whose last scan is repeated copies more times: each copy is one more pass
// over the whole picture for a decoder.
inline QByteArray jpegScanBomb(int copies)
{
    const QByteArray jpeg = progressiveJpeg(testimages::filled(40, 30, Qt::darkGreen));
    const int lastScan = jpeg.lastIndexOf("\xff\xda");
    const int end = jpeg.lastIndexOf("\xff\xd9");
    return jpeg.left(end) + jpeg.mid(lastScan, end - lastScan).repeated(copies) + jpeg.mid(end);
}

// A real JPEG whose frame header is changed to declare width x height.
inline QByteArray jpegDeclaring(quint16 width, quint16 height)
{
    QByteArray jpeg = testimages::encoded(testimages::filled(40, 30, Qt::darkGreen), "jpg");
    const int frame = jpeg.indexOf("\xff\xc0");
    qToBigEndian<quint16>(height, jpeg.data() + frame + 5);
    qToBigEndian<quint16>(width, jpeg.data() + frame + 7);
    return jpeg;
}

// A 1 x 1 TIFF whose one directory holds entries of strip offsets, each pointing again at one
// table of count zeros: entries x count values to read out of a file of about 2 x count bytes.
inline QByteArray tiffSharingOneTable(int entries, int count)
{
    const auto entry = [](quint16 tag, quint32 values, quint32 valueOrOffset) {
        return le16(tag) + le16(3) + le32(values) + le32(valueOrOffset);
    };
    const quint32 table = 8;
    const quint32 directory = table + 2 * quint32(count);
    QByteArray tiff = QByteArray("II") + le16(42) + le32(directory) + QByteArray(2 * count, '\0');
    tiff += le16(quint16(entries));
    tiff += entry(256, 1, 1);   // width
    tiff += entry(257, 1, 1);   // height
    tiff += entry(259, 1, 3);   // fax compression: a byte may stand for a whole row
    tiff += entry(279, quint32(count), table); // strip byte counts
    for (int i = 4; i < entries; ++i) {
        tiff += entry(273, quint32(count), table); // strip offsets, the same again
    }
    return tiff + le32(0);
}

} // namespace hostilepictures
