// facemask-cli points [--json] PACKAGE: a package's points, in the form detect prints them.
#include "commandline.h"
#include "commands.h"
#include "packagereading.h"
#include "reports.h"

#include <QCommandLineParser>

namespace cli {

namespace {

const char* const command = "points";

} // namespace

int runPoints(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Prints the points of a package in the columns detect prints: one line "
                       "(file, 1 for the one face a package marks, points as x,y fractions of "
                       "the picture), or a JSON array of one object with --json."));
    const QCommandLineOption json = jsonOption();
    parser.addOption(json);
    parser.addPositionalArgument(QStringLiteral("package"), QStringLiteral("A package file."),
                                 QStringLiteral("PACKAGE"));
    if (const std::optional<int> done = parseCommandLine(parser, command, arguments)) {
        return *done;
    }
    const QStringList packages = parser.positionalArguments();
    if (packages.size() != 1) {
        return usageError(command, QStringLiteral("give exactly one package"));
    }
    const PackageReport report = readPackageReport(packages.first());
    if (!report.refusal.isEmpty()) {
        printMessage(QStringLiteral("%1 %2: ").arg(programName, command) + packageText(report));
        return InputFailed;
    }
    printResult(parser.isSet(json) ? packagePointsJson(report) : packagePointsLine(report));
    return Success;
}

} // namespace cli
