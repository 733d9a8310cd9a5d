#include "cli/outputfile.h"

#include "core/interruptcleanup.h"
#include "core/newfilemode.h"

#include <QBuffer>
#include <QImage>

#include "cli/commandline.h"
#include "core/systemreason.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QVector>

#include <cerrno>
#include <climits>
#include <map>
#include <mutex>
#include <set>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cli {

namespace {

// As many links as the kernel follows in one name (MAXSYMLINKS).
constexpr int maximumLinkHops = 40;
// New files get what the window gives its packages.

QByteArray folderOf(const QByteArray& path)
{
    const int slash = path.lastIndexOf('/');
    if (slash < 0) {
        return QByteArrayLiteral(".");
    }
    return slash == 0 ? QByteArrayLiteral("/") : path.left(slash);
}

bool syncFolder(const QByteArray& folder)
{
    const int descriptor = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) {
        return false;
    }
    const bool synced = ::fsync(descriptor) == 0;
    ::close(descriptor);
    return synced;
}

// Whether folder holds an entry spelled exactly name (not one that differs in case alone).
bool hasEntrySpelled(const QByteArray& folder, const QByteArray& name)
{
    DIR* listing = ::opendir(folder.constData());
    if (!listing) {
        return true; // not known: taken as a file of its own
    }
    bool found = false;
    while (const dirent* entry = ::readdir(listing)) {
        if (name == entry->d_name) {
            found = true;
            break;
        }
    }
    ::closedir(listing);
    return found;
}

} // namespace

struct WrittenFiles::Impl {
    // Held from the look at the target to the record of the moved file, so that two outputs
    // reaching one file cannot both find it new.
    std::mutex mutex;
    std::set<std::pair<quint64, quint64>> files;
    // The paths written, case folded, with their spelling: a FAT or exFAT stick through FUSE
    // reaches one file by names that differ in case, under a different inode number for each.
    std::multimap<QString, QByteArray> paths;

    void record(const QByteArray& path, const struct stat& status)
    {
        files.insert({quint64(status.st_dev), quint64(status.st_ino)});
        paths.emplace(QFile::decodeName(path).toCaseFolded(), path);
    }
    // Whether the existing file path is one written under another spelling: the folder lists
    // no entry spelled as path, so the name reaches the written file by ignoring case.
    bool reachesAnotherSpelling(const QByteArray& path) const
    {
        const auto [first, last] = paths.equal_range(QFile::decodeName(path).toCaseFolded());
        if (std::none_of(first, last, [&path](const auto& written) { return written.second != path; })) {
            return false;
        }
        const int slash = path.lastIndexOf('/');
        return !hasEntrySpelled(folderOf(path), path.mid(slash + 1));
    }
};

WrittenFiles::WrittenFiles()
    : d(std::make_unique<Impl>())
{
}

WrittenFiles::~WrittenFiles() = default;

class OutputFile::Impl
{
public:
    QString path;
    bool replaceExisting = false;
    std::shared_ptr<const InputFiles> inputs;
    QByteArray target;     // the final file, the links followed
    QByteArray temporary;  // empty until prepared, and again once committed
    mode_t mode = mode_t(core::newFileMode()); // a new file; an existing one keeps its own
    int cleanupTicket = -1; // the temporary file, removed if the command is interrupted
    QString failure;
    bool fillEmpty = false; // an existing empty target is written in place
    bool inPlace = false;   // prepared so: write() and commit() work on target itself
    std::shared_ptr<WrittenFiles> written; // unset: this output alone

    bool fail(const QString& why)
    {
        failure = why;
        return false;
    }
    // A target written in place whose write failed goes empty again: half a PNG would be taken
    // for a picture by the service reading it. By name, once its descriptor is closed.
    void emptyInPlaceTarget() const
    {
        if (inPlace) {
            (void)::truncate(target.constData(), 0);
        }
    }
    bool failWithReason(int error)
    {
        return fail(QStringLiteral("cannot write ") + escaped(path) + QStringLiteral(": ")
                    + core::systemReason(error));
    }
    QString existsText() const
    {
        return escaped(path) + QStringLiteral(" exists (--force replaces it)");
    }
    QString writtenAlreadyText() const
    {
        return escaped(path) + QStringLiteral(" is a file this command has written already; it is not replaced");
    }
    // Whether the file with this status is one another output of the command has written;
    // the caller holds written->d->mutex.
    bool writtenByTheCommand(const struct stat& status) const
    {
        return written
            && (written->d->files.count({quint64(status.st_dev), quint64(status.st_ino)}) > 0
                || written->d->reachesAnotherSpelling(target));
    }
    bool moveIntoPlaceOnce();
    bool reserveAndRename();
    // Why the existing file (status of the target) may not be replaced; empty when it may.
    QString replaceProblem(const struct stat& status) const;
    bool resolveTarget();
    bool moveIntoPlace();
};

