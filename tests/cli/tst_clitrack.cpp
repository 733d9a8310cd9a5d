// facemask-cli track and preview on videos made here: a face photo moved with known zoom, turn
// and pan, encoded with ffmpeg, then tracked by the real program with and without --steady.
#include "face_detection_module/facedetectionmodule.h"
#include "tests/support/programrun.h"
#include "core/imagefiles.h"
#include "face_detection_module/landmarkpipeline.h"
#include "video/videoorientation.h"
#include "video/videoreader.h"
#include "tests/support/injectedfault.h"
#include "tests/support/knownmotion.h"
#include "tests/support/reducedgstreamer.h"
#include "tests/support/testclips.h"
#include "tests/support/testimages.h"

#include <QDir>
#include <QStandardPaths>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QRandomGenerator>
#include <QTransform>
#include <QtTest>

#include <csignal>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using Run = ProgramRun;

Run runCli(const QStringList& arguments)
{
    return runProgram(QStringLiteral(FACEMASK_CLI_PROGRAM), arguments);
}

} // namespace

class tst_CliTrack : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void everyFrameInTheDetectForm();
    void framesWithoutAFaceGetTheWholeFrameMarkup();
    void steadyCutsJitterWithoutLag();
    void stillFaceIsFollowedWhereItIsFound();
    void damagedVideoFails();
    void damagedHeadersAreRefusedAsTheFileOpens_data();
    void damagedHeadersAreRefusedAsTheFileOpens();
    void refusingDecoderIsNotSaidToBeMissing();
    void videoCutShortIsSaidToBe();
    void lostStandardOutputStopsTheReading_data();
    void lostStandardOutputStopsTheReading();
    void unansweringDiskEndsTheReadingWithoutWaiting();
    void failingDiskIsToldFromADamagedFile();
    void animatedGifGivesEveryFrameWithItsTime();
    void gifCutInsideAFrameIsRefused();
    void sidewaysVideoIsReadUpright();
    void shapeOutlivesAStopWhileItIsRead();
    void damagedFileIsNotReadTwice();
    void frameSizeChangeFindsTheFacesAnew();
    void anamorphicVideoIsReadWithSquarePixels();
    void previewWritesEveryNthFrame();
    void previewCountsTheFramesItWrote_data();
    void previewCountsTheFramesItWrote();
    void previewTellsAVideoWhateverItsName_data();
    void previewTellsAVideoWhateverItsName();
    void interruptBeforeTheFirstFileLeavesNoFolder_data();
    void interruptBeforeTheFirstFileLeavesNoFolder();
    void argumentsTooManyAreNamed_data();
    void argumentsTooManyAreNamed();
    void videoGivenForAPictureIsSaidToBeOne_data();
    void videoGivenForAPictureIsSaidToBeOne();
    void videoInputIsCheckedAsEveryInput_data();
    void videoInputIsCheckedAsEveryInput();
    void videoPreviewFailuresSayWhy_data();
    void videoPreviewFailuresSayWhy();
    void threadLimitIsSaidNotWaitedOn_data();
    void threadLimitIsSaidNotWaitedOn();
    void fileOfAnotherKindIsNoVideo_data();
    void fileOfAnotherKindIsNoVideo();
    void missingPluginIsNamed_data();
    void missingPluginIsNamed();
    void progressShowsOnATerminalOnly_data();
    void progressShowsOnATerminalOnly();
    void trackJsonSaysWhyAVideoCannotBeRead_data();
    void trackJsonSaysWhyAVideoCannotBeRead();
    void ctrlCLeavesNoProgressLine_data();
    void ctrlCLeavesNoProgressLine();

private:
    QString astronautPackage();
    std::vector<std::vector<QPointF>> trackedPoints(const QJsonArray& frames) const;
    QTemporaryDir folder;
    knownmotion::Clip clip;
    QString clean, noisy;
    static constexpr int frameCount = 90;
};

void tst_CliTrack::initTestCase()
{
    if (!testclips::haveFfmpeg()) {
        QSKIP("ffmpeg is needed to make the test clips (apt-get install ffmpeg)");
    }
    auto module = core::FaceDetectionModule::load();
    QVERIFY2(module, "the landmark model shape_predictor.dat is missing from the working folder");
    const QImage photo = core::readImageFile(testimages::testPicture("Tom_Cruise_avp_2014_4.jpg"));
    const auto faces = module->detectFaces(photo);
    QVERIFY(faces && faces->size() == 1);
    std::vector<QPointF> points;
    for (const QPoint& p : faces->first().points) {
        points.push_back(QPointF(p));
    }
    clip = knownmotion::makeClip(photo, points, faces->first().rect.width());
    QVector<QImage> cleanFrames, noisyFrames;
    for (int t = 0; t < frameCount; ++t) {
        cleanFrames.append(clip.frame(t));
        noisyFrames.append(clip.frame(t, 8.0));
    }
    clean = folder.filePath(QStringLiteral("moving.mp4"));
    noisy = folder.filePath(QStringLiteral("moving-noisy.mkv"));
    QString error = testclips::encode(cleanFrames, knownmotion::framesPerSecond, clean);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    error = testclips::encode(noisyFrames, knownmotion::framesPerSecond, noisy);
    QVERIFY2(error.isEmpty(), qPrintable(error));
}

std::vector<std::vector<QPointF>> tst_CliTrack::trackedPoints(const QJsonArray& frames) const
{
    std::vector<std::vector<QPointF>> tracked;
    for (const QJsonValue& value : frames) {
        const QJsonObject frame = value.toObject();
        std::vector<QPointF> points;
        for (const QJsonValue& pair : frame.value(QStringLiteral("points")).toArray()) {
            points.push_back(QPointF(pair.toArray().at(0).toDouble() * frame.value(QStringLiteral("width")).toInt(),
                                     pair.toArray().at(1).toDouble() * frame.value(QStringLiteral("height")).toInt()));
        }
        tracked.push_back(points);
    }
    return tracked;
}

void tst_CliTrack::everyFrameInTheDetectForm()
{
    const Run run = runCli({QStringLiteral("track"), QStringLiteral("--json"), clean});
    QVERIFY2(run.status == 0, run.err.constData());
    QVERIFY2(run.err.contains("every 6th frame"), run.err.constData());
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(run.out, &parseError);
    QVERIFY2(document.isArray(), qPrintable(parseError.errorString()));
    const QJsonArray frames = document.array();
    QCOMPARE(frames.size(), frameCount); // every frame, none dropped
    for (int i = 0; i < frames.size(); ++i) {
        const QJsonObject frame = frames[i].toObject();
        QCOMPARE(frame.value(QStringLiteral("frame")).toInt(), i);
        QVERIFY(std::abs(frame.value(QStringLiteral("time")).toDouble() - i / knownmotion::framesPerSecond) < 0.002);
        QCOMPARE(frame.value(QStringLiteral("width")).toInt(), 640);
        QCOMPARE(frame.value(QStringLiteral("height")).toInt(), 480);
        QCOMPARE(frame.value(QStringLiteral("faceCount")).toInt(), 1);
        QCOMPARE(frame.value(QStringLiteral("placed")).toInt(), 0);
        QCOMPARE(frame.value(QStringLiteral("points")).toArray().size(), 75);
        const QJsonArray faces = frame.value(QStringLiteral("faces")).toArray();
        QCOMPARE(faces.size(), 1);
        QCOMPARE(faces[0].toObject().value(QStringLiteral("rect")).toArray().size(), 4);
        QCOMPARE(faces[0].toObject().value(QStringLiteral("points")), frame.value(QStringLiteral("points")));
    }
    // The text form: one line per frame.
    const Run text = runCli({QStringLiteral("track"), QStringLiteral("--detect-every"), QStringLiteral("1"), clean});
    QVERIFY2(text.status == 0, text.err.constData());
    QVERIFY2(text.err.contains("on every frame"), text.err.constData());
    QCOMPARE(text.out.trimmed().split('\n').size(), frameCount);
}

