#include "video/videoreader.h"

#include "video/videoorientation.h"

#include "core/imagefiles.h"
#include "core/poolthreads.h"
#include "core/systemreason.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QMimeDatabase>
#include <QStringList>

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

namespace video {

namespace {

bool initialiseGstreamer(QString* failure)
{
    // Once per process, whichever thread asks first; empty when GStreamer started.
    static const QString reason = [] {
        GError* error = nullptr;
        QString why;
        if (!gst_init_check(nullptr, nullptr, &error)) {
            why = QStringLiteral("GStreamer cannot be started: %1")
                      .arg(QString::fromUtf8(error ? error->message : "unknown reason"));
        }
        if (error) {
            g_error_free(error);
        }
        return why;
    }();
    if (!reason.isEmpty() && failure) {
        *failure = reason;
    }
    return reason.isEmpty();
}

} // namespace

struct VideoReader::Impl {
    GstElement* pipeline = nullptr;
    GstAppSink* sink = nullptr;
    int nextIndex = 0;
    double firstTime = -1;
    QString failure;
    bool ended = false;
    double declaredDuration = 0; // seconds, from the headers; 0 when unknown
    double lastTime = -1;        // the last frame's time
    // The last frame's timestamp as the file has it, which the frames' times above need not
    // start at (an MKV whose first frame is stamped an hour in).
    double lastStamp = -1;
    bool lengthFromFileZero = false; // see VideoShape: the declared length counts from lastStamp's 0
    double frameLength = 0;      // seconds, when the frame rate is known
    // An animated GIF is read by Qt: GStreamer's GIF demuxer never ends its stream (it asks for
    // more bytes at the end of the file, without pause).
    std::unique_ptr<QImageReader> gif;
    double gifTime = 0;          // the next GIF frame's time, from the delays of those before

    bool nextGifFrame(VideoFrame& frame);

    // No frame came within the wait: GStreamer's thread may wait in a read of a disk that does
    // not answer, and tearing the pipeline down waits for that thread.
    bool frameOverdue = false;

    ~Impl()
    {
        const auto tearDown = [](GstElement* pipeline, GstAppSink* sink) {
            if (pipeline) {
                gst_element_set_state(pipeline, GST_STATE_NULL);
            }
            if (sink) {
                gst_object_unref(sink);
            }
            if (pipeline) {
                gst_object_unref(pipeline);
            }
        };
        if (frameOverdue && pipeline) {
            // Not waited for: the caller, told why reading stopped, goes on (or ends) now.
            try {
                std::thread(tearDown, pipeline, sink).detach();
                return;
            } catch (const std::system_error&) {
            }
        }
        tearDown(pipeline, sink);
    }

    // The first error on the bus, if any, as text for the user; kept once seen.
    QString busError()
    {
        GstBus* bus = gst_element_get_bus(pipeline);
        while (GstMessage* message = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR)) {
            if (firstBusError.isEmpty()) {
                GError* error = nullptr;
                gst_message_parse_error(message, &error, nullptr);
                firstBusError = QString::fromUtf8(error ? error->message : "unknown error");
                readFailed = error && error->domain == GST_RESOURCE_ERROR
                             && (error->code == GST_RESOURCE_ERROR_READ || error->code == GST_RESOURCE_ERROR_SEEK);
                if (error) {
                    g_error_free(error);
                }
            }
            gst_message_unref(message);
        }
        gst_object_unref(bus);
        return firstBusError;
    }

    QString firstBusError;
    // The first error is the disk's (a read that failed), not the file's content.
    bool readFailed = false;
};

VideoReader::VideoReader()
    : d(std::make_unique<Impl>())
{
}

VideoReader::~VideoReader() = default;

