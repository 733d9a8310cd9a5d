#pragma once

#include "core/facialpoints.h"

#include <QByteArray>
#include <QDate>
#include <QImage>
#include <QSize>
#include <QString>

#include <optional>

// The content of an effect package: the member names, the two JSON documents and the
// thumbnails. The archive container is not touched here. Any thread.
namespace core::package {

constexpr char propertiesMember[] = "effect.json";  // carries the descriptive properties
constexpr char effectMember[] = "properties.json";  // carries the mask description
constexpr char pictureMember[] = "images/main/image.png";
constexpr char smallThumbnailMember[] = "images/thumbnail/small.jpg";
constexpr char mediumThumbnailMember[] = "images/thumbnail/medium.jpg";
constexpr char largeThumbnailMember[] = "images/thumbnail/large.jpg";
// The members a save writes, in writing order; the first two are the JSON documents.
constexpr const char* writtenMembers[] = {propertiesMember,     effectMember,          pictureMember,
                                          smallThumbnailMember, mediumThumbnailMember, largeThumbnailMember};

const QSize smallThumbnailSize(320, 240);
const QSize mediumThumbnailSize(100, 75);
const QSize largeThumbnailSize(320, 240);

// A package needs at least the 68 landmarks and the 7 derived points.
constexpr int minimumPivotCount = 75;
// More points than any effect uses; a document listing more is refused before they are stored,
// so that a small hostile file cannot make the program hold and paint millions of them.
constexpr int maximumPivotCount = 100'000;

// The date written into a package. Tests replace the clock to fix it; the default is the
// local date. Returns the clock that was in place.
using DateSource = QDate (*)();
DateSource setDateSource(DateSource source);
QDate today();

// The bytes of the texts of a properties document that are no UTF-8 (another tool's Latin-1, say),
// each empty for a text that is.
struct ForeignTexts {
    QByteArray name;
    QByteArray author;
    QByteArray subcategory;
};

// The properties document as UTF-8 JSON text; the date is written as "MM.dd.yyyy". A text that
// reads as its bytes in foreign is written as those bytes, as it was found.
QByteArray buildPropertiesDocument(const QString& name, const QString& author,
                                   const QString& subcategory, const QDate& date,
                                   const ForeignTexts& foreign = {});
// The effect document as UTF-8 JSON text. Point coordinates are fractions of the picture and
// are written with 17 significant digits. An effect type other than 1 or 2 writes no flag.
QByteArray buildEffectDocument(int effectType, const FacialPointVector& points);

struct Properties {
    QString name;
    QString subcategory;
    QString author;
    QString time;  // as written, "MM.dd.yyyy" by us; empty when absent or not a string
    // Texts that are no UTF-8 are read as Latin-1, each byte its character; their bytes.
    ForeignTexts foreign;
};

struct Effect {
    int effectType = 0;
    FacialPointVector points;  // as read, not clamped; possibly fewer than minimumPivotCount
    QString picturePath;
};

// Parse the documents. Returns nothing when the text is not JSON, nests too deeply, holds a
// value of a type the format does not allow where the reader looks, or (effect) lists more than
// maximumPivotCount pivots; then *reason, when given, says which check failed. Never throws.
std::optional<Properties> readPropertiesDocument(const QByteArray& text, QString* reason = nullptr);
std::optional<Effect> readEffectDocument(const QByteArray& text, QString* reason = nullptr);

// The picture scaled smoothly into size, keeping its aspect ratio, centred on white, as
// makeThumbnails draws it. A null picture gives a null thumbnail.
QImage makeThumbnail(const QImage& picture, const QSize& size);

} // namespace core::package
