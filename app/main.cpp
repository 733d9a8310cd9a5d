#include "core/facialpoints.h"
#include "core/localnames.h"
#include "app/mainwindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

// Once the window is closed, work still running on a worker (the detection of a large picture,
// which cannot be interrupted) must not keep the process alive: the window's work was saved or
// discarded already, and a save holds the window open until it has ended.
void exitSoonWhatever(int status)
{
    std::thread([status] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        std::fflush(nullptr);
        std::_Exit(status);
    }).detach();
}

} // namespace

int main(int argc, char* argv[])
{
    // Sizes in device-independent pixels on every screen, without an environment variable; both
    // must be set before the application object exists.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    // A picture named in Latin-1 on the command line or dropped opens as any other.
    core::useByteExactLocalNames();
    QApplication application(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Face mask effect editor"));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("file"),
                                 QStringLiteral("A picture or a .pmk package to open."),
                                 QStringLiteral("[file]"));
    parser.process(application);

    core::registerFacialPointVector();
    ui::MainWindow window;
    window.show();
    const QStringList files = parser.positionalArguments();
    if (!files.isEmpty()) {
        // From the event loop, so that a failure message appears over the shown window.
        const QString path = files.constFirst();
        QTimer::singleShot(0, &window, [&window, path] { window.openFile(path); });
    }
    const int status = application.exec();
    exitSoonWhatever(status);
    return status;
}
