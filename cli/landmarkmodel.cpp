#include "cli/landmarkmodel.h"

#include "cli/commandline.h"

#include "face_detection_module/facedetectionmodule.h"

#include <QFile>
#include <QFileInfo>

namespace cli {

QStringList landmarkModelCandidates(const QString& givenPath)
{
    if (!givenPath.isEmpty()) {
        return {givenPath};
    }
    return {QString::fromLatin1(core::FaceDetectionModule::defaultModelPath),
            core::FaceDetectionModule::installedModelPath(), QStringLiteral(FACEMASK_SYSTEM_MODEL)};
}

LandmarkModel loadLandmarkModel(const QString& givenPath)
{
    LandmarkModel model;
    const QStringList candidates = landmarkModelCandidates(givenPath);
    for (const QString& candidate : candidates) {
        if (QFileInfo::exists(candidate)) {
            model.path = candidate;
            break;
        }
    }
    if (model.path.isEmpty()) {
        QStringList shown;
        for (const QString& candidate : candidates) {
            shown.append(escaped(candidate));
        }
        model.failure = QStringLiteral("no landmark model found (looked for %1)").arg(shown.join(QStringLiteral(", ")));
        // The last place looked is libdlib-data's file: what a user without it can do.
        if (givenPath.isEmpty()) {
            model.failure += QStringLiteral(": install libdlib-data, or name a model with --model PATH");
        }
        return model;
    }
    core::ModelFailure failure = core::ModelFailure::None;
    model.module = core::FaceDetectionModule::load(QFile::encodeName(model.path).toStdString(),
                                                   core::FaceDetectionModule::defaultCacheFolder(), &failure);
    if (!model.module) {
        model.failure = failure == core::ModelFailure::OutOfMemory
            ? QStringLiteral("not enough memory to read the landmark model %1: close other programs, "
                             "or raise the memory limit").arg(escaped(model.path))
            : QStringLiteral("the landmark model %1 is unreadable or not a 68-point "
                             "shape predictor").arg(escaped(model.path));
    }
    return model;
}

} // namespace cli
