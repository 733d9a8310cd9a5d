#include "core/poolthreads.h"
#include "tests/support/injectedfault.h"
#include "tests/support/programrun.h"
#include "tests/support/reducedgstreamer.h"
#include "tests/support/testclips.h"
#include "tests/support/threadlimit.h"
#include "ui/videosource.h"

#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QThreadPool>
#include <QtTest>

#include <signal.h>

namespace {

// The index of the grey-step frame a picture shows (testclips::greySteps).
int stepOf(const QImage& frame)
{
    return int(std::lround(testclips::meanGrey(frame) / 20.0));
}

} // namespace

class tst_VideoSource : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void playsEachKind_data();
    void playsEachKind();
    void loopsAtTheEnd();
    void seekWhilePausedShowsThatFrame();
    void seekWhilePlayingPlaysOnFromThere();
    void damagedFileIsReported_data();
    void damagedFileIsReported();
    void frameTakenInSlowlyDoesNotEndTheVideo();
    void slowFrameOnALaterRoundDoesNotEndTheVideo();
    void stoppedAfterASlowFrameStaysStopped();
    void fileCutShortSaysWhereItEnds();
    void programHeldStillDoesNotCutTheVideoShort();
    void programStoppedPlaysOnFromWhereItWas();
    void missingFileDoesNotStart();
    void pausedSeekPastTheCutSaysSo();
    void seekNoteGoesWithTheNextPicture_data();
    void seekNoteGoesWithTheNextPicture();
    void startDoesNotWaitForAnUnansweringDisk_data();
    void startDoesNotWaitForAnUnansweringDisk();
    void stillStretchOfTheFileIsNotTakenForTheDisk();
    void sidewaysVideoIsTurnedUpright();
    void pictureOpenedAsAVideoDoesNotSpin_data();
    void pictureOpenedAsAVideoDoesNotSpin();
    void pictureOpenedAsAVideoStepsWithoutAWord_data();
    void pictureOpenedAsAVideoStepsWithoutAWord();
    void framesTooLargeAreRefusedBeforeDecoding();
    void noThreadForTheDecoderIsSaid();
    void missingPluginIsNamed_data();
    void missingPluginIsNamed();
    void missingCameraPieceIsNamed_data();
    void missingCameraPieceIsNamed();
    void cleanup() { threadlimit::fail = false; }

private:
    QTemporaryDir folder;
    QString stepsClip; // 12 frames at 10 per second, frame i of grey 20 i
};

void tst_VideoSource::initTestCase()
{
    if (!testclips::haveFfmpeg()) {
        QSKIP("ffmpeg is needed to make the test clips (apt-get install ffmpeg)");
    }
    QVERIFY(folder.isValid());
    stepsClip = folder.filePath(QStringLiteral("steps.mp4"));
    const QString error = testclips::encode(testclips::greySteps(12), 10, stepsClip);
    QVERIFY2(error.isEmpty(), qPrintable(error));
}

void tst_VideoSource::playsEachKind_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("codec");
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<QSize>("shown");
    QTest::newRow("mp4-h264") << "clip.mp4" << "libx264" << QStringList() << QSize(64, 48);
    QTest::newRow("webm-vp8") << "clip.webm" << "libvpx" << QStringList() << QSize(64, 48);
    QTest::newRow("webm-vp9") << "clip9.webm" << "libvpx-vp9" << QStringList() << QSize(64, 48);
    QTest::newRow("mkv-h264") << "clip.mkv" << "libx264" << QStringList() << QSize(64, 48);
    // Anamorphic: the stored pictures are shown twice as wide, or half as wide.
    QTest::newRow("mp4-wide-pixels") << "wide.mp4" << "libx264" << QStringList{"-vf", "setsar=2/1"} << QSize(128, 48);
    QTest::newRow("mkv-tall-pixels") << "tall.mkv" << "libx264" << QStringList{"-vf", "setsar=1/2"} << QSize(32, 48);
}

void tst_VideoSource::playsEachKind()
{
    QFETCH(QString, name);
    QFETCH(QString, codec);
    QFETCH(QStringList, extra);
    QFETCH(QSize, shown);
    const QString path = folder.filePath(name);
    const QString error = testclips::encode(testclips::greySteps(6, QSize(64, 48)), 10, path, codec, extra);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    // Relative, as a user types it: the source makes it absolute.
    QVERIFY(QDir::setCurrent(folder.path()));
    ui::VideoFrameSource source(name);
    QSignalSpy frames(&source, &ui::FrameSource::frameReady);
    QSignalSpy failed(&source, &ui::FrameSource::failed);
    QSignalSpy looped(&source, &ui::VideoFrameSource::looped);
    QVERIFY(source.start());
    QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 3 || failed.count() > 0, 20000);
    QVERIFY2(failed.isEmpty(), qPrintable(failed.value(0).value(0).toString()));
    QCOMPARE(frames.first().at(0).value<QImage>().size(), shown);
    // And so on the next rounds: the player stops its picture's format at the end.
    QVERIFY(looped.wait(20000));
    const int before = frames.count();
    QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= before + 3 || failed.count() > 0, 20000);
    QVERIFY2(failed.isEmpty(), qPrintable(failed.value(0).value(0).toString()));
    QCOMPARE(frames.last().at(0).value<QImage>().size(), shown);
}

