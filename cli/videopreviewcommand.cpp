// facemask-cli preview PACKAGE VIDEO -o DIR [--steady] [--every N]: the package's mask drawn on
// every face of every frame of a video, as the Preview window draws it, one PNG per frame.
#include "cli/batchprogress.h"
#include "cli/commandline.h"
#include "cli/commands.h"
#include "cli/inputfile.h"
#include "core/facemaskproject.h"
#include "core/facialpoints.h"
#include "cli/landmarkmodel.h"
#include "cli/outputfile.h"
#include "cli/packagereading.h"
#include "preview/maskrenderer.h"
#include "video/videoreader.h"
#include "cli/videotracking.h"

#include "face_detection_module/facedetectionmodule.h"
#include "core/systemreason.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QScopeGuard>

#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

namespace cli {

namespace {

const char* const command = "preview";

// Writes one frame as the other outputs are written: an existing file is kept unless replace is
// set, and never one of the inputs. Empty on success, else why not.
QString writePng(const QImage& picture, const QString& path, bool replace, const QStringList& inputs)
{
    OutputFile target(path, replace, inputs);
    return target.prepare() && target.writePicture(picture) ? QString() : target.failure();
}

// The options of a video preview; those of a picture preview (-o, --force, --model) are among
// them.
struct Options {
    QCommandLineOption output{QStringList{QStringLiteral("o"), QStringLiteral("output")},
                              QStringLiteral("The folder to write the frames into (made when missing)."),
                              QStringLiteral("DIR")};
    QCommandLineOption force{QStringLiteral("force"), QStringLiteral("Replace existing frame files.")};
    QCommandLineOption every{QStringLiteral("every"), QStringLiteral("Write every Nth frame only (default 1)."),
                             QStringLiteral("N"), QStringLiteral("1")};
    QCommandLineOption steady = steadyOption();
    QCommandLineOption detectEvery = detectEveryOption();
    QCommandLineOption model = modelOption();

