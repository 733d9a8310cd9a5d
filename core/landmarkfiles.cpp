#include "core/landmarkfiles.h"

#include "core/numbertext.h"

#include <QXmlStreamReader>

#include <algorithm>
#include <cmath>

namespace core::landmarkfiles {

namespace {

// A .pts file of 68 points is under 4 KB; anything far larger is not one.
constexpr int maximumPtsSize = 1 << 16;

QByteArray number(double value)
{
    return numberText("%.17g", value);
}

template <typename T>
std::optional<T> refuse(QString* reason, const QString& why)
{
    if (reason) {
        *reason = why;
    }
    return std::nullopt;
}

// For an attribute in single quotes. Tab, line feed and carriage return as references, which an
// XML reader keeps (it turns the characters themselves into spaces); what XML 1.0 cannot hold at
// all (other control characters, U+FFFE, U+FFFF, a lone surrogate) as U+FFFD.
QByteArray xmlEscaped(const QString& text)
{
    QString escaped;
    escaped.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        const ushort u = c.unicode();
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            escaped += c;
            escaped += text[++i];
        } else if (u == '&') {
            escaped += QLatin1String("&amp;");
        } else if (u == '<') {
            escaped += QLatin1String("&lt;");
        } else if (u == '>') {
            escaped += QLatin1String("&gt;");
        } else if (u == '"') {
            escaped += QLatin1String("&quot;");
        } else if (u == '\'') {
            escaped += QLatin1String("&apos;");
        } else if (u == '\t' || u == '\n' || u == '\r') {
            escaped += QStringLiteral("&#%1;").arg(u);
        } else if (u < 0x20 || u == 0xFFFE || u == 0xFFFF || c.isSurrogate()) {
            escaped += QChar(QChar::ReplacementCharacter);
        } else {
            escaped += c;
        }
    }
    return escaped.toUtf8();
}

// One coordinate of a .pts file. Builds before numbers were printed with '.' used the user's
// decimal point: "212,5" under a German locale, "212\u066b5" (two bytes) under Pashto. A word
// with one such mark and no '.' reads as the number it stands for.
double ptsNumber(QByteArray word, bool* ok)
{
    const double value = word.toDouble(ok);
    if (*ok || word.contains('.')) {
        return value;
    }
    const QByteArray twoByteDecimalPoint(arabicDecimalPoint);
    if (word.count(',') == 1) {
        word.replace(',', '.');
    } else if (word.count(twoByteDecimalPoint) == 1) {
        word.replace(twoByteDecimalPoint, ".");
    } else {
        return value;
    }
    return word.toDouble(ok);
}

bool writablePixel(double pixel)
{
    return std::isfinite(pixel) && std::abs(pixel) <= farthestWritablePixel;
}

} // namespace

int unwritablePoint(const FacialPointVector& points, QSize pictureSize)
{
    const int count = std::min(int(points.size()), landmarkCount);
    for (int i = 0; i < count; ++i) {
        if (!writablePixel(points[i].x() * pictureSize.width()) || !writablePixel(points[i].y() * pictureSize.height())) {
            return i;
        }
    }
    return -1;
}

QByteArray writePts(const FacialPointVector& points, QSize pictureSize)
{
    if (int(points.size()) < landmarkCount || unwritablePoint(points, pictureSize) >= 0) {
        return QByteArray();
    }
    QByteArray text = "version: 1\nn_points: 68\n{\n";
    for (int i = 0; i < landmarkCount; ++i) {
        text += number(points[i].x() * pictureSize.width() + 1) + ' '
            + number(points[i].y() * pictureSize.height() + 1) + '\n';
    }
    return text + "}\n";
}

