#pragma once

#include <QString>
#include <QStringList>

#include <memory>

namespace core {
class FaceDetectionModule;
}

namespace cli {

// The files the landmark model is looked for in, in order: the given path alone when there is
// one; else "shape_predictor.dat" in the working directory (as the window reads it), the
// installed data folder (share/facemask beside the program's bin folder), then libdlib-data's file.
QStringList landmarkModelCandidates(const QString& givenPath);

struct LandmarkModel {
    std::unique_ptr<core::FaceDetectionModule> module;  // null when none could be loaded
    QString path;     // the file chosen, empty when none exists
    QString failure;  // why there is no module, for the user
};

// Loads the first candidate that exists; a candidate that exists but does not load is not
// skipped over, so the user hears that the file they put there is broken. The model is read
// through its compact copy in the user's cache folder, shared with the window program, and the
// copy is written on the first load (see FaceDetectionModule::load).
LandmarkModel loadLandmarkModel(const QString& givenPath);

} // namespace cli
