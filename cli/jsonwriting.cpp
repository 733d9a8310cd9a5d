#include "cli/jsonwriting.h"

#include "core/numbertext.h"

namespace cli::json {

Json::Value string(const QString& text)
{
    return Json::Value(text.toUtf8().toStdString());
}

Json::Value pointsArray(const core::FacialPointVector& points)
{
    Json::Value array(Json::arrayValue);
    for (const FacialPoint& point : points) {
        Json::Value pair(Json::arrayValue);
        pair.append(point.x());
        pair.append(point.y());
        array.append(pair);
    }
    return array;
}

Json::Value rectArray(const QRect& rect)
{
    Json::Value array(Json::arrayValue);
    for (int value : {rect.left(), rect.top(), rect.right(), rect.bottom()}) {
        array.append(value);
    }
    return array;
}

QString toText(const Json::Value& document)
{
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    builder["emitUTF8"] = true;
    // With comments kept, every array would take one line per element.
    builder["commentStyle"] = "None";
    builder["precision"] = Json::Value::defaultRealPrecision;
    builder["precisionType"] = "significant";
    const core::CNumbersInThisThread cNumbers;
    return QString::fromStdString(Json::writeString(builder, document));
}

} // namespace cli::json