// As detect does for a picture without a face: the 75 points predicted over the whole frame,
// "placed" -1, no faces; the same in the text form.
void tst_CliTrack::framesWithoutAFaceGetTheWholeFrameMarkup()
{
    QVector<QImage> frames = testclips::greySteps(4, QSize(320, 240));
    for (int i = 0; i < frames.size(); ++i) {
        QPainter painter(&frames[i]);  // something for the predictor to see, moving
        painter.fillRect(QRect(40 + 30 * i, 60, 90, 120), QColor(200, 150, 120));
    }
    const QString path = folder.filePath(QStringLiteral("faceless.mp4"));
    const QString error = testclips::encode(frames, 10.0, path);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    auto module = core::FaceDetectionModule::load();
    QVERIFY(module);
    QString failure;
    const std::unique_ptr<video::VideoReader> reader = video::VideoReader::open(path, &failure);
    QVERIFY2(reader, qPrintable(failure));
    std::vector<core::FacialPointVector> expected;
    video::VideoFrame frame;
    while (reader->next(frame)) {
        expected.push_back(core::wholePicturePoints(*module, frame.picture));
        QCOMPARE(int(expected.back().size()), 75);
    }
    QCOMPARE(int(expected.size()), frames.size());

    const Run run = runCli({QStringLiteral("track"), QStringLiteral("--json"), path});
    QVERIFY2(run.status == 0, run.err.constData());
    const QJsonArray tracked = QJsonDocument::fromJson(run.out).array();
    QCOMPARE(tracked.size(), frames.size());
    // Without a face the detector runs on every frame whatever the interval; the interval is
    // still said as the user gave it.
    const Run text = runCli({QStringLiteral("track"), QStringLiteral("--detect-every"), QStringLiteral("2"), path});
    QVERIFY2(text.status == 0, text.err.constData());
    QVERIFY2(text.err.contains("on every 2nd frame"), text.err.constData());
    const QList<QByteArray> lines = text.out.trimmed().split('\n');
    QCOMPARE(lines.size(), frames.size());
    for (int i = 0; i < tracked.size(); ++i) {
        const QJsonObject object = tracked[i].toObject();
        QCOMPARE(object.value(QStringLiteral("faceCount")).toInt(), 0);
        QCOMPARE(object.value(QStringLiteral("placed")).toInt(), -1);
        QCOMPARE(object.value(QStringLiteral("faces")).toArray().size(), 0);
        const QJsonArray points = object.value(QStringLiteral("points")).toArray();
        QCOMPARE(points.size(), 75);
        for (int p = 0; p < points.size(); ++p) {
            QCOMPARE(points[p].toArray().at(0).toDouble(), expected[size_t(i)][size_t(p)].x());
            QCOMPARE(points[p].toArray().at(1).toDouble(), expected[size_t(i)][size_t(p)].y());
        }
        QCOMPARE(lines[i].split('\t').value(3).split(' ').size(), 75);
    }
}

void tst_CliTrack::steadyCutsJitterWithoutLag()
{
    for (const QString& video : {clean, noisy}) {
        const Run raw = runCli({QStringLiteral("track"), QStringLiteral("--json"), video});
        const Run steady = runCli({QStringLiteral("track"), QStringLiteral("--json"), QStringLiteral("--steady"), video});
        QVERIFY2(raw.status == 0 && steady.status == 0, (raw.err + steady.err).constData());
        const knownmotion::Figures off = knownmotion::measure(clip, trackedPoints(QJsonDocument::fromJson(raw.out).array()));
        const knownmotion::Figures on = knownmotion::measure(clip, trackedPoints(QJsonDocument::fromJson(steady.out).array()));
        qInfo("%s: without steady error %.2f %%, jitter %.2f %%, lag %.2f frames; with steady error %.2f %%, "
              "jitter %.2f %% (%.2f of it), lag %.2f frames",
              qPrintable(QFileInfo(video).fileName()), off.error, off.jitter, off.lag, on.error, on.jitter,
              on.jitter / off.jitter, on.lag);
        QVERIFY2(off.error > 0 && off.error < 4.0, qPrintable(QString::number(off.error)));
        QVERIFY2(on.jitter <= 0.45 * off.jitter, qPrintable(QString::number(on.jitter / off.jitter)));
        QVERIFY2(on.lag <= 1.0, qPrintable(QString::number(on.lag)));
        QVERIFY2(on.error < off.error + 1.0, qPrintable(QString::number(on.error)));
    }
}

// The same picture on every frame, without steady: the faces followed between detections are
// where the detector finds them, and on the frames it runs the points are detect's exactly.
void tst_CliTrack::stillFaceIsFollowedWhereItIsFound()
{
    // Lossless, so that every frame decodes to the same pixels.
    const QString path = folder.filePath(QStringLiteral("still.mp4"));
    const QString error = testclips::encode(QVector<QImage>(7, clip.frame(0)), 10.0, path, QStringLiteral("libx264"),
                                            {QStringLiteral("-crf"), QStringLiteral("0")});
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QString failure;
    const std::unique_ptr<video::VideoReader> reader = video::VideoReader::open(path, &failure);
    QVERIFY2(reader, qPrintable(failure));
    video::VideoFrame first;
    QVERIFY(reader->next(first, 5000));
    const QString picture = folder.filePath(QStringLiteral("still-frame.png"));
    QVERIFY(first.picture.save(picture, "PNG"));
    const Run detect = runCli({QStringLiteral("detect"), QStringLiteral("--json"), picture});
    QVERIFY2(detect.status == 0, detect.err.constData());
    const QJsonObject found = QJsonDocument::fromJson(detect.out).array().at(0).toObject();
    QCOMPARE(found.value(QStringLiteral("faceCount")).toInt(), 1);

    const Run run = runCli({QStringLiteral("track"), QStringLiteral("--json"), path});
    QVERIFY2(run.status == 0, run.err.constData());
    const QJsonArray frames = QJsonDocument::fromJson(run.out).array();
    QCOMPARE(frames.size(), 7);
    for (int i = 0; i < frames.size(); ++i) {
        const QJsonObject frame = frames[i].toObject();
        QCOMPARE(frame.value(QStringLiteral("faceCount")).toInt(), 1);
        QVERIFY2(frame.value(QStringLiteral("points")) == found.value(QStringLiteral("points")),
                 qPrintable(QStringLiteral("frame %1: the points are not where the face is found").arg(i)));
    }
}

