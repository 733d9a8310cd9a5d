// Fuzz target of the archive reader on the in-memory input: open, describe and look up every
// member, and extract each in pieces. Any out-of-bounds read or undefined behaviour is a bug.

#include "zip/ziparchive.h"

#include <cstddef>
#include <cstdint>

namespace {

constexpr size_t kMaxInput = 1 << 20;
constexpr int32_t kMaxMembers = 4096;
constexpr uint64_t kMaxExtracted = 16u << 20;  // a small input can still inflate a lot

void extractInPieces(HZIP hz, int32_t index, uint32_t piece)
{
    static uint8_t buffer[65536];
    uint64_t total = 0;
    while (archiveExtractToBuffer(hz, index, buffer, piece) == ArchiveResult::MoreData) {
        total += piece;
        if (total > kMaxExtracted)
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > kMaxInput)
        return 0;
    HZIP hz = archiveOpenMemory(data, static_cast<uint32_t>(size), nullptr);
    if (!hz)
        return 0;
    ArchiveMemberInfo summary;
    archiveMemberInfo(hz, -1, &summary);
    const int32_t count = summary.index < kMaxMembers ? summary.index : kMaxMembers;
    archiveFindMember(hz, u"effect.json", true, nullptr, nullptr);
    for (int32_t i = 0; i < count; ++i) {
        ArchiveMemberInfo info;
        if (archiveMemberInfo(hz, i, &info) == ArchiveResult::Ok) {
            int32_t found = -1;
            ArchiveMemberInfo again;
            archiveFindMember(hz, info.name, (i & 1) != 0, &found, &again);
        }
        const uint32_t piece = 1 + (static_cast<uint32_t>(i) * 7919u + static_cast<uint32_t>(size)) % 65536u;
        extractInPieces(hz, i, piece);
        extractInPieces(hz, i, 0);
    }
    archiveClose(hz);
    return 0;
}
