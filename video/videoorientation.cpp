#include "video/videoorientation.h"

#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gst/gst.h>
#include <gst/pbutils/pbutils.h>

namespace video {

namespace {

// "rotate-90" and the like; mirrored pictures ("flip-rotate-90") are left as they are.
int degreesOf(const gchar* orientation)
{
    const QString text = QString::fromUtf8(orientation);
    for (int degrees : {90, 180, 270}) {
        if (text == QStringLiteral("rotate-%1").arg(degrees)) {
            return degrees;
        }
    }
    return 0;
}

int turnInTags(const GstTagList* tags)
{
    gchar* orientation = nullptr;
    if (!tags || !gst_tag_list_get_string(tags, GST_TAG_IMAGE_ORIENTATION, &orientation)) {
        return 0;
    }
    const int degrees = degreesOf(orientation);
    g_free(orientation);
    return degrees;
}

// The Debian package that holds the demuxer or decoder for caps ("video/x-h264, level=..."), as
// Debian 12 splits GStreamer's plugins; a general hint for others.
QString packageFor(const QString& caps)
{
    const QString name = caps.section(QLatin1Char(','), 0, 0).trimmed();
    if (name == QLatin1String("video/x-h264") || name == QLatin1String("video/x-h265")) {
        return QStringLiteral("install gstreamer1.0-libav");
    }
    static const QStringList good{QStringLiteral("video/quicktime"), QStringLiteral("video/webm"),
                                  QStringLiteral("video/x-matroska"), QStringLiteral("video/x-vp8"),
                                  QStringLiteral("video/x-vp9"), QStringLiteral("video/x-msvideo")};
    if (good.contains(name)) {
        return QStringLiteral("install gstreamer1.0-plugins-good");
    }
    return QStringLiteral("install the package that holds it (gstreamer1.0-libav, or gstreamer1.0-plugins-good, "
                          "-bad or -ugly)");
}

// Types GStreamer recognises in files that are no video of any kind: archives (a package too),
// documents and programs. No plugin plays them.
bool neverMedia(const QString& caps)
{
    static const QStringList kinds{
        QStringLiteral("application/zip"), QStringLiteral("application/x-tar"), QStringLiteral("application/x-gzip"),
        QStringLiteral("application/x-bzip"), QStringLiteral("application/x-compress"), QStringLiteral("application/x-rar"),
        QStringLiteral("application/x-ar"), QStringLiteral("application/pdf"), QStringLiteral("application/postscript"),
        QStringLiteral("application/msword"), QStringLiteral("application/xml"), QStringLiteral("application/x-executable"),
        QStringLiteral("application/x-ms-dos-executable")};
    return kinds.contains(caps.section(QLatin1Char(','), 0, 0).trimmed());
}

// True when a demuxer or decoder that GStreamer plugs by itself is installed for caps (as a
// missing element's caps string gives them): one that then failed was handed a file it refuses
// (an H.264 stream that declares 65535 x 65535 pictures), not missing.
bool installedFor(const QString& caps)
{
    GstCaps* wanted = gst_caps_from_string(caps.toUtf8().constData());
    if (!wanted) {
        return false;
    }
    GList* factories = gst_element_factory_list_get_elements(
        GST_ELEMENT_FACTORY_TYPE_DECODER | GST_ELEMENT_FACTORY_TYPE_DEMUXER, GST_RANK_MARGINAL);
    GList* takers = gst_element_factory_list_filter(factories, wanted, GST_PAD_SINK, FALSE);
    const bool installed = takers != nullptr;
    gst_plugin_feature_list_free(takers);
    gst_plugin_feature_list_free(factories);
    gst_caps_unref(wanted);
    return installed;
}

// What the discoverer found missing for the file's pictures, for the user; empty when nothing, or
// only a decoder of sound, subtitles or other data that is never shown. A file of a type that is
// never media sets notMedia to that type instead; one that an installed element was found missing
// for, because it refused the file, sets refusedBy to that element's description
// ("H.264 (High Profile) decoder").
QString missingForPictures(GstDiscovererInfo* info, QString* notMedia, QString* refusedBy)
{
    const gchar** details = gst_discoverer_info_get_missing_elements_installer_details(info);
    for (; details && *details; ++details) {
        // "gstreamer|1.0|program|H.264 (High Profile) decoder|decoder-video/x-h264, level=..."
        const QStringList fields = QString::fromUtf8(*details).split(QLatin1Char('|'));
        if (fields.size() < 5) {
            continue;
        }
        const QString need = fields.at(4);
        QString caps = need.section(QLatin1Char('-'), 1);
        static const QStringList unseen{QStringLiteral("audio/"), QStringLiteral("text/"),
                                        QStringLiteral("subpicture/"), QStringLiteral("subtitle/"),
                                        QStringLiteral("closedcaption/"), QStringLiteral("application/x-subtitle"),
                                        QStringLiteral("application/x-ssa"), QStringLiteral("application/x-ass")};
        if (std::any_of(unseen.begin(), unseen.end(), [&caps](const QString& kind) { return caps.startsWith(kind); })) {
            continue;
        }
        if (neverMedia(caps)) {
            *notMedia = caps.section(QLatin1Char(','), 0, 0).trimmed();
            return QString();
        }
        if (installedFor(caps)) {
            *refusedBy = fields.at(3);
            continue;
        }
        return QStringLiteral("it needs GStreamer's %1, which is not installed: %2").arg(fields.at(3), packageFor(caps));
    }
    return QString();
}

// Tells whether the process was held still (stopped and continued, or not run at all for a long
// while) between its making and held(): a thread wakes every 50 ms, and the longest time between
// two wakings, its making and its first waking, or its last waking and held(), is kept. Without
// a thread to be had, it answers yes.
class HeldWatch
{
public:
    HeldWatch()
    {
        try {
            ticker = std::thread([this] { tick(); });
            started = true;
        } catch (...) {
            // no thread: held() says yes, the careful answer
        }
    }
    ~HeldWatch() { finish(); }

