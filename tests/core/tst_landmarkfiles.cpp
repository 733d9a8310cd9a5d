// core::landmarkfiles: the 68 landmarks as iBUG .pts files and dlib's imglab XML, read back by
// our readers and by dlib's own dataset loader.
#include "core/landmarkfiles.h"

#include "core/imagefiles.h"
#include "tests/support/builtlocale.h"
#include "tests/support/testimages.h"

#include <dlib/data_io.h>
#include <dlib/image_processing/full_object_detection.h>

#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

#include <cmath>
#include <cstdio>

using core::FacialPointVector;
namespace files = core::landmarkfiles;

namespace {

// Whole pixels as detection gives them, plus seven derived points that are not written.
FacialPointVector pixelPoints(QSize size)
{
    FacialPointVector points;
    for (int i = 0; i < 75; ++i) {
        points.emplace_back(double((37 * i) % size.width()) / size.width(),
                            double((53 * i + 11) % size.height()) / size.height());
    }
    return points;
}

// Points between pixels, as a drag leaves them.
FacialPointVector editedPoints()
{
    FacialPointVector points;
    for (int i = 0; i < 68; ++i) {
        points.emplace_back(0.1 + 0.8 * std::fmod(i * 0.6180339887498949, 1.0),
                            0.05 + 0.9 * std::fmod(i * 0.4142135623730950, 1.0));
    }
    return points;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

class tst_LandmarkFiles : public QObject
{
    Q_OBJECT
private slots:
    void ptsRoundTrips_data();
    void ptsRoundTrips();
    void ptsIsOneBased();
    void ptsAsOtherToolsWriteThem_data();
    void ptsAsOtherToolsWriteThem();
    void ptsInTheUsersLocaleRead_data();
    void ptsInTheUsersLocaleRead();
    void ptsRefusals_data();
    void ptsRefusals();
    void dlibXmlRoundTrips();
    void dlibXmlAsOtherToolsWriteThem_data();
    void dlibXmlAsOtherToolsWriteThem();
    void dlibXmlRefusals_data();
    void dlibXmlRefusals();
    void dlibReadsOurXml();
    void fileNamesXmlCannotHoldStayWellFormed_data();
    void fileNamesXmlCannotHoldStayWellFormed();
    void pointsTooFarOutAreNotWritten_data();
    void pointsTooFarOutAreNotWritten();
};

void tst_LandmarkFiles::ptsRoundTrips_data()
{
    QTest::addColumn<FacialPointVector>("points");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("exact");  // whole pixels come back bit for bit
    QTest::addColumn<QString>("locale"); // the program's locale while writing and reading; empty: C

    QTest::newRow("whole-pixels") << pixelPoints(QSize(512, 512)) << QSize(512, 512) << true << QString();
    QTest::newRow("whole-pixels-odd-width") << pixelPoints(QSize(451, 300)) << QSize(451, 300) << true
                                            << QString();
    QTest::newRow("between-pixels") << editedPoints() << QSize(1234, 987) << false << QString();
    QTest::newRow("between-pixels-decimal-comma") << editedPoints() << QSize(1234, 987) << false
                                                  << QStringLiteral("de_DE");
    QTest::newRow("between-pixels-two-byte-decimal-point") << editedPoints() << QSize(1234, 987) << false
                                                           << QStringLiteral("ps_AF");
}

void tst_LandmarkFiles::ptsRoundTrips()
{
    QFETCH(FacialPointVector, points);
    QFETCH(QSize, size);
    QFETCH(bool, exact);
    QFETCH(QString, locale);
    LocaleInThisProcess inLocale(locale);
    if (!inLocale.skipReason().isEmpty()) {
        QSKIP(qPrintable(inLocale.skipReason()));
    }
    QVERIFY(inLocale.isActive());
    const QByteArray text = files::writePts(points, size);
    QVERIFY(text.startsWith("version: 1\nn_points: 68\n{\n"));
    QVERIFY(text.endsWith("\n}\n"));
    QCOMPARE(text.count('\n'), 68 + 4);
    QString reason;
    const std::optional<FacialPointVector> read = files::readPts(text, size, &reason);
    QVERIFY2(read, qPrintable(reason));
    QCOMPARE(int(read->size()), 68);
    for (int i = 0; i < 68; ++i) {
        const QPointF expected = points[i];
        if (exact) {
            QVERIFY2(read->at(i).x() == expected.x() && read->at(i).y() == expected.y(), qPrintable(QString::number(i)));
        } else {
            // To the 17 digits printed: far below a thousandth of a pixel.
            QVERIFY(std::abs(read->at(i).x() - expected.x()) * size.width() < 1e-9);
            QVERIFY(std::abs(read->at(i).y() - expected.y()) * size.height() < 1e-9);
        }
    }
    // Printed again, the same text.
    QCOMPARE(files::writePts(*read, size), text);
}

void tst_LandmarkFiles::ptsIsOneBased()
{
    FacialPointVector points(68, QPointF(0, 0));
    points[1] = QPointF(0.5, 0.25);
    const QByteArray text = files::writePts(points, QSize(200, 100));
    const QList<QByteArray> lines = text.split('\n');
    QCOMPARE(lines.at(3), QByteArray("1 1"));      // the top-left pixel's centre
    QCOMPARE(lines.at(4), QByteArray("101 26"));   // dlib's pixel (100, 25)
    QVERIFY(files::writePts(FacialPointVector(67), QSize(10, 10)).isEmpty());
}

void tst_LandmarkFiles::ptsAsOtherToolsWriteThem_data()
{
    QTest::addColumn<QByteArray>("text");  // our file as another tool or an editor leaves it
    const QByteArray ours = files::writePts(editedPoints(), QSize(640, 480));
    QTest::newRow("crlf") << QByteArray(ours).replace("\n", "\r\n");
    QTest::newRow("cr") << QByteArray(ours).replace('\n', '\r');
    QTest::newRow("tabs-and-trailing-spaces") << QByteArray(ours).replace(' ', '\t').replace("\n", " \t \n");
    QTest::newRow("blank-lines") << QByteArray(ours).replace("{\n", "\n{\n\n").replace("}\n", "\n}\n\n\n");
    QTest::newRow("utf-8-byte-order-mark") << "\xef\xbb\xbf" + ours;
    QTest::newRow("byte-order-mark-and-crlf") << "\xef\xbb\xbf" + QByteArray(ours).replace("\n", "\r\n");
}

void tst_LandmarkFiles::ptsAsOtherToolsWriteThem()
{
    QFETCH(QByteArray, text);
    const QSize size(640, 480);
    QString reason;
    const std::optional<FacialPointVector> read = files::readPts(text, size, &reason);
    QVERIFY2(read, qPrintable(reason));
    const std::optional<FacialPointVector> expected =
        files::readPts(files::writePts(editedPoints(), size), size, nullptr);
    QVERIFY(expected);
    QCOMPARE(*read, *expected);
}

void tst_LandmarkFiles::ptsInTheUsersLocaleRead_data()
{
    QTest::addColumn<QString>("locale");
    QTest::newRow("decimal-comma") << QStringLiteral("de_DE");
    QTest::newRow("two-byte-decimal-point") << QStringLiteral("ps_AF");
}

// Files exported before numbers were printed with '.' hold the locale's decimal point:
// "212,40000000000001 282,5" on a German desktop. They read as the numbers they stand for.
void tst_LandmarkFiles::ptsInTheUsersLocaleRead()
{
    QFETCH(QString, locale);
    const FacialPointVector points = editedPoints();
    const QSize size(1234, 987);
    QByteArray text = "version: 1\nn_points: 68\n{\n";
    {
        LocaleInThisProcess inLocale(locale);
        if (!inLocale.skipReason().isEmpty()) {
            QSKIP(qPrintable(inLocale.skipReason()));
        }
        QVERIFY(inLocale.isActive());
        for (int i = 0; i < 68; ++i) {
            char line[100];
            std::snprintf(line, sizeof line, "%.17g %.17g\n", points[i].x() * size.width() + 1,
                          points[i].y() * size.height() + 1);
            text += line;
        }
    }
    text += "}\n";
    QVERIFY(!text.contains('.'));
    QString reason;
    const std::optional<FacialPointVector> read = files::readPts(text, size, &reason);
    QVERIFY2(read, qPrintable(reason));
    const std::optional<FacialPointVector> expected = files::readPts(files::writePts(points, size), size, nullptr);
    QVERIFY(expected);
    QCOMPARE(*read, *expected);
}

void tst_LandmarkFiles::ptsRefusals_data()
{
    QTest::addColumn<QByteArray>("text");
    const QByteArray good = files::writePts(pixelPoints(QSize(64, 64)), QSize(64, 64));
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("no-version") << QByteArray(good).replace("version: 1", "");
    QTest::newRow("five-points-declared") << QByteArray(good).replace("n_points: 68", "n_points: 5");
    QTest::newRow("point-missing") << QByteArray(good).replace("\n}", "").left(good.size() - 10) + "\n}";
    QTest::newRow("not-a-number") << QByteArray(good).replace("\n1 ", "\nx ");
    QTest::newRow("two-decimal-commas") << QByteArray(good).replace("\n1 ", "\n1,5,5 ");
    QTest::newRow("comma-and-point") << QByteArray(good).replace("\n1 ", "\n1,5.5 ");
    QTest::newRow("infinite") << QByteArray(good).replace("\n1 ", "\ninf ");
    QTest::newRow("no-closing-brace") << QByteArray(good).replace("}", "");
    QTest::newRow("huge") << QByteArray(1 << 20, ' ');
}

void tst_LandmarkFiles::ptsRefusals()
{
    QFETCH(QByteArray, text);
    QString reason;
    QVERIFY(!files::readPts(text, QSize(64, 64), &reason));
    QVERIFY(!reason.isEmpty());
}

void tst_LandmarkFiles::dlibXmlRoundTrips()
{
    const QSize size(451, 300);
    const FacialPointVector points = pixelPoints(size);
    const files::DlibImage image{QStringLiteral("faces/it's <mine> & \"yours\".png"), QRect(10, 20, 88, 90), points};
    const QByteArray text = files::writeDlibXml(image, size);
    QCOMPARE(text.count("<part "), 68);
    QVERIFY(text.contains("<part name='00' "));
    QVERIFY(text.contains("<part name='67' "));
    QString reason;
    const std::optional<files::DlibImage> read = files::readDlibXml(text, size, &reason);
    QVERIFY2(read, qPrintable(reason));
    QCOMPARE(read->file, image.file);
    QCOMPARE(read->box, image.box);
    QCOMPARE(int(read->points.size()), 68);
    for (int i = 0; i < 68; ++i) {
        QVERIFY2(read->points[i].x() == points[i].x() && read->points[i].y() == points[i].y(),
                 qPrintable(QString::number(i)));
    }
    QCOMPARE(files::writeDlibXml(*read, size), text);
}

void tst_LandmarkFiles::dlibXmlAsOtherToolsWriteThem_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("file");  // the image file read
    const QSize size(64, 64);
    const QByteArray ours = files::writeDlibXml({"a.png", QRect(1, 2, 3, 4), pixelPoints(size)}, size);
    const QByteArray image = "<image file='a.png'>";
    QTest::newRow("parts-without-leading-zero")
        << QByteArray(ours).replace("name='0", "name='") << "a.png";
    QTest::newRow("double-quotes") << QByteArray(ours).replace('\'', '"') << "a.png";
    QTest::newRow("comments") << QByteArray(ours).replace("<part ", "<!-- <part name='00' x='9' y='9'/> --><part ")
                              << "a.png";
    // imglab's boxes left out of training, and faces boxed for detection only, come before the
    // face with landmarks.
    QTest::newRow("ignored-box-first")
        << QByteArray(ours).replace(image, image + "<box top='5' left='5' width='9' height='9' ignore='1'/>")
        << "a.png";
    QTest::newRow("ignored-box-with-parts-first")
        << QByteArray(ours).replace(image, image + "<box top='5' left='5' width='9' height='9' ignore='1'>"
                                               "<part name='00' x='9' y='9'/></box>")
        << "a.png";
    QTest::newRow("box-without-parts-first")
        << QByteArray(ours).replace(image, image + "<box top='5' left='5' width='9' height='9'></box>")
        << "a.png";
    QTest::newRow("image-without-box-first")
        << QByteArray(ours).replace(image, "<image file='b.png'/><image file='c.png'><box top='0' left='0' "
                                           "width='9' height='9'/></image>" + image)
        << "a.png";
}

void tst_LandmarkFiles::dlibXmlAsOtherToolsWriteThem()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, file);
    const QSize size(64, 64);
    QString reason;
    const std::optional<files::DlibImage> read = files::readDlibXml(text, size, &reason);
    QVERIFY2(read, qPrintable(reason));
    QCOMPARE(read->file, file);
    QCOMPARE(read->box, QRect(1, 2, 3, 4));
    QCOMPARE(read->faceCount, 1);  // ignored boxes and boxes without parts are no faces
    FacialPointVector written = pixelPoints(size);
    written.resize(68);
    QCOMPARE(read->points, written);
}

