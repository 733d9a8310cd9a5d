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

// A member is inflated this much at a time, so that progress moves and a cancel is heard.
constexpr quint32 extractionPiece = quint32(4) << 20;

bool isSet(const std::atomic_bool* cancel)
{
    return cancel && cancel->load();
}

void report(const Progress& progress, int percent)
{
    if (progress) {
        progress(percent);
    }
}

// Sets the reason of a refusal and returns the empty result.
std::nullopt_t refuse(QString* why, const QString& reason)
{
    *why = reason;
    return std::nullopt;
}

// Told from the file's description alone: opening it again could wait forever (a pipe).
QString whyNotOpened(const QString& path)
{
    const QFileInfo file(path);
    if (!file.exists()) {
        return QStringLiteral("file not found");
    }
    if (!file.isFile()) {
        return QStringLiteral("not a regular file");
    }
    if (!file.isReadable()) {
        return QStringLiteral("file cannot be read");
    }
    return QStringLiteral("not a ZIP archive");
}

Archive openArchive(const QString& path, QString* why)
{
    HZIP handle = archiveOpenFile(utf16(path), nullptr);
    if (!handle) {
        *why = whyNotOpened(path);
        return nullptr;
    }
    return Archive(handle, [](HZIP opened) { archiveClose(opened); });
}

QString declaredSizeProblem(const ArchiveMemberInfo& info, quint32 limit, const QString& name)
{
    if (info.uncompressedSize == 0) {
        return QStringLiteral("member %1 is empty").arg(name);
    }
    if (info.uncompressedSize > limit) {
        return QStringLiteral("member %1 declares %2 bytes, at most %3 allowed")
            .arg(name)
            .arg(info.uncompressedSize)
            .arg(limit);
    }
    if (info.uncompressedSize > quint64(info.compressedSize) * maximumDeflateRatio) {
        return QStringLiteral("member %1 declares %2 bytes, more than its %3 compressed bytes hold")
            .arg(name)
            .arg(info.uncompressedSize)
            .arg(info.compressedSize);
    }
    return QString();
}

QString extractionProblem(ArchiveResult result, const QString& name)
{
    if (result == ArchiveResult::Corrupt) {
        return QStringLiteral("CRC or size mismatch in %1").arg(name);
    }
    if (result == ArchiveResult::BadPassword) {
        return QStringLiteral("member %1 is encrypted").arg(name);
    }
    return QStringLiteral("member %1 cannot be extracted").arg(name);
}

// The part of progress from first to last percent that done of total stands for.
int percentBetween(int first, int last, quint64 done, quint64 total)
{
    return total == 0 ? last : first + int((last - first) * done / total);
}

struct Span {
    int first = 0;
    int last = 100;
};

// The whole member, or nothing when it is missing, implausibly large, does not extract, or
// cancel is set; progress runs across span while it is inflated.
std::optional<QByteArray> readMember(const Archive& archive, const QString& name, quint32 limit,
                                     QString* why, const Progress& progress = {}, Span span = {},
                                     const std::atomic_bool* cancel = nullptr)
{
    ArchiveMemberInfo info;
    const ArchiveResult found = archiveFindMember(archive.get(), utf16(name), true, nullptr, &info);
    if (found == ArchiveResult::NotFound) {
        return refuse(why, QStringLiteral("member %1 missing").arg(name));
    }
    if (found != ArchiveResult::Ok) {
        return refuse(why, QStringLiteral("member %1: headers disagree").arg(name));
    }
    const QString sizeProblem = declaredSizeProblem(info, limit, name);
    if (!sizeProblem.isEmpty()) {
        return refuse(why, sizeProblem);
    }
    QByteArray bytes(int(info.uncompressedSize), '\0');
    for (quint32 done = 0;;) {
        if (isSet(cancel)) {
            return refuse(why, QStringLiteral("cancelled"));
        }
        const quint32 piece = std::min(extractionPiece, info.uncompressedSize - done);
        const ArchiveResult result =
            archiveExtractToBuffer(archive.get(), info.index, bytes.data() + done, piece);
        done += piece;
        report(progress, percentBetween(span.first, span.last, done, info.uncompressedSize));
        if (result == ArchiveResult::Ok && done == info.uncompressedSize) {
            return bytes;
        }
        if (result != ArchiveResult::MoreData || done >= info.uncompressedSize) {
            return refuse(why, extractionProblem(result, name));
        }
    }
}

