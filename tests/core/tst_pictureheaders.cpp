#include "tests/support/hostilepictures.h"
#include "core/imagefiles.h"
#include "core/pictureheaders.h"
#include "tests/support/testimages.h"

#include <QtTest>

using namespace hostilepictures;

class tst_PictureHeaders : public QObject
{
    Q_OBJECT

private slots:
    void honestPicturesDecodeAtTheirHeaderSize_data();
    void honestPicturesDecodeAtTheirHeaderSize();
    void liesAndBombsAreRefusedBeforeDecoding_data();
    void liesAndBombsAreRefusedBeforeDecoding();
    void textChunkBombDecodesWithoutItsTexts();
    void decodedPicturesAreHeldToTheSameBounds();
    void jpegCutShortDecodesWithAWarning_data();
    void jpegCutShortDecodesWithAWarning();
};

namespace {

QImage sample()
{
    QImage picture(40, 30, QImage::Format_RGB32);
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x) {
            picture.setPixel(x, y, qRgb(x * 6, y * 8, 128));
        }
    }
    return picture;
}

const QString tooShortEnd = QStringLiteral("file shorter than the pixels its header declares");
const QString overBound = QStringLiteral("picture larger than 120 megapixels");

} // namespace

void tst_PictureHeaders::honestPicturesDecodeAtTheirHeaderSize_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("format");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QSize>("decodedSize");  // Qt's GIF reader cuts a frame to the screen
    const QSize size(40, 30);
    QTest::newRow("png") << testimages::encoded(sample(), "png") << QByteArray("png") << size << size;
    QTest::newRow("jpeg") << testimages::encoded(sample(), "jpg") << QByteArray("jpeg") << size << size;
    QTest::newRow("progressive-jpeg") << progressiveJpeg(sample()) << QByteArray("jpeg") << size << size;
    QTest::newRow("bmp") << testimages::encoded(sample(), "bmp") << QByteArray("bmp") << size << size;
    QTest::newRow("tiff") << testimages::encoded(sample(), "tiff") << QByteArray("tiff") << size << size;
    QTest::newRow("xpm") << testimages::encoded(sample(), "xpm") << QByteArray("xpm") << size << size;
    QTest::newRow("ppm") << testimages::encoded(sample(), "ppm") << QByteArray("ppm") << size << size;
    QTest::newRow("pgm") << testimages::encoded(sample(), "pgm") << QByteArray("pgm") << size << size;
    QTest::newRow("pbm") << testimages::encoded(sample(), "pbm") << QByteArray("pbm") << size << size;
    QTest::newRow("xbm") << testimages::encoded(sample(), "xbm") << QByteArray("xbm") << size << size;
    QTest::newRow("webp") << testimages::encoded(sample(), "webp") << QByteArray("webp") << size << size;
    QTest::newRow("gif-4x3") << gif(4, 3, 4, 3, 12) << QByteArray("gif") << QSize(4, 3) << QSize(4, 3);
    QTest::newRow("gif-frame-beyond-small-screen") << gif(2, 2, 6, 5, 30) << QByteArray("gif") << QSize(6, 5) << QSize(2, 2);
    QTest::newRow("png-at-the-bound") << blackPng(12000, 10000) << QByteArray("png") << QSize(12000, 10000) << QSize(12000, 10000);
}

void tst_PictureHeaders::honestPicturesDecodeAtTheirHeaderSize()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, format);
    QFETCH(QSize, size);
    QFETCH(QSize, decodedSize);
    QVERIFY2(!bytes.isEmpty(), "the test picture must be written");
    const core::PictureHeader header = core::readPictureHeader(bytes);
    QCOMPARE(header.refusal, QString());
    QCOMPARE(header.format, format);
    QCOMPARE(header.size, size);
    const core::ImageDecoding decoded = core::decodePictureFile(bytes);
    QCOMPARE(decoded.reason, QString());
    QCOMPARE(decoded.warning, QString());
    QCOMPARE(decoded.picture.size(), decodedSize);
}

void tst_PictureHeaders::liesAndBombsAreRefusedBeforeDecoding_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("reason");
    const QByteArray bmp = testimages::encoded(sample(), "bmp");
    const QByteArray tiff = testimages::encoded(sample(), "tiff");
    const QByteArray webp = testimages::encoded(sample(), "webp");
    QTest::newRow("gif-1x1-screen-12000x12000-frame") << gifSizeLie() << overBound;
    QTest::newRow("gif-frame-without-its-pixels") << gif(4, 3, 5000, 5000, 12) << "picture: GIF " + tooShortEnd;
    QTest::newRow("ico-16x16-holding-23000x23000-png") << icoSizeLie(23000, 23000)
        << "picture: ICO files are not read, as the size of the pictures they hold cannot be established before decoding";
    QTest::newRow("ico-written-by-qt") << testimages::encoded(sample(), "ico")
        << "picture: ICO files are not read, as the size of the pictures they hold cannot be established before decoding";
    QTest::newRow("bmp-70-byte-header-without-pixels") << bmpWithoutPixels(64, 48) << "picture: BMP " + tooShortEnd;
    QTest::newRow("bmp-cut-short") << bmp.left(bmp.size() - 40) << "picture: BMP " + tooShortEnd;
    QTest::newRow("bmp-declaring-60000x60000") << bmpWithoutPixels(60000, 60000) << overBound;
    QTest::newRow("tiff-cut-short") << tiff.left(tiff.size() / 2) << "picture: TIFF header damaged";
    // 250 x 65536 values out of 131 kB: about 0.3 s to read; the limits allow thousands of times that.
    QTest::newRow("tiff-entries-sharing-one-table") << tiffSharingOneTable(250, 65536)
                                                    << "picture: TIFF header damaged";
    QTest::newRow("webp-cut-short") << webp.left(webp.size() / 2) << "picture: WebP " + tooShortEnd;
    QTest::newRow("jpeg-with-2000-scans") << jpegScanBomb(2000) << "picture: JPEG of more than 100 scans";
    QTest::newRow("jpeg-declaring-60000x60000") << jpegDeclaring(60000, 60000) << overBound;
    QTest::newRow("jpeg-declaring-10000x10000-in-1-kb") << jpegDeclaring(10000, 10000) << "picture: JPEG " + tooShortEnd;
    QTest::newRow("png-declaring-23000x23000") << blackPng(23000, 23000, false) << overBound;
    QTest::newRow("png-signature-only") << testimages::encoded(sample(), "png").left(8) << "picture: size unreadable";
    QTest::newRow("ppm-without-pixels") << QByteArray("P6\n4000 3000\n255\n") << "picture: PNM " + tooShortEnd;
    QTest::newRow("xpm-without-rows") << QByteArray("/* XPM */\nstatic char *x[] = {\n\"5000 5000 1 1\",\n\"a c #000000\",\n};\n")
                                      << "picture: XPM " + tooShortEnd;
    QTest::newRow("text") << QByteArray("just some words\n") << "picture: not in a format that can be read";
    QTest::newRow("empty") << QByteArray() << "picture: not in a format that can be read";
}

