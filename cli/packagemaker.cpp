#include "packagemaker.h"

#include "pictureintake.h"

#include "landmarkpipeline.h"
#include "packageformat.h"

#include <QFileInfo>

namespace cli {

namespace {

PackageOutcome failed(const QString& why)
{
    PackageOutcome outcome;
    outcome.failure = why;
    return outcome;
}

} // namespace

PackageOutcome makePackage(core::FaceDetectionModule& module, const PackageRequest& request)
{
    const QFileInfo target(request.packagePath);
    // A dangling link counts as existing too: saving would write the file it names.
    if (!request.replaceExisting && (target.exists() || target.isSymLink())) {
        return failed(request.packagePath + QStringLiteral(" exists (--force replaces it)"));
    }
    const Picture picture = readPicture(request.picturePath);
    if (picture.image.isNull()) {
        return failed(picture.failure);
    }
    const core::DetectionResult detection = core::runLandmarkPipeline(module, picture.image);
    // Without all its points a package would be refused when opened: better none at all.
    if (int(detection.points.size()) < core::package::minimumPivotCount) {
        return failed(QStringLiteral("the picture could not be processed (out of memory)"));
    }
    core::ProjectSnapshot snapshot = request.properties;
    snapshot.picture = picture.image;
    snapshot.points = detection.points;
    if (!core::savePackage(snapshot, request.packagePath)) {
        return failed(QStringLiteral("cannot write ") + request.packagePath);
    }
    PackageOutcome outcome;
    outcome.written = true;
    outcome.faceCount = detection.faceCount;
    return outcome;
}

} // namespace cli
