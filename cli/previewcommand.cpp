// facemask-cli preview [--model PATH] PACKAGE FACE_PICTURE -o OUT.png: the package's mask drawn
// on the face of a picture by the renderer of the Preview window, written as PNG.
#include "commandline.h"
#include "commands.h"
#include "facedetectionmodule.h"
#include "facemaskproject.h"
#include "facialpoints.h"
#include "landmarkmodel.h"
#include "landmarkpipeline.h"
#include "maskrenderer.h"
#include "pictureintake.h"

#include <QCommandLineParser>
#include <QSaveFile>

namespace cli {

namespace {

const char* const command = "preview";

bool writePng(const QImage& picture, const QString& path)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && picture.save(&file, "PNG") && file.commit();
}

} // namespace

int runPreview(const QStringList& arguments)
{
    if (isVideoPreview(arguments)) {
        return runVideoPreview(arguments);
    }
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Draws the mask of a package (its picture, points and effect type) on the "
                       "largest face of a picture, as the Preview window does, and writes the "
                       "result as PNG. The exit status is 1 when the package is refused, the "
                       "picture cannot be read, no face is found or the file cannot be written."));
    const QCommandLineOption output(QStringList{QStringLiteral("o"), QStringLiteral("output")},
                                    QStringLiteral("The PNG file to write."), QStringLiteral("OUT.png"));
    parser.addOption(output);
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
        return usageError(command, QStringLiteral("a package and a face picture are needed"));
    }
    if (!parser.isSet(output) || parser.value(output).isEmpty()) {
        return usageError(command, QStringLiteral("no output file given (-o OUT.png)"));
    }

    core::FaceMaskProject project;
    if (!project.load(inputs[0])) {
        printMessage(QStringLiteral("%1: the package was refused (\"%2 info\" tells why)").arg(inputs[0], programName));
        return InputFailed;
    }
    const Picture face = readPicture(inputs[1]);
    if (face.image.isNull()) {
        printMessage(QStringLiteral("%1: %2").arg(inputs[1], face.failure));
        return InputFailed;
    }
    const LandmarkModel model = loadLandmarkModel(parser.value(modelOption()));
    if (!model.module) {
        printMessage(model.failure);
        return ModelUnavailable;
    }
    const core::DetectionResult found = core::runLandmarkPipeline(*model.module, face.image);
    if (found.faceCount == 0) {
        printMessage(QStringLiteral("%1: no face found").arg(inputs[1]));
        return InputFailed;
    }

    preview::MaskRenderer renderer;
    renderer.setPicture(project.facialPoints()->image());
    renderer.setPoints(project.facialPoints()->points());
    renderer.setEffectType(project.effectType());
    preview::RenderReport report;
    const QImage picture = renderer.render(face.image, found.points, &report);
    if (!writePng(picture, parser.value(output))) {
        printMessage(QStringLiteral("%1: cannot be written").arg(parser.value(output)));
        return InputFailed;
    }
    printResult(QStringLiteral("%1: %2x%3, %4 of %5 triangles drawn")
                    .arg(parser.value(output))
                    .arg(picture.width())
                    .arg(picture.height())
                    .arg(report.drawnTriangles)
                    .arg(report.drawnTriangles + report.skippedTriangles));
    return Success;
}

} // namespace cli