void tst_PictureHeaders::liesAndBombsAreRefusedBeforeDecoding()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, reason);
    QVERIFY2(bytes.size() < 4'000'000, "the hostile file itself is small");
    QCOMPARE(core::readPictureHeader(bytes).refusal, reason);
    const core::ImageDecoding decoded = core::decodePictureFile(bytes);
    QVERIFY(decoded.picture.isNull());
    QCOMPARE(decoded.reason, reason);
}

void tst_PictureHeaders::textChunkBombDecodesWithoutItsTexts()
{
    // 100 text chunks of 7.5 MB each when inflated: 750 MB that are never inflated.
    const QByteArray bomb = pngTextBomb(100, 7'500'000);
    QVERIFY2(bomb.size() < 2'000'000, qPrintable(QString::number(bomb.size())));
    const core::ImageDecoding decoded = core::decodePictureFile(bomb);
    QCOMPARE(decoded.reason, QString());
    QCOMPARE(decoded.picture.size(), QSize(40, 30));
    QCOMPARE(decoded.picture.pixel(3, 3), QColor(Qt::darkRed).rgb());
}

void tst_PictureHeaders::decodedPicturesAreHeldToTheSameBounds()
{
    QCOMPARE(core::decodedPictureProblem(sample()), QString());
    // 12001 x 10000 one-bit pixels are 15 MB, but one row more than 120 megapixels.
    QCOMPARE(core::decodedPictureProblem(QImage(12001, 10000, QImage::Format_Mono)), overBound);
    QCOMPARE(core::decodedPictureProblem(QImage()), QStringLiteral("picture: empty"));
}

void tst_PictureHeaders::jpegCutShortDecodesWithAWarning_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("cut");
    QImage large(200, 150, QImage::Format_RGB32);
    quint32 seed = 7;
    for (int y = 0; y < large.height(); ++y) {
        for (int x = 0; x < large.width(); ++x) {
            seed = seed * 1664525u + 1013904223u;
            large.setPixel(x, y, qRgb(int(seed >> 24), x, y));
        }
    }
    const QByteArray whole = testimages::encoded(large, "jpg");
    const QByteArray progressive = progressiveJpeg(large);
    QTest::newRow("whole") << whole << false;
    QTest::newRow("whole-with-bytes-after-its-end") << whole + QByteArray(300, 'x') << false;
    QTest::newRow("cut-at-three-quarters") << whole.left(whole.size() * 3 / 4) << true;
    QTest::newRow("only-its-end-marker-missing") << whole.left(whole.size() - 2) << true;
    QTest::newRow("progressive-cut-in-half") << progressive.left(progressive.size() / 2) << true;
    // The end marker of a thumbnail held in a metadata segment is not the picture's.
    QByteArray thumbnail = QByteArray("Exif") + '\0' + '\0' + QByteArray("\xff\xd8\x00\x01\xff\xd9", 6);
    const int length = thumbnail.size() + 2;
    const QByteArray app1 = QByteArray("\xff\xe1", 2) + char(length >> 8) + char(length & 0xff) + thumbnail;
    const QByteArray withThumbnail = whole.left(2) + app1 + whole.mid(2);
    QTest::newRow("with-a-thumbnail-whole") << withThumbnail << false;
    QTest::newRow("with-a-thumbnail-cut") << withThumbnail.left(withThumbnail.size() * 3 / 4) << true;
}

// A JPEG cut short (a download that stopped) decodes, its missing part grey, as other programs
// show it; the decoding says what is amiss, and only then.
void tst_PictureHeaders::jpegCutShortDecodesWithAWarning()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, cut);
    const core::ImageDecoding decoded = core::decodePictureFile(bytes);
    QCOMPARE(decoded.reason, QString());
    QCOMPARE(decoded.picture.size(), QSize(200, 150));
    QCOMPARE(decoded.warning,
             cut ? QStringLiteral("the file ends before its picture does (cut short?): the missing part is grey") : QString());
}

QTEST_GUILESS_MAIN(tst_PictureHeaders)
#include "tst_pictureheaders.moc"
