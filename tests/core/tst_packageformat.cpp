#include "core/packageformat.h"
#include "core/thumbnaildrawing.h"
#include "pythonjson.h"
#include "tests/support/builtlocale.h"

#include <QtTest>

#include <json/json.h>

#include <cmath>

using core::FacialPointVector;
using namespace core::package;
using namespace pythonjson;

class tst_PackageFormat : public QObject
{
    Q_OBJECT

private slots:
    void propertiesDocumentHoldsSevenStrings();
    void emptyNameIsWrittenAsEmptyString();
    void zeroCharactersAreLeftOut();
    void effectDocumentFlags_data();
    void effectDocumentFlags();
    void effectDocumentDescribesThePicture();
    void pivotsKeepOrderAndEveryBit();
    void noPointsWriteAnEmptyArray();
    void dateSourceCanBeFixed();
    void effectDocumentReadsBack_data();
    void effectDocumentReadsBack();
    void effectDocumentOfAPashtoLocaleReadsBack();
    void pashtoDecimalPointsAmidComments_data();
    void pashtoDecimalPointsAmidComments();
    void effectReadingRules_data();
    void effectReadingRules();
    void effectRefusals_data();
    void effectRefusals();
    void propertiesReading_data();
    void propertiesReading();
    void deepNestingIsRefused();
    void thumbnailLetterBoxesSquarePicture();
    void thumbnailOfFourThirdsPictureHasNoBands();
    void thumbnailKeepsPixelFormat_data();
    void thumbnailKeepsPixelFormat();
    void thumbnailOfNullPictureIsNull();
    void thumbnailOfThinPictureShowsIt_data();
    void thumbnailOfThinPictureShowsIt();
    void thumbnailsFromTheReducedCopyMatchAPaintedDrawing_data();
    void thumbnailsFromTheReducedCopyMatchAPaintedDrawing();
};

namespace {

QDate fixedDate()
{
    return QDate(2020, 3, 5);
}

QImage solidPicture(const QSize& size, QColor colour, QImage::Format format = QImage::Format_RGB32)
{
    QImage picture(size, format);
    picture.fill(colour);
    return picture;
}

bool isWhite(QRgb pixel)
{
    return qRed(pixel) >= 250 && qGreen(pixel) >= 250 && qBlue(pixel) >= 250;
}

bool isBlue(QRgb pixel)
{
    return qBlue(pixel) >= 240 && qRed(pixel) <= 15 && qGreen(pixel) <= 15;
}

FacialPointVector awkwardPoints()
{
    return {{0.1, 1.0 / 3.0},
            {5e-324, 0.999999999999999},
            {-0.0, 1.0},
            {0.0, 2.2250738585072014e-308},
            {0.30000000000000004, 123456.789},
            {-1.5, std::nextafter(1.0, 0.0)}};
}

// A 75-point effect document with one element of the point list replaced by raw text.
QByteArray effectText(const QByteArray& flags, const QByteArray& oddPivot = "{\"x\": 0.5, \"y\": 0.5}")
{
    QByteArray pivots = oddPivot;
    for (int i = 1; i < 75; ++i) {
        pivots += ", {\"x\": 0.25, \"y\": 0.75}";
    }
    return "{" + flags + "\"face_mask_data\": {\"face_mask_image_path\": \"images/main/image.png\","
           " \"mask_data\": {\"mask_pivots\": [" + pivots + "]}}}";
}

} // namespace

void tst_PackageFormat::propertiesDocumentHoldsSevenStrings()
{
    const QString name = QStringLiteral("Maske \u00fc\u20ac \U0001F600");
    const QByteArray text = buildPropertiesDocument(name, QStringLiteral("Somebody"),
                                                    QStringLiteral("Hats"), QDate(2020, 3, 5));
    const QJsonValue document = describeText(text);
    QVERIFY2(typeOf(document) == "object", "Python must read the document as a JSON object");
    QCOMPARE(keysOf(document), (QStringList{"author", "category", "name", "subcategory", "time",
                                            "type", "version"}));
    for (const QString& key : keysOf(document)) {
        QVERIFY2(typeOf(member(document, key)) == "str", qPrintable(key + " must be a string"));
    }
    QCOMPARE(stringOf(member(document, "version")), QStringLiteral("2"));
    QCOMPARE(stringOf(member(document, "name")), name);
    QCOMPARE(stringOf(member(document, "author")), QStringLiteral("Somebody"));
    QCOMPARE(stringOf(member(document, "subcategory")), QStringLiteral("Hats"));
    QCOMPARE(stringOf(member(document, "time")), QStringLiteral("03.05.2020"));
    QCOMPARE(stringOf(member(document, "category")), QStringLiteral("Face Masks"));
    QCOMPARE(stringOf(member(document, "type")), QStringLiteral("face_modifications"));
    QVERIFY2(text.endsWith("}\n"), "the text ends with the object and one newline");
}

