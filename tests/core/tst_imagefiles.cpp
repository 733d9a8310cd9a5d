#include "core/imagefiles.h"
#include "tests/support/testimages.h"

#include <QBuffer>
#include <QColorSpace>
#include <QColorTransform>
#include <QImageWriter>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <algorithm>
#include <cstdlib>

#include <zlib.h>

class tst_ImageFiles : public QObject
{
    Q_OBJECT

private slots:
    void readsPictureFile_data();
    void readsPictureFile();
    void refusesWhatIsNoPicture_data();
    void refusesWhatIsNoPicture();
    void decodesBytesByContent_data();
    void decodesBytesByContent();
    void refusesDeclaredSizeAboveBound_data();
    void refusesDeclaredSizeAboveBound();
    void acceptsPictureAtTheBound();
    void saysWhyAWideStripCannotBeDecoded_data();
    void saysWhyAWideStripCannotBeDecoded();
    void turnsPictureUpright();
    void convertsProfiledColoursToSrgb_data();
    void convertsProfiledColoursToSrgb();
    void packagePictureSaysWhyItWasRefused_data();
    void packagePictureSaysWhyItWasRefused();
    void presetCancelStopsEveryDecoder_data();
    void presetCancelStopsEveryDecoder();

private:
    QTemporaryDir m_folder;
};

namespace {

QImage samplePicture()
{
    QImage picture(40, 30, QImage::Format_RGB32);
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x) {
            picture.setPixel(x, y, qRgb(x * 6, y * 8, 128));
        }
    }
    return picture;
}

using testimages::encoded;

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

// A one-bit grey PNG whose rows are all zero; its file stays small whatever size it declares.
QByteArray blackPng(quint32 width, quint32 height, bool withPixels)
{
    QByteArray header(13, '\0');
    qToBigEndian<quint32>(width, header.data());
    qToBigEndian<quint32>(height, header.data() + 4);
    header[8] = 1;  // bit depth
    header[9] = 0;  // grey
    QByteArray raw = withPixels ? QByteArray(int((width + 7) / 8 + 1) * int(height), '\0')
                                : QByteArray(16, '\0');
    uLongf packedSize = compressBound(uLong(raw.size()));
    QByteArray packed(int(packedSize), '\0');
    compress2(reinterpret_cast<Bytef*>(packed.data()), &packedSize,
              reinterpret_cast<const Bytef*>(raw.constData()), uLong(raw.size()), 9);
    packed.resize(int(packedSize));
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", header) + pngChunk("IDAT", packed)
        + pngChunk("IEND", QByteArray());
}

// An RGB PNG (with alpha when colourType is 6) of bitDepth 8 or 16, all black, with every pixel
// it declares; the pixels are compressed a piece at a time, never held whole.
QByteArray blackRgbPng(quint32 width, quint32 height, quint8 bitDepth = 8, quint8 colourType = 2)
{
    QByteArray header(13, '\0');
    qToBigEndian<quint32>(width, header.data());
    qToBigEndian<quint32>(height, header.data() + 4);
    header[8] = char(bitDepth);
    header[9] = char(colourType);
    const qint64 channels = colourType == 6 ? 4 : 3;
    qint64 left = (qint64(width) * channels * bitDepth / 8 + 1) * height;
    const QByteArray zeros(1 << 20, '\0');
    QByteArray packed;
    z_stream stream{};
    if (deflateInit(&stream, 1) != Z_OK) {
        return QByteArray();
    }
    QByteArray out(1 << 16, '\0');
    int status = Z_OK;
    while (status != Z_STREAM_END) {
        if (stream.avail_in == 0 && left > 0) {
            stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.constData()));
            stream.avail_in = uInt(std::min<qint64>(left, zeros.size()));
            left -= stream.avail_in;
        }
        stream.next_out = reinterpret_cast<Bytef*>(out.data());
        stream.avail_out = uInt(out.size());
        status = deflate(&stream, left > 0 || stream.avail_in > 0 ? Z_NO_FLUSH : Z_FINISH);
        if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
            deflateEnd(&stream);
            return QByteArray();
        }
        packed.append(out.constData(), out.size() - int(stream.avail_out));
    }
    deflateEnd(&stream);
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", header) + pngChunk("IDAT", packed)
        + pngChunk("IEND", QByteArray());
}