// A phone's upright video is stored on its side with an orientation tag: the frames are read
// upright, and the face on them is found.
void tst_CliTrack::sidewaysVideoIsReadUpright()
{
    const QImage upright = core::readImageFile(testimages::testPicture("Tom_Cruise_avp_2014_4.jpg"))
                               .scaled(240, 320, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                               .copy(0, 0, 240, 320);
    // Stored a quarter turn clockwise; ffmpeg's "rotate=90" says to turn it back to show it.
    const QImage stored = upright.transformed(QTransform().rotate(90));
    const QString plain = folder.filePath(QStringLiteral("stored.mp4"));
    const QString path = folder.filePath(QStringLiteral("phone.mp4"));
    QString error = testclips::encode(QVector<QImage>(3, stored), 10.0, plain);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    error = testclips::tagRotation(plain, path, 90);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    const Run run = runCli({QStringLiteral("track"), QStringLiteral("--json"), QStringLiteral("--detect-every"),
                            QStringLiteral("1"), path});
    QVERIFY2(run.status == 0, run.err.constData());
    const QJsonArray tracked = QJsonDocument::fromJson(run.out).array();
    QCOMPARE(tracked.size(), 3);
    for (const QJsonValue& value : tracked) {
        const QJsonObject frame = value.toObject();
        QCOMPARE(frame.value(QStringLiteral("width")).toInt(), upright.width());
        QCOMPARE(frame.value(QStringLiteral("height")).toInt(), upright.height());
        QCOMPARE(frame.value(QStringLiteral("faceCount")).toInt(), 1);
    }
}

// A program stopped while it reads a video's headers (SIGSTOP, a suspended laptop) finds its
// wait for them over when it runs again; it reads them a second time rather than go without. The
// probe reads back to back (about 10 ms each); a stop that lands while a read waits ends that
// wait, one that lands while a read sets up does not (about two in three): eight stops at random
// moments, so that at least one ends a wait but for about one run in thirty.
void tst_CliTrack::shapeOutlivesAStopWhileItIsRead()
{
    constexpr int firstWaitMs = 1000; // the least videoShape() waits
    constexpr int stopMs = 1050;
    constexpr int stops = 8;
    QProcess probe;
    probe.start(QStringLiteral(VIDEO_SHAPE_PROBE),
                {clean, QString::number(firstWaitMs), QString::number(stops * (stopMs + 150) + 500)});
    QVERIFY(probe.waitForReadyRead(30000));
    QCOMPARE(probe.readLine().trimmed(), QByteArray("ready"));
    for (int i = 0; i < stops; ++i) {
        QTest::qWait(QRandomGenerator::global()->bounded(20, 120));
        ::kill(pid_t(probe.processId()), SIGSTOP);
        QTest::qWait(stopMs);
        ::kill(pid_t(probe.processId()), SIGCONT);
    }
    QVERIFY(probe.waitForFinished(120000));
    const QSize size = clip.frame(0).size();
    const QByteArray expected = QStringLiteral("%1 %2 0").arg(size.width()).arg(size.height()).toLatin1();
    int stopped = 0; // reads a stop landed in: longer than the stop itself
    for (const QByteArray& line : probe.readAll().trimmed().split('\n')) {
        const int cut = line.lastIndexOf(' ');
        if (line.mid(cut + 1).toInt() >= stopMs) {
            ++stopped;
            QCOMPARE(line.left(cut), expected);
        }
    }
    QVERIFY2(stopped >= 1, "no read was stopped");
}

// A cut MP4 with a damaged header holds GStreamer's reader up now and then (about one read in
// four here) until its wait is over. Nothing held the program meanwhile: that read is not made
// again, which would keep a Preview waiting half a minute more before it says the file is damaged.
void tst_CliTrack::damagedFileIsNotReadTwice()
{
    const QString whole = folder.filePath(QStringLiteral("steps.mp4"));
    const QString error = testclips::encode(testclips::greySteps(12), 10, whole);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QFile source(whole);
    QVERIFY(source.open(QIODevice::ReadOnly));
    QByteArray cut = source.read(source.size() / 3);
    cut[cut.size() / 2] = 'x';
    const QString damaged = folder.filePath(QStringLiteral("damaged.mp4"));
    QFile target(damaged);
    QVERIFY(target.open(QIODevice::WriteOnly) && target.write(cut) == cut.size());
    target.close();

    constexpr int firstWaitMs = 1000;
    QProcess probe;
    probe.start(QStringLiteral(VIDEO_SHAPE_PROBE), {damaged, QString::number(firstWaitMs), QStringLiteral("6000")});
    QVERIFY(probe.waitForFinished(120000));
    int reads = 0;
    int heldUp = 0;
    for (const QByteArray& line : probe.readAll().trimmed().split('\n')) {
        if (line == "ready") {
            continue;
        }
        ++reads;
        const int ms = line.mid(line.lastIndexOf(' ') + 1).toInt();
        heldUp += ms >= firstWaitMs ? 1 : 0;
        QVERIFY2(ms < 10 * firstWaitMs, line.constData()); // a second wait is 30 s
    }
    QVERIFY(reads > 0);
    if (heldUp == 0) {
        QSKIP("GStreamer read the damaged file without being held up: nothing to check");
    }
}

// A video whose frame size changes midway (two clips joined without encoding them again): the
// faces followed on the small frames are no guide to where they are on the large ones, so the
// first large frame finds them anew, as detecting on every frame does.
void tst_CliTrack::frameSizeChangeFindsTheFacesAnew()
{
    const QImage photo = core::readImageFile(testimages::testPicture("Tom_Cruise_avp_2014_4.jpg"));
    const QString small = folder.filePath(QStringLiteral("size-small.mp4"));
    const QString large = folder.filePath(QStringLiteral("size-large.mp4"));
    const QString joined = folder.filePath(QStringLiteral("size-joined.mp4"));
    const QImage smallFrame = photo.scaled(282, 400, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    const QImage largeFrame = photo.scaled(564, 800, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QString error = testclips::encode(QVector<QImage>(4, smallFrame), 10.0, small);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    error = testclips::encode(QVector<QImage>(4, largeFrame), 10.0, large);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    const QString list = folder.filePath(QStringLiteral("size-list.txt"));
    QFile listFile(list);
    QVERIFY(listFile.open(QIODevice::WriteOnly));
    listFile.write(QStringLiteral("file '%1'\nfile '%2'\n").arg(small, large).toUtf8());
    listFile.close();
    const QString joinError = testclips::runFfmpeg({QStringLiteral("-f"), QStringLiteral("concat"), QStringLiteral("-safe"),
                                                    QStringLiteral("0"), QStringLiteral("-i"), list, QStringLiteral("-c"),
                                                    QStringLiteral("copy"), joined});
    QVERIFY2(joinError.isEmpty(), qPrintable(joinError));

    const Run followed = runCli({QStringLiteral("track"), QStringLiteral("--json"), joined});
    QVERIFY2(followed.status == 0, followed.err.constData());
    const Run everyFrame = runCli({QStringLiteral("track"), QStringLiteral("--json"), QStringLiteral("--detect-every"),
                                   QStringLiteral("1"), joined});
    QVERIFY2(everyFrame.status == 0, everyFrame.err.constData());
    const QJsonArray frames = QJsonDocument::fromJson(followed.out).array();
    const QJsonArray detected = QJsonDocument::fromJson(everyFrame.out).array();
    QCOMPARE(frames.size(), 8);
    QCOMPARE(detected.size(), 8);
    QCOMPARE(frames[3].toObject().value(QStringLiteral("width")).toInt(), 282);
    QCOMPARE(frames[3].toObject().value(QStringLiteral("faceCount")).toInt(), 1); // followed up to the change
    const std::vector<std::vector<QPointF>> points = trackedPoints(frames);
    const std::vector<std::vector<QPointF>> truth = trackedPoints(detected);
    for (int i = 4; i < 8; ++i) {
        QCOMPARE(frames[i].toObject().value(QStringLiteral("width")).toInt(), 564);
        QCOMPARE(frames[i].toObject().value(QStringLiteral("faceCount")).toInt(), 1);
        QCOMPARE(points[std::size_t(i)].size(), std::size_t(75));
        double worst = 0;
        for (std::size_t p = 0; p < 75; ++p) {
            const QPointF off = points[std::size_t(i)][p] - truth[std::size_t(i)][p];
            worst = std::max(worst, std::hypot(off.x(), off.y()));
        }
        QVERIFY2(worst < 10.0, qPrintable(QStringLiteral("frame %1: a point %2 px from where it is found").arg(i).arg(worst)));
    }
}

// An anamorphic video stores its pictures squeezed and says how wide its pixels are: the frames
// are read as they are shown, with the face as wide as it is, and the face is found on them.
void tst_CliTrack::anamorphicVideoIsReadWithSquarePixels()
{
    const QImage shown = core::readImageFile(testimages::testPicture("Tom_Cruise_avp_2014_4.jpg"))
                             .scaled(240, 320, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    const QImage stored = shown.scaled(120, 320, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    const QString path = folder.filePath(QStringLiteral("anamorphic.mp4"));
    const QString error = testclips::encode(QVector<QImage>(3, stored), 10.0, path, QStringLiteral("libx264"),
                                            {QStringLiteral("-vf"), QStringLiteral("setsar=2/1")});
    QVERIFY2(error.isEmpty(), qPrintable(error));
    const Run run = runCli({QStringLiteral("track"), QStringLiteral("--json"), path});
    QVERIFY2(run.status == 0, run.err.constData());
    const QJsonArray tracked = QJsonDocument::fromJson(run.out).array();
    QCOMPARE(tracked.size(), 3);
    for (const QJsonValue& value : tracked) {
        const QJsonObject frame = value.toObject();
        QCOMPARE(frame.value(QStringLiteral("width")).toInt(), 240);
        QCOMPARE(frame.value(QStringLiteral("height")).toInt(), 320);
        QCOMPARE(frame.value(QStringLiteral("faceCount")).toInt(), 1);
    }
}

void tst_CliTrack::damagedVideoFails()
{
    const QString damaged = folder.filePath(QStringLiteral("damaged.mp4"));
    QFile file(damaged);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("not a video at all, only text\n");
    file.close();
    const Run run = runCli({QStringLiteral("track"), damaged});
    QCOMPARE(run.status, 1);
    QVERIFY2(run.err.contains("not a video that can be decoded"), run.err.constData());
    // Sound only: said so, rather than a decoder's words.
    const QString sound = folder.filePath(QStringLiteral("sound.mp4"));
    const QString soundError = testclips::soundOnly(sound);
    QVERIFY2(soundError.isEmpty(), qPrintable(soundError));
    const Run soundOnly = runCli({QStringLiteral("track"), sound});
    QCOMPARE(soundOnly.status, 1);
    QVERIFY2(soundOnly.err.contains("sound.mp4: it holds no video stream that can be played"), soundOnly.err.constData());
    const Run missing = runCli({QStringLiteral("track"), folder.filePath(QStringLiteral("missing.webm"))});
    QCOMPARE(missing.status, 1);
    QVERIFY2(missing.err.contains("no such file"), missing.err.constData());
    // Frames of any size can be declared by a small file: refused from the headers.
    const QString wide = folder.filePath(QStringLiteral("wide.mkv"));
    const QString error = testclips::encode(testclips::greySteps(2, QSize(8200, 16)), 10, wide);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    const Run tooLarge = runCli({QStringLiteral("track"), wide});
    QCOMPARE(tooLarge.status, 1);
    QVERIFY2(tooLarge.err.contains("its frames are 8200 x 16 pixels; videos are read up to 8192 pixels a side"),
             tooLarge.err.constData());
}

// Headers that GStreamer's demuxer fails on: refused as the file is opened, with the demuxer's
// words. The frames' pipeline would fail the same way, but about one run in twenty it lost that
// error (it came while the demuxer was still being set up) and waited 20 s for frames that never
// came, then blamed the disk.
void tst_CliTrack::damagedHeadersAreRefusedAsTheFileOpens_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("cutBefore"); // the element the file is cut before, empty for none
    QTest::addColumn<QByteArray>("sizeZeroed"); // the MP4 box whose size is made 0, empty for none
    QTest::addColumn<QString>("reason");
    const QByteArray tracks("\x16\x54\xae\x6b", 4);
    QTest::newRow("mkv-cut-before-its-track-list") << "notracks.mkv" << tracks << QByteArray()
                                                   << "GStreamer encountered a general stream error.";
    QTest::newRow("webm-cut-before-its-track-list") << "notracks.webm" << tracks << QByteArray()
                                                    << "GStreamer encountered a general stream error.";
    QTest::newRow("mp4-sample-table-of-no-size") << "nosampletable.mp4" << QByteArray() << QByteArray("stbl")
                                                 << "This file is corrupt and cannot be played.";
}

void tst_CliTrack::damagedHeadersAreRefusedAsTheFileOpens()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, cutBefore);
    QFETCH(QByteArray, sizeZeroed);
    QFETCH(QString, reason);
    const QString whole = folder.filePath(QStringLiteral("whole-") + name);
    const bool webm = name.endsWith(QLatin1String(".webm"));
    const QString error = testclips::encode(testclips::greySteps(6), 10, whole,
                                            webm ? QStringLiteral("libvpx") : QStringLiteral("libx264"));
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QFile source(whole);
    QVERIFY(source.open(QIODevice::ReadOnly));
    QByteArray bytes = source.readAll();
    if (!cutBefore.isEmpty()) {
        const int at = bytes.indexOf(cutBefore);
        QVERIFY(at > 0);
        bytes.truncate(at);
    }
    if (!sizeZeroed.isEmpty()) {
        const int at = bytes.indexOf(sizeZeroed);
        QVERIFY(at >= 4);
        bytes.replace(at - 4, 4, QByteArray(4, '\0'));
    }
    const QString damaged = folder.filePath(name);
    QFile target(damaged);
    QVERIFY(target.open(QIODevice::WriteOnly) && target.write(bytes) == bytes.size());
    target.close();

    // The headers' read can lose the error too (on a busy machine about one read in twenty: it
    // then ends when its wait is over, and the file goes on to its frames as before). Of a few
    // reads, one must refuse the file; without the check every one opens it.
    QString failure;
    bool opened = true;
    for (int attempt = 0; attempt < 5 && opened; ++attempt) {
        failure.clear();
        opened = video::VideoReader::open(damaged, &failure) != nullptr;
    }
    QVERIFY2(!opened, "opened in every attempt although its headers are damaged");
    QCOMPARE(failure, QStringLiteral("not a video that can be decoded: ") + reason);

    // The same through the command; a run in which both reads lost the error is tried again.
    Run run;
    for (int attempt = 0; attempt < 3; ++attempt) {
        run = runCli({QStringLiteral("track"), damaged});
        if (run.err.contains("not a video that can be decoded")) {
            break;
        }
    }
    QCOMPARE(run.status, 1);
    QVERIFY2(run.err.contains("not a video that can be decoded"), run.err.constData());
}

// An MP4 whose sample description declares pictures of 65535 x 65535: the H.264 decoder is
// installed but refuses the stream, which GStreamer reports as a missing decoder. The user was
// told to install the package that is installed.
void tst_CliTrack::refusingDecoderIsNotSaidToBeMissing()
{
    const QString whole = folder.filePath(QStringLiteral("whole-huge.mp4"));
    const QString error = testclips::encode(testclips::greySteps(6), 10, whole);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QFile source(whole);
    QVERIFY(source.open(QIODevice::ReadOnly));
    QByteArray bytes = source.readAll();
    // The avc1 entry of the sample descriptions (the file type names avc1 too): its type, 6
    // reserved bytes, the data reference, 16 bytes, then width and height.
    const int entry = bytes.indexOf("avc1", bytes.indexOf("stsd"));
    QVERIFY(entry > 0 && entry + 32 <= bytes.size());
    bytes.replace(entry + 28, 4, QByteArray("\xff\xff\xff\xff", 4));
    const QString huge = folder.filePath(QStringLiteral("huge.mp4"));
    QFile target(huge);
    QVERIFY(target.open(QIODevice::WriteOnly) && target.write(bytes) == bytes.size());
    target.close();

    const Run run = runCli({QStringLiteral("track"), huge});
    QCOMPARE(run.status, 1);
    QVERIFY2(run.err.contains(": not a video that can be decoded: GStreamer's H.264 (High Profile) decoder is "
                              "installed but refuses it\n"),
             run.err.constData());
    QVERIFY2(!run.err.contains("install gstreamer1.0-libav"), run.err.constData());
}

// A file cut short ends without an error from the decoder: the frames simply stop. The headers
// still tell the whole length, so the command warns (and still prints what it read).
void tst_CliTrack::videoCutShortIsSaidToBe()
{
    const QString whole = folder.filePath(QStringLiteral("whole.mp4"));
    const QString cut = folder.filePath(QStringLiteral("cut.mp4"));
    const QString error = testclips::wholeAndCutShort(whole, cut);
    QVERIFY2(error.isEmpty(), qPrintable(error));

    const Run complete = runCli({QStringLiteral("track"), whole});
    QCOMPARE(complete.status, 0);
    QCOMPARE(complete.out.count('\n'), 40);
    QVERIFY2(!complete.err.contains("warning"), complete.err.constData());
    const Run shortened = runCli({QStringLiteral("track"), cut});
    QVERIFY2(shortened.status == 0, shortened.err.constData());
    const int frames = shortened.out.count('\n');
    QVERIFY2(frames > 0 && frames < 40, qPrintable(QString::number(frames)));
    QVERIFY2(shortened.err.contains("of the 4.0 s the file declares: it may be cut short"), shortened.err.constData());

    // Whole, but its timestamps start an hour in: the length its headers declare counts that
    // hour, and no frame is missing.
    const QString late = folder.filePath(QStringLiteral("late.mkv"));
    const QString lateError = testclips::encode(testclips::greySteps(10), 10, late, QStringLiteral("libx264"),
                                             {QStringLiteral("-output_ts_offset"), QStringLiteral("3600")});
    QVERIFY2(lateError.isEmpty(), qPrintable(lateError));
    const Run lateRun = runCli({QStringLiteral("track"), late});
    QVERIFY2(lateRun.status == 0, lateRun.err.constData());
    QCOMPARE(lateRun.out.count('\n'), 10);
    QVERIFY2(!lateRun.err.contains("warning"), lateRun.err.constData());

    // Trimmed without encoding again: the MP4 keeps the frames from the key frame before the cut
    // and its edit list skips the first 4 s, so its stamps run 4 s ahead of the 16 s it declares.
    // Cut short at about 13 s of those 16, it is said to be.
    const QString untrimmed = folder.filePath(QStringLiteral("untrimmed.mp4"));
    const QString trimmed = folder.filePath(QStringLiteral("trimmed.mp4"));
    const QString trimmedCut = folder.filePath(QStringLiteral("trimmed-cut.mp4"));
    const QString trimError =
        testclips::trimmedAndCutShort(200, QSize(96, 64), 4, untrimmed, trimmed, trimmedCut, 85);
    QVERIFY2(trimError.isEmpty(), qPrintable(trimError));
    const Run trimmedRun = runCli({QStringLiteral("track"), trimmed});
    QVERIFY2(trimmedRun.status == 0, trimmedRun.err.constData());
    QCOMPARE(trimmedRun.out.count('\n'), 160);
    QVERIFY2(!trimmedRun.err.contains("warning"), trimmedRun.err.constData());
    const Run trimmedCutRun = runCli({QStringLiteral("track"), trimmedCut});
    QVERIFY2(trimmedCutRun.status == 0, trimmedCutRun.err.constData());
    const int trimmedFrames = trimmedCutRun.out.count('\n');
    QVERIFY2(trimmedFrames > 100 && trimmedFrames < 150, qPrintable(QString::number(trimmedFrames)));
    QVERIFY2(trimmedCutRun.err.contains("of the 16.0 s the file declares: it may be cut short"),
             trimmedCutRun.err.constData());
}

// Once its results cannot be written, track reads no further: a long video would otherwise be
// decoded and tracked to its end for nothing. The end of a clip cut short is where the command
// says so; stopped at the first frame, it never gets there.
void tst_CliTrack::lostStandardOutputStopsTheReading_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::newRow("lines") << QStringList();
    QTest::newRow("json") << QStringList{QStringLiteral("--json")};
}

void tst_CliTrack::lostStandardOutputStopsTheReading()
{
    QFETCH(QStringList, options);
    const QString whole = folder.filePath(QStringLiteral("lost-whole.mp4"));
    const QString cut = folder.filePath(QStringLiteral("lost-cut.mp4"));
    const QString error = testclips::wholeAndCutShort(whole, cut);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    const QStringList arguments = QStringList{QStringLiteral("track")} + options + QStringList{cut};

    const Run read = runCli(arguments);
    QVERIFY2(read.status == 0, qPrintable(describe(read)));
    QVERIFY2(read.err.contains("it may be cut short"), read.err.constData());

    const Run lost = runProgram(QStringLiteral(FACEMASK_CLI_PROGRAM), arguments, QString(),
                                QStringLiteral("/dev/full"));
    QVERIFY2(lost.status == 1, qPrintable(describe(lost)));
    QVERIFY2(lost.err.contains("cannot write to standard output: No space left on device"), lost.err.constData());
    QVERIFY2(!lost.err.contains("it may be cut short"), lost.err.constData());
}

// The disk of a video stops answering while it is read (a share gone, a stick that hangs):
// GStreamer's thread waits in a read. The frame that does not come is said, and the reader goes
// while the disk still holds that read, so that the command ends with its message.
void tst_CliTrack::unansweringDiskEndsTheReadingWithoutWaiting()
{
    QVERIFY2(faultShimLoaded(), "run with the fault shim preloaded, as ctest does");
    const QString path = folder.filePath(QStringLiteral("unanswering.mp4"));
    const QString error = testclips::encode(testclips::noise(60, QSize(320, 240)), 10, path);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QString failure;
    std::unique_ptr<video::VideoReader> reader = video::VideoReader::open(path, &failure);
    QVERIFY2(reader, qPrintable(failure));
    video::VideoFrame frame;
    QVERIFY2(reader->next(frame, 5000), qPrintable(reader->failure()));
    const StalledDisk stalled(QStringLiteral("unanswering"), 20000);
    QVERIFY(stalled.isArmed());
    int frames = 1;
    while (reader->next(frame, 1000)) {
        ++frames;
    }
    QVERIFY2(frames < 60, "every frame came from a disk that does not answer");
    QCOMPARE(reader->failure(), QStringLiteral("no frame came in 1 seconds"));
    reader.reset();
    QVERIFY(stalled.isHolding());
}

// A read that fails midway (a stick pulled, a disk failing) is the disk's doing: the reading stops
// with that, not with the file called one that cannot be decoded.
void tst_CliTrack::failingDiskIsToldFromADamagedFile()
{
    QVERIFY2(faultShimLoaded(), "run with the fault shim preloaded, as ctest does");
    const QString path = folder.filePath(QStringLiteral("failing.mp4"));
    const QString error = testclips::encode(testclips::noise(60, QSize(320, 240)), 10, path);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QString failure;
    const std::unique_ptr<video::VideoReader> reader = video::VideoReader::open(path, &failure);
    QVERIFY2(reader, qPrintable(failure));
    video::VideoFrame frame;
    QVERIFY2(reader->next(frame, 5000), qPrintable(reader->failure()));
    const InjectedFault fault(QStringLiteral("read:failing.mp4:1+:EIO"));
    int frames = 1;
    while (reader->next(frame, 5000)) {
        ++frames;
    }
    QVERIFY2(frames < 60, "every frame came from a disk that fails");
    QVERIFY2(reader->failure().startsWith(QStringLiteral("reading it failed: ")), qPrintable(reader->failure()));
}

// An animated GIF: every frame once, at the time its delays give, and the end is the end (the
// GIF demuxer of GStreamer would ask for more bytes forever).
void tst_CliTrack::animatedGifGivesEveryFrameWithItsTime()
{
    const QString path = folder.filePath(QStringLiteral("steps.gif"));
    const QString error = testclips::encode(testclips::greySteps(5, QSize(64, 48)), 5, path, QStringLiteral("gif"));
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QString failure;
    const std::unique_ptr<video::VideoReader> reader = video::VideoReader::open(path, &failure);
    QVERIFY2(reader, qPrintable(failure));
    video::VideoFrame frame;
    int count = 0;
    while (reader->next(frame, 5000)) {
        QCOMPARE(frame.index, count);
        QCOMPARE(frame.time, 0.2 * count);
        QCOMPARE(frame.picture.size(), QSize(64, 48));
        QCOMPARE(int(std::lround(testclips::meanGrey(frame.picture) / 20.0)), count);
        ++count;
    }
    QVERIFY2(reader->failure().isEmpty(), qPrintable(reader->failure()));
    QCOMPARE(count, 5);

    const Run run = runCli({QStringLiteral("track"), QStringLiteral("--json"), path});
    QVERIFY2(run.status == 0, run.err.constData());
    const QJsonArray tracked = QJsonDocument::fromJson(run.out).array();
    QCOMPARE(tracked.size(), 5);
    QCOMPARE(tracked.last().toObject().value(QStringLiteral("time")).toDouble(), 0.8);
}

// A GIF cut inside a frame is refused as every picture file is, not read with the frame's
// missing part blank.
void tst_CliTrack::gifCutInsideAFrameIsRefused()
{
    const QString whole = folder.filePath(QStringLiteral("noise.gif"));
    const QString cut = folder.filePath(QStringLiteral("noise-cut.gif"));
    const QString error = testclips::encode(testclips::noise(4, QSize(64, 48)), 5, whole, QStringLiteral("gif"));
    QVERIFY2(error.isEmpty(), qPrintable(error));
    const QString cutError = testclips::copyCutShort(whole, cut, 70);
    QVERIFY2(cutError.isEmpty(), qPrintable(cutError));

    QString failure;
    QVERIFY(!video::VideoReader::open(cut, &failure));
    QCOMPARE(failure, QStringLiteral("picture: GIF file shorter than the pixels its header declares"));
    const Run run = runCli({QStringLiteral("track"), cut});
    QCOMPARE(run.status, 1);
    QVERIFY2(run.err.contains("GIF file shorter than the pixels its header declares"), run.err.constData());
    QVERIFY(run.out.isEmpty());
}

void tst_CliTrack::previewWritesEveryNthFrame()
{
    // A package of the astronaut, made by the program itself.
    const QString package = folder.filePath(QStringLiteral("astronaut.pmk"));
    const Run make = runCli({QStringLiteral("make"), testimages::testPicture("astronaut.png"), QStringLiteral("-o"), package});
    QVERIFY2(make.status == 0, make.err.constData());
    // The result line names the folder as given, on one line.
    const QString out = folder.filePath(QStringLiteral("frames %2\nof"));
    const Run run = runCli({QStringLiteral("preview"), package, clean, QStringLiteral("-o"), out,
                            QStringLiteral("--every"), QStringLiteral("30"), QStringLiteral("--steady")});
    QVERIFY2(run.status == 0, run.err.constData());
    QVERIFY2(run.out.startsWith(QString(out).replace(QLatin1Char('\n'), QLatin1String("\\n")).toUtf8() + ": 3 frames written of ")
                 && run.out.count('\n') == 1,
             run.out.constData());
    const QStringList written = QDir(out).entryList(QDir::Files, QDir::Name);
    QCOMPARE(written, (QStringList{QStringLiteral("frame-000000.png"), QStringLiteral("frame-000030.png"),
                                   QStringLiteral("frame-000060.png")}));
    // The mask is on the face: the frame differs from the clip's where the face is.
    const QImage first = core::readImageFile(QDir(out).filePath(written[0]));
    QCOMPARE(first.size(), QSize(640, 480));
    const std::vector<QPointF> truth = clip.truthAt(0);
    const QPointF nose = truth[30];
    const QRect around(nose.toPoint() - QPoint(15, 15), QSize(30, 30));
    const QImage original = clip.frame(0).copy(around).convertToFormat(QImage::Format_Grayscale8);
    const QImage masked = first.copy(around).convertToFormat(QImage::Format_Grayscale8);
    double difference = 0;
    for (int y = 0; y < original.height(); ++y) {
        for (int x = 0; x < original.width(); ++x) {
            difference += std::abs(original.constScanLine(y)[x] - masked.constScanLine(y)[x]);
        }
    }
    difference /= double(original.width()) * original.height();
    QVERIFY2(difference > 10.0, qPrintable(QString::number(difference)));

    // Again into the same folder: the frames written are kept, and the run says so; with
    // --force they are replaced.
    QFile mark(QDir(out).filePath(written[0]));
    QVERIFY(mark.open(QIODevice::WriteOnly) && mark.write("kept") == 4);
    mark.close();
    const Run again = runCli({QStringLiteral("preview"), package, clean, QStringLiteral("-o"), out,
                              QStringLiteral("--every"), QStringLiteral("30")});
    QCOMPARE(again.status, 1);
    QVERIFY2(again.err.contains("exists"), again.err.constData());
    QVERIFY(mark.open(QIODevice::ReadOnly));
    QCOMPARE(mark.readAll(), QByteArray("kept"));
    mark.close();
    const Run forced = runCli({QStringLiteral("preview"), package, clean, QStringLiteral("-o"), out,
                               QStringLiteral("--every"), QStringLiteral("30"), QStringLiteral("--force")});
    QVERIFY2(forced.status == 0, forced.err.constData());
    QCOMPARE(core::readImageFile(QDir(out).filePath(written[0])).size(), QSize(640, 480));
}

void tst_CliTrack::previewCountsTheFramesItWrote_data()
{
    QTest::addColumn<QString>("every");
    QTest::addColumn<QByteArray>("summary"); // after "FOLDER: "
    QTest::newRow("one-frame") << "90" << QByteArray("1 frame written of 90, faces on 90\n");
    QTest::newRow("two-frames") << "45" << QByteArray("2 frames written of 90, faces on 90\n");
}

// The line that ends a video preview counts as make's does: "1 frame", "2 frames".
void tst_CliTrack::previewCountsTheFramesItWrote()
{
    QFETCH(QString, every);
    QFETCH(QByteArray, summary);
    const QString package = astronautPackage();
    QVERIFY(!package.isEmpty());
    QTemporaryDir here;
    QVERIFY(here.isValid());
    const QString out = here.filePath(QStringLiteral("frames"));
    const Run run = runCli({QStringLiteral("preview"), package, clean, QStringLiteral("-o"), out,
                            QStringLiteral("--every"), every});
    QVERIFY2(run.status == 0, qPrintable(describe(run)));
    QCOMPARE(run.out, out.toUtf8() + ": " + summary);
}

void tst_CliTrack::previewTellsAVideoWhateverItsName_data()
{
    QTest::addColumn<QString>("name");      // of the video given to preview
    QTest::addColumn<QString>("container"); // ffmpeg's muxer that repacks the clip's frames
    QTest::newRow("mpeg-transport-stream") << "clip.ts" << "mpegts";
    QTest::newRow("mp4-without-a-suffix") << "clip" << "mp4";
    QTest::newRow("matroska-named-otherwise") << "clip.video" << "matroska";
}

// A video whose name is none of the usual ones (a camera's .ts, a download without a suffix)
// is previewed frame by frame, as track reads it, not refused as a picture that cannot be read.
void tst_CliTrack::previewTellsAVideoWhateverItsName()
{
    QFETCH(QString, name);
    QFETCH(QString, container);
    const QString package = astronautPackage();
    QVERIFY(!package.isEmpty());
    QTemporaryDir here;
    QVERIFY(here.isValid());
    const QString video = here.filePath(name);
    const QString error = testclips::runFfmpeg({QStringLiteral("-i"), clean, QStringLiteral("-frames:v"),
                                                QStringLiteral("10"), QStringLiteral("-c"), QStringLiteral("copy"),
                                                QStringLiteral("-f"), container, video});
    QVERIFY2(error.isEmpty(), qPrintable(error));
    const QString out = here.filePath(QStringLiteral("frames"));
    const Run run = runCli({QStringLiteral("preview"), package, video, QStringLiteral("-o"), out,
                            QStringLiteral("--every"), QStringLiteral("5")});
    QVERIFY2(run.status == 0, qPrintable(describe(run)));
    QCOMPARE(run.out, out.toUtf8() + ": 2 frames written of 10, faces on 10\n");
    QCOMPARE(QDir(out).entryList(QDir::Files, QDir::Name),
             (QStringList{QStringLiteral("frame-000000.png"), QStringLiteral("frame-000005.png")}));
}

void tst_CliTrack::interruptBeforeTheFirstFileLeavesNoFolder_data()
{
    QTest::addColumn<QStringList>("arguments"); // NEW/inner: the folders the command makes
    QTest::newRow("video-preview") << QStringList{"preview", "PACKAGE", "CLIP", "-o", "NEW/inner"};
    QTest::newRow("make-out-dir") << QStringList{"make", "FACE", "--out-dir", "NEW/inner"};
}

// Ctrl+C before the first file is written in the folders a command made takes them away again,
// as a failed start does: a script run again finds the folder it names as it was.
void tst_CliTrack::interruptBeforeTheFirstFileLeavesNoFolder()
{
    QFETCH(QStringList, arguments);
    QVERIFY2(faultShimLoaded(), "run with the fault shim preloaded, as ctest does");
    QTemporaryDir here;
    QVERIFY(here.isValid());
    const QString package = astronautPackage();
    QVERIFY(!package.isEmpty());
    const QString made = here.filePath(QStringLiteral("new"));
    arguments.replaceInStrings(QStringLiteral("PACKAGE"), package);
    const QString gif = here.filePath(QStringLiteral("steps.gif"));
    const QString error = testclips::encode(testclips::greySteps(5, QSize(64, 48)), 5, gif, QStringLiteral("gif"));
    QVERIFY2(error.isEmpty(), qPrintable(error));
    arguments.replaceInStrings(QStringLiteral("GIF"), gif);
    arguments.replaceInStrings(QStringLiteral("CLIP"), clean);
    arguments.replaceInStrings(QStringLiteral("FACE"), testimages::testPicture("astronaut.png"));
    arguments.replaceInStrings(QStringLiteral("NEW"), made);
    // Opens in the inner folder are held while the marker exists: no file is made there.
    const QString marker = here.filePath(QStringLiteral("held"));
    QFile held(marker);
    QVERIFY(held.open(QIODevice::WriteOnly));
    held.close();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("FACEMASK_STALL_OPEN"), QStringLiteral("/new/inner/:") + marker);
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(FACEMASK_CLI_PROGRAM), arguments);
    QVERIFY(process.waitForStarted());
    const QString inner = here.filePath(QStringLiteral("new/inner"));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(inner) || process.state() == QProcess::NotRunning, 60000);
    QVERIFY2(process.state() == QProcess::Running, process.readAllStandardError().constData());
    ::kill(pid_t(process.processId()), SIGINT);
    const bool ended = process.waitForFinished(60000);
    QFile::remove(marker);
    QVERIFY(ended || process.waitForFinished(60000));
    QCOMPARE(process.exitStatus(), QProcess::CrashExit);
    QVERIFY2(!QFileInfo::exists(made), qPrintable(QDir(inner).entryList(QDir::AllEntries | QDir::Hidden).join(' ')));
}

