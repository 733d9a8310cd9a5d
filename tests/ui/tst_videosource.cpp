#include "tests/support/testclips.h"
#include "ui/videosource.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

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
    void damagedFileIsReported_data();
    void damagedFileIsReported();
    void missingFileDoesNotStart();

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
    QTest::newRow("mp4-h264") << "clip.mp4" << "libx264";
    QTest::newRow("webm-vp8") << "clip.webm" << "libvpx";
    QTest::newRow("webm-vp9") << "clip9.webm" << "libvpx-vp9";
    QTest::newRow("mkv-h264") << "clip.mkv" << "libx264";
}

void tst_VideoSource::playsEachKind()
{
    QFETCH(QString, name);
    QFETCH(QString, codec);
    const QString path = folder.filePath(name);
    const QString error = testclips::encode(testclips::greySteps(6, QSize(64, 48)), 10, path, codec);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    // Relative, as a user types it: the source makes it absolute.
    QVERIFY(QDir::setCurrent(folder.path()));
    ui::VideoFrameSource source(name);
    QSignalSpy frames(&source, &ui::FrameSource::frameReady);
    QSignalSpy failed(&source, &ui::FrameSource::failed);
    QVERIFY(source.start());
    QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 3 || failed.count() > 0, 20000);
    QVERIFY2(failed.isEmpty(), qPrintable(failed.value(0).value(0).toString()));
    QCOMPARE(frames.first().at(0).value<QImage>().size(), QSize(64, 48));
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

void tst_VideoSource::damagedFileIsReported_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("text-named-mp4") << QByteArray("this is not a video, only a few words of text\n");
    QByteArray cut;
    QFile whole(stepsClip);
    QVERIFY(whole.open(QIODevice::ReadOnly));
    cut = whole.read(whole.size() / 3); // the header without the frames it points to
    cut[cut.size() / 2] = 'x';
    QTest::newRow("truncated-mp4") << cut;
}

void tst_VideoSource::damagedFileIsReported()
{
    QFETCH(QByteArray, content);
    const QString path = folder.filePath(QStringLiteral("damaged.mp4"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
    file.close();
    ui::VideoFrameSource source(path);
    QSignalSpy failed(&source, &ui::FrameSource::failed);
    QVERIFY(source.start());
    QVERIFY(failed.wait(30000));
    const QString message = failed.first().at(0).toString();
    QVERIFY2(message.startsWith(QStringLiteral("The video \"damaged.mp4\" cannot be played")), qPrintable(message));
    QVERIFY(!source.isPlaying());
}

void tst_VideoSource::missingFileDoesNotStart()
{
    ui::VideoFrameSource source(folder.filePath(QStringLiteral("no-such-video.mp4")));
    QSignalSpy frames(&source, &ui::FrameSource::frameReady);
    QVERIFY(!source.start());
    QCOMPARE(frames.count(), 0);
}

QTEST_MAIN(tst_VideoSource)
#include "tst_videosource.moc"
