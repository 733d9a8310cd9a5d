#include "ui/livepreview.h"

#include "core/poolthreads.h"
#include "face_detection_module/facedetectionmodule.h"
#include "face_detection_module/landmarkgeometry.h"
#include "preview/facetracker.h"
#include "preview/maskrenderer.h"

#include <QElapsedTimer>

#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <atomic>
#include <mutex>

namespace ui {

class LivePreview::Impl
{
public:
    Impl(LivePreview* owner, int interval, LivePreview::ModuleSource source)
        : owner(owner)
        , interval(std::max(1, interval))
        , moduleSource(std::move(source))
        , renderer(std::make_shared<preview::MaskRenderer>())
    {
        preview::FaceTrackerSettings settings;
        settings.detectionInterval = this->interval;
        tracker = preview::FaceTracker(settings);
        clock.start();
        pool.setMaxThreadCount(1);
        core::keepPoolThreads(pool);
    }

    ~Impl()
    {
        stopping = true;
        pool.waitForDone();
    }

    // Works on frame (a null frame: draws the last one again), then on the still kept meanwhile
    // and a redraw asked for meanwhile, if any; busy is set. restarts: restartTracking() calls
    // made before the frame was taken.
    void start(const QImage& frame, double time, int restarts);
    void process(const QImage& frame, double time, int restarts);
    void redraw();
    // The mask set last, shared with the GUI thread's next setRenderer.
    std::shared_ptr<const preview::MaskRenderer> currentRenderer()
    {
        std::lock_guard<std::mutex> guard(rendererLock);
        return renderer;
    }
    // Every face followed on the frame, points in frame pixels; found anew when restartTracking()
    // was called between the frame followed last and this one's taking.
    const QVector<preview::TrackedFace>& follow(const QImage& frame, double time, int restarts);

    // Worker: makes the module once, before any frame.
    void loadModule();

    LivePreview* const owner;
    const int interval;
    const LivePreview::ModuleSource moduleSource;
    std::atomic<bool> modelDone{false};

    std::mutex rendererLock;
    std::shared_ptr<const preview::MaskRenderer> renderer;

    std::atomic<bool> busy{false};
    std::atomic<bool> stopping{false};
    std::atomic<int> rendered{0};
    std::atomic<int> dropped{0};
    std::atomic<int> detected{0};
    std::atomic<bool> steady{true};
    std::atomic<int> restarts{0}; // restartTracking() calls so far
    std::mutex pendingLock; // guards pending, pendingTime, pendingRestarts and redrawWanted, and busy going false
    QImage pending;
    double pendingTime = 0;
    int pendingRestarts = 0;
    bool redrawWanted = false;
    QElapsedTimer clock; // GUI thread

    // Worker only.
    // Without a mask the faces are only counted, for the window's word when there is none: looked
    // for on every barePeriod-th frame, and at once after a restart or a change of frame size.
    int countFaces(const QImage& frame, int restarts);
    int barePeriod() const { return 5 * interval; }
    int bareSince = -1;  // frames counted without a mask since the last search; -1: search next
    int bareFaces = 0;   // found by that search
    bool followedBare = true; // the last frame was counted without a mask: the tracker knows nothing newer
    double lastTime = 0;
    int lastRestarts = 0;
    int lastFaceCount = 0;
    std::unique_ptr<core::FaceDetectionModule> module;
    bool moduleFailed = false;
    preview::FaceTracker tracker;
    QSize trackedSize; // of the frame followed last
    int trackedRestarts = 0; // restartTracking() calls before it was taken
    QImage lastFrame;                              // the last frame drawn, as drawn
    std::vector<core::FacialPointVector> lastFaces; // and its faces, fractions of the frame