std::unique_ptr<VideoReader> VideoReader::open(const QString& path, QString* failure)
{
    const QFileInfo file(path);
    // Told from the name, before any open: a FIFO without a writer would block it.
    if (!file.isFile()) {
        if (failure) {
            *failure = !file.exists() ? QStringLiteral("no such file")
                : file.isDir()        ? QStringLiteral("is a folder")
                                      : QStringLiteral("not a regular file");
        }
        return nullptr;
    }
    const bool gifFile = isGifFile(file.absoluteFilePath());
    if (!gifFile) {
        // Told before GStreamer starts: at the limit of processes it cannot start its plugin
        // scanner, loads every plugin itself, and one that cannot start a thread aborts the program.
        const QString shortage = threadShortage();
        if (!shortage.isEmpty()) {
            if (failure) {
                *failure = QStringLiteral("cannot be read now: ") + shortage;
            }
            return nullptr;
        }
    }
    if (!gifFile && !initialiseGstreamer(failure)) {
        return nullptr;
    }
    if (!gifFile) {
        // Parsing the pipeline below leaves out an element it does not know, and the frames then
        // never come, or the stream stops with an error that names nothing.
        const QString missing = missingElements({QStringLiteral("uridecodebin"), QStringLiteral("videoconvert"),
                                                 QStringLiteral("videoflip"), QStringLiteral("videoscale"),
                                                 QStringLiteral("appsink")});
        if (!missing.isEmpty()) {
            if (failure) {
                *failure = QStringLiteral("cannot be read: ") + missing;
            }
            return nullptr;
        }
    }
    std::unique_ptr<VideoReader> reader(new VideoReader);
    Impl& d = *reader->d;
    VideoShape shape;
    if (gifFile) {
        d.gif = std::make_unique<QImageReader>(file.absoluteFilePath(), QByteArrayLiteral("gif"));
        shape.width = d.gif->size().width();
        shape.height = d.gif->size().height();
    } else {
        shape = videoShape(path);
    }
    // Refused before a frame of that size is decoded, or when there is no video to decode.
    const QString problem = shapeProblem(shape);
    if (!problem.isEmpty()) {
        if (failure) {
            *failure = problem;
        }
        return nullptr;
    }
    // Its contents already failed GStreamer: the pipeline below would fail the same way, or wait
    // for frames that never come when the error is lost on the way.
    if (!shape.undecodable.isEmpty()) {
        if (failure) {
            *failure = QStringLiteral("not a video that can be decoded: %1").arg(shape.undecodable);
        }
        return nullptr;
    }
    if (gifFile) {
        // The checks of every picture file (a frame without its data, a frame over the bounds),
        // once the size is known to be within bounds, as they decode the first frame: Qt's reader
        // would give a frame cut short with its missing part blank, and no word.
        const QString refusal = core::readPictureFile(file.absoluteFilePath()).reason;
        if (!refusal.isEmpty()) {
            if (failure) {
                *failure = refusal;
            }
            return nullptr;
        }
        return reader;
    }
    d.declaredDuration = shape.duration;
    d.lengthFromFileZero = shape.lengthFromFileZero;
    GError* error = nullptr;
    // appsink without sync takes frames as fast as they are pulled and never drops one; the
    // small queue holds the decoder back while the caller works on a frame. videoflip turns the
    // picture as the file's orientation tag says: a phone stores an upright video on its side.
    // The size bound again, for frames whose size the headers did not tell. videoscale makes
    // the pixels square (an anamorphic video stores its pictures narrower than they are shown).
    const QByteArray description =
        QStringLiteral("uridecodebin name=source ! videoconvert ! videoflip video-direction=auto "
                       "! videoscale ! videoconvert "
                       "! video/x-raw,format=RGB,pixel-aspect-ratio=1/1,width=[1,%1],height=[1,%1] "
                       "! appsink name=sink sync=false max-buffers=4 drop=false")
            .arg(maximumFrameSide)
            .toUtf8();
    d.pipeline = gst_parse_launch(description.constData(), &error);
    if (!d.pipeline) {
        if (failure) {
            *failure = QStringLiteral("GStreamer cannot read videos: %1")
                           .arg(QString::fromUtf8(error ? error->message : "a plugin is missing"));
        }
        if (error) {
            g_error_free(error);
        }
        return nullptr;
    }
    if (error) { // a warning about a missing element that parsing worked around
        g_error_free(error);
        error = nullptr;
    }
    gchar* uri = gst_filename_to_uri(file.absoluteFilePath().toLocal8Bit().constData(), &error);
    if (!uri) {
        if (failure) {
            *failure = QStringLiteral("the file name cannot be made into a URI");
        }
        if (error) {
            g_error_free(error);
        }
        return nullptr;
    }
    GstElement* source = gst_bin_get_by_name(GST_BIN(d.pipeline), "source");
    g_object_set(source, "uri", uri, nullptr);
    gst_object_unref(source);
    g_free(uri);
    d.sink = GST_APP_SINK(gst_bin_get_by_name(GST_BIN(d.pipeline), "sink"));
    if (gst_element_set_state(d.pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        const QString reason = d.busError();
        if (failure) {
            *failure = QStringLiteral("not a video that can be decoded: %1")
                           .arg(reason.isEmpty() ? QStringLiteral("the pipeline does not start") : reason);
        }
        return nullptr;
    }
    return reader;
}

bool VideoReader::Impl::nextGifFrame(VideoFrame& frame)
{
    if (!gif->canRead()) {
        ended = true;
        if (nextIndex == 0) {
            failure = QStringLiteral("not a GIF picture that can be read: %1").arg(gif->errorString());
        }
        return false;
    }
    QImage picture;
    if (!gif->read(&picture)) {
        failure = QStringLiteral("frame %1 cannot be read: %2").arg(nextIndex).arg(gif->errorString());
        return false;
    }
    frame.picture = picture.convertToFormat(QImage::Format_RGB888);
    if (frame.picture.isNull()) {
        failure = QStringLiteral("frame %1 cannot be read (out of memory?)").arg(nextIndex);
        return false;
    }
    frame.index = nextIndex++;
    frame.time = gifTime;
    lastTime = frame.time;
    // A frame shows for its delay; browsers show one of none for a tenth of a second.
    const int delay = gif->nextImageDelay();
    gifTime += (delay > 0 ? delay : 100) / 1000.0;
    return true;
}

bool VideoReader::next(VideoFrame& frame, int timeoutMs)
{
    if (d->ended || !d->failure.isEmpty()) {
        return false;
    }
    if (d->gif) {
        return d->nextGifFrame(frame);
    }
    // An error upstream does not wake the sink: wait in short slices and look at the bus between
    // them, so that a file that cannot be decoded fails at once rather than after the timeout.
    constexpr int sliceMs = 50;
    GstSample* sample = nullptr;
    for (int waited = 0; !sample; waited += sliceMs) {
        sample = gst_app_sink_try_pull_sample(d->sink, GstClockTime(std::min(sliceMs, std::max(0, timeoutMs - waited)))
                                                           * GST_MSECOND);
        if (sample || waited >= timeoutMs || gst_app_sink_is_eos(d->sink) || !d->busError().isEmpty()) {
            break;
        }
    }
    if (!sample) {
        const QString reason = d->busError();
        if (!reason.isEmpty()) {
            d->failure = d->readFailed ? QStringLiteral("reading it failed: %1").arg(reason)
                                       : QStringLiteral("not a video that can be decoded: %1").arg(reason);
        } else if (gst_app_sink_is_eos(d->sink)) {
            d->ended = true;
            if (d->nextIndex == 0) {
                d->failure = QStringLiteral("the file holds no video frame");
            }
        } else {
            d->frameOverdue = true;
            d->failure = QStringLiteral("no frame came in %1 seconds").arg(timeoutMs / 1000);
        }
        return false;
    }
    GstCaps* caps = gst_sample_get_caps(sample);
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    GstVideoInfo info;
    GstMapInfo map;
    bool ok = caps && buffer && gst_video_info_from_caps(&info, caps);
    if (ok && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        const int width = GST_VIDEO_INFO_WIDTH(&info);
        const int height = GST_VIDEO_INFO_HEIGHT(&info);
        const int stride = GST_VIDEO_INFO_PLANE_STRIDE(&info, 0);
        if (width > 0 && height > 0 && gsize(stride) * gsize(height) <= map.size) {
            // Copied: the buffer goes back to GStreamer with the sample.
            frame.picture = QImage(map.data, width, height, stride, QImage::Format_RGB888).copy();
        } else {
            frame.picture = QImage();
        }
        gst_buffer_unmap(buffer, &map);
        ok = !frame.picture.isNull();
    } else {
        ok = false;
    }
    double time = -1;
    if (ok) {
        const GstSegment* segment = gst_sample_get_segment(sample);
        const GstClockTime pts = GST_BUFFER_PTS(buffer);
        if (GST_CLOCK_TIME_IS_VALID(pts)) {
            d->lastStamp = double(pts) / GST_SECOND;
        }
        if (segment && GST_CLOCK_TIME_IS_VALID(pts)) {
            const guint64 streamTime = gst_segment_to_stream_time(segment, GST_FORMAT_TIME, pts);
            if (GST_CLOCK_TIME_IS_VALID(streamTime)) {
                time = double(streamTime) / GST_SECOND;
            }
        }
        if (GST_VIDEO_INFO_FPS_N(&info) > 0) {
            d->frameLength = double(GST_VIDEO_INFO_FPS_D(&info)) / GST_VIDEO_INFO_FPS_N(&info);
        }
        if (time < 0 && GST_VIDEO_INFO_FPS_N(&info) > 0) {
            time = d->nextIndex * double(GST_VIDEO_INFO_FPS_D(&info)) / GST_VIDEO_INFO_FPS_N(&info);
        }
    }
    gst_sample_unref(sample);
    if (!ok) {
        d->failure = QStringLiteral("frame %1 cannot be read (out of memory?)").arg(d->nextIndex);
        return false;
    }
    frame.index = d->nextIndex++;
    frame.time = std::max(0.0, time);
    d->lastTime = frame.time;
    return true;
}

QString VideoReader::failure() const
{
    return d->failure;
}

QString VideoReader::shortfall() const
{
    if (!d->ended || d->lastTime < 0 || d->declaredDuration <= 0) {
        return QString();
    }
    // The last frame lasts a frame; a second more is left to rounding in the headers.
    // The file's own stamps where its headers count the length from its 0 (Matroska), else the
    // frames' times from the first shown (an MP4 whose edit list skips its first seconds).
    const double end = (d->lengthFromFileZero ? std::max(d->lastTime, d->lastStamp) : d->lastTime) + d->frameLength;
    if (end + 1.0 >= d->declaredDuration) {
        return QString();
    }
    return QStringLiteral("the frames end at %1 s of the %2 s the file declares: it may be cut short")
        .arg(end, 0, 'f', 1)
        .arg(d->declaredDuration, 0, 'f', 1);
}

double VideoReader::declaredDuration() const
{
    return d->declaredDuration;
}

QString threadShortage()
{
    // As many as a decoding pipeline starts besides the decoder's own, all alive at once.
    constexpr int needed = 8;
    int error = 0;
    if (core::startableThreads(needed, &error) == needed) {
        return QString();
    }
    return QStringLiteral("no thread can be started for it: %1 (the limit of processes, ulimit -u, may be reached)")
        .arg(core::systemReason(error));
}

QString missingElements(const QStringList& elements)
{
    QString failure;
    if (!initialiseGstreamer(&failure)) {
        return failure;
    }
    for (const QString& element : elements) {
        GstElementFactory* factory = gst_element_factory_find(element.toUtf8().constData());
        if (factory) {
            gst_object_unref(factory);
            continue;
        }
        // Where Debian 12 has them: the camera's bin among the bad plugins, videoflip and the
        // camera source among the good, the others among the base.
        const QString package = element == QLatin1String("camerabin") ? QStringLiteral("gstreamer1.0-plugins-bad")
                                : element == QLatin1String("videoflip") || element == QLatin1String("v4l2src")
                                    ? QStringLiteral("gstreamer1.0-plugins-good")
                                    : QStringLiteral("gstreamer1.0-plugins-base");
        return QStringLiteral("GStreamer's %1 element is not installed: install %2").arg(element, package);
    }
    return QString();
}

const QStringList& videoSuffixes()
{
    // Camcorders write .mts and .m2ts, phones .3gp, recorders and broadcasts .ts.
    static const QStringList suffixes{QStringLiteral("mp4"), QStringLiteral("m4v"),  QStringLiteral("mov"),
                                      QStringLiteral("webm"), QStringLiteral("mkv"), QStringLiteral("avi"),
                                      QStringLiteral("ogv"), QStringLiteral("mpg"),  QStringLiteral("mpeg"),
                                      QStringLiteral("mts"), QStringLiteral("m2ts"), QStringLiteral("ts"),
                                      QStringLiteral("3gp")};
    return suffixes;
}

bool looksLikeVideo(const QString& path)
{
    return videoSuffixes().contains(QFileInfo(path).suffix().toLower());
}

bool startsAsVideo(const QString& path)
{
    // What the shared MIME database reads of a file to tell its type by content.
    constexpr qsizetype enough = 16384;
    const int descriptor = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        return false;
    }
    struct stat status {};
    QByteArray start;
    if (::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode)) {
        start.resize(int(enough));
        const ssize_t got = ::read(descriptor, start.data(), size_t(start.size()));
        start.resize(got > 0 ? int(got) : 0);
    }
    ::close(descriptor);
    if (start.isEmpty()) {
        return false;
    }
    // Matroska and Ogg files do not tell by their first bytes whether they hold pictures or
    // sound alone: taken as videos, sound alone is then said to be no video.
    const QMimeType type = QMimeDatabase().mimeTypeForData(start);
    const QStringList kinds = QStringList{type.name()} + type.allAncestors();
    return std::any_of(kinds.begin(), kinds.end(), [](const QString& kind) {
        return kind.startsWith(QLatin1String("video/")) || kind == QLatin1String("application/x-matroska")
            || kind == QLatin1String("application/ogg");
    });
}

bool isGifFile(const QString& path)
{
    // Opened without waiting, and only a regular file is read: a FIFO would block the caller.
    const int descriptor = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        return false;
    }
    struct stat status {};
    char start[6] = {};
    const bool read = ::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode)
                      && ::read(descriptor, start, sizeof start) == ssize_t(sizeof start);
    ::close(descriptor);
    return read && (std::memcmp(start, "GIF87a", 6) == 0 || std::memcmp(start, "GIF89a", 6) == 0);
}

} // namespace video
