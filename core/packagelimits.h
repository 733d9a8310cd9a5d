#pragma once

#include "core/imagefiles.h"

#include <QSize>
#include <QString>
#include <QtGlobal>

// The bounds a package must keep to be opened. The loader refuses what passes them, and a save
// checks what it wrote against the same numbers, so that nothing saved fails to open again.
// The picture's own bounds (maximumPicturePixels, maximumPictureBytes, maximumJpegScans) are
// those of every picture read, in imagefiles.h. Any thread.
namespace core::package {

// A member may not make the loader allocate more than this, whatever its header says.
constexpr quint32 maximumMemberSize = quint32(256) << 20;
// The documents of a package are a few kilobytes; parsing inflates JSON many times in memory,
// so they get a far lower bound than the picture.
constexpr quint32 maximumDocumentSize = quint32(8) << 20;
// Deflate cannot expand one compressed byte into more than 1032 bytes.
constexpr quint64 maximumDeflateRatio = 1032;
// No decoded pixel takes more than 64-bit RGBA.
constexpr qint64 widestDecodedPixelBytes = 8;

// Why a picture of this size would be refused when its package is opened, whatever pixel
// format it decodes to: "picture larger than 120 megapixels"; empty when it is within bounds.
QString pictureSizeProblem(const QSize& size);

// Why a member declaring these sizes would be refused: "member NAME is empty", "member NAME
// declares N bytes, at most L allowed", or more than its compressed bytes hold; empty when
// it is within bounds.
QString declaredSizeProblem(const QString& name, quint32 uncompressedSize, quint32 compressedSize,
                            quint32 limit);

} // namespace core::package
