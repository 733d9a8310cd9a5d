#include "cli/commands.h"

#include "cli/commandline.h"

#include <QCommandLineParser>
#include <QCoreApplication>

namespace cli {

const std::vector<Command>& commands()
{
    static const std::vector<Command> table{
        {"detect", "Find the faces in pictures and print their landmark points.", &runDetect},
        {"make", "Detect the points of pictures and write one package per picture.", &runMake},
        {"info", "Check packages as the window opens them and print what they hold.", &runInfo},
        {"points", "Print the points of a package.", &runPoints},
        {"preview", "Draw a package's mask on the face of a picture, as PNG.", &runPreview},
        {"thumbnail", "Write a package's thumbnail as PNG, for file managers.", &runThumbnail},
        {"track", "Follow the faces of a video frame by frame and print their points.", &runTrack},
    };
    return table;
}

namespace {

const Command* findCommand(const QString& name)
{
    for (const Command& command : commands()) {
        if (name == QLatin1String(command.name)) {
            return &command;
        }
    }
    return nullptr;
}

QString programDescription()
{
    QString text = QStringLiteral("Face-mask packages and landmark points from the command line.\n\n"
                                  "Commands:\n");
    for (const Command& command : commands()) {
        text += QStringLiteral("  %1  %2\n").arg(QString::fromLatin1(command.name), -9)
                    .arg(QString::fromLatin1(command.summary));
    }
    text += QStringLiteral("\n'%1 COMMAND --help' describes a command.\n"
                           "Exit status: 0 every input succeeded, 1 at least one input failed, "
                           "2 usage error, 3 the landmark model is missing or unreadable.")
                .arg(programName);
    return text;
}

// Results that did not arrive are a failure, whatever the command made of its inputs.
int checkedOutput(const QString& command, int status)
{
    const QString lost = standardOutputFailure();
    if (lost.isEmpty() || status == UsageError || status == ModelUnavailable) {
        return status;
    }
    const QString where = command.isEmpty() ? QString::fromLatin1(programName)
                                            : QStringLiteral("%1 %2").arg(programName, command);
    printMessage(QStringLiteral("%1: cannot write to standard output: %2").arg(where, lost));
    return InputFailed;
}

} // namespace

int runProgram(const QStringList& arguments)
{
    QCoreApplication::setApplicationName(QString::fromLatin1(programName));
    QCoreApplication::setApplicationVersion(QStringLiteral(FACEMASK_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(programDescription());
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("The command to run."),
                                 QStringLiteral("COMMAND [options] [arguments]"));
    // Everything after the command is the command's own, options included.
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    if (const std::optional<int> done = parseCommandLine(parser, QString(), arguments)) {
        return checkedOutput(QString(), *done);  // the help or the version
    }
    const QStringList rest = parser.positionalArguments();
    if (rest.isEmpty()) {
        return usageError(QString(), QStringLiteral("no command given"));
    }
    const Command* command = findCommand(rest.first());
    if (!command) {
        return usageError(QString(), QStringLiteral("unknown command '") + escaped(rest.first())
                                         + QLatin1Char('\''));
    }
    return checkedOutput(rest.first(), command->run(rest));
}

} // namespace cli
