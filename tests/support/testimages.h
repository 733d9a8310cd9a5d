#pragma once
// Pictures made inside tests.

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QString>

namespace testimages {

inline QImage filled(int width, int height, QColor colour, QImage::Format format = QImage::Format_RGB32)
{
    QImage image(width, height, format);
    image.fill(colour);
    return image;
}

inline QByteArray encoded(const QImage& image, const char* format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

// A JPEG of image whose EXIF block says "rotate 90 degrees clockwise to view" (orientation 6),
// as a phone camera writes it for a portrait photograph.
inline QByteArray jpegWithExifOrientation(const QImage& image, quint16 orientation)
{
    const QByteArray jpeg = encoded(image, "jpg");
    QByteArray tiff;
    tiff.append("II*\0", 4);                    // little-endian TIFF header
    tiff.append("\x08\x00\x00\x00", 4);         // first IFD at offset 8
    tiff.append("\x01\x00", 2);                 // one entry
    tiff.append("\x12\x01\x03\x00", 4);         // tag 0x0112 Orientation, type SHORT
    tiff.append("\x01\x00\x00\x00", 4);         // count 1
    tiff.append(char(orientation & 0xff));
    tiff.append(char(orientation >> 8));
    tiff.append("\x00\x00", 2);                 // value padding
    tiff.append("\x00\x00\x00\x00", 4);         // no next IFD
    QByteArray app1("Exif\0\0", 6);
    app1.append(tiff);
    const int segmentLength = app1.size() + 2;
    QByteArray segment("\xFF\xE1", 2);
    segment.append(char(segmentLength >> 8));
    segment.append(char(segmentLength & 0xff));
    segment.append(app1);
    return jpeg.left(2) + segment + jpeg.mid(2); // right after the start-of-image marker
}

inline QString testPicture(const char* name)
{
    return QStringLiteral(FACEMASK_TEST_DATA_DIR "/faces/") + QLatin1String(name);
}

} // namespace testimages
