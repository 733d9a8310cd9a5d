#pragma once

// dlib's stock pipeline, as a reference for timing: the frontal face detector at native size
// and the shape predictor on each face, on a dlib image. Compiled with plain -O2 into a shared
// library with hidden symbols, so that none of its dlib template instances is merged with the
// ones compiled for the detection module.

#include <QImage>

#include <memory>
#include <string>

#define STOCK_PIPELINE_EXPORT __attribute__((visibility("default")))

class STOCK_PIPELINE_EXPORT StockPipeline
{
public:
    StockPipeline();
    ~StockPipeline();

    // Builds dlib's frontal face detector anew (part of what loading the module costs).
    void rebuildFaceDetector();
    // A bare dlib::deserialize of the landmark model. False when the file cannot be read.
    bool deserializeModel(const std::string& path);
    // Copies the pixels of an RGB888 picture into the dlib image the next runs read.
    void setPicture(const QImage& rgb888);
    // Detects the faces and predicts the landmarks of each; returns the number of faces.
    int run();
    // A checksum of the last run's landmarks, to compare with other pipelines.
    long long landmarkChecksum() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
