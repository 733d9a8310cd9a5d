#include "core/wholefile.h"

#include <QSaveFile>

namespace core {

QString writeWholeFile(const QString& path, const QByteArray& bytes)
{
    QSaveFile file(path);
    // Left uncommitted, the partial file is removed and the earlier one stays.
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush()
        || !file.commit()) {
        const QString why = file.errorString();
        return why.isEmpty() ? QStringLiteral("write error") : why;
    }
    return QString();
}

} // namespace core
