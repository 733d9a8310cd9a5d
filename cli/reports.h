#pragma once

#include "cli/commandline.h"
#include "core/facialpoints.h"
#include "face_detection_module/landmarkpipeline.h"

#include <QByteArray>
#include <QSize>
#include <QString>
#include <QVector>

#include <array>
#include <optional>
#include <vector>

// How facemask-cli prints its results: one line per input as text, or one JSON array. Numbers
// have 17 significant digits, so they read back exact. In text, names and file names are
// escaped (commandline.h), so that one line stays one line. Any thread.
namespace cli {

// One coordinate as text with 17 significant digits, e.g. "0.41796875000000000".
QString coordinateText(double value);
// "x,y x,y ...": the points in landmark order, fractions of the picture.
QString pointsText(const core::FacialPointVector& points);

struct PictureReport {
    QString file;
    core::DetectionResult detection;
    QString error;  // set when the picture could not be read or processed
    QSize pictureSize;
    QString warning = QString();  // read all the same, but something is amiss (a JPEG cut short)
};

// "FILE<TAB>FACES<TAB>POINTS" for a detected picture.
QString detectionLine(const PictureReport& report);
// [{"file", "faceCount", "points", "faces": [{"rect", "points"}], "placed"} or {"file", "error"}]
QString detectionsJson(const QVector<PictureReport>& reports);

struct PackageReport {
    QString file;
    QString refusal;  // empty when the package was accepted
    QString name;
    QString author;
    QString subcategory;
    int effectType = 0;
    core::FacialPointVector points;
    QSize pictureSize;
    QString time;
    // Triangles of the preview's mesh that the points fold (corner indices); the preview
    // leaves them out.
    std::vector<std::array<int, 3>> folded;
};

// Several "key: value" lines, or "FILE: refused: REASON".
QString packageText(const PackageReport& report);
// [{"file", "ok", "reason", "name", "author", "subcategory", "effectType", "pointCount",
//   "imageSize", "time", "folded"}]; the package's fields are null for a refused one.
QString packagesJson(const QVector<PackageReport>& reports);

// "FILE<TAB>1<TAB>POINTS": the columns of detectionLine, a package holding one face's points.
QString packagePointsLine(const PackageReport& report);
// [{"file", "pointCount", "points"}], or for a refused package [{"file", "error"}] with the
// error "refused: REASON".
QString packagePointsJson(const PackageReport& report);

// The 68 landmarks of one picture or package as a .pts file or dlib's imglab XML (format Pts or
// DlibXml; see landmarkfiles.h). The XML's box is the face placed, or without a face the box of
// the points; its image file is the picture, or for a package the package file itself.
QByteArray detectionDocument(const PictureReport& report, PointsFormat format);
QByteArray packagePointsDocument(const PackageReport& report, PointsFormat format);

// "face", "whole" or "full"; what --type of make takes.
QString effectTypeName(int effectType);

} // namespace cli
