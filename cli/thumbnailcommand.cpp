// facemask-cli thumbnail PACKAGE OUT.png [--size N] [--force]: the package's own picture as a
// PNG of at most N x N, for the thumbnailers of file managers (packaging/facemask.thumbnailer).
#include "cli/commandline.h"
#include "cli/commands.h"
#include "cli/inputfile.h"
#include "cli/outputfile.h"
#include "cli/packagereading.h"

#include "core/imagefiles.h"
#include "core/packageformat.h"
#include "zip/ziparchive.h"

#include <QCommandLineParser>

#include <cerrno>
#include <memory>
#include <new>

namespace cli {

namespace {

const char* const command = "thumbnail";

constexpr int defaultSize = 256;
// A thumbnail member larger than this is not a 320 x 240 JPEG; the main picture serves instead.
constexpr quint32 maximumThumbnailBytes = quint32(8) << 20;

void printFailure(const QString& why)
{
    printMessage(QStringLiteral("%1 %2: ").arg(programName, command) + why);
}

// The package's large thumbnail, decoded within the bounds of package pictures; null when it is
// missing, too large or does not decode (the loader does not check thumbnails).
QImage largeThumbnail(const QString& package)
{
    const InputFile input(package);
    if (!input.failure().isEmpty()) {
        return QImage();
    }
    const QString path = input.readPath();
    const std::unique_ptr<ArchiveHandle, ArchiveResult (*)(HZIP)> archive(
        archiveOpenFile(reinterpret_cast<const char16_t*>(path.utf16()), nullptr), &archiveClose);
    if (!archive) {
        return QImage();
    }
    const QString member = QString::fromLatin1(core::package::largeThumbnailMember);
    ArchiveMemberInfo info;
    if (archiveFindMember(archive.get(), reinterpret_cast<const char16_t*>(member.utf16()), true,
                          nullptr, &info)
            != ArchiveResult::Ok
        || info.uncompressedSize == 0 || info.uncompressedSize > maximumThumbnailBytes) {
        return QImage();
    }
    QByteArray bytes(int(info.uncompressedSize), '\0');
    if (archiveExtractToBuffer(archive.get(), info.index, bytes.data(), info.uncompressedSize)
        != ArchiveResult::Ok) {
        return QImage();
    }
    return core::decodePackagePicture(bytes).picture;
}

// Into at most size x size, the aspect ratio kept; never enlarged.
QImage fitted(const QImage& picture, int size)
{
    if (picture.width() <= size && picture.height() <= size) {
        return picture;
    }
    return picture.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

} // namespace

int runThumbnail(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Writes the picture of a package as a PNG of at most N x N pixels, the "
                       "aspect ratio kept: the package's large thumbnail when N is 320 or less, "
                       "otherwise its main picture scaled down. The package is checked as \"Open "
                       "PMK file\" checks it; a refused package gives exit status 1 and no file. "
                       "An existing file is kept unless --force is given; an existing empty "
                       "file (made by a thumbnail service) is written in place."));
    const QCommandLineOption size(QStringList{QStringLiteral("s"), QStringLiteral("size")},
                                  QStringLiteral("The largest width and height (default %1).")
                                      .arg(defaultSize),
                                  QStringLiteral("N"), QString::number(defaultSize));
    const QCommandLineOption force(QStringLiteral("force"), QStringLiteral("Replace an existing file."));
    parser.addOption(size);
    parser.addOption(force);
    parser.addPositionalArgument(QStringLiteral("package"), QStringLiteral("The package."),
                                 QStringLiteral("PACKAGE"));
    parser.addPositionalArgument(QStringLiteral("output"), QStringLiteral("The PNG file to write."),
                                 QStringLiteral("OUT.png"));
    if (const std::optional<int> done = parseCommandLine(parser, command, arguments)) {
        return *done;
    }
    const QStringList files = parser.positionalArguments();
    if (files.size() != 2) {
        return usageError(command, QStringLiteral("a package and an output file are needed"));
    }
    bool number = false;
    const int largest = parser.value(size).toInt(&number);
    if (!number || largest < 1) {
        return usageError(command, QStringLiteral("--size takes a number of at least 1"));
    }

    OutputFile target(files[1], parser.isSet(force), {files[0]});
    // A thumbnail service may make the output file itself and read it through its descriptor.
    target.fillExistingEmptyFile();
    if (!target.prepare()) {
        printFailure(target.failure());
        return InputFailed;
    }
    const core::PackageReading package = readCheckedPackage(files[0]);
    if (!package.result.ok) {
        printFailure(escaped(files[0]) + QStringLiteral(": refused: ") + escaped(package.result.reason)
                     + refusedPackageHint(files[0]));
        return InputFailed;
    }
    QByteArray png;
    QSize written;
    try {
        QImage source;
        if (largest <= core::package::largeThumbnailSize.width()) {
            source = largeThumbnail(files[0]);
        }
        if (source.isNull()) {
            source = package.snapshot.picture;
        }
        const QImage thumbnail = fitted(source, largest);
        written = thumbnail.size();
        png = pngBytes(thumbnail);
    } catch (const std::bad_alloc&) {
        png.clear();
    }
    if (png.isEmpty()) {
        target.failedWriting(ENOMEM);
        printFailure(target.failure());
        return InputFailed;
    }
    if (!target.write(png) || !target.commit()) {
        printFailure(target.failure());
        return InputFailed;
    }
    printResult(escaped(files[1])
                + QStringLiteral(": %1x%2").arg(written.width()).arg(written.height()));
    return Success;
}

} // namespace cli