void tst_CliTrack::argumentsTooManyAreNamed_data()
{
    QTest::addColumn<QStringList>("arguments"); // in a folder of their own, where none exists
    QTest::addColumn<QString>("message");       // the whole first line on stderr
    QTest::newRow("track-of-two-videos") << QStringList{"track", "a.mp4", "b.mp4"}
                                         << "facemask-cli track: one video file is needed ('b.mp4' is one too many)";
    QTest::newRow("video-preview-folder-without-o")
        << QStringList{"preview", "mask.pmk", "clip.mp4", "frames"}
        << "facemask-cli preview: a package and a video are needed ('frames' is one too many: the folder to "
           "write into goes after -o)";
    QTest::newRow("video-preview-three-more")
        << QStringList{"preview", "mask.pmk", "clip.mp4", "-o", "frames", "a", "b", "c"}
        << "facemask-cli preview: a package and a video are needed ('a' and 2 others are too many)";
    QTest::newRow("picture-preview-file-without-o")
        << QStringList{"preview", "mask.pmk", "face.jpg", "out.png"}
        << "facemask-cli preview: a package and a face picture are needed ('out.png' is one too many: the file "
           "to write goes after -o)";
    QTest::newRow("picture-preview-two-more")
        << QStringList{"preview", "mask.pmk", "face.jpg", "-o", "out.png", "a", "b"}
        << "facemask-cli preview: a package and a face picture are needed ('a' and 1 other are too many)";
}

