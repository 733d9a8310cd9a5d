#include "cli/jsonwriting.h"

#include "core/numbertext.h"

namespace cli::json {

namespace {

// The stray bytes of a file name that is not UTF-8 come as U+DC80..U+DCFF (core/localnames.h),
// which UTF-8 cannot hold. They pass the writer as this noncharacter (U+FDD0) followed by the
// four hex digits of the code, and toText() writes them as "\udcXX", which Python's
// os.fsencode, for one, turns back into the byte. A U+FDD0 in a name goes the same way.
const std::string marker = "\xef\xb7\x90";

bool needsMarker(QChar c)
{
    return c.isSurrogate() || c.unicode() == 0xfdd0;
}

} // namespace

Json::Value string(const QString& text)
{
    std::string bytes;
    bytes.reserve(std::size_t(text.size()));
    int runStart = 0;
    for (int i = 0; i <= text.size(); ++i) {
        const bool pair = i + 1 < text.size() && text[i].isHighSurrogate() && text[i + 1].isLowSurrogate();
        if (i < text.size() && (pair || !needsMarker(text[i]))) {
            i += pair ? 1 : 0;
            continue;
        }
        bytes += text.mid(runStart, i - runStart).toUtf8().toStdString();
        if (i < text.size()) {
            bytes += marker + QString::number(text[i].unicode(), 16).rightJustified(4, QLatin1Char('0')).toStdString();
        }
        runStart = i + 1;
    }
    return Json::Value(bytes);
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
    std::string text = Json::writeString(builder, document);
    for (std::size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at)) {
        text.replace(at, marker.size(), "\\u");
    }
    return QString::fromStdString(text);
}

} // namespace cli::json
