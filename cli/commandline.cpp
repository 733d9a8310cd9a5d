#include "commandline.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

#include <sys/ioctl.h>
#include <unistd.h>

namespace cli {

namespace {

void write(std::FILE* stream, const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

// Qt's usage line names the program as it was started; ours names it and the command.
QString commandHelp(const QCommandLineParser& parser, const QString& command)
{
    QString text = parser.helpText();
    const int end = text.indexOf(QStringLiteral(" [options]"));
    if (text.startsWith(QStringLiteral("Usage: ")) && end > 0) {
        const QString name = command.isEmpty() ? QString::fromLatin1(programName)
                                               : QString::fromLatin1(programName) + QLatin1Char(' ') + command;
        text.replace(0, end, QStringLiteral("Usage: ") + name);
    }
    return text;
}

} // namespace

std::optional<int> parseCommandLine(QCommandLineParser& parser, const QString& command,
                                    const QStringList& arguments)
{
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    if (!parser.parse(arguments)) {
        return usageError(command, parser.errorText());
    }
    if (parser.isSet(help)) {
        write(stdout, commandHelp(parser, command));
        return Success;
    }
    if (parser.isSet(version)) {
        printResult(QStringLiteral("%1 %2").arg(programName, QCoreApplication::applicationVersion()));
        return Success;
    }
    return std::nullopt;
}

int usageError(const QString& command, const QString& message)
{
    const QString where = command.isEmpty() ? QString::fromLatin1(programName)
                                            : QStringLiteral("%1 %2").arg(programName, command);
    printMessage(QStringLiteral("%1: %2").arg(where, message));
    printMessage(QStringLiteral("Try '%1 --help' for more information.").arg(where));
    return UsageError;
}

QCommandLineOption jsonOption()
{
    return QCommandLineOption(QStringLiteral("json"), QStringLiteral("Print one JSON array."));
}

QCommandLineOption modelOption()
{
    return QCommandLineOption(
        QStringLiteral("model"),
        QStringLiteral("The landmark model (dlib's 68-point shape predictor). Without it: "
                       "shape_predictor.dat in the working directory, then the installed one."),
        QStringLiteral("path"));
}

void printResult(const QString& line)
{
    write(stdout, line + QLatin1Char('\n'));
}

void printMessage(const QString& line)
{
    write(stderr, line + QLatin1Char('\n'));
}

void printRaw(const QString& text)
{
    write(stderr, text);
}

bool stderrIsTerminal()
{
    return ::isatty(STDERR_FILENO) == 1;
}

int terminalColumns()
{
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return 80;
}

} // namespace cli
