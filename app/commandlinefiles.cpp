#include "app/commandlinefiles.h"

#include "core/localnames.h"

#include <QFileInfo>
#include <QUrl>

namespace ui {

QStringList commandLineFiles(const QStringList& arguments)
{
    QStringList files;
    for (const QString& argument : arguments) {
        if (!argument.startsWith(QLatin1String("file:"), Qt::CaseInsensitive) || QFileInfo::exists(argument)) {
            files.append(argument);
            continue;
        }
        const QUrl url(argument);
        files.append(url.isValid() && url.isLocalFile() ? core::localFilePath(url) : argument);
    }
    return files;
}

} // namespace ui
