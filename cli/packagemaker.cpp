#include "cli/packagemaker.h"

#include "cli/outputfile.h"
#include "cli/pictureintake.h"

#include "face_detection_module/landmarkpipeline.h"
#include "core/packageformat.h"

#include <cerrno>
#include <new>

namespace cli {

namespace {

PackageOutcome failed(const QString& why)
{
    PackageOutcome outcome;
    outcome.failure = why;
    return outcome;
}

const QString outOfMemory = QStringLiteral("out of memory");

} // namespace

PackageOutcome makePackage(core::FaceDetectionModule& module, const PackageRequest& request)
{
    // Checked before the work: an existing package, a FIFO or a picture of the command as the
    // target costs no detection.
    OutputFile output(request.packagePath, request.replaceExisting,
                      request.commandInputs ? request.commandInputs
                                            : std::make_shared<const InputFiles>(QStringList{request.picturePath}));
    output.recordIn(request.commandOutputs);
    if (!output.prepare()) {
        return failed(output.failure());
    }
    const Picture picture = readPicture(request.picturePath);
    if (picture.image.isNull()) {
        return failed(picture.failure);
    }
    core::DetectionResult detection;
    try {
        detection = core::runLandmarkPipeline(module, picture.image);
    } catch (const std::bad_alloc&) {
        return failed(outOfMemory);
    }
    // Without all its points a package would be refused when opened: better none at all.
    if (int(detection.points.size()) < core::package::minimumPivotCount) {
        return failed(QStringLiteral("the picture could not be processed (out of memory)"));
    }
    core::ProjectSnapshot snapshot = request.properties;
    snapshot.picture = picture.image;
    snapshot.points = detection.points;
    core::SaveResult saved;
    errno = 0;
    // The writer's own partial file beside the temporary one goes too if the command is
    // interrupted meanwhile: the writer watches it.
    try {
        saved = core::writePackage(snapshot, output.temporaryPath());
    } catch (const std::bad_alloc&) {
        saved.error = ENOMEM;
    }
    if (!saved.ok) {
        // A failing disk says so through the result's error, memory through errno; anything else
        // is the package's own check refusing what was written (a picture the loader would not
        // open, say).
        const int error = saved.error != 0 ? saved.error : errno == ENOMEM ? ENOMEM : 0;
        if (error == 0 && !saved.reason.isEmpty()) {
            output.failedChecking(saved.reason);
        } else {
            output.failedWriting(error);
        }
        return failed(output.failure());
    }
    if (!output.commit()) {
        return failed(output.failure());
    }
    PackageOutcome outcome;
    outcome.written = true;
    outcome.faceCount = detection.faceCount;
    outcome.warning = picture.warning;
    return outcome;
}

} // namespace cli
