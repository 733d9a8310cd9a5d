#pragma once

#include <QImage>

#include <atomic>

class QByteArray;

namespace core::png {

// How rows are filtered before Deflate. Up costs one subtraction per byte and decodes fastest;
// Adaptive tries every filter per row and keeps the one with the smallest sum of magnitudes.
enum class Filter { None, Sub, Up, Paeth, Adaptive };

struct EncodeSettings {
    int level = 1;          // Deflate level, 0 (stored) to 12
    Filter filter = Filter::Up;
    bool useTwoThreads = true;  // large pictures are compressed as two strips at once
};

// Writes picture as a standard PNG file: 8-bit grey, palette, RGB or RGBA (straight alpha), or
// 16-bit grey, RGB or RGBA for 16-bit formats; other formats are converted to the nearest of
// these first. Returns empty bytes for a null picture or when memory runs out. Any thread.
QByteArray encode(const QImage& picture);
QByteArray encode(const QImage& picture, const EncodeSettings& settings);

// True when bytes start with the PNG signature.
bool hasSignature(const QByteArray& bytes);

// Reads a PNG file held in memory: any standard bit depth and colour type, tRNS transparency,
// interlaced or not. The declared size is checked against core::maximumPicturePixels and
// core::maximumPictureBytes before anything is allocated; ancillary chunks are skipped unread.
// When cancel is given it is polled between chunks and rows, and a set flag abandons the work.
// Returns a null image for damaged, oversized, cancelled or unsupported input. Any thread.
QImage decode(const QByteArray& bytes, const std::atomic<bool>* cancel = nullptr);

} // namespace core::png
