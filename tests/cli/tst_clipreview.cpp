// facemask-cli preview, started as a user starts it, against the renderer called in process.
#include "face_detection_module/facedetectionmodule.h"
#include "tests/support/processlimit.h"
#include "tests/support/programrun.h"
#include "core/facemaskproject.h"
#include "core/facialpoints.h"
#include "core/imagefiles.h"
#include "core/pngcodec.h"
#include "face_detection_module/landmarkpipeline.h"
#include "preview/maskrenderer.h"
#include "tests/support/testimages.h"

#include <QImageReader>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

using Run = ProgramRun;

// Why a child cannot be run under an address-space limit here; empty when it can.
QString memoryLimitUnavailable()
{
#if defined(__SANITIZE_ADDRESS__)
    return QStringLiteral("AddressSanitizer reserves more address space than the limit");
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return QStringLiteral("AddressSanitizer reserves more address space than the limit");
#endif
#endif
    if (QStandardPaths::findExecutable(QStringLiteral("prlimit")).isEmpty()) {
        return QStringLiteral("prlimit (util-linux) is needed to limit the child's memory");
    }
    return QString();
}

// facemask-cli under an address-space limit of limit bytes. glibc gives each thread that
// allocates a heap of its own, reserving 64 MB of address space for it while there is room: the
// room left for the pictures would shrink with every core. The child has one heap for all.
Run runCliWithin(qint64 limit, const QStringList& arguments)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("MALLOC_ARENA_MAX"), QStringLiteral("1"));
    return runProgram(QStringLiteral("prlimit"),
                      QStringList{QStringLiteral("--as=%1").arg(limit), QStringLiteral(FACEMASK_CLI_PROGRAM)} + arguments,
                      QString(), QString(), 120000, environment);
}

Run runCli(const QStringList& arguments)
{
    return runProgram(QStringLiteral(FACEMASK_CLI_PROGRAM), arguments, QString(), QString(), 120000);
}

} // namespace

class tst_CliPreview : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void previewEqualsTheWindowsRenderer_data();
    void previewEqualsTheWindowsRenderer();
    void failures_data();
    void failures();
    void faceCutByTheEdgeHasItsMaskCutThere();
    void pictureOrVideoIsToldByTheInputs_data();
    void pictureOrVideoIsToldByTheInputs();
    void maskPictureBeyondMemoryFailsTheRun();
    void facePictureBeyondMemoryIsNotCalledFaceless();
    void pictureBeyondMemoryIsNotCalledDamaged_data();
    void pictureBeyondMemoryIsNotCalledDamaged();

private:
    QString writePackage(int type);
    qint64 smallPreviewNeeds();
    qint64 withRoom(qint64 roomMb);

    std::unique_ptr<QTemporaryDir> folder;
    std::unique_ptr<core::FaceDetectionModule> module;
    QImage maskPicture;
    core::FacialPointVector maskPoints;
    qint64 smallPreview = 0;
};

void tst_CliPreview::initTestCase()
{
    folder = std::make_unique<QTemporaryDir>();
    module = core::FaceDetectionModule::load();
    QVERIFY2(module, "the landmark model shape_predictor.dat is missing from the working folder");
    maskPicture = core::readImageFile(testimages::testPicture("astronaut.png"));
    maskPoints = core::runLandmarkPipeline(*module, maskPicture).points;
    QCOMPARE(int(maskPoints.size()), 75);
}

QString tst_CliPreview::writePackage(int type)
{
    core::FaceMaskProject project;
    project.setName(QStringLiteral("astronaut"));
    project.setEffectType(type);
    project.facialPoints()->setImage(maskPicture);
    project.facialPoints()->setPoints(maskPoints);
    const QString path = folder->filePath(QStringLiteral("mask-%1.pmk").arg(type));
    return project.save(path) ? path : QString();
}

// The least address space, to 8 MB, in which facemask-cli previews the small mask on the small
// face: what the program, its libraries, the model and its threads (a pool thread a core, each
// with its stack) take on this machine; the limits below give room beyond it. -1 when no limit
// lets it succeed.
qint64 tst_CliPreview::smallPreviewNeeds()
{
    if (smallPreview != 0) {
        return smallPreview;
    }
    smallPreview = -1;
    const QString package = writePackage(core::FaceOnly);
    if (package.isEmpty()) {
        return smallPreview;
    }
    const auto succeeds = [&](qint64 limit) {
        return runCliWithin(limit, {QStringLiteral("preview"), package,
                                    testimages::testPicture("Tom_Cruise_avp_2014_4.jpg"), QStringLiteral("-o"),
                                    folder->filePath(QStringLiteral("small-preview.png")), QStringLiteral("--force")})
                   .status
               == 0;
    };
    smallPreview = leastSucceedingLimit(succeeds, qint64(128) << 20, qint64(16) << 30, 8 << 20);
    return smallPreview;
}