void tst_LandmarkFiles::dlibXmlRefusals_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("why");
    const QByteArray good = files::writeDlibXml({"a.png", QRect(1, 2, 3, 4), pixelPoints(QSize(64, 64))},
                                                QSize(64, 64));
    QTest::newRow("not-xml") << QByteArray("version: 1") << "not XML";
    QTest::newRow("no-box") << QByteArray("<dataset><images><image file='a.png'/></images></dataset>")
                            << "no image with a box";
    QTest::newRow("part-missing") << QByteArray(good).replace("<part name='42'", "<other name='42'")
                                  << "part 42 missing";
    QTest::newRow("box-not-whole") << QByteArray(good).replace("top='2'", "top='2.5'") << "whole-pixel";
    QTest::newRow("only-boxes-without-parts")
        << QByteArray("<dataset><images><image file='a.png'><box top='1' left='1' width='5' height='5'/>"
                      "<box top='1' left='1' width='5' height='5' ignore='1'/></image></images></dataset>")
        << "no box with parts";
    QTest::newRow("part-between-pixels") << QByteArray(good).replace("<part name='05' x='57'", "<part name='05' x='57.5'")
                                         << "part 05 not at whole pixels";
    QTest::newRow("part-beyond-every-pixel")
        << QByteArray(good).replace("<part name='05' x='57'", "<part name='05' x='99999999999'")
        << "part 05 not at whole pixels";
    QTest::newRow("cut-before-the-parts") << good.left(good.indexOf("<part ")) << "not XML";
}

