// Small packages built to cost gigabytes or minutes are read in a child process whose address
// space is limited: each must be refused with its reason, never crash or run out of memory,
// while a large honest package still loads under the same limit.

#include "tests/support/testimages.h"
#include "zip/ziparchive.h"

#include <QBuffer>
#include <QImageWriter>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <zlib.h>

namespace {

// Far below what any of the hostile packages would take if it were decoded (2 to 9 GB).
constexpr qint64 addressSpaceLimit = qint64(1) << 30;

const char16_t* utf16(const QString& text)
{
    return reinterpret_cast<const char16_t*>(text.utf16());
}

QByteArray propertiesText()
{
    return QJsonDocument(QJsonObject{{"version", "2"},
                                     {"name", "Hostile"},
                                     {"author", "Someone"},
                                     {"time", "01.02.2021"},
                                     {"category", "Face Masks"},
                                     {"subcategory", "Hats"},
                                     {"type", "face_modifications"}})
        .toJson();
}

// The effect document with the pivot list given as raw JSON text.
QByteArray effectText(const QByteArray& pivots)
{
    return "{\"face_mask_data\":{\"face_mask_image_format\":\"png\","
           "\"face_mask_image_path\":\"images/main/image.png\",\"mask_data\":{\"mask_pivots\":["
        + pivots + "]}}}";
}

QByteArray repeatedPivots(const QByteArray& pivot, int count)
{
    QByteArray pivots = (pivot + ',').repeated(count);
    pivots.chop(1);
    return pivots;
}

QByteArray normalPivots()
{
    QByteArray pivots;
    for (int i = 0; i < 75; ++i) {
        pivots += QByteArray(i ? "," : "") + "{\"x\":" + QByteArray::number(i / 100.0)
            + ",\"y\":0.5}";
    }
    return pivots;
}

QByteArray pngChunk(const char* type, const QByteArray& data)
{
    QByteArray chunk(4, '\0');
    qToBigEndian<quint32>(quint32(data.size()), chunk.data());
    const QByteArray body = QByteArray(type, 4) + data;
    QByteArray crc(4, '\0');
    qToBigEndian<quint32>(quint32(crc32(0, reinterpret_cast<const Bytef*>(body.constData()),
                                        uInt(body.size()))),
                          crc.data());
    return chunk + body + crc;
}

// A valid one-bit grey PNG, all black; its rows are deflated one by one, so that the test
// never holds the raw picture.
QByteArray blackPng(quint32 width, quint32 height)
{
    QByteArray header(13, '\0');
    qToBigEndian<quint32>(width, header.data());
    qToBigEndian<quint32>(height, header.data() + 4);
    header[8] = 1;
    const QByteArray row(int((width + 7) / 8 + 1), '\0');
    z_stream stream{};
    deflateInit(&stream, 9);
    QByteArray packed;
    QByteArray out(1 << 16, '\0');
    for (quint32 y = 0; y <= height; ++y) {
        const bool last = y == height;
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(row.constData()));
        stream.avail_in = last ? 0 : uInt(row.size());
        do {
            stream.next_out = reinterpret_cast<Bytef*>(out.data());
            stream.avail_out = uInt(out.size());
            deflate(&stream, last ? Z_FINISH : Z_NO_FLUSH);
            packed.append(out.constData(), out.size() - int(stream.avail_out));
        } while (stream.avail_out == 0);
    }
    deflateEnd(&stream);
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", header)
        + pngChunk("IDAT", packed) + pngChunk("IEND", QByteArray());
}

// An icon file whose one directory entry says 16 x 16 but holds the given PNG.
QByteArray iconAround(const QByteArray& png)
{
    QByteArray icon("\0\0\1\0\1\0", 6);
    QByteArray entry(16, '\0');
    entry[0] = 16;
    entry[1] = 16;
    qToLittleEndian<quint16>(1, entry.data() + 4);
    qToLittleEndian<quint16>(32, entry.data() + 6);
    qToLittleEndian<quint32>(quint32(png.size()), entry.data() + 8);
    qToLittleEndian<quint32>(22, entry.data() + 12);
    return icon + entry + png;
}

// A progressive JPEG declaring width x height whose last scan is repeated copies more times:
// every copy would be one more pass over the whole declared picture.
QByteArray jpegScanBomb(quint16 width, quint16 height, int copies)
{
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setProgressiveScanWrite(true);
    writer.write(testimages::filled(16, 16, Qt::gray));
    const int frame = jpeg.indexOf("\xff\xc2");
    const int lastScan = jpeg.lastIndexOf("\xff\xda");
    const int end = jpeg.lastIndexOf("\xff\xd9");
    if (frame < 0 || lastScan < frame || end < lastScan) {
        return QByteArray();
    }
    qToBigEndian<quint16>(height, jpeg.data() + frame + 5);
    qToBigEndian<quint16>(width, jpeg.data() + frame + 7);
    return jpeg.left(end) + jpeg.mid(lastScan, end - lastScan).repeated(copies) + jpeg.mid(end);
}

