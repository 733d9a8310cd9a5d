// Plays one video through the Preview's source (ui::VideoFrameSource) and prints the size of the
// first frame shown or why the video cannot be played, so that a test can run the source in a
// process of its own with fewer GStreamer plugins. "--no-qt-plugins" first hides Qt's plugins
// from the player, as on a machine without them. Exit status: 0 a frame came, 2 the source
// failed, 3 neither within 60 s, 1 bad arguments. "--camera-pieces" alone prints what a camera
// lacks on this machine (CameraFrameSource::missingPieces()) after "camera:" instead.
// "--frames N" before the file prints "at P" for each of the first N frames shown (P its position
// in ms, one line each, written at once) and ends after the Nth.

#include "ui/camerasource.h"
#include "ui/videosource.h"

#include <QGuiApplication>
#include <QImage>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    if (arguments.value(0) == QLatin1String("--no-qt-plugins")) {
        QCoreApplication::setLibraryPaths({});
        arguments.removeFirst();
    }
    if (arguments == QStringList{QStringLiteral("--camera-pieces")}) {
        std::printf("camera:%s\n", qPrintable(ui::CameraFrameSource::missingPieces()));
        return 0;
    }
    int frameCount = 0; // 0: the first frame alone, its size
    if (arguments.size() == 3 && arguments.first() == QLatin1String("--frames")) {
        frameCount = arguments.at(1).toInt();
        arguments = arguments.mid(2);
    }
    if (arguments.size() != 1 || frameCount < 0) {
        std::fprintf(stderr, "usage: videoprobe [--no-qt-plugins] [--frames N] <video file>\n");
        return 1;
    }
    ui::VideoFrameSource source(arguments.first());
    int status = 3;
    int framesShown = 0;
    // The first outcome counts; a failure can come inside start() itself.
    const auto end = [&status](int outcome, const QByteArray& line) {
        if (status == 3) {
            status = outcome;
            std::printf("%s\n", line.constData());
            QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        }
    };
    QObject::connect(&source, &ui::FrameSource::frameReady, &app, [&](const QImage& frame) {
        if (frameCount == 0) {
            end(0, QStringLiteral("frame %1x%2").arg(frame.width()).arg(frame.height()).toUtf8());
            return;
        }
        if (status != 3) {
            return;
        }
        std::printf("at %lld\n", source.position());
        std::fflush(stdout);
        if (++framesShown == frameCount) {
            end(0, "done");
        }
    });
    QObject::connect(&source, &ui::FrameSource::failed, &app,
                     [&end](const QString& message) { end(2, "failed: " + message.toUtf8()); });
    QTimer::singleShot(60000, &app, &QCoreApplication::quit);
    if (!source.start()) {
        end(2, "failed: not started");
    }
    app.exec();
    source.stop();
    std::fflush(stdout);
    return status;
}
