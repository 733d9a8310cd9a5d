#pragma once

#include <QString>
#include <QStringList>

#include <optional>

class QCommandLineOption;
class QCommandLineParser;

// What every command of facemask-cli shares: exit statuses, option parsing and the two streams
// (results on stdout, messages on stderr). Main thread only.
namespace cli {

enum ExitStatus {
    Success = 0,          // every input succeeded
    InputFailed = 1,      // at least one input failed; the others were still processed
    UsageError = 2,       // the command line was wrong; nothing was done
    ModelUnavailable = 3, // the landmark model is missing or unreadable
};

constexpr char programName[] = "facemask-cli";

// Adds --help and --version, then parses arguments (arguments[0] is the command's name). Returns
// the status to end the command with when it must not run: Success after printing its help or
// the version, UsageError after printing the parser's complaint. nullopt means: go on.
std::optional<int> parseCommandLine(QCommandLineParser& parser, const QString& command,
                                    const QStringList& arguments);

// Prints "facemask-cli COMMAND: message" and the way to the command's help on stderr.
int usageError(const QString& command, const QString& message);
// What follows "... are needed" when arguments beyond those came: " ('out' is one too many)",
// with outputHint added after a colon when it is not empty (where the output goes, for a
// command whose -o was not given), or " ('a' and 2 others are too many)". Empty for none.
QString tooManyArguments(const QStringList& extra, const QString& outputHint);

// --model PATH, shared by the commands that detect.
QCommandLineOption modelOption();
// --json, shared by the commands that print results.
QCommandLineOption jsonOption();
// --format text|json|pts|dlib-xml, of the commands that print points.
QCommandLineOption formatOption();

enum class PointsFormat { Text, Json, Pts, DlibXml };
// The format asked for by --format and --json; nullopt after a usage error was printed.
std::optional<PointsFormat> pointsFormat(const QCommandLineParser& parser, const QString& command);

// One line (a newline is added) on stdout or stderr, in UTF-8, flushed at once. Any thread.
void printResult(const QString& line);
void printMessage(const QString& line);
// "facemask-cli COMMAND: FILE: message" on stderr, the file's name escaped.
void printFileMessage(const char* command, const QString& file, const QString& message);
// One line of bytes on stderr as they are (a newline is added), for messages already encoded.
// Any thread.
void printMessageBytes(const QByteArray& line);
// A line of progress on stderr, drawn only while stderr is a terminal and redrawn in place by the
// next call. Every line printed meanwhile goes above it: on stderr, and on stdout when that is a
// terminal too, the progress line is cleared first and drawn again after. Any thread.
void showProgress(const QString& line);
// Clears the progress line; nothing when none is shown. Any thread.
void endProgress();
// A whole document on stdout, byte for byte.
void printDocument(const QByteArray& bytes);

// Empty while everything written to stdout arrived; otherwise the system's reason for the first
// write that failed ("No space left on device"). A command whose results were lost has failed.
QString standardOutputFailure();

// Text for a terminal or a line-based reader: control characters (C0, DEL, C1, the Unicode line
// and paragraph separators) and the backslash become escapes ("\n", "\t", "\x1b", "\u2028",
// "\\"), and the bytes of a file name that is not UTF-8 (see core/localnames.h) become "\xHH".
// A name can then neither forge lines nor drive the terminal. JSON output does not need it.
QString escaped(const QString& text);

bool stderrIsTerminal();
// The width of the terminal on stderr, 80 when it cannot be told.
int terminalColumns();

} // namespace cli
