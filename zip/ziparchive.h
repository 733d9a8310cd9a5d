#pragma once
// ZIP archives on zlib: a writer that appends members and writes the central directory on close,
// and a reader that finds members by name and extracts them into memory. No Qt.
// Sizes, offsets and counts are 32-bit (16-bit member count). The reader takes ZIP64 records
// whose values fit those bounds and refuses larger ones (Unsupported). A handle is used by one
// thread at a time; different handles share nothing. No function throws.
//
// Not built: the password mode (traditional encryption) and extraction to files or handles.
// A writer asked for a password refuses to be created; the reader refuses to extract a member
// whose encryption flag is set (BadPassword) instead of handing out ciphertext.

#include <cstdint>

struct ArchiveHandle;
using HZIP = ArchiveHandle*;

// Result of every archive operation; Ok is success.
enum class ArchiveResult : uint32_t {
    Ok = 0x00000000,
    CannotOpen = 0x00000200,      // file cannot be created/opened, or is not a readable archive
    NoMemory = 0x00000300,        // the block of an in-memory archive cannot be obtained
    WriteFailed = 0x00000400,     // output refused bytes, compression failed, or the 32-bit
                                  // format limits would be passed (see archiveAddBuffer)
    NotFound = 0x00000500,        // no member of that name
    MoreData = 0x00000600,        // the buffer filled before the member's end
    Corrupt = 0x00000700,         // headers disagree, or extracted data fails its CRC or size
    ReadFailed = 0x00000800,      // the archive came up short where it must hold bytes
    BadPassword = 0x00001000,     // encrypted member (no password mode here)
    BadArguments = 0x00010000,    // null, empty, out of range, too long, or an unknown kind
    BufferTooSmall = 0x00030000,  // an in-memory archive is full, or was given capacity 0
    AlreadyFailed = 0x00040000,   // an earlier write of this writer failed; nothing more is added
    AlreadyEnded = 0x00050000,    // the central directory was already written
    WrongHandleKind = 0x00080000, // a reader handle given to a writer operation, or the reverse
    NotInitialised = 0x01000000,  // the state has no output or input to work on
    SeekFailed = 0x02000000,      // the output cannot be positioned
    CannotFixHeader = 0x04000000, // a header can be neither rewritten nor completed afterwards
    CodecError = 0x05000000,      // Inflate/Deflate failed, or extraction delivered nothing
    Inconsistent = 0x06000000,    // the end record, the ZIP64 records and the directory disagree
    Unsupported = 0x07000000,     // a spanned archive, or ZIP64 sizes or offsets past 32 bits
    SystemError = 0x08000000,     // the system failed a read of the archive file (a failing disk),
                                  // whatever the bytes would have said; see archiveSystemError
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

// A local wall-clock reading (month 1-12, day 1-31). The writer stamps members with it.
struct ArchiveLocalTime {
    int year = 1980;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// --- Writing -------------------------------------------------------------------------------

// Creates (or truncates) the file at path (UTF-16, zero-terminated). password must be null or
// empty (no encryption is built). Returns a writer handle, or null when the file cannot be
// created or a password was asked for.
HZIP archiveCreateFile(const char16_t* path, const char* password);

// Creates a writer into memory: into block (capacity bytes, owned by the caller) or, when block
// is null, into a fresh block of capacity bytes that lives until archiveClose. A write that
// would pass the capacity fails the writer with BufferTooSmall. Returns null (with *result set
// when result is not null) for capacity 0 (BufferTooSmall), no memory (NoMemory) or a password.
HZIP archiveCreateInMemory(void* block, uint32_t capacity, const char* password,
                           ArchiveResult* result = nullptr);

// Creates a writer onto an open file descriptor that the caller keeps owning. When it can be
// positioned, the archive starts at its current position and headers are fixed up in place;
// otherwise (a pipe) every member is followed by a data descriptor. Null for a bad descriptor,
// a position past 32 bits, or a password.
HZIP archiveCreateOnHandle(int descriptor, const char* password);

// Appends a member named name (UTF-16, "\" becomes "/") with length bytes from data, deflated at
// level 8 unless the suffix marks already-compressed data. The bytes are read once, in place.
// BadArguments: null handle, empty or over-long name (more than 259 UTF-16 units, or more than
// 259 UTF-8 bytes), unpaired surrogate, null data or length 0. WrongHandleKind: reader handle.
// WriteFailed without writing anything when the archive already has 65535 members or the member
// could push an offset or size past 32 bits. AlreadyFailed / AlreadyEnded as their names say.
ArchiveResult archiveAddBuffer(HZIP hz, const char16_t* name, const void* data, uint32_t length);

// For archiveAddBufferAtLevel: level 8 for data that compresses, level 0 (stored blocks inside
// a deflate stream, still method 8) where deflating the first 64 KiB at level 1 saves less than
// a sixty-fourth of them.
constexpr int kArchiveAutomaticLevel = -1;

// archiveAddBuffer with the deflate level chosen: zlib's 0 (stored blocks, still method 8) to 9,
// or kArchiveAutomaticLevel. General purpose bits 1-2 tell the level (8-9 maximum, 1-2 fast,
// 0 super fast). Errors as archiveAddBuffer; BadArguments for another level too.
ArchiveResult archiveAddBufferAtLevel(HZIP hz, const char16_t* name, const void* data,
                                      uint32_t length, int level);

// Appends a directory entry (stored, no data, "/" appended when missing). Errors as
// archiveAddBuffer.
ArchiveResult archiveAddFolder(HZIP hz, const char16_t* name);

// Stamps every later member with fixedTime instead of the current local time; null returns to
// the clock. BadArguments for null hz, WrongHandleKind for a reader.
ArchiveResult archiveSetClock(HZIP hz, const ArchiveLocalTime* fixedTime);

// Writes the central directory and end record now, keeping the handle (for archiveGetMemory).
// Later adds return AlreadyEnded; archiveClose then only releases.
ArchiveResult archiveFinish(HZIP hz);

// The block of an in-memory writer and the bytes written into it so far. Valid until close.
// NotInitialised for a writer that is not in memory.
ArchiveResult archiveGetMemory(HZIP hz, const void** base, uint32_t* length);

// Closes a handle of either kind; for a writer, writes the central directory first (unless
// archiveFinish did). The handle is invalid afterwards, whatever the result. BadArguments for
// null.
ArchiveResult archiveClose(HZIP hz);

// --- Reading -------------------------------------------------------------------------------

// Opens an existing archive file. password is ignored (encrypted members are refused at
// extraction). Returns a reader handle, or null with *result (when result is not null) set to:
// CannotOpen when the file cannot be opened or holds no end record (it may follow a comment of
// up to 65535 bytes) or its directory claims bytes beyond the end record; Unsupported for a
// spanned archive or ZIP64 values past 32 bits; Inconsistent when the end record, the ZIP64
// records and the walk of the directory disagree (member count, directory size, a header
// without its signature); SystemError when a read of the file failed. On success *result is Ok.
// *systemError (when not null) holds the system's error number when the file could not be
// opened (CannotOpen) or read (SystemError), else 0.
HZIP archiveOpenFile(const char16_t* path, const char* password, ArchiveResult* result = nullptr,
                     int* systemError = nullptr);

// The same over a regular file open for reading at descriptor, which the caller keeps owning and
// open until archiveClose. Reads go by position (pread): the descriptor's offset is not used.
HZIP archiveOpenDescriptor(int descriptor, const char* password, ArchiveResult* result = nullptr,
                           int* systemError = nullptr);

// The same over length bytes at data, which must stay valid and unchanged until archiveClose.
// Hostile input is safe: nothing is read outside the block.
HZIP archiveOpenMemory(const void* data, uint32_t length, const char* password,
                       ArchiveResult* result = nullptr);

// Looks a member up by name; with ignoreCase, ASCII letters compare case-insensitively. "/" and
// "\" are different characters. index and info may be null. NotFound leaves index -1 and info
// zeroed with index -1. With info: Corrupt when the member's local header disagrees with the
// directory (name, method, sizes, CRC) or its method is neither 0 nor 8, ReadFailed when its
// extra field is cut short.
ArchiveResult archiveFindMember(HZIP hz, const char16_t* name, bool ignoreCase, int32_t* index,
                                ArchiveMemberInfo* info);

// Describes member index as the look-up would. index -1 gives a record whose index field holds
// the member count. BadArguments for other indices outside 0 .. count-1; Corrupt/ReadFailed as
// archiveFindMember.
ArchiveResult archiveMemberInfo(HZIP hz, int32_t index, ArchiveMemberInfo* info);

// Extracts member index into buffer. Ok when the member's end was reached and its bytes match
// the directory's CRC-32 and uncompressed size; MoreData when the buffer filled first (call
// again with the same index for the rest). Corrupt when the data's CRC-32 differs from the
// directory's, or it decodes to more or fewer bytes than declared; the buffer then holds
// unverified bytes. CodecError when Inflate fails, the member cannot be opened, or a call
// delivers nothing (a member of size 0, or a call after Ok). BadPassword for an encrypted
// member. BadArguments for a null handle or index out of range.
// Look-up, description and extraction of an archive file return SystemError instead of any
// other result when a read of the file failed meanwhile.
ArchiveResult archiveExtractToBuffer(HZIP hz, int32_t index, void* buffer, uint32_t length);

// The system's error number (EIO, say) behind the SystemError the last look-up, description or
// extraction of this reader returned; 0 when it returned another result, and for null or a
// writer.
int archiveSystemError(HZIP hz);
