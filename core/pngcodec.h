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
    // Large pictures are compressed as two strips at once; a private stRP chunk tells where the
    // second starts, so that decode can inflate them at once too.
    bool useTwoThreads = true;
};

// Writes picture as a standard PNG file: 8-bit grey, palette, RGB or RGBA (straight alpha), or
// 16-bit grey, RGB or RGBA for 16-bit formats; other formats are converted to the nearest of
// these first. Returns empty bytes for a null picture or when memory runs out. Any thread.
QByteArray encode(const QImage& picture);
QByteArray encode(const QImage& picture, const EncodeSettings& settings);

// True when bytes start with the PNG signature.
bool hasSignature(const QByteArray& bytes);

// How decode went about its work, for tests and benchmarks.
struct DecodeReport {
    // The pixel data was read as the two strips encode writes, one on a second thread; false
    // for a file without a valid stRP chunk, which is read in one piece.
    bool twoStrips = false;
    // The pixels, or a buffer they are read through, did not fit in memory.
    bool outOfMemory = false;
    // When not 0, the widest row a picture of the decoded format can have, which the file's is
    // wider than (a row's bytes are an int).
    int widestRow = 0;
};

// Reads a PNG file held in memory: any standard bit depth and colour type, tRNS transparency,
// interlaced or not. The declared size is checked against core::maximumPicturePixels and
// core::maximumPictureBytes before anything is allocated. The picture carries the colour space
// of an iCCP profile of up to 1 MiB that Qt can read (none when an sRGB chunk is present); other
// ancillary chunks are skipped unread.
// A file that encode wrote in two strips is read on two threads; the pixels, and which files
// are refused, are the same either way. When cancel is given it is polled between chunks and
// rows, and a set flag abandons the work. report, when given, is filled in.
// Returns a null image for damaged, oversized, cancelled or unsupported input. Any thread.
QImage decode(const QByteArray& bytes, const std::atomic<bool>* cancel = nullptr,
              DecodeReport* report = nullptr);

} // namespace core::png