std::optional<FacialPointVector> readPts(const QByteArray& text, QSize pictureSize, QString* reason)
{
    if (text.size() > maximumPtsSize) {
        return refuse<FacialPointVector>(reason, QStringLiteral("too large for a .pts file"));
    }
    if (pictureSize.isEmpty()) {
        return refuse<FacialPointVector>(reason, QStringLiteral("no picture size"));
    }
    // Editors on Windows start a UTF-8 file with a byte order mark.
    const QByteArray byteOrderMark("\xef\xbb\xbf");
    const QByteArray body = text.startsWith(byteOrderMark) ? text.mid(byteOrderMark.size()) : text;
    const QList<QByteArray> words = body.simplified().split(' ');
    // version: 1 n_points: 68 { x y ... }
    if (words.size() != 6 + 2 * landmarkCount || words[0] != "version:" || words[1] != "1"
        || words[2] != "n_points:" || words[3] != QByteArray::number(landmarkCount)
        || words[4] != "{" || words.last() != "}") {
        return refuse<FacialPointVector>(reason, QStringLiteral("not a .pts file of 68 points"));
    }
    FacialPointVector points;
    for (int i = 0; i < landmarkCount; ++i) {
        bool xOk = false;
        bool yOk = false;
        const double x = ptsNumber(words[5 + 2 * i], &xOk);
        const double y = ptsNumber(words[6 + 2 * i], &yOk);
        if (!xOk || !yOk || !std::isfinite(x) || !std::isfinite(y)) {
            return refuse<FacialPointVector>(reason, QStringLiteral("point %1 is not two numbers").arg(i));
        }
        points.emplace_back((x - 1) / pictureSize.width(), (y - 1) / pictureSize.height());
    }
    return points;
}

QByteArray writeDlibXml(const DlibImage& image, QSize pictureSize)
{
    if (int(image.points.size()) < landmarkCount || unwritablePoint(image.points, pictureSize) >= 0) {
        return QByteArray();
    }
    QByteArray text = "<?xml version='1.0' encoding='UTF-8'?>\n"
                      "<dataset>\n"
                      "<name>facemask landmarks</name>\n"
                      "<images>\n";
    text += "  <image file='" + xmlEscaped(image.file) + "'>\n";
    text += QStringLiteral("    <box top='%1' left='%2' width='%3' height='%4'>\n")
                .arg(image.box.top())
                .arg(image.box.left())
                .arg(image.box.width())
                .arg(image.box.height())
                .toUtf8();
    for (int i = 0; i < landmarkCount; ++i) {
        text += QStringLiteral("      <part name='%1' x='%2' y='%3'/>\n")
                    .arg(i, 2, 10, QLatin1Char('0'))
                    .arg(std::llround(image.points[i].x() * pictureSize.width()))
                    .arg(std::llround(image.points[i].y() * pictureSize.height()))
                    .toUtf8();
    }
    return text + "    </box>\n  </image>\n</images>\n</dataset>\n";
}