    bool held()
    {
        finish();
        return !started || longestGap >= std::chrono::milliseconds(500);
    }

private:
    void seen() // with mutex held
    {
        const auto now = std::chrono::steady_clock::now();
        longestGap = std::max(longestGap, std::chrono::duration_cast<std::chrono::milliseconds>(now - last));
        last = now;
    }
    void tick()
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (!done) {
            seen();
            wake.wait_for(lock, std::chrono::milliseconds(50));
        }
    }
    void finish()
    {
        if (!ticker.joinable()) {
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            seen();
            done = true;
        }
        wake.notify_all();
        ticker.join();
    }

    std::mutex mutex;
    std::condition_variable wake;
    bool done = false;
    bool started = false;
    // Taken before the thread is started: a stop before its first waking counts too.
    std::chrono::steady_clock::time_point last = std::chrono::steady_clock::now();
    std::chrono::milliseconds longestGap{0};
    std::thread ticker;
};

} // namespace

VideoShape videoShape(const QString& path, std::chrono::milliseconds firstWait)
{
    VideoShape shape;
    const QFileInfo file(path);
    if (!file.isFile() || !gst_init_check(nullptr, nullptr, nullptr)) {
        return shape;
    }
    gchar* uri = gst_filename_to_uri(file.absoluteFilePath().toLocal8Bit().constData(), nullptr);
    if (!uri) {
        return shape;
    }
    GstDiscovererInfo* info = nullptr;
    const std::chrono::milliseconds secondWait = std::chrono::seconds(30);
    for (const auto wait : {firstWait, std::max(firstWait, secondWait)}) {
        GstDiscoverer* discoverer = gst_discoverer_new(GstClockTime(std::max<qint64>(wait.count(), 1000)) * GST_MSECOND, nullptr);
        if (!discoverer) {
            break;
        }
        if (info) {
            gst_discoverer_info_unref(info);
        }
        HeldWatch watch;
        GError* error = nullptr;
        info = gst_discoverer_discover_uri(discoverer, uri, &error);
        shape.undecodable.clear();
        if (error && error->domain == GST_STREAM_ERROR && info
            && gst_discoverer_info_get_result(info) == GST_DISCOVERER_ERROR) {
            shape.undecodable = QString::fromUtf8(error->message);
        }
        if (error) {
            g_error_free(error);
        }
        g_object_unref(discoverer);
        // The wait is counted on the wall clock: a process held still meanwhile finds it over
        // when it runs again, and reads again. A damaged file that holds the reader up on its
        // own (about one read in four of a cut MP4) is not waited for a second time.
        if (!info || gst_discoverer_info_get_result(info) != GST_DISCOVERER_TIMEOUT || !watch.held()) {
            break;
        }
    }
    int degrees = 0;
    if (info && gst_discoverer_info_get_result(info) == GST_DISCOVERER_MISSING_PLUGINS) {
        QString refusedBy;
        shape.missingPlugin = missingForPictures(info, &shape.notMedia, &refusedBy);
        if (shape.missingPlugin.isEmpty() && shape.notMedia.isEmpty() && !refusedBy.isEmpty()) {
            shape.undecodable = QStringLiteral("GStreamer's %1 is installed but refuses it").arg(refusedBy);
        }
    }
    if (info && gst_discoverer_info_get_result(info) == GST_DISCOVERER_OK) {
        const GstClockTime length = gst_discoverer_info_get_duration(info);
        if (GST_CLOCK_TIME_IS_VALID(length)) {
            shape.duration = double(length) / GST_SECOND;
        }
        GList* streams = gst_discoverer_info_get_video_streams(info);
        shape.noVideo = !streams;
        if (streams) {
            auto* stream = GST_DISCOVERER_STREAM_INFO(streams->data);
            degrees = turnInTags(gst_discoverer_stream_info_get_tags(stream));
            if (GST_IS_DISCOVERER_VIDEO_INFO(stream)) {
                shape.width = int(gst_discoverer_video_info_get_width(GST_DISCOVERER_VIDEO_INFO(stream)));
                shape.height = int(gst_discoverer_video_info_get_height(GST_DISCOVERER_VIDEO_INFO(stream)));
                const guint frames = gst_discoverer_video_info_get_framerate_num(GST_DISCOVERER_VIDEO_INFO(stream));
                const guint seconds = gst_discoverer_video_info_get_framerate_denom(GST_DISCOVERER_VIDEO_INFO(stream));
                if (frames > 0 && seconds > 0) {
                    shape.frameRate = double(frames) / seconds;
                }
            }
        }
        if (degrees == 0) {
            degrees = turnInTags(gst_discoverer_info_get_tags(info));
        }
        if (GstDiscovererStreamInfo* top = gst_discoverer_info_get_stream_info(info)) {
            if (GstCaps* caps = gst_discoverer_stream_info_get_caps(top)) {
                const GstStructure* container = gst_caps_get_size(caps) > 0 ? gst_caps_get_structure(caps, 0) : nullptr;
                shape.lengthFromFileZero = container
                    && (gst_structure_has_name(container, "video/x-matroska")
                        || gst_structure_has_name(container, "video/webm"));
                gst_caps_unref(caps);
            }
            gst_discoverer_stream_info_unref(top);
        }
        gst_discoverer_stream_info_list_free(streams);
    }
    if (info) {
        gst_discoverer_info_unref(info);
    }
    g_free(uri);
    shape.turn = degrees;
    return shape;
}

QString frameSizeProblem(const VideoShape& shape)
{
    if (shape.width <= maximumFrameSide && shape.height <= maximumFrameSide) {
        return QString();
    }
    return QStringLiteral("its frames are %1 x %2 pixels; videos are read up to %3 pixels a side")
        .arg(shape.width)
        .arg(shape.height)
        .arg(maximumFrameSide);
}

QString shapeProblem(const VideoShape& shape)
{
    if (!shape.missingPlugin.isEmpty()) {
        return shape.missingPlugin;
    }
    if (!shape.notMedia.isEmpty()) {
        return QStringLiteral("it is not a video but a file of type %1").arg(shape.notMedia);
    }
    if (shape.noVideo) {
        return QStringLiteral("it holds no video stream that can be played, only sound or other data");
    }
    return frameSizeProblem(shape);
}

} // namespace video
