#include "pictureintake.h"

#include "imagefiles.h"
#include "pictureheaders.h"

namespace cli {

Picture readPicture(const QString& path)
{
    const core::ImageDecoding decoding = core::readPictureFile(path);
    Picture picture;
    picture.image = decoding.picture;
    if (picture.image.isNull()) {
        picture.failure = decoding.reason == core::unknownFormatReason()
            ? QStringLiteral("not a picture in a format that can be read")
            : decoding.reason;
    }
    return picture;
}

} // namespace cli