void tst_LandmarkFiles::dlibXmlRefusals()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, why);
    QString reason;
    QVERIFY(!files::readDlibXml(text, QSize(64, 64), &reason));
    QVERIFY2(reason.contains(why), qPrintable(reason));
}

void tst_LandmarkFiles::dlibReadsOurXml()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QString picture = testimages::testPicture("chelsea.png");
    const QSize size = core::readImageFile(picture).size();
    QVERIFY(size.isValid());
    const FacialPointVector points = pixelPoints(size);
    const QRect box(100, 40, 120, 130);
    const QString xml = folder.filePath("landmarks.xml");
    QVERIFY(writeFile(xml, files::writeDlibXml({picture, box, points}, size)));

    dlib::array<dlib::array2d<dlib::rgb_pixel>> images;
    std::vector<std::vector<dlib::full_object_detection>> shapes;
    try {
        dlib::load_image_dataset(images, shapes, xml.toStdString());
    } catch (const std::exception& error) {
        QFAIL(error.what());
    }
    QCOMPARE(int(images.size()), 1);
    QCOMPARE(int(dlib::num_columns(images[0])), size.width());
    QCOMPARE(int(shapes.size()), 1);
    QCOMPARE(int(shapes[0].size()), 1);
    const dlib::full_object_detection& shape = shapes[0][0];
    QCOMPARE(shape.get_rect(), dlib::rectangle(box.left(), box.top(), box.right(), box.bottom()));
    QCOMPARE(int(shape.num_parts()), 68);
    for (unsigned long i = 0; i < 68; ++i) {
        QCOMPARE(double(shape.part(i).x()), points[i].x() * size.width());
        QCOMPARE(double(shape.part(i).y()), points[i].y() * size.height());
    }
}

