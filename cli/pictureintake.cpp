#include "pictureintake.h"

#include "imagefiles.h"

#include <QFile>
#include <QFileInfo>
#include <QImageReader>

namespace cli {

namespace {

// Only asked once reading failed, so it costs nothing on the common path.
QString failureOf(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists()) {
        return QStringLiteral("no such file");
    }
    if (info.isDir()) {
        return QStringLiteral("is a folder");
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return QStringLiteral("cannot be opened: ") + file.errorString();
    }
    QImageReader reader(&file);
    reader.setDecideFormatFromContent(true);
    if (!reader.canRead()) {
        return QStringLiteral("not a picture in a format that can be read");
    }
    const QSize size = reader.size();
    if (size.isValid() && qint64(size.width()) * size.height() > core::maximumPicturePixels) {
        return QStringLiteral("picture larger than %1 megapixels").arg(core::maximumPicturePixels / 1'000'000);
    }
    return QStringLiteral("the picture does not decode");
}

} // namespace

Picture readPicture(const QString& path)
{
    Picture picture;
    picture.image = core::readImageFile(path);
    if (picture.image.isNull()) {
        picture.failure = failureOf(path);
    }
    return picture;
}

} // namespace cli