// A limit of roomMb megabytes beyond what a small preview needs; -1 when that is unknown.
qint64 tst_CliPreview::withRoom(qint64 roomMb)
{
    const qint64 base = smallPreviewNeeds();
    return base < 0 ? -1 : base + roomMb * 1'000'000;
}

void tst_CliPreview::previewEqualsTheWindowsRenderer_data()
{
    QTest::addColumn<int>("type");
    QTest::newRow("face-only") << int(core::FaceOnly);
    QTest::newRow("whole-image") << int(core::WholeImage);
    QTest::newRow("full-frame-effect") << int(core::FullFrame);
}

void tst_CliPreview::previewEqualsTheWindowsRenderer()
{
    QFETCH(int, type);
    const QString package = writePackage(type);
    QVERIFY(!package.isEmpty());
    const QString facePath = testimages::testPicture("Tom_Cruise_avp_2014_4.jpg");
    const QString out = folder->filePath(QStringLiteral("preview-%1.png").arg(type));
    const Run run = runCli({QStringLiteral("preview"), package, facePath, QStringLiteral("-o"), out});
    QVERIFY2(run.status == 0, qPrintable(describe(run)));
    QVERIFY(run.out.startsWith(out.toUtf8() + ": 565x800"));

    // The package as the window loads it, on the face the same pipeline finds.
    core::FaceMaskProject loaded;
    QVERIFY(loaded.load(package));
    QCOMPARE(loaded.effectType(), type);
    const QImage face = core::readImageFile(facePath);
    preview::MaskRenderer renderer;
    renderer.setPicture(loaded.facialPoints()->image());
    renderer.setPoints(loaded.facialPoints()->points());
    renderer.setEffectType(loaded.effectType());
    const QImage expected = renderer.render(face, core::runLandmarkPipeline(*module, face).points);
    QFile file(out);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.read(8).startsWith("\x89PNG"));
    QCOMPARE(QImage(out).convertToFormat(QImage::Format_RGB32), expected);
    QVERIFY(expected != face.convertToFormat(QImage::Format_RGB32));
}

void tst_CliPreview::failures_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");
    QTest::newRow("no-output-option") << "no-output" << 2 << "no output file given";
    QTest::newRow("one-input-only") << "one-input" << 2 << "a package and a face picture are needed";
    QTest::newRow("refused-package") << "bad-package" << 1 << "broken.png: refused: not a ZIP archive";
    QTest::newRow("unreadable-face-picture") << "bad-picture" << 1 << "broken.png";
    QTest::newRow("picture-without-face") << "no-face" << 1 << "no face found";
    QTest::newRow("output-under-a-regular-file") << "bad-output" << 1 << "out.png: Not a directory";
    QTest::newRow("every-is-for-videos") << "every" << 2
                                         << "--every is an option for a video (PACKAGE VIDEO -o DIR); a picture's "
                                            "preview takes -o OUT.png, --force and --model";
    QTest::newRow("steady-is-for-videos") << "steady" << 2 << "--steady is an option for a video";
    QTest::newRow("picture-before-package")
        << "swapped-picture" << 1
        << "refused: not a ZIP archive (the package comes first: facemask-cli preview PACKAGE PICTURE -o OUT.png)";
    QTest::newRow("video-before-package")
        << "swapped-video" << 1
        << "clip.mp4: refused: not a ZIP archive (the package comes first: facemask-cli preview PACKAGE VIDEO -o DIR)";
}

