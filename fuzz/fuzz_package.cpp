// Fuzz target of the whole package loader. The input holds the two documents and the picture,
// separated by "--pmk--"; they are packed with our own writer into a package file, which the
// loader then reads as the window and the command line do: archive, documents, points, picture
// and its bounds. Any crash, out-of-bounds access or undefined behaviour is a bug, and so is a
// package taken with fewer points than a package needs or a picture over the bounds.

#include "core/facemaskproject.h"
#include "core/imagefiles.h"
#include "core/packageformat.h"
#include "zip/ziparchive.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QString>

#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include <unistd.h>

namespace {

// A picture member of this size can still declare and inflate to a few hundred megabytes.
constexpr size_t kMaxInput = 256 << 10;
const QByteArray kSeparator("--pmk--");

// The parts of the input: properties document, effect document, picture.
std::vector<QByteArray> partsOf(const QByteArray& input)
{
    std::vector<QByteArray> parts;
    int from = 0;
    while (parts.size() < 2) {
        const int at = input.indexOf(kSeparator, from);
        if (at < 0)
            break;
        parts.push_back(input.mid(from, at - from));
        from = at + kSeparator.size();
    }
    parts.push_back(input.mid(from));
    parts.resize(3);
    return parts;
}

struct Closer {
    void operator()(ArchiveHandle* handle) const { archiveClose(handle); }
};

QByteArray packed(const std::vector<QByteArray>& parts)
{
    using namespace core::package;
    std::unique_ptr<ArchiveHandle, Closer> writer(archiveCreateInMemory(nullptr, 4u << 20, nullptr));
    if (!writer)
        return {};
    const char* const names[] = {propertiesMember, effectMember, pictureMember};
    for (size_t i = 0; i < parts.size(); ++i) {
        const QString name = QString::fromLatin1(names[i]);
        // An empty part leaves its member out, as a damaged package would.
        if (parts[i].isEmpty())
            continue;
        archiveAddBufferAtLevel(writer.get(), reinterpret_cast<const char16_t*>(name.utf16()),
                                parts[i].constData(), uint32_t(parts[i].size()),
                                kArchiveAutomaticLevel);
    }
    if (archiveFinish(writer.get()) != ArchiveResult::Ok)
        return {};
    const void* base = nullptr;
    uint32_t length = 0;
    archiveGetMemory(writer.get(), &base, &length);
    return QByteArray(static_cast<const char*>(base), int(length));
}

// One file per process, rewritten for every input and removed at exit.
struct PackageFile {
    QString path = QStringLiteral("/tmp/fuzz_package-%1.pmk").arg(::getpid());
    ~PackageFile() { std::remove(QFile::encodeName(path).constData()); }
};

const QString& packagePath()
{
    static const PackageFile file;
    return file.path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_package";
    static char* argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);  // for the picture format plugins
    if (size > kMaxInput)
        return 0;
    const QByteArray input = QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size));
    const QByteArray package = packed(partsOf(input));
    if (package.isEmpty())
        return 0;
    QFile file(packagePath());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(package) != package.size())
        std::abort();  // the machine, not the loader: better stop than fuzz nothing
    file.close();
    const core::PackageReading reading = core::readPackage(packagePath());
    if (reading.result.ok) {
        const QImage& picture = reading.snapshot.picture;
        const qint64 pixels = qint64(picture.width()) * picture.height();
        if (picture.isNull() || pixels > core::maximumPicturePixels
            || int(reading.snapshot.points.size()) < core::package::minimumPivotCount
            || int(reading.snapshot.points.size()) > core::package::maximumPivotCount)
            std::abort();
    } else if (reading.result.reason.isEmpty()) {
        std::abort();  // every refusal names its check
    }
    return 0;
}
