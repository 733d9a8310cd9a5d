// facemask-cli detect [--json | --format FORMAT] PICTURE...: the points the window would place on
// each picture, or the 68 landmarks of one picture for other tools.
#include "cli/commandline.h"
#include "cli/commands.h"
#include "cli/landmarkmodel.h"
#include "cli/memorybudget.h"
#include "cli/parallelbatch.h"
#include "cli/pictureintake.h"
#include "cli/reports.h"

#include "face_detection_module/facedetectionmodule.h"
#include "face_detection_module/landmarkpipeline.h"

#include <QCommandLineParser>
#include <QThread>

#include <algorithm>
#include <atomic>

namespace cli {

namespace {

const char* const command = "detect";

PictureReport detectPicture(core::FaceDetectionModule& module, const QString& path)
{
    PictureReport report;
    report.file = path;
    const Picture picture = readPicture(path);
    if (picture.image.isNull()) {
        report.error = picture.failure;
        return report;
    }
    report.pictureSize = picture.image.size();
    report.warning = picture.warning;
    report.detection = core::runLandmarkPipeline(module, picture.image);
    if (report.detection.points.empty()) {
        report.error = QStringLiteral("the picture could not be processed (out of memory)");
    }
    return report;
}

} // namespace

int runDetect(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Finds the faces in each picture and prints the landmark points the window "
                       "would place: one line per picture (file, number of faces, points as "
                       "x,y fractions of the picture), one JSON array with --json, or the 68 "
                       "landmarks of one picture as an iBUG .pts file or dlib's imglab XML."));
    const QCommandLineOption json = jsonOption();
    const QCommandLineOption model = modelOption();
    parser.addOption(json);
    parser.addOption(formatOption());
    parser.addOption(model);
    parser.addPositionalArgument(QStringLiteral("pictures"), QStringLiteral("Picture files."),
                                 QStringLiteral("PICTURE..."));
    if (const std::optional<int> done = parseCommandLine(parser, command, arguments)) {
        return *done;
    }
    const QStringList pictures = parser.positionalArguments();
    if (pictures.isEmpty()) {
        return usageError(command, QStringLiteral("no picture given"));
    }
    const std::optional<PointsFormat> format = pointsFormat(parser, command);
    if (!format) {
        return UsageError;
    }
    const bool oneDocument = *format == PointsFormat::Pts || *format == PointsFormat::DlibXml;
    if (oneDocument && pictures.size() != 1) {
        return usageError(command, QStringLiteral("--format %1 takes exactly one picture")
                                       .arg(parser.value(QStringLiteral("format"))));
    }
    LandmarkModel landmarks = loadLandmarkModel(parser.value(model));
    if (!landmarks.module) {
        printMessage(QStringLiteral("%1 %2: %3").arg(programName, command, landmarks.failure));
        return ModelUnavailable;
    }

    QVector<PictureReport> reports(pictures.size());
    // Set once a result could not be written: the pictures not yet begun are then left alone,
    // as their results could go nowhere.
    std::atomic_bool outputLost{false};
    const BatchTask task = [&](core::FaceDetectionModule& module, int index) {
        if (!outputLost) {
            reports[index] = detectPicture(module, pictures[index]);
        }
    };
    // Results go out in the order of the command line, each line as soon as it and every line
    // before it are known.
    int printed = 0;
    QVector<bool> finished(pictures.size(), false);
    const bool asJson = *format == PointsFormat::Json;
    const BatchListener listener = [&](const BatchEvent& event) {
        if (event.kind != BatchEvent::Finished) {
            return;
        }
        finished[event.index] = true;
        if (outputLost) {
            return;
        }
        for (; printed < pictures.size() && finished[printed]; ++printed) {
            const PictureReport& report = reports[printed];
            if (report.file.isEmpty()) {
                reports[printed] = {pictures[printed], {}, QStringLiteral("out of memory"), QSize()};
            }
            if (!report.warning.isEmpty()) {
                printFileMessage(command, report.file, QStringLiteral("warning: ") + report.warning);
            }
            if (!report.error.isEmpty()) {
                printFileMessage(command, report.file, report.error);
            } else if (oneDocument) {
                // The file has no place for the face count: without a face its points would pass
                // for a face's.
                if (report.detection.faceCount == 0) {
                    printFileMessage(command, report.file,
                                     QStringLiteral("warning: no face found: the points are spread over the picture"));
                }
                printDocument(detectionDocument(report, *format));
            } else if (!asJson) {
                printResult(detectionLine(report));
            }
            if (!standardOutputFailure().isEmpty()) {
                outputLost = true;
                return;
            }
        }
    };
    // Large pictures wait for memory as make's do, rather than all being decoded at once.
    const int jobs = QThread::idealThreadCount();
    runBatch(*landmarks.module, pictures.size(), jobs, task, listener,
             pictureMemoryBound(pictures, std::min(jobs, int(pictures.size()))));

    if (asJson) {
        printResult(detectionsJson(reports));
    }
    for (const PictureReport& report : reports) {
        if (!report.error.isEmpty()) {
            return InputFailed;
        }
    }
    return Success;
}

} // namespace cli
