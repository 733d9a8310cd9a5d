#pragma once

#include "cli/reports.h"

#include "core/facemaskproject.h"

class QString;

namespace cli {

// Reads the package at path and checks it exactly as "Open PMK file" does (core::readPackage,
// the loader of the window), after refusing a file that is not a regular file ("not a regular
// file", "no such file"). Any thread.
core::PackageReading readCheckedPackage(const QString& path);

// readCheckedPackage, told as a report. Any thread.
PackageReport readPackageReport(const QString& path);

// Whether every triangle of the package's mask is folded or collapsed, so that no preview can
// draw any of it; and what the preview commands say of such a package. Any thread.
bool maskIsAllFolded(const core::ProjectSnapshot& snapshot);
QString maskDrawsNothingReason();

} // namespace cli
