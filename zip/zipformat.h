#pragma once
// Numbers of the ZIP container shared by the writer and the reader.

#include <cstddef>
#include <cstdint>

namespace zipformat {

constexpr uint32_t kLocalHeaderSignature = 0x04034B50;    // "PK\3\4"
constexpr uint32_t kCentralHeaderSignature = 0x02014B50;  // "PK\1\2"
constexpr uint32_t kEndRecordSignature = 0x06054B50;      // "PK\5\6"
constexpr uint32_t kDataDescriptorSignature = 0x08074B50; // "PK\7\8"
constexpr uint32_t kZip64EndRecordSignature = 0x06064B50; // "PK\6\6"
constexpr uint32_t kZip64LocatorSignature = 0x07064B50;   // "PK\6\7"

constexpr uint32_t kLocalHeaderSize = 30;
constexpr uint32_t kCentralHeaderSize = 46;
constexpr uint32_t kEndRecordSize = 22;
constexpr uint32_t kDataDescriptorSize = 16;
constexpr uint32_t kLocalExtraSize = 17;
constexpr uint32_t kCentralExtraSize = 9;
constexpr uint32_t kZip64EndRecordSize = 56;
constexpr uint32_t kZip64LocatorSize = 20;
constexpr uint32_t kMaxCommentLength = 65535;

// The extra block of ZIP64 sizes and offsets, and the escape values of the classic fields whose
// true value it holds.
constexpr uint16_t kZip64ExtraId = 0x0001;
constexpr uint16_t kEscape16 = 0xFFFF;
constexpr uint32_t kEscape32 = 0xFFFFFFFF;

// Stored data is copied and compressed data passes through buffers of this size.
constexpr uint32_t kBufferSize = 16384;

constexpr uint16_t kFlagEncrypted = 0x0001;
constexpr uint16_t kFlagDataDescriptor = 0x0008;

constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflated = 8;

constexpr size_t kMaxNameUnits = 259;
constexpr size_t kMaxNameBytes = 259;
constexpr size_t kMaxPathUnits = 4096;

}  // namespace zipformat
