#pragma once
// Hand-made packages for tests of the package loader and of the programs that read packages:
// the documents are written with Qt's JSON and the archive by the ZIP library alone, so that
// they do not depend on the code tested; one field can then be damaged after writing.

#include "tests/support/testimages.h"
#include "zip/ziparchive.h"

#include <QByteArray>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaType>
#include <QPair>
#include <QStringList>
#include <QVector>
#include <QtEndian>

#include <zlib.h>

namespace packagefixtures {

using testimages::encoded;

// Members of a hand-made archive, in writing order: name and bytes (a name ending in "/" is a
// folder).
using Members = QVector<QPair<QString, QByteArray>>;

// A change made to the bytes of an archive after it was written.
enum class Damage { None, HugeDeclaredSize, DeclaredSizeBeyondDeflateRatio, WrongCrc };

inline const char16_t* utf16(const QString& text)
{
    return reinterpret_cast<const char16_t*>(text.utf16());
}

inline QImage gradientPicture(int width, int height)
{
    QImage picture(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            picture.setPixel(x, y, qRgb((x * 255) / width, (y * 255) / height, (x + y) % 256));
        }
    }
    return picture;
}

inline bool writeArchive(const QString& path, const Members& members)
{
    HZIP archive = archiveCreateFile(utf16(path), nullptr);
    if (!archive) {
        return false;
    }
    bool written = true;
    for (const auto& member : members) {
        // A name ending in "/" is a folder.
        const ArchiveResult added = member.first.endsWith('/')
            ? archiveAddFolder(archive, utf16(member.first))
            : archiveAddBuffer(archive, utf16(member.first), member.second.constData(),
                               quint32(member.second.size()));
        written = added == ArchiveResult::Ok && written;
    }
    return archiveClose(archive) == ArchiveResult::Ok && written;
}

inline QByteArray extractMember(const QString& path, const QString& name)
{
    HZIP archive = archiveOpenFile(utf16(path), nullptr);
    if (!archive) {
        return QByteArray();
    }
    ArchiveMemberInfo info;
    QByteArray bytes;
    if (archiveFindMember(archive, utf16(name), false, nullptr, &info) == ArchiveResult::Ok) {
        bytes.resize(int(info.uncompressedSize));
        if (archiveExtractToBuffer(archive, info.index, bytes.data(), quint32(bytes.size()))
            != ArchiveResult::Ok) {
            bytes.clear();
        }
    }
    archiveClose(archive);
    return bytes;
}


inline QByteArray propertiesText(const QJsonObject& replacements = {}, const QStringList& removed = {})
{
    QJsonObject document{{"version", "2"},          {"name", "Hand made"},
                         {"author", "Someone Else"}, {"time", "01.02.2021"},
                         {"category", "Face Masks"}, {"subcategory", "Hats"},
                         {"type", "face_modifications"}};
    for (auto it = replacements.begin(); it != replacements.end(); ++it) {
        document[it.key()] = it.value();
    }
    for (const QString& key : removed) {
        document.remove(key);
    }
    return QJsonDocument(document).toJson();
}

inline QJsonArray pivotArray(int count)
{
    QJsonArray pivots;
    for (int i = 0; i < count; ++i) {
        pivots.append(QJsonObject{{"x", i / 100.0}, {"y", 1.0 - i / 100.0}});
    }
    return pivots;
}

inline QByteArray effectText(int pivotCount, const QString& picturePath = "images/main/image.png",
                      const QJsonObject& flags = {})
{
    QJsonObject document = flags;
    document["face_mask_data"] = QJsonObject{{"face_mask_image_format", "png"},
                                             {"face_mask_image_path", picturePath},
                                             {"mask_data", QJsonObject{{"mask_pivots", pivotArray(pivotCount)}}}};
    return QJsonDocument(document).toJson();
}

// effectText with the first pivot replaced by raw JSON text.
inline QByteArray effectTextWithFirstPivot(const QByteArray& pivot)
{
    QByteArray text = effectText(75);
    const int start = text.indexOf('{', text.indexOf("\"mask_pivots\""));
    const int end = text.indexOf('}', start);
    return text.replace(start, end - start + 1, pivot);
}

inline QByteArray pictureBytes()
{
    return encoded(gradientPicture(48, 36), "png");
}

inline Members package(const QByteArray& properties, const QByteArray& effect,
                const QString& pictureName = "images/main/image.png",
                const QByteArray& picture = pictureBytes())
{
    return {{"effect.json", properties}, {"properties.json", effect}, {pictureName, picture}};
}

inline Members without(Members members, const QString& name)
{
    for (int i = 0; i < members.size(); ++i) {
        if (members[i].first == name) {
            members.remove(i);
            break;
        }
    }
    return members;
}

inline QByteArray pngDeclaring(quint32 width, quint32 height)
{
    auto chunk = [](const char* type, const QByteArray& data) {
        QByteArray out(4, '\0');
        qToBigEndian<quint32>(quint32(data.size()), out.data());
        const QByteArray body = QByteArray(type, 4) + data;
        QByteArray crc(4, '\0');
        qToBigEndian<quint32>(quint32(crc32(0, reinterpret_cast<const Bytef*>(body.constData()),
                                            uInt(body.size()))), crc.data());
        return out + body + crc;
    };
    QByteArray header(13, '\0');
    qToBigEndian<quint32>(width, header.data());
    qToBigEndian<quint32>(height, header.data() + 4);
    header[8] = 8;  // bit depth
    header[9] = 2;  // RGB
    const QByteArray idat("\x78\x9c\x63\x00\x00\x00\x01\x00\x01", 9);
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header) + chunk("IDAT", idat)
        + chunk("IEND", QByteArray());
}

// Rewrites one 32-bit field of the named member in its local and its central header.
inline bool patchMember(const QString& path, const QString& name, Damage damage)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite)) {
        return false;
    }
    QByteArray bytes = file.readAll();
    const QByteArray utf8Name = name.toUtf8();
    const QByteArray central("PK\x01\x02", 4);
    for (int at = bytes.indexOf(central); at >= 0; at = bytes.indexOf(central, at + 4)) {
        auto inside = [&](int offset) { return offset >= 0 && offset + 4 <= bytes.size(); };
        auto field = [&](int offset) {
            return inside(offset) ? qFromLittleEndian<quint32>(bytes.constData() + offset) : 0u;
        };
        auto put = [&](int offset, quint32 value) {
            for (int i = 0; i < 4 && inside(offset); ++i) {
                bytes[offset + i] = char((value >> (8 * i)) & 0xff);
            }
        };
        const int nameLength = qFromLittleEndian<quint16>(bytes.constData() + at + 28);
        if (bytes.mid(at + 46, nameLength) != utf8Name) {
            continue;
        }
        const int local = int(field(at + 42));
        switch (damage) {
        case Damage::HugeDeclaredSize:
            put(at + 24, 0x7fffffffu);
            put(local + 22, 0x7fffffffu);
            break;
        case Damage::DeclaredSizeBeyondDeflateRatio:
            // Below the absolute bound, but far more than Deflate can make of the bytes there.
            put(at + 24, 200u << 20);
            put(local + 22, 200u << 20);
            break;
        case Damage::WrongCrc:
            put(at + 16, field(at + 16) ^ 0x00010000u);
            put(local + 14, field(at + 16));
            break;
        case Damage::None:
            break;
        }
        file.seek(0);
        return file.write(bytes) == bytes.size();
    }
    return false;
}

} // namespace packagefixtures

Q_DECLARE_METATYPE(packagefixtures::Damage)
