#include "ui/detectionflow.h"

#include "core/facialpoints.h"
#include "face_detection_module/facialpointsdetector.h"
#include "tools/pointcommands.h"
#include "ui/prompts.h"
#include "ui/waitclock.h"

#include <QFutureWatcher>
#include <QPointer>
#include <QUndoStack>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

namespace ui {

namespace {

using DetectionResult = core::FacialPointsDetector::DetectionResult;

const char* const detectionQuestionTitle = "Facial points";
const char* const detectionQuestionText =
    "Do you want to repeat facial points detection?\nExisting points will be replaced.";

QString loadingText()
{
    return QStringLiteral("Loading the landmark model\u2026");
}

QString findingText()
{
    return QStringLiteral("Finding faces\u2026");
}

QString skippedText()
{
    return QStringLiteral("Detection skipped: the previous points were kept. Drag them into place.");
}

QString failedText(bool modelFailed, bool pointsRestored)
{
    const QString cause = modelFailed ? QStringLiteral("The landmark model could not be loaded")
                                      : QStringLiteral("The picture could not be processed");
    return cause + (pointsRestored ? QStringLiteral(": the previous points were kept.")
                                   : QStringLiteral(": no points were placed."));
}

QString placedText(int faceCount, int pointCount)
{
    if (faceCount == 0) {
        return QStringLiteral("No face found: points spread over the picture. Press Ctrl+T for a "
                              "template to move, scale and turn onto the face.");
    }
    if (faceCount == 1) {
        return QStringLiteral("1 face found: %1 points placed.").arg(pointCount);
    }
    return QStringLiteral("%1 faces found: points placed on the largest. "
                          "Right-click another face to move them there.")
        .arg(faceCount);
}

QString keptText(int faceCount)
{
    if (faceCount == 0) {
        return QStringLiteral("No face found: your edited points were kept.");
    }
    return QStringLiteral("%1 found: your edited points were kept. "
                          "Right-click a face to place the points there.")
        .arg(faceCount == 1 ? QStringLiteral("1 face") : QStringLiteral("%1 faces").arg(faceCount));
}

qint64 areaOf(const QRect& rect)
{
    return qint64(rect.width()) * rect.height();
}

} // namespace

class DetectionFlow::Impl : public QObject
{
public:
    Impl(DetectionFlow* owner, core::FacialPointsDetector* detector, PromptSession& prompts)
        : q(owner)
        , detector(detector)
        , session(prompts)
    {
        if (detector) {
            connect(detector, &core::FacialPointsDetector::initializingFinished, this,
                    &Impl::onModelLoaded);
        }
    }

    bool askToReplace();
    void onModelLoaded();
    void onDetectionFinished();
    void finishWithoutResult();
    void report(const QString& text)
    {
        status = text;
        emit q->statusMessageChanged(text);
    }
    struct Search {
        qint64 imageKey;
        QVector<core::DetectedFace> faces;
    };
    static constexpr size_t searchesKept = 32;

    bool launch(const QImage& picture);
    void dropDetection();
    void onImageChanged();
    // The search of the model's picture; null when none of it has ended.
    const Search* searchOfModel() const
    {
        if (!model || model->image().isNull()) {
            return nullptr;
        }
        const qint64 key = model->image().cacheKey();
        const auto found = std::find_if(searches.begin(), searches.end(),
                                        [key](const Search& search) { return search.imageKey == key; });
        return found == searches.end() ? nullptr : &*found;
    }
    const QVector<core::DetectedFace>& facesOfModel() const
    {
        static const QVector<core::DetectedFace> none;
        const Search* search = searchOfModel();
        return search ? search->faces : none;
    }
    void rememberFaces(qint64 imageKey, const QVector<core::DetectedFace>& found)
    {
        searches.erase(std::remove_if(searches.begin(), searches.end(),
                                      [imageKey](const Search& search) { return search.imageKey == imageKey; }),
                       searches.end());
        searches.push_back({imageKey, found});
        if (searches.size() > searchesKept) {
            searches.erase(searches.begin());
        }
    }

