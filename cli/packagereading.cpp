#include "packagereading.h"

#include "facemaskproject.h"

namespace cli {

PackageReport readPackageReport(const QString& path)
{
    const core::PackageReading reading = core::readPackage(path);
    PackageReport report;
    report.file = path;
    if (!reading.result.ok) {
        // An empty reason would read as acceptance.
        report.refusal = reading.result.reason.isEmpty() ? QStringLiteral("refused")
                                                         : reading.result.reason;
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
    return report;
}

} // namespace cli
