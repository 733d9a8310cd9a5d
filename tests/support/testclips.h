#pragma once
// Video clips made inside tests: pictures encoded with ffmpeg.

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QTemporaryDir>
#include <QVector>

namespace testclips {

inline bool haveFfmpeg()
{
    return !QStandardPaths::findExecutable(QStringLiteral("ffmpeg")).isEmpty();
}

// Runs ffmpeg, quiet but for errors, with arguments. Returns an empty string on success, else
// what went wrong.
inline QString runFfmpeg(const QStringList& arguments)
{
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 QStringList{QStringLiteral("-y"), QStringLiteral("-loglevel"), QStringLiteral("error")} + arguments);
    if (!ffmpeg.waitForFinished(120000) || ffmpeg.exitStatus() != QProcess::NormalExit || ffmpeg.exitCode() != 0) {
        return QStringLiteral("ffmpeg failed: %1").arg(QString::fromLocal8Bit(ffmpeg.readAllStandardError()));
    }
    return QString();
}

// A file of 2 s of sound (AAC) and no pictures at path, as a recording saved without them.
inline QString soundOnly(const QString& path)
{
    return runFfmpeg({QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                      QStringLiteral("sine=duration=2"), QStringLiteral("-c:a"), QStringLiteral("aac"), path});
}

// Encodes frames (all of one size, even width and height) at fps frames per second with the
// ffmpeg encoder codec ("libx264", "libvpx", "libvpx-vp9", "gif") into path; the container follows the
// suffix. Returns an empty string on success, else what went wrong.
inline QString encode(const QVector<QImage>& frames, double fps, const QString& path,
                      const QString& codec = QStringLiteral("libx264"), const QStringList& extra = {})
{
    QTemporaryDir pictures;
    if (!pictures.isValid()) {
        return QStringLiteral("no temporary folder");
    }
    for (int i = 0; i < frames.size(); ++i) {
        const QString name = pictures.filePath(QStringLiteral("%1.png").arg(i, 5, 10, QLatin1Char('0')));
        if (!frames[i].save(name, "PNG")) {
            return QStringLiteral("cannot write %1").arg(name);
        }
    }
    const bool gif = codec == QLatin1String("gif");
    QStringList arguments{QStringLiteral("-framerate"), QString::number(fps),
                          QStringLiteral("-i"), pictures.filePath(QStringLiteral("%05d.png")),
                          QStringLiteral("-c:v"), codec, QStringLiteral("-pix_fmt"),
                          gif ? QStringLiteral("rgb8") : QStringLiteral("yuv420p")};
    if (gif) {
        // an animated GIF: no rate to set
    } else if (codec == QLatin1String("libx264")) {
        arguments << QStringLiteral("-preset") << QStringLiteral("veryfast") << QStringLiteral("-crf")
                  << QStringLiteral("18");
    } else {
        arguments << QStringLiteral("-b:v") << QStringLiteral("2M") << QStringLiteral("-deadline")
                  << QStringLiteral("realtime");
    }
    arguments << extra << path;
    return runFfmpeg(arguments);
}

// Copies the clip at from to to, its pictures untouched, with an orientation tag as a phone
// writes it: ffmpeg's "rotate" (degrees; 90 turns the pictures a quarter counter-clockwise to
// show them). ffmpeg writes it only when copying, not when encoding.
inline QString tagRotation(const QString& from, const QString& to, int degrees)
{
    return runFfmpeg({QStringLiteral("-i"), from, QStringLiteral("-c"), QStringLiteral("copy"),
                      QStringLiteral("-metadata:s:v:0"), QStringLiteral("rotate=%1").arg(degrees), to});
}

// count frames, each of one grey level (20 x its index, up to 240), so that a frame tells its index.
inline QVector<QImage> greySteps(int count, QSize size = QSize(160, 120))
{
    QVector<QImage> frames;
    for (int i = 0; i < count; ++i) {
        QImage frame(size, QImage::Format_RGB32);
        const int level = std::min(240, 20 * i);
        frame.fill(QColor(level, level, level));
        frames.append(frame);
    }
    return frames;
}

