// facemask-cli preview [--model PATH] [--force] PACKAGE FACE_PICTURE -o OUT.png: the package's
// mask drawn on the face of a picture by the renderer of the Preview window, written as PNG.
#include "cli/commandline.h"
#include "cli/commands.h"
#include "face_detection_module/facedetectionmodule.h"
#include "core/facemaskproject.h"
#include "core/facialpoints.h"
#include "cli/landmarkmodel.h"
#include "face_detection_module/landmarkpipeline.h"
#include "preview/maskrenderer.h"
#include "cli/outputfile.h"
#include "cli/packagereading.h"
#include "cli/pictureintake.h"
#include "video/videoreader.h"

#include <QCommandLineParser>

namespace cli {

namespace {

const char* const command = "preview";

void printFailure(const QString& file, const QString& why)
{
    printFileMessage(command, file, why);
}

} // namespace

int runPreview(const QStringList& arguments)
{
    if (isVideoPreview(arguments)) {
        return runVideoPreview(arguments);
    }
    // Unknown to a picture's preview, these options would be refused without a word of why.
    const QString videoOption = videoPreviewOptionGiven(arguments);
    if (!videoOption.isEmpty()) {
        return usageError(command, videoOption + QStringLiteral(" is an option for a video (PACKAGE VIDEO -o DIR); "
                                                                "a picture's preview takes -o OUT.png, --force and --model"));
    }
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Draws the mask of a package (its picture, points and effect type) on the "
                       "largest face of a picture, drawn as the Preview window draws it (the window masks up to 8 "
                       "faces), and writes the result as PNG. An existing file is kept unless --force is given, and the "
                       "inputs are never replaced. The exit status is 1 when the package is "
                       "refused, the picture cannot be read, no face is found or the file cannot "
                       "be written. Given a video (mp4, webm, mkv, ...) instead of a picture, it "
                       "writes every frame into a folder, with --every, --steady and "
                       "--detect-every: see \"facemask-cli preview PACKAGE clip.mp4 --help\" (any video name will do)."));
    const QCommandLineOption output(QStringList{QStringLiteral("o"), QStringLiteral("output")},
                                    QStringLiteral("The PNG file to write."), QStringLiteral("OUT.png"));
    const QCommandLineOption force(QStringLiteral("force"), QStringLiteral("Replace an existing file."));
    parser.addOption(output);
    parser.addOption(force);
    parser.addOption(modelOption());
    parser.addPositionalArgument(QStringLiteral("package"), QStringLiteral("The package."),
                                 QStringLiteral("PACKAGE"));
    parser.addPositionalArgument(QStringLiteral("face"), QStringLiteral("The picture of a face."),
                                 QStringLiteral("FACE_PICTURE"));
    if (const std::optional<int> done = parseCommandLine(parser, command, arguments)) {
        return *done;
    }
    const QStringList inputs = parser.positionalArguments();
    if (inputs.size() != 2) {
        return usageError(command, QStringLiteral("a package and a face picture are needed")
                                       + tooManyArguments(inputs.mid(2), parser.isSet(output) ? QString()
                                                          : QStringLiteral("the file to write goes after -o")));
    }
    if (!parser.isSet(output) || parser.value(output).isEmpty()) {
        return usageError(command, QStringLiteral("no output file given (-o OUT.png)"));
    }

    const core::PackageReading package = readCheckedPackage(inputs[0]);
    if (!package.result.ok) {
        // The two inputs given the other way round: the second is the package.
        const bool swapped = readCheckedPackage(inputs[1]).result.ok;
        const bool video = video::looksLikeVideo(inputs[0]) || video::startsAsVideo(inputs[0]);
        printFailure(inputs[0], QStringLiteral("refused: ") + escaped(package.result.reason)
                                    + (!swapped ? refusedPackageHint(inputs[0])
                                       : video  ? QStringLiteral(" (the package comes first: %1 preview PACKAGE VIDEO -o DIR)").arg(programName)
                                                : QStringLiteral(" (the package comes first: %1 preview PACKAGE PICTURE -o OUT.png)").arg(programName)));
        return InputFailed;
    }
    // After the package: inputs given the other way round name a folder after -o, which the
    // package's refusal explains.
    OutputFile target(parser.value(output), parser.isSet(force), inputs);
    if (!target.prepare()) {
        printMessage(QStringLiteral("%1 %2: ").arg(programName, command) + target.failure());
        return InputFailed;
    }
    const Picture face = readPicture(inputs[1]);
    if (face.image.isNull()) {
        printFailure(inputs[1], face.failure);
        return InputFailed;
    }
    const LandmarkModel model = loadLandmarkModel(parser.value(modelOption()));
    if (!model.module) {
        printMessage(QStringLiteral("%1 %2: %3").arg(programName, command, model.failure));
        return ModelUnavailable;
    }
    // Only the largest face is drawn: the others' points are not predicted.
    const core::DetectionResult found = core::runLandmarkPipeline(*model.module, face.image, 1);
    if (found.points.empty()) {
        // The pipeline gives even a picture without a face its points; none means it ran short.
        printFailure(inputs[1], QStringLiteral("the picture could not be processed (out of memory)"));
        return InputFailed;
    }
    if (found.faceCount == 0) {
        printFailure(inputs[1], QStringLiteral("no face found"));
        return InputFailed;
    }

    preview::MaskRenderer renderer;
    renderer.setPicture(package.snapshot.picture);
    renderer.setPoints(package.snapshot.points);
    renderer.setEffectType(package.snapshot.effectType);
    if (!renderer.hasMask()) {
        // A package always holds its 75 points: only its picture's working copies can be missing.
        // Drawn without them, the face would be written as it is and taken for a preview.
        printFailure(inputs[0], QStringLiteral("the mask picture could not be prepared (out of memory)"));
        return InputFailed;
    }
    preview::RenderReport report;
    // Unclamped: the mask of a face cut by the picture's edge is cut there too, not squeezed.
    const bool placedFace = found.placed >= 0 && found.placed < found.faces.size()
                            && found.faces[found.placed].framePoints.size() == found.points.size();
    const QImage picture = renderer.render(face.image, placedFace ? found.faces[found.placed].framePoints : found.points,
                                           &report);
    if (!target.writePicture(picture)) {
        printMessage(QStringLiteral("%1 %2: ").arg(programName, command) + target.failure());
        return InputFailed;
    }
    printResult(escaped(parser.value(output))
                + QStringLiteral(": %1x%2, %3 of %4 triangles drawn")
                      .arg(picture.width())
                      .arg(picture.height())
                      .arg(report.drawnTriangles)
                      .arg(report.drawnTriangles + report.skippedTriangles));
    return Success;
}

} // namespace cli