QString OutputFile::Impl::replaceProblem(const struct stat& status) const
{
    if (!S_ISREG(status.st_mode)) {
        return escaped(path) + (S_ISDIR(status.st_mode) ? QStringLiteral(" is a folder")
                                                         : QStringLiteral(" is not a regular file"));
    }
    if (inputs && inputs->contains(status.st_dev, status.st_ino)) {
        return escaped(path) + QStringLiteral(" is an input of this command; it is never replaced");
    }
    return QString();
}

bool OutputFile::Impl::resolveTarget()
{
    target = QFile::encodeName(path);
    struct stat status {};
    for (int hops = 0;; ++hops) {
        if (::lstat(target.constData(), &status) != 0) {
            if (errno != ENOENT) {
                return failWithReason(errno);
            }
            return true;  // a new file, or the file a dangling link names
        }
        if (!S_ISLNK(status.st_mode)) {
            return true;
        }
        if (hops == maximumLinkHops) {
            return failWithReason(ELOOP);
        }
        QByteArray link(PATH_MAX, '\0');
        const ssize_t length = ::readlink(target.constData(), link.data(), size_t(link.size()));
        if (length < 0 || length >= link.size()) {
            return failWithReason(length < 0 ? errno : ENAMETOOLONG);
        }
        link.truncate(int(length));
        target = link.startsWith('/') ? link : folderOf(target) + '/' + link;
    }
}

bool OutputFile::Impl::moveIntoPlace()
{
    if (!written) {
        return moveIntoPlaceOnce();
    }
    const std::lock_guard<std::mutex> lock(written->d->mutex);
    struct stat status {};
    if (::lstat(target.constData(), &status) == 0 && writtenByTheCommand(status)) {
        return fail(writtenAlreadyText());
    }
    if (!moveIntoPlaceOnce()) {
        return false;
    }
    if (::lstat(target.constData(), &status) == 0) {
        written->d->record(target, status);
    }
    return true;
}

// Nor hard links (FAT and exFAT, on USB sticks and memory cards): the name is taken first by an
// empty file made only where none exists, then the complete file is renamed over that one.
bool OutputFile::Impl::reserveAndRename()
{
    const int reserved = ::open(target.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (reserved < 0) {
        return errno == EEXIST ? fail(existsText()) : failWithReason(errno);
    }
    // The empty file is ours until the complete one replaces it: an interrupt meanwhile takes it
    // away, as it does the temporary file.
    const int ticket = core::interruptcleanup::watch(target.constData());
    ::close(reserved);
    const bool moved = ::rename(temporary.constData(), target.constData()) == 0;
    const int error = errno;
    if (!moved) {
        ::unlink(target.constData());
    }
    core::interruptcleanup::release(ticket);
    return moved || failWithReason(error);
}

bool OutputFile::Impl::moveIntoPlaceOnce()
{
    if (!replaceExisting) {
        // Refuses, in the same step as the move, a file that appeared since the check.
        if (::renameat2(AT_FDCWD, temporary.constData(), AT_FDCWD, target.constData(),
                        RENAME_NOREPLACE) == 0) {
            return true;
        }
        if (errno == EEXIST) {
            return fail(existsText());
        }
        if (errno != EINVAL && errno != ENOSYS) {
            return failWithReason(errno);
        }
        // A file system without RENAME_NOREPLACE: link(2) refuses an existing name as well.
        if (::link(temporary.constData(), target.constData()) == 0) {
            ::unlink(temporary.constData());
            return true;
        }
        if (errno == EEXIST) {
            return fail(existsText());
        }
        if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS) {
            return failWithReason(errno);
        }
        return reserveAndRename();
    }
    struct stat status {};
    if (::lstat(target.constData(), &status) == 0) {
        const QString problem = replaceProblem(status);
        if (!problem.isEmpty()) {
            return fail(problem);
        }
    }
    return ::rename(temporary.constData(), target.constData()) == 0 || failWithReason(errno);
}