    void addTo(QCommandLineParser& parser) const
    {
        for (const QCommandLineOption& option : {output, force, every, steady, detectEvery, model}) {
            parser.addOption(option);
        }
    }
};

void printFailure(const QString& file, const QString& why)
{
    printFileMessage(command, file, why);
}

// arguments parsed as the command will parse them, so that option values and names after "--"
// are taken for what they are, into parser, whose options are those of options. A failed parse
// still sorts out the positional arguments; the command itself then reports the failure.
void parseAsVideoPreview(const QStringList& arguments, const Options& options, QCommandLineParser& parser)
{
    options.addTo(parser);
    parser.addHelpOption();
    parser.addVersionOption();
    parser.parse(arguments);
}


} // namespace

bool isVideoPreview(const QStringList& arguments)
{
    QCommandLineParser parser;
    parseAsVideoPreview(arguments, Options(), parser);
    const QStringList inputs = parser.positionalArguments();
    // A video named otherwise (a camera's .ts or .mts, a download without a suffix) is told by
    // its first bytes, as track reads it whatever its name.
    return inputs.size() >= 2 && (video::looksLikeVideo(inputs[1]) || video::startsAsVideo(inputs[1]));
}

QString videoPreviewOptionGiven(const QStringList& arguments)
{
    QCommandLineParser parser;
    const Options options;
    parseAsVideoPreview(arguments, options, parser);
    for (const QCommandLineOption* option : {&options.every, &options.steady, &options.detectEvery}) {
        if (parser.isSet(*option)) {
            return QStringLiteral("--") + option->names().first();
        }
    }
    return QString();
}

int runVideoPreview(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Draws the mask of a package on every face of every frame of a video, as the "
                       "Preview window does, and writes the frames as DIR/frame-000000.png, ... (named "
                       "by frame number). Every frame is decoded and tracked; --every N writes every "
                       "Nth. Existing frame files are kept unless --force is given (the command then "
                       "stops at the first). The exit status is 1 when the package is refused, the "
                       "video cannot be decoded or a file cannot be written."));
    const Options options;
    options.addTo(parser);
    const QCommandLineOption& output = options.output;
    const QCommandLineOption& every = options.every;
    const QCommandLineOption& steady = options.steady;
    const QCommandLineOption& detectEvery = options.detectEvery;
    const QCommandLineOption& force = options.force;
    parser.addPositionalArgument(QStringLiteral("package"), QStringLiteral("The package."), QStringLiteral("PACKAGE"));
    parser.addPositionalArgument(QStringLiteral("video"), QStringLiteral("A video of faces."), QStringLiteral("VIDEO"));
    if (const std::optional<int> done = parseCommandLine(parser, command, arguments)) {
        return *done;
    }
    const QStringList inputs = parser.positionalArguments();
    if (inputs.size() != 2) {
        return usageError(command, QStringLiteral("a package and a video are needed")
                                       + tooManyArguments(inputs.mid(2), parser.isSet(output) ? QString()
                                                          : QStringLiteral("the folder to write into goes after -o")));
    }
    if (!parser.isSet(output) || parser.value(output).isEmpty()) {
        return usageError(command, QStringLiteral("no output folder given (-o DIR)"));
    }
    bool numeric = false;
    const int step = parser.value(every).toInt(&numeric);
    if (!numeric || step < 1) {
        return usageError(command, QStringLiteral("--every takes a whole number of 1 or more"));
    }
    const int interval = parser.value(detectEvery).toInt(&numeric);
    if (!numeric || interval < 1) {
        return usageError(command, QStringLiteral("--detect-every takes a whole number of 1 or more"));
    }

    // Everything is checked before the folder is made, so that a failed start leaves nothing.
    const core::PackageReading package = readCheckedPackage(inputs[0]);
    if (!package.result.ok) {
        printFailure(inputs[0], QStringLiteral("refused: ") + escaped(package.result.reason)
                                    + refusedPackageHint(inputs[0]));
        return InputFailed;
    }
    const InputFile videoFile(inputs[1]);
    if (!videoFile.failure().isEmpty()) {
        printFailure(inputs[1], videoFile.failure());
        return InputFailed;
    }
    const LandmarkModel model = loadLandmarkModel(parser.value(options.model));
    if (!model.module) {
        printMessage(QStringLiteral("%1 %2: %3").arg(programName, command, model.failure));
        return ModelUnavailable;
    }
    QString failure;
    const std::unique_ptr<video::VideoReader> reader = video::VideoReader::open(inputs[1], &failure);
    if (!reader) {
        printFailure(inputs[1], failure);
        return InputFailed;
    }
    const QDir folder(parser.value(output));
    QStringList madeFolders;
    if (const int error = makeFolders(folder.path(), &madeFolders)) {
        printFailure(folder.path(), QStringLiteral("the folder cannot be made: ") + core::systemReason(error));
        return InputFailed;
    }
    // A run that fails takes away the folders it made, when nothing was written into them.
    bool succeeded = false;
    const auto removeMadeFolders = qScopeGuard([&] {
        if (!succeeded) {
            removeEmptyFolders(madeFolders);
        }
    });

    preview::MaskRenderer renderer;
    renderer.setPicture(package.snapshot.picture);
    renderer.setPoints(package.snapshot.points);
    renderer.setEffectType(package.snapshot.effectType);
    if (!renderer.hasMask()) {
        // Frames drawn without the mask's working copies would be the video's own frames.
        printFailure(inputs[0], QStringLiteral("the mask picture could not be prepared (out of memory)"));
        return InputFailed;
    }
    VideoTracking tracking(*model.module, interval, parser.isSet(steady));
    int frames = 0, written = 0, withFaces = 0;
    FrameProgress progress(reader->declaredDuration());
    video::VideoFrame frame;
    while (reader->next(frame)) {
        progress.reached(frame.index, frame.time);
        ++frames;
        const TrackedFrame tracked = tracking.track(frame.picture, frame.time);
        withFaces += tracked.faces.empty() ? 0 : 1;
        if (frame.index % step != 0) {
            continue;
        }
        const QString path = folder.filePath(QStringLiteral("frame-%1.png").arg(frame.index, 6, 10, QLatin1Char('0')));
        const QString why = writePng(renderer.renderFaces(frame.picture, tracked.drawnFaces), path,
                                     parser.isSet(force), inputs);
        if (!why.isEmpty()) {
            printMessage(QStringLiteral("%1 %2: %3").arg(programName, command, why));
            return InputFailed;
        }
        ++written;
    }
    if (!reader->failure().isEmpty()) {
        printFailure(inputs[1], reader->failure());
        return InputFailed;
    }
    succeeded = true;
    if (!reader->shortfall().isEmpty()) {
        printMessage(QStringLiteral("%1 %2: warning: %3: %4").arg(programName, command, escaped(inputs[1]), reader->shortfall()));
    }
    // Concatenated, not QString::arg: a folder named "out%2" must come out as it is.
    printResult(escaped(folder.path())
                + QStringLiteral(": %1 %2 written of %3, faces on %4")
                      .arg(written)
                      .arg(written == 1 ? QStringLiteral("frame") : QStringLiteral("frames"))
                      .arg(frames)
                      .arg(withFaces));
    return Success;
}

} // namespace cli
