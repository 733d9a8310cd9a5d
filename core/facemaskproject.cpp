#include "core/facemaskproject.h"

#include "core/facialpoints.h"
#include "core/imagefiles.h"
#include "core/packageformat.h"
#include "core/packagelimits.h"
#include "core/pngcodec.h"
#include "core/replacingfile.h"
#include "core/systemreason.h"
#include "core/thumbnaildrawing.h"
#include "zip/ziparchive.h"

#include <QBuffer>
#include <QFile>
#include <QDateTime>
#include <QFileInfo>
#include <QThreadPool>

#include <algorithm>
#include <condition_variable>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace core {

namespace {

using package::maximumDocumentSize;
using package::maximumMemberSize;

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

// Told from the file's description and the error of the failed open (0: it opened, or was
// never tried); opening it again could wait forever (a pipe).
QString whyNotOpened(const QString& path, int openError)
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
    // Out of descriptors or memory, the archive could not be opened at all: not its content's fault.
    if (openError != 0) {
        return QStringLiteral("cannot be opened: %1").arg(systemReason(openError));
    }
    const int descriptor = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        return QStringLiteral("cannot be opened: %1").arg(systemReason(errno));
    }
    ::close(descriptor);
    return QStringLiteral("not a ZIP archive");
}

// "cannot read m.pmk: Input/output error": the disk, not the package, failed.
QString unreadable(const QString& path, int error)
{
    return QStringLiteral("cannot read %1: %2").arg(QFileInfo(path).fileName(), systemReason(error));
}

// The archive, or null with *why and, when the disk failed a read, *error set.
Archive openArchive(const QString& path, QString* why, int* error)
{
    ArchiveResult opened = ArchiveResult::Ok;
    int systemError = 0;
    HZIP handle = archiveOpenFile(utf16(path), nullptr, &opened, &systemError);
    if (!handle) {
        if (opened == ArchiveResult::SystemError) {
            *error = systemError;
            *why = unreadable(path, systemError);
        } else if (opened == ArchiveResult::Inconsistent) {
            *why = QStringLiteral("ZIP directory disagrees with its end record");
        } else if (opened == ArchiveResult::Unsupported) {
            *why = QStringLiteral("ZIP archive spanned or larger than 4 GiB (not supported)");
        } else {
            *why = whyNotOpened(path, systemError);
        }
        return nullptr;
    }
    return Archive(handle, [](HZIP opened) { archiveClose(opened); });
}

