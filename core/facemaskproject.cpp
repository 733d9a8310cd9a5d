#include "facemaskproject.h"

#include "facialpoints.h"
#include "imagefiles.h"
#include "packageformat.h"
#include "pngcodec.h"
#include "ziparchive.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

namespace core {

namespace {

// A member may not make the loader allocate more than this, whatever its header says.
constexpr quint32 maximumMemberSize = quint32(256) << 20;
// The documents of a package are a few kilobytes; parsing inflates JSON many times in memory,
// so they get a far lower bound than the picture.
constexpr quint32 maximumDocumentSize = quint32(8) << 20;
// Deflate cannot expand one compressed byte into more than 1032 bytes.
constexpr quint64 maximumDeflateRatio = 1032;

const char16_t* utf16(const QString& text)
{
    return reinterpret_cast<const char16_t*>(text.utf16());
}

using Archive = std::shared_ptr<ArchiveHandle>;

Archive openArchive(const QString& path)
{
    HZIP handle = archiveOpenFile(utf16(path), nullptr);
    if (!handle) {
        return nullptr;
    }
    return Archive(handle, [](HZIP opened) { archiveClose(opened); });
}

bool declaredSizeIsPlausible(const ArchiveMemberInfo& info, quint32 limit)
{
    return info.uncompressedSize > 0 && info.uncompressedSize <= limit
        && info.uncompressedSize <= quint64(info.compressedSize) * maximumDeflateRatio;
}

// The whole member, or nothing when it is missing, implausibly large or does not extract.
std::optional<QByteArray> readMember(const Archive& archive, const QString& name, quint32 limit)
{
    ArchiveMemberInfo info;
    if (archiveFindMember(archive.get(), utf16(name), true, nullptr, &info) != ArchiveResult::Ok
        || !declaredSizeIsPlausible(info, limit)) {
        return std::nullopt;
    }
    QByteArray bytes(int(info.uncompressedSize), '\0');
    if (archiveExtractToBuffer(archive.get(), info.index, bytes.data(), info.uncompressedSize)
        != ArchiveResult::Ok) {
        return std::nullopt;
    }
    return bytes;
}

std::optional<QByteArray> readDocument(const Archive& archive, const char* name)
{
    return readMember(archive, QString::fromUtf8(name), maximumDocumentSize);
}

QByteArray encodeImage(const QImage& picture, const char* format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    if (picture.isNull() || !buffer.open(QIODevice::WriteOnly) || !picture.save(&buffer, format)) {
        return QByteArray();
    }
    return bytes;
}

struct Member {
    const char* name;
    QByteArray bytes;
};

// Every member of a package in writing order, or nothing when a picture cannot be encoded.
std::optional<std::vector<Member>> packageMembers(const QByteArray& properties,
                                                  const QByteArray& effect, const QImage& picture)
{
    using namespace package;
    std::vector<Member> members{
        {propertiesMember, properties},
        {effectMember, effect},
        {pictureMember, png::encode(picture)},
        {smallThumbnailMember, encodeImage(makeThumbnail(picture, smallThumbnailSize), "jpg")},
        {mediumThumbnailMember, encodeImage(makeThumbnail(picture, mediumThumbnailSize), "jpg")},
        {largeThumbnailMember, encodeImage(makeThumbnail(picture, largeThumbnailSize), "jpg")},
    };
    for (const Member& member : members) {
        if (member.bytes.isEmpty()) {
            return std::nullopt;
        }
    }
    return members;
}

// Writes through a descriptor the caller opened, so that the file the archive goes into is the
// one Qt named, whatever encoding the file system uses for names.
bool writeArchive(int descriptor, const std::vector<Member>& members)
{
    HZIP archive = archiveCreateOnHandle(descriptor, nullptr);
    if (!archive) {
        return false;
    }
    bool written = true;
    for (const Member& member : members) {
        const ArchiveResult added = archiveAddBuffer(archive, utf16(QString::fromUtf8(member.name)),
                                                     member.bytes.constData(),
                                                     quint32(member.bytes.size()));
        written = written && added == ArchiveResult::Ok;
    }
    // Without its directory the archive is unreadable, so a failed close fails the save.
    const bool closed = archiveClose(archive) == ArchiveResult::Ok;
    return written && closed;
}

// A symbolic link keeps pointing at the package: the file it names is the one replaced.
QString resolvedTarget(const QString& path)
{
    const QFileInfo target(path);
    return target.isSymLink() ? target.symLinkTarget() : path;
}

QFileDevice::Permissions packagePermissions(const QString& target)
{
    if (QFileInfo::exists(target)) {
        return QFile::permissions(target);
    }
    return QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
        | QFileDevice::ReadOther;
}

// A file written beside its target and moved into place only once it is complete, so that a
// failed save never costs the user the package that was there before. Unless committed, the
// partial file is removed when this goes out of scope.
class ReplacingFile
{
public:
    explicit ReplacingFile(const QString& path)
        : m_target(resolvedTarget(path)), m_partial(m_target + QStringLiteral(".XXXXXX"))
    {
    }

