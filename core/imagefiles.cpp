#include "core/imagefiles.h"

#include "core/pictureheaders.h"
#include "core/pngcodec.h"
#include "core/systemreason.h"

#include <QBuffer>
#include <QByteArray>
#include <QColorSpace>
#include <QFile>
#include <QImageReader>
#include <QString>

#include <cerrno>
#include <limits>
#include <new>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace core {

namespace {

bool isSet(const std::atomic_bool* cancel)
{
    return cancel && cancel->load();
}

const QString cancelledReason = QStringLiteral("picture: cancelled");
const QString missingReason = QStringLiteral("no such file");

// The widest picture of four bytes a pixel a QImage holds: it counts a row's bits in an int.
constexpr int widestColourRow = (std::numeric_limits<int>::max() - 31) / 32;

// Reads fail once cancel is set. Every Qt decoder then stops early: PNG with an error, JPEG
// with the rest of the file taken as missing.
class CancellableBuffer : public QBuffer
{
public:
    CancellableBuffer(QByteArray* bytes, const std::atomic_bool* cancel)
        : QBuffer(bytes), m_cancel(cancel)
    {
    }

protected:
    qint64 readData(char* data, qint64 length) override
    {
        return isSet(m_cancel) ? -1 : QBuffer::readData(data, length);
    }

private:
    const std::atomic_bool* m_cancel;
};

// Whether the pixels of a picture of size (four bytes each, as decoded) can be had now. The
// memory is asked for and given back untouched.
bool roomForPixels(const QSize& size)
{
    if (size.isEmpty()) {
        return true;
    }
    // As malloc asks for a block this large; a compiler may drop a malloc whose block is unused.
    const std::size_t bytes = std::size_t(size.width()) * std::size_t(size.height()) * 4;
    void* pixels = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pixels == MAP_FAILED) {
        return false;
    }
    ::munmap(pixels, bytes);
    return true;
}

// Decodes a picture whose headers were accepted, by the one decoder they name.
ImageDecoding decodeAccepted(const QByteArray& bytes, const PictureHeader& header, bool upright,
                             const std::atomic_bool* cancel)
{
    QImage picture;
    png::DecodeReport pngReport;
    if (header.format == "png") {
        // Our own reader: it never inflates text chunks and checks the size before allocating.
        picture = png::decode(bytes, cancel, &pngReport);
    } else {
        QByteArray data = bytes;  // shares the bytes; QBuffer wants a non-const array
        CancellableBuffer buffer(&data, cancel);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer, header.format);
        // Only the decoder the content names is tried, never a guess from the plugin list.
        reader.setAutoDetectImageFormat(false);
        reader.setAutoTransform(upright);
        if (!reader.read(&picture)) {
            picture = QImage();
        }
    }
    // A cancelled read fails wherever it happens to be, and a cancelled JPEG even "succeeds",
    // with the unread part grey.
    if (isSet(cancel)) {
        return {QImage(), cancelledReason};
    }
    if (picture.isNull()) {
        // A decoder says no more than "failed" when the pixels do not fit in memory: a picture
        // that fits nowhere is not called damaged. Our PNG reader tells, also of the buffer it
        // reads some pictures through besides.
        const int widestRow = pngReport.widestRow > 0 ? pngReport.widestRow : widestColourRow;
        const bool tooWide = header.size.width() > widestRow;
        if ((pngReport.outOfMemory && !tooWide) || !roomForPixels(header.size)) {
            return {QImage(), QStringLiteral("picture: not enough memory for its %1 x %2 pixels")
                                  .arg(header.size.width())
                                  .arg(header.size.height())};
        }
        if (tooWide) {
            return {QImage(), QStringLiteral("picture: rows wider than %1 pixels cannot be decoded")
                                  .arg(widestRow)};
        }
        return {QImage(), QStringLiteral("picture: cannot be decoded")};
    }
    if (qint64(picture.width()) * picture.height()
        > qint64(header.size.width()) * header.size.height()) {
        return {QImage(), QStringLiteral("picture: decoded larger than its header declares")};
    }
    convertToStandardColours(picture);
    return {picture, QString(), header.warning};
}

ImageDecoding decodeFile(const QByteArray& bytes, bool upright, const std::atomic_bool* cancel)
{
    const PictureHeader header = readPictureHeader(bytes);
    if (!header.refusal.isEmpty()) {
        return {QImage(), header.refusal};
    }
    return decodeAccepted(bytes, header, upright, cancel);
}