void tst_VideoSource::loopsAtTheEnd()
{
    ui::VideoFrameSource source(stepsClip);
    QSignalSpy frames(&source, &ui::FrameSource::frameReady);
    QSignalSpy looped(&source, &ui::VideoFrameSource::looped);
    QVERIFY(source.start());
    QVERIFY(looped.wait(20000));
    const int before = frames.count();
    QVERIFY2(before >= 6, qPrintable(QString::number(before)));
    // After the loop the video starts again from its first frames.
    QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= before + 3, 20000);
    int early = 0;
    for (int i = before; i < frames.count(); ++i) {
        early += stepOf(frames.at(i).at(0).value<QImage>()) <= 3 ? 1 : 0;
    }
    QVERIFY2(early > 0, "no frame of the beginning came after the end");
    QVERIFY(source.isPlaying());
}

void tst_VideoSource::seekWhilePausedShowsThatFrame()
{
    ui::VideoFrameSource source(stepsClip);
    QSignalSpy frames(&source, &ui::FrameSource::frameReady);
    QVERIFY(source.start());
    // A few frames played first tell the source how long a frame lasts.
    QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 3, 20000);
    source.pause();
    QTRY_VERIFY_WITH_TIMEOUT(!source.isPlaying(), 5000);
    QTest::qWait(200);
    struct Move {
        qint64 seekTo; // -1: step instead
        int step;
        int expected;
    };
    const Move moves[] = {{750, 0, 7}, {320, 0, 3}, {-1, 1, 4}, {-1, 1, 5}, {-1, -2, 3}, {1100, 0, 11}, {0, 0, 0}};
    for (const Move& move : moves) {
        frames.clear();
        if (move.seekTo >= 0) {
            source.seek(move.seekTo);
        } else {
            source.step(move.step);
        }
        QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 1, 10000);
        QTest::qWait(100);
        const QImage shown = frames.last().at(0).value<QImage>();
        QVERIFY2(stepOf(shown) == move.expected,
                 qPrintable(QStringLiteral("asked for frame %1 (seek %2, step %3), got grey %4")
                                .arg(move.expected)
                                .arg(move.seekTo)
                                .arg(move.step)
                                .arg(testclips::meanGrey(shown))));
        QVERIFY(!source.isPlaying());
    }
}

void tst_VideoSource::seekWhilePlayingPlaysOnFromThere()
{
    // Slow enough (4 frames per second) that the frames after the seek are told apart.
    const QString slow = folder.filePath(QStringLiteral("slow.mp4"));
    const QString error = testclips::encode(testclips::greySteps(12), 4, slow);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    ui::VideoFrameSource source(slow);
    QSignalSpy frames(&source, &ui::FrameSource::frameReady);
    QSignalSpy positions(&source, &ui::VideoFrameSource::positionChanged);
    QVERIFY(source.start());
    QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 2, 20000);
    QVERIFY(stepOf(frames.last().at(0).value<QImage>()) <= 2);
    frames.clear();
    positions.clear();
    source.seek(2000);  // frame 8
    QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 3, 10000);
    QVERIFY(source.isPlaying());
    QList<int> seen;
    for (const QList<QVariant>& frame : frames) {
        seen.append(stepOf(frame.at(0).value<QImage>()));
    }
    // At most one frame from before the seek may still be on its way; then the video goes on
    // from frame 8, in order.
    const int from = seen.first() >= 8 ? 0 : 1;
    QVERIFY2(seen.size() > from + 1, qPrintable(QStringLiteral("too few frames")));
    QString text;
    for (int step : seen) {
        text += QString::number(step) + QLatin1Char(' ');
    }
    QVERIFY2(seen[from] == 8 || seen[from] == 9, qPrintable(text));
    for (int i = from + 1; i < seen.size(); ++i) {
        QVERIFY2(seen[i] >= seen[i - 1] || seen[i] <= 1, qPrintable(text));  // or looped
    }
    QVERIFY(!positions.isEmpty());
    QVERIFY2(positions.last().at(0).toLongLong() >= 2000 || seen.last() <= 1,
             qPrintable(QString::number(positions.last().at(0).toLongLong())));
}

void tst_VideoSource::damagedFileIsReported_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("reason");
    QTest::newRow("text-named-mp4") << QByteArray("this is not a video, only a few words of text\n") << QString();
    QByteArray cut;
    QFile whole(stepsClip);
    QVERIFY(whole.open(QIODevice::ReadOnly));
    cut = whole.read(whole.size() / 3); // the header without the frames it points to
    cut[cut.size() / 2] = 'x';
    QTest::newRow("truncated-mp4") << cut << QString();
    // Matroska and WebM files cut before their first cluster of pictures: the player reaches their
    // end without an error, and without a picture.
    for (const QString& codec : {QStringLiteral("libx264"), QStringLiteral("libvpx")}) {
        const QString clip = folder.filePath(codec == QLatin1String("libvpx") ? QStringLiteral("steps.webm")
                                                                               : QStringLiteral("steps.mkv"));
        const QString encoded = testclips::encode(testclips::greySteps(12), 10, clip, codec);
        QVERIFY2(encoded.isEmpty(), qPrintable(encoded));
        QFile file(clip);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray whole = file.readAll();
        const int cluster = whole.indexOf(QByteArray("\x1f\x43\xb6\x75", 4));
        QVERIFY(cluster > 0);
        QTest::newRow(qPrintable(QStringLiteral("%1-cut-before-its-pictures").arg(QFileInfo(clip).suffix())))
            << whole.left(cluster) << QStringLiteral("it ends before its first picture");
    }
    // Sound only, as a recording saved without its pictures.
    const QString sound = folder.filePath(QStringLiteral("sound.mp4"));
    const QString soundError = testclips::soundOnly(sound);
    QVERIFY2(soundError.isEmpty(), qPrintable(soundError));
    QFile soundFile(sound);
    QVERIFY(soundFile.open(QIODevice::ReadOnly));
    QTest::newRow("sound-only-mp4") << soundFile.readAll() << QStringLiteral("it holds no video stream");
    // Files of a kind no plugin plays, named like a video: no package to install is named.
    QTest::newRow("zip-named-mp4") << (QByteArray("PK\x03\x04", 4) + QByteArray(200, '\0'))
                                   << QStringLiteral("it is not a video but a file of type application/zip.");
    QTest::newRow("pdf-named-mp4") << QByteArray("%PDF-1.4\n1 0 obj\n<<>>\nendobj\n")
                                   << QStringLiteral("it is not a video but a file of type application/pdf.");
    QFile program(QCoreApplication::applicationFilePath());
    QVERIFY(program.open(QIODevice::ReadOnly));
    QTest::newRow("program-named-mp4") << program.read(4096)
                                       << QStringLiteral("it is not a video but a file of type application/x-executable.");
}