// A zero character would end the text for every reader: what is read back is all that was written.
void tst_PackageFormat::zeroCharactersAreLeftOut()
{
    const QString zero(QChar(0));
    const QByteArray text = buildPropertiesDocument(QStringLiteral("ab") + zero + QStringLiteral("cd"), zero + QStringLiteral("x"),
                                                    QStringLiteral("Hats") + zero, QDate(2020, 3, 5));
    const std::optional<Properties> read = readPropertiesDocument(text);
    QVERIFY(read.has_value());
    QCOMPARE(read->name, QStringLiteral("abcd"));
    QCOMPARE(read->author, QStringLiteral("x"));
    QCOMPARE(read->subcategory, QStringLiteral("Hats"));
}

void tst_PackageFormat::emptyNameIsWrittenAsEmptyString()
{
    const QJsonValue document =
        describeText(buildPropertiesDocument(QString(), "a", "b", QDate(1999, 12, 31)));
    QCOMPARE(typeOf(member(document, "name")), QStringLiteral("str"));
    QCOMPARE(stringOf(member(document, "name")), QString());
    QCOMPARE(stringOf(member(document, "time")), QStringLiteral("12.31.1999"));
}

void tst_PackageFormat::effectDocumentFlags_data()
{
    QTest::addColumn<int>("effectType");
    QTest::addColumn<QStringList>("keys");
    QTest::newRow("face-only-writes-no-flag") << 0 << QStringList{"face_mask_data"};
    QTest::newRow("whole-image-writes-need-extra-rect")
        << 1 << QStringList{"face_mask_data", "need_extra_rect"};
    QTest::newRow("full-frame-writes-stretch-flag")
        << 2 << QStringList{"face_mask_data", "stretch_extra_rect_on_whole_frame"};
    QTest::newRow("unknown-type-5-writes-no-flag") << 5 << QStringList{"face_mask_data"};
    QTest::newRow("negative-type-writes-no-flag") << -1 << QStringList{"face_mask_data"};
}

void tst_PackageFormat::effectDocumentFlags()
{
    QFETCH(int, effectType);
    QFETCH(QStringList, keys);
    const QJsonValue document = describeText(buildEffectDocument(effectType, {{0.5, 0.5}}));
    QCOMPARE(keysOf(document), keys);
    if (keys.size() == 2) {
        const QJsonValue flag = member(document, keys[1]);
        QCOMPARE(typeOf(flag), QStringLiteral("bool"));
        QVERIFY2(flag.toObject().value("bool").toBool(), "a flag is only ever written as true");
    }
}

void tst_PackageFormat::effectDocumentDescribesThePicture()
{
    const QJsonValue data = member(describeText(buildEffectDocument(1, {})), "face_mask_data");
    QCOMPARE(keysOf(data), (QStringList{"face_mask_image_format", "face_mask_image_path", "mask_data"}));
    QCOMPARE(stringOf(member(data, "face_mask_image_format")), QStringLiteral("png"));
    QCOMPARE(stringOf(member(data, "face_mask_image_path")), QStringLiteral("images/main/image.png"));
    QCOMPARE(keysOf(member(data, "mask_data")), QStringList{"mask_pivots"});
}

void tst_PackageFormat::pivotsKeepOrderAndEveryBit()
{
    const FacialPointVector points = awkwardPoints();
    const QJsonValue document = describeText(buildEffectDocument(0, points));
    const QJsonArray pivots =
        elements(member(member(member(document, "face_mask_data"), "mask_data"), "mask_pivots"));
    QCOMPARE(pivots.size(), int(points.size()));
    for (int i = 0; i < pivots.size(); ++i) {
        QCOMPARE(keysOf(pivots[i]), (QStringList{"x", "y"}));
        QCOMPARE(typeOf(member(pivots[i], "x")), QStringLiteral("float"));
        QCOMPARE(floatBitsOf(member(pivots[i], "x")), bitsOf(points[size_t(i)].x()));
        QCOMPARE(floatBitsOf(member(pivots[i], "y")), bitsOf(points[size_t(i)].y()));
    }
}

void tst_PackageFormat::noPointsWriteAnEmptyArray()
{
    const QJsonValue pivots = member(
        member(member(describeText(buildEffectDocument(0, {})), "face_mask_data"), "mask_data"),
        "mask_pivots");
    QCOMPARE(typeOf(pivots), QStringLiteral("array"));
    QCOMPARE(elements(pivots).size(), 0);
}

void tst_PackageFormat::dateSourceCanBeFixed()
{
    const DateSource previous = setDateSource(&fixedDate);
    QCOMPARE(today(), QDate(2020, 3, 5));
    QVERIFY2(setDateSource(previous) == &fixedDate, "the fixed clock must be handed back");
    QCOMPARE(today(), QDate::currentDate());
}

void tst_PackageFormat::effectDocumentReadsBack_data()
{
    QTest::addColumn<int>("effectType");
    QTest::addColumn<int>("expectedType");
    QTest::newRow("face-only") << 0 << 0;
    QTest::newRow("whole-image") << 1 << 1;
    QTest::newRow("full-frame") << 2 << 2;
    QTest::newRow("unknown-type-reads-as-face-only") << 7 << 0;
}

