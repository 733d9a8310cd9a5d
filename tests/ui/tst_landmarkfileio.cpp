// Export Points to dlib XML: the XML names a picture file beside it that holds the picture the
// points are placed on, and an existing file is never replaced.
#include "core/imagefiles.h"
#include "core/landmarkfiles.h"
#include "core/meanface.h"
#include "ui/landmarkfileio.h"
#include "tests/support/filesizelimit.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

class tst_LandmarkFileIo : public QObject
{
    Q_OBJECT

private slots:
    void xmlNamesAPictureThatHoldsThePicture_data();
    void xmlNamesAPictureThatHoldsThePicture();
    void ptsWritesNoPicture();
    void exportOnAFullDiskKeepsTheEarlierFile_data();
    void exportOnAFullDiskKeepsTheEarlierFile();
    void failedXmlTakesBackOnlyItsNewPicture_data();
    void failedXmlTakesBackOnlyItsNewPicture();
    void importRefusesWhatIsNotARegularFile_data();
    void importRefusesWhatIsNotARegularFile();
    void importRefusesPointsMadeForAnotherPicture_data();
    void importRefusesPointsMadeForAnotherPicture();
    void importNamesAFarPointReadably_data();
    void importNamesAFarPointReadably();
    void exportWithoutPointsSaysWhatIsMissing_data();
    void exportWithoutPointsSaysWhatIsMissing();
};

namespace {

QImage picture(QColor colour)
{
    QImage image(120, 90, QImage::Format_RGB32);
    image.fill(colour);
    image.setPixelColor(10, 20, Qt::red);
    return image;
}

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

void tst_LandmarkFileIo::xmlNamesAPictureThatHoldsThePicture_data()
{
    QTest::addColumn<QString>("besideAlready");  // what face.png holds before: "", "same", "other", "link"
    QTest::addColumn<QString>("named");          // the picture file the XML names
    QTest::addColumn<QString>("written");        // the picture file written, "" for none
    QTest::newRow("nothing beside") << "" << "face.png" << "face.png";
    QTest::newRow("the same picture beside") << "same" << "face.png" << "";
    QTest::newRow("another picture beside") << "other" << "face-1.png" << "face-1.png";
    QTest::newRow("a link to nowhere beside") << "link" << "face-1.png" << "face-1.png";
}

void tst_LandmarkFileIo::xmlNamesAPictureThatHoldsThePicture()
{
    QFETCH(QString, besideAlready);
    QFETCH(QString, named);
    QFETCH(QString, written);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QImage shown = picture(QColor(90, 140, 200));
    const QString existing = dir.filePath(QStringLiteral("face.png"));
    if (besideAlready == QLatin1String("same")) {
        QVERIFY(shown.convertToFormat(QImage::Format_RGB888).save(existing, "PNG"));
    } else if (besideAlready == QLatin1String("other")) {
        QVERIFY(picture(Qt::white).save(existing, "PNG"));
    } else if (besideAlready == QLatin1String("link")) {
        QVERIFY(QFile::link(dir.filePath(QStringLiteral("gone.png")), existing));
    }
    const QByteArray before = contents(existing);

    const core::FacialPointVector points = core::templateFace(shown.size());
    QString reason;
    QString pictureWritten;
    const QString xml = dir.filePath(QStringLiteral("face.xml"));
    QVERIFY2(ui::landmarkio::exportPoints(xml, points, shown, &reason, &pictureWritten),
             qPrintable(reason));
    QCOMPARE(pictureWritten, written);
    QVERIFY2(contents(xml).contains(QStringLiteral("<image file='%1'>").arg(named).toUtf8()),
             contents(xml).constData());
    // The named file holds the picture's pixels; a file that was there is as it was.
    const QImage onDisk = core::readImageFile(dir.filePath(named));
    QCOMPARE(onDisk.convertToFormat(QImage::Format_RGB32), shown);
    if (!besideAlready.isEmpty()) {
        QCOMPARE(contents(existing), before);
    }
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("gone.png"))));
    // The points read back for the picture are the ones written, to the pixel.
    const auto read = ui::landmarkio::readPoints(xml, shown.size(), &reason);
    QVERIFY2(read, qPrintable(reason));
    for (int i = 0; i < 68; ++i) {
        QVERIFY(std::abs(((*read)[size_t(i)].x() - points[size_t(i)].x()) * shown.width()) <= 0.5);
        QVERIFY(std::abs(((*read)[size_t(i)].y() - points[size_t(i)].y()) * shown.height()) <= 0.5);
    }
}