void tst_CliPreview::failures()
{
    QFETCH(QString, what);
    QFETCH(int, status);
    QFETCH(QString, message);
    const QString package = writePackage(core::FaceOnly);
    const QString notPackage = folder->filePath(QStringLiteral("broken.png"));
    QFile broken(notPackage);
    QVERIFY(broken.open(QIODevice::WriteOnly));
    broken.write("neither a package nor a picture");
    broken.close();
    const QString face = testimages::testPicture("Tom_Cruise_avp_2014_4.jpg");
    const QString out = folder->filePath(QStringLiteral("failed.png"));
    QFile::remove(out);
    QStringList arguments{QStringLiteral("preview")};
    if (what == QLatin1String("no-output")) {
        arguments << package << face;
    } else if (what == QLatin1String("one-input")) {
        arguments << package << QStringLiteral("-o") << out;
    } else if (what == QLatin1String("bad-package")) {
        arguments << notPackage << face << QStringLiteral("-o") << out;
    } else if (what == QLatin1String("bad-picture")) {
        arguments << package << notPackage << QStringLiteral("-o") << out;
    } else if (what == QLatin1String("every")) {
        arguments << package << face << QStringLiteral("-o") << out << QStringLiteral("--every") << QStringLiteral("2");
    } else if (what == QLatin1String("steady")) {
        arguments << QStringLiteral("--steady") << package << face << QStringLiteral("-o") << out;
    } else if (what == QLatin1String("swapped-picture")) {
        arguments << face << package << QStringLiteral("-o") << out;
    } else if (what == QLatin1String("swapped-video")) {
        // Told a video by its name; the folder after -o exists, as a video's output often does.
        const QString clip = folder->filePath(QStringLiteral("clip.mp4"));
        QFile video(clip);
        QVERIFY(video.open(QIODevice::WriteOnly));
        video.write("frames");
        video.close();
        QVERIFY(QDir(folder->path()).mkpath(QStringLiteral("frames")));
        arguments << clip << package << QStringLiteral("-o") << folder->filePath(QStringLiteral("frames"));
    } else if (what == QLatin1String("no-face")) {
        arguments << package << testimages::testPicture("chelsea.png") << QStringLiteral("-o") << out;
    } else {
        // The parent is a regular file: the write fails even as root.
        arguments << package << face << QStringLiteral("-o") << notPackage + QStringLiteral("/out.png");
    }
    const Run run = runCli(arguments);
    QVERIFY2(run.status == status, qPrintable(describe(run)));
    QVERIFY2(run.err.contains(message.toUtf8()), qPrintable(describe(run)));
    QVERIFY(run.out.isEmpty());
    QVERIFY(!QFile::exists(out));
}

// A face cut by the picture's edge: dlib places its hidden points beyond the edge. Drawn on
// those points, the mask is cut by the edge as the face is; drawn on the points a package would
// store (moved onto the edge), its hidden side would be squeezed into the first pixels.
void tst_CliPreview::faceCutByTheEdgeHasItsMaskCutThere()
{
    const QString package = writePackage(core::FaceOnly);
    QVERIFY(!package.isEmpty());
    const QImage whole = core::readImageFile(testimages::testPicture("Tom_Cruise_avp_2014_4.jpg"));
    const QImage cut = whole.copy(170, 0, whole.width() - 170, whole.height());
    const QString cutPath = folder->filePath(QStringLiteral("cut.png"));
    QVERIFY(cut.save(cutPath));
    const core::DetectionResult found = core::runLandmarkPipeline(*module, cut);
    QCOMPARE(found.faceCount, 1);
    const core::DetectedFace& face = found.faces[found.placed];
    int beyond = 0;
    for (std::size_t i = 0; i < face.points.size(); ++i) {
        if (face.framePoints[i].x() < 0) {
            ++beyond;
            QCOMPARE(face.points[i].x(), 0.0);
        } else {
            QCOMPARE(face.framePoints[i], face.points[i]);
        }
    }
    QVERIFY2(beyond >= 3, qPrintable(QString::number(beyond)));

    const QString out = folder->filePath(QStringLiteral("cut-preview.png"));
    const Run run = runCli({QStringLiteral("preview"), package, cutPath, QStringLiteral("-o"), out});
    QVERIFY2(run.status == 0, qPrintable(describe(run)));
    preview::MaskRenderer renderer;
    renderer.setPicture(maskPicture);
    renderer.setPoints(maskPoints);
    const QImage expected = renderer.render(cut, face.framePoints);
    QCOMPARE(QImage(out).convertToFormat(QImage::Format_RGB32), expected);
    QVERIFY(expected != renderer.render(cut, face.points));
}

