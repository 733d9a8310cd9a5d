#pragma once

#include "facialpoints.h"

namespace preview {

// The one-euro filter's settings (Casiez, Roussel, Vogel 2012): the cutoff frequency falls to
// minCutoff (Hz) while a point rests and rises by beta per pixel per second of its speed, so a
// still face stops trembling and a moving one is followed without lag. The speed is smoothed
// with derivativeCutoff (Hz).
struct OneEuroSettings {
    double minCutoff = 1.0;
    double beta = 0.05;
    double derivativeCutoff = 1.0;
};

// Smooths one face's points from frame to frame, each point on its own (its speed is the
// length of its velocity, so both coordinates share one cutoff). Any coordinate space, as long
// as it stays the same; beta is tuned for pixels. Any thread, one frame at a time.
class LandmarkFilter
{
public:
    explicit LandmarkFilter(const OneEuroSettings& settings = OneEuroSettings());

    // The filtered points of the frame shown at time (seconds). The first frame after
    // construction or reset(), a frame whose point count differs from the last one, and a
    // frame whose time does not advance pass through unchanged and restart the filter.
    core::FacialPointVector filter(const core::FacialPointVector& points, double time);
    // Forgets the past: the next frame passes through unchanged.
    void reset();
    bool isFresh() const { return previous.empty(); }

private:
    OneEuroSettings settings;
    core::FacialPointVector previous;
    core::FacialPointVector velocity;
    double previousTime = 0;
};

} // namespace preview
