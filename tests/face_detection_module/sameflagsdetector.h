#pragma once

// dlib's own frontal face detector (object_detector over scan_fhog_pyramid), compiled with the
// detection module's instruction-set flags. dlib picks its SIMD width (SSE or AVX) at compile
// time, and the width decides how the filter responses are summed, so scores are only
// comparable bit for bit between builds with the same flags. Built as a shared library with
// hidden symbols, so its template instances never mix with those of the code under test.

#include <QImage>
#include <QRect>
#include <QVector>

#include <memory>

#define SAME_FLAGS_DETECTOR_EXPORT __attribute__((visibility("default")))

struct SameFlagsFace {
    QRect rect; // dlib's inclusive rectangle as left, top, width, height
    double confidence = 0;
    unsigned long detectorIndex = 0;
};

class SAME_FLAGS_DETECTOR_EXPORT SameFlagsDetector
{
public:
    SameFlagsDetector();
    ~SameFlagsDetector();

    // Every face, the most confident first, with adjust_threshold 0, as object_detector reports.
    QVector<SameFlagsFace> detect(const QImage& picture);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