void tst_PackageFormat::effectDocumentReadsBack()
{
    QFETCH(int, effectType);
    QFETCH(int, expectedType);
    const FacialPointVector points = awkwardPoints();
    const std::optional<Effect> effect = readEffectDocument(buildEffectDocument(effectType, points));
    QVERIFY2(effect.has_value(), "a document we wrote must read back");
    QCOMPARE(effect->effectType, expectedType);
    QCOMPARE(effect->picturePath, QStringLiteral("images/main/image.png"));
    QCOMPARE(effect->points.size(), points.size());
    for (size_t i = 0; i < points.size(); ++i) {
        QCOMPARE(bitsOf(effect->points[i].x()), bitsOf(points[i].x()));
        QCOMPARE(bitsOf(effect->points[i].y()), bitsOf(points[i].y()));
    }
}

// Builds before documents were written with C's numbers wrote them through jsoncpp in the user's
// locale: under a Pashto one with its two-byte decimal point, 0.5 as "0\u066b5.0".
void tst_PackageFormat::effectDocumentOfAPashtoLocaleReadsBack()
{
    FacialPointVector points;
    for (int i = 0; i < 75; ++i) {
        points.emplace_back(0.1 + 0.8 * std::fmod(i * 0.6180339887498949, 1.0), i == 3 ? 1e-7 : 0.5);
    }
    // A picture name holding the mark stays as it is.
    const QString picturePath = QStringLiteral("images/main/1\u066b5.png");
    QByteArray text;
    {
        LocaleInThisProcess inLocale(QStringLiteral("ps_AF"));
        if (!inLocale.skipReason().isEmpty()) {
            QSKIP(qPrintable(inLocale.skipReason()));
        }
        QVERIFY(inLocale.isActive());
        Json::Value pivots(Json::arrayValue);
        for (const QPointF& point : points) {
            Json::Value pivot(Json::objectValue);
            pivot["x"] = point.x();
            pivot["y"] = point.y();
            pivots.append(pivot);
        }
        Json::Value document(Json::objectValue);
        document["face_mask_data"]["face_mask_image_format"] = "png";
        document["face_mask_data"]["face_mask_image_path"] = picturePath.toStdString();
        document["face_mask_data"]["mask_data"]["mask_pivots"] = pivots;
        document["need_extra_rect"] = true;
        text = QByteArray::fromStdString(document.toStyledString());
    }
    QVERIFY(text.contains("\xd9\xab"));
    QString reason;
    const std::optional<Effect> effect = readEffectDocument(text, &reason);
    QVERIFY2(effect.has_value(), qPrintable(reason));
    QCOMPARE(effect->effectType, 1);
    QCOMPARE(effect->picturePath, picturePath);
    QCOMPARE(effect->points.size(), points.size());
    for (size_t i = 0; i < points.size(); ++i) {
        QCOMPARE(bitsOf(effect->points[i].x()), bitsOf(points[i].x()));
        QCOMPARE(bitsOf(effect->points[i].y()), bitsOf(points[i].y()));
    }
}

// The parser skips comments, and a quote inside one starts no string: the numbers after it are
// put back all the same, and a string between two such comments stays as written.
void tst_PackageFormat::pashtoDecimalPointsAmidComments_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("picturePath");
    const QByteArray mark("\xd9\xab");
    QByteArray pivots = "{\"x\": 0" + mark + "5.0, \"y\": 0" + mark + "25.0}";
    for (int i = 1; i < 75; ++i) {
        pivots += ", {\"x\": 0" + mark + "5.0, \"y\": 0" + mark + "25.0}";
    }
    const auto document = [&](const QByteArray& beforePath, const QByteArray& path, const QByteArray& afterPath) {
        return "{\"face_mask_data\": {" + beforePath + "\"face_mask_image_path\": \"" + path + "\"" + afterPath
               + ", \"mask_data\": {\"mask_pivots\": [" + pivots + "]}}}";
    };
    QTest::newRow("block-comment-with-a-quote") << document("/* \" */ ", "images/main/image.png", "")
                                                << QStringLiteral("images/main/image.png");
    QTest::newRow("line-comment-with-a-quote") << document("// \"\n", "images/main/image.png", "")
                                               << QStringLiteral("images/main/image.png");
    QTest::newRow("path-between-two-such-comments")
        << document("/*\"*/ ", "images/main/1" + mark + "5.png", " /*\"*/")
        << QStringLiteral("images/main/1\u066b5.png");
}

void tst_PackageFormat::pashtoDecimalPointsAmidComments()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, picturePath);
    QString reason;
    const std::optional<Effect> effect = readEffectDocument(text, &reason);
    QVERIFY2(effect.has_value(), qPrintable(reason));
    QCOMPARE(effect->picturePath, picturePath);
    QCOMPARE(int(effect->points.size()), 75);
    QCOMPARE(effect->points[74], FacialPoint(0.5, 0.25));
}

