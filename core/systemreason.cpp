#include "core/systemreason.h"

#include <QFileInfo>

#include <cerrno>
#include <cstring>

namespace core {

QString systemReason(int error)
{
    char buffer[256] = {};
    // The GNU strerror_r: returns the text, in buffer or in a constant of the library.
    return QString::fromLocal8Bit(strerror_r(error, buffer, sizeof buffer));
}

QString refusedNameReason(const QString& path, int error)
{
    const QFileInfo file(path);
    if ((error != ENOENT && error != EINVAL) || !QFileInfo(file.absolutePath()).isDir()) {
        return QString();
    }
    return QStringLiteral("the drive refuses the name \"%1\" (USB sticks and memory cards take no "
                          ": * ? \" < > | in a name): choose another name")
        .arg(file.fileName());
}

} // namespace core