    // Creating the partial file first finds an unwritable folder before any work is done.
    bool open() { return m_partial.open(); }

    int descriptor() { return m_partial.handle(); }

    QString partialPath() const { return m_partial.fileName(); }

    bool commit()
    {
        m_partial.close();
        QFile::setPermissions(partialPath(), packagePermissions(m_target));
        // rename(2) replaces an existing target in one step, which QFile::rename refuses to do.
        if (std::rename(QFile::encodeName(partialPath()).constData(),
                        QFile::encodeName(m_target).constData()) != 0) {
            return false;
        }
        m_partial.setAutoRemove(false);
        return true;
    }

private:
    QString m_target;
    QTemporaryFile m_partial;
};

} // namespace

class FaceMaskProject::Impl
{
public:
    explicit Impl(FaceMaskProject* owner) : q(owner) {}

    FaceMaskProject* q;
    int effectType = FaceOnly;
    QString name;
    QString subcategory = QStringLiteral("Face Masks");
    QString author = QStringLiteral("Pellora");
    FacialPoints facialPoints;
};

FaceMaskProject::FaceMaskProject() : d(std::make_unique<Impl>(this)) {}

FaceMaskProject::~FaceMaskProject() = default;

FacialPoints* FaceMaskProject::facialPoints() const
{
    return &d->facialPoints;
}

QString FaceMaskProject::name() const
{
    return d->name;
}

void FaceMaskProject::setName(const QString& name)
{
    d->name = name;
}

int FaceMaskProject::effectType() const
{
    return d->effectType;
}

void FaceMaskProject::setEffectType(int type)
{
    d->effectType = type;
}

QString FaceMaskProject::author() const
{
    return d->author;
}

QString FaceMaskProject::subcategory() const
{
    return d->subcategory;
}

bool FaceMaskProject::save(const QString& path) const
{
    ReplacingFile file(path);
    if (!file.open()) {
        return false;
    }
    const QByteArray properties = package::buildPropertiesDocument(d->name, d->author,
                                                                   d->subcategory, package::today());
    const QByteArray effect = package::buildEffectDocument(d->effectType, d->facialPoints.points());
    const std::optional<std::vector<Member>> members =
        packageMembers(properties, effect, d->facialPoints.image());
    return members && writeArchive(file.descriptor(), *members) && file.commit();
}

bool FaceMaskProject::load(const QString& path)
{
    const Archive archive = openArchive(path);
    if (!archive) {
        return false;
    }
    const std::optional<QByteArray> propertiesText = readDocument(archive, package::propertiesMember);
    const std::optional<QByteArray> effectText = readDocument(archive, package::effectMember);
    if (!propertiesText || !effectText) {
        return false;
    }
    const std::optional<package::Properties> properties =
        package::readPropertiesDocument(*propertiesText);
    const std::optional<package::Effect> effect = package::readEffectDocument(*effectText);
    if (!properties || !effect || int(effect->points.size()) < package::minimumPivotCount) {
        return false;
    }
    const std::optional<QByteArray> pictureBytes =
        readMember(archive, effect->picturePath, maximumMemberSize);
    const QImage picture = pictureBytes ? decodeImage(*pictureBytes) : QImage();
    if (picture.isNull()) {
        return false;
    }

    d->name = properties->name;
    d->subcategory = properties->subcategory;
    d->author = properties->author;
    d->effectType = effect->effectType;
    d->facialPoints.setImage(picture);
    d->facialPoints.setPoints(effect->points);
    return true;
}

} // namespace core
