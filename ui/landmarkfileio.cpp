#include "ui/landmarkfileio.h"

#include "core/imagefiles.h"
#include "core/landmarkfiles.h"
#include "core/pngcodec.h"
#include "core/wholefile.h"
#include "face_detection_module/landmarkgeometry.h"

#include <QDir>
#include <QFile>
#include <QFutureWatcher>
#include <QImage>
#include <QtConcurrent/QtConcurrentRun>
#include <QFileInfo>

#include <cmath>

namespace ui::landmarkio {

namespace {
// A landmark file is a few kilobytes; anything far larger is not one.
constexpr qint64 largestFile = 4 * 1024 * 1024;

void setReason(QString* reason, const QString& text)
{
    if (reason) {
        *reason = text;
    }
}
// A pixel coordinate for a message: to a tenth of a pixel, in powers of ten beyond a billion
// (a file can hold 1e300).
QString pixelText(double pixel)
{
    return std::abs(pixel) < 1e9 ? QString::number(pixel, 'f', 1) : QString::number(pixel, 'g', 3);
}

// Same pixels, whatever the formats the two came in.
bool samePixels(const QImage& a, const QImage& b)
{
    return a.size() == b.size()
        && a.convertToFormat(QImage::Format_ARGB32) == b.convertToFormat(QImage::Format_ARGB32);
}

// The picture file beside the XML at xmlPath that holds picture, or the first free name for it
// (*mustWrite set). Empty when a hundred names are taken by other pictures. A link is a taken
// name even when it leads nowhere: writing it would make a file wherever it points.
QString pictureFileBeside(const QString& xmlPath, const QImage& picture, bool* mustWrite)
{
    const QFileInfo xml(xmlPath);
    const QString base = xml.dir().filePath(xml.completeBaseName());
    for (int n = 0; n < 100; ++n) {
        const QString candidate = n == 0 ? base + QStringLiteral(".png")
                                         : QStringLiteral("%1-%2.png").arg(base).arg(n);
        if (const QFileInfo info(candidate); !info.exists() && !info.isSymLink()) {
            *mustWrite = true;
            return candidate;
        }
        const core::ImageDecoding existing = core::readPictureFile(candidate);
        if (!existing.picture.isNull() && samePixels(existing.picture, picture)) {
            *mustWrite = false;
            return candidate;
        }
    }
    return QString();
}

bool writeBytes(const QString& path, const QByteArray& bytes, QString* reason)
{
    const QString failure = bytes.isEmpty() ? QStringLiteral("out of memory") : core::writeWholeFile(path, bytes);
    if (!failure.isEmpty()) {
        setReason(reason, QStringLiteral("\"%1\" could not be written: %2.").arg(QFileInfo(path).fileName(), failure));
        return false;
    }
    return true;
}

} // namespace

QString fileFilter()
{
    return QStringLiteral("iBUG landmarks (*.pts);;dlib XML (*.xml);;All files (*)");
}

bool isDlibXml(const QString& path)
{
    return QFileInfo(path).suffix().compare(QLatin1String("xml"), Qt::CaseInsensitive) == 0;
}

std::optional<core::FacialPointVector> readPoints(const QString& path, QSize pictureSize,
                                                  QString* reason, QString* note)
{
    QString aside;
    if (pictureSize.isEmpty()) {
        setReason(reason, QStringLiteral("Open a picture first: the points are read for it."));
        return std::nullopt;
    }
    // A FIFO or a device would block the window in open(2) or read(2) until something writes.
    if (const QFileInfo info(path); info.exists() && !info.isFile()) {
        setReason(reason, QStringLiteral("\"%1\" could not be opened: not a regular file.")
                              .arg(QFileInfo(path).fileName()));
        return std::nullopt;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        setReason(reason, QStringLiteral("\"%1\" could not be opened: %2.")
                              .arg(QFileInfo(path).fileName(), file.errorString()));
        return std::nullopt;
    }
    if (file.size() > largestFile) {
        setReason(reason, QStringLiteral("\"%1\" is too large for a landmark file.")
                              .arg(QFileInfo(path).fileName()));
        return std::nullopt;
    }
    const QByteArray text = file.read(largestFile);
    QString why;
    std::optional<core::FacialPointVector> points;
    if (isDlibXml(path)) {
        if (auto image = core::landmarkfiles::readDlibXml(text, pictureSize, &why)) {
            points = image->points;
            if (image->faceCount > 1) {
                aside = QStringLiteral("the first of its %1 faces, marked on %2")
                            .arg(QString::number(image->faceCount),
                                 image->file.isEmpty() ? QStringLiteral("an unnamed picture")
                                                       : QFileInfo(image->file).fileName());
            }
        }
    } else {
        points = core::landmarkfiles::readPts(text, pictureSize, &why);
    }
    if (!points || int(points->size()) < core::landmarkfiles::landmarkCount) {
        setReason(reason, QStringLiteral("\"%1\" holds no 68 landmarks that can be read (%2). "
                                         "Choose an iBUG .pts or a dlib XML file.")
                              .arg(QFileInfo(path).fileName(), why));
        return std::nullopt;
    }
    points->resize(size_t(core::landmarkfiles::landmarkCount));
    // Points a little beyond the edge belong to a face the picture cuts, and are moved onto the
    // edge below. Points far beyond it were marked on another picture (a larger copy, say).
    for (const FacialPoint& p : *points) {
        if (p.x() < -0.5 || p.x() > 1.5 || p.y() < -0.5 || p.y() > 1.5) {
            setReason(reason, QStringLiteral("\"%1\" has points far outside the picture (%2, %3 px on a "
                                             "picture of %4 × %5): it was made for another picture.")
                                  .arg(QFileInfo(path).fileName(), pixelText(p.x() * pictureSize.width()),
                                       pixelText(p.y() * pictureSize.height()),
                                       QString::number(pictureSize.width()),
                                       QString::number(pictureSize.height())));
            return std::nullopt;
        }
    }
    // The derived points come from picture pixels, as detection computes them.
    for (FacialPoint& p : *points) {
        p = FacialPoint(p.x() * pictureSize.width(), p.y() * pictureSize.height());
    }
    core::landmarks::appendForeheadPoints(*points);
    core::landmarks::normalizePoints(*points, pictureSize.width(), pictureSize.height());
    if (note) {
        *note = aside;
    }
    return points;
}

QString exportRefusal(const core::FacialPointVector& points, QSize pictureSize)
{
    if (pictureSize.isEmpty()) {
        return QStringLiteral("There are no points to export: open a picture first.");
    }
    if (int(points.size()) < core::landmarkfiles::landmarkCount) {
        return QStringLiteral("The picture has no points to export: press Ctrl+D to detect "
                              "them, or Ctrl+T for a template.");
    }
    const int far = core::landmarkfiles::unwritablePoint(points, pictureSize);
    if (far >= 0) {
        return QStringLiteral("Point %1 lies too far outside the picture to be written: move it onto the picture first.").arg(far);
    }
    return QString();
}

bool writePoints(const QString& path, const core::FacialPointVector& points, QSize pictureSize,
                 const QString& pictureName, QString* reason)
{
    const QString refusal = exportRefusal(points, pictureSize);
    if (!refusal.isEmpty()) {
        setReason(reason, refusal);
        return false;
    }
    QByteArray text;
    if (isDlibXml(path)) {
        core::landmarkfiles::DlibImage image;
        image.file = pictureName;
        image.points = points;
        image.box = core::landmarkfiles::boundingBox(points, pictureSize);
        text = core::landmarkfiles::writeDlibXml(image, pictureSize);
    } else {
        text = core::landmarkfiles::writePts(points, pictureSize);
    }
    return writeBytes(path, text, reason);
}

bool exportPoints(const QString& path, const core::FacialPointVector& points, const QImage& picture,
                  QString* reason, QString* pictureWritten)
{
    if (pictureWritten) {
        pictureWritten->clear();
    }
    if (!isDlibXml(path) || picture.isNull() || int(points.size()) < core::landmarkfiles::landmarkCount) {
        return writePoints(path, points, picture.size(), QString(), reason);
    }
    bool mustWrite = false;
    const QString pictureFile = pictureFileBeside(path, picture, &mustWrite);
    if (pictureFile.isEmpty()) {
        setReason(reason, QStringLiteral("No free name for the picture beside \"%1\": choose another "
                                         "name or folder.").arg(QFileInfo(path).fileName()));
        return false;
    }
    if (mustWrite) {
        if (!writeBytes(pictureFile, core::png::encode(picture), reason)) {
            return false;
        }
        if (pictureWritten) {
            *pictureWritten = QFileInfo(pictureFile).fileName();
        }
    }
    // dlib reads the image's file relative to the XML's folder.
    if (writePoints(path, points, picture.size(), QFileInfo(pictureFile).fileName(), reason)) {
        return true;
    }
    // A picture no XML names is litter: the one written just now goes again.
    if (mustWrite) {
        QFile::remove(pictureFile);
        if (pictureWritten) {
            pictureWritten->clear();
        }
    }
    return false;
}

void exportPointsLater(const QString& path, const core::FacialPointVector& points, const QImage& picture,
                       QObject* context, std::function<void(const Exported&)> done)
{
    auto* watcher = new QFutureWatcher<Exported>(context);
    QObject::connect(watcher, &QFutureWatcherBase::finished, context, [watcher, done = std::move(done)] {
        watcher->deleteLater();
        done(watcher->result());
    });
    watcher->setFuture(QtConcurrent::run([path, points, picture] {
        Exported exported;
        exported.ok = exportPoints(path, points, picture, &exported.reason, &exported.pictureWritten);
        return exported;
    }));
}

} // namespace ui::landmarkio