void tst_VideoSource::damagedFileIsReported()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, reason);
    const QString path = folder.filePath(QStringLiteral("damaged.mp4"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
    file.close();
    ui::VideoFrameSource source(path);
    QSignalSpy failed(&source, &ui::FrameSource::failed);
    QSignalSpy looped(&source, &ui::VideoFrameSource::looped);
    QVERIFY(source.start());
    QVERIFY(failed.wait(30000));
    const QString message = failed.first().at(0).toString();
    QVERIFY2(message.startsWith(QStringLiteral("The video \"damaged.mp4\" cannot be played")), qPrintable(message));
    QVERIFY2(message.contains(reason), qPrintable(message));
    QVERIFY(!source.isPlaying());
    QCOMPARE(looped.count(), 0); // never played to an end of nothing, over and over
}

// Qt's video sink waits 0.3 s for the window to take in each frame and, when taking one in
// outlasts that (a busy machine, a window held up), fails the whole stream. A video that has
// played is not damaged: it plays on from where it was, on a busy machine for hours.
void tst_VideoSource::frameTakenInSlowlyDoesNotEndTheVideo()
{
    ui::VideoFrameSource source(stepsClip);
    QSignalSpy failed(&source, &ui::FrameSource::failed);
    QList<int> steps;
    int slow = 1; // frames taken in slowly
    connect(&source, &ui::FrameSource::frameReady, this, [&](const QImage& frame) {
        steps.append(stepOf(frame));
        if (steps.size() >= 4 && slow > 0) {
            --slow;
            QThread::msleep(450);
        }
    });
    QVERIFY(source.start());
    QTRY_VERIFY_WITH_TIMEOUT(steps.size() >= 12 || !failed.isEmpty(), 30000);
    QVERIFY2(failed.isEmpty(), qPrintable(failed.value(0).value(0).toString()));
    QVERIFY(source.isPlaying());
    // On from where it was, not from the beginning.
    QString text;
    for (int step : steps) {
        text += QString::number(step) + QLatin1Char(' ');
    }
    QVERIFY2(steps[5] >= steps[3] - 1, qPrintable(text));
}

// Each round of the loop may meet a busy moment: a frame taken in slowly after the video looped
// is no error of the file, even at an earlier place than the one of the round before.
void tst_VideoSource::slowFrameOnALaterRoundDoesNotEndTheVideo()
{
    ui::VideoFrameSource source(stepsClip);
    QSignalSpy failed(&source, &ui::FrameSource::failed);
    QSignalSpy looped(&source, &ui::VideoFrameSource::looped);
    bool lateSlow = false;  // taken in slowly near the end of the first round
    bool earlySlow = false; // then near the beginning of a later one
    int framesAfter = 0;
    connect(&source, &ui::FrameSource::frameReady, this, [&](const QImage& frame) {
        const int step = stepOf(frame);
        if (!lateSlow && looped.isEmpty() && step >= 9) {
            lateSlow = true;
            QThread::msleep(450);
        } else if (lateSlow && !earlySlow && !looped.isEmpty() && step >= 2 && step <= 5) {
            earlySlow = true;
            QThread::msleep(450);
        } else if (earlySlow) {
            ++framesAfter;
        }
    });
    QVERIFY(source.start());
    QTRY_VERIFY_WITH_TIMEOUT(framesAfter >= 6 || !failed.isEmpty(), 30000);
    QVERIFY2(failed.isEmpty(), qPrintable(failed.value(0).value(0).toString()));
    QVERIFY(source.isPlaying());
}

// Stopped by the user while the sink fails the stream over a frame taken in slowly: the video
// stays stopped, not opened again where it was.
void tst_VideoSource::stoppedAfterASlowFrameStaysStopped()
{
    ui::VideoFrameSource source(stepsClip);
    QSignalSpy failed(&source, &ui::FrameSource::failed);
    int frames = 0;
    int framesAfterStop = 0;
    bool stoppedOnce = false;
    connect(&source, &ui::FrameSource::frameReady, this, [&](const QImage&) {
        if (stoppedOnce) {
            ++framesAfterStop;
            return;
        }
        if (++frames == 4) {
            QThread::msleep(450);
            stoppedOnce = true;
            source.stop();
        }
    });
    QVERIFY(source.start());
    QTRY_VERIFY_WITH_TIMEOUT(stoppedOnce, 30000);
    QTest::qWait(3000); // the sink's error, and any reopening it would cause, come within this
    QVERIFY(!source.isPlaying());
    QCOMPARE(framesAfterStop, 0);
    QVERIFY2(failed.isEmpty(), qPrintable(failed.value(0).value(0).toString()));
}

// A file cut short plays without an error from the player: its pictures simply stop. The headers
// still tell the whole length, so the source says where they ended, once, and plays on in a loop.
// The whole file plays through without the remark.
void tst_VideoSource::fileCutShortSaysWhereItEnds()
{
    const QString whole = folder.filePath(QStringLiteral("whole-noise.mp4"));
    const QString cut = folder.filePath(QStringLiteral("cut-noise.mp4"));
    const QString error = testclips::wholeAndCutShort(whole, cut, QSize(96, 64));
    QVERIFY2(error.isEmpty(), qPrintable(error));
    // Whole, with timestamps that start an hour in: the length its headers declare counts that hour.
    const QString late = folder.filePath(QStringLiteral("late.mkv"));
    const QString lateError = testclips::encode(testclips::greySteps(12), 10, late, QStringLiteral("libx264"),
                                                {QStringLiteral("-output_ts_offset"), QStringLiteral("3600")});
    QVERIFY2(lateError.isEmpty(), qPrintable(lateError));
    // Trimmed without encoding again: the MP4 keeps the frames from the key frame before the cut,
    // and its edit list skips the first 2 s, so its stamps run 2 s ahead of the 4 s it declares.
    // Then cut short to about half of that.
    const QString untrimmed = folder.filePath(QStringLiteral("untrimmed-noise.mp4"));
    const QString trimmed = folder.filePath(QStringLiteral("trimmed-noise.mp4"));
    const QString trimmedCut = folder.filePath(QStringLiteral("trimmed-cut-noise.mp4"));
    const QString trimError =
        testclips::trimmedAndCutShort(60, QSize(96, 64), 2, untrimmed, trimmed, trimmedCut, 55);
    QVERIFY2(trimError.isEmpty(), qPrintable(trimError));

    for (const QString& path : {whole, late, trimmed, trimmedCut, cut}) {
        ui::VideoFrameSource source(path);
        QSignalSpy looped(&source, &ui::VideoFrameSource::looped);
        QSignalSpy early(&source, &ui::VideoFrameSource::endedEarly);
        QSignalSpy failed(&source, &ui::FrameSource::failed);
        QVERIFY(source.start());
        QTRY_VERIFY_WITH_TIMEOUT(looped.count() >= 2 || !failed.isEmpty(), 30000);
        QVERIFY2(failed.isEmpty(), qPrintable(failed.value(0).value(0).toString()));
        if (path != cut && path != trimmedCut) {
            QVERIFY2(early.isEmpty(), qPrintable(early.value(0).value(0).toString()));
            continue;
        }
        QCOMPARE(early.count(), 1);
        if (path == trimmedCut) {
            continue;
        }
        const QString message = early.first().at(0).toString();
        QVERIFY2(message.startsWith(QStringLiteral("The video \"cut-noise.mp4\" ends at "))
                     && message.endsWith(QStringLiteral(" s of the 4.0 s its file declares: it may be cut short.")),
                 qPrintable(message));
        const double end = message.section(QLatin1Char(' '), 5, 5).toDouble();
        QVERIFY2(end > 0.5 && end < 3.0, qPrintable(message));
    }
}

// The window held still past the end of a whole video (stopped by a signal, a suspended laptop,
// a machine too busy to run it): the player drops the frames it could not show in time and ends
// at once. The file is whole, and the next time round plays to its end: no remark.
void tst_VideoSource::programHeldStillDoesNotCutTheVideoShort()
{
    ui::VideoFrameSource source(stepsClip);
    QSignalSpy frames(&source, &ui::FrameSource::frameReady);
    QSignalSpy looped(&source, &ui::VideoFrameSource::looped);
    QSignalSpy early(&source, &ui::VideoFrameSource::endedEarly);
    QSignalSpy failed(&source, &ui::FrameSource::failed);
    QVERIFY(source.start());
    QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 1 || !failed.isEmpty(), 20000);
    QVERIFY(looped.isEmpty());
    // Longer than the whole clip (1.2 s): its clock runs on, and the frames after this one are late.
    QThread::msleep(3000);
    QTRY_VERIFY_WITH_TIMEOUT(looped.count() >= 3 || !failed.isEmpty(), 60000);
    QVERIFY2(failed.isEmpty(), qPrintable(failed.value(0).value(0).toString()));
    QVERIFY2(early.isEmpty(), qPrintable(early.value(0).value(0).toString()));
}

