#include "core/wholefile.h"

#include "core/systemreason.h"

#include <QSaveFile>

#include <cerrno>
#include <unistd.h>

namespace core {

QString writeWholeFile(const QString& path, const QByteArray& bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        const int error = errno;
        const QString refused = refusedNameReason(path, error);
        if (!refused.isEmpty()) {
            return refused;
        }
        const QString why = file.errorString();
        return why.isEmpty() ? QStringLiteral("write error") : why;
    }
    // Left uncommitted, the partial file is removed and the earlier one stays.
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        const QString why = file.errorString();
        return why.isEmpty() ? QStringLiteral("write error") : why;
    }
    // commit() flushes to the disk too, but goes on to the rename whatever the flush said: a
    // failing stick would get the new name over bytes it never took.
    int synced;
    while ((synced = ::fsync(file.handle())) != 0 && errno == EINTR) {
    }
    if (synced != 0) {
        return systemReason(errno);
    }
    if (!file.commit()) {
        const QString why = file.errorString();
        return why.isEmpty() ? QStringLiteral("write error") : why;
    }
    return QString();
}

} // namespace core