void tst_PackageFormat::effectReadingRules_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("effectType");
    QTest::addColumn<double>("firstX");
    QTest::addColumn<double>("firstY");

    QTest::newRow("both-flags-true-is-full-frame")
        << effectText("\"need_extra_rect\": true, \"stretch_extra_rect_on_whole_frame\": true,")
        << 2 << 0.5 << 0.5;
    QTest::newRow("flag-false-is-face-only")
        << effectText("\"need_extra_rect\": false,") << 0 << 0.5 << 0.5;
    QTest::newRow("flag-null-is-false") << effectText("\"need_extra_rect\": null,") << 0 << 0.5 << 0.5;
    QTest::newRow("flag-number-nonzero-is-true")
        << effectText("\"need_extra_rect\": 1.5,") << 1 << 0.5 << 0.5;
    QTest::newRow("flag-number-zero-is-false")
        << effectText("\"stretch_extra_rect_on_whole_frame\": 0, \"need_extra_rect\": -3,")
        << 1 << 0.5 << 0.5;
    QTest::newRow("pivot-null-is-origin") << effectText("", "null") << 0 << 0.0 << 0.0;
    QTest::newRow("pivot-without-members-is-origin") << effectText("", "{}") << 0 << 0.0 << 0.0;
    QTest::newRow("coordinate-true-is-one") << effectText("", "{\"x\": true, \"y\": false}") << 0 << 1.0 << 0.0;
    QTest::newRow("coordinate-null-is-zero") << effectText("", "{\"x\": null, \"y\": 0.5}") << 0 << 0.0 << 0.5;
    QTest::newRow("coordinate-integer-is-read")
        << effectText("", "{\"x\": 2, \"y\": -7}") << 0 << 2.0 << -7.0;
    QTest::newRow("coordinates-are-not-clamped")
        << effectText("", "{\"x\": -0.25, \"y\": 1.75}") << 0 << -0.25 << 1.75;
    QTest::newRow("largest-finite-number-is-read")
        << effectText("", "{\"x\": 1.7976931348623157e308, \"y\": 4.9406564584124654e-324}")
        << 0 << 1.7976931348623157e308 << 4.9406564584124654e-324;
    QTest::newRow("huge-integer-reads-as-double")
        << effectText("", "{\"x\": 123456789012345678901234567890, \"y\": 18446744073709551615}")
        << 0 << 1.2345678901234568e29 << 18446744073709551615.0;
    QTest::newRow("extra-keys-are-ignored")
        << effectText("\"whatever\": [1, 2], ", "{\"x\": 0.5, \"y\": 0.5, \"z\": \"no\"}")
        << 0 << 0.5 << 0.5;
    QTest::newRow("comments-are-allowed")
        << effectText("/* a comment */ ", "{\"x\": 0.5, // another\n \"y\": 0.5}") << 0 << 0.5 << 0.5;
    QTest::newRow("comments-holding-quotes")
        << effectText("/* \" */ ", "{\"x\": 0.5, // \"\n \"y\": 0.5 /* \"*/}") << 0 << 0.5 << 0.5;
    // A megabyte without a line end after a value, then 20,000 comments each holding one: read
    // in milliseconds, where keeping the comments cost the parser a look back over the megabyte
    // for each of them.
    QTest::newRow("many-comments-after-a-long-line")
        << effectText("\"extra\": 1" + QByteArray(1 << 20, ' ') + QByteArray("/*\n*/").repeated(20000) + ",")
        << 0 << 0.5 << 0.5;
}

void tst_PackageFormat::effectReadingRules()
{
    QFETCH(QByteArray, text);
    QFETCH(int, effectType);
    QFETCH(double, firstX);
    QFETCH(double, firstY);

    const std::optional<Effect> effect = readEffectDocument(text);
    QVERIFY2(effect.has_value(), "values of allowed types must be read, not refused");
    QCOMPARE(effect->effectType, effectType);
    QCOMPARE(int(effect->points.size()), 75);
    QCOMPARE(bitsOf(effect->points[0].x()), bitsOf(firstX));
    QCOMPARE(bitsOf(effect->points[0].y()), bitsOf(firstY));
    QCOMPARE(effect->points[74], FacialPoint(0.25, 0.75));
}

