#pragma once

#include "cli/reports.h"

#include "core/facemaskproject.h"

class QString;

namespace cli {

// Reads the package at path and checks it exactly as "Open PMK file" does (core::readPackage,
// the loader of the window), after refusing a file that is not a regular file ("not a regular
// file", "no such file"). A read the disk failed is "cannot read PATH: REASON", PATH as given.
// Any thread.
core::PackageReading readCheckedPackage(const QString& path);

// For the message that refuses the file at path as a package: what it is instead, when it is a
// picture (" (a picture: facemask-cli make makes a package of it)") or a video; else empty.
// Any thread.
QString refusedPackageHint(const QString& path);

// readCheckedPackage, told as a report. Any thread.
PackageReport readPackageReport(const QString& path);

} // namespace cli
