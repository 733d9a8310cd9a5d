#pragma once

#include "core/facialpoints.h"

namespace preview {

// The one-euro filter's settings (Casiez, Roussel, Vogel 2012): the cutoff frequency falls to
// minCutoff (Hz) while a value rests and rises by beta per pixel per second of its speed, so a
// still face stops trembling and a moving one is followed without lag. The speed is smoothed
// with derivativeCutoff (Hz).
struct OneEuroSettings {
    double minCutoff = 1.0;
    double beta = 0.05;
    double derivativeCutoff = 1.0;
};

// How a face's points are smoothed. The face's pose (where it is, how large, how turned: one
// similarity transform fitted to all its points, so the detector's tremble mostly averages out)
// and its shape (each point's place in the face's own frame, which changes only with the
// expression) are filtered apart: the pose lightly, so the mask keeps up with the head, the
// shape strongly, so single points do not tremble. Chosen on clips with known motion (README).
struct SteadySettings {
    OneEuroSettings pose{4.0, 0.05, 1.0};
    OneEuroSettings shape{0.5, 0.02, 1.0};
};

// Smooths one face's points from frame to frame. Any coordinate space, as long as it stays the
// same; beta is tuned for pixels. Fewer than 3 points, or points without spread, are filtered
// each on its own with the pose settings. Any thread, one frame at a time.
class LandmarkFilter
{
public:
    explicit LandmarkFilter(const SteadySettings& settings = SteadySettings());

    // The filtered points of the frame shown at time (seconds). The first frame after
    // construction or reset(), a frame whose point count differs from the last one, and a
    // frame whose time does not advance pass through unchanged and restart the filter.
    core::FacialPointVector filter(const core::FacialPointVector& points, double time);
    // Forgets the past: the next frame passes through unchanged.
    void reset();
    bool isFresh() const { return count < 0; }

    // The one-euro filter itself over a vector of 2-D values, each value on its own (its speed
    // is the length of its velocity, so both coordinates share one cutoff).
    class Points
    {
    public:
        explicit Points(const OneEuroSettings& settings = OneEuroSettings())
            : settings(settings)
        {
        }
        // values pass through unchanged when fresh; dt > 0 seconds since the last call.
        core::FacialPointVector filter(const core::FacialPointVector& values, double dt);
        void reset() { previous.clear(); }

    private:
        OneEuroSettings settings;
        core::FacialPointVector previous;
        core::FacialPointVector velocity;
    };

private:
    SteadySettings settings;
    Points pose;
    Points shape;
    // The face's first shape, centred and scaled to a mean radius of 1: the reference the pose
    // of each later frame is fitted against.
    core::FacialPointVector reference;
    double referenceRadius = 1; // in the caller's units, to keep the shape in pixel-like units
    int count = -1;
    double previousTime = 0;
};

} // namespace preview
