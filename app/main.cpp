#include "facialpoints.h"
#include "mainwindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>

int main(int argc, char* argv[])
{
    // Sizes in device-independent pixels on every screen, without an environment variable; both
    // must be set before the application object exists.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
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
    return application.exec();
}
