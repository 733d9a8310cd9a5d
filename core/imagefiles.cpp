#include "imagefiles.h"

#include "pngcodec.h"

#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QImageReader>
#include <QString>

namespace core {

namespace {

bool isSet(const std::atomic_bool* cancel)
{
    return cancel && cancel->load();
}

// Reads fail once cancel is set. Every Qt decoder then stops early: PNG with an error, JPEG
// with the rest of the file taken as missing.
template <typename Device>
class CancellableDevice : public Device
{
public:
    template <typename Source>
    CancellableDevice(Source source, const std::atomic_bool* cancel)
        : Device(source), m_cancel(cancel)
    {
    }

protected:
    qint64 readData(char* data, qint64 length) override
    {
        return isSet(m_cancel) ? -1 : Device::readData(data, length);
    }

private:
    const std::atomic_bool* m_cancel;
};

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
QString declaredSizeProblem(const QImageReader& reader)
{
    const QSize size = reader.size();
    if (!size.isValid() || size.isEmpty()) {
        return QStringLiteral("picture: size unreadable");
    }
    const qint64 pixels = qint64(size.width()) * qint64(size.height());
    if (pixels > maximumPicturePixels) {
        return QStringLiteral("picture larger than %1 megapixels")
            .arg(maximumPicturePixels / 1'000'000);
    }
    if (pixels * bytesPerPixel(reader.imageFormat()) > maximumPictureBytes) {
        return QStringLiteral("picture larger than %1 MiB in memory")
            .arg(maximumPictureBytes >> 20);
    }
    return QString();
}

ImageDecoding readBounded(QImageReader& reader, bool upright, const std::atomic_bool* cancel)
{
    reader.setAutoTransform(upright);
    QString problem;
    QImage picture;
    if (!reader.canRead()) {
        problem = QStringLiteral("picture: format not readable");
    } else if (problem = declaredSizeProblem(reader); problem.isEmpty()) {
        if (!reader.read(&picture) || picture.isNull()) {
            problem = QStringLiteral("picture: cannot be decoded");
        }
    }
    // A cancelled read fails wherever it happens to be, and a cancelled JPEG even "succeeds",
    // with the unread part grey.
    if (isSet(cancel)) {
        return {QImage(), QStringLiteral("picture: cancelled")};
    }
    if (!problem.isEmpty()) {
        return {QImage(), problem};
    }
    return {picture, QString()};
}

enum class PictureKind { Png, Jpeg, Other };

PictureKind kindOf(const QByteArray& bytes)
{
    if (bytes.startsWith(QByteArray::fromRawData("\x89PNG\r\n\x1a\n", 8))) {
        return PictureKind::Png;
    }
    if (bytes.startsWith(QByteArray::fromRawData("\xff\xd8\xff", 3))) {
        return PictureKind::Jpeg;
    }
    return PictureKind::Other;
}

bool isStandaloneMarker(uchar marker)
{
    // Stuffed zero, TEM, SOI and the restart markers carry no length.
    return marker == 0x00 || marker == 0x01 || marker == 0xd8 || (marker >= 0xd0 && marker <= 0xd7);
}

// The start-of-scan markers of a JPEG, walked segment by segment as a decoder does; the bytes
// of entropy-coded data are passed one at a time. Stops counting once above limit.
int jpegScanCount(const QByteArray& bytes, int limit)
{
    const auto* data = reinterpret_cast<const uchar*>(bytes.constData());
    const qint64 size = bytes.size();
    int scans = 0;
    for (qint64 at = 2; at + 1 < size && scans <= limit;) {
        const uchar marker = data[at + 1];
        if (data[at] != 0xff || marker == 0xff) {
            ++at;  // entropy-coded data or fill bytes
        } else if (marker == 0xd9) {
            break;  // end of image
        } else if (isStandaloneMarker(marker)) {
            at += 2;
        } else {
            if (marker == 0xda) {
                ++scans;
            }
            const qint64 length = at + 3 < size ? (data[at + 2] << 8) | data[at + 3] : 0;
            at += 2 + length;
        }
    }
    return scans;
}

// PNG, the format packages store, goes through our own bounded reader, which never inflates
// text chunks and checks the declared size before it allocates. Qt's reader only reads the
// header again to name the reason of a refusal.
ImageDecoding decodePng(const QByteArray& bytes, const std::atomic_bool* cancel)
{
    const QImage picture = png::decode(bytes, cancel);
    if (isSet(cancel)) {
        return {QImage(), QStringLiteral("picture: cancelled")};
    }
    if (!picture.isNull()) {
        return {picture, QString()};
    }
    QByteArray data = bytes;
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "png");
    const QString sizeProblem = reader.canRead() ? declaredSizeProblem(reader) : QString();
    return {QImage(), sizeProblem.isEmpty() ? QStringLiteral("picture: cannot be decoded") : sizeProblem};
}

} // namespace

QImage readImageFile(const QString& path, const std::atomic_bool* cancel)
{
    // A QFile gives the reader the name, so the format is still taken from the suffix first.
    CancellableDevice<QFile> file(path, cancel);
    if (!file.open(QIODevice::ReadOnly)) {
        return QImage();
    }
    QImageReader reader(&file);
    return readBounded(reader, true, cancel).picture;
}

ImageDecoding decodePackagePicture(const QByteArray& bytes, const std::atomic_bool* cancel)
{
    const PictureKind kind = kindOf(bytes);
    if (kind == PictureKind::Other) {
        return {QImage(), QStringLiteral("picture: not PNG or JPEG")};
    }
    if (kind == PictureKind::Jpeg && jpegScanCount(bytes, maximumJpegScans) > maximumJpegScans) {
        return {QImage(), QStringLiteral("picture: JPEG of more than %1 scans").arg(maximumJpegScans)};
    }
    if (kind == PictureKind::Png) {
        return decodePng(bytes, cancel);
    }
    QByteArray data = bytes;  // shares the bytes; QBuffer wants a non-const array
    CancellableDevice<QBuffer> buffer(&data, cancel);
    if (!buffer.open(QIODevice::ReadOnly)) {
        return {QImage(), QStringLiteral("picture: cannot be decoded")};
    }
    QImageReader reader(&buffer, kind == PictureKind::Png ? "png" : "jpeg");
    // Only the format the content names is tried, never a guess from the whole plugin list.
    reader.setAutoDetectImageFormat(false);
    // The points of a package refer to the picture's pixels as stored; turning it by an
    // orientation tag would move every point onto another feature.
    return readBounded(reader, false, cancel);
}

QImage decodeImage(const QByteArray& bytes)
{
    return decodePackagePicture(bytes).picture;
}

} // namespace core
