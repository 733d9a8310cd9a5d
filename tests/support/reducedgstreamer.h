#pragma once
// This machine's GStreamer less some plugins, for a child process: a folder of links to every
// plugin file of the system's plugin folder but those left out, and a registry of its own, so
// that a test can see what a program does where a package of plugins is not installed.

#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace reducedgstreamer {

// The environment a child starts GStreamer in with the plugins of systemFolder but the files
// named in leftOut ("libgstapp.so"), linked into folder (a fresh, empty one). Empty when the
// system folder holds no plugin or a link cannot be made.
inline QProcessEnvironment without(const QStringList& leftOut, const QTemporaryDir& folder,
                                   const QString& systemFolder = QStringLiteral(GST_SYSTEM_PLUGIN_DIR))
{
    const QDir system(systemFolder);
    const QStringList plugins = system.entryList({QStringLiteral("*.so")}, QDir::Files);
    if (plugins.isEmpty() || !QDir(folder.path()).mkdir(QStringLiteral("plugins"))) {
        return QProcessEnvironment();
    }
    const QDir reduced(folder.filePath(QStringLiteral("plugins")));
    for (const QString& plugin : plugins) {
        if (!leftOut.contains(plugin) && !QFile::link(system.filePath(plugin), reduced.filePath(plugin))) {
            return QProcessEnvironment();
        }
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("GST_PLUGIN_SYSTEM_PATH_1_0"), reduced.path());
    environment.insert(QStringLiteral("GST_PLUGIN_PATH_1_0"), QString());
    environment.insert(QStringLiteral("GST_REGISTRY_1_0"), folder.filePath(QStringLiteral("registry.bin")));
    return environment;
}

// The plugin files that decode H.264: GStreamer's libav plugin, OpenH264 and the hardware ones.
inline QStringList h264Decoders()
{
    return {QStringLiteral("libgstlibav.so"), QStringLiteral("libgstopenh264.so"), QStringLiteral("libgstnvcodec.so"),
            QStringLiteral("libgstva.so"), QStringLiteral("libgstvaapi.so"), QStringLiteral("libgstv4l2codecs.so"),
            QStringLiteral("libgstvideo4linux2.so")};
}

} // namespace reducedgstreamer