void tst_LandmarkFiles::fileNamesXmlCannotHoldStayWellFormed_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("readBack");
    const QString replacement(QChar::ReplacementCharacter);
    QTest::newRow("tab-newline-return") << QStringLiteral("a\tb\nc\rd.png") << QStringLiteral("a\tb\nc\rd.png");
    QTest::newRow("control-character") << QStringLiteral("c\x01" "d.png") << QStringLiteral("c%1d.png").arg(replacement);
    QTest::newRow("escape-and-delete") << QStringLiteral("\x1b[0m\x7f.png") << replacement + QStringLiteral("[0m\x7f.png");
    QTest::newRow("lone-surrogate") << QString(QChar(0xDCFF)) + QStringLiteral(".png") << replacement + QStringLiteral(".png");
    QTest::newRow("non-character") << QString(QChar(0xFFFE)) + QStringLiteral(".png") << replacement + QStringLiteral(".png");
    QTest::newRow("emoji-pair") << QStringLiteral("\U0001F600.png") << QStringLiteral("\U0001F600.png");
}

// A picture's name may hold what XML 1.0 cannot: the file stays well-formed for every XML reader.
void tst_LandmarkFiles::fileNamesXmlCannotHoldStayWellFormed()
{
    QFETCH(QString, file);
    QFETCH(QString, readBack);
    const QSize size(64, 64);
    const QByteArray text = files::writeDlibXml({file, QRect(1, 2, 3, 4), pixelPoints(size)}, size);
    QXmlStreamReader xml(text);
    QString seen;
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::StartElement && xml.name() == QLatin1String("image")) {
            seen = xml.attributes().value(QStringLiteral("file")).toString();
        }
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString() + QLatin1Char('\n') + QString::fromUtf8(text.left(200))));
    QCOMPARE(seen, readBack);
    const std::optional<files::DlibImage> read = files::readDlibXml(text, size);
    QVERIFY(read);
    QCOMPARE(read->file, readBack);
}