std::optional<DlibImage> readDlibXml(const QByteArray& text, QSize pictureSize, QString* reason)
{
    if (pictureSize.isEmpty()) {
        return refuse<DlibImage>(reason, QStringLiteral("no picture size"));
    }
    QXmlStreamReader xml(text);
    DlibImage image;
    QString imageFile;
    bool inImage = false;
    bool inBox = false;
    bool boxFound = false;
    int partsInBox = 0;
    int badPart = -1;  // the first part of the box whose place is not two whole pixels
    bool taken = false;  // the first box with parts is read: the later ones are only counted
    int partsInLaterBox = 0;
    std::vector<std::optional<QPointF>> parts(landmarkCount);
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isEndElement() && xml.name() == QLatin1String("image")) {
            inImage = false;
            inBox = false;
        }
        if (xml.isEndElement() && xml.name() == QLatin1String("box") && inBox) {
            inBox = false;
            // A box without parts marks a face without landmarks: the next one may have them.
            if (taken && partsInLaterBox > 0) {
                ++image.faceCount;
            } else if (!taken && partsInBox > 0) {
                taken = true;
                image.faceCount = 1;
            }
        }
        if (!xml.isStartElement()) {
            continue;
        }
        const QXmlStreamAttributes attributes = xml.attributes();
        auto whole = [&](const char* name, bool* ok) {
            return attributes.value(QLatin1String(name)).toInt(ok);
        };
        if (xml.name() == QLatin1String("image")) {
            inImage = true;
            imageFile = attributes.value(QLatin1String("file")).toString();
        } else if (xml.name() == QLatin1String("box") && inImage && !inBox) {
            // imglab's boxes to be left out of training ("ignore='1'") hold no face.
            if (attributes.value(QLatin1String("ignore")).toInt() != 0) {
                continue;
            }
            if (taken) {
                inBox = true;
                partsInLaterBox = 0;
                continue;
            }
            bool ok[4] = {};
            image.box = QRect(whole("left", &ok[0]), whole("top", &ok[1]), whole("width", &ok[2]),
                              whole("height", &ok[3]));
            if (!(ok[0] && ok[1] && ok[2] && ok[3])) {
                return refuse<DlibImage>(reason, QStringLiteral("a box without whole-pixel bounds"));
            }
            image.file = imageFile;
            inBox = true;
            boxFound = true;
            partsInBox = 0;
            badPart = -1;
            std::fill(parts.begin(), parts.end(), std::nullopt);
        } else if (xml.name() == QLatin1String("part") && inBox && taken) {
            ++partsInLaterBox;
        } else if (xml.name() == QLatin1String("part") && inBox) {
            ++partsInBox;
            bool named = false;
            const int index = attributes.value(QLatin1String("name")).toInt(&named);
            bool xOk = false;
            bool yOk = false;
            const int x = whole("x", &xOk);
            const int y = whole("y", &yOk);
            if (named && index >= 0 && index < landmarkCount) {
                if (xOk && yOk) {
                    parts[std::size_t(index)] = QPointF(double(x) / pictureSize.width(),
                                                        double(y) / pictureSize.height());
                } else if (badPart < 0) {
                    badPart = index;
                }
            }
        }
    }
    if (xml.hasError() && partsInBox == 0) {
        return refuse<DlibImage>(reason, QStringLiteral("not XML: ") + xml.errorString());
    }
    if (!boxFound) {
        return refuse<DlibImage>(reason, QStringLiteral("no image with a box"));
    }
    if (partsInBox == 0) {
        return refuse<DlibImage>(reason, QStringLiteral("no box with parts"));
    }
    for (int i = 0; i < landmarkCount; ++i) {
        if (!parts[std::size_t(i)]) {
            const QString name = QStringLiteral("%1").arg(i, 2, 10, QLatin1Char('0'));
            return refuse<DlibImage>(reason, i == badPart ? QStringLiteral("part %1 not at whole pixels").arg(name)
                                                          : QStringLiteral("part %1 missing").arg(name));
        }
        image.points.push_back(*parts[std::size_t(i)]);
    }
    image.faceCount = std::max(image.faceCount, 1);  // a file cut short inside the box read
    return image;
}

QRect boundingBox(const FacialPointVector& points, QSize pictureSize)
{
    const int count = std::min(int(points.size()), landmarkCount);
    if (count == 0 || unwritablePoint(points, pictureSize) >= 0) {
        return QRect();
    }
    double left = points[0].x();
    double right = left;
    double top = points[0].y();
    double bottom = top;
    for (int i = 1; i < count; ++i) {
        left = std::min(left, points[i].x());
        right = std::max(right, points[i].x());
        top = std::min(top, points[i].y());
        bottom = std::max(bottom, points[i].y());
    }
    const int x0 = int(std::floor(left * pictureSize.width()));
    const int y0 = int(std::floor(top * pictureSize.height()));
    const int x1 = int(std::ceil(right * pictureSize.width()));
    const int y1 = int(std::ceil(bottom * pictureSize.height()));
    return QRect(QPoint(x0, y0), QPoint(x1, y1));
}

} // namespace core::landmarkfiles
