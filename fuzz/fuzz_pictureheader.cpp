// Fuzz target of the picture header reader on the in-memory input. Whatever it accepts must be
// within the bounds it promises, and a refused picture must say why; any out-of-bounds access or
// undefined behaviour is a bug too. Nothing is decoded: the reader's job is to decide before that.

#include "core/imagefiles.h"
#include "core/pictureheaders.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

constexpr size_t kMaxInput = 1 << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > kMaxInput)
        return 0;
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size));
    const core::PictureHeader header = core::readPictureHeader(bytes);
    if (header.refusal.isEmpty()) {
        const qint64 pixels = qint64(header.size.width()) * header.size.height();
        if (header.format.isEmpty() || header.size.isEmpty() || pixels > core::maximumPicturePixels
            || header.decodedBytes > core::maximumPictureBytes)
            std::abort();
    } else if (!header.format.isEmpty() || !header.size.isEmpty()) {
        std::abort();
    }
    return 0;
}
