#include "core/wholefile.h"

#include "core/systemreason.h"

#include <QSaveFile>

#include <cerrno>
#include <unistd.h>

namespace core {

QString writeWholeFile(const QString& path, const QByteArray& bytes)
{
    QSaveFile file(path);
    // Left uncommitted, the partial file is removed and the earlier one stays.
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush()) {
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
