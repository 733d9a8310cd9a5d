#pragma once
// The reader engine behind a reader handle: walks the central directory of one input, describes
// members and extracts them into memory. Used by one thread at a time; errors are ArchiveResult
// values; nothing is read outside the input.

#include "zip/ziparchive.h"

#include <cstdint>
#include <memory>

namespace zipplatform {
class File;
}

class ArchiveReader {
public:
    ~ArchiveReader();
    ArchiveReader(const ArchiveReader&) = delete;
    ArchiveReader& operator=(const ArchiveReader&) = delete;

    // Null when the input cannot be opened or is not a readable archive; *result says why
    // (see archiveOpenFile), Ok on success; *systemError the error number of a failed open or
    // read, else 0.
    static std::unique_ptr<ArchiveReader> openFile(const char16_t* path, ArchiveResult* result,
                                                   int* systemError);
    static std::unique_ptr<ArchiveReader> openDescriptor(int descriptor, ArchiveResult* result,
                                                         int* systemError);
    static std::unique_ptr<ArchiveReader> openMemory(const void* data, uint32_t length,
                                                     ArchiveResult* result);

    ArchiveResult findMember(const char16_t* name, bool ignoreCase, int32_t* index,
                             ArchiveMemberInfo* info);
    ArchiveResult memberInfo(int32_t index, ArchiveMemberInfo* info);
    ArchiveResult extractToBuffer(int32_t index, void* buffer, uint32_t length);
    // The error number behind the last operation's SystemError, else 0.
    int systemError() const;

private:
    struct Impl;
    explicit ArchiveReader(std::unique_ptr<Impl> impl);
    static std::unique_ptr<ArchiveReader> openInput(zipplatform::File file, ArchiveResult* result,
                                                    int* systemError);
    std::unique_ptr<Impl> d;
};
