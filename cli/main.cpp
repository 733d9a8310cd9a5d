#include "commands.h"

#include <QCoreApplication>

#include <cstdio>

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
    std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
}

} // namespace

int main(int argc, char* argv[])
{
    qInstallMessageHandler(printQtMessage);
    // New pictures (the thumbnails) take their resolution from the screen; without one Qt would
    // write 100 dpi, where the window on a common screen writes 96.
    QCoreApplication::setAttribute(Qt::AA_Use96Dpi);
    QCoreApplication application(argc, argv);
    return cli::runProgram(application.arguments());
}
