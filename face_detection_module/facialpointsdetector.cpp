#include "face_detection_module/facialpointsdetector.h"

#include "face_detection_module/facedetectionmodule.h"
#include "face_detection_module/landmarkpipeline.h"
#include "core/poolthreads.h"

#include <QFile>
#include <QFileInfo>
#include <QMutex>
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
        core::keepPoolThreads(pool);
    }

    // Members go in reverse order, so pool (whose destructor waits for every queued task) goes
    // before module: no task ever sees a destroyed model. The explicit wait says so in code.
    ~Impl() override { pool.waitForDone(); }

    std::shared_ptr<QFutureWatcher<DetectionResult>> detect(const QImage& image, int pointedFaces);
    void startInitialization();
    void loadModelOnce();
    DetectionResult runDetection(const QImage& image, int pointedFaces);

    FacialPointsDetector* const owner;
    std::atomic<int32_t> state{NotInitialized};
    // Held while the model is loaded and while it is used. A caller that waits on a future may
    // run the still-queued task on its own thread, beside the pool's worker; the lock keeps the
    // module to one user at a time and makes such a task wait for (or do) the loading.
    QMutex moduleMutex;
    std::unique_ptr<FaceDetectionModule> module;
    std::function<std::unique_ptr<FaceDetectionModule>()> loader;
    QThreadPool pool;
};

std::shared_ptr<QFutureWatcher<FacialPointsDetector::DetectionResult>>
FacialPointsDetector::Impl::detect(const QImage& image, int pointedFaces)
{
    if (image.isNull()) {
        return {};
    }
    auto watcher = std::make_shared<QFutureWatcher<DetectionResult>>();
    if (state.load() == NotInitialized) {
        startInitialization();
    }
    // The task holds its own (implicitly shared) copy of the picture; no pixel is copied here.
    const QFuture<DetectionResult> future = QtConcurrent::run(&pool, this, &Impl::runDetection, image, pointedFaces);
    watcher->setFuture(future);
    return watcher;
}

void FacialPointsDetector::Impl::startInitialization()
{
    // makeSiblingModule() may leave NotInitialized on another thread: compare and swap.
    int32_t expected = NotInitialized;
    if (!state.compare_exchange_strong(expected, Initializing)) {
        return;
    }
    QtConcurrent::run(&pool, this, &Impl::loadModelOnce);
}

// Whichever task runs first loads the model; the others find it loaded (or failed). The signal
// goes out after the lock is released, so its receivers may call anything.
void FacialPointsDetector::Impl::loadModelOnce()
{
    {
        QMutexLocker lock(&moduleMutex);
        if (state.load() != Initializing) {
            return;
        }
        std::unique_ptr<FaceDetectionModule> loaded;
        try {
            loaded = loader ? loader() : FaceDetectionModule::load();
        } catch (...) {
            loaded.reset();
        }
        if (loaded) {
            module = std::move(loaded);
            state.exchange(Initialized);
        } else {
            state.exchange(Failed);
        }
    }
    emit owner->initializingFinished();
}

FacialPointsDetector::DetectionResult FacialPointsDetector::Impl::runDetection(const QImage& image, int pointedFaces)
{
    loadModelOnce();
    QMutexLocker lock(&moduleMutex);
    if (!module || image.isNull()) {
        return {};
    }
    try {
        return runLandmarkPipeline(*module, image, pointedFaces);
    } catch (...) {
        // Out of memory on a huge picture: the caller gets the empty result, not an exception.
        return {};
    }
}

std::unique_ptr<FaceDetectionModule> FacialPointsDetector::makeSiblingModule()
{
    int32_t expected = NotInitialized;
    d->state.compare_exchange_strong(expected, Initializing);
    d->loadModelOnce();
    QMutexLocker lock(&d->moduleMutex);
    if (!d->module) {
        return nullptr;
    }
    try {
        return d->module->makeSibling();
    } catch (...) {
        return nullptr;
    }
}

FacialPointsDetector::FacialPointsDetector()
    : QObject(nullptr)
    , d(std::make_unique<Impl>(this))
{
}

FacialPointsDetector::FacialPointsDetector(std::function<std::unique_ptr<FaceDetectionModule>()> loader)
    : FacialPointsDetector()
{
    d->loader = std::move(loader);
}

FacialPointsDetector::~FacialPointsDetector() = default;

FacialPointsDetector::State FacialPointsDetector::state() const
{
    return static_cast<State>(d->state.load());
}

bool FacialPointsDetector::preload()
{
    if (d->state.load() == NotInitialized &&
        (d->loader || QFileInfo::exists(QFile::decodeName(FaceDetectionModule::findModel().c_str())))) {
        d->startInitialization();
    }
    return d->state.load() == Initializing;
}

std::shared_ptr<QFutureWatcher<FacialPointsDetector::DetectionResult>>
FacialPointsDetector::detect(const QImage& image)
{
    return d->detect(image, -1);
}

std::shared_ptr<QFutureWatcher<FacialPointsDetector::DetectionResult>>
FacialPointsDetector::detect(const QImage& image, int pointedFaces)
{
    return d->detect(image, pointedFaces);
}

void FacialPointsDetector::abandon(std::shared_ptr<QFutureWatcher<DetectionResult>>& watcher)
{
    if (watcher) {
        // A pool task cancelled before it starts never runs; on a finished one this changes
        // nothing that anyone reads.
        watcher->future().cancel();
        watcher.reset();
    }
}

} // namespace core