void tst_LandmarkFiles::pointsTooFarOutAreNotWritten_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<double>("x");
    QTest::addColumn<double>("y");
    QTest::addColumn<bool>("writable");
    QTest::newRow("just-outside") << 5 << -0.3 << 1.4 << true;
    QTest::newRow("a-million-pictures-away") << 7 << 1e6 << 0.5 << true;
    QTest::newRow("largest-double") << 12 << 1e308 << 0.5 << false;
    QTest::newRow("far-left") << 30 << 0.5 << -1e12 << false;
    QTest::newRow("derived-point-not-written") << 70 << 1e308 << 1e308 << true;
}

// A hand-edited package can hold any finite point: one no pixel number can say is not written at
// all, rather than as "inf" or an integer out of range.
void tst_LandmarkFiles::pointsTooFarOutAreNotWritten()
{
    QFETCH(int, index);
    QFETCH(double, x);
    QFETCH(double, y);
    QFETCH(bool, writable);
    const QSize size(640, 480);
    FacialPointVector points = pixelPoints(size);
    points[std::size_t(index)] = QPointF(x, y);
    QCOMPARE(files::unwritablePoint(points, size), writable ? -1 : index);
    const QByteArray pts = files::writePts(points, size);
    const QByteArray xml = files::writeDlibXml({QStringLiteral("a.png"), files::boundingBox(points, size), points}, size);
    QCOMPARE(pts.isEmpty(), !writable);
    QCOMPARE(xml.isEmpty(), !writable);
    QCOMPARE(files::boundingBox(points, size).isEmpty(), !writable);
    if (writable) {
        const std::optional<FacialPointVector> read = files::readPts(pts, size);
        QVERIFY(read);
        if (index < files::landmarkCount) {
            QCOMPARE((*read)[std::size_t(index)].x(), x);
        }
        QVERIFY(files::readDlibXml(xml, size));
    }
}

QTEST_GUILESS_MAIN(tst_LandmarkFiles)
#include "tst_landmarkfiles.moc"
