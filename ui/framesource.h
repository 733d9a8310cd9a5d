#pragma once

#include <QImage>
#include <QObject>

namespace ui {

// A source of live pictures for the preview: a camera, a video file, or pictures replayed by a
// test.
// Lives on the GUI thread and emits there.
class FrameSource : public QObject
{
    Q_OBJECT
public:
    ~FrameSource() override;

    // Starts delivering frames; false when the source cannot run (no such camera).
    virtual bool start() = 0;
    virtual void stop() = 0;

signals:
    // One picture, upright, in any QImage format. Emitted as often as the source has one.
    void frameReady(const QImage& frame);
    // The source cannot go on (a damaged or unsupported file, a camera that went away); message
    // says what happened, in a sentence for the user.
    void failed(const QString& message);
};

} // namespace ui
