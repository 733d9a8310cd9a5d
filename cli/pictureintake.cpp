#include "pictureintake.h"

#include "inputfile.h"

#include "imagefiles.h"

#include <QFile>
#include <QImageReader>

#include <cerrno>
#include <new>

namespace cli {

namespace {

// Only asked once reading failed, so it costs nothing on the common path. path names a regular
// file that could be opened.
QString failureOf(const QString& path)
{
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
    const InputFile input(path);
    if (!input.failure().isEmpty()) {
        picture.failure = input.failure();
        return picture;
    }
    errno = 0;
    try {
        picture.image = core::readImageFile(input.readPath());
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
    }
    // The decoders report a failed allocation as a null picture; malloc leaves ENOMEM.
    if (picture.image.isNull() && errno == ENOMEM) {
        picture.failure = QStringLiteral("out of memory");
        return picture;
    }
    if (picture.image.isNull()) {
        picture.failure = failureOf(input.readPath());
    }
    return picture;
}

QSize declaredPictureSize(const QString& path)
{
    const InputFile input(path);
    if (!input.failure().isEmpty()) {
        return QSize();
    }
    QImageReader reader(input.readPath());
    reader.setDecideFormatFromContent(true);
    return reader.size();
}

} // namespace cli