void tst_LandmarkFileIo::ptsWritesNoPicture()
{
    QTemporaryDir dir;
    const QImage shown = picture(Qt::gray);
    QString reason;
    QString pictureWritten = QStringLiteral("unset");
    QVERIFY(ui::landmarkio::exportPoints(dir.filePath(QStringLiteral("face.pts")),
                                         core::templateFace(shown.size()), shown, &reason,
                                         &pictureWritten));
    QVERIFY(pictureWritten.isEmpty());
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("face.pts")});
}

void tst_LandmarkFileIo::exportOnAFullDiskKeepsTheEarlierFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("newPicture"); // the XML's picture must be written beside it anew
    QTest::newRow("pts") << "face.pts" << false;
    QTest::newRow("dlib xml") << "face.xml" << false;
    QTest::newRow("dlib xml and its picture") << "face.xml" << true;
}

// A file of a few hundred bytes is still held in memory when the writing ends; a disk that is
// full then must fail the export, not replace the earlier export with what reached the disk.
void tst_LandmarkFileIo::exportOnAFullDiskKeepsTheEarlierFile()
{
    QFETCH(QString, name);
    QFETCH(bool, newPicture);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QImage shown = picture(Qt::gray);
    const QString path = dir.filePath(name);
    QString reason;
    QVERIFY2(ui::landmarkio::exportPoints(path, core::templateFace(shown.size()), shown, &reason, nullptr),
             qPrintable(reason));
    const QByteArray before = contents(path);
    const QStringList filesBefore = QDir(dir.path()).entryList(QDir::Files);

    core::FacialPointVector moved = core::templateFace(shown.size());
    for (FacialPoint& p : moved) {
        p = FacialPoint(p.x() * 0.9, p.y() * 0.9);
    }
    const QImage next = newPicture ? picture(Qt::darkGreen) : shown;
    reason.clear();
    bool exported = false;
    {
        const FileSizeLimit full(64);
        QVERIFY(full.isActive());
        exported = ui::landmarkio::exportPoints(path, moved, next, &reason, nullptr);
    }
    QVERIFY(!exported);
    QVERIFY(reason.contains(QStringLiteral("could not be written")));
    QCOMPARE(contents(path), before);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), filesBefore);
}

void tst_LandmarkFileIo::failedXmlTakesBackOnlyItsNewPicture_data()
{
    QTest::addColumn<bool>("sameBeside"); // face.png holds the picture already
    QTest::newRow("picture written for it") << false;
    QTest::newRow("picture that was there") << true;
}

// The XML cannot be written (its name is a folder's): a picture written for it goes again, one
// that was there stays.
void tst_LandmarkFileIo::failedXmlTakesBackOnlyItsNewPicture()
{
    QFETCH(bool, sameBeside);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("face.xml")));
    const QImage shown = picture(Qt::gray);
    const QString beside = dir.filePath(QStringLiteral("face.png"));
    if (sameBeside) {
        QVERIFY(shown.save(beside, "PNG"));
    }
    const QByteArray before = contents(beside);
    QString reason;
    QString pictureWritten = QStringLiteral("unset");
    QVERIFY(!ui::landmarkio::exportPoints(dir.filePath(QStringLiteral("face.xml")),
                                          core::templateFace(shown.size()), shown, &reason,
                                          &pictureWritten));
    QVERIFY2(reason.contains(QStringLiteral("\"face.xml\" could not be written")), qPrintable(reason));
    QVERIFY(pictureWritten.isEmpty());
    QCOMPARE(QFileInfo::exists(beside), sameBeside);
    QCOMPARE(contents(beside), before);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), sameBeside ? QStringList{QStringLiteral("face.png")} : QStringList());
}

void tst_LandmarkFileIo::importRefusesWhatIsNotARegularFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("why");
    // A FIFO without a writer would hold the window in open(2) for ever.
    QTest::newRow("a FIFO") << "fifo" << "not a regular file";
    QTest::newRow("a folder") << "folder" << "not a regular file";
    QTest::newRow("missing") << "missing" << "No such file";
}

void tst_LandmarkFileIo::importRefusesWhatIsNotARegularFile()
{
    QFETCH(QString, kind);
    QFETCH(QString, why);
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QString path = folder.filePath(QStringLiteral("points.pts"));
    if (kind == QLatin1String("fifo")) {
        QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
    } else if (kind == QLatin1String("folder")) {
        QVERIFY(QDir().mkdir(path));
    }
    QString reason;
    QVERIFY(!ui::landmarkio::readPoints(path, QSize(120, 90), &reason));
    QVERIFY2(reason.contains(why), qPrintable(reason));
}

