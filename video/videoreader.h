#pragma once

#include <QImage>
#include <QString>
#include <QStringList>

#include <memory>

namespace video {

// One decoded frame: the picture (RGB888, upright, square pixels) and its place in the video.
struct VideoFrame {
    QImage picture;
    int index = 0;     // 0-based, in decoding order, which is showing order
    double time = 0;   // seconds from the start of the video
};

// Reads a video file frame by frame through GStreamer (any container and codec its installed
// plugins decode), or an animated GIF through Qt: every frame exactly once, in order, as fast as
// the caller takes them. Sound is ignored. One thread at a time.
class VideoReader
{
public:
    // Opens path (a local file); null with the reason in *failure when the file is missing ("no
    // such file"), a folder ("is a folder") or not a regular file ("not a regular file", never
    // opened, so a FIFO cannot block), a GIF that the checks of every picture file refuse
    // (core::readPictureFile's reason, as "picture: GIF file shorter than the pixels its header
    // declares"), or GStreamer cannot be started.
    static std::unique_ptr<VideoReader> open(const QString& path, QString* failure);
    ~VideoReader();

    // The next frame; false at the end of the video or on a failure (failure() is then set).
    // Waits at most timeoutMs for a frame that does not come.
    bool next(VideoFrame& frame, int timeoutMs = 20000);
    // Empty at a clean end; else why reading stopped ("not a video that can be decoded: ...", or
    // for a read the disk failed "reading it failed: ...").
    QString failure() const;
    // After the end: a warning when the frames ended well before the length the file's headers
    // declare ("the frames end at 1.1 s of the 4.0 s the file declares: it may be cut short"), as
    // a file cut short ends without an error. Empty otherwise. Sound longer than the pictures
    // gives the warning too.
    QString shortfall() const;
    // The length in seconds the file's headers declare; 0 when they do not tell (an animated GIF).
    double declaredDuration() const;

private:
    VideoReader();
    Q_DISABLE_COPY(VideoReader)
    struct Impl;
    std::unique_ptr<Impl> d;
};

// Empty when the process can start the threads GStreamer needs to read a video; else why not
// ("no thread can be started for it: Resource temporarily unavailable ..."). GStreamer waits
// for ever on a thread it could not start (the user's limit of processes, `ulimit -u`, reached),
// so this is asked before any of its work. Any thread.
QString threadShortage();

// Empty when GStreamer can be started and has every element factory named (as "videoconvert");
// else what is missing and the Debian package that brings it ("GStreamer's videoconvert element
// is not installed: install gstreamer1.0-plugins-base"). Any thread.
QString missingElements(const QStringList& elements);

// The suffixes, lower case and without the dot, of the names taken for videos (mp4, webm, mkv, ...).
const QStringList& videoSuffixes();
// True when path's name says it holds a video: its suffix, in any case, is one of videoSuffixes().
bool looksLikeVideo(const QString& path);
// True when the first bytes of the regular file at path are those of a video container (an
// MPEG transport stream, MP4, Matroska, ...), whatever its name; false for a picture, sound
// alone as its first bytes tell it, a file that cannot be read and anything but a regular file.
// Never waits on a FIFO. Any thread.
bool startsAsVideo(const QString& path);
// True when the file at path is a regular file that starts as a GIF picture does, animated or
// not, whatever its name. Never waits on a FIFO. Any thread.
bool isGifFile(const QString& path);

} // namespace video