// The whole program stopped (SIGSTOP, as a debugger or a suspended session does) while the video
// plays, in a process of its own: the player's clock ran on meanwhile, and the pictures stopped
// for as long again and then jumped twice that far ahead. They go on from the frame shown last.
void tst_VideoSource::programStoppedPlaysOnFromWhereItWas()
{
    const QString path = folder.filePath(QStringLiteral("long.mp4"));
    const QString error = testclips::runFfmpeg({"-f", "lavfi", "-i", "testsrc=size=160x120:rate=30:duration=30",
                                                "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", path});
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QProcess probe;
    QVector<qint64> positions; // of the frames shown, in ms
    QByteArray pending;
    connect(&probe, &QProcess::readyReadStandardOutput, this, [&] {
        pending += probe.readAllStandardOutput();
        for (int end = pending.indexOf('\n'); end >= 0; end = pending.indexOf('\n')) {
            const QByteArray line = pending.left(end);
            pending.remove(0, end + 1);
            if (line.startsWith("at ")) {
                positions.append(line.mid(3).toLongLong());
            }
        }
    });
    probe.start(QStringLiteral(VIDEO_PROBE_PATH), {QStringLiteral("--frames"), QStringLiteral("90"), path});
    QVERIFY(probe.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(positions.size() >= 15 || probe.state() == QProcess::NotRunning, 30000);
    QVERIFY2(positions.size() >= 15, probe.readAllStandardError().constData());
    const auto pid = pid_t(probe.processId());
    QCOMPARE(::kill(pid, SIGSTOP), 0);
    QTest::qWait(3000); // takes in what it wrote before it stopped
    const int before = positions.size();
    const qint64 held = positions.last();
    QCOMPARE(::kill(pid, SIGCONT), 0);
    QVERIFY(probe.waitForFinished(60000));
    QCOMPARE(probe.exitCode(), 0);
    // The frames after it: each one on from the one before, within a second of where it was.
    int followed = 0;
    for (int i = before; i < positions.size() && positions[i] >= held && positions[i] <= held + 1000; ++i) {
        ++followed;
    }
    QVERIFY2(followed >= 10, qPrintable(QStringLiteral("held at %1 ms, then %2 frames from there; after it: %3")
                                            .arg(held)
                                            .arg(followed)
                                            .arg(QStringList(QStringList() << QString::number(positions.value(before))
                                                                           << QString::number(positions.value(before + 1))
                                                                           << QString::number(positions.value(before + 2)))
                                                     .join(QLatin1Char(' ')))));
}

// A file cut short (or still being copied) declares more than it holds: a paused seek past its
// pictures shows none, and the player says nothing. The source says so, keeps the frame shown,
// puts the time back to it, and steps on from it.
void tst_VideoSource::pausedSeekPastTheCutSaysSo()
{
    const QString whole = folder.filePath(QStringLiteral("whole-seek.mp4"));
    const QString cut = folder.filePath(QStringLiteral("cut-seek.mp4"));
    const QString error = testclips::wholeAndCutShort(whole, cut, QSize(96, 64));
    QVERIFY2(error.isEmpty(), qPrintable(error));
    ui::VideoFrameSource source(cut);
    QSignalSpy frames(&source, &ui::FrameSource::frameReady);
    QSignalSpy failed(&source, &ui::FrameSource::failed);
    QSignalSpy early(&source, &ui::VideoFrameSource::endedEarly);
    QSignalSpy positions(&source, &ui::VideoFrameSource::positionChanged);
    QVERIFY(source.start());
    QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 3 || !failed.isEmpty(), 20000);
    QVERIFY2(failed.isEmpty(), qPrintable(failed.value(0).value(0).toString()));
    source.pause();
    QTest::qWait(300); // a frame decoded before the pause may still come
    const qint64 shown = source.position();
    QVERIFY2(shown < 1500, qPrintable(QString::number(shown)));
    frames.clear();
    positions.clear();
    source.seek(3500);
    QTRY_VERIFY_WITH_TIMEOUT(!early.isEmpty(), 20000);
    QCOMPARE(early.first().at(0).toString(),
             QStringLiteral("The video \"cut-seek.mp4\" has no picture at 3.5 s of the 4.0 s its file declares: it may be cut short."));
    QCOMPARE(frames.count(), 0);
    QCOMPARE(positions.last().at(0).toLongLong(), shown);
    QCOMPARE(source.position(), shown);
    QVERIFY(!source.isPlaying());
    source.step(1);
    QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 1, 10000);
    // The first frame after a seek carries the time sought, inside that frame (10 a second).
    QTRY_COMPARE_WITH_TIMEOUT(source.position() / 100, shown / 100 + 1, 10000);
}

