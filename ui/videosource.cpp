#include "ui/videosource.h"

#include "ui/answerwithin.h"
#include "ui/framesurface.h"
#include "ui/silencewatch.h"
#include "core/localnames.h"
#include "video/videoorientation.h"
#include "video/videoreader.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMediaMetaData>
#include <QMediaPlayer>
#include <QPointer>
#include <QTimer>
#include <QTransform>
#include <QUrl>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace ui {

namespace {

constexpr int stallTimeoutMs = 10000;
// A paused seek that shows no picture in this long went past the pictures the file holds.
constexpr int seekTimeoutMs = 4000;
// A playing video that has sent no picture this long waits for its disk.
constexpr int playSilenceMs = VideoFrameSource::silenceMs;
constexpr int seekTickMs = 500;
// A tick of the hold watch this late means the whole program was held still.
constexpr int heldTickMs = 250;
constexpr int heldLateMs = 1000;
// How long a closed video waits to learn whether its disk answers before the player goes.
constexpr int diskAnswerMs = 300;
// How long start() waits to learn whether the file is there before it goes on as if it were.
constexpr std::chrono::milliseconds fileCheckTimeout{500};

// Reads the start of path from its disk, blocking as long as the disk does: one block past the
// page cache where the file system allows it (O_DIRECT), for a disk that hangs may still have
// that block in memory; else one byte. Not blocking on a FIFO put in the file's place. Any thread.
void touchDisk(const QByteArray& name)
{
    constexpr std::size_t block = 4096; // a whole block of any disk's sector size
    const int direct = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_DIRECT);
    if (direct >= 0) {
        void* buffer = nullptr;
        ssize_t got = -1;
        if (::posix_memalign(&buffer, block, block) == 0) {
            got = ::read(direct, buffer, block);
            std::free(buffer);
        }
        ::close(direct);
        if (got >= 0) {
            return;
        }
    }
    // O_DIRECT refused (tmpfs, some network file systems) or its read was.
    const int descriptor = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor >= 0) {
        char byte = 0;
        Q_UNUSED(::read(descriptor, &byte, 1))
        ::close(descriptor);
    }
}