// A script that forgot -o, or gave a glob of several videos, is told which argument is the one
// too many, where it was told that the inputs it did give were needed.
void tst_CliTrack::argumentsTooManyAreNamed()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    QTemporaryDir here;
    QVERIFY(here.isValid());
    const Run run = runProgram(QStringLiteral(FACEMASK_CLI_PROGRAM), arguments, here.path());
    QCOMPARE(run.status, 2);
    QCOMPARE(run.err.split('\n').first(), message.toUtf8());
    QVERIFY(QDir(here.path()).isEmpty());
}

void tst_CliTrack::videoGivenForAPictureIsSaidToBeOne_data()
{
    QTest::addColumn<QStringList>("arguments"); // VIDEO: the clip under the name below
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("message");       // a line on stderr, VIDEO its name
    const QString said = QStringLiteral("VIDEO: not a picture but a video (facemask-cli track reads videos)");
    QTest::newRow("detect") << QStringList{"detect", "VIDEO"} << "clip.mp4" << "facemask-cli detect: " + said;
    QTest::newRow("detect-of-a-video-named-otherwise") << QStringList{"detect", "VIDEO"} << "clip.dat"
                                                       << "facemask-cli detect: " + said;
    QTest::newRow("make") << QStringList{"make", "VIDEO", "-o", "clip.pmk"} << "clip.mp4" << "VIDEO: failed: "
        "not a picture but a video (facemask-cli track reads videos)";
}