InputFiles::InputFiles(const QStringList& paths)
{
    m_sorted.reserve(std::size_t(paths.size()));
    for (const QString& path : paths) {
        struct stat status {};
        if (::stat(QFile::encodeName(path).constData(), &status) == 0) {
            m_sorted.emplace_back(status.st_dev, status.st_ino);
        }
    }
    std::sort(m_sorted.begin(), m_sorted.end());
}

bool InputFiles::contains(quint64 device, quint64 inode) const
{
    return std::binary_search(m_sorted.begin(), m_sorted.end(), std::make_pair(device, inode));
}

OutputFile::OutputFile(const QString& path, bool replaceExisting, const QStringList& inputs)
    : OutputFile(path, replaceExisting, std::make_shared<const InputFiles>(inputs))
{
}

OutputFile::OutputFile(const QString& path, bool replaceExisting, std::shared_ptr<const InputFiles> inputs)
    : d(std::make_unique<Impl>())
{
    d->path = path;
    d->replaceExisting = replaceExisting;
    d->inputs = std::move(inputs);
}

OutputFile::~OutputFile()
{
    if (!d->temporary.isEmpty()) {
        ::unlink(d->temporary.constData());
    }
    core::interruptcleanup::release(d->cleanupTicket);
}

bool OutputFile::prepare()
{
    if (!d->resolveTarget()) {
        return false;
    }
    struct stat given {};
    const bool givenExists = ::lstat(QFile::encodeName(d->path).constData(), &given) == 0;
    struct stat status {};
    const bool targetExists = ::lstat(d->target.constData(), &status) == 0;
    if (targetExists) {
        const QString problem = d->replaceProblem(status);
        if (!problem.isEmpty()) {
            return d->fail(problem);
        }
        if (d->written) {
            const std::lock_guard<std::mutex> lock(d->written->d->mutex);
            if (d->writtenByTheCommand(status)) {
                return d->fail(d->writtenAlreadyText());
            }
        }
        d->mode = status.st_mode & 07777;
        // Only a file this one name reaches, and that may be written: otherwise --force replaces
        // it by renaming as before.
        if (d->fillEmpty && S_ISREG(status.st_mode) && status.st_size == 0 && status.st_nlink == 1
            && ::access(d->target.constData(), W_OK) == 0) {
            d->inPlace = true;
            return true;
        }
    }
    // A dangling link counts as existing too: writing would make the file it names.
    if ((givenExists || targetExists) && !d->replaceExisting) {
        return d->fail(d->existsText());
    }
    QByteArray pattern = core::interruptcleanup::partialFilePattern(d->target);
    const int descriptor = core::interruptcleanup::createWatched(&pattern, &d->cleanupTicket);
    if (descriptor < 0) {
        const int error = errno;
        const QString refused = core::refusedNameReason(QFile::decodeName(d->target), error);
        return refused.isEmpty() ? d->failWithReason(error)
                                 : d->fail(QStringLiteral("cannot write ") + escaped(d->path) + QStringLiteral(": ") + escaped(refused));
    }
    ::close(descriptor);
    d->temporary = pattern;
    return true;
}

void OutputFile::fillExistingEmptyFile()
{
    d->fillEmpty = true;
}

void OutputFile::recordIn(std::shared_ptr<WrittenFiles> written)
{
    d->written = std::move(written);
}

QString OutputFile::temporaryPath() const
{
    return QFile::decodeName(d->inPlace ? d->target : d->temporary);
}

