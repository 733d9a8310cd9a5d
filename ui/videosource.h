#pragma once

#include "ui/framesource.h"

#include <memory>

namespace ui {

// The frames of a video file (MP4, WebM, MKV, ... whatever GStreamer decodes), played through
// Qt Multimedia in a loop, without sound. Times are in milliseconds from the start of the video.
// GUI thread only.
class VideoFrameSource : public FrameSource
{
    Q_OBJECT
public:
    // path: a local file, relative or absolute.
    explicit VideoFrameSource(const QString& path);
    ~VideoFrameSource() override;

    // Starts playing; false when the file does not exist. A file that exists but does not play
    // is reported through failed(): later, or at once when no thread can be had to decode it.
    // Whether the file is there is asked on a thread of its own and waited for half a second at
    // most: a file whose disk does not answer in that time is started, and failed() says so
    // should it turn out not to be there.
    bool start() override;
    void stop() override;

    void play();
    void pause();
    // Play was asked for and neither Pause nor stop() since, also while the file is still being
    // opened; false once the video failed.
    bool isPlaying() const;
    QString path() const;
    qint64 duration() const;
    // The start time of the frame shown last.
    qint64 position() const;
    // Shows the frame at position; while paused, exactly the frame whose time span holds it.
    void seek(qint64 position);
    // While paused: the frame count frames on (or back, when negative).
    void step(int count);

    // How long a video that opens or plays may send no picture before silenceChanged() says
    // that its disk may not be answering, in milliseconds.
    static constexpr int silenceMs = 5000;
    // silenceChanged()'s note on the video at path: "The video "x.mp4" has sent no picture for 5
    // seconds: its disk may not be answering."
    static QString silenceNote(const QString& path);

signals:
    void positionChanged(qint64 position);
    void durationChanged(qint64 duration);
    void playingChanged(bool playing);
    // The end was reached and playing starts again from the beginning.
    void looped();
    // The pictures ended well before the length the file declares, as in a file cut short (which
    // plays without an error), at most once per start(); or a paused seek found no picture there,
    // and the frame shown stays. message is a sentence for the user. A picture that comes after a
    // seek's message (of that seek after all, its disk held still a while; of a later seek; or
    // played) takes it back: message is then what was said of where the pictures end, or empty.
    void endedEarly(const QString& message);
    // While it opens or plays, the video has sent no picture for seconds (its disk does not
    // answer, a share went away): note is a sentence for the user. Empty again once pictures
    // come, or on stop() or failed().
    void silenceChanged(const QString& note);

private:
    Q_DISABLE_COPY(VideoFrameSource)
    class Impl;
    std::unique_ptr<Impl> d;
};

} // namespace ui
