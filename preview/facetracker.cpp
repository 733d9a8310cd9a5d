#include "preview/facetracker.h"

#include <algorithm>
#include <cmath>

namespace preview {

namespace {

QRectF boundsOf(const core::FacialPointVector& points)
{
    if (points.empty()) {
        return QRectF();
    }
    double left = points[0].x(), right = left, top = points[0].y(), bottom = top;
    for (const QPointF& p : points) {
        left = std::min(left, p.x());
        right = std::max(right, p.x());
        top = std::min(top, p.y());
        bottom = std::max(bottom, p.y());
    }
    return QRectF(QPointF(left, top), QPointF(right, bottom));
}

QPointF centreOf(const core::FacialPointVector& points)
{
    QPointF sum(0, 0);
    for (const QPointF& p : points) {
        sum += p;
    }
    return points.empty() ? sum : sum / double(points.size());
}

double overlap(const QRect& a, const QRect& b)
{
    const QRect common = a.intersected(b);
    if (common.isEmpty()) {
        return 0;
    }
    const double shared = double(common.width()) * common.height();
    const double all = double(a.width()) * a.height() + double(b.width()) * b.height() - shared;
    return all > 0 ? shared / all : 0;
}

// The mean grey levels of an 8 x 8 grid over box on frame; empty when less than 8 x 8 pixels of
// box lie on the frame.
QVector<int> lookOf(const QImage& frame, const QRect& box)
{
    const QRect inside = box.intersected(frame.rect());
    if (inside.width() < 8 || inside.height() < 8) {
        return {};
    }
    const QImage grid = frame.copy(inside)
                            .convertToFormat(QImage::Format_RGB32)
                            .scaled(8, 8, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QVector<int> look;
    look.reserve(64);
    for (int y = 0; y < grid.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(grid.constScanLine(y));
        for (int x = 0; x < grid.width(); ++x) {
            look.append(qGray(line[x]));
        }
    }
    return look;
}

double changeBetween(const QVector<int>& a, const QVector<int>& b)
{
    if (a.isEmpty() || a.size() != b.size()) {
        return -1;
    }
    double sum = 0;
    for (int i = 0; i < a.size(); ++i) {
        sum += std::abs(a[i] - b[i]);
    }
    return sum / a.size();
}

} // namespace

bool FaceTracker::boxesChanged(const QImage& frame) const
{
    for (const Track& track : tracks) {
        if (changeBetween(track.look, lookOf(frame, track.box)) > largestLookChange) {
            return true;
        }
    }
    return false;
}

void FaceTracker::rememberLooks(const QImage& frame)
{
    for (Track& track : tracks) {
        track.look = lookOf(frame, track.box);
    }
}

FaceTracker::FaceTracker(const FaceTrackerSettings& settings)
    : settings(settings)
{
    this->settings.maximumFaces = std::max(1, settings.maximumFaces);
    this->settings.detectionInterval = std::max(1, settings.detectionInterval);
}

void FaceTracker::setSteady(bool steady)
{
    if (steady != settings.steady) {
        for (Track& track : tracks) {
            track.filter.reset();
        }
    }
    settings.steady = steady;
}

bool FaceTracker::detectionDue() const
{
    return tracks.isEmpty() || framesSinceDetection >= settings.detectionInterval;
}

QVector<QRect> FaceTracker::followBoxes() const
{
    QVector<QRect> boxes;
    for (const Track& track : tracks) {
        boxes.append(track.box);
    }
    return boxes;
}

void FaceTracker::reset()
{
    tracks.clear();
    observedPoints.clear();
    shown.clear();
    framesSinceDetection = 0;
}

void FaceTracker::observe(Track& track, const core::FacialPointVector& points, double time, bool newTrack)
{
    const QRectF bounds = boundsOf(points);
    const QPointF centre = centreOf(points);
    if (!newTrack) {
        const QPointF moved = centre - track.centre;
        if (std::hypot(moved.x(), moved.y()) > 0.5 * track.box.width()) {
            track.filter.reset();
        }
    }
    track.centre = centre;
    const double w = std::max(1.0, bounds.width());
    const double h = std::max(1.0, bounds.height());
    // Each edge rounded to the nearest pixel: points that stay put keep the detector's box, where
    // rounding outwards widened it by a pixel now and then.
    const double left = bounds.x() + track.placement.x() * w;
    const double top = bounds.y() + track.placement.y() * h;
    const long x = std::lround(left);
    const long y = std::lround(top);
    track.box = QRect(int(x), int(y), int(std::lround(left + track.placement.width() * w) - x),
                      int(std::lround(top + track.placement.height() * h) - y));
    core::FacialPointVector drawn = settings.steady ? track.filter.filter(points, time) : points;
    observedPoints.append(std::move(drawn));
}

FaceTracker::Choice FaceTracker::choose(const QVector<QRect>& found, const QVector<bool>& withPoints) const
{
    // Every pair that overlaps enough, best first; each face and each track is taken once.
    struct Pair {
        double overlap;
        int track;
        int face;
    };
    std::vector<Pair> pairs;
    for (int t = 0; t < tracks.size(); ++t) {
        for (int f = 0; f < found.size(); ++f) {
            const double o = overlap(tracks[t].box, found[f]);
            if (o >= settings.minimumOverlap) {
                pairs.push_back({o, t, f});
            }
        }
    }
    std::stable_sort(pairs.begin(), pairs.end(), [](const Pair& a, const Pair& b) { return a.overlap > b.overlap; });
    QVector<int> faceOfTrack(tracks.size(), -1);
    QVector<bool> faceTaken(found.size(), false);
    for (const Pair& pair : pairs) {
        if (faceOfTrack[pair.track] < 0 && !faceTaken[pair.face]) {
            faceOfTrack[pair.track] = pair.face;
            faceTaken[pair.face] = true;
        }
    }
    Choice kept;
    for (int t = 0; t < tracks.size(); ++t) {
        if (faceOfTrack[t] >= 0 && withPoints[faceOfTrack[t]]) {
            kept.tracks.append(t);
            kept.faces.append(faceOfTrack[t]);
        }
    }
    // New faces, largest first, while there is room.
    const auto areaOf = [&found](int f) { return qint64(found[f].width()) * found[f].height(); };
    QVector<int> fresh;
    for (int f = 0; f < found.size(); ++f) {
        if (!faceTaken[f] && withPoints[f]) {
            fresh.append(f);
        }
    }
    std::stable_sort(fresh.begin(), fresh.end(), [&](int a, int b) { return areaOf(a) > areaOf(b); });
    for (int f : fresh) {
        if (kept.faces.size() >= settings.maximumFaces) {
            // No room: a face with twice the area of the smallest followed one or more (someone
            // close to the camera before a crowd) takes its place; faces of about one size keep
            // theirs, so that the mask does not jump between them.
            int smallest = -1;
            for (int k = 0; k < kept.faces.size(); ++k) {
                if (kept.tracks[k] >= 0
                    && (smallest < 0 || areaOf(kept.faces[k]) < areaOf(kept.faces[smallest]))) {
                    smallest = k;
                }
            }
            if (smallest < 0 || areaOf(f) < 2 * areaOf(kept.faces[smallest])) {
                break; // the faces left are no larger
            }
            kept.tracks.remove(smallest);
            kept.faces.remove(smallest);
        }
        kept.tracks.append(-1);
        kept.faces.append(f);
    }
    return kept;
}

void FaceTracker::follow(const Choice& choice, const QVector<QRect>& found,
                         const std::function<const core::FacialPointVector&(int)>& pointsOf, double time)
{
    framesSinceDetection = 1;
    QVector<Track> kept;
    for (int t : choice.tracks) {
        if (t >= 0) {
            kept.append(std::move(tracks[t]));
        } else {
            Track track;
            track.id = nextId++;
            track.filter = LandmarkFilter(settings.filter);
            kept.append(std::move(track));
        }
    }
    tracks = std::move(kept);
    observedPoints.clear();
    for (int t = 0; t < tracks.size(); ++t) {
        const QRect& box = found[choice.faces[t]];
        const core::FacialPointVector& points = pointsOf(choice.faces[t]);
        const QRectF bounds = boundsOf(points);
        const double w = std::max(1.0, bounds.width());
        const double h = std::max(1.0, bounds.height());
        tracks[t].placement = QRectF((box.x() - bounds.x()) / w, (box.y() - bounds.y()) / h, box.width() / w,
                                     box.height() / h);
        observe(tracks[t], points, time, choice.tracks[t] < 0);
    }
    publish();
}

const QVector<TrackedFace>& FaceTracker::detected(const QVector<FaceObservation>& found, double time)
{
    QVector<QRect> boxes;
    QVector<bool> withPoints;
    for (const FaceObservation& face : found) {
        boxes.append(face.box);
        withPoints.append(!face.points.empty());
    }
    follow(choose(boxes, withPoints), boxes, [&found](int f) -> const core::FacialPointVector& { return found[f].points; },
           time);
    return shown;
}

const QVector<TrackedFace>& FaceTracker::detected(const QVector<QRect>& found, double time, const PointsIn& predictIn)
{
    QVector<core::FacialPointVector> points(found.size());
    QVector<bool> asked(found.size(), false);
    // Every face counts as one with points until its prediction says otherwise. Which faces are
    // followed depends on the points of those chosen only (a face that would have given up its
    // place to a newcomer gives the same choice with points as without), so this ends with the
    // choice made from every face's points, each round asking for at least one face more.
    QVector<bool> withPoints(found.size(), true);
    for (;;) {
        const Choice choice = choose(found, withPoints);
        QVector<int> wanted;
        QVector<QRect> boxes;
        for (int f : choice.faces) {
            if (!asked[f]) {
                wanted.append(f);
                boxes.append(found[f]);
            }
        }
        if (wanted.isEmpty()) {
            follow(choice, found, [&points](int f) -> const core::FacialPointVector& { return points[f]; }, time);
            return shown;
        }
        const QVector<core::FacialPointVector> predicted = predictIn(boxes);
        for (int i = 0; i < wanted.size(); ++i) {
            const int f = wanted[i];
            asked[f] = true;
            points[f] = i < predicted.size() ? predicted[i] : core::FacialPointVector();
            withPoints[f] = !points[f].empty();
        }
    }
}

const QVector<TrackedFace>& FaceTracker::followed(const QVector<core::FacialPointVector>& predicted, double time)
{
    ++framesSinceDetection;
    QVector<Track> kept;
    observedPoints.clear();
    for (int t = 0; t < tracks.size(); ++t) {
        if (t < predicted.size() && !predicted[t].empty()) {
            kept.append(std::move(tracks[t]));
            observe(kept.last(), predicted[t], time, false);
        }
    }
    tracks = std::move(kept);
    publish();
    return shown;
}

void FaceTracker::publish()
{
    shown.clear();
    for (int t = 0; t < tracks.size(); ++t) {
        shown.append(TrackedFace{tracks[t].id, tracks[t].box, observedPoints[t]});
    }
}

} // namespace preview
