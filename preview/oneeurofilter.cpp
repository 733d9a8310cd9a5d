#include "preview/oneeurofilter.h"

#include <cmath>

namespace preview {

namespace {

// The weight of the new sample of an exponential smoother with this cutoff, dt seconds on.
double smoothing(double cutoff, double dt)
{
    const double tau = 1.0 / (2.0 * M_PI * cutoff);
    return 1.0 / (1.0 + tau / dt);
}

QPointF centreOf(const core::FacialPointVector& points)
{
    QPointF sum(0, 0);
    for (const QPointF& p : points) {
        sum += p;
    }
    return sum / double(points.size());
}

double meanRadius(const core::FacialPointVector& points, const QPointF& centre)
{
    double sum = 0;
    for (const QPointF& p : points) {
        sum += std::hypot(p.x() - centre.x(), p.y() - centre.y());
    }
    return sum / double(points.size());
}

} // namespace

core::FacialPointVector LandmarkFilter::Points::filter(const core::FacialPointVector& values, double dt)
{
    if (previous.size() != values.size()) {
        previous = values;
        velocity.assign(values.size(), QPointF(0, 0));
        return values;
    }
    const double derivativeWeight = smoothing(settings.derivativeCutoff, dt);
    core::FacialPointVector out(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        const QPointF rawVelocity = (values[i] - previous[i]) / dt;
        velocity[i] += derivativeWeight * (rawVelocity - velocity[i]);
        const double speed = std::hypot(velocity[i].x(), velocity[i].y());
        const double weight = smoothing(settings.minCutoff + settings.beta * speed, dt);
        out[i] = previous[i] + weight * (values[i] - previous[i]);
        if (!std::isfinite(out[i].x()) || !std::isfinite(out[i].y())) {
            out[i] = values[i];
            velocity[i] = QPointF(0, 0);
        }
    }
    previous = out;
    return out;
}

LandmarkFilter::LandmarkFilter(const SteadySettings& settings)
    : settings(settings)
    , pose(settings.pose)
    , shape(settings.shape)
{
}

void LandmarkFilter::reset()
{
    pose.reset();
    shape.reset();
    reference.clear();
    count = -1;
}

core::FacialPointVector LandmarkFilter::filter(const core::FacialPointVector& points, double time)
{
    const double dt = time - previousTime;
    const bool restart = count != int(points.size()) || !(dt > 0) || !std::isfinite(dt);
    previousTime = time;
    if (restart) {
        reset();
        count = int(points.size());
    }
    if (points.empty()) {
        return points;
    }
    const QPointF centre = centreOf(points);
    const double radius = meanRadius(points, centre);
    if (points.size() < 3 || !(radius > 1e-9) || !std::isfinite(radius)) {
        // No shape to speak of: each point on its own.
        return restart ? points : pose.filter(points, dt);
    }
    if (restart || reference.size() != points.size()) {
        reference.clear();
        for (const QPointF& p : points) {
            reference.push_back((p - centre) / radius);
        }
        referenceRadius = radius;
    }
    // The similarity (a, b: scale times cos and sin of the turn) that best maps the reference
    // onto the centred points; the reference has a mean radius of 1.
    double dot = 0, cross = 0, norm = 0;
    for (std::size_t i = 0; i < points.size(); ++i) {
        const QPointF q = points[i] - centre;
        const QPointF& r = reference[i];
        dot += r.x() * q.x() + r.y() * q.y();
        cross += r.x() * q.y() - r.y() * q.x();
        norm += r.x() * r.x() + r.y() * r.y();
    }
    double a = dot / norm;
    double b = cross / norm;
    double scale2 = a * a + b * b;
    if (!(scale2 > 1e-12) || !std::isfinite(scale2)) {
        return restart ? points : pose.filter(points, dt);
    }
    // Each point in the face's own frame, in units of the first frame's size (about pixels).
    core::FacialPointVector local(points.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
        const QPointF q = points[i] - centre;
        local[i] = QPointF(a * q.x() + b * q.y(), -b * q.x() + a * q.y()) * (referenceRadius / scale2);
    }
    // The pose as two points in pixels: the centre, and (a, b) scaled to the face's size.
    const core::FacialPointVector poseNow{centre, QPointF(a, b) * referenceRadius};
    if (restart) {
        pose.filter(poseNow, 1);
        shape.filter(local, 1);
        return points;
    }
    const core::FacialPointVector smoothPose = pose.filter(poseNow, dt);
    const core::FacialPointVector smoothLocal = shape.filter(local, dt);
    const QPointF smoothCentre = smoothPose[0];
    a = smoothPose[1].x() / referenceRadius;
    b = smoothPose[1].y() / referenceRadius;
    core::FacialPointVector out(points.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
        const QPointF l = smoothLocal[i] / referenceRadius;
        out[i] = smoothCentre + QPointF(a * l.x() - b * l.y(), b * l.x() + a * l.y());
        if (!std::isfinite(out[i].x()) || !std::isfinite(out[i].y())) {
            return points;
        }
    }
    return out;
}

} // namespace preview
