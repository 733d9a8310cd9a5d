#include "cli/commandline.h"
#include "cli/commands.h"
#include "core/homefolders.h"
#include "core/interruptcleanup.h"
#include "core/localnames.h"
#include "core/poolthreads.h"
#include "core/systemreason.h"
#include "cli/pictureintake.h"

#include <QCoreApplication>
#include <QThreadPool>

#include <cerrno>

#include <fcntl.h>

namespace {

// The decoders warn on stderr about harmless oddities of many real pictures (colour profiles);
// among the program's own messages they would only mislead.
void printQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    const bool decoderNoise = message.startsWith(QLatin1String("libpng warning:"))
        || qstrcmp(context.category, "qt.gui.icc") == 0;
    if (type == QtWarningMsg && decoderNoise) {
        return;
    }
    // In a batch, a decoder's complaint ("Corrupt JPEG data: ...") is worth little without the
    // file it is about; said while only the picture's size is probed, it would be said twice.
    const cli::PictureBeingRead picture = cli::pictureBeingRead();
    if (picture.sizeProbe && type == QtWarningMsg) {
        return;
    }
    const QString line = picture.file.isEmpty()
        ? message
        : QStringLiteral("%1: %2: %3").arg(QLatin1String(cli::programName), cli::escaped(picture.file), message);
    cli::printMessageBytes(line.toLocal8Bit());
}

// Started with stdin, stdout or stderr closed, the program would hand their numbers to the
// first files it opens, and its results would go into them. A closed stream is made a file
// that refuses writes, so that a result which cannot be written is reported as lost.
void occupyClosedStandardStreams()
{
    for (int stream = 0; stream <= 2; ++stream) {
        if (::fcntl(stream, F_GETFD) == -1 && errno == EBADF) {
            ::open("/dev/null", O_RDONLY);  // takes the lowest free number: this one
        }
    }
}

} // namespace

int main(int argc, char* argv[])
{
    occupyClosedStandardStreams();
    core::interruptcleanup::failWritesPastTheSizeLimit();
    // The landmark model's copy under the account's home even when HOME is unset.
    core::settleHomeFolders();
    core::useByteExactLocalNames();
    qInstallMessageHandler(printQtMessage);
    // New pictures (the thumbnails) take their resolution from the screen; without one Qt would
    // write 100 dpi, where the window on a common screen writes 96.
    QCoreApplication::setAttribute(Qt::AA_Use96Dpi);
    QCoreApplication application(argc, argv);
    // Without one thread to spare (the limit of processes, `ulimit -u`) no command can work, and
    // Qt's pool would wait for ever at the program's end on the thread it could not start.
    int error = 0;
    if (core::startableThreads(1, &error) == 0) {
        cli::printMessage(QStringLiteral("%1: no thread can be started: %2 (the limit of processes, ulimit -u, "
                                         "may be reached)")
                              .arg(QLatin1String(cli::programName), core::systemReason(error)));
        return 1;
    }
    // Qt converts large pictures on its shared pool: its threads are had now, while there is room.
    core::keepPoolThreads(*QThreadPool::globalInstance());
    return cli::runProgram(application.arguments());
}
