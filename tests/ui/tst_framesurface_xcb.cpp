// The camera and the player hand their frames to a FrameSurface alone. On X11 Qt Multimedia
// also makes, with every camera and player, a sink for each native-window output it offers, and
// finds one by starting every installed video sink that draws into windows in turn: where only
// a DRM or a Wayland sink is installed, 2.6 s on the window's thread for each source chosen.
// Run on an X server of the test's own (the offscreen platform skips that search).
#include "tests/support/ownxdisplay.h"
#include "ui/camerasource.h"
#include "ui/videosource.h"

#include <QApplication>
#include <QCameraInfo>
#include <QMutex>
#include <QRegularExpression>
#include <QtTest>

#include <gst/gst.h>

#include <cstring>

namespace {

QMutex madeLock;
QStringList made; // the elements GStreamer made since the list was last cleared, by factory name

// GStreamer's log hook, any thread: notes each element its factory says it creates.
void noteMadeElement(GstDebugCategory* category, GstDebugLevel level, const gchar*, const gchar*, gint, GObject*,
                     GstDebugMessage* message, gpointer)
{
    if (level != GST_LEVEL_INFO || std::strcmp(gst_debug_category_get_name(category), "GST_ELEMENT_FACTORY") != 0) {
        return;
    }
    static const QRegularExpression creating(QStringLiteral("^creating element \"([^\"]+)\""));
    const QRegularExpressionMatch match = creating.match(QString::fromUtf8(gst_debug_message_get(message)));
    if (match.hasMatch()) {
        const QMutexLocker hold(&madeLock);
        made.append(match.captured(1));
    }
}

// Whether the factory of that name makes a video sink that draws into a native window.
bool drawsIntoWindows(const QByteArray& name)
{
    GstElementFactory* factory = gst_element_factory_find(name.constData());
    if (!factory) {
        return false;
    }
    const char* kind = gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_KLASS);
    const bool draws = kind && std::strstr(kind, "Sink") && std::strstr(kind, "Video")
                       && gst_element_factory_has_interface(factory, "GstVideoOverlay");
    gst_object_unref(factory);
    return draws;
}

} // namespace

class tst_FrameSurfaceXcb : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void sourceLooksForNoWindowSink_data();
    void sourceLooksForNoWindowSink();

private:
    QTemporaryDir folder;
    bool hooked = false;
};

void tst_FrameSurfaceXcb::initTestCase()
{
    if (QGuiApplication::platformName() != QLatin1String("xcb")) {
        QSKIP("an X display of the test's own needs Xvfb (apt-get install xvfb)");
    }
    gst_init(nullptr, nullptr);
    // What Qt would start in its search: the video sinks with a rank that draw into windows.
    GList* sinks = gst_element_factory_list_get_elements(
        GST_ELEMENT_FACTORY_TYPE_SINK | GST_ELEMENT_FACTORY_TYPE_MEDIA_VIDEO, GST_RANK_MARGINAL);
    bool any = false;
    for (GList* item = sinks; item; item = item->next) {
        any = any || drawsIntoWindows(GST_OBJECT_NAME(item->data));
    }
    gst_plugin_feature_list_free(sinks);
    if (!any) {
        QSKIP("no video sink that draws into windows is installed: there is nothing to search");
    }
    gst_debug_remove_log_function(gst_debug_log_default);
    gst_debug_add_log_function(noteMadeElement, nullptr, nullptr);
    hooked = true;
    gst_debug_set_threshold_for_name("GST_ELEMENT_FACTORY", GST_LEVEL_INFO);
    gst_debug_set_active(TRUE);
}

void tst_FrameSurfaceXcb::cleanupTestCase()
{
    // Nothing is noted into the list as the program ends.
    if (hooked) {
        gst_debug_remove_log_function(noteMadeElement);
    }
}

void tst_FrameSurfaceXcb::sourceLooksForNoWindowSink_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("pipeline"); // the element the source is built on
    QTest::newRow("camera") << QStringLiteral("camera") << QStringLiteral("camerabin");
    QTest::newRow("face video") << QStringLiteral("video") << QStringLiteral("playbin");
    // A second one made in the same program searches as the first would.
    QTest::newRow("camera again") << QStringLiteral("camera") << QStringLiteral("camerabin");
}

void tst_FrameSurfaceXcb::sourceLooksForNoWindowSink()
{
    QFETCH(QString, source);
    QFETCH(QString, pipeline);
    {
        const QMutexLocker hold(&madeLock);
        made.clear();
    }
    if (source == QLatin1String("camera")) {
        // No such device: the camera's back end and its outputs are made all the same.
        ui::CameraFrameSource camera{QCameraInfo()};
    } else {
        ui::VideoFrameSource video(folder.filePath(QStringLiteral("face.mp4")));
    }
    const QMutexLocker hold(&madeLock);
    // The elements are seen being made at all: else the check below would hold for nothing.
    QVERIFY2(made.contains(pipeline), qPrintable(made.join(QLatin1Char(' '))));
    QStringList windowSinks;
    for (const QString& name : qAsConst(made)) {
        if (drawsIntoWindows(name.toUtf8())) {
            windowSinks.append(name);
        }
    }
    QVERIFY2(windowSinks.isEmpty(), qPrintable(windowSinks.join(QLatin1Char(' '))));
}

int main(int argc, char* argv[])
{
    OwnXDisplay display; // before the application object, which connects to it
    QApplication application(argc, argv);
    tst_FrameSurfaceXcb test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_framesurface_xcb.moc"
