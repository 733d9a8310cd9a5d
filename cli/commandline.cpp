#include "cli/commandline.h"

#include "core/interruptcleanup.h"
#include "core/systemreason.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <mutex>

#include <sys/ioctl.h>
#include <unistd.h>

namespace cli {

namespace {

QString outputFailure;

// Moves the cursor to the start of the line and erases it.
const char clearLine[] = "\r\033[K";

// The progress line drawn on stderr (empty when none), and the lock held while a line and the
// progress around it are written, so that lines of two threads do not mix and none is written
// over the progress line. Never destroyed: Qt's messages come in until the process ends.
struct Progress {
    std::mutex writing;
    QByteArray shown;
};
Progress& progress()
{
    static Progress* const state = new Progress;
    return *state;
}

bool stdoutIsTerminal()
{
    static const bool terminal = ::isatty(STDOUT_FILENO) == 1;
    return terminal;
}

void writeBytes(std::FILE* stream, const QByteArray& bytes)
{
    errno = 0;
    const bool written = std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream)
            == size_t(bytes.size())
        && std::fflush(stream) == 0;
    if (!written && stream == stdout && outputFailure.isEmpty()) {
        outputFailure = errno != 0 ? core::systemReason(errno) : QStringLiteral("write error");
    }
}

// bytes on stream, above the progress line when one is shown where they appear.
void writeAboveProgress(std::FILE* stream, const QByteArray& bytes)
{
    Progress& state = progress();
    const std::lock_guard<std::mutex> lock(state.writing);
    const bool overProgress = !state.shown.isEmpty() && (stream == stderr || stdoutIsTerminal());
    if (overProgress) {
        writeBytes(stderr, QByteArray(clearLine));
    }
    writeBytes(stream, bytes);
    if (overProgress) {
        writeBytes(stderr, clearLine + state.shown);
    }
}

void write(std::FILE* stream, const QString& text)
{
    writeAboveProgress(stream, text.toUtf8());
}

QString hexEscape(uint value, int digits, char prefix)
{
    return QString(QLatin1Char('\\')) + QLatin1Char(prefix)
        + QString::number(value, 16).rightJustified(digits, QLatin1Char('0'));
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
        // "-x.png" from a glob reads as the options -x, -., -p, ...: say what it is.
        QString hint;
        for (int i = 1; i < arguments.size() && arguments[i] != QLatin1String("--"); ++i) {
            if (hint.isEmpty() && arguments[i].size() > 1 && arguments[i].startsWith(QLatin1Char('-'))
                && QFileInfo::exists(arguments[i])) {
                hint = QStringLiteral(" ('%1' is a file: give files after '--', or as ./%1)").arg(escaped(arguments[i]));
            }
        }
        return usageError(command, parser.errorText() + hint);
    }
    // --help-all, which Qt lists beside --help, adds only Qt's own options for a GUI program;
    // this one has none of them, so it prints the same help.
    if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
        write(stdout, commandHelp(parser, command));
        return Success;
    }
    if (parser.isSet(version)) {
        printResult(QStringLiteral("%1 %2").arg(programName, QCoreApplication::applicationVersion()));
        return Success;
    }
    // Every argument and these options name files. A script's "-" means standard input or
    // output, which no command reads or writes: taken as a file's name, "-" would be missed as
    // "no such file", or a package or picture would be written to ./- with stdout left empty.
    // The program's own parser sees a command's arguments as its positional ones: left to it.
    if (command.isEmpty()) {
        return std::nullopt;
    }
    QStringList files = parser.positionalArguments();
    for (const QString& name : parser.optionNames()) {
        if (name == QLatin1String("o") || name == QLatin1String("out") || name == QLatin1String("output")
            || name == QLatin1String("out-dir") || name == QLatin1String("model")) {
            files += parser.values(name);
        }
    }
    // An empty name would leave the model to be looked for where none was asked for: the user
    // meant a file and did not get it (an unset variable in a script, say).
    if (parser.optionNames().contains(QStringLiteral("model")) && parser.value(QStringLiteral("model")).isEmpty()) {
        return usageError(command, QStringLiteral("--model takes a file name (without --model the model is looked "
                                                  "for in its usual places)"));
    }
    if (files.contains(QStringLiteral("-"))) {
        return usageError(command, QStringLiteral("'-' is not read or written as standard input or output: "
                                                  "name a file (./- for a file named '-')"));
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

QString tooManyArguments(const QStringList& extra, const QString& outputHint)
{
    if (extra.isEmpty()) {
        return QString();
    }
    const QString first = QLatin1Char('\'') + escaped(extra.first()) + QLatin1Char('\'');
    const QString hint = outputHint.isEmpty() ? QString() : QStringLiteral(": ") + outputHint;
    if (extra.size() == 1) {
        return QStringLiteral(" (") + first + QStringLiteral(" is one too many") + hint + QLatin1Char(')');
    }
    return QStringLiteral(" (") + first + QStringLiteral(" and %1 %2 are too many")
                                          .arg(extra.size() - 1)
                                          .arg(extra.size() == 2 ? QStringLiteral("other") : QStringLiteral("others"))
        + hint + QLatin1Char(')');
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

void printFileMessage(const char* command, const QString& file, const QString& message)
{
    printMessage(QStringLiteral("%1 %2: %3: %4").arg(QLatin1String(programName), QLatin1String(command), escaped(file), message));
}

void printMessageBytes(const QByteArray& line)
{
    writeAboveProgress(stderr, line + '\n');
}

void showProgress(const QString& line)
{
    if (!stderrIsTerminal()) {
        return;
    }
    Progress& state = progress();
    const std::lock_guard<std::mutex> lock(state.writing);
    if (state.shown.isEmpty()) {
        core::interruptcleanup::clearTerminalLineOnInterrupt(true);
    }
    state.shown = line.toUtf8();
    writeBytes(stderr, clearLine + state.shown);
}

void endProgress()
{
    Progress& state = progress();
    const std::lock_guard<std::mutex> lock(state.writing);
    if (!state.shown.isEmpty()) {
        writeBytes(stderr, QByteArray(clearLine));
        state.shown.clear();
        core::interruptcleanup::clearTerminalLineOnInterrupt(false);
    }
}

void printDocument(const QByteArray& bytes)
{
    writeAboveProgress(stdout, bytes);
}

QCommandLineOption formatOption()
{
    return QCommandLineOption(
        QStringLiteral("format"),
        QStringLiteral("text (default), json, pts (iBUG 300-W, 1-based pixels) or dlib-xml "
                       "(dlib's imglab XML); pts and dlib-xml hold the 68 landmarks of one picture."),
        QStringLiteral("FORMAT"), QStringLiteral("text"));
}

std::optional<PointsFormat> pointsFormat(const QCommandLineParser& parser, const QString& command)
{
    const QString name = parser.value(QStringLiteral("format"));
    std::optional<PointsFormat> format;
    if (name == QLatin1String("text")) {
        format = PointsFormat::Text;
    } else if (name == QLatin1String("json")) {
        format = PointsFormat::Json;
    } else if (name == QLatin1String("pts")) {
        format = PointsFormat::Pts;
    } else if (name == QLatin1String("dlib-xml")) {
        format = PointsFormat::DlibXml;
    } else {
        usageError(command, QStringLiteral("--format is text, json, pts or dlib-xml, not '%1'").arg(name));
        return std::nullopt;
    }
    if (parser.isSet(QStringLiteral("json"))) {
        if (parser.isSet(QStringLiteral("format")) && format != PointsFormat::Json) {
            usageError(command, QStringLiteral("--json and --format %1 disagree").arg(name));
            return std::nullopt;
        }
        format = PointsFormat::Json;
    }
    return format;
}

QString standardOutputFailure()
{
    return outputFailure;
}

QString escaped(const QString& text)
{
    QString result;
    result.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        const ushort code = c.unicode();
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            result += c;
            result += text[++i];
            continue;
        }
        switch (code) {
        case '\\':
            result += QStringLiteral("\\\\");
            continue;
        case '\n':
            result += QStringLiteral("\\n");
            continue;
        case '\r':
            result += QStringLiteral("\\r");
            continue;
        case '\t':
            result += QStringLiteral("\\t");
            continue;
        default:
            break;
        }
        if (code < 0x20 || (code >= 0x7f && code <= 0x9f)) {
            result += hexEscape(code, 2, 'x');
        } else if (code >= 0xdc80 && code <= 0xdcff) {
            result += hexEscape(code - 0xdc00, 2, 'x');  // a byte of a name that is not UTF-8
        } else if (code == 0x2028 || code == 0x2029) {
            result += hexEscape(code, 4, 'u');
        } else {
            result += c;
        }
    }
    return result;
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
