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

// Reads the picture in the file at path, turned upright by its orientation tag. The format is
// taken from the name and, failing that, from the content. Returns a null image when the file
// cannot be read, is not a picture, declares a size above the bounds, or cancel (when not
// null) is set while reading. Any thread.
QImage readImageFile(const QString& path, const std::atomic_bool* cancel = nullptr);

// A decoded picture, or the reason it was not decoded.
struct ImageDecoding {
    QImage picture;  // null on failure
    QString reason;  // empty on success; otherwise a phrase starting with "picture"
};

// Decodes a package picture held in memory, with its pixels as stored (an orientation tag is
// not applied). Only PNG and JPEG are decoded, as told by their content: other formats cannot
// all report their true size before decoding. Fails on the bounds above, on damaged data and
// when cancel (when not null) is set while decoding. Any thread.
ImageDecoding decodePackagePicture(const QByteArray& bytes,
                                   const std::atomic_bool* cancel = nullptr);

// decodePackagePicture's picture.
QImage decodeImage(const QByteArray& bytes);

} // namespace core