void tst_VideoSource::seekNoteGoesWithTheNextPicture_data()
{
    QTest::addColumn<QString>("then");
    QTest::addColumn<bool>("endToldFirst"); // played until the file's end was said, then paused
    QTest::addColumn<qint64>("pastAgainAt"); // > 0: the move is a seek there, past the pictures again
    QTest::newRow("seek back") << "seek" << false << qint64(0);
    QTest::newRow("step") << "step" << false << qint64(0);
    QTest::newRow("play") << "play" << false << qint64(0);
    QTest::newRow("seek back once the end was said") << "seek" << true << qint64(0);
    QTest::newRow("seek past the pictures again") << "seek" << false << qint64(3800);
}

// A paused seek past the pictures of a file cut short says so; the next picture shown (a seek
// back, a step, playing) takes that back, to what was said of where the file's pictures end, if
// anything. A seek past the pictures again has no picture: the note stays until its own comes.
void tst_VideoSource::seekNoteGoesWithTheNextPicture()
{
    QFETCH(QString, then);
    QFETCH(bool, endToldFirst);
    QFETCH(qint64, pastAgainAt);
    const QString whole = folder.filePath(QStringLiteral("whole-note.mp4"));
    const QString cut = folder.filePath(QStringLiteral("cut-note.mp4"));
    if (!QFile::exists(cut)) {
        const QString error = testclips::wholeAndCutShort(whole, cut, QSize(96, 64));
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }
    ui::VideoFrameSource source(cut);
    QSignalSpy frames(&source, &ui::FrameSource::frameReady);
    QSignalSpy failed(&source, &ui::FrameSource::failed);
    QSignalSpy early(&source, &ui::VideoFrameSource::endedEarly);
    QVERIFY(source.start());
    QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 3 || !failed.isEmpty(), 20000);
    QVERIFY2(failed.isEmpty(), qPrintable(failed.value(0).value(0).toString()));
    QString endNote;
    if (endToldFirst) {
        QTRY_VERIFY_WITH_TIMEOUT(!early.isEmpty(), 30000);
        endNote = early.last().at(0).toString();
        QVERIFY2(endNote.startsWith(QStringLiteral("The video \"cut-note.mp4\" ends at ")), qPrintable(endNote));
    }
    source.pause();
    QTest::qWait(300); // a frame decoded before the pause may still come
    early.clear();
    source.seek(3500);
    QTRY_VERIFY_WITH_TIMEOUT(!early.isEmpty(), 20000);
    QCOMPARE(early.last().at(0).toString(),
             QStringLiteral("The video \"cut-note.mp4\" has no picture at 3.5 s of the 4.0 s its file declares: it may be cut short."));
    early.clear();
    frames.clear();
    if (pastAgainAt > 0) {
        source.seek(pastAgainAt);
        QTRY_VERIFY_WITH_TIMEOUT(!early.isEmpty(), 20000);
        QCOMPARE(early.count(), 1);
        QCOMPARE(early.first().at(0).toString(),
                 QStringLiteral("The video \"cut-note.mp4\" has no picture at %1 s of the 4.0 s its file declares: it may be cut short.")
                     .arg(pastAgainAt / 1000.0, 0, 'f', 1));
        QCOMPARE(frames.count(), 0);
        return;
    }
    if (then == QLatin1String("seek")) {
        source.seek(500);
    } else if (then == QLatin1String("step")) {
        source.step(1);
    } else {
        source.play();
    }
    QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 1, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!early.isEmpty(), 10000);
    QCOMPARE(early.first().at(0).toString(), endNote);
}

