#include "oneeurofilter.h"

#include <cmath>

namespace preview {

namespace {

// The weight of the new sample of an exponential smoother with this cutoff, dt seconds on.
double smoothing(double cutoff, double dt)
{
    const double tau = 1.0 / (2.0 * M_PI * cutoff);
    return 1.0 / (1.0 + tau / dt);
}

} // namespace

LandmarkFilter::LandmarkFilter(const OneEuroSettings& settings)
    : settings(settings)
{
}

void LandmarkFilter::reset()
{
    previous.clear();
    velocity.clear();
}

core::FacialPointVector LandmarkFilter::filter(const core::FacialPointVector& points, double time)
{
    const double dt = time - previousTime;
    if (previous.empty() || points.size() != previous.size() || !(dt > 0) || !std::isfinite(dt)) {
        previous = points;
        velocity.assign(points.size(), QPointF(0, 0));
        previousTime = time;
        return points;
    }
    const double derivativeWeight = smoothing(settings.derivativeCutoff, dt);
    core::FacialPointVector out(points.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
        const QPointF rawVelocity = (points[i] - previous[i]) / dt;
        velocity[i] += derivativeWeight * (rawVelocity - velocity[i]);
        const double speed = std::hypot(velocity[i].x(), velocity[i].y());
        const double weight = smoothing(settings.minCutoff + settings.beta * speed, dt);
        out[i] = previous[i] + weight * (points[i] - previous[i]);
        if (!std::isfinite(out[i].x()) || !std::isfinite(out[i].y())) {
            out[i] = points[i];
            velocity[i] = QPointF(0, 0);
        }
    }
    previous = out;
    previousTime = time;
    return out;
}

} // namespace preview
