#include "cli/pictureintake.h"

#include "cli/inputfile.h"
#include "cli/packagereading.h"

#include "core/imagefiles.h"
#include "core/pictureheaders.h"
#include "core/pngcodec.h"
#include "video/videoreader.h"

#include <QFile>
#include <QImageReader>

#include <cerrno>
#include <new>

namespace cli {

namespace {

struct Reading {
    const QString* file = nullptr;
    bool sizeProbe = false;
};
thread_local Reading reading;

// The PNG signature and the header chunk, which holds the picture's size.
constexpr qint64 pngHeaderBytes = 8 + 25;

// Names the file for the decoders' messages while it is read on this thread.
class ReadingFile
{
public:
    ReadingFile(const QString& path, bool sizeProbe)
        : m_previous(reading)
    {
        reading = Reading{&path, sizeProbe};
    }
    ~ReadingFile() { reading = m_previous; }
    ReadingFile(const ReadingFile&) = delete;
    ReadingFile& operator=(const ReadingFile&) = delete;

private:
    Reading m_previous;
};

// A package by its name (one the loader refuses too), or one the loader accepts whatever its name.
bool isPackage(const QString& path, const QString& readPath)
{
    return path.endsWith(QLatin1String(".pmk"), Qt::CaseInsensitive) || readCheckedPackage(readPath).result.ok;
}

} // namespace

PictureBeingRead pictureBeingRead()
{
    return reading.file ? PictureBeingRead{*reading.file, reading.sizeProbe} : PictureBeingRead{};
}

Picture readPicture(const QString& path)
{
    const ReadingFile readingFile(path, false);
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
    if (picture.image.isNull() && decoding.reason == core::unknownFormatReason()) {
        if (video::looksLikeVideo(path) || video::startsAsVideo(input.readPath())) {
            picture.failure = QStringLiteral("not a picture but a video (facemask-cli track reads videos)");
        } else if (isPackage(path, input.readPath())) {
            picture.failure = QStringLiteral("not a picture but a package (facemask-cli info and points read packages)");
        } else {
            picture.failure = QStringLiteral("not a picture in a format that can be read");
        }
    } else if (picture.image.isNull()) {
        picture.failure = decoding.reason;
    }
    return picture;
}

QSize declaredPictureSize(const QString& path)
{
    const ReadingFile readingFile(path, true);
    const InputFile input(path);
    if (!input.failure().isEmpty()) {
        return QSize();
    }
    // A PNG's size is in its first bytes, read as the intake reads it: Qt's reader refuses a side
    // over a million pixels (a strip the intake takes), and says so on stderr.
    QFile file(input.readPath());
    if (file.open(QIODevice::ReadOnly)) {
        const QByteArray start = file.read(pngHeaderBytes);
        if (core::png::hasSignature(start)) {
            return core::readPictureHeader(start).size;
        }
    }
    QImageReader reader(input.readPath());
    reader.setDecideFormatFromContent(true);
    return reader.size();
}

} // namespace cli
