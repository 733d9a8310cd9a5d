#include "facialpointsdetector.h"

#include "facedetectionmodule.h"
#include "landmarkpipeline.h"

#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <atomic>

namespace core {

class FacialPointsDetector::Impl : public QObject
{
public:
    explicit Impl(FacialPointsDetector* detector)
        : owner(detector)
    {
        pool.setMaxThreadCount(1);
    }

    // Members go in reverse order, so pool (whose destructor waits for every queued task) goes
    // before module: no task ever sees a destroyed model. The explicit wait says so in code.
    ~Impl() override { pool.waitForDone(); }

    std::shared_ptr<QFutureWatcher<DetectionResult>> detect(const QImage& image);
    void startInitialization();
    void initialize();
    DetectionResult runDetection(const QImage& image);

    FacialPointsDetector* const owner;
    std::atomic<int32_t> state{NotInitialized};
    std::unique_ptr<FaceDetectionModule> module;
    QThreadPool pool;
};

std::shared_ptr<QFutureWatcher<FacialPointsDetector::DetectionResult>>
FacialPointsDetector::Impl::detect(const QImage& image)
{
    if (image.isNull()) {
        return {};
    }
    auto watcher = std::make_shared<QFutureWatcher<DetectionResult>>();
    if (state.load() == NotInitialized) {
        startInitialization();
    }
    // The task holds its own (implicitly shared) copy of the picture; no pixel is copied here.
    const QFuture<DetectionResult> future = QtConcurrent::run(&pool, this, &Impl::runDetection, image);
    watcher->setFuture(future);
    return watcher;
}

void FacialPointsDetector::Impl::startInitialization()
{
    // Test-then-store is enough: only the calling (GUI) thread ever leaves NotInitialized.
    if (state.load() != NotInitialized) {
        return;
    }
    state.exchange(Initializing);
    QtConcurrent::run(&pool, this, &Impl::initialize);
}

void FacialPointsDetector::Impl::initialize()
{
    std::unique_ptr<FaceDetectionModule> loaded;
    try {
        loaded = FaceDetectionModule::load();
    } catch (...) {
        loaded.reset();
    }
    if (loaded) {
        module = std::move(loaded);
        state.exchange(Initialized);
    } else {
        state.exchange(Failed);
    }
    emit owner->initializingFinished();
}

FacialPointsDetector::DetectionResult FacialPointsDetector::Impl::runDetection(const QImage& image)
{
    if (!module || image.isNull()) {
        return {};
    }
    try {
        return runLandmarkPipeline(*module, image);
    } catch (...) {
        // Out of memory on a huge picture: the caller gets the empty result, not an exception.
        return {};
    }
}

FacialPointsDetector::FacialPointsDetector()
    : QObject(nullptr)
    , d(std::make_unique<Impl>(this))
{
}

FacialPointsDetector::~FacialPointsDetector() = default;

FacialPointsDetector::State FacialPointsDetector::state() const
{
    return static_cast<State>(d->state.load());
}

std::shared_ptr<QFutureWatcher<FacialPointsDetector::DetectionResult>>
FacialPointsDetector::detect(const QImage& image)
{
    return d->detect(image);
}

} // namespace core
