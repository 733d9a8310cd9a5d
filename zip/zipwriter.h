#pragma once
// The writer engine behind a writer handle: appends members to one output and writes the central
// directory at the end. Used by one thread at a time; errors are ArchiveResult values.

#include "zip/ziparchive.h"

#include <cstdint>
#include <memory>

class ArchiveWriter {
public:
    ~ArchiveWriter();
    ArchiveWriter(const ArchiveWriter&) = delete;
    ArchiveWriter& operator=(const ArchiveWriter&) = delete;

    // Each returns null and sets *result on failure.
    static std::unique_ptr<ArchiveWriter> createOnFile(const char16_t* path, ArchiveResult* result);
    static std::unique_ptr<ArchiveWriter> createInMemory(void* block, uint32_t capacity,
                                                         ArchiveResult* result);
    static std::unique_ptr<ArchiveWriter> createOnHandle(int descriptor, ArchiveResult* result);

    ArchiveResult addFromMemory(const char16_t* name, const void* data, uint32_t length);
    // At a deflate level 0-9 or kArchiveAutomaticLevel; BadArguments for any other level.
    ArchiveResult addFromMemory(const char16_t* name, const void* data, uint32_t length, int level);
    ArchiveResult addFolder(const char16_t* name);
    void setFixedTime(const ArchiveLocalTime* fixedTime);
    // Writes the directory and end record unless already written.
    ArchiveResult finish();
    ArchiveResult memory(const void** base, uint32_t* length) const;
    // finish(), then releases the output.
    ArchiveResult close();

private:
    struct Impl;
    explicit ArchiveWriter(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> d;
};
