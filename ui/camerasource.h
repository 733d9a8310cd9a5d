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

private:
    Q_DISABLE_COPY(CameraFrameSource)
    class Impl;
    std::unique_ptr<Impl> d;
};

} // namespace ui
