#pragma once

#include <QImage>
#include <QPoint>
#include <QRect>
#include <QVector>

#include <memory>
#include <optional>
#include <string>

namespace core {

// One detected face, in picture pixels: the detector's rectangle (left, top, width, height) and
// the landmark parts predicted inside it, in the predictor's part order.
struct Face {
    QRect rect;
    QVector<QPoint> points;
};

// dlib's frontal face detector and the landmark model, loaded together. Not thread-safe: build
// and use it on one thread, one call at a time (the detector keeps scratch state between calls).
class FaceDetectionModule
{
public:
    // The model file name, resolved against the process's working directory.
    static const char* const defaultModelPath;
    // Parts 0, 16, 36 and 45 are read by the derived points, so smaller models are refused.
    static constexpr int minimumPartCount = 46;

    // Builds the detector and reads the landmark model from modelPath. Returns null when the
    // file is missing, unreadable, not a landmark model, or has fewer than minimumPartCount parts.
    static std::unique_ptr<FaceDetectionModule> load(const std::string& modelPath = defaultModelPath);

    ~FaceDetectionModule();

    // A module for another thread: a detector of its own (detecting changes the detector's
    // scratch state) and this module's landmark model, shared read-only, so the model is read
    // once however many threads detect. Call it on the thread that uses this module. Returns null
    // when out of memory.
    std::unique_ptr<FaceDetectionModule> makeSibling() const;

    int partCount() const;

    // All faces at the picture's own resolution, the most confident first, each with its
    // landmarks, in picture pixels. Any format is accepted (others than RGB888 are converted).
    // Returns nullopt when the picture cannot be processed (null, or out of memory).
    std::optional<QVector<Face>> detectFaces(const QImage& picture);

    // The landmarks predicted inside area (picture pixels; dlib's right and bottom are taken as
    // area.x() + width and area.y() + height). nullopt when the picture cannot be processed.
    std::optional<QVector<QPoint>> detectPoints(const QImage& picture, const QRect& area);

private:
    FaceDetectionModule();
    Q_DISABLE_COPY(FaceDetectionModule)
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace core
