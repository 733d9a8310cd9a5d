#include "cli/reports.h"

#include "cli/commandline.h"
#include "cli/jsonwriting.h"
#include "core/landmarkfiles.h"
#include "core/numbertext.h"

#include <memory>
#include <sstream>

namespace cli {

namespace {

using json::pointsArray;
using json::rectArray;
using json::toText;

Json::Value jsonString(const QString& text)
{
    return json::string(text);
}

Json::Value detectionObject(const PictureReport& report)
{
    Json::Value object(Json::objectValue);
    object["file"] = jsonString(report.file);
    if (!report.error.isEmpty()) {
        object["error"] = jsonString(report.error);
        return object;
    }
    const core::DetectionResult& detection = report.detection;
    object["faceCount"] = detection.faceCount;
    object["points"] = pointsArray(detection.points);
    Json::Value faces(Json::arrayValue);
    for (const core::DetectedFace& face : detection.faces) {
        Json::Value entry(Json::objectValue);
        entry["rect"] = rectArray(face.rect);
        entry["points"] = pointsArray(face.points);
        faces.append(entry);
    }
    object["faces"] = faces;
    object["placed"] = detection.placed;
    return object;
}

// "none", or the count and each triangle's corners: "2 (0 1 17, 16 15 26)".
QString foldedText(const std::vector<std::array<int, 3>>& folded)
{
    if (folded.empty()) {
        return QStringLiteral("none");
    }
    QStringList triangles;
    for (const std::array<int, 3>& t : folded) {
        triangles.append(QStringLiteral("%1 %2 %3").arg(t[0]).arg(t[1]).arg(t[2]));
    }
    return QString::number(folded.size()) + QStringLiteral(" (") + triangles.join(QStringLiteral(", "))
        + QLatin1Char(')');
}

Json::Value packageObject(const PackageReport& report)
{
    Json::Value object(Json::objectValue);
    const bool ok = report.refusal.isEmpty();
    object["file"] = jsonString(report.file);
    object["ok"] = ok;
    object["reason"] = ok ? Json::Value() : jsonString(report.refusal);
    for (const char* key : {"name", "author", "subcategory", "effectType", "pointCount",
                            "imageSize", "time", "folded"}) {
        object[key] = Json::Value();
    }
    if (!ok) {
        return object;
    }
    object["name"] = jsonString(report.name);
    object["author"] = jsonString(report.author);
    object["subcategory"] = jsonString(report.subcategory);
    object["effectType"] = report.effectType;
    object["pointCount"] = Json::UInt64(report.points.size());
    Json::Value size(Json::arrayValue);
    size.append(report.pictureSize.width());
    size.append(report.pictureSize.height());
    object["imageSize"] = size;
    object["time"] = jsonString(report.time);
    Json::Value folded(Json::arrayValue);
    for (const std::array<int, 3>& t : report.folded) {
        Json::Value corners(Json::arrayValue);
        for (int corner : t) {
            corners.append(corner);
        }
        folded.append(corners);
    }
    object["folded"] = folded;
    return object;
}

QByteArray landmarkDocument(const QString& file, const core::FacialPointVector& points,
                            const QRect& faceBox, QSize pictureSize, PointsFormat format)
{
    namespace files = core::landmarkfiles;
    if (format == PointsFormat::Pts) {
        return files::writePts(points, pictureSize);
    }
    const QRect box = faceBox.isValid() ? faceBox : files::boundingBox(points, pictureSize);
    return files::writeDlibXml({file, box, points}, pictureSize);
}

} // namespace

QByteArray detectionDocument(const PictureReport& report, PointsFormat format)
{
    const core::DetectionResult& detection = report.detection;
    const QRect box = detection.placed >= 0 && detection.placed < detection.faces.size()
        ? detection.faces[detection.placed].rect
        : QRect();
    return landmarkDocument(report.file, detection.points, box, report.pictureSize, format);
}

QByteArray packagePointsDocument(const PackageReport& report, PointsFormat format)
{
    return landmarkDocument(report.file, report.points, QRect(), report.pictureSize, format);
}

QString coordinateText(double value)
{
    // '#' keeps the trailing zeros, so every coordinate has the same 17 significant digits.
    return QString::fromLatin1(core::numberText("%#.17g", value));
}

QString pointsText(const core::FacialPointVector& points)
{
    QStringList pairs;
    pairs.reserve(int(points.size()));
    for (const FacialPoint& point : points) {
        pairs << coordinateText(point.x()) + QLatin1Char(',') + coordinateText(point.y());
    }
    return pairs.join(QLatin1Char(' '));
}

QString detectionLine(const PictureReport& report)
{
    return escaped(report.file) + QLatin1Char('\t') + QString::number(report.detection.faceCount)
        + QLatin1Char('\t') + pointsText(report.detection.points);
}

QString detectionsJson(const QVector<PictureReport>& reports)
{
    Json::Value array(Json::arrayValue);
    for (const PictureReport& report : reports) {
        array.append(detectionObject(report));
    }
    return toText(array);
}

QString effectTypeName(int effectType)
{
    switch (effectType) {
    case 1:
        return QStringLiteral("whole");
    case 2:
        return QStringLiteral("full");
    default:
        return QStringLiteral("face");
    }
}

QString packageText(const PackageReport& report)
{
    if (!report.refusal.isEmpty()) {
        return escaped(report.file) + QStringLiteral(": refused: ") + escaped(report.refusal);
    }
    // Concatenated, not QString::arg: a name holding "%1" must come out as it is.
    const QString size = QString::number(report.pictureSize.width()) + QStringLiteral(" x ")
        + QString::number(report.pictureSize.height());
    return escaped(report.file) + QStringLiteral("\n  name: ") + escaped(report.name)
        + QStringLiteral("\n  author: ") + escaped(report.author)
        + QStringLiteral("\n  subcategory: ") + escaped(report.subcategory)
        + QStringLiteral("\n  effect type: ") + effectTypeName(report.effectType)
        + QStringLiteral(" (") + QString::number(report.effectType) + QLatin1Char(')')
        + QStringLiteral("\n  points: ") + QString::number(report.points.size())
        + QStringLiteral("\n  picture: ") + size
        + QStringLiteral("\n  date: ") + escaped(report.time)
        + QStringLiteral("\n  folded triangles: ") + foldedText(report.folded);
}

QString packagesJson(const QVector<PackageReport>& reports)
{
    Json::Value array(Json::arrayValue);
    for (const PackageReport& report : reports) {
        array.append(packageObject(report));
    }
    return toText(array);
}

QString packagePointsLine(const PackageReport& report)
{
    return escaped(report.file) + QStringLiteral("\t1\t") + pointsText(report.points);
}

QString packagePointsJson(const PackageReport& report)
{
    Json::Value object(Json::objectValue);
    object["file"] = jsonString(report.file);
    if (!report.refusal.isEmpty()) {
        // As detect tells a picture it cannot read.
        object["error"] = jsonString(QStringLiteral("refused: ") + report.refusal);
    } else {
        object["pointCount"] = Json::UInt64(report.points.size());
        object["points"] = pointsArray(report.points);
    }
    Json::Value array(Json::arrayValue);
    array.append(object);
    return toText(array);
}

} // namespace cli
