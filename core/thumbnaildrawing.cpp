#include "core/thumbnaildrawing.h"

#include <QPainter>
#include <QRect>

#include <algorithm>
#include <cstring>

namespace core::package {

namespace {

bool painterCanDrawOn(QImage::Format format)
{
    return format != QImage::Format_Invalid && format != QImage::Format_Mono
        && format != QImage::Format_MonoLSB && format != QImage::Format_Indexed8;
}

// The thumbnail keeps the picture's pixel format, except where a painter cannot draw into it.
QImage::Format thumbnailFormat(const QImage& picture)
{
    if (painterCanDrawOn(picture.format())) {
        return picture.format();
    }
    return picture.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32;
}

// Where the picture lands in a thumbnail of the given size: letter-boxed and centred. A picture
// thinner than a thumbnail pixel once scaled keeps a pixel, so that it is drawn, not left out.
QRect fittedArea(const QSize& picture, const QSize& size)
{
    const QSize fitted = picture.scaled(size, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
    return QRect(QPoint((size.width() - fitted.width()) / 2, (size.height() - fitted.height()) / 2),
                 fitted);
}

// One axis of a smooth draw: for each thumbnail pixel, the two picture pixels it lies between
// and the weight of the second in 1/256. The sample sits at the thumbnail pixel's centre mapped
// into the picture, in 16.16 fixed point, as the raster engine computes it.
struct AxisSamples {
    std::vector<int> first;
    std::vector<int> second;
    std::vector<int> weight;
};

AxisSamples sampleAxis(int pictureLength, int fittedLength)
{
    AxisSamples samples;
    samples.first.resize(fittedLength);
    samples.second.resize(fittedLength);
    samples.weight.resize(fittedLength);
    const double scale = double(pictureLength) / fittedLength;
    for (int i = 0; i < fittedLength; ++i) {
        // 64 bits: a picture more than 32767 pixels long overflows a 16.16 int.
        const qint64 position = qint64((i + 0.5) * scale * 65536.0) - 32768;
        const qint64 whole = position >> 16;
        int first = int(std::clamp<qint64>(whole, 0, pictureLength - 1));
        int second = whole < 0 || whole >= pictureLength - 1 ? first : first + 1;
        samples.first[i] = first;
        samples.second[i] = second;
        samples.weight[i] = int((position & 0xffff) >> 8);
    }
    return samples;
}

// Which picture rows or columns any of the draws reads, in order. Sized by the thumbnails, not
// by the picture: a picture of 120 megapixels may be a single row.
struct Selection {
    std::vector<int> kept;

    // Where picture row or column index lands in the reduced copy; index is one of kept.
    int place(int index) const
    {
        return int(std::lower_bound(kept.begin(), kept.end(), index) - kept.begin());
    }
};

Selection select(const std::vector<AxisSamples>& axes)
{
    Selection selection;
    for (const AxisSamples& axis : axes) {
        selection.kept.insert(selection.kept.end(), axis.first.begin(), axis.first.end());
        selection.kept.insert(selection.kept.end(), axis.second.begin(), axis.second.end());
    }
    std::sort(selection.kept.begin(), selection.kept.end());
    selection.kept.erase(std::unique(selection.kept.begin(), selection.kept.end()), selection.kept.end());
    return selection;
}

// The kept rows and columns of the picture, premultiplied. Pixels are copied in the picture's
// own format and converted once, small; formats of less than a byte a pixel go through pixel().
QImage reducedCopy(const QImage& picture, const Selection& rows, const Selection& columns)
{
    const int width = int(columns.kept.size());
    const int height = int(rows.kept.size());
    const int depth = picture.depth();
    QImage copy;
    if (depth % 8 == 0) {
        copy = QImage(width, height, picture.format());
        if (copy.isNull()) {
            return QImage();
        }
        copy.setColorTable(picture.colorTable());
        const int bytes = depth / 8;
        for (int y = 0; y < height; ++y) {
            const uchar* from = picture.constScanLine(rows.kept[y]);
            uchar* to = copy.scanLine(y);
            if (bytes == 4) {
                const quint32* source = reinterpret_cast<const quint32*>(from);
                quint32* target = reinterpret_cast<quint32*>(to);
                for (int x = 0; x < width; ++x) {
                    target[x] = source[columns.kept[x]];
                }
                continue;
            }
            for (int x = 0; x < width; ++x) {
                std::memcpy(to + x * bytes, from + columns.kept[x] * bytes, bytes);
            }
        }
    } else {
        copy = QImage(width, height, QImage::Format_ARGB32);
        if (copy.isNull()) {
            return QImage();
        }
        for (int y = 0; y < height; ++y) {
            QRgb* to = reinterpret_cast<QRgb*>(copy.scanLine(y));
            for (int x = 0; x < width; ++x) {
                to[x] = picture.pixel(columns.kept[x], rows.kept[y]);
            }
        }
    }
    return copy.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

// a + (b - a) * weight / 256 on each of the four 8-bit channels, truncated as the raster
// engine does.
inline QRgb mix(QRgb a, QRgb b, int weight)
{
    const uint keep = 256 - weight;
    const uint redBlue = (((a & 0x00ff00ff) * keep + (b & 0x00ff00ff) * weight) >> 8) & 0x00ff00ff;
    const uint alphaGreen = (((a >> 8) & 0x00ff00ff) * keep + ((b >> 8) & 0x00ff00ff) * weight) & 0xff00ff00;
    return redBlue | alphaGreen;
}

// A premultiplied pixel laid over white.
inline QRgb overWhite(QRgb pixel)
{
    const uint uncovered = 255 - qAlpha(pixel);
    return 0xff000000u | ((qRed(pixel) + uncovered) << 16) | ((qGreen(pixel) + uncovered) << 8)
        | (qBlue(pixel) + uncovered);
}

QImage drawFromCopy(const QImage& copy, qint64 pictureWidth, const QImage::Format format, const QSize& size,
                    const QRect& area, const AxisSamples& across, const AxisSamples& down,
                    const Selection& rows, const Selection& columns)
{
    QImage thumbnail(size, QImage::Format_RGB32);
    if (thumbnail.isNull()) {
        return QImage();
    }
    thumbnail.fill(Qt::white);
    // Enlargements and reductions to no less than half mix each column's two rows first,
    // stronger reductions each row's two columns first: the order the raster engine uses, so
    // that truncation lands the same way.
    const bool mild = pictureWidth <= 2 * qint64(area.width());
    std::vector<int> lefts(area.width());
    std::vector<int> rights(area.width());
    for (int x = 0; x < area.width(); ++x) {
        lefts[x] = columns.place(across.first[x]);
        rights[x] = columns.place(across.second[x]);
    }
    for (int y = 0; y < area.height(); ++y) {
        const QRgb* top = reinterpret_cast<const QRgb*>(copy.constScanLine(rows.place(down.first[y])));
        const QRgb* bottom = reinterpret_cast<const QRgb*>(copy.constScanLine(rows.place(down.second[y])));
        const int weightDown = down.weight[y];
        QRgb* out = reinterpret_cast<QRgb*>(thumbnail.scanLine(area.y() + y)) + area.x();
        for (int x = 0; x < area.width(); ++x) {
            const int left = lefts[x];
            const int right = rights[x];
            const int weightAcross = across.weight[x];
            const QRgb pixel = mild
                ? mix(mix(top[left], bottom[left], weightDown), mix(top[right], bottom[right], weightDown),
                      weightAcross)
                : mix(mix(top[left], top[right], weightAcross), mix(bottom[left], bottom[right], weightAcross),
                      weightDown);
            out[x] = overWhite(pixel);
        }
    }
    return format == QImage::Format_RGB32 ? thumbnail : thumbnail.convertToFormat(format);
}

} // namespace

std::vector<QImage> makeThumbnails(const QImage& picture, const std::vector<QSize>& sizes)
{
    std::vector<QImage> thumbnails(sizes.size());
    if (picture.isNull()) {
        return thumbnails;
    }
    std::vector<QRect> areas(sizes.size());
    std::vector<AxisSamples> across;
    std::vector<AxisSamples> down;
    for (size_t i = 0; i < sizes.size(); ++i) {
        if (sizes[i].isEmpty()) {
            continue;
        }
        areas[i] = fittedArea(picture.size(), sizes[i]);
        across.push_back(sampleAxis(picture.width(), areas[i].width()));
        down.push_back(sampleAxis(picture.height(), areas[i].height()));
    }
    if (across.empty()) {
        return thumbnails;
    }
    const Selection columns = select(across);
    const Selection rows = select(down);
    const QImage copy = reducedCopy(picture, rows, columns);
    if (copy.isNull()) {
        return thumbnails;
    }
    const QImage::Format format = thumbnailFormat(picture);
    size_t drawn = 0;
    for (size_t i = 0; i < sizes.size(); ++i) {
        if (sizes[i].isEmpty()) {
            continue;
        }
        thumbnails[i] = drawFromCopy(copy, picture.width(), format, sizes[i], areas[i], across[drawn], down[drawn],
                                     rows, columns);
        ++drawn;
    }
    return thumbnails;
}

QImage paintThumbnail(const QImage& picture, const QSize& size)
{
    if (picture.isNull() || size.isEmpty()) {
        return QImage();
    }
    QImage thumbnail(size, thumbnailFormat(picture));
    if (thumbnail.isNull()) {
        return QImage();
    }
    thumbnail.fill(Qt::white);
    QPainter painter(&thumbnail);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    painter.drawImage(fittedArea(picture.size(), size), picture);
    painter.end();
    return thumbnail;
}

} // namespace core::package