void tst_VideoSource::startDoesNotWaitForAnUnansweringDisk_data()
{
    QTest::addColumn<bool>("there");
    QTest::newRow("video there") << true;
    QTest::newRow("video not there") << false;
}

// start() on a disk that does not answer: it is back at once, and once the disk answers the
// video plays, or one that is not there after all says so.
void tst_VideoSource::startDoesNotWaitForAnUnansweringDisk()
{
    QFETCH(bool, there);
    QVERIFY2(faultShimLoaded(), "run with the fault shim preloaded, as ctest does");
    const QString path = folder.filePath(there ? QStringLiteral("unanswering.mp4") : QStringLiteral("unanswering-gone.mp4"));
    if (there) {
        QVERIFY(QFile::exists(path) || QFile::copy(stepsClip, path));
    }
    ui::VideoFrameSource source(path);
    QSignalSpy frames(&source, &ui::FrameSource::frameReady);
    QSignalSpy failed(&source, &ui::FrameSource::failed);
    {
        const StalledDisk stalled(QStringLiteral("unanswering"), 20000);
        QVERIFY(stalled.isArmed());
        QVERIFY(source.start());
        // Back while the disk still holds the question.
        QVERIFY(stalled.isHolding());
    }
    QTRY_VERIFY_WITH_TIMEOUT(!frames.isEmpty() || !failed.isEmpty(), 20000);
    if (there) {
        QVERIFY2(failed.isEmpty(), qPrintable(failed.value(0).value(0).toString()));
    } else {
        QCOMPARE(frames.count(), 0);
        QCOMPARE(failed.first().at(0).toString(),
                 QStringLiteral("The video \"unanswering-gone.mp4\" cannot be played: it is not there, or not a file."));
    }
}

// A file whose frames stop for longer than the play watch waits (6 s between 0.9 s and 7.0 s,
// as a screen recording that keeps no frames while nothing moves): its disk answers, so
// nothing is said about the disk, and the frames after the stretch come.
void tst_VideoSource::stillStretchOfTheFileIsNotTakenForTheDisk()
{
    const QString path = folder.filePath(QStringLiteral("still-stretch.mp4"));
    const QString error = testclips::runFfmpeg(
        {QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
         QStringLiteral("testsrc=size=96x64:rate=10:duration=3"), QStringLiteral("-vf"),
         QStringLiteral("setpts='if(lt(N,10),N/10/TB,(N+60)/10/TB)'"), QStringLiteral("-fps_mode"),
         QStringLiteral("passthrough"), QStringLiteral("-c:v"), QStringLiteral("libx264"), QStringLiteral("-bf"),
         QStringLiteral("0"), QStringLiteral("-pix_fmt"), QStringLiteral("yuv420p"),
         QStringLiteral("-video_track_timescale"), QStringLiteral("1000"), path});
    QVERIFY2(error.isEmpty(), qPrintable(error));
    ui::VideoFrameSource source(path);
    QSignalSpy failed(&source, &ui::FrameSource::failed);
    QSignalSpy notes(&source, &ui::VideoFrameSource::silenceChanged);
    QVERIFY(source.start());
    QTRY_VERIFY_WITH_TIMEOUT(source.position() >= 7000 || !failed.isEmpty(), 30000);
    QVERIFY2(failed.isEmpty(), qPrintable(failed.value(0).value(0).toString()));
    for (const QList<QVariant>& note : notes) {
        QVERIFY2(note.at(0).toString().isEmpty(), qPrintable(note.at(0).toString()));
    }
}

void tst_VideoSource::missingFileDoesNotStart()
{
    ui::VideoFrameSource source(folder.filePath(QStringLiteral("no-such-video.mp4")));
    QSignalSpy frames(&source, &ui::FrameSource::frameReady);
    QVERIFY(!source.start());
    QCOMPARE(frames.count(), 0);
}

