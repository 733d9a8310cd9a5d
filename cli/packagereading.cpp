#include "cli/packagereading.h"

#include "cli/inputfile.h"
#include "preview/meshfolds.h"

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
    // An empty reason would read as acceptance.
    if (!reading.result.ok && reading.result.reason.isEmpty()) {
        reading.result.reason = QStringLiteral("refused");
    }
    return reading;
}

namespace {

std::vector<preview::FaceTriangle> foldedTrianglesOf(const core::ProjectSnapshot& snapshot)
{
    const QSize size = snapshot.picture.size();
    core::FacialPointVector pixels;
    for (const FacialPoint& p : snapshot.points) {
        pixels.emplace_back(p.x() * size.width(), p.y() * size.height());
    }
    return preview::foldedTriangles(pixels);
}

} // namespace

bool maskIsAllFolded(const core::ProjectSnapshot& snapshot)
{
    return foldedTrianglesOf(snapshot).size() >= preview::faceTriangles().size();
}

QString maskDrawsNothingReason()
{
    return QStringLiteral("the mask has no triangle to draw: its points are folded or lie on one line; "
                          "correct them in the window");
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
    for (const preview::FaceTriangle& t : foldedTrianglesOf(snapshot)) {
        report.folded.push_back({t.a, t.b, t.c});
    }
    return report;
}

} // namespace cli
