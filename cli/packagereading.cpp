#include "cli/packagereading.h"

#include "cli/inputfile.h"
#include "cli/pictureintake.h"
#include "core/systemreason.h"
#include "preview/meshfolds.h"
#include "video/videoreader.h"

#include <QFileInfo>

#include <new>

namespace cli {

core::PackageReading readCheckedPackage(const QString& path)
{
    const InputFile input(path);
    if (!input.failure().isEmpty()) {
        core::PackageReading refused;
        refused.result.reason = input.failure();
        return refused;
    }
    core::PackageReading reading;
    try {
        reading = core::readPackage(input.readPath());
    } catch (const std::bad_alloc&) {
        reading = {};
        reading.result.reason = QStringLiteral("out of memory");
    }
    // The loader read the file by another name (readPath()): a failing disk names the one given.
    if (reading.result.error != 0) {
        reading.result.reason =
            QStringLiteral("cannot read ") + path + QStringLiteral(": ") + core::systemReason(reading.result.error);
    }
    // An empty reason would read as acceptance.
    if (!reading.result.ok && reading.result.reason.isEmpty()) {
        reading.result.reason = QStringLiteral("refused");
    }
    return reading;
}

QString refusedPackageHint(const QString& path)
{
    if (declaredPictureSize(path).isValid()) {
        return QStringLiteral(" (a picture: facemask-cli make makes a package of it)");
    }
    if (video::startsAsVideo(path) || (video::looksLikeVideo(path) && QFileInfo(path).isFile())) {
        return QStringLiteral(" (a video: facemask-cli preview PACKAGE VIDEO -o DIR draws a package's mask on it)");
    }
    return QString();
}

PackageReport readPackageReport(const QString& path)
{
    const core::PackageReading reading = readCheckedPackage(path);
    PackageReport report;
    report.file = path;
    if (!reading.result.ok) {
        report.refusal = reading.result.reason;
        return report;
    }
    const core::ProjectSnapshot& snapshot = reading.snapshot;
    report.name = snapshot.name;
    report.author = snapshot.author;
    report.subcategory = snapshot.subcategory;
    report.effectType = snapshot.effectType;
    report.points = snapshot.points;
    report.pictureSize = snapshot.picture.size();
    report.time = snapshot.time;
    core::FacialPointVector pixels;
    for (const FacialPoint& p : snapshot.points) {
        pixels.emplace_back(p.x() * report.pictureSize.width(), p.y() * report.pictureSize.height());
    }
    for (const preview::FaceTriangle& t : preview::foldedTriangles(pixels)) {
        report.folded.push_back({t.a, t.b, t.c});
    }
    return report;
}

} // namespace cli
