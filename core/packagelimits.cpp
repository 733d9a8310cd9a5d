#include "core/packagelimits.h"

namespace core::package {

QString pictureSizeProblem(const QSize& size)
{
    if (size.isEmpty()) {
        return QStringLiteral("picture: size unreadable");
    }
    const qint64 pixels = qint64(size.width()) * qint64(size.height());
    if (pixels > maximumPicturePixels) {
        return QStringLiteral("picture larger than %1 megapixels")
            .arg(maximumPicturePixels / 1'000'000);
    }
    if (pixels * widestDecodedPixelBytes > maximumPictureBytes) {
        return QStringLiteral("picture larger than %1 MiB in memory")
            .arg(maximumPictureBytes >> 20);
    }
    return QString();
}

QString declaredSizeProblem(const QString& name, quint32 uncompressedSize, quint32 compressedSize,
                            quint32 limit)
{
    if (uncompressedSize == 0) {
        return QStringLiteral("member %1 is empty").arg(name);
    }
    if (uncompressedSize > limit) {
        return QStringLiteral("member %1 declares %2 bytes, at most %3 allowed")
            .arg(name)
            .arg(uncompressedSize)
            .arg(limit);
    }
    if (uncompressedSize > quint64(compressedSize) * maximumDeflateRatio) {
        return QStringLiteral("member %1 declares %2 bytes, more than its %3 compressed bytes hold")
            .arg(name)
            .arg(uncompressedSize)
            .arg(compressedSize);
    }
    return QString();
}

} // namespace core::package