// A clip stored on its side with an orientation tag, as phones record upright video: the frames
// come out upright. Its left half is white; the tag (90 degrees counter-clockwise, as ffmpeg's
// "rotate" writes it) turns that half to the bottom.
void tst_VideoSource::sidewaysVideoIsTurnedUpright()
{
    QImage half(64, 48, QImage::Format_RGB32);
    half.fill(Qt::black);
    for (int y = 0; y < 48; ++y) {
        for (int x = 0; x < 32; ++x) {
            half.setPixel(x, y, qRgb(255, 255, 255));
        }
    }
    const QString plain = folder.filePath(QStringLiteral("upright.mp4"));
    const QString path = folder.filePath(QStringLiteral("sideways.mp4"));
    QString error = testclips::encode(QVector<QImage>(6, half), 10, plain);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    error = testclips::tagRotation(plain, path, 90);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    ui::VideoFrameSource source(path);
    QSignalSpy frames(&source, &ui::FrameSource::frameReady);
    QVERIFY(source.start());
    QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 3, 20000);
    const QImage frame = frames.last().at(0).value<QImage>();
    QCOMPARE(frame.size(), QSize(48, 64));
    QVERIFY2(testclips::meanGrey(frame.copy(0, 40, 48, 24)) > 200, "the white half must be at the bottom");
    QVERIFY2(testclips::meanGrey(frame.copy(0, 0, 48, 24)) < 50, "the black half must be at the top");
}

void tst_VideoSource::pictureOpenedAsAVideoDoesNotSpin_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("codec"); // empty: a PNG picture under a video's name
    QTest::newRow("picture") << "picture.mp4" << "";
    QTest::newRow("one-frame-mp4") << "one-frame.mp4" << "libx264";
    QTest::newRow("one-frame-webm") << "one-frame.webm" << "libvpx";
}

// A still picture plays as a video of no length, and a clip of one frame as one that lasts that
// frame: either ends as soon as it starts. Looping it restarted a picture a thousand times a
// second on the window's thread, Pause or not, and a clip twenty times, each round's frame a new
// face search for the window.
void tst_VideoSource::pictureOpenedAsAVideoDoesNotSpin()
{
    QFETCH(QString, name);
    QFETCH(QString, codec);
    const QString path = folder.filePath(name);
    if (codec.isEmpty()) {
        QVERIFY(testclips::greySteps(1).first().save(path, "PNG"));
    } else {
        const QString error = testclips::encode(testclips::greySteps(1), 30, path, codec);
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }
    ui::VideoFrameSource source(path);
    QSignalSpy frames(&source, &ui::FrameSource::frameReady);
    QSignalSpy looped(&source, &ui::VideoFrameSource::looped);
    QSignalSpy failed(&source, &ui::FrameSource::failed);
    QVERIFY(source.start());
    QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 1 || !failed.isEmpty(), 20000);
    QVERIFY2(failed.isEmpty(), qPrintable(failed.value(0).value(0).toString()));
    QTest::qWait(1500);
    QVERIFY2(looped.count() <= 1, qPrintable(QStringLiteral("%1 loops").arg(looped.count())));
    QVERIFY(!source.isPlaying());
}

void tst_VideoSource::pictureOpenedAsAVideoStepsWithoutAWord_data()
{
    QTest::addColumn<int>("count");
    QTest::newRow("next frame") << 1;
    QTest::newRow("frame before") << -1;
}

// A still picture opened as a video declares no length: a step shows no other picture, and that
// is no sign of a file cut short.
void tst_VideoSource::pictureOpenedAsAVideoStepsWithoutAWord()
{
    QFETCH(int, count);
    const QString path = folder.filePath(QStringLiteral("stepped-picture.mp4"));
    QVERIFY(testclips::greySteps(1).first().save(path, "PNG"));
    ui::VideoFrameSource source(path);
    QSignalSpy frames(&source, &ui::FrameSource::frameReady);
    QSignalSpy failed(&source, &ui::FrameSource::failed);
    QSignalSpy early(&source, &ui::VideoFrameSource::endedEarly);
    QVERIFY(source.start());
    QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 1 || !failed.isEmpty(), 20000);
    QVERIFY2(failed.isEmpty(), qPrintable(failed.value(0).value(0).toString()));
    QTRY_VERIFY_WITH_TIMEOUT(!source.isPlaying(), 10000);
    source.step(count);
    // Longer than a paused seek may go unanswered before a file is said to be cut short.
    QTest::qWait(6000);
    QVERIFY2(early.isEmpty(), qPrintable(early.value(0).value(0).toString()));
    QVERIFY(failed.isEmpty());
}

