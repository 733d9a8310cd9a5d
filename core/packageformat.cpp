#include "core/packageformat.h"

#include "core/facemaskproject.h"
#include "core/numbertext.h"
#include "core/thumbnaildrawing.h"

#include <QList>
#include <QLocale>
#include <QPair>
#include <QTextCodec>

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

// The format's strings are C strings: a zero character would end the text for every reader, so
// it is left out, and what is read back is all that was written.
Json::Value jsonString(QString text)
{
    text.remove(QChar(0));
    return Json::Value(text.toUtf8().toStdString());
}

// bytes as a JSON string: quotes, backslashes and control characters escaped, every other byte
// as it is.
QByteArray rawJsonString(const QByteArray& bytes)
{
    QByteArray quoted("\"");
    for (const char c : bytes) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            quoted += QByteArray("\\u00") + QByteArray::number(static_cast<unsigned char>(c), 16).rightJustified(2, '0');
        } else {
            quoted += c;
        }
    }
    return quoted + '"';
}

QByteArray toText(const Json::Value& document)
{
    const CNumbersInThisThread cNumbers;
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

// Sets the reason a document was refused and returns the empty result.
std::nullopt_t refuse(QString* why, const QString& reason)
{
    *why = reason;
    return std::nullopt;
}

// The parser holds every value of a document at about a hundred bytes each, so a document of
// a few megabytes of "{}," or of arrays nested in arrays would take half a gigabyte. Values are
// counted before parsing; an honest document has three per point (the pivot and its x and y).
constexpr qint64 maximumValueCount = 4 * qint64(maximumPivotCount) + 1024;

bool isJsonSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool isJsonPunctuation(char c)
{
    return c == '[' || c == ']' || c == '{' || c == '}' || c == ',' || c == ':' || c == '"';
}

bool startsComment(const QByteArray& text, int at)
{
    return text[at] == '/' && at + 1 < text.size() && (text[at + 1] == '*' || text[at + 1] == '/');
}

// Where the comment starting at `at` ends (the index after it): "/* ... */", or "// ..." to the
// end of the line, which a carriage return ends as well as a line feed; the text's end for one
// left open. Each is walked once, to its own end: a search for the other line end would run on
// to the end of the text for every comment.
int commentEnd(const QByteArray& text, int at)
{
    const int size = text.size();
    int end = at + 2;
    if (text[at + 1] == '*') {
        end = text.indexOf("*/", end);
        return end < 0 ? size : end + 2;
    }
    while (end < size && text[end] != '\n' && text[end] != '\r') {
        ++end;
    }
    return end;
}

// Where the string whose opening quote is at `at` ends (the index after its closing quote); -1
// for one left open. A backslash escapes the character after it.
int stringEnd(const QByteArray& text, int at)
{
    bool escaped = false;
    for (int i = at + 1; i < text.size(); ++i) {
        if (escaped) {
            escaped = false;
        } else if (text[i] == '\\') {
            escaped = true;
        } else if (text[i] == '"') {
            return i + 1;
        }
    }
    return -1;
}

// The values the parser would create for text: every array and object, every string that is
// not a member name, and every other word (number, true, false, null). A comment counts as a
// word, which only overestimates; a quote inside it starts no string. Stops counting once above
// limit.
qint64 valueCount(const QByteArray& text, qint64 limit)
{
    qint64 values = 0;
    bool inWord = false;
    bool stringEnded = false;  // a string closed; a following ':' makes it a member name
    const int size = text.size();
    for (int i = 0; i < size; ++i) {
        const char c = text[i];
        if (startsComment(text, i)) {
            i = commentEnd(text, i) - 1; // skipped whole, as the parser does
            inWord = false;
            ++values;
        } else if (isJsonSpace(c)) {
            inWord = false;
            continue;
        } else {
            if (stringEnded) {
                stringEnded = false;
                values += c == ':' ? 0 : 1;
            }
            if (c == '"') {
                inWord = false;
                if (values > limit) {
                    break;
                }
                const int end = stringEnd(text, i);
                if (end < 0) {
                    break; // left open: no value
                }
                stringEnded = true;
                i = end - 1;
            } else if (isJsonPunctuation(c)) {
                values += (c == '[' || c == '{') ? 1 : 0;
                inWord = false;
            } else if (!inWord) {
                inWord = true;
                ++values;
            }
        }
        if (values > limit) {
            break;
        }
    }
    return values + (stringEnded ? 1 : 0);
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Builds before documents were written with C's numbers wrote the user's decimal point. A Pashto
// locale's is two bytes (U+066B), which jsoncpp kept and, finding no '.', followed with ".0":
// 0.5 became "0\u066b5.0". Returns text with such numbers outside strings and comments put back
// as "0.5", never longer than text; empty when text holds none.
QByteArray withCDecimalPoints(const QByteArray& text)
{
    const QByteArray mark(arabicDecimalPoint);
    if (!text.contains(mark)) {
        return QByteArray();
    }
    QByteArray mended;
    mended.reserve(text.size());
    const int size = text.size();
    for (int i = 0; i < size; ++i) {
        const char c = text[i];
        if (c == '"' || startsComment(text, i)) {
            // Kept as they are: a string's marks are text, and a quote inside a comment starts
            // no string.
            const int found = c == '"' ? stringEnd(text, i) : commentEnd(text, i);
            const int end = found < 0 ? size : found;
            mended += text.mid(i, end - i);
            i = end - 1;
            continue;
        } else if (i > 0 && isDigit(text[i - 1]) && i + 2 < size && text[i] == mark[0] && text[i + 1] == mark[1]
                   && isDigit(text[i + 2])) {
            mended += '.';
            i += 2;
            while (i < size && (isDigit(text[i]) || text[i] == 'e' || text[i] == 'E' || text[i] == '-' || text[i] == '+')) {
                mended += text[i++];
            }
            if (i + 1 < size && text[i] == '.' && text[i + 1] == '0' && (i + 2 == size || !isDigit(text[i + 2]))) {
                i += 2;
            }
            --i;
            continue;
        }
        mended += c;
    }
    return mended;
}

// "name missing" or "name is not a string", for a value that failed its type check.
QString wrongValue(const Json::Value& value, const char* key, const char* expected)
{
    if (value.isNull()) {
        return QStringLiteral("%1 missing").arg(QLatin1String(key));
    }
    return QStringLiteral("%1 is not %2").arg(QLatin1String(key), QLatin1String(expected));
}

// Parses one document; the root must be an object. Exceptions of the parser end here.
std::optional<Json::Value> parseObject(const QByteArray& text, QString* why)
{
    try {
        Json::CharReaderBuilder builder;
        // Comments are skipped, not kept: nothing reads them, and keeping them makes the parser
        // look back from every comment to the value before it for a line end, which a long line
        // followed by many comments turns into hours of work.
        builder["collectComments"] = false;
        // The same grammar as the classic reader: comments yes, trailing commas no.
        builder["allowTrailingCommas"] = false;
        builder["stackLimit"] = maximumNestingDepth;
        if (valueCount(text, maximumValueCount) > maximumValueCount) {
            return refuse(why, QStringLiteral("more than %1 values").arg(maximumValueCount));
        }
        const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        Json::Value root;
        std::string errors;
        const char* begin = text.constData();
        if (!reader->parse(begin, begin + text.size(), &root, &errors)) {
            const QByteArray mended = withCDecimalPoints(text);
            const char* mendedBegin = mended.constData();
            if (mended.isEmpty() || !reader->parse(mendedBegin, mendedBegin + mended.size(), &root, &errors)) {
                return refuse(why, QStringLiteral("not JSON"));
            }
        }
        if (!root.isObject()) {
            return refuse(why, QStringLiteral("not a JSON object"));
        }
        return root;
    } catch (const std::exception&) {
        return refuse(why, QStringLiteral("not JSON"));
    }
}

// Text up to the first zero byte, as the format's strings are C strings. Bytes that are no UTF-8
// (another tool's Latin-1) read as Latin-1, each byte its character, and *foreign (when given)
// gets them; it is left as it is for UTF-8.
QString stringOf(const Json::Value& value, QByteArray* foreign = nullptr)
{
    const QByteArray bytes(value.asCString());
    QTextCodec::ConverterState state;
    const QString text = QTextCodec::codecForMib(106)->toUnicode(bytes.constData(), bytes.size(), &state);
    if (state.invalidChars == 0 && state.remainingChars == 0) {
        return text;
    }
    if (foreign) {
        *foreign = bytes;
    }
    return QString::fromLatin1(bytes);
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

std::optional<int> effectTypeFromDocument(const Json::Value& document, QString* why)
{
    for (const char* flag : {"stretch_extra_rect_on_whole_frame", "need_extra_rect"}) {
        if (!readsAsBoolean(document[flag])) {
            return refuse(why, QStringLiteral("%1 is not a boolean").arg(QLatin1String(flag)));
        }
    }
    if (document["stretch_extra_rect_on_whole_frame"].asBool()) {
        return FullFrame;
    }
    return document["need_extra_rect"].asBool() ? WholeImage : FaceOnly;
}

std::optional<double> coordinateOf(const Json::Value& pivot, const char* axis, int index,
                                   QString* why)
{
    const Json::Value& value = pivot[axis];
    if (!readsAsBoolean(value)) {
        return refuse(why, QStringLiteral("mask_pivots element %1: %2 is not a number")
                               .arg(index)
                               .arg(QLatin1String(axis)));
    }
    return value.asDouble();
}

std::optional<FacialPointVector> readPivots(const Json::Value& pivots, QString* why)
{
    if (!pivots.isNull() && !pivots.isArray()) {
        return refuse(why, QStringLiteral("mask_pivots is not an array"));
    }
    // Checked before anything is stored: the parser already holds the values, but a point list
    // of millions would be copied and painted over and over.
    if (pivots.size() > unsigned(maximumPivotCount)) {
        return refuse(why, QStringLiteral("mask_pivots has %1 elements, at most %2 allowed")
                               .arg(pivots.size())
                               .arg(maximumPivotCount));
    }
    FacialPointVector points;
    points.reserve(pivots.size());
    int index = 0;
    for (const Json::Value& pivot : pivots) {
        if (!isObjectOrAbsent(pivot)) {
            return refuse(why, QStringLiteral("mask_pivots element %1 is not an object").arg(index));
        }
        const std::optional<double> x = coordinateOf(pivot, "x", index, why);
        const std::optional<double> y = x ? coordinateOf(pivot, "y", index, why) : std::nullopt;
        if (!y) {
            return std::nullopt;
        }
        points.emplace_back(*x, *y);
        ++index;
    }
    return points;
}

std::optional<Effect> effectFromDocument(const Json::Value& document, QString* why)
{
    const Json::Value& maskData = document["face_mask_data"];
    if (!isObjectOrAbsent(maskData)) {
        return refuse(why, QStringLiteral("face_mask_data is not an object"));
    }
    const Json::Value& picturePath = maskData["face_mask_image_path"];
    const Json::Value& pivotData = maskData["mask_data"];
    if (!picturePath.isString()) {
        return refuse(why, wrongValue(picturePath, "face_mask_image_path", "a string"));
    }
    if (!isObjectOrAbsent(pivotData)) {
        return refuse(why, QStringLiteral("mask_data is not an object"));
    }
    const std::optional<int> effectType = effectTypeFromDocument(document, why);
    if (!effectType) {
        return std::nullopt;
    }
    std::optional<FacialPointVector> points = readPivots(pivotData["mask_pivots"], why);
    if (!points) {
        return std::nullopt;
    }
    return Effect{*effectType, std::move(*points), stringOf(picturePath)};
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
                                   const QString& subcategory, const QDate& date,
                                   const ForeignTexts& foreign)
{
    // The writer turns bytes that are no UTF-8 into U+FFFD: such a text is written as an empty
    // string, which is then replaced by its own bytes.
    QList<QPair<QByteArray, QByteArray>> kept;
    const auto text = [&kept](const char* key, const QString& shown, const QByteArray& stored) {
        if (!stored.isEmpty() && QString::fromLatin1(stored) == shown) {
            kept.append({key, stored});
            return Json::Value("");
        }
        return jsonString(shown);
    };
    Json::Value document(Json::objectValue);
    document["version"] = "2";
    document["name"] = text("name", name, foreign.name);
    document["author"] = text("author", author, foreign.author);
    // The C locale: the system's could write its own digits, which readers of packages reject.
    document["time"] = jsonString(QLocale::c().toString(date, QStringLiteral("MM.dd.yyyy")));
    document["category"] = "Face Masks";
    document["subcategory"] = text("subcategory", subcategory, foreign.subcategory);
    document["type"] = "face_modifications";
    QByteArray written = toText(document);
    for (const auto& [key, stored] : kept) {
        // Keys are written once each, and a quote inside a value is escaped.
        const QByteArray empty = '"' + key + "\" : \"\"";
        const int at = written.indexOf(empty);
        if (at < 0) {
            return buildPropertiesDocument(name, author, subcategory, date, {});
        }
        written.replace(at, empty.size(), '"' + key + "\" : " + rawJsonString(stored));
    }
    return written;
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

std::optional<Properties> readPropertiesDocument(const QByteArray& text, QString* reason)
{
    QString why;
    QString* const whyOut = reason ? reason : &why;
    const std::optional<Json::Value> document = parseObject(text, whyOut);
    if (!document) {
        return std::nullopt;
    }
    try {
        for (const char* key : {"name", "subcategory", "author"}) {
            if (!(*document)[key].isString()) {
                return refuse(whyOut, wrongValue((*document)[key], key, "a string"));
            }
        }
        // The date is shown, never checked: a package without one still opens.
        const Json::Value& time = (*document)["time"];
        Properties properties;
        properties.name = stringOf((*document)["name"], &properties.foreign.name);
        properties.subcategory = stringOf((*document)["subcategory"], &properties.foreign.subcategory);
        properties.author = stringOf((*document)["author"], &properties.foreign.author);
        properties.time = time.isString() ? stringOf(time) : QString();
        return properties;
    } catch (const std::exception&) {
        return refuse(whyOut, QStringLiteral("unreadable values"));
    }
}

std::optional<Effect> readEffectDocument(const QByteArray& text, QString* reason)
{
    QString why;
    QString* const whyOut = reason ? reason : &why;
    const std::optional<Json::Value> document = parseObject(text, whyOut);
    if (!document) {
        return std::nullopt;
    }
    try {
        return effectFromDocument(*document, whyOut);
    } catch (const std::exception&) {
        return refuse(whyOut, QStringLiteral("unreadable values"));
    }
}

QImage makeThumbnail(const QImage& picture, const QSize& size)
{
    return makeThumbnails(picture, {size}).front();
}

} // namespace core::package
