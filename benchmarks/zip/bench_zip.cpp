// Throughput of the archive writer and reader against Info-ZIP on the same bytes, in one run:
// a 50 MB member that Deflate cannot shrink (like a PNG) and a 50 MB member of text. Our writer
// at level 8 is compared with `zip -8`, our reader with `unzip -p` to /dev/null (both timed as
// whole processes, start-up included). Prints a table; asserts nothing.

#include "zip/ziparchive.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kMemberSize = 50u * 1000u * 1000u;

std::vector<uint8_t> incompressible(size_t size)
{
    std::vector<uint8_t> out(size);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        out[i] = static_cast<uint8_t>(x >> 56);
    }
    return out;
}

std::vector<uint8_t> compressible(size_t size)
{
    static const char* const words[] = { "mask ", "face ", "point ", "pivot ", "effect ", "camera ",
                                         "image ", "landmark ", "0.4375, ", "\"x\": ", "json\n" };
    std::vector<uint8_t> out;
    out.reserve(size);
    uint32_t x = 12345;
    while (out.size() < size) {
        x = x * 1103515245u + 12345u;
        for (const char* c = words[(x >> 16) % 11]; *c && out.size() < size; ++c)
            out.push_back(static_cast<uint8_t>(*c));
    }
    return out;
}

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double timeCommand(const std::string& command)
{
    const auto start = std::chrono::steady_clock::now();
    const int rc = std::system(command.c_str());
    const double seconds = secondsSince(start);
    if (rc != 0)
        std::fprintf(stderr, "command failed (%d): %s\n", rc, command.c_str());
    return seconds;
}

std::u16string utf16(const std::string& ascii)
{
    return std::u16string(ascii.begin(), ascii.end());
}

long long fileSize(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

double timeOurWriter(const std::string& archive, const std::vector<uint8_t>& data)
{
    const auto start = std::chrono::steady_clock::now();
    HZIP writer = archiveCreateFile(utf16(archive).c_str(), nullptr);
    const ArchiveResult added = archiveAddBuffer(writer, u"member.bin", data.data(), static_cast<uint32_t>(data.size()));
    const ArchiveResult closed = archiveClose(writer);
    const double seconds = secondsSince(start);
    if (!writer || added != ArchiveResult::Ok || closed != ArchiveResult::Ok)
        std::fprintf(stderr, "our writer failed\n");
    return seconds;
}

// Opens, looks up and extracts the member whole; false when the bytes differ from expected.
double timeOurReader(const std::string& archive, const std::vector<uint8_t>& expected, bool* same)
{
    std::vector<uint8_t> out(expected.size());
    const auto start = std::chrono::steady_clock::now();
    HZIP reader = archiveOpenFile(utf16(archive).c_str(), nullptr);
    ArchiveMemberInfo info;
    ArchiveResult result = archiveFindMember(reader, u"member.bin", true, nullptr, &info);
    if (result == ArchiveResult::Ok && info.uncompressedSize == out.size())
        result = archiveExtractToBuffer(reader, info.index, out.data(), info.uncompressedSize);
    archiveClose(reader);
    const double seconds = secondsSince(start);
    *same = result == ArchiveResult::Ok && out == expected;
    return seconds;
}

void runCase(const char* label, const std::vector<uint8_t>& data, const std::string& dir)
{
    const std::string member = dir + "/member.bin";
    const std::string ours = dir + "/ours.zip";
    const std::string theirs = dir + "/theirs.zip";
    {
        std::ofstream out(member, std::ios::binary);
        out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    }
    ::unlink(ours.c_str());
    ::unlink(theirs.c_str());

    const double writeOurs = timeOurWriter(ours, data);
    const double writeZip = timeCommand("cd '" + dir + "' && zip -q -8 theirs.zip member.bin");
    bool sameOurs = false;
    bool sameTheirs = false;
    const double readOurs = timeOurReader(ours, data, &sameOurs);
    const double readOursOfZip = timeOurReader(theirs, data, &sameTheirs);
    const double unzipOurs = timeCommand("unzip -p '" + ours + "' > /dev/null");
    const double unzipZip = timeCommand("unzip -p '" + theirs + "' > /dev/null");
    const double mb = static_cast<double>(data.size()) / 1e6;

    std::printf("\n%s member, %.0f MB\n", label, mb);
    std::printf("  %-34s %9s %10s %14s\n", "operation", "seconds", "MB/s", "archive bytes");
    std::printf("  %-34s %9.3f %10.1f %14lld\n", "write: ours, level 8", writeOurs, mb / writeOurs, fileSize(ours));
    std::printf("  %-34s %9.3f %10.1f %14lld\n", "write: zip -8 (process)", writeZip, mb / writeZip, fileSize(theirs));
    std::printf("  %-34s %9.3f %10.1f %14s\n", "read: ours, our archive", readOurs, mb / readOurs, sameOurs ? "bytes equal" : "MISMATCH");
    std::printf("  %-34s %9.3f %10.1f %14s\n", "read: ours, zip's archive", readOursOfZip, mb / readOursOfZip, sameTheirs ? "bytes equal" : "MISMATCH");
    std::printf("  %-34s %9.3f %10.1f\n", "read: unzip -p, our archive", unzipOurs, mb / unzipOurs);
    std::printf("  %-34s %9.3f %10.1f\n", "read: unzip -p, zip's archive", unzipZip, mb / unzipZip);
    std::printf("  ratio write ours/zip -8: %.2f   ratio read ours/unzip -p (zip's archive): %.2f\n",
                writeOurs / writeZip, readOursOfZip / unzipZip);
}

}  // namespace

int main()
{
    char pattern[] = "/tmp/bench_zip.XXXXXX";
    const char* dir = ::mkdtemp(pattern);
    if (!dir) {
        std::perror("mkdtemp");
        return 1;
    }
    std::printf("Archive throughput (ratio below 1: ours is faster)\n");
    runCase("incompressible", incompressible(kMemberSize), dir);
    runCase("compressible", compressible(kMemberSize), dir);
    for (const char* name : { "member.bin", "ours.zip", "theirs.zip" })
        ::unlink((std::string(dir) + "/" + name).c_str());
    ::rmdir(dir);
    return 0;
}
