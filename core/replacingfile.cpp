#include "core/replacingfile.h"

#include "core/interruptcleanup.h"
#include "core/newfilemode.h"
#include "core/systemreason.h"

#include <QFile>
#include <QFileDevice>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace core {

namespace {

// A symbolic link keeps pointing at the file: the file it finally names, through a chain of
// links, is the one replaced (or made, for a dangling link). Links that loop name no file; then
// the path itself is replaced.
QString resolvedTarget(const QString& path)
{
    constexpr int maximumLinkHops = 40;
    QString target = path;
    for (int hop = 0; hop < maximumLinkHops; ++hop) {
        const QFileInfo info(target);
        if (!info.isSymLink()) {
            return target;
        }
        target = info.symLinkTarget();
    }
    return path;
}

QFileDevice::Permissions targetPermissions(const QString& target)
{
    if (QFileInfo::exists(target)) {
        return QFile::permissions(target);
    }
    // A new file gets the mode any new file of the user gets.
    const unsigned mode = newFileMode();
    QFileDevice::Permissions permissions;
    const std::pair<unsigned, QFileDevice::Permission> bits[] = {
        {0400, QFileDevice::ReadOwner}, {0200, QFileDevice::WriteOwner}, {0040, QFileDevice::ReadGroup},
        {0020, QFileDevice::WriteGroup}, {0004, QFileDevice::ReadOther}, {0002, QFileDevice::WriteOther}};
    for (const auto& [bit, permission] : bits) {
        if (mode & bit) {
            permissions |= permission;
        }
    }
    return permissions;
}

} // namespace

ReplacingFile::ReplacingFile(const QString& path)
    : m_target(resolvedTarget(path))
{
}

ReplacingFile::~ReplacingFile()
{
    if (m_descriptor >= 0) {
        ::close(m_descriptor);
    }
    // Removed before it is let go, so that no moment leaves it behind.
    if (!m_partial.isEmpty() && !m_committed) {
        ::unlink(m_partial.constData());
    }
    interruptcleanup::release(m_cleanupTicket);
}

bool ReplacingFile::open(int* error)
{
    QByteArray pattern = interruptcleanup::partialFilePattern(QFile::encodeName(m_target));
    m_descriptor = interruptcleanup::createWatched(&pattern, &m_cleanupTicket);
    if (m_descriptor < 0) {
        *error = errno;
        return false;
    }
    m_partial = pattern;
    return true;
}

QString ReplacingFile::partialPath() const
{
    return QFile::decodeName(m_partial);
}

bool ReplacingFile::commit(QString* why, int* error)
{
    int synced;
    while ((synced = ::fsync(m_descriptor)) != 0 && errno == EINTR) {
    }
    if (synced != 0) {
        *error = errno;
        *why = QStringLiteral("cannot flush %1 to disk: %2").arg(m_target, systemReason(*error));
        return false;
    }
    ::close(m_descriptor);
    m_descriptor = -1;
    QFile::setPermissions(partialPath(), targetPermissions(m_target));
    // rename(2) replaces an existing target in one step, which QFile::rename refuses to do.
    if (std::rename(QFile::encodeName(partialPath()).constData(),
                    QFile::encodeName(m_target).constData()) != 0) {
        *error = errno;
        *why = QStringLiteral("cannot write %1: %2").arg(m_target, systemReason(*error));
        return false;
    }
    m_committed = true;
    // The file is in place from here on, whatever follows: the write has happened.
    syncFolder();
    return true;
}

// The folder's entry for the renamed file is only durable once the folder is flushed. Done
// where the folder can be opened (a folder one may write in but not list cannot); the file's
// own bytes were flushed before the rename, so a crash leaves the old file or the new one.
void ReplacingFile::syncFolder() const
{
    const QByteArray folder = QFile::encodeName(QFileInfo(m_target).absolutePath());
    const int descriptor = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor >= 0) {
        ::fsync(descriptor);
        ::close(descriptor);
    }
}

} // namespace core
