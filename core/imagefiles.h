#pragma once

#include <QImage>
#include <QString>

#include <atomic>

class QByteArray;

namespace core {

// Pictures larger than this are refused before any pixel is decoded: a small file can declare
// a picture far bigger than the memory of the machine, and decoding would try to allocate it.
// The bound leaves room for the 108-megapixel photos of today's largest camera sensors
// (12000 x 9000), so that what the program saves it can open again.
constexpr qint64 maximumPicturePixels = 120'000'000;
constexpr qint64 maximumPictureBytes = qint64(1) << 30;
// A progressive JPEG is refined over about ten scans, and every scan costs a pass over the
// whole picture; a file of a few kilobytes can list thousands of empty ones.
constexpr int maximumJpegScans = 100;

// Picture files longer than this are refused before they are read: no picture within the
// bounds above needs more, even stored without compression.
constexpr qint64 maximumPictureFileBytes = maximumPictureBytes;

// A decoded picture, or the reason it was not decoded.
struct ImageDecoding {
    QImage picture;  // null on failure
    QString reason;  // empty on success; otherwise a phrase such as "not a regular file" or
                     // one starting with "picture" that names the check that refused it
    // On success, what is amiss with a picture taken all the same (a JPEG cut short decodes
    // with its missing part grey); else empty.
    QString warning = QString();
};

// Reads the picture file at path, turned upright by its orientation tag. Only a regular file is
// read: it is opened without waiting, so a FIFO or a device is refused at once, never blocks.
// The format is taken from the content, and the file's own headers are checked
// (readPictureHeader) before anything is decoded. Fails with the reason, or "picture: cancelled"
// when cancel (when not null) is set while reading. Any thread.
ImageDecoding readPictureFile(const QString& path, const std::atomic_bool* cancel = nullptr);

// The same for the bytes of a whole picture file held in memory, e.g. pasted encoded data.
ImageDecoding decodePictureFile(const QByteArray& bytes, const std::atomic_bool* cancel = nullptr);

// Converts the pixels of a picture that carries a colour profile other than sRGB (a phone's
// Display P3, a camera's Adobe RGB) to sRGB, the colours packages and their readers assume.
// A picture without a profile, or with one Qt cannot read, is left as it is. Any thread.
void convertToStandardColours(QImage& picture);

// Why a picture that arrives already decoded would be refused by the bounds above; empty when
// it is within them. Any thread.
QString decodedPictureProblem(const QImage& picture);

// True when reason says there was no picture at all (a missing file, content in no picture
// format), as opposed to a picture or file refused by one of the checks. Any thread.
bool isNoPicture(const QString& reason);

// readPictureFile's picture.
QImage readImageFile(const QString& path, const std::atomic_bool* cancel = nullptr);

// Decodes a package picture held in memory, with its pixels as stored (an orientation tag is
// not applied). Only PNG and JPEG are decoded, as told by their content, and only after the
// same header checks as picture files. Fails on the bounds above, on damaged data and
// when cancel (when not null) is set while decoding. Any thread.
ImageDecoding decodePackagePicture(const QByteArray& bytes,
                                   const std::atomic_bool* cancel = nullptr);

// decodePackagePicture's picture.
QImage decodeImage(const QByteArray& bytes);

} // namespace core
