#pragma once

#include "core/facemaskproject.h"

#include <QString>

#include <memory>

namespace core {
class FaceDetectionModule;
}

namespace cli {

class InputFiles;
class WrittenFiles;

struct PackageRequest {
    QString picturePath;
    QString packagePath;
    // Author, subcategory, name and effect type as they go into the package; the picture and
    // the points are filled in from the picture file.
    core::ProjectSnapshot properties;
    bool replaceExisting = false;
    // Every picture of the command, none of which is ever replaced; unset: the picture only.
    std::shared_ptr<const InputFiles> commandInputs;
    // The packages the command has written so far, none of which another request replaces
    // (two names of one file); unset: this request alone.
    std::shared_ptr<WrittenFiles> commandOutputs;
};

struct PackageOutcome {
    bool written = false;
    QString failure;  // why nothing was written, for the user
    int faceCount = 0;  // 0 for a package whose points are the template (no face found)
    QString warning = QString();  // written all the same, but the picture has something amiss; else empty
};

// Reads the picture as the window reads picture files, places the points the window would
// place and saves the package as the window's Save does (core::savePackage: same members),
// written beside the target and moved into place by an OutputFile: an existing package is kept
// unless replaceExisting, and only a regular file other than the command's pictures is ever
// replaced.
// Any thread, with a module used by no other thread meanwhile.
PackageOutcome makePackage(core::FaceDetectionModule& module, const PackageRequest& request);

} // namespace cli