QString declaredSizeProblem(const ArchiveMemberInfo& info, quint32 limit, const QString& name)
{
    return package::declaredSizeProblem(name, info.uncompressedSize, info.compressedSize, limit);
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
    if (found == ArchiveResult::Unsupported) {
        return refuse(why, QStringLiteral("member %1 larger than 4 GiB (not supported)").arg(name));
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

// Work handed to the global thread pool that its caller can take back: whoever claims it first
// runs it. A caller that finds it unclaimed when it needs the result runs it itself, so a pool
// whose threads are all busy (a batch saving on every core) never leaves a save waiting for
// its own side work. Dropped unclaimed, the work is never run.
template <typename Result>
class SideTask
{
public:
    explicit SideTask(std::function<Result()> work) : m_state(std::make_shared<State>())
    {
        m_state->work = std::move(work);
        std::shared_ptr<State> state = m_state;
        QThreadPool::globalInstance()->start([state] { state->runUnlessClaimed(); });
    }

    ~SideTask() { m_state->claimed.exchange(true); }

    // The result, once; on the calling thread when no pool thread has started the work yet.
    Result take()
    {
        m_state->runUnlessClaimed();
        std::unique_lock<std::mutex> lock(m_state->mutex);
        m_state->finished.wait(lock, [this] { return m_state->done; });
        return std::move(m_state->result);
    }

private:
    Q_DISABLE_COPY(SideTask)

    struct State {
        std::atomic<bool> claimed{false};
        std::function<Result()> work;
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
        Result result{};

        void runUnlessClaimed()
        {
            if (claimed.exchange(true)) {
                return;
            }
            Result made{};
            try {
                made = work();
            } catch (...) {
                made = Result{};
            }
            {
                std::lock_guard<std::mutex> lock(mutex);
                result = std::move(made);
                done = true;
            }
            finished.notify_all();
        }
    };
    std::shared_ptr<State> m_state;
};

// The JPEG bytes of the three thumbnails, drawn from one reduced copy of the picture. Small and
// large have the same size, so they are the same picture: drawn and encoded once, stored twice.
struct Thumbnails {
    QByteArray small;
    QByteArray medium;
    QByteArray large;
};

Thumbnails drawThumbnails(const QImage& picture)
{
    using namespace package;
    const bool shared = smallThumbnailSize == largeThumbnailSize;
    std::vector<QSize> sizes{largeThumbnailSize, mediumThumbnailSize};
    if (!shared) {
        sizes.push_back(smallThumbnailSize);
    }
    const std::vector<QImage> drawn = makeThumbnails(picture, sizes);
    Thumbnails thumbnails;
    thumbnails.large = encodeImage(drawn[0], "jpg");
    thumbnails.medium = encodeImage(drawn[1], "jpg");
    thumbnails.small = shared ? thumbnails.large : encodeImage(drawn[2], "jpg");
    return thumbnails;
}

// Every member of a package in writing order, or nothing when a picture cannot be encoded or
// cancel is set. The thumbnails are drawn on the worker pool while the picture is encoded (on
// two threads of its own); that encode is most of the work of a save: progress runs to 70 %.
std::optional<std::vector<Member>> packageMembers(const QByteArray& properties,
                                                  const QByteArray& effect, const QImage& picture,
                                                  const Progress& progress,
                                                  const std::atomic_bool* cancel)
{
    using namespace package;
    if (isSet(cancel)) {
        return std::nullopt;
    }
    SideTask<Thumbnails> thumbnailWork([picture] { return drawThumbnails(picture); });
    std::vector<Member> members{{propertiesMember, properties}, {effectMember, effect}};
    members.push_back({pictureMember, png::encode(picture)});
    report(progress, 70);
    if (isSet(cancel)) {
        return std::nullopt;
    }
    const Thumbnails thumbnails = thumbnailWork.take();
    members.push_back({smallThumbnailMember, thumbnails.small});
    members.push_back({mediumThumbnailMember, thumbnails.medium});
    members.push_back({largeThumbnailMember, thumbnails.large});
    report(progress, 80);
    for (const Member& member : members) {
        if (member.bytes.isEmpty()) {
            return std::nullopt;
        }
    }
    return members;
}

// Unset: members carry the local clock. Only set while no package is being written.
std::optional<qint64> fixedMemberTime;

// The wall-clock reading stored for the moment. DOS dates cover 1980 to 2107 only: earlier
// and later moments are clamped to the first and last stamp they can hold (2 s steps).
ArchiveLocalTime memberTimeOf(qint64 secondsSinceEpoch)
{
    constexpr qint64 firstDosSecond = Q_INT64_C(315532800);   // 1980-01-01 00:00:00 UTC
    constexpr qint64 lastDosSecond = Q_INT64_C(4354819198);   // 2107-12-31 23:59:58 UTC
    const QDateTime moment = QDateTime::fromSecsSinceEpoch(
        std::clamp(secondsSinceEpoch, firstDosSecond, lastDosSecond), Qt::UTC);
    const QDate date = moment.date();
    const QTime time = moment.time();
    return ArchiveLocalTime{date.year(), date.month(), date.day(),
                            time.hour(), time.minute(), time.second()};
}

// Writes through a descriptor the caller opened, so that the file the archive goes into is the
// one Qt named, whatever encoding the file system uses for names. Progress runs from 80 %. On a
// failed write, *error holds the system's error number of the first failure (0 when none said).
bool writeArchive(int descriptor, const std::vector<Member>& members, const Progress& progress,
                  const std::atomic_bool* cancel, int* error)
{
    *error = 0;
    const auto noteError = [error](bool ok) {
        if (!ok && *error == 0) {
            *error = errno;
        }
        return ok;
    };
    HZIP archive = archiveCreateOnHandle(descriptor, nullptr);
    if (!archive) {
        return false;
    }
    if (fixedMemberTime) {
        const ArchiveLocalTime stamp = memberTimeOf(*fixedMemberTime);
        archiveSetClock(archive, &stamp);
    }
    bool written = true;
    quint64 total = 0;
    for (const Member& member : members) {
        total += quint64(member.bytes.size());
    }
    quint64 done = 0;
    for (const Member& member : members) {
        errno = 0;
        written = written && !isSet(cancel)
            // Pictures are compressed already; deflating them again would only cost time.
            && noteError(archiveAddBufferAtLevel(archive, utf16(QString::fromUtf8(member.name)),
                                                 member.bytes.constData(), quint32(member.bytes.size()),
                                                 kArchiveAutomaticLevel)
                         == ArchiveResult::Ok);
        done += quint64(member.bytes.size());
        report(progress, percentBetween(80, 99, done, total));
    }
    // Without its directory the archive is unreadable, so a failed close fails the save.
    errno = 0;
    const bool closed = noteError(archiveClose(archive) == ArchiveResult::Ok);
    return written && closed;
}

// Why the package written at path (open at descriptor) would be refused when opened, checked
// with the loader's own bounds and readers: the documents as the loader parses them, the
// picture's size, and every member's sizes as the written directory declares them. The file is
// read in place, by position: no copy of it is held, and a read the disk fails is an error
// number, where a mapping's page would end the program with SIGBUS. Empty when it would open;
// *error holds the system's error number when reading it back failed.
QString reopeningProblem(const QString& path, int descriptor, const QByteArray& properties,
                         const QByteArray& effect, const QImage& picture, int* error)
{
    using namespace package;
    QString why;
    if (!readPropertiesDocument(properties, &why)) {
        return QStringLiteral("%1: %2").arg(QLatin1String(propertiesMember), why);
    }
    const std::optional<Effect> effectRead = readEffectDocument(effect, &why);
    if (!effectRead) {
        return QStringLiteral("%1: %2").arg(QLatin1String(effectMember), why);
    }
    if (int(effectRead->points.size()) < minimumPivotCount) {
        return QStringLiteral("%1 points, at least %2 needed")
            .arg(effectRead->points.size())
            .arg(minimumPivotCount);
    }
    const QString pictureProblem = pictureSizeProblem(picture.size());
    if (!pictureProblem.isEmpty()) {
        return pictureProblem;
    }
    const auto readBackFailed = [&](int systemError) {
        *error = systemError;
        return QStringLiteral("cannot read back %1: %2").arg(path, systemReason(systemError));
    };
    ArchiveResult opened = ArchiveResult::CannotOpen;
    int systemError = 0;
    const Archive archive(archiveOpenDescriptor(descriptor, nullptr, &opened, &systemError),
                          [](HZIP handle) { archiveClose(handle); });
    if (!archive) {
        if (systemError != 0) {
            return readBackFailed(systemError);
        }
        return QStringLiteral("written package unreadable (%1)").arg(uint(opened), 0, 16);
    }
    for (const char* name : writtenMembers) {
        const bool document = name == propertiesMember || name == effectMember;
        const quint32 limit = document ? maximumDocumentSize : maximumMemberSize;
        const QString memberName = QString::fromUtf8(name);
        ArchiveMemberInfo info;
        const ArchiveResult found = archiveFindMember(archive.get(), utf16(memberName), true, nullptr, &info);
        if (found == ArchiveResult::SystemError) {
            return readBackFailed(archiveSystemError(archive.get()));
        }
        if (found != ArchiveResult::Ok) {
            return QStringLiteral("written package unreadable: member %1").arg(memberName);
        }
        const QString sizeProblem = declaredSizeProblem(info, limit, memberName);
        if (!sizeProblem.isEmpty()) {
            return sizeProblem;
        }
    }
    return QString();
}

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
    package::ForeignTexts foreign;
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
            d->facialPoints.image(), d->facialPoints.points(), QString(), d->foreign};
}