QString systemError(const char* what, int error)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), systemReason(error));
}

// Owns a descriptor.
struct Descriptor {
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    int fd;
};

// The whole file into bytes, or the reason it is not read.
QString readWholeFile(const QString& path, QByteArray& bytes, const std::atomic_bool* cancel)
{
    // Without O_NONBLOCK, opening a FIFO waits for a writer, for ever if none comes.
    const Descriptor file(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (file.fd < 0) {
        return errno == ENOENT ? missingReason : systemError("cannot be opened", errno);
    }
    struct stat status {};
    if (::fstat(file.fd, &status) != 0) {
        return systemError("cannot be read", errno);
    }
    if (S_ISDIR(status.st_mode)) {
        return QStringLiteral("is a folder");
    }
    if (!S_ISREG(status.st_mode)) {
        return QStringLiteral("not a regular file");
    }
    if (status.st_size > maximumPictureFileBytes) {
        return QStringLiteral("picture file larger than %1 MiB").arg(maximumPictureFileBytes >> 20);
    }
    bytes.resize(qsizetype(status.st_size));
    constexpr qint64 chunk = qint64(4) << 20;  // between looks at the cancel flag
    qint64 done = 0;
    while (done < bytes.size()) {
        if (isSet(cancel)) {
            return cancelledReason;
        }
        const ssize_t count = ::read(file.fd, bytes.data() + done, size_t(std::min(chunk, bytes.size() - done)));
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            return systemError("cannot be read", errno);
        }
        if (count == 0) {
            break;  // the file shrank meanwhile
        }
        done += count;
    }
    bytes.resize(qsizetype(done));
    return QString();
}

} // namespace

ImageDecoding readPictureFile(const QString& path, const std::atomic_bool* cancel)
{
    try {
        QByteArray bytes;
        const QString problem = readWholeFile(path, bytes, cancel);
        if (!problem.isEmpty()) {
            return {QImage(), problem};
        }
        return decodeFile(bytes, true, cancel);
    } catch (const std::bad_alloc&) {
        return {QImage(), QStringLiteral("picture: out of memory")};
    }
}

ImageDecoding decodePictureFile(const QByteArray& bytes, const std::atomic_bool* cancel)
{
    if (bytes.size() > maximumPictureFileBytes) {
        return {QImage(), QStringLiteral("picture file larger than %1 MiB").arg(maximumPictureFileBytes >> 20)};
    }
    try {
        return decodeFile(bytes, true, cancel);
    } catch (const std::bad_alloc&) {
        return {QImage(), QStringLiteral("picture: out of memory")};
    }
}

void convertToStandardColours(QImage& picture)
{
    const QColorSpace space = picture.colorSpace();
    if (!space.isValid() || space == QColorSpace(QColorSpace::SRgb)) {
        return;
    }
    picture.convertToColorSpace(QColorSpace::SRgb);
}

QString decodedPictureProblem(const QImage& picture)
{
    if (picture.isNull()) {
        return QStringLiteral("picture: empty");
    }
    const qint64 pixels = qint64(picture.width()) * picture.height();
    if (pixels > maximumPicturePixels) {
        return QStringLiteral("picture larger than %1 megapixels").arg(maximumPicturePixels / 1'000'000);
    }
    if (qint64(picture.sizeInBytes()) > maximumPictureBytes) {
        return QStringLiteral("picture larger than %1 MiB in memory").arg(maximumPictureBytes >> 20);
    }
    return QString();
}

bool isNoPicture(const QString& reason)
{
    return reason == missingReason || reason == unknownFormatReason();
}

QImage readImageFile(const QString& path, const std::atomic_bool* cancel)
{
    return readPictureFile(path, cancel).picture;
}

ImageDecoding decodePackagePicture(const QByteArray& bytes, const std::atomic_bool* cancel)
{
    if (!png::hasSignature(bytes) && !bytes.startsWith(QByteArray::fromRawData("\xff\xd8\xff", 3))) {
        return {QImage(), QStringLiteral("picture: not PNG or JPEG")};
    }
    try {
        // The points of a package refer to the picture's pixels as stored; turning it by an
        // orientation tag would move every point onto another feature.
        return decodeFile(bytes, false, cancel);
    } catch (const std::bad_alloc&) {
        return {QImage(), QStringLiteral("picture: out of memory")};
    }
}

QImage decodeImage(const QByteArray& bytes)
{
    return decodePackagePicture(bytes).picture;
}

} // namespace core
