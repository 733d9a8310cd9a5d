// facemask-cli track [--steady] [--json] [--detect-every N] VIDEO: the points of every face on
// every frame of a video, followed as the Preview window follows them.
#include "cli/batchprogress.h"
#include "cli/commandline.h"
#include "cli/inputfile.h"
#include "cli/commands.h"
#include "cli/jsonwriting.h"
#include "cli/landmarkmodel.h"
#include "cli/reports.h"
#include "video/videoreader.h"
#include "cli/videotracking.h"

#include "face_detection_module/facedetectionmodule.h"
#include "face_detection_module/landmarkpipeline.h"

#include <QCommandLineParser>


namespace cli {

namespace {

// 1st, 2nd, 3rd, 4th, ..., 11th, 12th, 13th, ..., 21st, ...
QString englishOrdinal(int number)
{
    const int lastTwo = number % 100;
    const int last = number % 10;
    const char* suffix = (lastTwo >= 11 && lastTwo <= 13) ? "th" : last == 1 ? "st" : last == 2 ? "nd" : last == 3 ? "rd" : "th";
    return QString::number(number) + QLatin1String(suffix);
}

const char* const command = "track";

// The face whose points are "points": the largest, as detect places it.
int placedFace(const TrackedFrame& tracked)
{
    int placed = -1;
    qint64 largest = -1;
    for (int i = 0; i < tracked.boxes.size(); ++i) {
        const qint64 area = qint64(tracked.boxes[i].width()) * tracked.boxes[i].height();
        if (area > largest) {
            largest = area;
            placed = i;
        }
    }
    return placed;
}

// The points printed for a frame: the placed face's, or on a frame without a face the markup
// predicted over the whole frame, as detect prints for a picture without a face.
core::FacialPointVector placedPoints(const TrackedFrame& tracked, int placed,
                                     const core::FacialPointVector& whole)
{
    return placed >= 0 ? tracked.faces[std::size_t(placed)] : whole;
}

QString frameJson(const QString& file, const video::VideoFrame& frame, const TrackedFrame& tracked,
                  const core::FacialPointVector& whole)
{
    Json::Value object(Json::objectValue);
    object["file"] = json::string(file);
    object["frame"] = frame.index;
    object["time"] = frame.time;
    object["width"] = frame.picture.width();
    object["height"] = frame.picture.height();
    object["faceCount"] = int(tracked.faces.size());
    const int placed = placedFace(tracked);
    object["placed"] = placed;
    object["points"] = json::pointsArray(placedPoints(tracked, placed, whole));
    Json::Value faces(Json::arrayValue);
    for (int i = 0; i < tracked.boxes.size(); ++i) {
        Json::Value entry(Json::objectValue);
        entry["rect"] = json::rectArray(tracked.boxes[i]);
        entry["points"] = json::pointsArray(tracked.faces[std::size_t(i)]);
        faces.append(entry);
    }
    object["faces"] = faces;
    return json::toText(object);
}

QString frameLine(const video::VideoFrame& frame, const TrackedFrame& tracked,
                  const core::FacialPointVector& whole)
{
    const int placed = placedFace(tracked);
    return QStringLiteral("%1\t%2\t%3\t%4")
        .arg(frame.index)
        .arg(frame.time, 0, 'f', 3)
        .arg(tracked.faces.size())
        .arg(pointsText(placedPoints(tracked, placed, whole)));
}

} // namespace

int runTrack(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Decodes every frame of a video (none is dropped) and prints the landmark points "
                       "of every face on it (up to 8), followed from frame to frame as the Preview window "
                       "follows them: one line per frame (frame, time in seconds, number of faces, the "
                       "largest face's points as x,y fractions), or with --json one array with an element "
                       "per frame in the form of 'detect --json' plus \"frame\", \"time\", \"width\" and "
                       "\"height\". The exit status is 1 when the file is not a video that can be decoded."));
    const QCommandLineOption json = jsonOption();
    const QCommandLineOption steady = steadyOption();
    const QCommandLineOption every = detectEveryOption();
    parser.addOption(json);
    parser.addOption(steady);
    parser.addOption(every);
    parser.addOption(modelOption());
    parser.addPositionalArgument(QStringLiteral("video"), QStringLiteral("A video file (MP4, WebM, MKV, ...)."),
                                 QStringLiteral("VIDEO"));
    if (const std::optional<int> done = parseCommandLine(parser, command, arguments)) {
        return *done;
    }
    const QStringList inputs = parser.positionalArguments();
    if (inputs.size() != 1) {
        return usageError(command, QStringLiteral("one video file is needed") + tooManyArguments(inputs.mid(1), QString()));
    }
    bool numeric = false;
    const int interval = parser.value(every).toInt(&numeric);
    if (!numeric || interval < 1) {
        return usageError(command, QStringLiteral("--detect-every takes a whole number of 1 or more"));
    }
    const LandmarkModel model = loadLandmarkModel(parser.value(modelOption()));
    if (!model.module) {
        printMessage(QStringLiteral("%1 %2: %3").arg(programName, command, model.failure));
        return ModelUnavailable;
    }
    const bool asJson = parser.isSet(json);
    // Checked as every command checks its inputs; the decoder then reads it by name.
    const InputFile videoFile(inputs[0]);
    QString failure = videoFile.failure();
    const std::unique_ptr<video::VideoReader> reader =
        failure.isEmpty() ? video::VideoReader::open(inputs[0], &failure) : nullptr;
    if (!reader) {
        printFileMessage(command, inputs[0], failure);
        if (asJson) {
            // The array --json promises, in the form detect --json gives a picture it cannot read.
            PictureReport refused;
            refused.file = inputs[0];
            refused.error = failure;
            printResult(detectionsJson({refused}));
        }
        return InputFailed;
    }
    printMessage(interval == 1 ? QStringLiteral("%1 %2: faces are found on every frame.").arg(programName, command)
                               : QStringLiteral("%1 %2: faces are found on every %3 frame and followed between.")
                                     .arg(programName, command, englishOrdinal(interval)));
    VideoTracking tracking(*model.module, interval, parser.isSet(steady));
    QString pending; // the JSON element before the one in work, printed once it is known not to be the last
    if (asJson) {
        printResult(QStringLiteral("["));
    }
    FrameProgress progress(reader->declaredDuration());
    video::VideoFrame frame;
    while (reader->next(frame)) {
        progress.reached(frame.index, frame.time);
        const TrackedFrame tracked = tracking.track(frame.picture, frame.time);
        const core::FacialPointVector whole = tracked.faces.empty()
            ? core::wholePicturePoints(*model.module, frame.picture)
            : core::FacialPointVector();
        if (asJson) {
            if (!pending.isEmpty()) {
                printResult(pending + QLatin1Char(','));
            }
            pending = frameJson(inputs[0], frame, tracked, whole);
        } else {
            printResult(frameLine(frame, tracked, whole));
        }
        // Nothing more would arrive either: a long video is not decoded to the end for no one.
        if (!standardOutputFailure().isEmpty()) {
            return InputFailed;
        }
    }
    if (asJson) {
        if (!pending.isEmpty()) {
            printResult(pending);
        }
        printResult(QStringLiteral("]"));
    }
    if (!reader->failure().isEmpty()) {
        printFileMessage(command, inputs[0], reader->failure());
        return InputFailed;
    }
    if (!reader->shortfall().isEmpty()) {
        printMessage(QStringLiteral("%1 %2: warning: %3: %4").arg(programName, command, escaped(inputs[0]), reader->shortfall()));
    }
    return Success;
}

} // namespace cli
