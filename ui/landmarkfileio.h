#pragma once

// File → Import Points… and Export Points…: the 68 landmarks of other annotation tools as
// iBUG .pts or dlib imglab XML files (see core/landmarkfiles.h), for the picture on screen.
// The format follows the file's suffix: ".xml" is dlib XML, anything else .pts. Points are
// fractions of the picture. Any thread.

#include "core/facialpoints.h"

#include <QSize>

class QImage;
#include <QString>

#include <functional>
#include <optional>

class QObject;

namespace ui::landmarkio {

// The file filters of the pickers, .pts first.
QString fileFilter();
// True when path names a dlib XML file.
bool isDlibXml(const QString& path);

// The 75 points of the file at path: its 68 and the 7 derived from them as detection derives
// them. Nothing, with *reason set to a sentence for the user, when the file cannot be read or
// is not a landmark file of 68 points. *note (when given) is set to what the user should know of
// the points taken, empty when nothing: which of the faces of a dlib XML with several.
std::optional<core::FacialPointVector> readPoints(const QString& path, QSize pictureSize,
                                                  QString* reason, QString* note = nullptr);
// Why points on a picture of pictureSize cannot be exported to any file (no picture, fewer than
// 68 points, one too far outside the picture): a sentence for the user; empty when they can.
QString exportRefusal(const core::FacialPointVector& points, QSize pictureSize);
// Writes the first 68 points; false, with *reason set, when there are fewer or the file cannot
// be written. pictureName goes into dlib XML as the image's file.
bool writePoints(const QString& path, const core::FacialPointVector& points, QSize pictureSize,
                 const QString& pictureName, QString* reason);

// Export Points: writePoints for picture. A dlib XML names a picture file beside it, which
// dlib's tools load: "NAME.png" for "NAME.xml" when that file already holds these pixels, else
// the picture is written there as PNG, or to "NAME-1.png", "NAME-2.png" … when "NAME.png" holds
// another picture (an existing file is never replaced). *pictureWritten (when given) is set to
// the name of the picture file written, empty when none was. false, with *reason set, when a
// file cannot be written.
bool exportPoints(const QString& path, const core::FacialPointVector& points, const QImage& picture,
                  QString* reason, QString* pictureWritten = nullptr);

// What exportPointsLater did: exportPoints' answer, reason and picture file.
struct Exported {
    bool ok = false;
    QString reason;
    QString pictureWritten;
};
// exportPoints on a worker thread, with copies of points and picture, so that a disk that does not
// answer holds the worker and not the window. done is called on context's thread when it has
// ended, unless context is gone by then. context's thread.
void exportPointsLater(const QString& path, const core::FacialPointVector& points, const QImage& picture,
                       QObject* context, std::function<void(const Exported&)> done);

} // namespace ui::landmarkio
