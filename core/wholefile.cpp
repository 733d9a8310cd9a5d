#include "core/wholefile.h"

#include "core/replacingfile.h"
#include "core/systemreason.h"

#include <QFileInfo>

#include <cerrno>
#include <unistd.h>

namespace core {

QString writeWholeFile(const QString& path, const QByteArray& bytes)
{
    ReplacingFile file(path);
    const QFileInfo existing(file.target());
    if (existing.isDir()) {
        return systemReason(EISDIR);
    }
    // A file the user made read-only stays as it is, though its folder would let it be replaced.
    if (existing.exists() && !existing.isWritable()) {
        return systemReason(EACCES);
    }
    int error = 0;
    if (!file.open(&error)) {
        const QString refused = refusedNameReason(path, error);
        return refused.isEmpty() ? systemReason(error) : refused;
    }
    // Left uncommitted, the partial file is removed and the earlier one stays.
    const char* next = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(file.descriptor(), next, size_t(left));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return systemReason(written < 0 ? errno : EIO);
        }
        next += written;
        left -= written;
    }
    QString why;
    if (!file.commit(&why, &error)) {
        return systemReason(error);
    }
    return QString();
}

} // namespace core
