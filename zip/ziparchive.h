#pragma once
// ZIP archives on zlib: a writer that appends members and writes the central directory on close,
// and a reader that finds members by name and extracts them into memory. No Qt.
// Sizes, offsets and counts are 32-bit (16-bit member count): no ZIP64. A handle is used by one
// thread at a time.

#include <cstdint>

struct ArchiveHandle;
using HZIP = ArchiveHandle*;

// Result of every archive operation; Ok is success.
enum class ArchiveResult : uint32_t {
    Ok = 0x00000000,
    CannotOpen = 0x00000200,
    NoMemory = 0x00000300,
    WriteFailed = 0x00000400,
    NotFound = 0x00000500,
    MoreData = 0x00000600,
    Corrupt = 0x00000700,
    ReadFailed = 0x00000800,
    BadPassword = 0x00001000,
    BadArguments = 0x00010000,
    BufferTooSmall = 0x00030000,
    AlreadyFailed = 0x00040000,
    AlreadyEnded = 0x00050000,
    WrongHandleKind = 0x00080000,
    NotInitialised = 0x01000000,
    SeekFailed = 0x02000000,
    CannotFixHeader = 0x04000000,
    CodecError = 0x05000000,
};

// Description of one member, as the look-up fills it.
struct ArchiveMemberInfo {
    int32_t index = -1;
    char16_t name[260] = {};  // UTF-16, sanitised, zero-terminated
    uint32_t attributes = 0;  // 0x01 read-only, 0x02 hidden, 0x04 system, 0x10 directory, 0x20 archive
    uint64_t accessTime = 0;  // 100-ns intervals since 1601-01-01 UTC
    uint64_t creationTime = 0;
    uint64_t modificationTime = 0;
    uint32_t compressedSize = 0;
    uint32_t uncompressedSize = 0;
};

// --- Writing -------------------------------------------------------------------------------

// Creates (or truncates) the file at path (UTF-16, zero-terminated). password may be null.
// Returns a writer handle, or null when the file cannot be created.
HZIP archiveCreateFile(const char16_t* path, const char* password);

// Appends a member named name (UTF-16, "\" becomes "/") with length bytes from data.
// Returns BadArguments for a null handle, empty name, null data or length 0.
ArchiveResult archiveAddBuffer(HZIP hz, const char16_t* name, const void* data, uint32_t length);

// Closes a handle of either kind; for a writer, writes the central directory first.
// The handle is invalid afterwards. BadArguments for null.
ArchiveResult archiveClose(HZIP hz);

// --- Reading -------------------------------------------------------------------------------

// Opens an existing archive file. Returns a reader handle, or null when the file cannot be
// opened or is not a readable archive.
HZIP archiveOpenFile(const char16_t* path, const char* password);

// Looks a member up by name; with ignoreCase, ASCII letters compare case-insensitively.
// index and info may be null. NotFound leaves index -1 and info zeroed with index -1.
ArchiveResult archiveFindMember(HZIP hz, const char16_t* name, bool ignoreCase, int32_t* index,
                                ArchiveMemberInfo* info);

// Extracts member index into buffer. Ok when the member's end was reached, MoreData when the
// buffer filled first (call again with the same index for the rest).
ArchiveResult archiveExtractToBuffer(HZIP hz, int32_t index, void* buffer, uint32_t length);