bool OutputFile::write(const QByteArray& bytes)
{
    // In place, the file must still be the empty regular file found: not a link, a FIFO (which
    // O_NONBLOCK keeps from holding the open) or a file someone has written meanwhile.
    const int descriptor = d->inPlace
        ? ::open(d->target.constData(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)
        : ::open(d->temporary.constData(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (descriptor < 0) {
        return d->failWithReason(errno);
    }
    struct stat status {};
    if (d->inPlace && (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size != 0)) {
        ::close(descriptor);
        return d->fail(escaped(d->path) + QStringLiteral(" changed while the thumbnail was made; not written"));
    }
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(descriptor, bytes.constData() + done, size_t(bytes.size() - done));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            const int error = written < 0 ? errno : EIO;
            if (d->inPlace) {
                (void)::ftruncate(descriptor, 0); // see emptyInPlaceTarget()
            }
            ::close(descriptor);
            return d->failWithReason(error);
        }
        done += written;
    }
    // A network file system may report a full disk or quota only when the file is closed.
    if (::close(descriptor) != 0) {
        const int error = errno;
        d->emptyInPlaceTarget();
        return d->failWithReason(error);
    }
    return true;
}

bool OutputFile::commit()
{
    if (d->inPlace) {
        const int descriptor = ::open(d->target.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (descriptor < 0) {
            return d->failWithReason(errno);
        }
        const bool synced = ::fsync(descriptor) == 0;
        const int syncError = errno;
        ::close(descriptor);
        if (!synced) {
            d->emptyInPlaceTarget();
            return d->failWithReason(syncError);
        }
        return true;
    }
    if (d->temporary.isEmpty()) {
        return d->fail(QStringLiteral("cannot write ") + escaped(d->path));
    }
    // The content reaches the disk before its name does, so a crash leaves the old file or the
    // whole new one.
    const int descriptor = ::open(d->temporary.constData(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return d->failWithReason(errno);
    }
    const bool synced = ::fchmod(descriptor, d->mode) == 0 && ::fsync(descriptor) == 0;
    const int syncError = errno;
    ::close(descriptor);
    if (!synced) {
        return d->failWithReason(syncError);
    }
    if (!d->moveIntoPlace()) {
        return false;
    }
    d->temporary.clear();
    core::interruptcleanup::release(d->cleanupTicket);
    d->cleanupTicket = -1;
    syncFolder(folderOf(d->target));
    return true;
}

bool OutputFile::writePicture(const QImage& picture)
{
    const QByteArray png = pngBytes(picture);
    if (png.isEmpty()) {
        failedWriting(ENOMEM);
        return false;
    }
    return write(png) && commit();
}

QString OutputFile::failure() const
{
    return d->failure;
}

void OutputFile::failedChecking(const QString& reason)
{
    d->fail(escaped(d->path) + QStringLiteral(" not written: ") + reason);
}

void OutputFile::failedWriting(int error)
{
    if (error == ENOMEM) {
        d->fail(QStringLiteral("out of memory; ") + escaped(d->path) + QStringLiteral(" not written"));
    } else if (error != 0) {
        d->failWithReason(error);
    } else {
        d->fail(QStringLiteral("cannot write ") + escaped(d->path));
    }
}

namespace {

// The interrupt cleanup's tickets of the folders makeFolders made, by name.
std::mutex madeFoldersMutex;
std::map<QString, int> madeFolderTickets;

void watchMadeFolder(const QString& path, const QByteArray& name)
{
    const int ticket = core::interruptcleanup::watchFolder(name.constData());
    const std::lock_guard<std::mutex> lock(madeFoldersMutex);
    madeFolderTickets[path] = ticket;
}

void releaseMadeFolder(const QString& path)
{
    const std::lock_guard<std::mutex> lock(madeFoldersMutex);
    const auto found = madeFolderTickets.find(path);
    if (found != madeFolderTickets.end()) {
        core::interruptcleanup::release(found->second);
        madeFolderTickets.erase(found);
    }
}

} // namespace

void removeEmptyFolders(const QStringList& made)
{
    for (int i = made.size() - 1; i >= 0; --i) {
        ::rmdir(QFile::encodeName(made[i]).constData());
        releaseMadeFolder(made[i]);
    }
}

int makeFolders(const QString& path, QStringList* made)
{
    const QStringList parts = QDir::cleanPath(path).split(QLatin1Char('/'));
    QString current;
    for (int i = 0; i < parts.size(); ++i) {
        current = i == 0 ? parts[0] : current + QLatin1Char('/') + parts[i];
        if (current.isEmpty()) {
            continue;  // the root of an absolute path
        }
        const QByteArray name = QFile::encodeName(current);
        if (::mkdir(name.constData(), 0777) == 0) {
            made->append(current);
            watchMadeFolder(current, name);
            continue;
        }
        int error = errno;
        struct stat status {};
        if (error == EEXIST) {
            error = ::stat(name.constData(), &status) != 0 ? errno : S_ISDIR(status.st_mode) ? 0 : ENOTDIR;
        }
        if (error != 0) {
            removeEmptyFolders(*made);
            made->clear();
            return error;
        }
    }
    return 0;
}

QByteArray pngBytes(const QImage& picture)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    if (picture.isNull() || !buffer.open(QIODevice::WriteOnly) || !picture.save(&buffer, "PNG")) {
        return QByteArray();
    }
    return bytes;
}

} // namespace cli