// A video given to a command that reads pictures is said to be a video, and which command reads
// it, where it was said to be no picture that can be read, as a damaged file is.
void tst_CliTrack::videoGivenForAPictureIsSaidToBeOne()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, name);
    QFETCH(QString, message);
    QTemporaryDir here;
    QVERIFY(here.isValid());
    QVERIFY(QFile::copy(clean, here.filePath(name)));
    arguments.replaceInStrings(QStringLiteral("VIDEO"), name);
    const Run run = runProgram(QStringLiteral(FACEMASK_CLI_PROGRAM), arguments, here.path());
    QVERIFY2(run.status == 1, qPrintable(describe(run)));
    message.replace(QStringLiteral("VIDEO"), name);
    QVERIFY2(run.err.split('\n').contains(message.toUtf8()), qPrintable(describe(run)));
    QCOMPARE(QDir(here.path()).entryList(QDir::Files), QStringList{name});
}

QString tst_CliTrack::astronautPackage()
{
    const QString package = folder.filePath(QStringLiteral("astronaut.pmk"));
    if (!QFile::exists(package)) {
        runCli({QStringLiteral("make"), testimages::testPicture("astronaut.png"), QStringLiteral("-o"), package});
    }
    return QFile::exists(package) ? package : QString();
}

void tst_CliTrack::videoInputIsCheckedAsEveryInput_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("message");
    for (const QString& command : {QStringLiteral("track"), QStringLiteral("preview")}) {
        QTest::newRow(qPrintable(command + QStringLiteral("-folder"))) << command << "folder" << ": is a folder";
        // Refused without waiting for a writer that never comes.
        QTest::newRow(qPrintable(command + QStringLiteral("-fifo"))) << command << "fifo" << ": not a regular file";
        QTest::newRow(qPrintable(command + QStringLiteral("-missing"))) << command << "missing" << ": no such file";
    }
}

void tst_CliTrack::videoInputIsCheckedAsEveryInput()
{
    QFETCH(QString, command);
    QFETCH(QString, kind);
    QFETCH(QString, message);
    QTemporaryDir here;
    QVERIFY(here.isValid());
    const QString video = here.filePath(kind + QStringLiteral(".mp4"));
    if (kind == QLatin1String("folder")) {
        QVERIFY(QDir().mkdir(video));
    } else if (kind == QLatin1String("fifo")) {
        QVERIFY(::mkfifo(QFile::encodeName(video).constData(), 0600) == 0);
    }
    QStringList arguments{command};
    if (command == QLatin1String("preview")) {
        const QString package = astronautPackage();
        QVERIFY(!package.isEmpty());
        arguments << package << video << QStringLiteral("-o") << here.filePath(QStringLiteral("frames"));
    } else {
        arguments << video;
    }
    const Run run = runCli(arguments);
    QCOMPARE(run.status, 1);
    const QByteArray expected = "facemask-cli " + command.toUtf8() + ": " + video.toUtf8() + message.toUtf8();
    QVERIFY2(run.err.contains(expected), run.err.constData());
    QVERIFY(!QFile::exists(here.filePath(QStringLiteral("frames"))));
}