void tst_CliPreview::pictureOrVideoIsToldByTheInputs_data()
{
    // PACKAGE and FACE stand for a package and a face picture; -face.jpg and face are copies of
    // the picture in the run's folder, -clip.mp4 a video that is not there.
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("png");      // the PNG file written; empty: none
    QTest::addColumn<QString>("message");  // a piece of stderr
    QTest::newRow("picture-output-named-like-a-video")
        << QStringList{"PACKAGE", "FACE", "-o", "result.mov"} << 0 << "result.mov" << "";
    QTest::newRow("picture-output-given-first")
        << QStringList{"-o", "first.mp4", "PACKAGE", "FACE"} << 0 << "first.mp4" << "";
    QTest::newRow("picture-named-without-a-suffix")
        << QStringList{"PACKAGE", "face", "-o", "nosuffix.png"} << 0 << "nosuffix.png" << "";
    QTest::newRow("picture-with-a-dash-after-double-dash")
        << QStringList{"-o", "dash.png", "--", "PACKAGE", "-face.jpg"} << 0 << "dash.png" << "";
    QTest::newRow("video-with-a-dash-after-double-dash")
        << QStringList{"-o", "frames", "--every", "15", "--", "PACKAGE", "-clip.mp4"} << 1 << ""
        << "-clip.mp4: ";
}

void tst_CliPreview::pictureOrVideoIsToldByTheInputs()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, png);
    QFETCH(QString, message);
    QTemporaryDir runFolder;
    QVERIFY(runFolder.isValid());
    const QString face = testimages::testPicture("Tom_Cruise_avp_2014_4.jpg");
    QVERIFY(QFile::copy(face, runFolder.filePath(QStringLiteral("-face.jpg"))));
    QVERIFY(QFile::copy(face, runFolder.filePath(QStringLiteral("face"))));
    const QString package = writePackage(core::FaceOnly);
    QVERIFY(!package.isEmpty());
    arguments.replaceInStrings(QRegularExpression(QStringLiteral("^PACKAGE$")), package);
    arguments.replaceInStrings(QRegularExpression(QStringLiteral("^FACE$")), face);
    arguments.prepend(QFileInfo(QStringLiteral("shape_predictor.dat")).absoluteFilePath());
    arguments.prepend(QStringLiteral("--model"));
    arguments.prepend(QStringLiteral("preview"));
    const Run run = runProgram(QStringLiteral(FACEMASK_CLI_PROGRAM), arguments, runFolder.path(), QString(), 120000);
    QVERIFY2(run.status == status, qPrintable(describe(run)));
    QVERIFY2(run.err.contains(message.toUtf8()), qPrintable(describe(run)));
    if (!png.isEmpty()) {
        QFile written(runFolder.filePath(png));
        QVERIFY2(written.open(QIODevice::ReadOnly), qPrintable(png + " is not a file"));
        QVERIFY(written.read(8).startsWith("\x89PNG"));
    }
}

// The renderer keeps a premultiplied copy of a mask picture with see-through pixels, and its
// halved levels. A child that has room for the package's picture but not for that copy must
// fail, not write the face as it is and call it a preview.
void tst_CliPreview::maskPictureBeyondMemoryFailsTheRun()
{
    if (const QString why = memoryLimitUnavailable(); !why.isEmpty()) {
        QSKIP(qPrintable(why));
    }
    // 80 megapixels: 320 MB a copy. The limit leaves room for reading the picture (decoded
    // through a second buffer), the model and a small face, not for a second copy beside it.
    constexpr int width = 10000;
    constexpr int height = 8000;
    const qint64 addressSpaceLimit = withRoom(585);
    QVERIFY2(addressSpaceLimit > 0, "no limit lets even a small preview succeed");
    QImage big(width, height, QImage::Format_ARGB32);
    QVERIFY(!big.isNull());
    big.fill(qRgba(200, 120, 90, 200));
    core::FacialPointVector points;
    for (const QPointF& point : maskPoints) {
        points.emplace_back(point.x() * width / maskPicture.width(), point.y() * height / maskPicture.height());
    }
    core::FaceMaskProject project;
    project.setName(QStringLiteral("big"));
    project.facialPoints()->setImage(big);
    project.facialPoints()->setPoints(points);
    big = QImage();
    const QString package = folder->filePath(QStringLiteral("big.pmk"));
    QVERIFY(project.save(package));
    project.facialPoints()->setImage(QImage());

    const QString out = folder->filePath(QStringLiteral("big-preview.png"));
    QFile::remove(out);
    const Run run = runCliWithin(addressSpaceLimit, {QStringLiteral("preview"), package,
                                                     testimages::testPicture("Tom_Cruise_avp_2014_4.jpg"),
                                                     QStringLiteral("-o"), out});
    QVERIFY2(run.status == 1, qPrintable(describe(run)));
    QVERIFY2(run.err.contains("big.pmk: the mask picture could not be prepared (out of memory)"),
             qPrintable(describe(run)));
    QVERIFY(run.out.isEmpty());
    QVERIFY(!QFile::exists(out));
}

