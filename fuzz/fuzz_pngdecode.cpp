// Fuzz target of the PNG reader on the in-memory input. Whatever it decodes is written again and
// read back, and must come back with the same pixels: a mismatch is a bug of the writer or the
// reader, as is any out-of-bounds access or undefined behaviour. The seeds named two-strips-*
// carry the stRP chunk of files written in two strips (right, pointing inside a Deflate block,
// naming the wrong row, and zlib's own full flush), so that mutations reach the reader that
// inflates both strips at once on two threads.

#include "core/pngcodec.h"

#include <QByteArray>
#include <QImage>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

constexpr size_t kMaxInput = 1 << 20;

QImage comparable(const QImage& picture)
{
    const bool wide = picture.depth() > 32 || picture.format() == QImage::Format_Grayscale16;
    return picture.convertToFormat(wide ? QImage::Format_RGBA64 : QImage::Format_ARGB32);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > kMaxInput)
        return 0;
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size));
    const QImage picture = core::png::decode(bytes);
    if (picture.isNull())
        return 0;
    const QByteArray written = core::png::encode(picture);
    const QImage again = core::png::decode(written);
    if (written.isEmpty() || again.isNull() || comparable(again) != comparable(picture))
        std::abort();
    return 0;
}