// A real JPEG whose frame header is changed to declare another size.
QByteArray jpegDeclaring(quint16 width, quint16 height)
{
    QByteArray jpeg = encoded(samplePicture(), "jpg");
    const int frame = jpeg.indexOf("\xff\xc0");
    if (frame < 0) {
        return QByteArray();
    }
    qToBigEndian<quint16>(height, jpeg.data() + frame + 5);
    qToBigEndian<quint16>(width, jpeg.data() + frame + 7);
    return jpeg;
}

QByteArray progressiveJpeg(const QImage& picture)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setProgressiveScanWrite(true);
    writer.write(picture);
    return bytes;
}

// A progressive JPEG whose last scan, header and data, is repeated copies more times: every
// copy is one more pass over the whole picture for a decoder.
QByteArray jpegWithRepeatedScans(int copies)
{
    const QByteArray jpeg = progressiveJpeg(samplePicture());
    const int lastScan = jpeg.lastIndexOf("\xff\xda");
    const int end = jpeg.lastIndexOf("\xff\xd9");
    if (lastScan < 0 || end < lastScan) {
        return QByteArray();
    }
    return jpeg.left(end) + jpeg.mid(lastScan, end - lastScan).repeated(copies) + jpeg.mid(end);
}

} // namespace

void tst_ImageFiles::readsPictureFile_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("fileName");
    QTest::newRow("png") << encoded(samplePicture(), "png") << "picture.png";
    QTest::newRow("jpeg") << encoded(samplePicture(), "jpg") << "picture.jpg";
    QTest::newRow("bmp") << encoded(samplePicture(), "bmp") << "picture.bmp";
    QTest::newRow("xpm") << encoded(samplePicture(), "xpm") << "picture.xpm";
    QTest::newRow("tiff") << encoded(samplePicture(), "tiff") << "picture.tif";
    QTest::newRow("jpeg-named-png-found-by-content") << encoded(samplePicture(), "jpg") << "photo.png";
    QTest::newRow("png-without-suffix") << encoded(samplePicture(), "png") << "picture";
}

void tst_ImageFiles::readsPictureFile()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, fileName);
    const QString path = m_folder.filePath(fileName);
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    file.close();

    const QImage picture = core::readImageFile(path);
    QVERIFY2(!picture.isNull(), "a readable picture must be read");
    QCOMPARE(picture.size(), QSize(40, 30));
}

void tst_ImageFiles::refusesWhatIsNoPicture_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("fileName");
    QTest::newRow("text-named-png") << QByteArray("just some words\n") << "notes.png";
    QTest::newRow("empty-file") << QByteArray() << "empty.jpg";
    QTest::newRow("truncated-png-header") << encoded(samplePicture(), "png").left(20) << "cut.png";
}

void tst_ImageFiles::refusesWhatIsNoPicture()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, fileName);
    const QString path = m_folder.filePath(fileName);
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    file.close();

    QVERIFY2(core::readImageFile(path).isNull(), "a file that is no picture gives a null image");
    QVERIFY2(core::decodeImage(bytes).isNull(), "bytes that are no picture give a null image");
    QVERIFY2(core::readImageFile(m_folder.filePath("missing.png")).isNull(),
             "a missing file gives a null image");
}

void tst_ImageFiles::decodesBytesByContent_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("png") << encoded(samplePicture(), "png");
    QTest::newRow("jpeg") << encoded(samplePicture(), "jpg");
    QTest::newRow("progressive-jpeg") << progressiveJpeg(samplePicture());
    QTest::newRow("progressive-jpeg-with-50-more-scans") << jpegWithRepeatedScans(50);
}

void tst_ImageFiles::decodesBytesByContent()
{
    QFETCH(QByteArray, bytes);
    const QImage picture = core::decodeImage(bytes);
    QCOMPARE(picture.size(), QSize(40, 30));
}

void tst_ImageFiles::refusesDeclaredSizeAboveBound_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("png-declaring-10-gigapixels") << blackPng(100000, 100000, false);
    QTest::newRow("png-one-row-above-120-megapixels") << blackPng(12000, 10001, false);
    QTest::newRow("jpeg-declaring-60000x60000") << jpegDeclaring(60000, 60000);
}