void tst_PackageFormat::effectRefusals_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("reason");
    QTest::newRow("not-json") << QByteArray("this is not JSON") << QStringLiteral("not JSON");
    QTest::newRow("empty-text") << QByteArray() << QStringLiteral("not JSON");
    QTest::newRow("top-level-array") << QByteArray("[{\"face_mask_data\": {}}]") << QStringLiteral("not a JSON object");
    QTest::newRow("top-level-string") << QByteArray("\"face_mask_data\"") << QStringLiteral("not a JSON object");
    QTest::newRow("nan-literal") << effectText("", "{\"x\": NaN, \"y\": 0}") << QStringLiteral("not JSON");
    QTest::newRow("overflowing-number-does-not-parse") << effectText("", "{\"x\": 1e400, \"y\": 0}") << QStringLiteral("not JSON");
    QTest::newRow("infinity-literal") << effectText("", "{\"x\": Infinity, \"y\": 0}") << QStringLiteral("not JSON");
    QTest::newRow("flag-string") << effectText("\"need_extra_rect\": \"true\",") << QStringLiteral("need_extra_rect is not a boolean");
    QTest::newRow("flag-object") << effectText("\"stretch_extra_rect_on_whole_frame\": {},") << QStringLiteral("stretch_extra_rect_on_whole_frame is not a boolean");
    QTest::newRow("flag-array") << effectText("\"need_extra_rect\": [true],") << QStringLiteral("need_extra_rect is not a boolean");
    QTest::newRow("pivot-string") << effectText("", "\"0.5,0.5\"") << QStringLiteral("mask_pivots element 0 is not an object");
    QTest::newRow("pivot-array") << effectText("", "[0.5, 0.5]") << QStringLiteral("mask_pivots element 0 is not an object");
    QTest::newRow("pivot-number") << effectText("", "0.5") << QStringLiteral("mask_pivots element 0 is not an object");
    QTest::newRow("pivot-x-string") << effectText("", "{\"x\": \"0.5\", \"y\": 0.5}") << QStringLiteral("mask_pivots element 0: x is not a number");
    QTest::newRow("pivot-y-object") << effectText("", "{\"x\": 0.5, \"y\": {}}") << QStringLiteral("mask_pivots element 0: y is not a number");
    QTest::newRow("face-mask-data-string")
        << QByteArray("{\"face_mask_data\": \"images/main/image.png\"}") << QStringLiteral("face_mask_data is not an object");
    QTest::newRow("face-mask-data-missing") << QByteArray("{\"need_extra_rect\": true}") << QStringLiteral("face_mask_image_path missing");
    QTest::newRow("image-path-missing")
        << QByteArray("{\"face_mask_data\": {\"mask_data\": {\"mask_pivots\": []}}}") << QStringLiteral("face_mask_image_path missing");
    QTest::newRow("image-path-number")
        << QByteArray("{\"face_mask_data\": {\"face_mask_image_path\": 3}}") << QStringLiteral("face_mask_image_path is not a string");
    QTest::newRow("mask-data-array")
        << QByteArray("{\"face_mask_data\": {\"face_mask_image_path\": \"a\", \"mask_data\": []}}") << QStringLiteral("mask_data is not an object");
    QTest::newRow("mask-pivots-object")
        << QByteArray("{\"face_mask_data\": {\"face_mask_image_path\": \"a\","
                      " \"mask_data\": {\"mask_pivots\": {\"x\": 1}}}}") << QStringLiteral("mask_pivots is not an array");
    QTest::newRow("100001-pivots") << effectText("", "{}" + QByteArray(", {}").repeated(100001 - 75))
                                   << QStringLiteral("mask_pivots has 100001 elements, at most 100000 allowed");
    QTest::newRow("values-beyond-the-parser-bound")
        << effectText("\"extra\": [0" + QByteArray(",0").repeated(401024 - 75) + "],")
        << QStringLiteral("more than 401024 values");
    // Arrays nested 60 deep: 60 values for every comma.
    QTest::newRow("nested-arrays-beyond-the-parser-bound")
        << effectText("\"extra\": [" + (QByteArray(60, '[') + QByteArray(60, ']') + ',').repeated(7000) + "0],")
        << QStringLiteral("more than 401024 values");
    QTest::newRow("nested-objects-beyond-the-parser-bound")
        << effectText("\"extra\": [" + (QByteArray("{\"a\":").repeated(60) + "0" + QByteArray(60, '}') + ',').repeated(7000) + "0],")
        << QStringLiteral("more than 401024 values");
    // A quote inside a comment starts no string: the values between two such comments count.
    QTest::newRow("values-between-quotes-in-block-comments")
        << effectText("\"extra\": /* \" */ [0" + QByteArray(",0").repeated(401024 - 75) + "] /* \" */,")
        << QStringLiteral("more than 401024 values");
    QTest::newRow("values-after-a-line-comment-ended-by-a-carriage-return")
        << effectText("\"extra\": // c\r [0" + QByteArray(",0").repeated(401024 - 75) + "],")
        << QStringLiteral("more than 401024 values");
    QTest::newRow("values-between-quotes-in-line-comments")
        << effectText("\"extra\": // \"\n [0" + QByteArray(",0").repeated(401024 - 75) + "] // \"\n,")
        << QStringLiteral("more than 401024 values");
    QTest::newRow("unterminated") << effectText("").left(200) << QStringLiteral("not JSON");
}

void tst_PackageFormat::effectRefusals()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, reason);
    QString why;
    QVERIFY2(!readEffectDocument(text, &why).has_value(), "a value of a type the format forbids must be refused");
    QCOMPARE(why, reason);
}

