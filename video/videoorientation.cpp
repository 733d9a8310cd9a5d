#include "video/videoorientation.h"

#include <QFileInfo>

#include <algorithm>

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
        GstDiscoverer* discoverer = gst_discoverer_new(GstClockTime(std::max<qint64>(wait.count(), 1)) * GST_MSECOND, nullptr);
        if (!discoverer) {
            break;
        }
        if (info) {
            gst_discoverer_info_unref(info);
        }
        info = gst_discoverer_discover_uri(discoverer, uri, nullptr);
        g_object_unref(discoverer);
        if (!info || gst_discoverer_info_get_result(info) != GST_DISCOVERER_TIMEOUT) {
            break;
        }
    }
    int degrees = 0;
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
    if (shape.noVideo) {
        return QStringLiteral("it holds no video stream that can be played, only sound or other data");
    }
    return frameSizeProblem(shape);
}

} // namespace video
