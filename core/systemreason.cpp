#include "core/systemreason.h"

#include <QFileInfo>

#include <algorithm>
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
    const QString name = file.fileName();
    // The characters are named only where the name holds one: a name too long or ending in a
    // dot is refused as well.
    static const QString stickRefuses = QStringLiteral(":*?\"<>|\\");
    const bool named = std::any_of(name.begin(), name.end(), [](QChar c) { return stickRefuses.contains(c); });
    return named ? QStringLiteral("the drive refuses the name \"%1\" (USB sticks and memory cards take no "
                                  ": * ? \" < > | in a name): choose another name")
                       .arg(name)
                 : QStringLiteral("the drive refuses the name \"%1\": choose another name").arg(name);
}

} // namespace core