void tst_PackageFormat::propertiesReading_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("time");

    QTest::newRow("three-strings") << QByteArray("{\"name\": \"N\", \"subcategory\": \"S\", \"author\": \"A\"}")
                                   << true << "N" << "";
    QTest::newRow("date-as-written")
        << QByteArray("{\"name\": \"N\", \"subcategory\": \"S\", \"author\": \"A\", \"time\": \"03.05.2020\"}")
        << true << "N" << "03.05.2020";
    QTest::newRow("date-number-accepted-without-date")
        << QByteArray("{\"name\": \"N\", \"subcategory\": \"S\", \"author\": \"A\", \"time\": 3052020}")
        << true << "N" << "";
    QTest::newRow("unicode-escapes") << QByteArray("{\"name\": \"\\u00e9t\\u00e9\", \"subcategory\": \"S\", \"author\": \"A\"}")
                                     << true << QStringLiteral("\u00e9t\u00e9") << "";
    // Another tool's Latin-1 bytes are no UTF-8: each byte is its character, none is lost.
    QTest::newRow("latin-1-name") << QByteArray("{\"name\": \"caf\xe9 \xa0\xff\", \"subcategory\": \"S\", \"author\": \"A\"}")
                                  << true << QStringLiteral("caf\u00e9 \u00a0\u00ff") << "";
    QTest::newRow("utf-8-name") << QByteArray("{\"name\": \"caf\xc3\xa9\", \"subcategory\": \"S\", \"author\": \"A\"}")
                                << true << QStringLiteral("caf\u00e9") << "";
    QTest::newRow("name-stops-at-zero-character")
        << QByteArray("{\"name\": \"ab\\u0000cd\", \"subcategory\": \"S\", \"author\": \"A\"}") << true << "ab" << "";
    QTest::newRow("name-number") << QByteArray("{\"name\": 5, \"subcategory\": \"S\", \"author\": \"A\"}") << false << "" << "";
    QTest::newRow("name-null") << QByteArray("{\"name\": null, \"subcategory\": \"S\", \"author\": \"A\"}") << false << "" << "";
    QTest::newRow("author-missing") << QByteArray("{\"name\": \"N\", \"subcategory\": \"S\"}") << false << "" << "";
    QTest::newRow("subcategory-array") << QByteArray("{\"name\": \"N\", \"subcategory\": [], \"author\": \"A\"}") << false << "" << "";
    QTest::newRow("top-level-array") << QByteArray("[\"N\", \"S\", \"A\"]") << false << "" << "";
    QTest::newRow("not-json") << QByteArray("name=N") << false << "" << "";
    // Only separators between values count towards the parser's bound, not commas in strings.
    QTest::newRow("commas-inside-a-string")
        << QByteArray("{\"name\": \"\\\"" + QByteArray(500000, ',') + "\", \"subcategory\": \"S\", \"author\": \"A\"}")
        << true << QString("\"" + QString(500000, ',')) << "";
}

void tst_PackageFormat::propertiesReading()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, accepted);
    QFETCH(QString, name);
    QFETCH(QString, time);
    const std::optional<Properties> properties = readPropertiesDocument(text);
    QCOMPARE(properties.has_value(), accepted);
    if (accepted) {
        QCOMPARE(properties->name, name);
        QCOMPARE(properties->subcategory, QStringLiteral("S"));
        QCOMPARE(properties->author, QStringLiteral("A"));
        QCOMPARE(properties->time, time);
    }
}

void tst_PackageFormat::deepNestingIsRefused()
{
    const int depth = 200000;
    const QByteArray deepArray = QByteArray(depth, '[') + QByteArray(depth, ']');
    QVERIFY2(!readEffectDocument(deepArray).has_value(), "deep nesting at the top must be refused");
    QVERIFY2(!readEffectDocument(effectText("", "{\"x\": " + deepArray + ", \"y\": 0}")).has_value(),
             "deep nesting inside a pivot must be refused");
    QByteArray deepObject;
    for (int i = 0; i < 100000; ++i) {
        deepObject += "{\"a\":";
    }
    deepObject += "1" + QByteArray(100000, '}');
    QVERIFY2(!readPropertiesDocument(deepObject).has_value(), "deeply nested objects must be refused");
}

void tst_PackageFormat::thumbnailLetterBoxesSquarePicture()
{
    const QImage thumbnail = makeThumbnail(solidPicture({480, 480}, Qt::blue), smallThumbnailSize);
    QCOMPARE(thumbnail.size(), QSize(320, 240));
    for (int y : {0, 120, 239}) {
        for (int x : {0, 20, 39, 280, 300, 319}) {
            QVERIFY2(isWhite(thumbnail.pixel(x, y)),
                     qPrintable(QStringLiteral("band pixel (%1, %2) must be white").arg(x).arg(y)));
        }
        for (int x : {40, 160, 279}) {
            QVERIFY2(isBlue(thumbnail.pixel(x, y)),
                     qPrintable(QStringLiteral("picture pixel (%1, %2) must be blue").arg(x).arg(y)));
        }
    }
}

void tst_PackageFormat::thumbnailOfFourThirdsPictureHasNoBands()
{
    const QImage picture = solidPicture({640, 480}, Qt::blue);
    for (const QSize& size : {smallThumbnailSize, mediumThumbnailSize, largeThumbnailSize}) {
        const QImage thumbnail = makeThumbnail(picture, size);
        QCOMPARE(thumbnail.size(), size);
        for (int y = 0; y < size.height(); ++y) {
            for (int x = 0; x < size.width(); ++x) {
                if (!isBlue(thumbnail.pixel(x, y))) {
                    QFAIL(qPrintable(QStringLiteral("pixel (%1, %2) of the %3x%4 thumbnail is not covered")
                                         .arg(x).arg(y).arg(size.width()).arg(size.height())));
                }
            }
        }
    }
}