    // Last, so that its destructor's wait runs before the members above go.
    QThreadPool pool;
};

const QVector<preview::TrackedFace>& LivePreview::Impl::follow(const QImage& frame, double time, int restarts)
{
    // A video can change its frame size midway: the boxes followed are in the old frame's pixels.
    // A restart asked for while an earlier frame was in work applies to the frames taken after it.
    if (restarts != trackedRestarts || frame.size() != trackedSize) {
        tracker.reset();
        trackedSize = frame.size();
        trackedRestarts = restarts;
    }
    tracker.setSteady(steady);
    return tracker.track(
        frame, time,
        [&] {
            ++detected;
            QVector<QRect> found;
            // Boxes only: the tracker asks for the points of the faces it keeps.
            if (const std::optional<QVector<core::Face>> faces = module->findFaces(frame)) {
                for (const core::Face& face : *faces) {
                    found.append(face.rect);
                }
            }
            return found;
        },
        [&](const QVector<QRect>& boxes) {
            QVector<core::FacialPointVector> predicted;
            for (const std::optional<QVector<QPoint>>& points : module->detectPointsInFaces(frame, boxes)) {
                predicted.append(core::landmarks::facePoints(points));
            }
            return predicted;
        });
}

int LivePreview::Impl::countFaces(const QImage& frame, int restarts)
{
    if (restarts != trackedRestarts || frame.size() != trackedSize) {
        trackedSize = frame.size();
        trackedRestarts = restarts;
        bareSince = -1;
    }
    if (bareSince < 0 || bareSince >= barePeriod() - 1) {
        ++detected;
        const std::optional<QVector<core::Face>> faces = module->findFaces(frame);
        bareFaces = faces ? std::min(int(faces->size()), preview::FaceTrackerSettings().maximumFaces) : 0;
        bareSince = 0;
    } else {
        ++bareSince;
    }
    return bareFaces;
}

void LivePreview::Impl::loadModule()
{
    if (modelDone) {
        return;
    }
    try {
        module = moduleSource ? moduleSource() : nullptr;
    } catch (...) {
        module.reset();
    }
    moduleFailed = !module;
    modelDone = true;
    if (!stopping) {
        if (module) {
            emit owner->modelReady();
        } else {
            emit owner->modelFailed();
        }
    }
}

void LivePreview::Impl::process(const QImage& frame, double time, int restarts)
{
    loadModule();
    const std::shared_ptr<const preview::MaskRenderer> current = currentRenderer();
    // Converted once for the detector and the renderer alike.
    const QImage rgb = frame.convertToFormat(QImage::Format_RGB888);
    std::vector<core::FacialPointVector> faces;
    int faceCount = 0;
    if (module && !rgb.isNull() && !current->hasMask()) {
        faceCount = countFaces(rgb, restarts);
        followedBare = true;
    } else if (module && !rgb.isNull()) {
        // The faces followed before the mask went are not where they are now.
        if (std::exchange(followedBare, false)) {
            tracker.reset();
        }
        for (const preview::TrackedFace& face : follow(rgb, time, restarts)) {
            core::FacialPointVector points = face.points;
            // Unclamped: the mask of a face cut by the frame's edge is cut there, not squeezed.
            core::landmarks::toFractions(points, frame.width(), frame.height());
            faces.push_back(std::move(points));
        }
        faceCount = int(faces.size());
        // A mask that goes: the next frame without one looks for the faces at once.
        bareSince = -1;
    }
    lastFrame = rgb.isNull() ? frame : rgb;
    lastFaces = faces;
    lastTime = time;
    lastRestarts = restarts;
    lastFaceCount = faceCount;
    const QImage shown = current->renderFaces(lastFrame, faces);
    ++rendered;
    if (!stopping) {
        emit owner->frameRendered(shown, faceCount);
    }
}

void LivePreview::Impl::redraw()
{
    if (lastFrame.isNull()) {
        return;
    }
    const std::shared_ptr<const preview::MaskRenderer> current = currentRenderer();
    // Counted without a mask, its faces have no points yet: they are found now.
    if (module && current->hasMask() && followedBare) {
        process(lastFrame, lastTime, lastRestarts);
        return;
    }
    const QImage shown = current->renderFaces(lastFrame, lastFaces);
    if (!stopping) {
        emit owner->frameRendered(shown, lastFaceCount);
    }
}

LivePreview::LivePreview(int detectionInterval, const std::string& modelPath)
    : LivePreview(detectionInterval, [modelPath] { return core::FaceDetectionModule::load(modelPath); })
{
}

LivePreview::LivePreview(int detectionInterval, ModuleSource source)
    : d(std::make_unique<Impl>(this, detectionInterval, std::move(source)))
{
}

void LivePreview::prepareModel()
{
    Impl* impl = d.get();
    QtConcurrent::run(&d->pool, [impl] { impl->loadModule(); });
}

bool LivePreview::isModelReady() const
{
    return d->modelDone;
}

LivePreview::~LivePreview()
{
    d.reset();
}

void LivePreview::setRenderer(const preview::MaskRenderer& renderer)
{
    auto copy = std::make_shared<const preview::MaskRenderer>(renderer);
    std::lock_guard<std::mutex> guard(d->rendererLock);
    d->renderer = std::move(copy);
}

void LivePreview::setSteady(bool steady)
{
    d->steady = steady;
}

bool LivePreview::isSteady() const
{
    return d->steady;
}

void LivePreview::restartTracking()
{
    ++d->restarts;
}

void LivePreview::redrawLast()
{
    {
        std::lock_guard<std::mutex> guard(d->pendingLock);
        if (d->busy.exchange(true)) {
            d->redrawWanted = true;
            return;
        }
    }
    d->start(QImage(), 0, 0);
}

bool LivePreview::takeFrame(const QImage& frame)
{
    if (frame.isNull()) {
        return false;
    }
    const double time = d->clock.nsecsElapsed() * 1e-9;
    const int restarts = d->restarts;
    if (d->busy.exchange(true)) {
        ++d->dropped;
        return false;
    }
    d->start(frame, time, restarts);
    return true;
}

void LivePreview::takeStill(const QImage& frame)
{
    if (frame.isNull()) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(d->pendingLock);
        if (d->busy) {
            if (!d->pending.isNull()) {
                ++d->dropped;
            }
            d->pending = frame;
            d->pendingTime = d->clock.nsecsElapsed() * 1e-9;
            d->pendingRestarts = d->restarts;
            return;
        }
    }
    takeFrame(frame);
}

void LivePreview::Impl::start(const QImage& frame, double time, int restarts)
{
    QtConcurrent::run(&pool, [this, frame, time, restarts] {
        QImage next = frame;
        double nextTime = time;
        int nextRestarts = restarts;
        for (;;) {
            try {
                if (next.isNull()) {
                    redraw();
                } else {
                    process(next, nextTime, nextRestarts);
                }
            } catch (...) {
                // Out of memory on one frame: that frame is lost, the stream goes on.
            }
            std::lock_guard<std::mutex> guard(pendingLock);
            next = pending;
            nextTime = pendingTime;
            nextRestarts = pendingRestarts;
            pending = QImage();
            const bool again = !next.isNull() || redrawWanted;
            redrawWanted = false;
            if (!again || stopping) {
                busy = false;
                return;
            }
        }
    });
}

int LivePreview::renderedFrames() const
{
    return d->rendered;
}

int LivePreview::droppedFrames() const
{
    return d->dropped;
}

int LivePreview::detectedFrames() const
{
    return d->detected;
}

} // namespace ui
