#include "facialpointsdetector.h"

#include "facedetectionmodule.h"
#include "landmarkgeometry.h"

#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <atomic>

namespace core {

namespace {

using DetectionResult = FacialPointsDetector::DetectionResult;

// The landmarks of the largest face plus the derived points, or, without a face, the landmarks
// predicted over the whole picture; relative coordinates. Empty when the picture is too large.
DetectionResult detectLandmarks(FaceDetectionModule& module, const QImage& image)
{
    // Converted once here, so the module's own conversion is a no-op and no-face pictures are
    // not converted a second time. A failed conversion (out of memory) leaves a null picture.
    const QImage rgb = image.format() == QImage::Format_RGB888
                           ? image
                           : image.convertToFormat(QImage::Format_RGB888, Qt::AutoColor);
    if (rgb.isNull()) {
        return {};
    }
    const std::optional<QVector<Face>> faces = module.detectFaces(rgb);
    if (!faces) {
        return {};
    }

    DetectionResult result;
    if (!faces->isEmpty()) {
        QVector<QRect> rectangles;
        rectangles.reserve(faces->size());
        for (const Face& face : *faces) {
            rectangles.append(face.rect);
        }
        const Face& chosen = faces->at(landmarks::indexOfLargest(rectangles));
        result.points = landmarks::toFacialPoints(chosen.points);
        // Cannot fail: models with too few parts are refused when loading.
        landmarks::appendForeheadPoints(result.points);
        result.faceCount = faces->size();
    } else {
        const std::optional<QVector<QPoint>> whole =
            module.detectPoints(rgb, QRect(QPoint(0, 0), rgb.size()));
        if (!whole) {
            return {};
        }
        result.points = landmarks::toFacialPoints(*whole);
    }
    landmarks::normalizePoints(result.points, image.width(), image.height());
    return result;
}

} // namespace

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
        return detectLandmarks(*module, image);
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