void tst_PackageFormat::thumbnailKeepsPixelFormat_data()
{
    QTest::addColumn<QImage::Format>("format");
    QTest::addColumn<QImage::Format>("expected");
    QTest::newRow("rgb32") << QImage::Format_RGB32 << QImage::Format_RGB32;
    QTest::newRow("argb32") << QImage::Format_ARGB32 << QImage::Format_ARGB32;
    QTest::newRow("rgb888") << QImage::Format_RGB888 << QImage::Format_RGB888;
    QTest::newRow("grayscale8") << QImage::Format_Grayscale8 << QImage::Format_Grayscale8;
    QTest::newRow("indexed8-cannot-be-painted-on") << QImage::Format_Indexed8 << QImage::Format_RGB32;
    QTest::newRow("mono-cannot-be-painted-on") << QImage::Format_Mono << QImage::Format_RGB32;
}

void tst_PackageFormat::thumbnailKeepsPixelFormat()
{
    QFETCH(QImage::Format, format);
    QFETCH(QImage::Format, expected);
    const QImage picture = solidPicture({64, 64}, Qt::black).convertToFormat(format);
    QCOMPARE(picture.format(), format);
    const QImage thumbnail = makeThumbnail(picture, mediumThumbnailSize);
    QCOMPARE(thumbnail.format(), expected);
    QCOMPARE(thumbnail.size(), mediumThumbnailSize);
    QVERIFY2(isWhite(thumbnail.pixel(5, 37)), "the band left of a square picture is white");
    QVERIFY2(qGray(thumbnail.pixel(50, 37)) < 10, "the picture is drawn in the middle");
}

void tst_PackageFormat::thumbnailOfNullPictureIsNull()
{
    QVERIFY(makeThumbnail(QImage(), smallThumbnailSize).isNull());
}

void tst_PackageFormat::thumbnailOfThinPictureShowsIt_data()
{
    QTest::addColumn<QSize>("pictureSize");
    QTest::addColumn<QSize>("thumbnailSize");
    for (const QSize& picture : {QSize(1, 4000), QSize(3, 2000), QSize(4000, 1), QSize(2000, 3), QSize(100000, 1)}) {
        for (const QSize& thumbnail : {largeThumbnailSize, mediumThumbnailSize}) {
            QTest::addRow("%dx%d-in-%dx%d", picture.width(), picture.height(), thumbnail.width(), thumbnail.height())
                << picture << thumbnail;
        }
    }
}

// Scaled into the thumbnail, such a picture is thinner than a pixel: it is still drawn, as a
// line along the whole of its long side, not left out.
void tst_PackageFormat::thumbnailOfThinPictureShowsIt()
{
    QFETCH(QSize, pictureSize);
    QFETCH(QSize, thumbnailSize);
    const QImage thumbnail = makeThumbnail(solidPicture(pictureSize, Qt::blue), thumbnailSize);
    QCOMPARE(thumbnail.size(), thumbnailSize);
    const bool tall = pictureSize.height() > pictureSize.width();
    const int along = tall ? thumbnailSize.height() : thumbnailSize.width();
    const int across = tall ? thumbnailSize.width() : thumbnailSize.height();
    for (int i = 0; i < along; ++i) {
        bool drawn = false;
        for (int j = 0; j < across && !drawn; ++j) {
            drawn = isBlue(tall ? thumbnail.pixel(j, i) : thumbnail.pixel(i, j));
        }
        QVERIFY2(drawn, qPrintable(QStringLiteral("%1 %2 of the thumbnail shows nothing of the picture")
                                       .arg(tall ? "row" : "column").arg(i)));
    }
}

namespace {

// A photo with soft edges and sharp ones: a gradient under a grid of thin lines, so that any
// sample taken from the wrong pixel or with the wrong weight shows.
QImage gridPicture(const QSize& size, QImage::Format format, bool seeThrough)
{
    QImage picture(size, QImage::Format_ARGB32);
    for (int y = 0; y < size.height(); ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(picture.scanLine(y));
        for (int x = 0; x < size.width(); ++x) {
            const bool onLine = x % 7 == 0 || y % 5 == 0;
            const int alpha = seeThrough ? (x * 255 / size.width()) : 255;
            line[x] = onLine ? qRgba(0, 0, 0, alpha)
                             : qRgba(x * 255 / size.width(), y * 255 / size.height(), 200, alpha);
        }
    }
    return picture.convertToFormat(format);
}

} // namespace