void tst_LandmarkFileIo::importRefusesPointsMadeForAnotherPicture_data()
{
    // A template face written for a picture of the given size, imported on 120 x 90.
    QTest::addColumn<QSize>("writtenFor");
    QTest::addColumn<QPointF>("shift"); // added to every point, in fractions of 120 x 90
    QTest::addColumn<bool>("taken");
    QTest::newRow("the same picture") << QSize(120, 90) << QPointF() << true;
    QTest::newRow("a face the picture cuts") << QSize(120, 90) << QPointF(0, 0.45) << true;
    QTest::newRow("a copy twice as large") << QSize(240, 180) << QPointF() << false;
    QTest::newRow("a copy four times as large") << QSize(480, 360) << QPointF() << false;
}

void tst_LandmarkFileIo::importRefusesPointsMadeForAnotherPicture()
{
    QFETCH(QSize, writtenFor);
    QFETCH(QPointF, shift);
    QFETCH(bool, taken);
    const QSize shown(120, 90);
    core::FacialPointVector points = core::templateFace(writtenFor);
    for (FacialPoint& p : points) {
        // The written file holds pixels of writtenFor; read on shown, they are these fractions.
        p = FacialPoint(p.x() + shift.x() * shown.width() / writtenFor.width(),
                              p.y() + shift.y() * shown.height() / writtenFor.height());
    }
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QString path = folder.filePath(QStringLiteral("points.pts"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.write(core::landmarkfiles::writePts(points, writtenFor)) > 0);
    file.close();
    QString reason;
    const auto read = ui::landmarkio::readPoints(path, shown, &reason);
    QCOMPARE(bool(read), taken);
    if (!taken) {
        QVERIFY2(reason.contains(QStringLiteral("made for another picture")), qPrintable(reason));
    }
}

void tst_LandmarkFileIo::importNamesAFarPointReadably_data()
{
    QTest::addColumn<QByteArray>("x");     // the first point's x in the file, picture pixels
    QTest::addColumn<QString>("shownAs");  // as the refusal gives it
    QTest::addColumn<QString>("name");
    QTest::newRow("a larger copy") << QByteArray("361.5") << "360.5, " << "points.pts";
    QTest::newRow("a hand-made number") << QByteArray("1e300") << "1e+300, " << "points.pts";
    QTest::newRow("far to the left") << QByteArray("-4.5e12") << "-4.5e+12, " << "points.pts";
    QTest::newRow("a name with a percent sign") << QByteArray("361.5") << "360.5, " << "50%2.pts";
}

void tst_LandmarkFileIo::importNamesAFarPointReadably()
{
    QFETCH(QByteArray, x);
    QFETCH(QString, shownAs);
    QFETCH(QString, name);
    const QSize shown(120, 90);
    QByteArray text = core::landmarkfiles::writePts(core::templateFace(shown), shown);
    const int first = text.indexOf("{\n") + 2;
    text.replace(first, text.indexOf(' ', first) - first, x);
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QString path = folder.filePath(name);
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
    file.close();
    QString reason;
    QVERIFY(!ui::landmarkio::readPoints(path, shown, &reason));
    QVERIFY2(reason.startsWith(QStringLiteral("\"%1\" ").arg(name)), qPrintable(reason));
    QVERIFY2(reason.contains(QStringLiteral("(") + shownAs), qPrintable(reason));
    QVERIFY2(reason.contains(QStringLiteral("picture of 120 × 90")), qPrintable(reason));
    QVERIFY2(reason.size() < 200, qPrintable(reason));
}

void tst_LandmarkFileIo::exportWithoutPointsSaysWhatIsMissing_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("withPicture");
    QTest::addColumn<QString>("why");
    QTest::newRow("pts, no picture") << "face.pts" << false << "open a picture first";
    QTest::newRow("xml, no picture") << "face.xml" << false << "open a picture first";
    // A picture whose detection was undone, say.
    QTest::newRow("pts, a picture without points") << "face.pts" << true << "Ctrl+D";
    QTest::newRow("xml, a picture without points") << "face.xml" << true << "Ctrl+D";
}

void tst_LandmarkFileIo::exportWithoutPointsSaysWhatIsMissing()
{
    QFETCH(QString, name);
    QFETCH(bool, withPicture);
    QFETCH(QString, why);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString reason;
    QVERIFY(!ui::landmarkio::exportPoints(dir.filePath(name), {}, withPicture ? picture(Qt::gray) : QImage(),
                                          &reason));
    QVERIFY2(reason.contains(why), qPrintable(reason));
    QVERIFY(QDir(dir.path()).isEmpty());
}

QTEST_MAIN(tst_LandmarkFileIo)
#include "tst_landmarkfileio.moc"