void tst_CliTrack::videoPreviewFailuresSayWhy_data()
{
    // PACKAGE, CLIP, NOTPACKAGE, FILE and NEW stand for files of the run: a package, a video, a
    // text file named like a package, a text file and a folder that does not exist.
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");  // after "facemask-cli preview: "
    QTest::newRow("refused-package") << QStringList{"NOTPACKAGE", "CLIP", "-o", "NEW"} << 1
                                     << "NOTPACKAGE: refused: not a ZIP archive";
    QTest::newRow("missing-video") << QStringList{"PACKAGE", "NEW/nosuch.mp4", "-o", "NEW"} << 1
                                   << "NEW/nosuch.mp4: no such file";
    QTest::newRow("undecodable-video") << QStringList{"PACKAGE", "FILE", "-o", "NEW"} << 1 << "FILE: ";
    QTest::newRow("missing-model") << QStringList{"--model", "NEW/nosuch.dat", "PACKAGE", "CLIP", "-o", "NEW"}
                                   << 3 << "no landmark model found (looked for NEW/nosuch.dat)";
    QTest::newRow("broken-model") << QStringList{"--model", "FILE", "PACKAGE", "CLIP", "-o", "NEW"}
                                  << 3 << "the landmark model FILE is unreadable";
    QTest::newRow("output-is-a-file") << QStringList{"PACKAGE", "CLIP", "-o", "FILE"} << 1
                                      << "FILE: the folder cannot be made: Not a directory";
    QTest::newRow("output-under-a-file") << QStringList{"PACKAGE", "CLIP", "-o", "FILE/frames"} << 1
                                         << "FILE/frames: the folder cannot be made: Not a directory";
}

void tst_CliTrack::videoPreviewFailuresSayWhy()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, message);
    QTemporaryDir here;
    QVERIFY(here.isValid());
    const QString package = astronautPackage();
    QVERIFY(!package.isEmpty());
    const QString text = here.filePath(QStringLiteral("text.mp4"));
    const QString notPackage = here.filePath(QStringLiteral("text.pmk"));
    for (const QString& name : {text, notPackage}) {
        QFile file(name);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("only text\n") == 10);
    }
    const QString newFolder = here.filePath(QStringLiteral("new"));
    const QStringList names{QStringLiteral("PACKAGE"), QStringLiteral("CLIP"), QStringLiteral("NOTPACKAGE"),
                            QStringLiteral("FILE"), QStringLiteral("NEW")};
    const QStringList paths{package, clean, notPackage, text, newFolder};
    for (int i = 0; i < names.size(); ++i) {
        arguments.replaceInStrings(QRegularExpression(QStringLiteral("^%1\\b").arg(names[i])), paths[i]);
        message.replace(QRegularExpression(QStringLiteral("\\b%1\\b").arg(names[i])), paths[i]);
    }
    const Run run = runCli(QStringList{QStringLiteral("preview")} + arguments);
    QCOMPARE(run.status, status);
    QVERIFY2(run.err.startsWith("facemask-cli preview: " + message.toUtf8()), run.err.constData());
    QVERIFY2(!QFile::exists(newFolder), "a failed start leaves no folder behind");
    QCOMPARE(QFileInfo(text).isFile(), true);
}

void tst_CliTrack::fileOfAnotherKindIsNoVideo_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("kind"); // what the file named like a video holds
    QTest::addColumn<QString>("type");
    for (const QString& command : {QStringLiteral("track"), QStringLiteral("preview")}) {
        QTest::newRow(qPrintable(command + QStringLiteral("-package"))) << command << "package" << "application/zip";
        QTest::newRow(qPrintable(command + QStringLiteral("-pdf"))) << command << "pdf" << "application/pdf";
    }
}

// A package or a document given as the video is said to be no video, where the message named a
// GStreamer package to install for it.
void tst_CliTrack::fileOfAnotherKindIsNoVideo()
{
    QFETCH(QString, command);
    QFETCH(QString, kind);
    QFETCH(QString, type);
    QTemporaryDir here;
    QVERIFY(here.isValid());
    const QString package = astronautPackage();
    QVERIFY(!package.isEmpty());
    const QString video = here.filePath(QStringLiteral("clip.mp4"));
    if (kind == QLatin1String("package")) {
        QVERIFY(QFile::copy(package, video));
    } else {
        QFile file(video);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write("%PDF-1.4\n1 0 obj\n<<>>\nendobj\n") > 0);
    }
    QStringList arguments{command};
    if (command == QLatin1String("preview")) {
        arguments << package << video << QStringLiteral("-o") << here.filePath(QStringLiteral("frames"));
    } else {
        arguments << video;
    }
    const Run run = runCli(arguments);
    QCOMPARE(run.status, 1);
    const QByteArray expected = "facemask-cli " + command.toUtf8() + ": " + video.toUtf8()
                                + ": it is not a video but a file of type " + type.toUtf8() + "\n";
    QVERIFY2(run.err.contains(expected), run.err.constData());
    QVERIFY(!QFile::exists(here.filePath(QStringLiteral("frames"))));
}

void tst_CliTrack::threadLimitIsSaidNotWaitedOn_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("processes"); // the limit
    QTest::newRow("track") << "track" << 4;
    QTest::newRow("preview") << "preview" << 4;
    // The program and one pool thread fill it: not even GStreamer's plugin scanner can start.
    QTest::newRow("track-no-room-for-another-process") << "track" << 2;
    QTest::newRow("preview-no-room-for-another-process") << "preview" << 2;
}