void tst_PackageFormat::thumbnailsFromTheReducedCopyMatchAPaintedDrawing_data()
{
    QTest::addColumn<QImage>("picture");
    // Bounds in grey levels. The painter rounds its weights to 1/16 in strong reductions, a
    // sample 1/32 of the contrast either way on each axis: up to 8 levels at a sharp edge, plus
    // truncation. A 16-bit-a-pixel picture steps by 8 levels.
    QTest::addColumn<int>("largestAllowed");
    QTest::addColumn<double>("meanAllowed");
    const QDir faces(QStringLiteral(FACEMASK_TEST_DATA_DIR "/faces"));
    for (const QString& name : faces.entryList({QStringLiteral("*.jpg"), QStringLiteral("*.png")})) {
        const QImage photo(faces.filePath(name));
        QVERIFY2(!photo.isNull(), qPrintable(name));
        QTest::newRow(qPrintable(name)) << photo << 8 << 0.4;
    }
    const QImage landscape(faces.filePath(QStringLiteral("bald_guys.jpg")));
    QTest::newRow("photo-4000x3000")
        << landscape.scaled(4000, 3000, Qt::IgnoreAspectRatio, Qt::SmoothTransformation) << 8 << 0.4;
    QTest::newRow("photo-portrait-tall") << landscape.scaled(700, 3000) << 8 << 0.4;
    QTest::newRow("photo-enlarged") << landscape.scaled(90, 40) << 8 << 0.4;
    const QImage photo = landscape.scaled(1000, 700);
    QTest::newRow("photo-indexed") << photo.convertToFormat(QImage::Format_Indexed8) << 8 << 0.4;
    QTest::newRow("photo-mono") << photo.convertToFormat(QImage::Format_Mono) << 8 << 0.4;
    QTest::newRow("photo-rgb888") << photo.convertToFormat(QImage::Format_RGB888) << 8 << 0.4;
    QTest::newRow("photo-rgb16") << photo.convertToFormat(QImage::Format_RGB16) << 16 << 0.4;
    // Drawn at 16 bits a channel by the painter, at 8 by us: a truncation's half level apart.
    QTest::newRow("photo-rgba64") << photo.convertToFormat(QImage::Format_RGBA64) << 8 << 0.7;
    QTest::newRow("photo-grey16") << photo.convertToFormat(QImage::Format_Grayscale16) << 8 << 0.7;
    // Black lines one pixel wide every few pixels: every sample sits at a sharp edge.
    QTest::newRow("grid-reduced-1.5") << gridPicture({480, 360}, QImage::Format_RGB32, false) << 12 << 1.5;
    QTest::newRow("grid-reduced-2.5") << gridPicture({800, 600}, QImage::Format_RGB32, false) << 12 << 1.5;
    QTest::newRow("grid-reduced-9") << gridPicture({2900, 2100}, QImage::Format_RGB32, false) << 12 << 1.5;
    QTest::newRow("grid-grey") << gridPicture({1500, 1100}, QImage::Format_Grayscale8, false) << 12 << 1.5;
    QTest::newRow("grid-see-through") << gridPicture({1300, 900}, QImage::Format_ARGB32, true) << 12 << 1.5;
    QTest::newRow("grid-see-through-premultiplied")
        << gridPicture({500, 900}, QImage::Format_ARGB32_Premultiplied, true) << 12 << 1.5;
    QTest::newRow("grid-thin") << gridPicture({3, 2000}, QImage::Format_RGB32, false) << 12 << 1.5;
    QTest::newRow("grid-one-pixel") << gridPicture({1, 1}, QImage::Format_RGB32, false) << 0 << 0.0;
}

// The thumbnails drawn from the reduced copy against a QPainter drawing of the whole picture,
// before JPEG: the same size and format, the same letter-boxing, and pixels a few grey levels
// apart at most, where the painter rounds its weights more coarsely.
void tst_PackageFormat::thumbnailsFromTheReducedCopyMatchAPaintedDrawing()
{
    QFETCH(QImage, picture);
    QFETCH(int, largestAllowed);
    QFETCH(double, meanAllowed);
    const std::vector<QSize> sizes{largeThumbnailSize, mediumThumbnailSize, QSize(64, 64)};
    const std::vector<QImage> thumbnails = makeThumbnails(picture, sizes);
    QCOMPARE(thumbnails.size(), sizes.size());
    for (size_t i = 0; i < sizes.size(); ++i) {
        const QImage painted = paintThumbnail(picture, sizes[i]);
        QCOMPARE(thumbnails[i].size(), sizes[i]);
        QCOMPARE(thumbnails[i].format(), painted.format());
        const QImage ours = thumbnails[i].convertToFormat(QImage::Format_ARGB32);
        const QImage theirs = painted.convertToFormat(QImage::Format_ARGB32);
        int largest = 0;
        qint64 total = 0;
        for (int y = 0; y < ours.height(); ++y) {
            for (int x = 0; x < ours.width(); ++x) {
                const QRgb a = ours.pixel(x, y);
                const QRgb b = theirs.pixel(x, y);
                for (const int difference : {qRed(a) - qRed(b), qGreen(a) - qGreen(b),
                                             qBlue(a) - qBlue(b), qAlpha(a) - qAlpha(b)}) {
                    largest = std::max(largest, std::abs(difference));
                    total += std::abs(difference);
                }
            }
        }
        const double mean = double(total) / (ours.width() * ours.height() * 4);
        qInfo("%dx%d: largest difference %d, mean %.3f grey levels", sizes[i].width(),
              sizes[i].height(), largest, mean);
        QVERIFY2(largest <= largestAllowed, qPrintable(QStringLiteral("largest difference %1").arg(largest)));
        QVERIFY2(mean <= meanAllowed, qPrintable(QStringLiteral("mean difference %1").arg(mean)));
    }
}

QTEST_GUILESS_MAIN(tst_PackageFormat)
#include "tst_packageformat.moc"
