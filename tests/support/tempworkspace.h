#pragma once
// Points the remembered settings and the desktop's recent-files list at a temporary folder for
// as long as it lives, so that a test starts from defaults and never touches a real one.

#include "ui/workspace.h"

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>
#include <QtGlobal>

#include <chrono>

class TempWorkspace
{
public:
    TempWorkspace()
        : oldConfig(qgetenv("XDG_CONFIG_HOME"))
        , oldData(qgetenv("XDG_DATA_HOME"))
    {
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath(QStringLiteral("config"))));
        qputenv("XDG_DATA_HOME", QFile::encodeName(dir.filePath(QStringLiteral("data"))));
    }
    ~TempWorkspace()
    {
        // Settings still being written would make the folder anew once it is gone.
        ui::Workspace::finishWrites(std::chrono::seconds(30));
        restore("XDG_CONFIG_HOME", oldConfig);
        restore("XDG_DATA_HOME", oldData);
    }
    bool isValid() const { return dir.isValid(); }
    QString configFile() const { return ui::Workspace::defaultFile(); }
    QString recentlyUsedFile() const { return dir.filePath(QStringLiteral("data/recently-used.xbel")); }

    // For tests written for the stretched view, which maps a point at fraction f to f times the
    // view's size.
    void useStretchedView() { ui::Workspace().setToggle(QStringLiteral("keepAspectRatio"), false); }

private:
    static void restore(const char* name, const QByteArray& value)
    {
        if (value.isNull()) {
            qunsetenv(name);
        } else {
            qputenv(name, value);
        }
    }
    QTemporaryDir dir;
    QByteArray oldConfig;
    QByteArray oldData;
};