// Reads the start of path (touchDisk()) on a thread of its own and then runs answered there.
// False when no thread can be had. Any thread.
bool probeDisk(const QString& path, std::function<void()> answered)
{
    try {
        std::thread([name = QFile::encodeName(path), answered = std::move(answered)] {
            touchDisk(name);
            answered();
        }).detach();
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

// Whether the disk that holds path answers: its start is read (probeDisk()) within waitMs. When
// it does not, later runs on the probe's thread once it does. True when no thread can be had
// (the caller then goes on as if it answered). GUI thread.
bool diskAnswers(const QString& path, int waitMs, std::function<void()> later)
{
    struct Probe {
        std::mutex lock;
        std::condition_variable done;
        bool answered = false;
        std::function<void()> later;
    };
    watchApplicationEnd();
    auto probe = std::make_shared<Probe>();
    const bool started = probeDisk(path, [probe] {
        std::function<void()> then;
        {
            const std::lock_guard<std::mutex> hold(probe->lock);
            probe->answered = true;
            then = std::move(probe->later);
        }
        probe->done.notify_all();
        if (then) {
            then();
        }
    });
    if (!started) {
        return true;
    }
    std::unique_lock<std::mutex> hold(probe->lock);
    if (probe->done.wait_for(hold, std::chrono::milliseconds(waitMs), [&] { return probe->answered; })) {
        return true;
    }
    probe->later = std::move(later);
    return false;
}

} // namespace

class VideoFrameSource::Impl
{
public:
    Impl(VideoFrameSource* owner, const QString& path)
        : owner(owner)
        , path(QFileInfo(path).absoluteFilePath())
        , surface([this](const QImage& frame, qint64 startTime) { onFrame(frame, startTime); })
        , player(nullptr, QMediaPlayer::VideoSurface)
        , stallWatch(stallTimeoutMs)
        , seekWatch(seekTimeoutMs, seekTickMs)
        , playWatch(playSilenceMs, seekTickMs)
    {
        player.setVideoOutput(&surface);
        player.setMuted(true);
        QObject::connect(&stallWatch, &SilenceWatch::silent, owner, [this] {
            fail(QStringLiteral("no picture came out of it in %1 seconds; it may be cut short or damaged.")
                     .arg(stallTimeoutMs / 1000));
        });
        QObject::connect(&seekWatch, &SilenceWatch::silent, owner, [this] { onSeekUnanswered(); });
        QObject::connect(&playWatch, &SilenceWatch::silent, owner, [this] { onPlaySilent(); });
        holdWatch.setInterval(heldTickMs);
        QObject::connect(&holdWatch, &QTimer::timeout, owner, [this] { onHoldTick(); });
    }

    void onFrame(const QImage& frame, qint64 startTime);
    // The playing video has sent nothing for a while. A file may hold a still stretch that long
    // (a screen recording, a slideshow): only when its disk does not answer either is it said to
    // wait for the disk; otherwise the watch counts again.
    void onPlaySilent();
    void onStatus(QMediaPlayer::MediaStatus status);
    void fail(const QString& reason);
    void streamFailed(const QString& reason);
    void checkEnd();
    void onShape(const video::VideoShape& shape);
    void onHoldTick();
    void onSeekUnanswered();
    // The hold watch runs while the video plays.
    void watchHolds(bool on)
    {
        if (on && !holdWatch.isActive()) {
            sinceHoldTick.start();
            holdWatch.start();
        } else if (!on) {
            holdWatch.stop();
        }
    }

    VideoFrameSource* const owner;
    const QString path;
    bool orphaned = false; // the source is gone and this waits for its disk: it sends nothing
    FrameSurface surface;
    QMediaPlayer player;
    qint64 lastStart = -1; // microseconds, in the frames' own time
    qint64 origin = -1;    // the frames' time of position 0
    qint64 shownStart = -1; // microseconds, in the frames' own time: the frame on screen, kept over seeks
    qint64 soughtAt = -1;   // the position (ms) a paused seek asked for and no frame has answered yet
    // endedEarly() last said that a paused seek found no picture: the next picture to come (of
    // that seek after all, of a later one, or played) takes that back. A seek past the pictures
    // again gets no picture, and the note stays until its own replaces it.
    bool seekNoted = false;
    // What endedEarly() said of where the pictures end, since start(): the note a seek's note
    // taken back gives way to.
    QString endNote;
    // How long a frame lasts, in microseconds: from the file's rate, or from the frames' own times
    // once they come. Kept whole: 7 or 30 frames a second are no whole number of milliseconds.
    double frameMicros = 1e6 / 30;
    qint64 framesSinceSeek = 0;
    bool failedOnce = false;
    qint64 framesPlayed = 0; // since start()
    qint64 resumedAt = -1;   // the position (ms) played on from after the last stream error, in
                             // this pass through the video: -1 again after a loop or a seek
    bool errorPending = false;
    QString pendingReason;
    bool endedEarlyOnce = false;
    int earlyEnds = 0; // ends in a row before the declared length
    bool playWanted = false; // Play pressed and not Pause or Stop since: only then does the end loop
    bool mediaSet = false;   // the player has the file: its headers were read and accepted
    bool passFromStart = true; // the player has played from position 0 on, not from a seek
    quint64 run = 0;         // counted up by start() and stop(): a recovery queued before is dropped
    bool stopped = false;    // stop() was the last word: a stream error then is no one's concern
    int turn = 0; // clockwise degrees that make the file's pictures upright
    bool lengthFromFileZero = false; // see video::VideoShape
    // A file that opens but never yields a picture (cut short, say) is reported after this.
    SilenceWatch stallWatch;
    // A paused seek past the end of the pictures there are (a file cut short, or still being
    // copied) shows nothing, and the player says nothing either.
    SilenceWatch seekWatch;
    // A video that played and then sends nothing while it plays: its file cannot be read on.
    SilenceWatch playWatch;
    bool silentNow = false; // silenceChanged() said so, and no picture came since
    // The play watch runs while the video plays, once it has shown a picture.
    void watchPlay(bool on)
    {
        if (on && playWanted && mediaSet && !failedOnce && framesPlayed > 0) {
            playWatch.start();
        } else {
            playWatch.stop();
        }
    }
    void endSilence()
    {
        if (std::exchange(silentNow, false)) {
            emit owner->silenceChanged(QString());
        }
    }
    // The player's clock runs on while the whole program is held still (a debugger, SIGSTOP): its
    // next frame is then late by the time held, and the decoder drops all frames up to twice that
    // far on, showing none meanwhile. Such a hold is told by a tick that comes late, on the
    // monotonic clock the player's own clock runs on.
    QTimer holdWatch;
    QElapsedTimer sinceHoldTick;

    bool frameRateKnown()
    {
        const double rate = player.metaData(QMediaMetaData::VideoFrameRate).toDouble();
        if (rate > 0 && rate < 1000) {
            frameMicros = 1e6 / rate;
            return true;
        }
        return false;
    }
};

void VideoFrameSource::Impl::onPlaySilent()
{
    // Without a thread to ask with, answered stays false: said as before.
    const auto answered = std::make_shared<std::atomic<bool>>(false);
    probeDisk(path, [answered] { *answered = true; });
    const qint64 framesThen = framesPlayed;
    const quint64 runThen = run;
    QTimer::singleShot(diskAnswerMs, owner, [this, answered, framesThen, runThen] {
        if (framesPlayed != framesThen || run != runThen || !playWanted || failedOnce) {
            return; // a picture came, or the video was stopped, left or failed meanwhile
        }
        if (*answered) {
            watchPlay(true); // a still stretch of the file's own: count again
            return;
        }
        silentNow = true;
        emit owner->silenceChanged(VideoFrameSource::silenceNote(path));
    });
}

void VideoFrameSource::Impl::onFrame(const QImage& frame, qint64 startTime)
{
    // The player hands the first frame over twice.
    if (orphaned || (startTime >= 0 && startTime == lastStart)) {
        return;
    }
    stallWatch.stop();
    seekWatch.stop();
    soughtAt = -1;
    if (std::exchange(seekNoted, false)) {
        emit owner->endedEarly(endNote);
    }
    ++framesPlayed;
    watchPlay(true);
    endSilence();
    if (startTime >= 0) {
        // The first frame after a seek carries the time sought, not its own start.
        if (lastStart >= 0 && startTime > lastStart && framesSinceSeek >= 2 && !frameRateKnown()) {
            frameMicros = double(startTime - lastStart);
        }
        ++framesSinceSeek;
        lastStart = startTime;
        shownStart = startTime;
        // The frames' times may start later than 0 (an MP4's edit list); the player's
        // positions always start at 0, and the first frame after start() is at position 0.
        if (origin < 0) {
            origin = startTime;
        }
        emit owner->positionChanged((startTime - origin) / 1000);
    }
    // A phone stores an upright video on its side and says so in the file: the picture is turned
    // as the file asks, as the command line's reader does.
    emit owner->frameReady(turn == 0 ? frame : frame.transformed(QTransform().rotate(turn)));
}

void VideoFrameSource::Impl::onStatus(QMediaPlayer::MediaStatus status)
{

    if (status == QMediaPlayer::EndOfMedia) {
        // A still picture plays as a video of no length, a clip of one picture as one that
        // lasts a frame and ends on its first: either ends as soon as it starts, and looping it
        // would restart it many times a second, each round's picture searched for faces anew.
        // Its one frame stays shown, as when paused.
        const bool onePicture = double(player.duration()) * 1000 < 1.5 * frameMicros
                                && (lastStart < 0 || lastStart == origin);
        // The player hands each picture over before it goes on, so a pass from the start that
        // ends without one found none to show (a Matroska file cut before its first picture):
        // looping would end the same way, over and over, until the stall watch gives up.
        if (player.duration() > 0 && !onePicture && framesPlayed == 0 && passFromStart && mediaSet) {
            fail(QStringLiteral("it ends before its first picture; it may be cut short or damaged."));
            return;
        }
        if (!playWanted) {
            return;
        }
        if (player.duration() <= 0 || onePicture) {
            playWanted = false;
            watchPlay(false);
            watchHolds(false);
            emit owner->playingChanged(false);
            return;
        }
        checkEnd();
        lastStart = -1;
        resumedAt = -1;
        passFromStart = true;
        player.setPosition(0);
        player.play();
        emit owner->looped();
    } else if (status == QMediaPlayer::InvalidMedia) {
        streamFailed(player.errorString());
    }
}

void VideoFrameSource::Impl::checkEnd()
{
    const qint64 declared = player.duration();
    if (endedEarlyOnce || lastStart < 0 || origin < 0 || declared <= 0) {
        return;
    }
    // The last frame lasts a frame; a second more is left to rounding in the headers and to a
    // frame the player dropped for being late. The frames' times are the file's own: measured
    // from its 0 where the declared length counts from there (a Matroska file stamped an hour
    // in), else from the first frame (an MP4 whose edit list skips its first seconds).
    const qint64 end = (lastStart - (lengthFromFileZero ? 0 : origin) + qint64(frameMicros)) / 1000;
    if (end + 1000 >= declared) {
        earlyEnds = 0;
        return;
    }
    // A window held still (a suspended laptop, a debugger, a machine too busy to run it) finds
    // the player's clock past the frames it had yet to show: the player drops them as late and
    // ends at once. A file cut short ends early every time round; said at the second.
    if (++earlyEnds < 2) {
        return;
    }
    endedEarlyOnce = true;
    seekNoted = false;
    endNote = QStringLiteral("The video \"%1\" ends at %2 s of the %3 s its file declares: it may be cut short.")
                  .arg(QFileInfo(path).fileName())
                  .arg(end / 1000.0, 0, 'f', 1)
                  .arg(declared / 1000.0, 0, 'f', 1);
    emit owner->endedEarly(endNote);
}

void VideoFrameSource::Impl::onHoldTick()
{
    const qint64 gap = sinceHoldTick.restart();
    if (gap < heldTickMs + heldLateMs || !playWanted || !mediaSet || failedOnce || framesPlayed == 0) {
        return;
    }
    // Moved to the frame shown last: the seek flushes what the decoder was told to drop, and
    // the clock counts from there.
    const qint64 at = owner->position();
    lastStart = -1;
    framesSinceSeek = 0;
    player.setPosition(at);
}

// The frame shown stays, and the slider and the time go back to it; steps count from it.
void VideoFrameSource::Impl::onSeekUnanswered()
{
    if (playWanted || failedOnce || soughtAt < 0 || shownStart < 0 || origin < 0) {
        return;
    }
    const qint64 asked = std::exchange(soughtAt, -1);
    lastStart = shownStart;
    framesSinceSeek = 2;
    emit owner->positionChanged((shownStart - origin) / 1000);
    const qint64 declared = player.duration();
    emit owner->endedEarly(QStringLiteral("The video \"%1\" has no picture at %2 s of the %3 s its file declares: it may be cut short.")
                               .arg(QFileInfo(path).fileName())
                               .arg(asked / 1000.0, 0, 'f', 1)
                               .arg(declared / 1000.0, 0, 'f', 1));
    seekNoted = true;
}

void VideoFrameSource::Impl::onShape(const video::VideoShape& shape)
{
    turn = shape.turn;
    lengthFromFileZero = shape.lengthFromFileZero;
    // A step taken before two frames have played (paused at once) moves by the file's frame.
    if (shape.frameRate > 0 && shape.frameRate < 1000) {
        frameMicros = 1e6 / shape.frameRate;
    }
    // A small file can declare frames of any size: refused before one is decoded. A file of
    // sound only is refused too: it would play to its end and loop, again and again, unseen.
    const QString problem = video::shapeProblem(shape);
    if (!problem.isEmpty()) {
        fail(problem + QLatin1Char('.'));
        return;
    }
    // The GStreamer back end needs an absolute file URL.
    player.setMedia(core::localFileUrl(path));
    mediaSet = true;
    // Paused while the headers were read: the first frame is shown, and the video waits there.
    if (playWanted) {
        player.play();
    } else {
        player.pause();
    }
    watchHolds(playWanted);
    stallWatch.start();
}

// Qt's video sink fails the whole stream when the window takes longer than 0.3 s to take in a
// frame (a busy machine): a video that has played is not damaged, and plays on from the frame
// shown last. The player tells one error twice (its status, then the error itself): they are
// taken as one. An error that comes again before the video got any further is the file's.
void VideoFrameSource::Impl::streamFailed(const QString& reason)
{
    if (stopped) {
        return;
    }
    if (failedOnce || framesPlayed == 0 || !mediaSet) {
        fail(reason);
        return;
    }
    if (!reason.isEmpty()) {
        pendingReason = reason;
    }
    if (errorPending) {
        return;
    }
    errorPending = true;
    QTimer::singleShot(0, owner, [this, queuedIn = run] {
        errorPending = false;
        if (queuedIn != run) {
            return; // stopped or started anew meanwhile: the player is the user's again
        }
        const QString why = std::exchange(pendingReason, QString());
        const qint64 at = owner->position();
        if (failedOnce || at <= resumedAt) {
            fail(why);
            return;
        }
        resumedAt = at;
        lastStart = -1;
        framesSinceSeek = 0;
        // The player opens the file again on play or pause; the position is taken up after that.
        player.stop();
        if (playWanted) {
            player.play();
        } else {
            player.pause();
        }
        player.setPosition(at);
        stallWatch.start();
    });
}

void VideoFrameSource::Impl::fail(const QString& reason)
{
    if (failedOnce) {
        return;
    }
    failedOnce = true;
    stallWatch.stop();
    seekWatch.stop();
    playWatch.stop();
    endSilence();
    watchHolds(false);
    player.stop();
    const QString name = QFileInfo(path).fileName();
    emit owner->failed(reason.isEmpty()
                           ? QStringLiteral("The video \"%1\" cannot be played: it is damaged or of a kind that cannot be decoded.").arg(name)
                           : QStringLiteral("The video \"%1\" cannot be played: %2").arg(name, reason));
    emit owner->playingChanged(false);
}

VideoFrameSource::VideoFrameSource(const QString& path)
{
    // Read when the player's pipeline is made: the sound of a face video goes nowhere, so a
    // machine without a sound device plays it too.
    FrameSurface::leaveOutUnusedSinks();
    d = std::make_unique<Impl>(this, path);
    connect(&d->player, &QMediaPlayer::mediaStatusChanged, this,
            [impl = d.get()](QMediaPlayer::MediaStatus status) { impl->onStatus(status); });
    connect(&d->player, QOverload<QMediaPlayer::Error>::of(&QMediaPlayer::error), this,
            [impl = d.get()](QMediaPlayer::Error error) {
                if (error != QMediaPlayer::NoError) {
                    impl->streamFailed(impl->player.errorString());
                }
            });
    connect(&d->player, &QMediaPlayer::durationChanged, this, &VideoFrameSource::durationChanged);
}

// The player's pipeline, torn down, waits for its thread; on a disk that stopped answering that
// thread waits in a read, for as long as the disk does. The player then goes once it answers,
// and the window is not held meanwhile.
VideoFrameSource::~VideoFrameSource()
{
    d->player.stop();
    d->orphaned = true;
    Impl* impl = d.get();
    const bool answers = diskAnswers(d->path, diskAnswerMs, [impl] { postToApplication([impl] { delete impl; }); });
    if (!answers) {
        Q_UNUSED(d.release())
    }
}

QString VideoFrameSource::silenceNote(const QString& path)
{
    return QStringLiteral("The video \"%1\" has sent no picture for %2 seconds: its disk may not be answering.")
        .arg(QFileInfo(path).fileName())
        .arg(silenceMs / 1000);
}

bool VideoFrameSource::start()
{
    // Asked on a thread of its own: on a disk that stopped answering, the question would hold the
    // window for as long as the disk does. Unanswered in time, the file is taken as there; the
    // header read below asks again, and the play watch tells the user that the disk is silent.
    const std::optional<bool> isFile =
        answerWithin<bool>(fileCheckTimeout, [path = d->path] { return QFileInfo(path).isFile(); });
    if (isFile && !*isFile) {
        return false;
    }
    ++d->run;
    d->stopped = false;
    d->origin = -1;
    d->lastStart = -1;
    d->shownStart = -1;
    d->soughtAt = -1;
    d->seekNoted = false;
    d->endNote.clear();
    d->framesSinceSeek = 2;
    d->endedEarlyOnce = false;
    d->earlyEnds = 0;
    d->mediaSet = false;
    d->passFromStart = true;
    d->framesPlayed = 0;
    d->resumedAt = -1;
    // GStreamer would wait for ever on a thread it could not start, and the footer with it.
    const QString shortage = video::threadShortage();
    if (!shortage.isEmpty()) {
        d->fail(shortage + QLatin1Char('.'));
        return true;
    }
    // Without Qt Multimedia's GStreamer plugin the player has no back end and says only that it
    // "does not have a valid service".
    if (d->player.availability() == QMultimedia::ServiceMissing) {
        d->fail(QStringLiteral("Qt Multimedia has no plugin to play videos with: install libqt5multimedia5-plugins."));
        return true;
    }
    // The file's headers, read on a thread of its own: GStreamer's discoverer can take seconds
    // on a busy machine, and the window must not wait for it; on a disk that stops answering it
    // waits as long as the disk, and the program must not wait for it as it ends (as it waits
    // for the workers of Qt's pool). A result for a source gone, stopped or started anew is
    // dropped.
    watchApplicationEnd();
    QPointer<VideoFrameSource> self(this);
    try {
        std::thread([self, queuedIn = d->run, path = d->path] {
            // The player leaves out a converter it does not find, and then shows nothing; it is
            // told as a plugin the file needs.
            video::VideoShape shape;
            shape.missingPlugin = video::missingElements(
                {QStringLiteral("playbin"), QStringLiteral("videoconvert"), QStringLiteral("videoscale")});
            // Gone, or never a file, where start() could not tell in time.
            const bool there = QFileInfo(path).isFile();
            if (there && shape.missingPlugin.isEmpty()) {
                shape = video::videoShape(path);
            }
            postToApplication([self, queuedIn, shape, there] {
                if (!self || self->d->run != queuedIn) {
                    return;
                }
                if (there) {
                    self->d->onShape(shape);
                } else {
                    self->d->fail(QStringLiteral("it is not there, or not a file."));
                }
            });
        }).detach();
    } catch (const std::system_error&) {
        d->fail(QStringLiteral("no thread can be started to read it."));
        return true;
    }
    play();
    // Its first picture, too, may wait for a disk that does not answer.
    d->playWatch.start();
    return true;
}

void VideoFrameSource::stop()
{
    ++d->run; // a stopped source does not start once its headers are read
    d->stopped = true;
    d->playWanted = false;
    d->stallWatch.stop();
    d->seekWatch.stop();
    d->soughtAt = -1;
    d->seekNoted = false;
    d->watchPlay(false);
    d->endSilence();
    d->watchHolds(false);
    d->player.stop();
    emit playingChanged(false);
}

void VideoFrameSource::play()
{
    if (d->failedOnce) {
        return;
    }
    d->stopped = false;
    d->playWanted = true;
    d->seekWatch.stop(); // played on from there: its end loops
    d->soughtAt = -1;
    if (d->mediaSet) {
        d->player.play();
        d->watchHolds(true);
        d->watchPlay(true);
    }
    emit playingChanged(true);
}

void VideoFrameSource::pause()
{
    d->stopped = false;
    d->playWanted = false;
    d->watchHolds(false);
    d->watchPlay(false);
    d->player.pause();
    emit playingChanged(false);
}

bool VideoFrameSource::isPlaying() const
{
    return d->playWanted && !d->failedOnce;
}

QString VideoFrameSource::path() const
{
    return d->path;
}

qint64 VideoFrameSource::duration() const
{
    return d->player.duration();
}

qint64 VideoFrameSource::position() const
{
    return d->lastStart >= 0 && d->origin >= 0 ? (d->lastStart - d->origin) / 1000 : d->player.position();
}

void VideoFrameSource::seek(qint64 position)
{
    const qint64 end = d->player.duration();
    position = std::max<qint64>(0, end > 0 ? std::min(position, end - 1) : position);
    d->lastStart = -1;
    d->framesSinceSeek = 0;
    d->resumedAt = -1;
    d->passFromStart = position == 0;
    d->player.setPosition(position);
    // A file that declares no length (a still picture) has no pictures to go past.
    if (!d->playWanted && d->mediaSet && !d->failedOnce && end > 0) {
        d->soughtAt = position;
        d->seekWatch.start();
    }
}

void VideoFrameSource::step(int count)
{
    if (isPlaying()) {
        pause();
    }
    d->frameRateKnown();
    // Aimed at the middle of the frame wanted, so that rounding to milliseconds cannot land on
    // its neighbour. The time shown is the frame's start, or after a seek the time sought,
    // anywhere inside the frame; a start a microsecond short of its frame still counts as it.
    const qint64 shown = d->lastStart >= 0 && d->origin >= 0 ? d->lastStart - d->origin
                                                              : d->player.position() * 1000;
    const qint64 frame = qint64(std::floor(double(shown) / d->frameMicros + 0.01));
    seek(qint64((double(std::max<qint64>(0, frame + count)) + 0.5) * d->frameMicros / 1000));
}

} // namespace ui
