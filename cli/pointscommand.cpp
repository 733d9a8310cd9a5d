// facemask-cli points [--json | --format FORMAT] PACKAGE: a package's points, in the columns
// detect prints, or its 68 landmarks for other tools.
#include "cli/commandline.h"
#include "cli/commands.h"
#include "cli/packagereading.h"
#include "cli/reports.h"
#include "core/landmarkfiles.h"

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
                       "the picture), a JSON array of one object with --json, or the 68 "
                       "landmarks as an iBUG .pts file or dlib's imglab XML (whose image file is "
                       "the package)."));
    const QCommandLineOption json = jsonOption();
    parser.addOption(json);
    parser.addOption(formatOption());
    parser.addPositionalArgument(QStringLiteral("package"), QStringLiteral("A package file."),
                                 QStringLiteral("PACKAGE"));
    if (const std::optional<int> done = parseCommandLine(parser, command, arguments)) {
        return *done;
    }
    const QStringList packages = parser.positionalArguments();
    if (packages.size() != 1) {
        return usageError(command, QStringLiteral("give exactly one package"));
    }
    const std::optional<PointsFormat> format = pointsFormat(parser, command);
    if (!format) {
        return UsageError;
    }
    const PackageReport report = readPackageReport(packages.first());
    if (!report.refusal.isEmpty()) {
        printMessage(QStringLiteral("%1 %2: ").arg(programName, command) + packageText(report)
                     + refusedPackageHint(packages.first()));
        // The array --json promises, holding why, as detect --json gives a picture it cannot read.
        if (*format == PointsFormat::Json) {
            printResult(packagePointsJson(report));
        }
        return InputFailed;
    }
    switch (*format) {
    case PointsFormat::Text:
        printResult(packagePointsLine(report));
        break;
    case PointsFormat::Json:
        printResult(packagePointsJson(report));
        break;
    case PointsFormat::Pts:
    case PointsFormat::DlibXml: {
        // A hand-edited package can hold a point no pixel number can say.
        const int far = core::landmarkfiles::unwritablePoint(report.points, report.pictureSize);
        if (far >= 0) {
            printMessage(QStringLiteral("%1 %2: %3: point %4 lies too far outside the picture to be written as pixels")
                             .arg(programName, command, escaped(report.file), QString::number(far)));
            return InputFailed;
        }
        printDocument(packagePointsDocument(report, *format));
        break;
    }
    }
    return Success;
}

} // namespace cli
