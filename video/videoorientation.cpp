#include "video/videoorientation.h"

#include <QFileInfo>

#include <gst/gst.h>
#include <gst/pbutils/pbutils.h>

namespace video {

namespace {

constexpr GstClockTime discoveryTimeout = 5 * GST_SECOND;

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

int uprightTurn(const QString& path)
{
    const QFileInfo file(path);
    if (!file.isFile() || !gst_init_check(nullptr, nullptr, nullptr)) {
        return 0;
    }
    GstDiscoverer* discoverer = gst_discoverer_new(discoveryTimeout, nullptr);
    if (!discoverer) {
        return 0;
    }
    int degrees = 0;
    gchar* uri = gst_filename_to_uri(file.absoluteFilePath().toLocal8Bit().constData(), nullptr);
    GstDiscovererInfo* info = uri ? gst_discoverer_discover_uri(discoverer, uri, nullptr) : nullptr;
    if (info && gst_discoverer_info_get_result(info) == GST_DISCOVERER_OK) {
        GList* streams = gst_discoverer_info_get_video_streams(info);
        if (streams) {
            degrees = turnInTags(gst_discoverer_stream_info_get_tags(GST_DISCOVERER_STREAM_INFO(streams->data)));
        }
        if (degrees == 0) {
            degrees = turnInTags(gst_discoverer_info_get_tags(info));
        }
        gst_discoverer_stream_info_list_free(streams);
    }
    if (info) {
        gst_discoverer_info_unref(info);
    }
    g_free(uri);
    g_object_unref(discoverer);
    return degrees;
}

} // namespace video
