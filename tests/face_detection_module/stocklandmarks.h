#pragma once

// dlib's own pipeline, for comparison in tests: the frontal face detector at native size and the
// shape predictor on each face, on a dlib image filled by dlib::load_image. Built as a shared
// library with hidden symbols so that its template instances are its own, compiled with stock
// flags, and never merged with the ones in the code under test.

#include <QImage>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>
#include <QVector>

#include <memory>

#define STOCK_LANDMARKS_EXPORT __attribute__((visibility("default")))

struct StockFace {
    QRect rect; // left, top, width, height: dlib's inclusive rectangle
    QVector<QPoint> parts;
    double confidence = 0; // the detector's score above its threshold
};

struct StockDetection {
    bool pictureLoaded = false;
    QSize size;
    QVector<StockFace> faces;
    // Predicted over the rectangle (0, 0)-(width, height), dlib's inclusive corners.
    QVector<QPoint> wholePictureParts;
};

class STOCK_LANDMARKS_EXPORT StockLandmarks
{
public:
    explicit StockLandmarks(const QString& modelPath);
    ~StockLandmarks();

    bool isLoaded() const;
    StockDetection detectFile(const QString& picturePath);
    // The same on the pixels of a picture (converted to RGB888 first), copied into a dlib image.
    StockDetection detectImage(const QImage& picture);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
