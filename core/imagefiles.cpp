#include "imagefiles.h"

#include "pngcodec.h"

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>
#include <QString>

namespace core {

namespace {

qint64 bytesPerPixel(QImage::Format format)
{
    // An unknown format may decode to anything up to 64-bit RGBA.
    if (format == QImage::Format_Invalid) {
        return 8;
    }
    const int bits = QImage::toPixelFormat(format).bitsPerPixel();
    return bits <= 8 ? 1 : (bits + 7) / 8;
}

// The declared size is read from the header only. A reader that cannot tell the size without
// decoding is refused too: there is then no way to know what decoding would allocate.
bool declaredSizeIsAcceptable(const QImageReader& reader)
{
    const QSize size = reader.size();
    if (!size.isValid() || size.isEmpty()) {
        return false;
    }
    const qint64 pixels = qint64(size.width()) * qint64(size.height());
    if (pixels > maximumPicturePixels) {
        return false;
    }
    return pixels * bytesPerPixel(reader.imageFormat()) <= maximumPictureBytes;
}

QImage readBounded(QImageReader& reader, bool upright)
{
    reader.setAutoTransform(upright);
    if (!reader.canRead() || !declaredSizeIsAcceptable(reader)) {
        return QImage();
    }
    QImage picture;
    if (!reader.read(&picture)) {
        return QImage();
    }
    return picture;
}

} // namespace

QImage readImageFile(const QString& path)
{
    QImageReader reader(path);
    return readBounded(reader, true);
}

QImage decodeImage(const QByteArray& bytes)
{
    // PNG, the format packages store, goes through the bounded reader of our own, which never
    // inflates text chunks and checks the size before it allocates.
    if (png::hasSignature(bytes)) {
        return png::decode(bytes);
    }
    QByteArray data = bytes;  // shares the bytes; QBuffer wants a non-const array
    QBuffer buffer(&data);
    if (!buffer.open(QIODevice::ReadOnly)) {
        return QImage();
    }
    QImageReader reader(&buffer);
    reader.setDecideFormatFromContent(true);
    // The points of a package refer to the picture's pixels as stored; turning it by an
    // orientation tag would move every point onto another feature.
    return readBounded(reader, false);
}

} // namespace core
