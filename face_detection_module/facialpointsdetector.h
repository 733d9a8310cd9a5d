#pragma once

#include "core/facialpoints.h"
#include "face_detection_module/landmarkpipeline.h"

#include <QFutureWatcher>
#include <QImage>
#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>

namespace core {

class FaceDetectionModule;

// Asynchronous landmark detection on one private worker thread. The landmark model
// "shape_predictor.dat" is read from the working directory on the first request, or earlier
// through preload(); a missing or
// unreadable file, or a model with fewer than 46 parts (the derived points read parts 0, 16, 36
// and 45), ends in Failed, for good. Every public function is called on the GUI thread. A future
// waited on with waitForFinished() gives the same result as one watched through the event loop.
class FacialPointsDetector : public QObject
{
    Q_OBJECT
public:
    enum State : int32_t { NotInitialized = 0, Initializing = 1, Initialized = 2, Failed = 3 };

    // The result of one detection (see landmarkpipeline.h).
    using DetectionResult = core::DetectionResult;

    FacialPointsDetector();
    // Loads the model with loader instead of reading "shape_predictor.dat" (on the worker, once;
    // null means the model could not be loaded). preload() then always starts it.
    explicit FacialPointsDetector(std::function<std::unique_ptr<FaceDetectionModule>()> loader);
    // Waits until every queued and running task has finished.
    ~FacialPointsDetector() override;

    State state() const;

    // Starts loading the model on the worker now, when its file exists, so that the first
    // picture finds it ready. Returns whether loading is under way after the call (false when the
    // file is missing, or loading has ended already). Without a file, nothing changes: the first
    // request fails as before.
    bool preload();

    // Queues a detection of image (loading the model first if this is the first request) and
    // returns a watcher of its future, owned by the caller. A null image returns an empty pointer.
    std::shared_ptr<QFutureWatcher<DetectionResult>> detect(const QImage& image);
    // As above, with points for the pointedFaces largest faces only (see runLandmarkPipeline).
    std::shared_ptr<QFutureWatcher<DetectionResult>> detect(const QImage& image, int pointedFaces);
    // Lets go of a request whose result is no longer wanted and empties watcher: one still queued
    // is skipped, so later requests do not wait for it; one running finishes unseen. Dropping a
    // watcher alone leaves the request to run. Any thread; an empty watcher is left as it is.
    static void abandon(std::shared_ptr<QFutureWatcher<DetectionResult>>& watcher);

    // A module of its own for another thread (the preview's camera and video path) that shares
    // this detector's landmark model read-only, so the model is in memory once. Loads the model
    // first on the calling thread when no one has yet, or waits for a load in progress. Null when
    // the model cannot be loaded. Any thread.
    std::unique_ptr<FaceDetectionModule> makeSiblingModule();

signals:
    // Emitted once when loading the model has ended (check state()), from the worker thread or
    // from a thread that waited on a future and ran the loading itself.
    void initializingFinished();

private:
    Q_DISABLE_COPY(FacialPointsDetector)
    class Impl;
    std::unique_ptr<Impl> d;
};

} // namespace core
