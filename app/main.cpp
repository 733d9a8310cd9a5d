#include "core/facialpoints.h"
#include "core/freedmemory.h"
#include "core/homefolders.h"
#include "core/interruptcleanup.h"
#include "core/localnames.h"
#include "core/poolthreads.h"
#include "app/commandlinefiles.h"
#include "app/mainwindow.h"
#include "app/programend.h"
#include "face_detection_module/facedetectionmodule.h"

#include <QApplication>
#include <QThreadPool>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

// The desktop entry starts the program in its installed data folder, beside the model's link.
// That folder is no place for the user's files, and the file dialogs would open there: the
// program works from home instead, and the detector finds the model beside the program.
// Files named on the command line are then given their whole path.
void leaveTheDataFolder(QStringList& files)
{
    const QString installedModel = core::FaceDetectionModule::installedModelPath();
    const QString dataFolder = QFileInfo(installedModel).dir().canonicalPath();
    if (installedModel.isEmpty() || dataFolder.isEmpty() || QDir::current().canonicalPath() != dataFolder) {
        return;
    }
    for (QString& file : files) {
        file = QFileInfo(file).absoluteFilePath();
    }
    QDir::setCurrent(QDir::homePath());
}

// The options the program takes, for the window and for the texts alone.
void describeOptions(QCommandLineParser& parser)
{
    parser.setApplicationDescription(QStringLiteral("Face mask effect editor"));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("file"),
                                 QStringLiteral("A picture or a .pmk package to open."),
                                 QStringLiteral("[file]"));
}

// What the arguments ask for without a display: the usage or the version, or the usage with
// Qt's own options (--help-all). None beside a word after one dash (Qt's -platform, -style and
// the like), which only the window's application object takes.
enum class TextRequest { None, Text, TextWithQtOptions };

TextRequest textRequested(int argc, char* argv[])
{
    TextRequest asks = TextRequest::None;
    for (int i = 1; i < argc; ++i) {
        const QByteArray argument(argv[i]);
        if (argument == "--") {
            break;
        }
        // -h, -v, -? and their compactions such as -hv.
        const bool shortTextOptions = argument.size() >= 2 && argument.startsWith('-') && argument[1] != '-'
            && std::all_of(argument.begin() + 1, argument.end(), [](char c) { return c == 'h' || c == 'v' || c == '?'; });
        if (argument == "--help-all") {
            asks = TextRequest::TextWithQtOptions;
        } else if (argument == "--help" || argument == "--version" || shortTextOptions) {
            asks = std::max(asks, TextRequest::Text);
        } else if (argument.size() > 2 && argument.startsWith('-') && !argument.startsWith("--")) {
            return TextRequest::None;
        }
    }
    return asks;
}

// Qt ends the program with abort() when its application object finds no window system (no
// DISPLAY, an X server gone): a core dump, and a word about reinstalling. While that object is
// made, such an end is told after Qt's own lines and the program ends with status 1.
QtMessageHandler qtMessages = nullptr;

void endWithoutAWindowSystem(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    qtMessages(type, context, message);
    if (type != QtFatalMsg) {
        return;
    }
    const QByteArray display = qgetenv("DISPLAY");
    const QByteArray where = display.isEmpty() ? QByteArray("DISPLAY is not set")
                                               : "DISPLAY is \"" + display + "\"";
    std::fprintf(stderr, "facemask: the window cannot be shown: no window system could be opened (%s). "
                         "Start facemask in a graphical session; facemask-cli works without one.\n",
                 where.constData());
    std::fflush(stderr);
    std::_Exit(1);
}

} // namespace

int main(int argc, char* argv[])
{
    // Before any thread is started: a write past `ulimit -f` fails as a full disk does.
    core::interruptcleanup::failWritesPastTheSizeLimit();
    // The pictures a long session lets go of (its history's, the Preview's) leave the process.
    core::giveFreedPicturesBack();
    // Settings, cache and recent list under the account's home even when HOME is unset.
    core::settleHomeFolders();
    // Sizes in device-independent pixels on every screen, without an environment variable; both
    // must be set before the application object exists.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    // A picture named in Latin-1 on the command line or dropped opens as any other.
    core::useByteExactLocalNames();
    QCoreApplication::setApplicationVersion(QStringLiteral(FACEMASK_VERSION));
    if (const TextRequest text = textRequested(argc, argv); text != TextRequest::None) {
        // Qt's own options (-platform, -reverse, ...) are listed by the window's application
        // object alone; on the minimal platform it needs no display.
        if (text == TextRequest::TextWithQtOptions) {
            qputenv("QT_QPA_PLATFORM", "minimal");
        }
        const std::unique_ptr<QCoreApplication> textOnly = text == TextRequest::TextWithQtOptions
            ? std::make_unique<QApplication>(argc, argv)
            : std::make_unique<QCoreApplication>(argc, argv);
        QCommandLineParser parser;
        describeOptions(parser);
        parser.process(*textOnly); // prints the text and ends the program
        return 0;
    }
    qtMessages = qInstallMessageHandler(endWithoutAWindowSystem);
    QApplication application(argc, argv);
    qInstallMessageHandler(qtMessages);
    // Qt converts large pictures on its shared pool: its threads are had now, while there is room.
    core::keepPoolThreads(*QThreadPool::globalInstance());
    QCommandLineParser parser;
    describeOptions(parser);
    parser.process(application);
    QStringList files = ui::commandLineFiles(parser.positionalArguments());
    leaveTheDataFolder(files);

    core::registerFacialPointVector();
    ui::MainWindow window;
    window.show();
    if (!files.isEmpty()) {
        // From the event loop, so that a failure message appears over the shown window.
        QTimer::singleShot(0, &window, [&window, files] { window.openFiles(files); });
    }
    const int status = application.exec();
    // The window's work was saved or discarded already, and a save, an export of points or a
    // Preview picture being written holds the window open until it has ended: work still running
    // on a worker must not keep the process alive.
    // The settings stored at the close are written first, unless their disk does not answer.
    ui::endProgramAfterSettings(status, std::chrono::seconds(5));
    return status;
}