std::optional<QByteArray> readDocument(const Archive& archive, const char* name, QString* why)
{
    return readMember(archive, QString::fromUtf8(name), maximumDocumentSize, why);
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

// Every member of a package in writing order, or nothing when a picture cannot be encoded or
// cancel is set. The package picture is most of the work of a save: progress runs to 70 %.
std::optional<std::vector<Member>> packageMembers(const QByteArray& properties,
                                                  const QByteArray& effect, const QImage& picture,
                                                  const Progress& progress,
                                                  const std::atomic_bool* cancel)
{
    using namespace package;
    if (isSet(cancel)) {
        return std::nullopt;
    }
    std::vector<Member> members{{propertiesMember, properties}, {effectMember, effect}};
    members.push_back({pictureMember, png::encode(picture)});
    report(progress, 70);
    const std::pair<const char*, QSize> thumbnails[] = {{smallThumbnailMember, smallThumbnailSize},
                                                        {mediumThumbnailMember, mediumThumbnailSize},
                                                        {largeThumbnailMember, largeThumbnailSize}};
    for (const auto& [name, size] : thumbnails) {
        if (isSet(cancel)) {
            return std::nullopt;
        }
        members.push_back({name, encodeImage(makeThumbnail(picture, size), "jpg")});
    }
    report(progress, 80);
    for (const Member& member : members) {
        if (member.bytes.isEmpty()) {
            return std::nullopt;
        }
    }
    return members;
}

// Writes through a descriptor the caller opened, so that the file the archive goes into is the
// one Qt named, whatever encoding the file system uses for names. Progress runs from 80 %.
bool writeArchive(int descriptor, const std::vector<Member>& members, const Progress& progress,
                  const std::atomic_bool* cancel)
{
    HZIP archive = archiveCreateOnHandle(descriptor, nullptr);
    if (!archive) {
        return false;
    }
    bool written = true;
    quint64 total = 0;
    for (const Member& member : members) {
        total += quint64(member.bytes.size());
    }
    quint64 done = 0;
    for (const Member& member : members) {
        written = written && !isSet(cancel)
            // Pictures are compressed already; deflating them again would only cost time.
            && archiveAddBufferAtLevel(archive, utf16(QString::fromUtf8(member.name)),
                                       member.bytes.constData(), quint32(member.bytes.size()),
                                       kArchiveAutomaticLevel)
                == ArchiveResult::Ok;
        done += quint64(member.bytes.size());
        report(progress, percentBetween(80, 99, done, total));
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
    if (type == d->effectType) {
        return;
    }
    d->effectType = type;
    emit effectTypeChanged(type);
}

QString FaceMaskProject::author() const
{
    return d->author;
}

void FaceMaskProject::setAuthor(const QString& author)
{
    d->author = author;
}

QString FaceMaskProject::subcategory() const
{
    return d->subcategory;
}

ProjectSnapshot FaceMaskProject::snapshot() const
{
    return {d->name,         d->author,
            d->subcategory,  d->effectType,
            d->facialPoints.image(), d->facialPoints.points(), QString()};
}

void FaceMaskProject::apply(const ProjectSnapshot& snapshot)
{
    d->name = snapshot.name;
    d->subcategory = snapshot.subcategory;
    d->author = snapshot.author;
    const bool typeChanged = d->effectType != snapshot.effectType;
    d->effectType = snapshot.effectType;
    if (typeChanged) {
        emit effectTypeChanged(d->effectType);
    }
    d->facialPoints.setImage(snapshot.picture);
    d->facialPoints.setPoints(snapshot.points);
}

bool FaceMaskProject::save(const QString& path) const
{
    return savePackage(snapshot(), path);
}

LoadResult FaceMaskProject::loadWithReason(const QString& path)
{
    const PackageReading reading = readPackage(path);
    if (reading.result.ok) {
        apply(reading.snapshot);
    }
    return reading.result;
}

bool FaceMaskProject::load(const QString& path)
{
    return loadWithReason(path).ok;
}

bool savePackage(const ProjectSnapshot& snapshot, const QString& path, const Progress& progress,
                 const std::atomic_bool* cancel)
{
    report(progress, 0);
    ReplacingFile file(path);
    if (!file.open()) {
        return false;
    }
    const QByteArray properties = package::buildPropertiesDocument(
        snapshot.name, snapshot.author, snapshot.subcategory, package::today());
    const QByteArray effect = package::buildEffectDocument(snapshot.effectType, snapshot.points);
    const std::optional<std::vector<Member>> members =
        packageMembers(properties, effect, snapshot.picture, progress, cancel);
    const bool saved = members && writeArchive(file.descriptor(), *members, progress, cancel)
        && !isSet(cancel) && file.commit();
    if (saved) {
        report(progress, 100);
    }
    return saved;
}

namespace {

LoadResult refusal(const QString& reason)
{
    return {false, reason};
}

// "properties.json: mask_pivots is not an array"
QString documentProblem(const char* member, const QString& problem)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(member), problem);
}

} // namespace

PackageReading readPackage(const QString& path, const Progress& progress,
                           const std::atomic_bool* cancel)
{
    using namespace package;
    report(progress, 0);
    QString why;
    const Archive archive = openArchive(path, &why);
    if (!archive) {
        return {refusal(why), {}};
    }
    const std::optional<QByteArray> propertiesText = readDocument(archive, propertiesMember, &why);
    const std::optional<QByteArray> effectText =
        propertiesText ? readDocument(archive, effectMember, &why) : std::nullopt;
    if (!effectText) {
        return {refusal(why), {}};
    }
    const std::optional<Properties> properties = readPropertiesDocument(*propertiesText, &why);
    if (!properties) {
        return {refusal(documentProblem(propertiesMember, why)), {}};
    }
    std::optional<Effect> effect = readEffectDocument(*effectText, &why);
    if (!effect) {
        return {refusal(documentProblem(effectMember, why)), {}};
    }
    if (int(effect->points.size()) < minimumPivotCount) {
        return {refusal(documentProblem(
                    effectMember, QStringLiteral("mask_pivots has %1 elements, at least %2 needed")
                                      .arg(effect->points.size())
                                      .arg(minimumPivotCount))),
                {}};
    }
    report(progress, 5);
    const std::optional<QByteArray> pictureBytes =
        readMember(archive, effect->picturePath, maximumMemberSize, &why, progress, {5, 40}, cancel);
    if (!pictureBytes) {
        return {refusal(why), {}};
    }
    const ImageDecoding decoded = decodePackagePicture(*pictureBytes, cancel);
    if (decoded.picture.isNull()) {
        return {refusal(decoded.reason), {}};
    }
    report(progress, 100);
    return {{true, QString()},
            {properties->name, properties->author, properties->subcategory, effect->effectType,
             decoded.picture, std::move(effect->points), properties->time}};
}

} // namespace core