QByteArray gradientPng(int width, int height)
{
    QImage picture(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(picture.scanLine(y));
        for (int x = 0; x < width; ++x) {
            line[x] = qRgb(x % 256, y % 256, (x / 16 + y / 16) % 256);
        }
    }
    return testimages::encoded(picture, "png");
}

bool writePackage(const QString& path, const QByteArray& effect, const QByteArray& picture)
{
    HZIP archive = archiveCreateFile(utf16(path), nullptr);
    if (!archive) {
        return false;
    }
    const QByteArray properties = propertiesText();
    const QPair<const char16_t*, const QByteArray*> members[] = {
        {u"effect.json", &properties}, {u"properties.json", &effect},
        {u"images/main/image.png", &picture}};
    bool written = true;
    for (const auto& member : members) {
        written = archiveAddBuffer(archive, member.first, member.second->constData(),
                                   quint32(member.second->size())) == ArchiveResult::Ok
            && written;
    }
    return archiveClose(archive) == ArchiveResult::Ok && written;
}

} // namespace

class tst_HostilePackages : public QObject
{
    Q_OBJECT

private slots:
    void boundedUnderMemoryLimit_data();
    void boundedUnderMemoryLimit();

private:
    QTemporaryDir m_folder;
};

void tst_HostilePackages::boundedUnderMemoryLimit_data()
{
    QTest::addColumn<QByteArray>("effect");
    QTest::addColumn<QByteArray>("picture");
    QTest::addColumn<QString>("reason");  // "ok": taken

    const QByteArray normal = effectText(normalPivots());
    const QByteArray smallPicture = gradientPng(64, 48);
    QTest::newRow("honest-4000x3000-picture-loads") << normal << gradientPng(4000, 3000) << "ok";
    QTest::newRow("icon-holding-a-23000x23000-png")
        << normal << iconAround(blackPng(23000, 23000)) << "picture: not PNG or JPEG";
    QTest::newRow("progressive-10000x10000-jpeg-with-5000-scans")
        << normal << jpegScanBomb(10000, 10000, 5000) << "picture: JPEG of more than 100 scans";
    QTest::newRow("million-pivots-of-x-1")
        << effectText(repeatedPivots("{\"x\":1}", 1'000'000)) << smallPicture
        << "properties.json: more than 401024 values";
    QTest::newRow("2795043-empty-pivots")
        << effectText(repeatedPivots("{}", 2'795'043)) << smallPicture
        << "properties.json: more than 401024 values";
    // Arrays nested 60 deep hold 60 values for every comma.
    QTest::newRow("arrays-nested-60-deep")
        << effectText(repeatedPivots(QByteArray(60, '[') + QByteArray(60, ']'), 69'000)) << smallPicture
        << "properties.json: more than 401024 values";
    // Below the value bound, the point count is what refuses.
    QTest::newRow("130000-pivots-of-x-1")
        << effectText(repeatedPivots("{\"x\":1}", 130'000)) << smallPicture
        << "properties.json: mask_pivots has 130000 elements, at most 100000 allowed";
    QTest::newRow("100000-pivots-still-load")
        << effectText(repeatedPivots("{\"x\":0.5,\"y\":0.5}", 100'000)) << smallPicture << "ok";
}

void tst_HostilePackages::boundedUnderMemoryLimit()
{
#if defined(__SANITIZE_ADDRESS__)
    QSKIP("an address-space limit cannot hold AddressSanitizer's shadow memory");
#endif
    QFETCH(QByteArray, effect);
    QFETCH(QByteArray, picture);
    QFETCH(QString, reason);
    QVERIFY2(!picture.isEmpty(), "the picture must have been generated");
    const QString path = m_folder.filePath(QStringLiteral("%1.pmk").arg(QTest::currentDataTag()));
    QVERIFY(writePackage(path, effect, picture));
    qInfo("%s: package of %lld bytes", QTest::currentDataTag(), QFileInfo(path).size());

    QProcess probe;
    probe.start(QStringLiteral("prlimit"),
                {QStringLiteral("--as=%1").arg(addressSpaceLimit), QStringLiteral("--"),
                 QStringLiteral(PACKAGEPROBE_PATH), path});
    QVERIFY2(probe.waitForFinished(240000), "the probe must finish");
    const QByteArray measured = probe.readAllStandardError().trimmed();
    qInfo("%s: %s", QTest::currentDataTag(), measured.constData());
    QCOMPARE(probe.exitStatus(), QProcess::NormalExit);
    QCOMPARE(QString::fromUtf8(probe.readAllStandardOutput().trimmed()), reason);
    QCOMPARE(probe.exitCode(), reason == QLatin1String("ok") ? 0 : 1);
}

QTEST_GUILESS_MAIN(tst_HostilePackages)
#include "tst_hostilepackages.moc"
