#include "packageformat.h"

#include "facemaskproject.h"

#include <QLocale>
#include <QPainter>

#include <json/json.h>

#include <exception>
#include <memory>
#include <string>

namespace core::package {

namespace {

// Our documents nest five levels deep; anything far deeper is not a package of ours and must not
// be allowed to exhaust the stack of the recursive parser.
constexpr int maximumNestingDepth = 64;

QDate localDate()
{
    return QDate::currentDate();
}

DateSource currentDateSource = &localDate;

Json::Value jsonString(const QString& text)
{
    return Json::Value(text.toUtf8().toStdString());
}

QByteArray toText(const Json::Value& document)
{
    return QByteArray::fromStdString(document.toStyledString());
}

Json::Value pivotsArray(const FacialPointVector& points)
{
    Json::Value pivots(Json::arrayValue);
    for (const FacialPoint& point : points) {
        Json::Value pivot(Json::objectValue);
        pivot["x"] = point.x();
        pivot["y"] = point.y();
        pivots.append(pivot);
    }
    return pivots;
}

const char* flagOf(int effectType)
{
    switch (effectType) {
    case 1:
        return "need_extra_rect";
    case 2:
        return "stretch_extra_rect_on_whole_frame";
    default:
        return nullptr;
    }
}

// Parses one document; the root must be an object. Exceptions of the parser end here.
std::optional<Json::Value> parseObject(const QByteArray& text)
{
    try {
        Json::CharReaderBuilder builder;
        builder["collectComments"] = true;
        // The same grammar as the classic reader: comments yes, trailing commas no.
        builder["allowTrailingCommas"] = false;
        builder["stackLimit"] = maximumNestingDepth;
        const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        Json::Value root;
        std::string errors;
        const char* begin = text.constData();
        if (!reader->parse(begin, begin + text.size(), &root, &errors) || !root.isObject()) {
            return std::nullopt;
        }
        return root;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// Text up to the first zero byte, as the format's strings are C strings.
QString stringOf(const Json::Value& value)
{
    return QString::fromUtf8(value.asCString());
}

bool readsAsBoolean(const Json::Value& value)
{
    return value.isNull() || value.isBool() || value.isNumeric();
}

// Absent members read as null, which every reader below accepts as "none".
bool isObjectOrAbsent(const Json::Value& value)
{
    return value.isNull() || value.isObject();
}

std::optional<int> effectTypeFromDocument(const Json::Value& document)
{
    const Json::Value& wholeFrame = document["stretch_extra_rect_on_whole_frame"];
    const Json::Value& extraRect = document["need_extra_rect"];
    if (!readsAsBoolean(wholeFrame) || !readsAsBoolean(extraRect)) {
        return std::nullopt;
    }
    if (wholeFrame.asBool()) {
        return FullFrame;
    }
    return extraRect.asBool() ? WholeImage : FaceOnly;
}

std::optional<double> coordinateOf(const Json::Value& value)
{
    if (!readsAsBoolean(value)) {
        return std::nullopt;
    }
    return value.asDouble();
}

std::optional<FacialPointVector> readPivots(const Json::Value& pivots)
{
    if (!pivots.isNull() && !pivots.isArray()) {
        return std::nullopt;
    }
    FacialPointVector points;
    points.reserve(pivots.size());
    for (const Json::Value& pivot : pivots) {
        if (!isObjectOrAbsent(pivot)) {
            return std::nullopt;
        }
        const std::optional<double> x = coordinateOf(pivot["x"]);
        const std::optional<double> y = coordinateOf(pivot["y"]);
        if (!x || !y) {
            return std::nullopt;
        }
        points.emplace_back(*x, *y);
    }
    return points;
}

std::optional<Effect> effectFromDocument(const Json::Value& document)
{
    const Json::Value& maskData = document["face_mask_data"];
    if (!isObjectOrAbsent(maskData)) {
        return std::nullopt;
    }
    const Json::Value& picturePath = maskData["face_mask_image_path"];
    const Json::Value& pivotData = maskData["mask_data"];
    if (!picturePath.isString() || !isObjectOrAbsent(pivotData)) {
        return std::nullopt;
    }
    const std::optional<int> effectType = effectTypeFromDocument(document);
    std::optional<FacialPointVector> points = readPivots(pivotData["mask_pivots"]);
    if (!effectType || !points) {
        return std::nullopt;
    }
    return Effect{*effectType, std::move(*points), stringOf(picturePath)};
}

bool painterCanDrawOn(QImage::Format format)
{
    return format != QImage::Format_Invalid && format != QImage::Format_Mono
        && format != QImage::Format_MonoLSB && format != QImage::Format_Indexed8;
}

// The thumbnail keeps the picture's pixel format, except where a painter cannot draw into it.
QImage::Format thumbnailFormat(const QImage& picture)
{
    if (painterCanDrawOn(picture.format())) {
        return picture.format();
    }
    return picture.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32;
}

} // namespace

DateSource setDateSource(DateSource source)
{
    const DateSource previous = currentDateSource;
    currentDateSource = source ? source : &localDate;
    return previous;
}

QDate today()
{
    return currentDateSource();
}

QByteArray buildPropertiesDocument(const QString& name, const QString& author,
                                   const QString& subcategory, const QDate& date)
{
    Json::Value document(Json::objectValue);
    document["version"] = "2";
    document["name"] = jsonString(name);
    document["author"] = jsonString(author);
    // The C locale: the system's could write its own digits, which readers of packages reject.
    document["time"] = jsonString(QLocale::c().toString(date, QStringLiteral("MM.dd.yyyy")));
    document["category"] = "Face Masks";
    document["subcategory"] = jsonString(subcategory);
    document["type"] = "face_modifications";
    return toText(document);
}

QByteArray buildEffectDocument(int effectType, const FacialPointVector& points)
{
    Json::Value maskData(Json::objectValue);
    maskData["mask_pivots"] = pivotsArray(points);

    Json::Value faceMaskData(Json::objectValue);
    faceMaskData["face_mask_image_format"] = "png";
    faceMaskData["face_mask_image_path"] = pictureMember;
    faceMaskData["mask_data"] = maskData;

    Json::Value document(Json::objectValue);
    document["face_mask_data"] = faceMaskData;
    if (const char* flag = flagOf(effectType)) {
        document[flag] = true;
    }
    return toText(document);
}

std::optional<Properties> readPropertiesDocument(const QByteArray& text)
{
    const std::optional<Json::Value> document = parseObject(text);
    if (!document) {
        return std::nullopt;
    }
    try {
        const Json::Value& name = (*document)["name"];
        const Json::Value& subcategory = (*document)["subcategory"];
        const Json::Value& author = (*document)["author"];
        if (!name.isString() || !subcategory.isString() || !author.isString()) {
            return std::nullopt;
        }
        return Properties{stringOf(name), stringOf(subcategory), stringOf(author)};
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<Effect> readEffectDocument(const QByteArray& text)
{
    const std::optional<Json::Value> document = parseObject(text);
    if (!document) {
        return std::nullopt;
    }
    try {
        return effectFromDocument(*document);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

QImage makeThumbnail(const QImage& picture, const QSize& size)
{
    if (picture.isNull() || size.isEmpty()) {
        return QImage();
    }
    QImage thumbnail(size, thumbnailFormat(picture));
    if (thumbnail.isNull()) {
        return QImage();
    }
    thumbnail.fill(Qt::white);
    const QSize fitted = picture.size().scaled(size, Qt::KeepAspectRatio);
    const QRect target(QPoint((size.width() - fitted.width()) / 2,
                              (size.height() - fitted.height()) / 2),
                       fitted);
    QPainter painter(&thumbnail);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    painter.drawImage(target, picture);
    painter.end();
    return thumbnail;
}

} // namespace core::package