// A small file may declare frames of any size: 8200 pixels wide is refused from its headers,
// before a frame is decoded, with the reason.
void tst_VideoSource::framesTooLargeAreRefusedBeforeDecoding()
{
    const QString path = folder.filePath(QStringLiteral("wide.mkv"));
    const QString error = testclips::encode(testclips::greySteps(2, QSize(8200, 16)), 10, path);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    ui::VideoFrameSource source(path);
    QSignalSpy frames(&source, &ui::FrameSource::frameReady);
    QSignalSpy failed(&source, &ui::FrameSource::failed);
    QVERIFY(source.start());
    // The headers are read on a worker (seconds on a busy machine): start() does not wait for
    // them, and their verdict comes through the event loop.
    QVERIFY(failed.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(!failed.isEmpty(), 20000);
    QCOMPARE(failed.first().at(0).toString(),
             QStringLiteral("The video \"wide.mkv\" cannot be played: its frames are 8200 x 16 pixels; "
                            "videos are read up to 8192 pixels a side."));
    QCOMPARE(frames.count(), 0);
}

// GStreamer waits for ever on a thread it could not start: the footer says why at once, where it
// said "Opening the video..." for good.
void tst_VideoSource::noThreadForTheDecoderIsSaid()
{
    // As the window keeps them: the headers are read on one of these.
    core::keepPoolThreads(*QThreadPool::globalInstance());
    ui::VideoFrameSource source(stepsClip);
    QSignalSpy failed(&source, &ui::FrameSource::failed);
    threadlimit::fail = true;
    QVERIFY(source.start());
    QTRY_VERIFY_WITH_TIMEOUT(!failed.isEmpty(), 15000);
    threadlimit::fail = false;
    const QString message = failed.first().at(0).toString();
    QVERIFY2(message.startsWith(QStringLiteral("The video \"steps.mp4\" cannot be played: no thread can be started for it: ")),
             qPrintable(message));
}

void tst_VideoSource::missingPluginIsNamed_data()
{
    QTest::addColumn<QStringList>("leftOut"); // GStreamer plugin files
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("codec");
    QTest::addColumn<bool>("qtPlugins");      // false: Qt's plugins hidden from the player
    QTest::addColumn<QString>("reason");      // a pattern, after "cannot be played: "
    QTest::newRow("no-h264-decoder") << reducedgstreamer::h264Decoders() << "clip.mp4" << "libx264" << true
                                     << "it needs GStreamer's H\\.264 .*decoder, which is not installed: "
                                        "install gstreamer1\\.0-libav\\.";
    QTest::newRow("no-webm-demuxer") << QStringList{"libgstmatroska.so"} << "clip.webm" << "libvpx" << true
                                     << "it needs GStreamer's WebM demuxer, which is not installed: "
                                        "install gstreamer1\\.0-plugins-good\\.";
    // The player's own converter (its plugin of its own before GStreamer 1.22): the video was
    // said to be "damaged or of a kind that cannot be decoded".
    QTest::newRow("no-videoconvert") << QStringList{"libgstvideoconvertscale.so", "libgstvideoconvert.so"}
                                     << "clip.mp4" << "libx264" << true
                                     << "GStreamer's videoconvert element is not installed: "
                                        "install gstreamer1\\.0-plugins-base\\.";
    // Qt Multimedia without its GStreamer plugin: "does not have a valid service".
    QTest::newRow("no-qt-plugin") << QStringList() << "clip.mp4" << "libx264" << false
                                  << "Qt Multimedia has no plugin to play videos with: "
                                     "install libqt5multimedia5-plugins\\.";
}

// A machine where a package of GStreamer's plugins is not installed (the Debian package only
// recommends some), or Qt's plugin for GStreamer: the footer says which to install, not "Cannot
// play stream of type".
void tst_VideoSource::missingPluginIsNamed()
{
    QFETCH(QStringList, leftOut);
    QFETCH(QString, name);
    QFETCH(QString, codec);
    QFETCH(bool, qtPlugins);
    QFETCH(QString, reason);
    const QString path = folder.filePath(name);
    const QString error = testclips::encode(testclips::greySteps(4, QSize(64, 48)), 10, path, codec);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QTemporaryDir gstreamer;
    QVERIFY(gstreamer.isValid());
    const QProcessEnvironment environment = reducedgstreamer::without(leftOut, gstreamer);
    if (environment.isEmpty()) {
        QSKIP("no GStreamer plugins in " GST_SYSTEM_PLUGIN_DIR);
    }
    const QStringList arguments = qtPlugins ? QStringList{path} : QStringList{QStringLiteral("--no-qt-plugins"), path};
    const ProgramRun run = runProgram(QStringLiteral(VIDEO_PROBE_PATH), arguments, QString(), QString(), 90'000, environment);
    QVERIFY2(run.status == 2, qPrintable(describe(run)));
    const QRegularExpression said(QStringLiteral("^failed: The video \"%1\" cannot be played: %2\n")
                                      .arg(QRegularExpression::escape(name), reason));
    QVERIFY2(said.match(QString::fromUtf8(run.out)).hasMatch(), qPrintable(describe(run)));
}

void tst_VideoSource::missingCameraPieceIsNamed_data()
{
    QTest::addColumn<QStringList>("leftOut"); // GStreamer plugin files
    QTest::addColumn<QString>("said");
    QTest::newRow("everything") << QStringList() << "camera:";
    // Qt's camera is built on camerabin, among the plugins the Debian package only recommends:
    // without it the Preview said only "The camera could not be started."
    QTest::newRow("no-camerabin") << QStringList{"libgstcamerabin.so"}
                                  << "camera:GStreamer's camerabin element is not installed: install gstreamer1.0-plugins-bad";
    QTest::newRow("no-v4l2") << QStringList{"libgstvideo4linux2.so"}
                             << "camera:GStreamer's v4l2src element is not installed: install gstreamer1.0-plugins-good";
}

void tst_VideoSource::missingCameraPieceIsNamed()
{
    QFETCH(QStringList, leftOut);
    QFETCH(QString, said);
    QTemporaryDir gstreamer;
    QVERIFY(gstreamer.isValid());
    const QProcessEnvironment environment = reducedgstreamer::without(leftOut, gstreamer);
    if (environment.isEmpty()) {
        QSKIP("no GStreamer plugins in " GST_SYSTEM_PLUGIN_DIR);
    }
    const ProgramRun run = runProgram(QStringLiteral(VIDEO_PROBE_PATH), {QStringLiteral("--camera-pieces")}, QString(),
                                      QString(), 90'000, environment);
    QVERIFY2(run.status == 0, qPrintable(describe(run)));
    QCOMPARE(QString::fromUtf8(run.out).trimmed(), said);
}

QTEST_MAIN(tst_VideoSource)
#include "tst_videosource.moc"