// A face picture that is read but leaves no room for detection is told as such: "no face
// found" would send the user looking for a fault in a picture that has a face.
void tst_CliPreview::facePictureBeyondMemoryIsNotCalledFaceless()
{
    if (const QString why = memoryLimitUnavailable(); !why.isEmpty()) {
        QSKIP(qPrintable(why));
    }
    // 65 megapixels of a face: read within the limit, its detection copies not.
    const qint64 addressSpaceLimit = withRoom(500);
    QVERIFY2(addressSpaceLimit > 0, "no limit lets even a small preview succeed");
    const QString facePath = folder->filePath(QStringLiteral("big-face.jpg"));
    {
        const QImage face = core::readImageFile(testimages::testPicture("Tom_Cruise_avp_2014_4.jpg"));
        QVERIFY(face.scaled(face.width() * 12, face.height() * 12).save(facePath, "JPEG", 85));
    }
    const QString package = writePackage(core::FaceOnly);
    QVERIFY(!package.isEmpty());
    const QString out = folder->filePath(QStringLiteral("big-face-preview.png"));
    QFile::remove(out);
    const Run run = runCliWithin(addressSpaceLimit, {QStringLiteral("preview"), package, facePath,
                                                     QStringLiteral("-o"), out});
    QVERIFY2(run.status == 1, qPrintable(describe(run)));
    QVERIFY2(run.err.contains("big-face.jpg: the picture could not be processed (out of memory)"),
             qPrintable(describe(run)));
    QVERIFY(!QFile::exists(out));
}

// A sound picture whose pixels cannot be had is told as such: "cannot be decoded" would have the
// user take a good photo for a damaged one.
void tst_CliPreview::pictureBeyondMemoryIsNotCalledDamaged_data()
{
    QTest::addColumn<bool>("seeThrough");
    QTest::addColumn<int>("roomMb");
    QTest::newRow("opaque") << false << 200;
    // Its rows are read through a second buffer as large as the picture: the picture's pixels
    // fit, that buffer does not.
    QTest::newRow("see-through") << true << 500;
}

void tst_CliPreview::pictureBeyondMemoryIsNotCalledDamaged()
{
    QFETCH(bool, seeThrough);
    QFETCH(int, roomMb);
    if (const QString why = memoryLimitUnavailable(); !why.isEmpty()) {
        QSKIP(qPrintable(why));
    }
    // 100 megapixels, 400 MB decoded. Within the limit the program starts, maps the model and
    // reads the file, but the decoder cannot have the memory it needs: it only fails then.
    // (With less, an earlier allocation throws and the reader says "out of memory" itself.)
    constexpr int side = 10000;
    const QString path = folder->filePath(QStringLiteral("big-plain.png"));
    {
        QImage plain(side, side, seeThrough ? QImage::Format_ARGB32 : QImage::Format_RGB32);
        QVERIFY(!plain.isNull());
        plain.fill(qRgba(200, 120, 80, seeThrough ? 200 : 255));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write(core::png::encode(plain)) > 0);
    }
    QImageReader header(path);
    QCOMPARE(header.size(), QSize(side, side));
    const qint64 addressSpaceLimit = withRoom(roomMb);
    QVERIFY2(addressSpaceLimit > 0, "no limit lets even a small preview succeed");
    const Run run = runCliWithin(addressSpaceLimit, {QStringLiteral("detect"), path});
    QVERIFY2(run.status == 1, qPrintable(describe(run)));
    QVERIFY2(run.err.contains("big-plain.png: picture: not enough memory for its 10000 x 10000 pixels")
                 || run.err.contains("big-plain.png: picture: out of memory"),
             qPrintable(describe(run)));
}

QTEST_MAIN(tst_CliPreview)
#include "tst_clipreview.moc"
