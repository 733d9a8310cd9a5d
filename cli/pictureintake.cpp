#include "cli/pictureintake.h"

#include "cli/inputfile.h"

#include "core/imagefiles.h"
#include "core/pictureheaders.h"

#include <QFile>
#include <QImageReader>

#include <cerrno>
#include <new>

namespace cli {

Picture readPicture(const QString& path)
{
    Picture picture;
    const InputFile input(path);
    if (!input.failure().isEmpty()) {
        picture.failure = input.failure();
        return picture;
    }
    core::ImageDecoding decoding;
    try {
        decoding = core::readPictureFile(input.readPath());
    } catch (const std::bad_alloc&) {
        picture.failure = QStringLiteral("out of memory");
        return picture;
    }
    picture.image = decoding.picture;
    picture.warning = decoding.warning;
    if (picture.image.isNull()) {
        picture.failure = decoding.reason == core::unknownFormatReason()
            ? QStringLiteral("not a picture in a format that can be read")
            : decoding.reason;
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
