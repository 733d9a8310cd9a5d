#include "livepreview.h"

#include "facedetectionmodule.h"
#include "landmarkgeometry.h"
#include "maskrenderer.h"

#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <atomic>
#include <mutex>

namespace ui {

namespace {

QRect boundsOf(const QVector<QPoint>& points)
{
    if (points.isEmpty()) {
        return QRect();
    }
    int left = points[0].x(), right = left, top = points[0].y(), bottom = top;
    for (const QPoint& p : points) {
        left = std::min(left, p.x());
        right = std::max(right, p.x());
        top = std::min(top, p.y());
        bottom = std::max(bottom, p.y());
    }
    return QRect(QPoint(left, top), QPoint(right, bottom));
}

// Where the detector's box sits relative to the landmarks' bounds, in units of those bounds,
// so that the box can follow the landmarks from frame to frame.
struct BoxPlacement {
    double left = 0, top = 0, width = 1, height = 1;

    static BoxPlacement between(const QRect& box, const QRect& landmarks)
    {
        const double w = std::max(1, landmarks.width());
        const double h = std::max(1, landmarks.height());
        return {(box.x() - landmarks.x()) / w, (box.y() - landmarks.y()) / h, box.width() / w, box.height() / h};
    }

    QRect around(const QRect& landmarks) const
    {
        const double w = std::max(1, landmarks.width());
        const double h = std::max(1, landmarks.height());
        return QRect(int(landmarks.x() + left * w), int(landmarks.y() + top * h), int(width * w), int(height * h));
    }
};

} // namespace

class LivePreview::Impl
{
public:
    Impl(LivePreview* owner, int interval, std::string modelPath)
        : owner(owner)
        , interval(std::max(1, interval))
        , modelPath(std::move(modelPath))
        , renderer(std::make_shared<preview::MaskRenderer>())
    {
        pool.setMaxThreadCount(1);
    }

    ~Impl()
    {
        stopping = true;
        pool.waitForDone();
    }

    void process(const QImage& frame);
    // The landmarks of the frame's face in picture pixels, empty when none is followed.
    QVector<QPoint> follow(const QImage& frame);

    LivePreview* const owner;
    const int interval;
    const std::string modelPath;

    std::mutex rendererLock;
    std::shared_ptr<const preview::MaskRenderer> renderer;

    std::atomic<bool> busy{false};
    std::atomic<bool> stopping{false};
    std::atomic<int> rendered{0};
    std::atomic<int> dropped{0};
    std::atomic<int> detected{0};

    // Worker only.
    std::unique_ptr<core::FaceDetectionModule> module;
    bool moduleFailed = false;
    long frameIndex = 0;
    bool tracking = false;
    QRect box;
    BoxPlacement placement;

    // Last, so that its destructor's wait runs before the members above go.
    QThreadPool pool;
};

QVector<QPoint> LivePreview::Impl::follow(const QImage& frame)
{
    const bool detectNow = !tracking || frameIndex % interval == 0;
    ++frameIndex;
    if (detectNow) {
        ++detected;
        const std::optional<QVector<core::Face>> faces = module->detectFaces(frame);
        tracking = false;
        if (!faces || faces->isEmpty()) {
            return {};
        }
        QVector<QRect> rectangles;
        for (const core::Face& face : *faces) {
            rectangles.append(face.rect);
        }
        const core::Face& chosen = faces->at(core::landmarks::indexOfLargest(rectangles));
        box = chosen.rect;
        placement = BoxPlacement::between(box, boundsOf(chosen.points));
        tracking = true;
        return chosen.points;
    }
    const std::optional<QVector<QPoint>> points = module->detectPoints(frame, box);
    if (!points || points->isEmpty()) {
        tracking = false;
        return {};
    }
    box = placement.around(boundsOf(*points));
    return *points;
}

void LivePreview::Impl::process(const QImage& frame)
{
    if (!module && !moduleFailed) {
        module = core::FaceDetectionModule::load(modelPath);
        if (!module) {
            moduleFailed = true;
            if (!stopping) {
                emit owner->modelFailed();
            }
        }
    }
    std::shared_ptr<const preview::MaskRenderer> current;
    {
        std::lock_guard<std::mutex> guard(rendererLock);
        current = renderer;
    }
    // Converted once for the detector and the renderer alike.
    const QImage rgb = frame.convertToFormat(QImage::Format_RGB888);
    QVector<QPoint> landmarks;
    if (module && !rgb.isNull()) {
        landmarks = follow(rgb);
    }
    core::FacialPointVector points = core::landmarks::toFacialPoints(landmarks);
    const bool faceFound = core::landmarks::appendForeheadPoints(points);
    core::landmarks::normalizePoints(points, frame.width(), frame.height());
    const QImage shown = current->render(rgb.isNull() ? frame : rgb, faceFound ? points : core::FacialPointVector());
    ++rendered;
    if (!stopping) {
        emit owner->frameRendered(shown, faceFound);
    }
}

LivePreview::LivePreview(int detectionInterval, const std::string& modelPath)
    : d(std::make_unique<Impl>(this, detectionInterval, modelPath))
{
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

void LivePreview::takeFrame(const QImage& frame)
{
    if (frame.isNull()) {
        return;
    }
    if (d->busy.exchange(true)) {
        ++d->dropped;
        return;
    }
    Impl* impl = d.get();
    QtConcurrent::run(&d->pool, [impl, frame] {
        try {
            impl->process(frame);
        } catch (...) {
            // Out of memory on one frame: that frame is lost, the stream goes on.
        }
        impl->busy = false;
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