// GStreamer waits for ever on a thread it could not start: a user at the limit of processes
// (`ulimit -u`) is told so at once instead.
void tst_CliTrack::threadLimitIsSaidNotWaitedOn()
{
    QFETCH(QString, command);
    QFETCH(int, processes);
    QStringList arguments = underProcessLimit(processes, QStringLiteral(FACEMASK_CLI_PROGRAM));
    if (arguments.isEmpty()) {
        QSKIP("prlimit and setpriv (util-linux) are needed to run the command under a thread limit");
    }
    // The limit binds everyone but root: root runs the command as nobody, in a folder nobody reads.
    QTemporaryDir shared;
    QVERIFY(shared.isValid());
    QVERIFY(::chmod(QFile::encodeName(shared.path()).constData(), 0755) == 0);
    const QString video = shared.filePath(QStringLiteral("moving.mp4"));
    const QString package = shared.filePath(QStringLiteral("astronaut.pmk"));
    QVERIFY(QFile::copy(clean, video));
    QVERIFY(QFile::copy(astronautPackage(), package));
    // A copy keeps its original's permissions, which a umask such as 077 leaves to root alone.
    for (const QString& file : {video, package}) {
        QVERIFY(QFile::setPermissions(file, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                                                | QFileDevice::ReadOther));
    }
    arguments << command;
    if (command == QLatin1String("preview")) {
        arguments << package << video << QStringLiteral("-o") << shared.filePath(QStringLiteral("frames"));
    } else {
        arguments << video;
    }
    // A plugin registry it can neither read nor write: GStreamer looks at its plugins afresh,
    // whatever cache this machine has.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("GST_REGISTRY"), shared.filePath(QStringLiteral("registry.bin")));
    const Run run = runProgram(arguments.takeFirst(), arguments, QString(), QString(), 120'000, environment);
    QVERIFY2(run.status == 1, qPrintable(describe(run)));
    QVERIFY2(run.err.contains("moving.mp4: cannot be read now: no thread can be started for it"),
             qPrintable(describe(run)));
}

void tst_CliTrack::missingPluginIsNamed_data()
{
    QTest::addColumn<QStringList>("leftOut");  // plugin files
    QTest::addColumn<bool>("matroska");        // the MKV clip, else the MP4 one
    QTest::addColumn<QString>("reason");       // a pattern, after "VIDEO: "
    QTest::newRow("no-h264-decoder") << reducedgstreamer::h264Decoders() << false
                                     << "it needs GStreamer's H\\.264 .*decoder, which is not installed: "
                                        "install gstreamer1\\.0-libav";
    QTest::newRow("no-matroska-demuxer") << QStringList{"libgstmatroska.so"} << true
                                         << "it needs GStreamer's Matroska demuxer, which is not installed: "
                                            "install gstreamer1\\.0-plugins-good";
    // The elements of the reading pipeline itself, without which the frames never came (appsink:
    // "no frame came in 20 seconds") or the stream stopped with "Internal data stream error".
    // videoconvert had a plugin of its own before GStreamer 1.22.
    QTest::newRow("no-appsink") << QStringList{"libgstapp.so"} << false
                                << "cannot be read: GStreamer's appsink element is not installed: "
                                   "install gstreamer1\\.0-plugins-base";
    QTest::newRow("no-videoconvert") << QStringList{"libgstvideoconvertscale.so", "libgstvideoconvert.so"} << true
                                     << "cannot be read: GStreamer's videoconvert element is not installed: "
                                        "install gstreamer1\\.0-plugins-base";
    QTest::newRow("no-videoflip") << QStringList{"libgstvideofilter.so"} << false
                                  << "cannot be read: GStreamer's videoflip element is not installed: "
                                     "install gstreamer1\\.0-plugins-good";
}

// A machine where a package of GStreamer's plugins is not installed (the Debian package only
// recommends some): the user learns which to install.
void tst_CliTrack::missingPluginIsNamed()
{
    QFETCH(QStringList, leftOut);
    QFETCH(bool, matroska);
    QFETCH(QString, reason);
    QTemporaryDir gstreamer;
    QVERIFY(gstreamer.isValid());
    const QProcessEnvironment environment = reducedgstreamer::without(leftOut, gstreamer);
    if (environment.isEmpty()) {
        QSKIP("no GStreamer plugins in " GST_SYSTEM_PLUGIN_DIR);
    }
    const QString video = matroska ? noisy : clean;
    const Run run = runProgram(QStringLiteral(FACEMASK_CLI_PROGRAM), {QStringLiteral("track"), video}, QString(),
                               QString(), 120'000, environment);
    QVERIFY2(run.status == 1, qPrintable(describe(run)));
    const QRegularExpression said(QStringLiteral("facemask-cli track: %1: %2\\n").arg(QRegularExpression::escape(video), reason));
    QVERIFY2(said.match(QString::fromUtf8(run.err)).hasMatch(), qPrintable(describe(run)));
}

void tst_CliTrack::progressShowsOnATerminalOnly_data()
{
    // PACKAGE: the astronaut's; CLIP: the 3 s clip; GIF: an animated GIF; OUT: a new folder
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("resultsOnTheTerminal");  // else into a file
    QTest::addColumn<QString>("firstShown");         // the progress line at the first frame
    const QString ofTheClip = QStringLiteral("[>                             ] 0.0 s of 3.0 s, frame 0  -:-- left");
    QTest::newRow("track") << QStringList{"track", "CLIP"} << false << ofTheClip;
    QTest::newRow("track-json") << QStringList{"track", "--json", "CLIP"} << false << ofTheClip;
    QTest::newRow("track-results-on-the-terminal-too") << QStringList{"track", "CLIP"} << true << ofTheClip;
    QTest::newRow("preview") << QStringList{"preview", "PACKAGE", "CLIP", "-o", "OUT", "--every", "30"} << true
                             << ofTheClip;
    // A GIF declares no length: neither a bar nor the time left.
    QTest::newRow("track-gif") << QStringList{"track", "GIF"} << false << "0.0 s, frame 0";
}

// On a terminal, track and a video's preview show how far they have come on one line redrawn in
// place, which every other line goes above and which is cleared at the end; a pipe or a file
// gets none of it.
void tst_CliTrack::progressShowsOnATerminalOnly()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, resultsOnTheTerminal);
    QFETCH(QString, firstShown);
    if (QStandardPaths::findExecutable(QStringLiteral("script")).isEmpty()) {
        QSKIP("script (util-linux) is needed to run the program on a terminal");
    }
    const QString package = astronautPackage();
    QVERIFY(!package.isEmpty());
    QTemporaryDir here;
    QVERIFY(here.isValid());
    const QString gif = here.filePath(QStringLiteral("steps.gif"));
    const QString error = testclips::encode(testclips::greySteps(5, QSize(64, 48)), 5, gif, QStringLiteral("gif"));
    QVERIFY2(error.isEmpty(), qPrintable(error));
    arguments.replaceInStrings(QStringLiteral("GIF"), gif);
    arguments.replaceInStrings(QStringLiteral("CLIP"), clean);
    arguments.replaceInStrings(QStringLiteral("PACKAGE"), package);
    QStringList piped = arguments;
    piped.replaceInStrings(QStringLiteral("OUT"), here.filePath(QStringLiteral("piped")));
    const Run plain = runCli(piped);
    QVERIFY2(plain.status == 0, qPrintable(describe(plain)));
    QVERIFY2(!plain.err.contains('\r') && !plain.err.contains('\033'), qPrintable(describe(plain)));

    arguments.replaceInStrings(QStringLiteral("OUT"), here.filePath(QStringLiteral("shown")));
    const QString results = here.filePath(QStringLiteral("results"));
    const Run terminal = runOnATerminal(QStringLiteral(FACEMASK_CLI_PROGRAM), arguments, QString(),
                                        resultsOnTheTerminal ? QString() : results);
    QVERIFY2(terminal.status == 0, qPrintable(describe(terminal)));
    // Drawn at the first frame already, whatever the speed of the machine.
    QVERIFY2(terminal.out.contains("\r\033[K" + firstShown.toUtf8() + "\r"), qPrintable(describe(terminal)));
    QList<QByteArray> expected = plain.err.split('\n');
    expected.removeLast();
    if (resultsOnTheTerminal) {
        expected += QByteArray(plain.out).replace(here.filePath(QStringLiteral("piped")).toUtf8(),
                                                  here.filePath(QStringLiteral("shown")).toUtf8()).split('\n');
    } else {
        expected.append(QByteArray());
        QFile file(results);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), plain.out);
    }
    // Nothing but the lines a pipe gets is left on the screen, the progress line cleared.
    const QList<QByteArray> shown = linesShown(terminal.out);
    QCOMPARE(shown, expected);
}

void tst_CliTrack::ctrlCLeavesNoProgressLine_data()
{
    QTest::addColumn<QStringList>("arguments");  // PACKAGE, CLIP and OUT as above
    QTest::newRow("track") << QStringList{"track", "CLIP"};
    QTest::newRow("track-json") << QStringList{"track", "--json", "CLIP"};
    QTest::newRow("preview") << QStringList{"preview", "PACKAGE", "CLIP", "-o", "OUT"};
}

// Ctrl+C typed while the progress line is shown ends the program with that line erased: the
// shell's prompt does not come after a progress line that no longer moves.
void tst_CliTrack::ctrlCLeavesNoProgressLine()
{
    QFETCH(QStringList, arguments);
    if (QStandardPaths::findExecutable(QStringLiteral("script")).isEmpty()) {
        QSKIP("script (util-linux) is needed to run the program on a terminal");
    }
    const QString package = astronautPackage();
    QVERIFY(!package.isEmpty());
    QTemporaryDir here;
    QVERIFY(here.isValid());
    arguments.replaceInStrings(QStringLiteral("CLIP"), clean);
    arguments.replaceInStrings(QStringLiteral("PACKAGE"), package);
    arguments.replaceInStrings(QStringLiteral("OUT"), here.filePath(QStringLiteral("out")));
    const QByteArray progress = "\r\033[K[>";
    const Run run = runOnATerminal(QStringLiteral(FACEMASK_CLI_PROGRAM), arguments, QString(),
                                   here.filePath(QStringLiteral("results")), progress);
    QVERIFY2(run.out.contains(progress), qPrintable(describe(run)));
    QVERIFY2(run.status == 128 + SIGINT, qPrintable(describe(run)));  // ended by the interrupt
    const QList<QByteArray> shown = linesShown(run.out);
    for (const QByteArray& line : shown) {
        QVERIFY2(!line.contains(" s of 3.0 s, frame "), line.constData());
    }
    QCOMPARE(shown.last(), QByteArray());
}

void tst_CliTrack::trackJsonSaysWhyAVideoCannotBeRead_data()
{
    QTest::addColumn<QString>("kind");   // what is under the name clip.mp4
    QTest::addColumn<QString>("error");  // its start
    QTest::newRow("missing") << "missing" << "no such file";
    QTest::newRow("folder") << "folder" << "is a folder";
    QTest::newRow("text") << "text" << "not a video that can be decoded: ";
    QTest::newRow("package") << "package" << "it is not a video but a file of type application/zip";
}

// track --json of a file it cannot read as a video prints the one array --json promises,
// holding the file and why, as detect --json tells a picture it cannot read; the message on
// stderr and the exit status stay.
void tst_CliTrack::trackJsonSaysWhyAVideoCannotBeRead()
{
    QFETCH(QString, kind);
    QFETCH(QString, error);
    QTemporaryDir here;
    QVERIFY(here.isValid());
    const QString video = here.filePath(QStringLiteral("clip.mp4"));
    if (kind == QLatin1String("folder")) {
        QVERIFY(QDir().mkdir(video));
    } else if (kind == QLatin1String("text")) {
        QFile file(video);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("only text\n") == 10);
    } else if (kind == QLatin1String("package")) {
        const QString package = astronautPackage();
        QVERIFY(!package.isEmpty());
        QVERIFY(QFile::copy(package, video));
    }
    const Run run = runCli({QStringLiteral("track"), QStringLiteral("--json"), video});
    QVERIFY2(run.status == 1, qPrintable(describe(run)));
    const QByteArray said = "facemask-cli track: " + video.toUtf8() + ": ";
    QVERIFY2(run.err.startsWith(said + error.toUtf8()) && run.err.count('\n') == 1, qPrintable(describe(run)));
    QJsonParseError parse{};
    const QJsonArray all = QJsonDocument::fromJson(run.out, &parse).array();
    QVERIFY2(parse.error == QJsonParseError::NoError && all.size() == 1, qPrintable(describe(run)));
    const QJsonObject expected{{"file", video},
                               {"error", QString::fromUtf8(run.err.mid(said.size()).chopped(1))}};
    QCOMPARE(all.at(0).toObject(), expected);
}

QTEST_MAIN(tst_CliTrack)
#include "tst_clitrack.moc"
