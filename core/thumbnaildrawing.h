#pragma once

#include <QImage>
#include <QSize>

#include <vector>

// Thumbnails of a picture, all drawn from one reduced copy of it. Any thread.
namespace core::package {

// The picture scaled smoothly into each size, keeping its aspect ratio, centred on white; one
// image per size, in the order given. A smooth (bilinear) draw reads two rows and two columns
// of the picture per thumbnail row and column; the reduced copy holds just those, so the
// picture is read once however many thumbnails are drawn. Samples sit where QPainter's smooth
// draw of the full picture puts them, with weights in 1/256; the painter rounds its weights to
// 1/16 in strong reductions, so pixels at sharp edges differ from its drawing by a few grey
// levels. The format is the picture's, or RGB32 (ARGB32_Premultiplied with an alpha channel)
// where a painter cannot draw into it. A null picture or an empty size gives a null image.
std::vector<QImage> makeThumbnails(const QImage& picture, const std::vector<QSize>& sizes);

// One thumbnail painted by QPainter from the full picture, as packages held them before:
// what makeThumbnails is measured against.
QImage paintThumbnail(const QImage& picture, const QSize& size);

} // namespace core::package
