#pragma once

#include <QImage>

class QByteArray;
class QString;

namespace core {

// Pictures larger than this are refused before any pixel is decoded: a small file can declare
// a picture far bigger than the memory of the machine, and decoding would try to allocate it.
constexpr qint64 maximumPicturePixels = 100'000'000;
constexpr qint64 maximumPictureBytes = qint64(1) << 30;

// Reads the picture in the file at path, turned upright by its orientation tag. The format is
// taken from the name and, failing that, from the content. Returns a null image when the file
// cannot be read, is not a picture, or declares a size above the bounds. Any thread.
QImage readImageFile(const QString& path);

// Decodes a picture held in memory, its format detected from the content alone, with its pixels
// as stored (an orientation tag is not applied). Returns a null image on the same failures as
// readImageFile. Any thread.
QImage decodeImage(const QByteArray& bytes);

} // namespace core