void FaceMaskProject::apply(const ProjectSnapshot& snapshot)
{
    d->name = snapshot.name;
    d->subcategory = snapshot.subcategory;
    d->author = snapshot.author;
    d->foreign = snapshot.foreign;
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

SaveResult FaceMaskProject::saveWithReason(const QString& path) const
{
    return writePackage(snapshot(), path);
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

void setPackageMemberTime(std::optional<qint64> secondsSinceEpoch)
{
    fixedMemberTime = secondsSinceEpoch;
}

SaveResult writePackage(const ProjectSnapshot& snapshot, const QString& path,
                        const Progress& progress, const std::atomic_bool* cancel)
{
    report(progress, 0);
    const auto failed = [cancel](const QString& why, int error = 0) {
        return isSet(cancel) ? SaveResult{false, QStringLiteral("cancelled")} : SaveResult{false, why, error};
    };
    // Refused before any work: the loader would not take the picture back.
    const QString pictureProblem = package::pictureSizeProblem(snapshot.picture.size());
    if (snapshot.picture.isNull() || !pictureProblem.isEmpty()) {
        return failed(snapshot.picture.isNull() ? QStringLiteral("no picture") : pictureProblem);
    }
    ReplacingFile file(path);
    int openError = 0;
    if (!file.open(&openError)) {
        const QString refused = refusedNameReason(file.target(), openError);
        if (!refused.isEmpty()) {
            return failed(refused, openError);
        }
        // The system's reason tells a missing permission from a session out of descriptors.
        return failed(openError != 0 ? QStringLiteral("cannot create a file beside %1: %2").arg(path, systemReason(openError))
                                     : QStringLiteral("cannot create a file beside %1").arg(path),
                      openError);
    }
    const QByteArray properties = package::buildPropertiesDocument(
        snapshot.name, snapshot.author, snapshot.subcategory, package::today(), snapshot.foreign);
    const QByteArray effect = package::buildEffectDocument(snapshot.effectType, snapshot.points);
    const std::optional<std::vector<Member>> members =
        packageMembers(properties, effect, snapshot.picture, progress, cancel);
    if (!members) {
        return failed(QStringLiteral("the picture cannot be encoded"));
    }
    int writeError = 0;
    if (!writeArchive(file.descriptor(), *members, progress, cancel, &writeError) || isSet(cancel)) {
        // The system's reason tells a full disk from a missing permission.
        return failed(writeError != 0 ? QStringLiteral("cannot write %1: %2").arg(path, systemReason(writeError))
                                      : QStringLiteral("cannot write %1").arg(path),
                      writeError);
    }
    int readError = 0;
    const QString problem = reopeningProblem(path, file.descriptor(), properties, effect, snapshot.picture, &readError);
    if (!problem.isEmpty()) {
        return failed(problem, readError);
    }
    QString why;
    int commitError = 0;
    if (!file.commit(&why, &commitError)) {
        return failed(why, commitError);
    }
    report(progress, 100);
    return {true, QString()};
}

bool savePackage(const ProjectSnapshot& snapshot, const QString& path, const Progress& progress,
                 const std::atomic_bool* cancel)
{
    return writePackage(snapshot, path, progress, cancel).ok;
}

namespace {

LoadResult refusal(const QString& reason)
{
    return {false, reason};
}

// The refusal after a member of archive was not read: the disk's failure when the reader met
// one, whatever the member's check said.
LoadResult memberRefusal(const Archive& archive, const QString& path, const QString& reason)
{
    const int error = archiveSystemError(archive.get());
    if (error != 0) {
        return {false, unreadable(path, error), error};
    }
    return refusal(reason);
}

// "properties.json: mask_pivots is not an array"
QString documentProblem(const char* member, const QString& problem)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(member), problem);
}

// The members of archive other than folders and those a save writes (the picture under the name
// the description gives it), found as the loader finds members, without regard to case. At most
// PackageReading::maximumOtherMembers; none when the archive cannot be listed.
QStringList otherMembers(const Archive& archive, const QString& picturePath)
{
    using namespace package;
    ArchiveMemberInfo listing;
    if (archiveMemberInfo(archive.get(), -1, &listing) != ArchiveResult::Ok) {
        return {};
    }
    // The picture is written under the usual name, but read from the one the description gives.
    const auto isWritten = [&picturePath](const QString& name) {
        return name.compare(picturePath, Qt::CaseInsensitive) == 0
            || std::any_of(std::begin(writtenMembers), std::end(writtenMembers), [&name](const char* written) {
                   return written != pictureMember && name.compare(QLatin1String(written), Qt::CaseInsensitive) == 0;
               });
    };
    QStringList others;
    for (int32_t i = 0; i < listing.index && others.size() < PackageReading::maximumOtherMembers; ++i) {
        ArchiveMemberInfo member;
        if (archiveMemberInfo(archive.get(), i, &member) != ArchiveResult::Ok) {
            continue;
        }
        const QString name = QString::fromUtf16(member.name);
        if (!isWritten(name) && !(member.attributes & 0x10) && !name.endsWith(QLatin1Char('/'))) {
            others.append(name);
        }
    }
    return others;
}

} // namespace