void tst_ImageFiles::refusesDeclaredSizeAboveBound()
{
    QFETCH(QByteArray, bytes);
    QVERIFY2(bytes.size() < 100000, "the test file itself must be small");
    QVERIFY2(core::decodeImage(bytes).isNull(), "a picture declared above the bound must be refused");
    const QString path = m_folder.filePath(QStringLiteral("huge.%1").arg(QTest::currentDataTag()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    file.close();
    QVERIFY2(core::readImageFile(path).isNull(), "a picture file declared above the bound must be refused");
}

void tst_ImageFiles::acceptsPictureAtTheBound()
{
    // 12000 x 10000 is exactly 120 megapixels; in one bit per pixel it decodes into 15 MB.
    const QImage picture = core::decodeImage(blackPng(12000, 10000, true));
    QVERIFY2(!picture.isNull(), "a picture of exactly the bound must still be read");
    QCOMPARE(picture.size(), QSize(12000, 10000));
}

void tst_ImageFiles::saysWhyAWideStripCannotBeDecoded_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("reason");
    QTest::newRow("8-bit RGB") << blackRgbPng(70'000'000, 1)
                               << "picture: rows wider than 67108863 pixels cannot be decoded";
    // Decoded with 8 bytes a pixel, so the widest row is half as wide.
    QTest::newRow("16-bit RGBA") << blackRgbPng(40'000'000, 1, 16, 6)
                                 << "picture: rows wider than 33554431 pixels cannot be decoded";
}

// Within the pixel bound, but a colour row that long is more than a decoded picture's row can
// hold: the refusal says so rather than calling the file damaged or short of memory.
void tst_ImageFiles::saysWhyAWideStripCannotBeDecoded()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, reason);
    QVERIFY(!bytes.isEmpty());
    const core::ImageDecoding decoded = core::decodePackagePicture(bytes);
    QVERIFY(decoded.picture.isNull());
    QCOMPARE(decoded.reason, reason);
}

void tst_ImageFiles::turnsPictureUpright()
{
    // Stored 40 x 30 with orientation 6, as a phone writes a portrait: upright it is 30 x 40.
    const QByteArray bytes = testimages::jpegWithExifOrientation(samplePicture(), 6);
    const QString path = m_folder.filePath("rotated.jpg");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    file.close();
    QCOMPARE(core::readImageFile(path).size(), QSize(30, 40));

    // A package's points refer to the stored pixels, so decoding from memory keeps them as stored.
    QCOMPARE(core::decodeImage(bytes).size(), QSize(40, 30));
}

// A one-colour JPEG or PNG holding the sRGB colour shown in the given colour space, with that
// space's ICC profile as cameras and phones write it (a JPEG's APP2 segment, a PNG's iCCP chunk
// after its header); no profile when space is invalid.
QByteArray profiledPicture(QRgb shown, const QColorSpace& space, const char* format)
{
    QImage picture(16, 16, QImage::Format_RGB32);
    if (!space.isValid()) {
        picture.fill(shown);
        return encoded(picture, format);
    }
    picture.fill(QColorSpace(QColorSpace::SRgb).transformationToColorSpace(space).map(shown));
    const QByteArray profile = space.iccProfile();
    if (qstrcmp(format, "png") == 0) {
        uLongf packedSize = compressBound(uLong(profile.size()));
        QByteArray packed(int(packedSize), '\0');
        compress2(reinterpret_cast<Bytef*>(packed.data()), &packedSize,
                  reinterpret_cast<const Bytef*>(profile.constData()), uLong(profile.size()), 9);
        packed.resize(int(packedSize));
        const int afterHeader = 8 + 12 + 13;
        return encoded(picture, "png").insert(afterHeader, pngChunk("iCCP", QByteArray("ICC\0\0", 5) + packed));
    }
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(100);
    writer.write(picture);
    QByteArray segment("\xff\xe2\0\0ICC_PROFILE\0\x01\x01", 18);
    segment += profile;
    qToBigEndian<quint16>(quint16(segment.size() - 2), segment.data() + 2);
    return jpeg.insert(2, segment);
}

void tst_ImageFiles::convertsProfiledColoursToSrgb_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QRgb>("shown");
    const QRgb red = qRgb(220, 40, 40);
    const QRgb skin = qRgb(222, 95, 54);
    for (const char* format : {"jpg", "png"}) {
        const auto row = [format](const char* name) -> QTestData& { return QTest::addRow("%s-%s", format, name); };
        row("display-p3-red") << profiledPicture(red, QColorSpace::DisplayP3, format) << red;
        row("display-p3-skin") << profiledPicture(skin, QColorSpace::DisplayP3, format) << skin;
        row("adobe-rgb-red") << profiledPicture(red, QColorSpace::AdobeRgb, format) << red;
        row("prophoto-rgb-skin") << profiledPicture(skin, QColorSpace::ProPhotoRgb, format) << skin;
        row("srgb-profile") << profiledPicture(skin, QColorSpace::SRgb, format) << skin;
        row("no-profile") << profiledPicture(skin, QColorSpace(), format) << skin;
    }
}

