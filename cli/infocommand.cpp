// facemask-cli info [--json] PACKAGE...: whether each package opens, as "Open PMK file" decides,
// and what it holds.
#include "cli/commandline.h"
#include "cli/commands.h"
#include "cli/packagereading.h"
#include "cli/reports.h"

#include <QCommandLineParser>

namespace cli {

namespace {

const char* const command = "info";

} // namespace

int runInfo(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Checks each package as \"Open PMK file\" does. For an accepted package, "
                       "prints its name, author, subcategory, effect type, point count, picture "
                       "size, date and the triangles of the preview's mesh its points fold; for a "
                       "refused one, the check that failed. The exit status is 1 when any package "
                       "is refused (with --strict, also when any has a folded triangle)."));
    const QCommandLineOption json = jsonOption();
    parser.addOption(json);
    const QCommandLineOption strict(QStringLiteral("strict"),
                                    QStringLiteral("Exit with status 1 when a package's points fold a "
                                                   "triangle of the preview's mesh."));
    parser.addOption(strict);
    parser.addPositionalArgument(QStringLiteral("packages"), QStringLiteral("Package files."),
                                 QStringLiteral("PACKAGE..."));
    if (const std::optional<int> done = parseCommandLine(parser, command, arguments)) {
        return *done;
    }
    const QStringList packages = parser.positionalArguments();
    if (packages.isEmpty()) {
        return usageError(command, QStringLiteral("no package given"));
    }

    QVector<PackageReport> reports;
    bool anyRefused = false;
    for (const QString& package : packages) {
        reports.append(readPackageReport(package));
        anyRefused = anyRefused || !reports.last().refusal.isEmpty()
                     || (parser.isSet(strict) && !reports.last().folded.empty());
        if (!parser.isSet(json)) {
            printResult(packageText(reports.last()));
            // The packages not yet read would be reported to no one.
            if (!standardOutputFailure().isEmpty()) {
                return InputFailed;
            }
        }
    }
    if (parser.isSet(json)) {
        printResult(packagesJson(reports));
    }
    return anyRefused ? InputFailed : Success;
}

} // namespace cli
