#pragma once

#include <QImage>

#include <memory>
#include <vector>

namespace core {

namespace cachebytes {
class Sink;
class Source;
} // namespace cachebytes

// dlib's frontal face detector (HOG filters slid over an image pyramid) with the work of one
// picture shared between threads: the pyramid's levels are made in turn, and each level's HOG
// features and filter responses are computed by whichever thread is free. The detections of all
// levels are merged in dlib's own order, so boxes and scores are those of stock dlib, bit for bit.
// The model is shared read-only between copies and detect() keeps no state, so one detector may
// be used from several threads at once.
class FhogFaceDetector
{
public:
    // One face found: dlib's inclusive rectangle in picture pixels, its confidence (the filter
    // response above the detector's threshold) and which of dlib's sub-detectors found it.
    struct Box {
        long left = 0;
        long top = 0;
        long right = -1;
        long bottom = -1;
        double confidence = 0;
        unsigned long detectorIndex = 0;
    };

    // An empty detector: isValid() is false and detect() finds nothing.
    FhogFaceDetector();
    ~FhogFaceDetector();
    FhogFaceDetector(const FhogFaceDetector&);
    FhogFaceDetector& operator=(const FhogFaceDetector&);

    // Unpacks dlib's built-in frontal face model. Throws what dlib throws (bad_alloc at most).
    static FhogFaceDetector frontal();

    bool isValid() const;

    // At most this many threads work on one picture (1 runs everything on the calling thread).
    void setThreadCount(int count);
    int threadCount() const;

    // The faces in an RGB888 picture, the most confident first, as dlib's object_detector with
    // adjust_threshold 0 reports them. Other formats find nothing. Throws std::bad_alloc when a
    // huge picture exhausts memory; callable from any thread.
    std::vector<Box> detect(const QImage& rgb888) const;

    // The model in the cache's byte form, and back. write() returns false for a model whose shape
    // the byte form cannot hold; read() returns an invalid detector for bytes that do not describe
    // a usable model (every count and size is checked before use).
    bool write(cachebytes::Sink& sink) const;
    static FhogFaceDetector read(cachebytes::Source& source);

private:
    struct Model;
    std::shared_ptr<const Model> model;
    int threads = 2;
};

} // namespace core
