// facemask-cli make PICTURE... (-o OUT.pmk | --out-dir DIR): one package per picture, made as
// the window makes it, on every core at once.
#include "cli/batchprogress.h"
#include "cli/commandline.h"
#include "cli/commands.h"
#include "cli/landmarkmodel.h"
#include "cli/memorybudget.h"
#include "cli/outputfile.h"
#include "core/systemreason.h"
#include "cli/packagemaker.h"
#include "cli/parallelbatch.h"
#include "cli/pictureintake.h"

#include "face_detection_module/facedetectionmodule.h"
#include "core/facemaskproject.h"
#include "core/packageformat.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QThread>

#include <algorithm>
#include <optional>

namespace cli {

namespace {

const char* const command = "make";

struct Options {
    QCommandLineOption out{{QStringLiteral("o"), QStringLiteral("out")},
                           QStringLiteral("The package to write (one picture only)."),
                           QStringLiteral("OUT.pmk")};
    QCommandLineOption outDir{QStringLiteral("out-dir"),
                              QStringLiteral("Write BASENAME.pmk into this folder for each picture (made when missing, and taken away again when no package was written)."),
                              QStringLiteral("DIR")};
    QCommandLineOption name{QStringLiteral("name"),
                            QStringLiteral("The effect's name (default: the picture's base name)."),
                            QStringLiteral("NAME")};
    QCommandLineOption type{QStringLiteral("type"),
                            QStringLiteral("The effect type: face (default), whole or full."),
                            QStringLiteral("TYPE"), QStringLiteral("face")};
    QCommandLineOption force{QStringLiteral("force"), QStringLiteral("Replace existing packages.")};
    QCommandLineOption jobs{{QStringLiteral("j"), QStringLiteral("jobs")},
                            QStringLiteral("Pictures worked on at once (default: one per core)."),
                            QStringLiteral("N")};
    QCommandLineOption model = modelOption();
};

std::optional<int> effectTypeNamed(const QString& name)
{
    if (name == QLatin1String("face")) {
        return core::FaceOnly;
    }
    if (name == QLatin1String("whole")) {
        return core::WholeImage;
    }
    if (name == QLatin1String("full")) {
        return core::FullFrame;
    }
    return std::nullopt;
}

QString baseNameOf(const QString& picture)
{
    return QFileInfo(picture).completeBaseName();
}

// -o NAME: a name without an extension gets ".pmk", as the window's Save gives it.
QString packageFileName(const QString& given)
{
    return QFileInfo(given).suffix().isEmpty() ? given + QStringLiteral(".pmk") : given;
}

// One request per picture; the author and subcategory are those of a new project in the window.
QVector<PackageRequest> planRequests(const QCommandLineParser& parser, const Options& options,
                                     const QStringList& pictures, int effectType)
{
    const core::ProjectSnapshot fresh = core::FaceMaskProject().snapshot();
    // Looked at once for the whole batch: no package replaces any picture of the command.
    const auto inputs = std::make_shared<const InputFiles>(pictures);
    // On a file system that ignores case, Face.jpg and face.jpg make one package file.
    const auto outputs = std::make_shared<WrittenFiles>();
    QVector<PackageRequest> requests;
    for (const QString& picture : pictures) {
        PackageRequest request;
        request.picturePath = picture;
        request.packagePath = parser.isSet(options.out)
            ? packageFileName(parser.value(options.out))
            : QDir(parser.value(options.outDir)).filePath(baseNameOf(picture) + QStringLiteral(".pmk"));
        request.properties = fresh;
        request.properties.name = parser.isSet(options.name) ? parser.value(options.name)
                                                             : baseNameOf(picture);
        request.properties.effectType = effectType;
        request.replaceExisting = parser.isSet(options.force);
        request.commandInputs = inputs;
        request.commandOutputs = outputs;
        requests.append(request);
    }
    return requests;
}

// Two pictures of one base name would go to one package, the second replacing the first. By
// input: the one before it on the command line that goes to the same package, -1 for none.
QVector<int> earlierOfSamePackage(const QVector<PackageRequest>& requests)
{
    QVector<int> earlier(requests.size(), -1);
    QHash<QString, int> lastFor;
    for (int i = 0; i < requests.size(); ++i) {
        const QString key = QFileInfo(requests[i].packagePath).absoluteFilePath();
        const auto found = lastFor.find(key);
        if (found != lastFor.end()) {
            earlier[i] = *found;
            *found = i;
        } else {
            lastFor.insert(key, i);
        }
    }
    return earlier;
}

// "12 packages written, 1 failed", or with templates "10 packages written, 2 of them from a
// template (no face found), 1 failed".
QString summaryLine(int written, int fromTemplate, int failed)
{
    QString line = QStringLiteral("%1 %2 written")
                       .arg(written)
                       .arg(written == 1 ? QStringLiteral("package") : QStringLiteral("packages"));
    if (fromTemplate > 0) {
        line += QStringLiteral(", %1 of them from a template (no face found)").arg(fromTemplate);
    }
    return line + QStringLiteral(", %1 failed").arg(failed);
}

QString outcomeLine(const PackageRequest& request, const PackageOutcome& outcome)
{
    if (!outcome.written) {
        const QString why = outcome.failure.isEmpty() ? QStringLiteral("out of memory") : outcome.failure;
        return escaped(request.picturePath) + QStringLiteral(": failed: ") + why;
    }
    return escaped(request.picturePath) + QStringLiteral(" -> ") + escaped(request.packagePath)
        + QStringLiteral(" (") + QString::number(outcome.faceCount)
        + (outcome.faceCount == 1 ? QStringLiteral(" face)") : QStringLiteral(" faces)"))
        + (outcome.warning.isEmpty() ? QString() : QStringLiteral(", but ") + outcome.warning);
}

BatchProgress::Outcome progressOutcome(const PackageOutcome& outcome)
{
    if (!outcome.written) {
        return BatchProgress::Failed;
    }
    if (outcome.faceCount == 0) {
        return BatchProgress::FromTemplate;
    }
    return outcome.warning.isEmpty() ? BatchProgress::Succeeded : BatchProgress::Warned;
}

// The date a run stamps its packages with when SOURCE_DATE_EPOCH is set.
QDate stampedDate;

QDate theStampedDate()
{
    return stampedDate;
}

// SOURCE_DATE_EPOCH, as reproducible builds set it: seconds since 1970, UTC. Its day is the date
// written into every package of the run and the moment is the time of their members, so that
// the same pictures give the same bytes whenever they are made. Returns nothing when it is not
// set or empty, -1 when it is not a whole number of seconds from 1970 to the end of 9999.
std::optional<qint64> sourceDateEpoch()
{
    if (qEnvironmentVariableIsEmpty("SOURCE_DATE_EPOCH")) {
        return std::nullopt;
    }
    const QByteArray value = qgetenv("SOURCE_DATE_EPOCH").trimmed();
    bool number = false;
    const qint64 seconds = value.toLongLong(&number);
    // Beyond the year 9999 the date would not fit the format packages write it in.
    constexpr qint64 lastSecond = Q_INT64_C(253402300799);
    if (!number || seconds < 0 || seconds > lastSecond) {
        return -1;
    }
    return seconds;
}

} // namespace

int runMake(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Detects the points of each picture and writes one package per picture, "
                       "as saving from the window would. Existing packages are kept unless "
                       "--force is given; only regular files are replaced, never a picture of the "
                       "command. A name given with -o without an extension gets \".pmk\"; a "
                       "folder name (\"pk/\") is refused. The last line sums up: \"12 packages "
                       "written, 1 failed\", counting the packages "
                       "made from a template (no face found) apart. With SOURCE_DATE_EPOCH set "
                       "(seconds since 1970), its day, in UTC, is the date written into the "
                       "packages instead of today's, and the time of their members, so that a run "
                       "can be repeated byte for byte."));
    const Options options;
    for (const QCommandLineOption& option : {options.out, options.outDir, options.name, options.type,
                                             options.force, options.jobs, options.model}) {
        parser.addOption(option);
    }
    parser.addPositionalArgument(QStringLiteral("pictures"), QStringLiteral("Picture files."),
                                 QStringLiteral("PICTURE..."));
    if (const std::optional<int> done = parseCommandLine(parser, command, arguments)) {
        return *done;
    }

    const QStringList pictures = parser.positionalArguments();
    if (pictures.isEmpty()) {
        return usageError(command, QStringLiteral("no picture given"));
    }
    if (parser.isSet(options.out) == parser.isSet(options.outDir)) {
        return usageError(command, QStringLiteral("give either -o OUT.pmk or --out-dir DIR"));
    }
    if (parser.isSet(options.outDir) && parser.value(options.outDir).isEmpty()) {
        return usageError(command, QStringLiteral("--out-dir takes a folder name"));
    }
    if (parser.isSet(options.out) && pictures.size() != 1) {
        return usageError(command, QStringLiteral("-o takes exactly one picture; use --out-dir for more"));
    }
    if (parser.isSet(options.out)) {
        // "pk/", "pk/." and the like name a folder, not a package: ".pmk" added to them would
        // give a hidden file inside it.
        const QString out = parser.value(options.out);
        const QString name = QFileInfo(out).fileName();
        if (out.isEmpty()) {
            return usageError(command, QStringLiteral("-o takes a file name"));
        }
        if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")) {
            const QString folder = QDir::cleanPath(out);
            return usageError(command, escaped(out)
                                           + (QFileInfo(folder).isDir() ? QStringLiteral(" is a folder")
                                                                        : QStringLiteral(" names a folder"))
                                           + QStringLiteral(": give a file name, or use --out-dir ")
                                           + escaped(folder));
        }
    }
    const std::optional<int> effectType = effectTypeNamed(parser.value(options.type));
    if (!effectType) {
        return usageError(command, QStringLiteral("--type is face, whole or full, not '%1'")
                                       .arg(parser.value(options.type)));
    }
    if (const std::optional<qint64> stamp = sourceDateEpoch()) {
        if (*stamp < 0) {
            return usageError(command, QStringLiteral("SOURCE_DATE_EPOCH is a whole number of seconds "
                                                      "from 1970 to the year 9999, not '%1'")
                                           .arg(QString::fromLocal8Bit(qgetenv("SOURCE_DATE_EPOCH"))));
        }
        // Set before any worker starts; every package of the run reads it.
        stampedDate = QDateTime::fromSecsSinceEpoch(*stamp, Qt::UTC).date();
        core::package::setDateSource(&theStampedDate);
        core::setPackageMemberTime(*stamp);
    }
    int jobs = QThread::idealThreadCount();
    if (parser.isSet(options.jobs)) {
        bool number = false;
        jobs = parser.value(options.jobs).toInt(&number);
        if (!number || jobs < 1) {
            return usageError(command, QStringLiteral("--jobs takes a number of at least 1"));
        }
    }

    LandmarkModel landmarks = loadLandmarkModel(parser.value(options.model));
    if (!landmarks.module) {
        printMessage(QStringLiteral("%1 %2: %3").arg(programName, command, landmarks.failure));
        return ModelUnavailable;
    }
    QStringList madeFolders;
    if (parser.isSet(options.outDir)) {
        if (const int error = makeFolders(parser.value(options.outDir), &madeFolders)) {
            printMessage(QStringLiteral("%1 %2: cannot make the folder ").arg(programName, command)
                         + escaped(parser.value(options.outDir)) + QStringLiteral(": ") + core::systemReason(error));
            printMessage(summaryLine(0, 0, pictures.size()));
            return InputFailed;
        }
    }

    const QVector<PackageRequest> requests = planRequests(parser, options, pictures, *effectType);
    // The first picture of a package name makes it; a later one only when all before it failed,
    // so the pictures of one name are worked on in rounds, one of each name per round.
    const QVector<int> earlier = earlierOfSamePackage(requests);
    QVector<int> maker(requests.size(), -1);  // by input: the one that wrote its package, if any
    QVector<PackageOutcome> outcomes(requests.size());
    QVector<int> later(requests.size(), -1);
    QVector<int> round;
    for (int i = 0; i < requests.size(); ++i) {
        if (earlier[i] < 0) {
            round.append(i);
        } else {
            later[earlier[i]] = i;
        }
    }
    BatchProgress progress(requests.size(), stderrIsTerminal());
    int written = 0;
    int fromTemplate = 0;
    while (!round.isEmpty()) {
        const BatchTask task = [&](core::FaceDetectionModule& module, int slot) {
            const int index = round[slot];
            const int owner = earlier[index] < 0 ? -1 : maker[earlier[index]];
            outcomes[index] = owner < 0
                ? makePackage(module, requests[index])
                : PackageOutcome{false,
                                 escaped(requests[index].packagePath) + QStringLiteral(" is the package of ")
                                     + escaped(requests[owner].picturePath) + QStringLiteral(" already"),
                                 0};
        };
        const BatchListener listener = [&](const BatchEvent& event) {
            const int index = event.index < 0 ? -1 : round[event.index];
            switch (event.kind) {
            case BatchEvent::Started:
                progress.started(requests[index].picturePath);
                break;
            case BatchEvent::Finished: {
                const PackageOutcome& outcome = outcomes[index];
                written += outcome.written ? 1 : 0;
                fromTemplate += progressOutcome(outcome) == BatchProgress::FromTemplate ? 1 : 0;
                progress.finished(requests[index].picturePath, progressOutcome(outcome),
                                  outcomeLine(requests[index], outcome));
                break;
            }
            case BatchEvent::Tick:
                progress.tick();
                break;
            }
        };
        QStringList roundPictures;
        for (const int index : round) {
            roundPictures.append(pictures[index]);
        }
        runBatch(*landmarks.module, round.size(), jobs, task, listener,
                 pictureMemoryBound(roundPictures, std::min(jobs, int(round.size()))));
        QVector<int> next;
        for (const int index : round) {
            maker[index] = outcomes[index].written ? index : earlier[index] < 0 ? -1 : maker[earlier[index]];
            if (later[index] >= 0) {
                next.append(later[index]);
            }
        }
        std::sort(next.begin(), next.end());
        round = next;
    }
    progress.end(summaryLine(written, fromTemplate, requests.size() - written));
    if (written == 0) {
        // No package to hold: the folders made for them go again.
        removeEmptyFolders(madeFolders);
    }
    return written == requests.size() ? Success : InputFailed;
}

} // namespace cli
