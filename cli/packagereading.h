#pragma once

#include "reports.h"

class QString;

namespace cli {

// Reads the package at path and checks it exactly as "Open PMK file" does (core::readPackage,
// the loader of the window). Any thread.
PackageReport readPackageReport(const QString& path);

} // namespace cli