    DetectionFlow* q;
    core::FacialPointsDetector* detector;
    // Asks the repeat question and remembers the answer; owned by the window.
    PromptSession& session;
    QPointer<core::FacialPoints> model;
    QPointer<QUndoStack> undoStack;
    std::shared_ptr<QFutureWatcher<DetectionResult>> watcher;
    bool running = false;
    // Identifies the picture the running detection was started for: a result that arrives
    // after the model got another picture (a package, say) belongs to nothing on screen.
    qint64 detectedImageKey = 0;
    // The points the detection hid, put back when it ends without a result.
    core::FacialPointVector hiddenPoints;
    // The points when the detection started: a result lands only if they are still the same,
    // so an edit made in the meantime is never overwritten.
    core::FacialPointVector pointsAtStart;
    // The faces found in each picture searched lately (none found included), the latest last:
    // a picture that an undo or redo brings back keeps its faces.
    std::vector<Search> searches;
    QString status;
};

bool DetectionFlow::Impl::askToReplace()
{
    const QMessageBox::StandardButton answer = session.prompts().question(
        QString::fromLatin1(detectionQuestionTitle), QString::fromLatin1(detectionQuestionText),
        QMessageBox::Yes | QMessageBox::No, session.lastDetectionAnswer());
    session.setLastDetectionAnswer(answer);
    return answer == QMessageBox::Yes;
}

void DetectionFlow::Impl::onModelLoaded()
{
    if (running && detector->state() == core::FacialPointsDetector::Initialized) {
        report(findingText());
    }
}

void DetectionFlow::Impl::onDetectionFinished()
{
    if (!watcher || !running) {
        return;
    }
    // The watcher stays until the next picture: this runs inside its own signal.
    const QFuture<DetectionResult> future = watcher->future();
    running = false;
    waitclock::step("detection finished");
    if (!model || model->image().cacheKey() != detectedImageKey) {
        report(QString());
        return;
    }
    // A detection that threw finishes cancelled and without a result; reading it would rethrow.
    if (future.isCanceled() || future.resultCount() < 1 || future.resultAt(0).points.empty()) {
        finishWithoutResult();
        return;
    }
    const DetectionResult result = future.resultAt(0);
    rememberFaces(detectedImageKey, result.faces);
    if (model->points() != pointsAtStart) {
        report(keptText(result.faceCount));
        return;
    }
    tools::execute(undoStack, std::make_unique<tools::ReplacePointsCommand>(
                                  model, model->points(), result.points,
                                  QStringLiteral("Detect Points"), false));
    report(placedText(result.faceCount, int(result.points.size())));
}

void DetectionFlow::Impl::finishWithoutResult()
{
    const bool modelFailed = detector->state() == core::FacialPointsDetector::Failed;
    const bool restore = !hiddenPoints.empty() && model->points() == pointsAtStart;
    if (restore) {
        tools::execute(undoStack, std::make_unique<tools::ReplacePointsCommand>(
                                      model, model->points(), hiddenPoints,
                                      QStringLiteral("Restore Points"), false));
    }
    report(failedText(modelFailed, model->count() > 0));
}

// Starts detecting picture; the caller has dealt with the points shown.
bool DetectionFlow::Impl::launch(const QImage& picture)
{
    watcher = detector->detect(picture);
    if (!watcher) {
        return false;
    }
    detectedImageKey = picture.cacheKey();
    running = true;
    waitclock::step("detection started");
    // Even a future that has finished already reports it through the event loop.
    connect(watcher.get(), &QFutureWatcherBase::finished, this, &Impl::onDetectionFinished);
    const bool loaded = detector->state() == core::FacialPointsDetector::Initialized;
    report(loaded ? findingText() : loadingText());
    return true;
}

// Lets go of the detection under way; the next picture's detection does not wait for it.
void DetectionFlow::Impl::dropDetection()
{
    core::FacialPointsDetector::abandon(watcher);
    running = false;
}

// A picture that is no longer shown (an undone replacement, an opened package) needs no
// result: the detection is dropped at once, and its progress line with it.
void DetectionFlow::Impl::onImageChanged()
{
    if (running && model && model->image().cacheKey() != detectedImageKey) {
        dropDetection();
        report(QString());
    }
}

DetectionFlow::DetectionFlow(core::FacialPointsDetector* detector, PromptSession& session)
    : d(std::make_unique<Impl>(this, detector, session))
{
}

DetectionFlow::~DetectionFlow()
{
    // Closing the window must not wait for a detection nobody will see.
    d->dropDetection();
}

void DetectionFlow::setFacialPoints(core::FacialPoints* model)
{
    if (d->model) {
        disconnect(d->model, nullptr, d.get(), nullptr);
    }
    d->model = model;
    if (model) {
        connect(model, &core::FacialPoints::imageChanged, d.get(), &Impl::onImageChanged);
    }
    d->dropDetection();
    d->searches.clear();
}

void DetectionFlow::setUndoStack(QUndoStack* stack)
{
    d->undoStack = stack;
}

void DetectionFlow::start(const QImage& picture)
{
    if (!d->detector || !d->model) {
        return;
    }
    // A superseded detection still queued never reaches the model.
    d->dropDetection();
    if (d->detector->state() == core::FacialPointsDetector::Failed) {
        d->report(failedText(true, d->model->count() > 0));
        return;
    }
    if (d->model->count() > 0 && !d->askToReplace()) {
        d->report(skippedText());
        return;
    }
    d->hiddenPoints = d->model->points();
    if (!d->launch(picture)) {
        d->hiddenPoints.clear();
        return;
    }
    if (!d->hiddenPoints.empty()) {
        // Part of the picture's own undo step, which the caller records after this returns.
        d->model->setPoints({});
    }
    d->pointsAtStart = d->model->points();
}

bool DetectionFlow::detectAgain()
{
    if (!d->detector || !d->model || d->model->image().isNull()) {
        return false;
    }
    // The faces found before stay until the new search ends: the picture is the same.
    d->dropDetection();
    if (d->detector->state() == core::FacialPointsDetector::Failed) {
        d->report(failedText(true, d->model->count() > 0));
        return false;
    }
    if (d->model->count() > 0 && !d->askToReplace()) {
        d->report(QStringLiteral("Detection not repeated: the points were kept."));
        return false;
    }
    // The points stay in view; the result replaces them as one step, or is kept back when they
    // are edited meanwhile.
    d->hiddenPoints.clear();
    d->pointsAtStart = d->model->points();
    return d->launch(d->model->image());
}

void DetectionFlow::resumeAfterRedo()
{
    if (!d->detector || !d->model || d->model->image().isNull() || d->model->count() > 0) {
        return;
    }
    // The next redo brings the points back; a detection now would compete with it. Called from
    // inside the redo, before the stack moves on: the step being redone is at index().
    if (d->undoStack && d->undoStack->index() + 1 < d->undoStack->count()) {
        return;
    }
    if (isRunning()) {
        d->report(d->status);
        return;
    }
    start(d->model->image());
}

bool DetectionFlow::isRunning() const
{
    return d->running && d->model && d->model->image().cacheKey() == d->detectedImageKey;
}

QString DetectionFlow::statusMessage() const
{
    return d->status;
}

bool DetectionFlow::facesSearched() const
{
    return d->searchOfModel() != nullptr;
}

int DetectionFlow::faceCount() const
{
    return d->facesOfModel().size();
}

const core::DetectedFace& DetectionFlow::face(int index) const
{
    return d->facesOfModel().at(index);
}

int DetectionFlow::faceAt(QPoint picturePixel) const
{
    const QVector<core::DetectedFace>& faces = d->facesOfModel();
    int found = -1;
    const core::FacialPointVector current = d->model ? d->model->points() : core::FacialPointVector();
    for (int i = 0; i < faces.size(); ++i) {
        const core::DetectedFace& candidate = faces.at(i);
        if (!candidate.rect.contains(picturePixel) || candidate.points == current) {
            continue;
        }
        if (found < 0 || areaOf(candidate.rect) < areaOf(faces.at(found).rect)) {
            found = i;
        }
    }
    return found;
}

int DetectionFlow::nextFace() const
{
    const QVector<core::DetectedFace>& faces = d->facesOfModel();
    std::vector<int> bySize(static_cast<size_t>(faces.size()));
    std::iota(bySize.begin(), bySize.end(), 0);
    std::stable_sort(bySize.begin(), bySize.end(), [&faces](int a, int b) {
        return areaOf(faces.at(a).rect) > areaOf(faces.at(b).rect);
    });
    const core::FacialPointVector current = d->model ? d->model->points() : core::FacialPointVector();
    // The face the points are on: the one they were placed on, or, once edited, the smallest
    // whose rectangle holds their middle.
    auto holding = std::find_if(bySize.begin(), bySize.end(),
                                [&](int i) { return faces.at(i).points == current; });
    if (holding == bySize.end() && !current.empty() && d->model) {
        const QSize size = d->model->image().size();
        double x = 0;
        double y = 0;
        for (const auto& point : current) {
            x += point.x();
            y += point.y();
        }
        const QPoint middle(int(std::floor(x / double(current.size()) * size.width())),
                            int(std::floor(y / double(current.size()) * size.height())));
        for (auto i = bySize.begin(); i != bySize.end(); ++i) {
            if (faces.at(*i).rect.contains(middle)) {
                holding = i; // the later, the smaller
            }
        }
    }
    const size_t start = holding == bySize.end() ? 0 : size_t(holding - bySize.begin()) + 1;
    for (size_t step = 0; step < bySize.size(); ++step) {
        const auto candidate = bySize.begin() + std::ptrdiff_t((start + step) % bySize.size());
        if (candidate != holding && faces.at(*candidate).points != current) {
            return *candidate;
        }
    }
    // The only face, with the points moved or edited on it: its detected points are what is left.
    if (holding != bySize.end() && faces.at(*holding).points != current) {
        return *holding;
    }
    return -1;
}

bool DetectionFlow::placeOnFace(int index)
{
    const QVector<core::DetectedFace>& faces = d->facesOfModel();
    if (index < 0 || index >= faces.size()) {
        return false;
    }
    tools::execute(d->undoStack, std::make_unique<tools::ReplacePointsCommand>(
                                     d->model, d->model->points(), faces.at(index).points,
                                     QStringLiteral("Place Points on Face"), false));
    d->report(QStringLiteral("Points placed on the chosen face. Right-click another face to move them there."));
    return true;
}

} // namespace ui
