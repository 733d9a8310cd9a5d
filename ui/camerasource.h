#pragma once

#include "ui/framesource.h"

#include <memory>

class QCameraInfo;

namespace ui {

// Frames of one camera found by Qt Multimedia, copied out of the video buffers as QImages.
// GUI thread only.
class CameraFrameSource : public FrameSource
{
public:
    explicit CameraFrameSource(const QCameraInfo& camera);
    ~CameraFrameSource() override;

    bool start() override;
    void stop() override;

    // Why no camera can be shown on this machine whatever the device: a GStreamer element Qt's
    // camera is built on is not installed ("GStreamer's camerabin element is not installed:
    // install gstreamer1.0-plugins-bad"); empty when all are there. Any thread.
    static QString missingPieces();

private:
    Q_DISABLE_COPY(CameraFrameSource)
    // Makes the camera and its watch anew (a stopped camera's pipeline does not start again).
    void open(const QCameraInfo& camera);
    class Impl;
    std::unique_ptr<Impl> d;
};

} // namespace ui