// count frames of coloured noise, different in every frame, so that every frame takes its share
// of an encoded file (a file cut in half then holds about half the frames).
inline QVector<QImage> noise(int count, QSize size = QSize(160, 120))
{
    QVector<QImage> frames;
    quint32 seed = 1;
    for (int i = 0; i < count; ++i) {
        QImage frame(size, QImage::Format_RGB32);
        for (int y = 0; y < frame.height(); ++y) {
            for (int x = 0; x < frame.width(); ++x) {
                seed = seed * 1664525u + 1013904223u;
                frame.setPixel(x, y, qRgb(int(seed >> 24), int(seed >> 16) & 255, int(seed >> 8) & 255));
            }
        }
        frames.append(frame);
    }
    return frames;
}

// The first percent of the bytes of the file whole, written to cut. Returns an empty string on
// success, else what went wrong.
inline QString copyCutShort(const QString& whole, const QString& cut, int percent)
{
    QFile from(whole);
    QFile to(cut);
    if (!from.open(QIODevice::ReadOnly) || !to.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return QStringLiteral("cannot copy %1 to %2").arg(whole, cut);
    }
    const QByteArray bytes = from.readAll();
    const qint64 kept = qint64(bytes.size()) * percent / 100;
    if (to.write(bytes.constData(), kept) != kept || !to.flush()) {
        return QStringLiteral("cannot write %1").arg(cut);
    }
    return QString();
}

// A 4.0 s clip of noise (40 frames at 10 per second, each of size) at whole, written with its
// index at the front as files meant for streaming are, and its first half at cut: the headers of
// the cut file still declare the whole length, but only about half the pictures are there.
// Returns an empty string on success, else what went wrong.
inline QString wholeAndCutShort(const QString& whole, const QString& cut, QSize size = QSize(160, 120))
{
    const QString error = encode(noise(40, size), 10, whole, QStringLiteral("libx264"),
                                 {QStringLiteral("-movflags"), QStringLiteral("+faststart")});
    return error.isEmpty() ? copyCutShort(whole, cut, 50) : error;
}

// An MP4 trimmed without encoding again, as `ffmpeg -ss skip -c copy` trims: frames of noise at
// 10 per second in one group of pictures (a key frame only at the start) are encoded to
// untrimmed, then trimmed to trimmed. The trimmed file keeps the frames from that key frame and
// its edit list skips the first skip seconds, so its frames' own stamps run skip seconds ahead
// of the length it declares. Its first percent of bytes go to cut. Returns an empty string on
// success, else what went wrong.
inline QString trimmedAndCutShort(int frames, QSize size, int skip, const QString& untrimmed,
                                  const QString& trimmed, const QString& cut, int percent)
{
    const QString group = QString::number(frames);
    const QString error = encode(noise(frames, size), 10, untrimmed, QStringLiteral("libx264"),
                                 {QStringLiteral("-g"), group, QStringLiteral("-keyint_min"), group,
                                  QStringLiteral("-sc_threshold"), QStringLiteral("0")});
    if (!error.isEmpty()) {
        return error;
    }
    const QString trimError = runFfmpeg({QStringLiteral("-ss"), QString::number(skip), QStringLiteral("-i"), untrimmed,
                                         QStringLiteral("-c"), QStringLiteral("copy"), QStringLiteral("-movflags"),
                                         QStringLiteral("+faststart"), trimmed});
    return trimError.isEmpty() ? copyCutShort(trimmed, cut, percent) : trimError;
}

inline double meanGrey(const QImage& picture)
{
    const QImage grey = picture.convertToFormat(QImage::Format_Grayscale8);
    double sum = 0;
    for (int y = 0; y < grey.height(); ++y) {
        const uchar* line = grey.constScanLine(y);
        for (int x = 0; x < grey.width(); ++x) {
            sum += line[x];
        }
    }
    return grey.isNull() ? -1 : sum / (double(grey.width()) * grey.height());
}

} // namespace testclips
