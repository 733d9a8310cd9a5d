#pragma once

// Lets dlib read a QImage in place, without copying its pixels into a dlib image.
// The view is read-only and valid only for QImage::Format_RGB888 (red, green, blue bytes per
// pixel, rows bytesPerLine() apart, so padded rows are stepped over). Callers convert other
// formats first; every function here asserts the format in debug builds.
// Include this header only in translation units that already use dlib.

#include <QImage>

#include <dlib/image_processing/generic_image.h>
#include <dlib/pixel.h>

namespace dlib {

template <>
struct image_traits<QImage> {
    typedef rgb_pixel pixel_type;
};

} // namespace dlib

// Found by argument-dependent lookup from dlib's templates, since QImage lives in the global
// namespace. No non-const image_data is given: a mutable view would make QImage detach (copy).
inline long num_rows(const QImage& img)
{
    Q_ASSERT(img.isNull() || img.format() == QImage::Format_RGB888);
    return img.height();
}

inline long num_columns(const QImage& img)
{
    return img.width();
}

inline long width_step(const QImage& img)
{
    return img.bytesPerLine();
}

inline const void* image_data(const QImage& img)
{
    Q_ASSERT(img.isNull() || img.format() == QImage::Format_RGB888);
    return img.constBits();
}
