#include "ui/landmarkfileio.h"

#include "core/landmarkfiles.h"
#include "face_detection_module/landmarkgeometry.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

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
                                                  QString* reason)
{
    if (pictureSize.isEmpty()) {
        setReason(reason, QStringLiteral("Open a picture first: the points are read for it."));
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
    // The derived points come from picture pixels, as detection computes them.
    for (FacialPoint& p : *points) {
        p = FacialPoint(p.x() * pictureSize.width(), p.y() * pictureSize.height());
    }
    core::landmarks::appendForeheadPoints(*points);
    core::landmarks::normalizePoints(*points, pictureSize.width(), pictureSize.height());
    return points;
}

bool writePoints(const QString& path, const core::FacialPointVector& points, QSize pictureSize,
                 const QString& pictureName, QString* reason)
{
    if (pictureSize.isEmpty() || int(points.size()) < core::landmarkfiles::landmarkCount) {
        setReason(reason, QStringLiteral("There are no points to export: open a picture first."));
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
    QSaveFile file(path);
    if (text.isEmpty() || !file.open(QIODevice::WriteOnly) || file.write(text) != text.size()
        || !file.commit()) {
        setReason(reason, QStringLiteral("\"%1\" could not be written: %2.")
                              .arg(QFileInfo(path).fileName(), file.errorString()));
        return false;
    }
    return true;
}

} // namespace ui::landmarkio