// Packages hold plain sRGB: a picture in a wider space keeps the colours a colour-managed viewer
// shows of it, not its raw numbers read as sRGB.
void tst_ImageFiles::convertsProfiledColoursToSrgb()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QRgb, shown);
    const QImage picture = core::decodePictureFile(bytes).picture;
    QVERIFY(!picture.isNull());
    const QRgb centre = picture.pixel(8, 8);
    const int worst = std::max({std::abs(qRed(centre) - qRed(shown)), std::abs(qGreen(centre) - qGreen(shown)),
                                std::abs(qBlue(centre) - qBlue(shown))});
    QVERIFY2(worst <= 3, qPrintable(QStringLiteral("read %1,%2,%3")
                                        .arg(qRed(centre)).arg(qGreen(centre)).arg(qBlue(centre))));
}

void tst_ImageFiles::packagePictureSaysWhyItWasRefused_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("reason");
    const QString notPngOrJpeg = QStringLiteral("picture: not PNG or JPEG");
    QTest::newRow("bmp") << encoded(samplePicture(), "bmp") << notPngOrJpeg;
    QTest::newRow("ico") << encoded(samplePicture(), "ico") << notPngOrJpeg;
    QTest::newRow("xpm") << encoded(samplePicture(), "xpm") << notPngOrJpeg;
    QTest::newRow("text") << QByteArray("just some words") << notPngOrJpeg;
    QTest::newRow("empty") << QByteArray() << notPngOrJpeg;
    QTest::newRow("png-signature-only") << encoded(samplePicture(), "png").left(8)
                                        << "picture: size unreadable";
    QTest::newRow("png-declaring-10-gigapixels") << blackPng(100000, 100000, false)
                                                 << "picture larger than 120 megapixels";
    QTest::newRow("jpeg-declaring-60000x60000") << jpegDeclaring(60000, 60000)
                                                << "picture larger than 120 megapixels";
    QTest::newRow("jpeg-with-5000-more-scans") << jpegWithRepeatedScans(5000)
                                               << "picture: JPEG of more than 100 scans";
    QTest::newRow("png-without-pixels") << blackPng(40, 30, false) << "picture: cannot be decoded";
}

void tst_ImageFiles::packagePictureSaysWhyItWasRefused()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, reason);
    const core::ImageDecoding decoded = core::decodePackagePicture(bytes);
    QVERIFY2(decoded.picture.isNull(), "the picture must be refused");
    QCOMPARE(decoded.reason, reason);
    QVERIFY(core::decodeImage(bytes).isNull());
}

void tst_ImageFiles::presetCancelStopsEveryDecoder_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("png") << encoded(samplePicture(), "png");
    QTest::newRow("jpeg") << encoded(samplePicture(), "jpg");
    QTest::newRow("progressive-jpeg") << progressiveJpeg(samplePicture());
}

void tst_ImageFiles::presetCancelStopsEveryDecoder()
{
    QFETCH(QByteArray, bytes);
    std::atomic_bool cancel{false};
    const core::ImageDecoding whole = core::decodePackagePicture(bytes, &cancel);
    QVERIFY2(!whole.picture.isNull(), qPrintable(whole.reason));
    QCOMPARE(whole.reason, QString());

    cancel = true;
    const core::ImageDecoding cancelled = core::decodePackagePicture(bytes, &cancel);
    QVERIFY(cancelled.picture.isNull());
    QCOMPARE(cancelled.reason, QStringLiteral("picture: cancelled"));

    const QString path = m_folder.filePath(QStringLiteral("cancelled-%1").arg(QTest::currentDataTag()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    file.close();
    QVERIFY2(core::readImageFile(path, &cancel).isNull(), "a cancelled file read gives nothing");
    cancel = false;
    QCOMPARE(core::readImageFile(path, &cancel).size(), QSize(40, 30));
}

QTEST_GUILESS_MAIN(tst_ImageFiles)
#include "tst_imagefiles.moc"
