// The public entry points: a handle records which engine it carries, and every operation checks
// the kind before it touches the engine.

#include "zip/ziparchive.h"

#include "zip/zipreader.h"
#include "zip/zipwriter.h"

#include <memory>

struct ArchiveHandle {
    enum Kind : uint32_t { Reader = 1, Writer = 2 };
    uint32_t kind = 0;
    std::unique_ptr<ArchiveReader> reader;
    std::unique_ptr<ArchiveWriter> writer;
};

namespace {

bool hasPassword(const char* password)
{
    return password && password[0] != 0;
}

HZIP wrapWriter(std::unique_ptr<ArchiveWriter> writer)
{
    if (!writer)
        return nullptr;
    auto* handle = new ArchiveHandle;
    handle->kind = ArchiveHandle::Writer;
    handle->writer = std::move(writer);
    return handle;
}

HZIP wrapReader(std::unique_ptr<ArchiveReader> reader)
{
    if (!reader)
        return nullptr;
    auto* handle = new ArchiveHandle;
    handle->kind = ArchiveHandle::Reader;
    handle->reader = std::move(reader);
    return handle;
}

// Ok when hz is a handle of the wanted kind.
ArchiveResult checkKind(HZIP hz, uint32_t wanted)
{
    if (!hz)
        return ArchiveResult::BadArguments;
    return hz->kind == wanted ? ArchiveResult::Ok : ArchiveResult::WrongHandleKind;
}

}  // namespace

HZIP archiveCreateFile(const char16_t* path, const char* password)
{
    if (hasPassword(password))
        return nullptr;
    ArchiveResult result;
    return wrapWriter(ArchiveWriter::createOnFile(path, &result));
}

HZIP archiveCreateInMemory(void* block, uint32_t capacity, const char* password, ArchiveResult* result)
{
    ArchiveResult why = ArchiveResult::BadArguments;
    HZIP handle = nullptr;
    if (!hasPassword(password))
        handle = wrapWriter(ArchiveWriter::createInMemory(block, capacity, &why));
    if (result)
        *result = why;
    return handle;
}

HZIP archiveCreateOnHandle(int descriptor, const char* password)
{
    if (hasPassword(password))
        return nullptr;
    ArchiveResult result;
    return wrapWriter(ArchiveWriter::createOnHandle(descriptor, &result));
}

ArchiveResult archiveAddBuffer(HZIP hz, const char16_t* name, const void* data, uint32_t length)
{
    if (ArchiveResult kind = checkKind(hz, ArchiveHandle::Writer); kind != ArchiveResult::Ok)
        return kind;
    return hz->writer->addFromMemory(name, data, length);
}

ArchiveResult archiveAddBufferAtLevel(HZIP hz, const char16_t* name, const void* data,
                                      uint32_t length, int level)
{
    if (ArchiveResult kind = checkKind(hz, ArchiveHandle::Writer); kind != ArchiveResult::Ok)
        return kind;
    return hz->writer->addFromMemory(name, data, length, level);
}

ArchiveResult archiveAddFolder(HZIP hz, const char16_t* name)
{
    if (ArchiveResult kind = checkKind(hz, ArchiveHandle::Writer); kind != ArchiveResult::Ok)
        return kind;
    return hz->writer->addFolder(name);
}

ArchiveResult archiveSetClock(HZIP hz, const ArchiveLocalTime* fixedTime)
{
    if (ArchiveResult kind = checkKind(hz, ArchiveHandle::Writer); kind != ArchiveResult::Ok)
        return kind;
    hz->writer->setFixedTime(fixedTime);
    return ArchiveResult::Ok;
}

ArchiveResult archiveFinish(HZIP hz)
{
    if (ArchiveResult kind = checkKind(hz, ArchiveHandle::Writer); kind != ArchiveResult::Ok)
        return kind;
    return hz->writer->finish();
}

ArchiveResult archiveGetMemory(HZIP hz, const void** base, uint32_t* length)
{
    if (ArchiveResult kind = checkKind(hz, ArchiveHandle::Writer); kind != ArchiveResult::Ok)
        return kind;
    return hz->writer->memory(base, length);
}

ArchiveResult archiveClose(HZIP hz)
{
    if (!hz)
        return ArchiveResult::BadArguments;
    std::unique_ptr<ArchiveHandle> handle(hz);
    if (handle->kind == ArchiveHandle::Reader)
        return ArchiveResult::Ok;  // the reader's state goes with the handle
    if (handle->kind != ArchiveHandle::Writer)
        return ArchiveResult::WrongHandleKind;
    return handle->writer->close();
}

HZIP archiveOpenFile(const char16_t* path, const char* /*password*/, ArchiveResult* result,
                     int* systemError)
{
    ArchiveResult opened = ArchiveResult::Ok;
    int error = 0;
    HZIP handle = wrapReader(ArchiveReader::openFile(path, &opened, &error));
    if (result)
        *result = opened;
    if (systemError)
        *systemError = error;
    return handle;
}

HZIP archiveOpenDescriptor(int descriptor, const char* /*password*/, ArchiveResult* result,
                           int* systemError)
{
    ArchiveResult opened = ArchiveResult::Ok;
    int error = 0;
    HZIP handle = wrapReader(ArchiveReader::openDescriptor(descriptor, &opened, &error));
    if (result)
        *result = opened;
    if (systemError)
        *systemError = error;
    return handle;
}

HZIP archiveOpenMemory(const void* data, uint32_t length, const char* /*password*/,
                       ArchiveResult* result)
{
    ArchiveResult opened = ArchiveResult::Ok;
    HZIP handle = wrapReader(ArchiveReader::openMemory(data, length, &opened));
    if (result)
        *result = opened;
    return handle;
}

ArchiveResult archiveFindMember(HZIP hz, const char16_t* name, bool ignoreCase, int32_t* index,
                                ArchiveMemberInfo* info)
{
    if (ArchiveResult kind = checkKind(hz, ArchiveHandle::Reader); kind != ArchiveResult::Ok)
        return kind;
    return hz->reader->findMember(name, ignoreCase, index, info);
}

ArchiveResult archiveMemberInfo(HZIP hz, int32_t index, ArchiveMemberInfo* info)
{
    if (ArchiveResult kind = checkKind(hz, ArchiveHandle::Reader); kind != ArchiveResult::Ok)
        return kind;
    return hz->reader->memberInfo(index, info);
}

ArchiveResult archiveExtractToBuffer(HZIP hz, int32_t index, void* buffer, uint32_t length)
{
    if (ArchiveResult kind = checkKind(hz, ArchiveHandle::Reader); kind != ArchiveResult::Ok)
        return kind;
    return hz->reader->extractToBuffer(index, buffer, length);
}

int archiveSystemError(HZIP hz)
{
    if (checkKind(hz, ArchiveHandle::Reader) != ArchiveResult::Ok)
        return 0;
    return hz->reader->systemError();
}