PackageReading readPackage(const QString& path, const Progress& progress,
                           const std::atomic_bool* cancel)
{
    using namespace package;
    report(progress, 0);
    QString why;
    int error = 0;
    const Archive archive = openArchive(path, &why, &error);
    if (!archive) {
        return {{false, why, error}, {}, {}};
    }
    const std::optional<QByteArray> propertiesText = readDocument(archive, propertiesMember, &why);
    const std::optional<QByteArray> effectText =
        propertiesText ? readDocument(archive, effectMember, &why) : std::nullopt;
    if (!effectText) {
        return {memberRefusal(archive, path, why), {}, {}};
    }
    const std::optional<Properties> properties = readPropertiesDocument(*propertiesText, &why);
    if (!properties) {
        return {refusal(documentProblem(propertiesMember, why)), {}, {}};
    }
    std::optional<Effect> effect = readEffectDocument(*effectText, &why);
    if (!effect) {
        return {refusal(documentProblem(effectMember, why)), {}, {}};
    }
    if (int(effect->points.size()) < minimumPivotCount) {
        return {refusal(documentProblem(
                    effectMember, QStringLiteral("mask_pivots has %1 elements, at least %2 needed")
                                      .arg(effect->points.size())
                                      .arg(minimumPivotCount))),
                {}, {}};
    }
    report(progress, 5);
    const std::optional<QByteArray> pictureBytes =
        readMember(archive, effect->picturePath, maximumMemberSize, &why, progress, {5, 40}, cancel);
    if (!pictureBytes) {
        return {memberRefusal(archive, path, why), {}, {}};
    }
    const ImageDecoding decoded = decodePackagePicture(*pictureBytes, cancel);
    if (decoded.picture.isNull()) {
        return {refusal(decoded.reason), {}, {}};
    }
    QStringList others = otherMembers(archive, effect->picturePath);
    report(progress, 100);
    return {{true, QString()},
            {properties->name, properties->author, properties->subcategory, effect->effectType,
             decoded.picture, std::move(effect->points), properties->time, properties->foreign},
            std::move(others)};
}

} // namespace core
