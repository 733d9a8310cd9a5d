// facemask-cli through its real executable: outputs, packages and exit statuses.
#include "face_detection_module/facedetectionmodule.h"
#include "tests/support/fileevents.h"
#include "tests/support/programrun.h"
#include "core/facemaskproject.h"
#include "core/imagefiles.h"
#include "core/packageformat.h"
#include "face_detection_module/landmarkgeometry.h"
#include "face_detection_module/landmarkpipeline.h"
#include "tests/support/packagefixtures.h"
#include "tests/face_detection_module/stocklandmarks.h"
#include "tests/support/builtlocale.h"
#include "tests/support/testimages.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstring>
#include <unistd.h>
#include <sys/types.h>

using namespace packagefixtures;
using core::FacialPointVector;
using testimages::testPicture;

namespace {

constexpr int processTimeoutMs = 300'000;

const char* const packageMembers[] = {"effect.json", "properties.json", "images/main/image.png",
                                      "images/thumbnail/small.jpg", "images/thumbnail/medium.jpg",
                                      "images/thumbnail/large.jpg"};

using Run = ProgramRun;

// SOURCE_DATE_EPOCH for the programs this test starts, while it lives. A package holds the day it
// was made, so two runs compared byte for byte must not straddle midnight.
class SourceDateEpoch {
public:
    explicit SourceDateEpoch(const QByteArray& value) { qputenv("SOURCE_DATE_EPOCH", value); }
    ~SourceDateEpoch() { qunsetenv("SOURCE_DATE_EPOCH"); }
    SourceDateEpoch(const SourceDateEpoch&) = delete;
    SourceDateEpoch& operator=(const SourceDateEpoch&) = delete;
};

// 2024-12-09, 00:00 UTC.
const QByteArray ninthOfDecember2024 = "1733702400";

QDate ninthOfDecember()
{
    return QDate(2024, 12, 9);
}

// Runs the program in folder (default: the test's own, which holds shape_predictor.dat).
Run runCli(const QStringList& arguments, const QString& folder = QString())
{
    return runProgram(QStringLiteral(FACEMASK_CLI_PROGRAM), arguments, folder, QString(), processTimeoutMs);
}

QString lastLine(const QByteArray& text)
{
    const QStringList lines = QString::fromUtf8(text).split('\n', Qt::SkipEmptyParts);
    return lines.isEmpty() ? QString() : lines.last();
}

FacialPointVector pointsOf(const QJsonValue& value)
{
    FacialPointVector points;
    for (const QJsonValue& pair : value.toArray()) {
        points.emplace_back(pair.toArray().at(0).toDouble(), pair.toArray().at(1).toDouble());
    }
    return points;
}

// Compared bit for bit, not with QPointF's fuzzy equality.
QString firstDifference(const FacialPointVector& actual, const FacialPointVector& expected)
{
    if (actual.size() != expected.size()) {
        return QStringLiteral("%1 points instead of %2").arg(actual.size()).arg(expected.size());
    }
    for (std::size_t i = 0; i < actual.size(); ++i) {
        if (actual[i].x() != expected[i].x() || actual[i].y() != expected[i].y()) {
            return QStringLiteral("point %1 is (%2, %3), expected (%4, %5)")
                .arg(i)
                .arg(actual[i].x(), 0, 'g', 17)
                .arg(actual[i].y(), 0, 'g', 17)
                .arg(expected[i].x(), 0, 'g', 17)
                .arg(expected[i].y(), 0, 'g', 17);
        }
    }
    return {};
}

// dlib's parts with the derived points, as fractions: the window's markup of a stock result.
FacialPointVector completed(const QVector<QPoint>& parts, QSize size)
{
    FacialPointVector points = core::landmarks::toFacialPoints(parts);
    core::landmarks::appendForeheadPoints(points);
    core::landmarks::normalizePoints(points, size.width(), size.height());
    return points;
}

int largestFace(const StockDetection& stock)
{
    QVector<QRect> rectangles;
    for (const StockFace& face : stock.faces) {
        rectangles.append(face.rect);
    }
    return core::landmarks::indexOfLargest(rectangles);
}

quint32 littleEndian(const QByteArray& bytes, int at, int size)
{
    quint32 value = 0;
    for (int i = size - 1; i >= 0; --i) {
        value = (value << 8) | quint8(bytes.at(at + i));
    }
    return value;
}

// The time each member of the archive at path is stamped with in its directory entry: the DOS
// reading as "yyyy-MM-dd hh:mm:ss", then the extended timestamp's seconds. Empty when the file
// is not an archive without a comment.
QStringList memberStamps(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QByteArray bytes = file.readAll();
    const int end = bytes.size() - 22;
    if (end < 0 || !bytes.mid(end).startsWith("PK\x05\x06")) {
        return {};
    }
    QStringList stamps;
    int entry = int(littleEndian(bytes, end + 16, 4));
    for (quint32 count = littleEndian(bytes, end + 10, 2); count > 0; --count) {
        if (entry + 46 > end || !bytes.mid(entry).startsWith("PK\x01\x02")) {
            return {};
        }
        const quint32 time = littleEndian(bytes, entry + 12, 2);
        const quint32 date = littleEndian(bytes, entry + 14, 2);
        const int nameLength = int(littleEndian(bytes, entry + 28, 2));
        const int extraLength = int(littleEndian(bytes, entry + 30, 2));
        const QDateTime dos(QDate(1980 + int(date >> 9), int((date >> 5) & 0x0F), int(date & 0x1F)),
                            QTime(int(time >> 11), int((time >> 5) & 0x3F), int(2 * (time & 0x1F))));
        QString stamp = dos.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
        for (int block = entry + 46 + nameLength; block + 4 <= entry + 46 + nameLength + extraLength;
             block += 4 + int(littleEndian(bytes, block + 2, 2))) {
            if (bytes.mid(block, 2) == "UT" && littleEndian(bytes, block + 2, 2) >= 5) {
                stamp += ' ' + QString::number(littleEndian(bytes, block + 5, 4));
            }
        }
        stamps.append(stamp);
        entry += 46 + nameLength + extraLength + int(littleEndian(bytes, entry + 32, 2));
    }
    return stamps;
}

QJsonArray parseArray(const QByteArray& text)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    return error.error == QJsonParseError::NoError ? document.array() : QJsonArray();
}

} // namespace

class tst_FacemaskCli : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void detectJsonEqualsStockDlib_data();
    void detectJsonEqualsStockDlib();
    void detectTextCarriesTheJsonNumbers_data();
    void detectTextCarriesTheJsonNumbers();
    void detectReportsUnreadablePictures();
    void detectStopsOnceItsOutputIsLost();
    void infoStopsOnceItsOutputIsLost();
    void exitStatuses_data();
    void exitStatuses();
    void missingOrBrokenModelGivesThree_data();
    void missingOrBrokenModelGivesThree();
    void modelNotInstalledNamesThePackage_data();
    void modelNotInstalledNamesThePackage();
    void makeThenInfoRoundTrips_data();
    void makeThenInfoRoundTrips();
    void madePackageEqualsTheWindowsSave();
    void oneWorkerAndTwoMakeTheSamePackages();
    void makeStampsTheDayOfSourceDateEpoch_data();
    void makeStampsTheDayOfSourceDateEpoch();
    void existingPackageIsKeptWithoutForce();
    void folderNameAsPackageIsRefused_data();
    void folderNameAsPackageIsRefused();
    void interruptedMakeLeavesNoTemporaryFile_data();
    void interruptedMakeLeavesNoTemporaryFile();
    void picturesOfOneBaseNameDoNotOverwriteEachOther();
    void laterPictureOfANameMakesThePackageTheEarlierFailed_data();
    void laterPictureOfANameMakesThePackageTheEarlierFailed();
    void lineModeReportsEveryFile();
    void outDirIsMadeForPackagesOnly_data();
    void outDirIsMadeForPackagesOnly();
    void terminalShowsAProgressBar();
    void infoGivesTheLoadersReason_data();
    void infoGivesTheLoadersReason();
    void pointsJsonSaysWhyAPackageIsRefused_data();
    void pointsJsonSaysWhyAPackageIsRefused();
    void packageGivenForAPictureIsSaidToBeOne_data();
    void packageGivenForAPictureIsSaidToBeOne();
    void pictureGivenForAPackageIsSaidToBeOne_data();
    void pictureGivenForAPackageIsSaidToBeOne();

private:
    QString pathOf(const QString& name) const { return m_folder->filePath(name); }

    std::unique_ptr<StockLandmarks> m_stock;
    std::unique_ptr<QTemporaryDir> m_folder;
};

void tst_FacemaskCli::initTestCase()
{
    QVERIFY2(QFile::exists("shape_predictor.dat"), "the test must run beside shape_predictor.dat");
    m_stock = std::make_unique<StockLandmarks>("shape_predictor.dat");
    QVERIFY(m_stock->isLoaded());
}

void tst_FacemaskCli::init()
{
    m_folder = std::make_unique<QTemporaryDir>();
    QVERIFY(m_folder->isValid());
}

void tst_FacemaskCli::detectJsonEqualsStockDlib_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("faceCount");

    QTest::newRow("one-face-png") << "astronaut.png" << 1;
    QTest::newRow("two-faces-jpeg") << "2008_001009.jpg" << 2;
    QTest::newRow("one-large-face") << "Tom_Cruise_avp_2014_4.jpg" << 1;
    QTest::newRow("no-face-odd-width") << "chelsea.png" << 0;
    QTest::newRow("no-face-grey") << "camera.png" << 0;
}

void tst_FacemaskCli::detectJsonEqualsStockDlib()
{
    QFETCH(QString, file);
    QFETCH(int, faceCount);
    const QString path = testPicture(file.toLatin1().constData());
    const StockDetection stock = m_stock->detectFile(path);
    QVERIFY(stock.pictureLoaded);
    QCOMPARE(stock.faces.size(), faceCount);

    const Run run = runCli({"detect", "--json", path});
    QVERIFY2(run.status == 0, qPrintable(describe(run)));
    const QJsonArray all = parseArray(run.out);
    QCOMPARE(all.size(), 1);
    const QJsonObject result = all.at(0).toObject();
    QCOMPARE(result.value("file").toString(), path);
    QVERIFY(!result.contains("error"));
    QCOMPARE(result.value("faceCount").toInt(-1), faceCount);
    const QJsonArray faces = result.value("faces").toArray();
    QCOMPARE(faces.size(), faceCount);
    for (int f = 0; f < faceCount; ++f) {
        const QRect& rect = stock.faces[f].rect;
        const QJsonArray expectedRect{rect.left(), rect.top(), rect.left() + rect.width() - 1,
                                      rect.top() + rect.height() - 1};
        const QJsonObject face = faces.at(f).toObject();
        QCOMPARE(face.value("rect").toArray(), expectedRect);
        const QString diff = firstDifference(pointsOf(face.value("points")),
                                             completed(stock.faces[f].parts, stock.size));
        QVERIFY2(diff.isEmpty(), qPrintable(QStringLiteral("face %1: ").arg(f) + diff));
    }
    const int placed = faceCount > 0 ? largestFace(stock) : -1;
    QCOMPARE(result.value("placed").toInt(-2), placed);
    const FacialPointVector expected = placed >= 0 ? completed(stock.faces[placed].parts, stock.size)
                                                   : completed(stock.wholePictureParts, stock.size);
    const QString diff = firstDifference(pointsOf(result.value("points")), expected);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
}

void tst_FacemaskCli::detectTextCarriesTheJsonNumbers_data()
{
    QTest::addColumn<QString>("locale"); // the user's locale; empty: the test's own

    QTest::newRow("own-locale") << QString();
    QTest::newRow("decimal-comma") << QStringLiteral("de_DE");
    QTest::newRow("two-byte-decimal-point") << QStringLiteral("ps_AF");
}

void tst_FacemaskCli::detectTextCarriesTheJsonNumbers()
{
    QFETCH(QString, locale);
    const QStringList pictures{testPicture("2008_001009.jpg"), testPicture("chelsea.png")};
    // The numbers under the test's own locale, to compare with.
    const Run expected = runCli(QStringList{"detect", "--json"} + pictures);
    QVERIFY2(expected.status == 0, qPrintable(describe(expected)));
    LocaleInThisProcess inLocale(locale);
    if (!inLocale.skipReason().isEmpty()) {
        QSKIP(qPrintable(inLocale.skipReason()));
    }
    QVERIFY(inLocale.isActive());
    const Run text = runCli(QStringList{"detect"} + pictures);
    const Run json = runCli(QStringList{"detect", "--json"} + pictures);
    QVERIFY2(text.status == 0, qPrintable(describe(text)));
    QVERIFY2(json.status == 0, qPrintable(describe(json)));
    QCOMPARE(json.out, expected.out);
    // A package made in that locale holds the same points.
    const Run make = runCli({"make", "-o", pathOf("made.pmk"), pictures[0]});
    QVERIFY2(make.status == 0, qPrintable(describe(make)));
    inLocale.restore();
    core::FaceMaskProject made;
    const core::LoadResult loaded = made.loadWithReason(pathOf("made.pmk"));
    QVERIFY2(loaded.ok, qPrintable(loaded.reason));
    const QString madeDiff = firstDifference(made.snapshot().points,
                                             pointsOf(parseArray(expected.out).at(0).toObject().value("points")));
    QVERIFY2(madeDiff.isEmpty(), qPrintable(madeDiff));
    const QStringList lines = QString::fromUtf8(text.out).split('\n', Qt::SkipEmptyParts);
    const QJsonArray all = parseArray(json.out);
    QCOMPARE(lines.size(), pictures.size());
    QCOMPARE(all.size(), pictures.size());
    for (int i = 0; i < pictures.size(); ++i) {
        const QStringList fields = lines[i].split('\t');
        QCOMPARE(fields.size(), 3);
        QCOMPARE(fields[0], pictures[i]);
        QCOMPARE(fields[1].toInt(), all.at(i).toObject().value("faceCount").toInt(-1));
        FacialPointVector points;
        for (const QString& pair : fields[2].split(' ')) {
            points.emplace_back(pair.section(',', 0, 0).toDouble(), pair.section(',', 1, 1).toDouble());
        }
        const QString diff = firstDifference(points, pointsOf(all.at(i).toObject().value("points")));
        QVERIFY2(diff.isEmpty(), qPrintable(diff));
    }
}

// Once a result cannot be written, the pictures not yet begun are left alone: a long batch would
// otherwise be detected to its end for nothing. The missing picture last in line is never tried,
// so it is never reported; sixteen detections stand between it and the first lost line.
void tst_FacemaskCli::detectStopsOnceItsOutputIsLost()
{
    QStringList arguments{"detect"};
    for (int i = 0; i < 16; ++i) {
        arguments << testPicture("2008_001009.jpg");
    }
    arguments << pathOf("missing.png");

    const Run read = runCli(arguments);
    QCOMPARE(read.status, 1);
    QVERIFY2(read.err.contains("missing.png"), read.err.constData());

    const Run lost = runProgram(QStringLiteral(FACEMASK_CLI_PROGRAM), arguments, QString(),
                                QStringLiteral("/dev/full"), processTimeoutMs);
    QVERIFY2(lost.status == 1, qPrintable(describe(lost)));
    QVERIFY2(lost.err.contains("cannot write to standard output: No space left on device"), lost.err.constData());
    QVERIFY2(!lost.err.contains("missing.png"), lost.err.constData());
}

// Its reader gone (`>&-`, or `| head` with SIGPIPE ignored), info does not read the packages
// left: the package named 800 times is opened for the first few at most, as the kernel counts
// (with its closes watched too, so that no two opens are merged into one event).
void tst_FacemaskCli::infoStopsOnceItsOutputIsLost()
{
    const QString package = pathOf("face.pmk");
    const Run made = runCli({"make", "-o", package, testPicture("astronaut.png")});
    QVERIFY2(made.status == 0, qPrintable(describe(made)));
    QStringList arguments{"info"};
    for (int i = 0; i < 800; ++i) {
        arguments << package;
    }
    FileEvents opened(package, IN_OPEN | IN_CLOSE);
    QVERIFY(opened.isWatching());

    const Run lost = runProgram(QStringLiteral(FACEMASK_CLI_PROGRAM), arguments, QString(),
                                QStringLiteral("/dev/full"), processTimeoutMs);
    QVERIFY2(lost.status == 1, qPrintable(describe(lost)));
    QVERIFY2(lost.err.contains("cannot write to standard output: No space left on device"), lost.err.constData());
    const int opens = opened.count(IN_OPEN);
    QVERIFY2(opens >= 1 && opens < 10, qPrintable(QStringLiteral("the package was opened %1 times").arg(opens)));
}

void tst_FacemaskCli::detectReportsUnreadablePictures()
{
    QFile text(pathOf("notes.png"));
    QVERIFY(text.open(QIODevice::WriteOnly) && text.write("not a picture") > 0);
    text.close();
    const QStringList pictures{pathOf("missing.png"), testPicture("astronaut.png"), pathOf("notes.png")};
    const Run run = runCli(QStringList{"detect", "--json"} + pictures);
    QVERIFY2(run.status == 1, qPrintable(describe(run)));
    const QJsonArray all = parseArray(run.out);
    QCOMPARE(all.size(), 3);
    for (int i : {0, 2}) {
        const QJsonObject failed = all.at(i).toObject();
        QCOMPARE(failed.value("file").toString(), pictures[i]);
        QVERIFY(!failed.value("error").toString().isEmpty());
        QVERIFY(!failed.contains("points"));
        QVERIFY2(run.err.contains(pictures[i].toUtf8()), "stderr names the picture that failed");
    }
    QCOMPARE(all.at(0).toObject().value("error").toString(), QStringLiteral("no such file"));
    QCOMPARE(all.at(1).toObject().value("faceCount").toInt(), 1);
    QCOMPARE(all.at(1).toObject().value("points").toArray().size(), 75);
}

void tst_FacemaskCli::exitStatuses_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("expectedOutput");  // a piece of stdout

    const QString face = testPicture("astronaut.png");
    const QString missing = QStringLiteral("/nonexistent/picture.png");
    QTest::newRow("no-command") << QStringList{} << 2 << "";
    QTest::newRow("unknown-command") << QStringList{"paint"} << 2 << "";
    QTest::newRow("unknown-program-option") << QStringList{"--colour"} << 2 << "";
    QTest::newRow("program-help") << QStringList{"--help"} << 0 << "Commands:";
    QTest::newRow("program-version") << QStringList{"--version"} << 0 << "facemask-cli 1.0.0";
    QTest::newRow("program-help-all") << QStringList{"--help-all"} << 0 << "Commands:";
    for (const char* command : {"detect", "make", "info", "points", "preview", "thumbnail", "track"}) {
        QTest::newRow(qPrintable(QStringLiteral("%1-help-all").arg(command)))
            << QStringList{command, "--help-all"} << 0
            << QStringLiteral("Usage: facemask-cli %1").arg(command);
    }
    for (const char* command : {"detect", "make", "info", "points"}) {
        QTest::newRow(qPrintable(QStringLiteral("%1-help").arg(command)))
            << QStringList{command, "--help"} << 0
            << QStringLiteral("Usage: facemask-cli %1").arg(command);
        QTest::newRow(qPrintable(QStringLiteral("%1-version").arg(command)))
            << QStringList{command, "--version"} << 0 << "facemask-cli 1.0.0";
        QTest::newRow(qPrintable(QStringLiteral("%1-unknown-option").arg(command)))
            << QStringList{command, "--colour", face} << 2 << "";
        QTest::newRow(qPrintable(QStringLiteral("%1-without-inputs").arg(command)))
            << QStringList{command} << 2 << "";
    }
    QTest::newRow("make-without-target") << QStringList{"make", face} << 2 << "";
    QTest::newRow("make-with-both-targets")
        << QStringList{"make", "-o", "a.pmk", "--out-dir", "d", face} << 2 << "";
    QTest::newRow("make-one-file-for-two-pictures")
        << QStringList{"make", "-o", "a.pmk", face, face} << 2 << "";
    QTest::newRow("make-unknown-type") << QStringList{"make", "--type", "side", "-o", "a.pmk", face} << 2 << "";
    QTest::newRow("make-zero-jobs") << QStringList{"make", "--jobs", "0", "-o", "a.pmk", face} << 2 << "";
    QTest::newRow("make-into-folder-without-name") << QStringList{"make", "--out-dir", "", face} << 2 << "";
    QTest::newRow("make-option-without-value") << QStringList{"make", face, "-o"} << 2 << "";
    QTest::newRow("points-of-two-packages") << QStringList{"points", "a.pmk", "b.pmk"} << 2 << "";
    // "-" is neither standard input nor standard output to any command, nor a file it would make.
    QTest::newRow("detect-of-standard-input") << QStringList{"detect", face, "-"} << 2 << "";
    QTest::newRow("info-of-standard-input") << QStringList{"info", "--", "-"} << 2 << "";
    QTest::newRow("make-to-standard-output") << QStringList{"make", "-o", "-", face} << 2 << "";
    QTest::newRow("make-into-folder-dash") << QStringList{"make", "--out-dir=-", face} << 2 << "";
    QTest::newRow("thumbnail-to-standard-output") << QStringList{"thumbnail", "a.pmk", "-"} << 2 << "";
    QTest::newRow("preview-to-standard-output") << QStringList{"preview", "a.pmk", face, "--output", "-"} << 2 << "";
    QTest::newRow("detect-model-from-standard-input") << QStringList{"detect", "--model", "-", face} << 2 << "";
    // An empty model name is a mistake (an unset variable), not a wish for the default model.
    QTest::newRow("detect-model-named-empty") << QStringList{"detect", "--model", "", face} << 2 << "";
    QTest::newRow("make-model-named-empty") << QStringList{"make", "--model=", "-o", "a.pmk", face} << 2 << "";
    QTest::newRow("preview-model-named-empty") << QStringList{"preview", "--model", "", "a.pmk", face, "-o", "a.png"}
                                               << 2 << "";
    QTest::newRow("make-named-dash") << QStringList{"make", "--name", "-", "-o", "named.pmk", face} << 0 << "";
    QTest::newRow("detect-succeeds") << QStringList{"detect", face} << 0 << face;
    QTest::newRow("detect-one-of-two-fails") << QStringList{"detect", missing, face} << 1 << face;
    QTest::newRow("make-of-missing-picture-fails")
        << QStringList{"make", "-o", "never.pmk", missing} << 1 << "";
    QTest::newRow("info-of-missing-package-fails") << QStringList{"info", "missing.pmk"} << 1
                                                   << "missing.pmk: refused: ";
    QTest::newRow("points-of-missing-package-fails") << QStringList{"points", "missing.pmk"} << 1 << "";
}

void tst_FacemaskCli::exitStatuses()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, expectedOutput);
    const Run run = runCli(arguments, m_folder->path());
    QVERIFY2(run.status == status, qPrintable(describe(run)));
    QVERIFY2(QString::fromUtf8(run.out).contains(expectedOutput), qPrintable(describe(run)));
    if (status == 2) {
        QVERIFY2(run.out.isEmpty(), "a usage error prints nothing on stdout");
        QVERIFY2(!run.err.isEmpty(), "a usage error says what is wrong");
    }
    QVERIFY2(!QFile::exists(pathOf("a.pmk")) && !QFile::exists(pathOf("never.pmk")) && !QFile::exists(pathOf("-"))
                 && !QFile::exists(pathOf("-.pmk")) && !QFile::exists(pathOf("-/face.pmk")),
             "a refused command line writes nothing");
}

void tst_FacemaskCli::missingOrBrokenModelGivesThree_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("modelInFolder");  // written as shape_predictor.dat when not null

    const QString face = testPicture("astronaut.png");
    QTest::newRow("detect-given-model-missing") << QStringList{"detect", "--model", "/nonexistent.dat", face}
                                                << QByteArray();
    QTest::newRow("make-given-model-missing")
        << QStringList{"make", "--model", "/nonexistent.dat", "-o", "out.pmk", face} << QByteArray();
    QTest::newRow("given-model-not-a-model")
        << QStringList{"detect", "--model", "shape_predictor.dat", face} << QByteArray("not a model");
    // The working directory's file is read before the installed ones, and a broken one is not
    // skipped over.
    QTest::newRow("model-in-working-directory-broken") << QStringList{"detect", face}
                                                       << QByteArray("\x00\x01\x02", 3);
}

void tst_FacemaskCli::missingOrBrokenModelGivesThree()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, modelInFolder);
    if (!modelInFolder.isNull()) {
        QFile model(pathOf("shape_predictor.dat"));
        QVERIFY(model.open(QIODevice::WriteOnly));
        model.write(modelInFolder);
    }
    const Run run = runCli(arguments, m_folder->path());
    QVERIFY2(run.status == 3, qPrintable(describe(run)));
    QVERIFY2(run.err.contains("landmark model"), qPrintable(describe(run)));
    QVERIFY(run.out.isEmpty());
    QVERIFY(!QFile::exists(pathOf("out.pmk")));

    // The commands that read packages never need the model.
    const QString package = pathOf("made-elsewhere.pmk");
    QVERIFY(writeArchive(package, packagefixtures::package(propertiesText(), effectText(75))));
    const Run info = runCli({"info", package}, m_folder->path());
    QVERIFY2(info.status == 0, qPrintable(describe(info)));
    const Run points = runCli({"points", package}, m_folder->path());
    QVERIFY2(points.status == 0, qPrintable(describe(points)));
}

void tst_FacemaskCli::modelNotInstalledNamesThePackage_data()
{
    QTest::addColumn<QStringList>("arguments");  // PACKAGE stands for a package made here
    const QString face = testPicture("astronaut.png");
    QTest::newRow("detect") << QStringList{"detect", face};
    QTest::newRow("make") << QStringList{"make", face, "-o", "out.pmk"};
    QTest::newRow("preview") << QStringList{"preview", "PACKAGE", face, "-o", "out.png"};
    QTest::newRow("track") << QStringList{"track", face};
}

// A machine without libdlib-data, whose model is the last place looked: libdlib-data's folder is
// hidden in a mount namespace of the command's own, and no other model is near.
void tst_FacemaskCli::modelNotInstalledNamesThePackage()
{
    QFETCH(QStringList, arguments);
    const QString package = pathOf("made-elsewhere.pmk");
    QVERIFY(writeArchive(package, packagefixtures::package(propertiesText(), effectText(75))));
    arguments.replaceInStrings(QStringLiteral("PACKAGE"), package);
    QString program = QStringLiteral(FACEMASK_CLI_PROGRAM);
    const QString systemFolder = QFileInfo(QStringLiteral(FACEMASK_SYSTEM_MODEL)).absolutePath();
    if (QFileInfo(systemFolder).isDir()) {
        if (QStandardPaths::findExecutable(QStringLiteral("unshare")).isEmpty()) {
            QSKIP("unshare (util-linux) is needed to hide the installed model");
        }
        QVERIFY(QDir(m_folder->path()).mkdir(QStringLiteral("empty")));
        arguments = QStringList{QStringLiteral("--mount"), QStringLiteral("--map-root-user"), QStringLiteral("sh"),
                                QStringLiteral("-c"), QStringLiteral("mount --bind \"$1\" \"$2\" && shift 2 && exec \"$@\""),
                                QStringLiteral("sh"), pathOf("empty"), systemFolder, program}
                    + arguments;
        program = QStringLiteral("unshare");
    }
    const Run run = runProgram(program, arguments, m_folder->path());
    if (run.err.startsWith("unshare:") || run.err.startsWith("mount:") || run.err.startsWith("sh:")) {
        QSKIP(qPrintable(QStringLiteral("no mount namespace can be made here: ") + QString::fromUtf8(run.err)));
    }
    QVERIFY2(run.status == 3, qPrintable(describe(run)));
    QVERIFY2(run.err.contains("no landmark model found") && run.err.contains(": install libdlib-data, or name a model "
                                                                             "with --model PATH\n"),
             qPrintable(describe(run)));
    QVERIFY(!QFile::exists(pathOf("out.pmk")) && !QFile::exists(pathOf("out.png")));
}

void tst_FacemaskCli::makeThenInfoRoundTrips_data()
{
    QTest::addColumn<QString>("picture");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("effectType");
    QTest::addColumn<QString>("summary");

    const QString one = QStringLiteral("1 package written, 0 failed");
    QTest::newRow("defaults-face-and-base-name") << "astronaut.png" << QStringList{} << "astronaut" << 0 << one;
    QTest::newRow("whole-image-named")
        << "Tom_Cruise_avp_2014_4.jpg" << QStringList{"--type", "whole", "--name", "Kr\u00f6te %1"}
        << QStringLiteral("Kr\u00f6te %1") << 1 << one;
    QTest::newRow("full-frame-no-face") << "chelsea.png" << QStringList{"--type", "full"} << "chelsea" << 2
        << "1 package written, 1 of them from a template (no face found), 0 failed";
}

void tst_FacemaskCli::makeThenInfoRoundTrips()
{
    QFETCH(QString, picture);
    QFETCH(QStringList, options);
    QFETCH(QString, name);
    QFETCH(int, effectType);
    QFETCH(QString, summary);
    const QString path = testPicture(picture.toLatin1().constData());
    const QString package = pathOf("made.pmk");

    const Run made = runCli(QStringList{"make", path, "-o", package} + options);
    QVERIFY2(made.status == 0, qPrintable(describe(made)));
    QCOMPARE(lastLine(made.err), summary);

    const Run info = runCli({"info", "--json", package});
    QVERIFY2(info.status == 0, qPrintable(describe(info)));
    const QJsonArray all = parseArray(info.out);
    QCOMPARE(all.size(), 1);
    const QJsonObject object = all.at(0).toObject();
    const QImage original = core::readImageFile(path);
    QCOMPARE(object.value("file").toString(), package);
    QCOMPARE(object.value("ok").toBool(), true);
    QVERIFY(object.value("reason").isNull());
    QCOMPARE(object.value("name").toString(), name);
    QCOMPARE(object.value("author").toString(), core::FaceMaskProject().author());
    QCOMPARE(object.value("subcategory").toString(), core::FaceMaskProject().subcategory());
    QCOMPARE(object.value("effectType").toInt(-1), effectType);
    QCOMPARE(object.value("pointCount").toInt(), 75);
    QCOMPARE(object.value("imageSize").toArray(), (QJsonArray{original.width(), original.height()}));
    QCOMPARE(object.value("time").toString(), QDate::currentDate().toString("MM.dd.yyyy"));

    const Run text = runCli({"info", package});
    QVERIFY2(text.status == 0, qPrintable(describe(text)));
    QVERIFY2(QString::fromUtf8(text.out).contains("  name: " + name + "\n"), qPrintable(describe(text)));

    // The points read back are those detect prints for the picture.
    const Run points = runCli({"points", "--json", package});
    const Run detected = runCli({"detect", "--json", path});
    QVERIFY2(points.status == 0, qPrintable(describe(points)));
    const QString diff = firstDifference(pointsOf(parseArray(points.out).at(0).toObject().value("points")),
                                         pointsOf(parseArray(detected.out).at(0).toObject().value("points")));
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
}

void tst_FacemaskCli::madePackageEqualsTheWindowsSave()
{
    const QString picture = testPicture("2008_001009.jpg");
    const QString made = pathOf("made.pmk");
    const SourceDateEpoch stamp(ninthOfDecember2024);
    const Run run = runCli({"make", "--name", "Two", "--type", "whole", "-o", made, picture});
    QVERIFY2(run.status == 0, qPrintable(describe(run)));
    const core::package::DateSource previousClock = core::package::setDateSource(&ninthOfDecember);
    const auto restoreClock = qScopeGuard([previousClock] { core::package::setDateSource(previousClock); });

    // What the window saves: the picture as it reads files, the detected points, a new project.
    const std::unique_ptr<core::FaceDetectionModule> module = core::FaceDetectionModule::load();
    QVERIFY(module);
    core::FaceMaskProject project;
    project.setName("Two");
    project.setEffectType(core::WholeImage);
    core::ProjectSnapshot snapshot = project.snapshot();
    snapshot.picture = core::readImageFile(picture);
    snapshot.points = core::runLandmarkPipeline(*module, snapshot.picture).points;
    const QString saved = pathOf("saved.pmk");
    QVERIFY(core::savePackage(snapshot, saved));

    for (const char* member : packageMembers) {
        const QByteArray ours = extractMember(made, member);
        QVERIFY2(!ours.isEmpty(), member);
        QVERIFY2(ours == extractMember(saved, member), member);
    }
}

void tst_FacemaskCli::oneWorkerAndTwoMakeTheSamePackages()
{
    const QStringList pictures{testPicture("astronaut.png"), testPicture("2008_001009.jpg"),
                               testPicture("camera.png"), testPicture("2008_002079.jpg")};
    const SourceDateEpoch stamp(ninthOfDecember2024);
    const Run one = runCli(QStringList{"make", "--jobs", "1", "--out-dir", pathOf("one")} + pictures);
    const Run two = runCli(QStringList{"make", "--jobs", "2", "--out-dir", pathOf("two")} + pictures);
    QVERIFY2(one.status == 0, qPrintable(describe(one)));
    QVERIFY2(two.status == 0, qPrintable(describe(two)));
    QCOMPARE(lastLine(two.err),
             QStringLiteral("4 packages written, 1 of them from a template (no face found), 0 failed"));
    for (const QString& picture : pictures) {
        const QString file = QFileInfo(picture).completeBaseName() + ".pmk";
        for (const char* member : packageMembers) {
            const QByteArray first = extractMember(pathOf("one/" + file), member);
            QVERIFY2(!first.isEmpty(), qPrintable(file + ' ' + member));
            QVERIFY2(first == extractMember(pathOf("two/" + file), member), qPrintable(file + ' ' + member));
        }
    }
}

void tst_FacemaskCli::makeStampsTheDayOfSourceDateEpoch_data()
{
    QTest::addColumn<QByteArray>("epoch");
    QTest::addColumn<QString>("written"); // empty: a usage error; "today": the run's own date
    // The members' DOS time and extended timestamp; DOS times run from 1980 to 2107 in 2 s steps.
    QTest::addColumn<QString>("stamped");
    const QString first1980 = QStringLiteral("1980-01-01 00:00:00 315532800");
    QTest::newRow("the first second") << QByteArray("0") << "01.01.1970" << first1980;
    QTest::newRow("the last second of a day") << QByteArray("86399") << "01.01.1970" << first1980;
    QTest::newRow("the next day") << QByteArray("86400") << "01.02.1970" << first1980;
    QTest::newRow("a day of 2024") << ninthOfDecember2024 << "12.09.2024"
                                   << "2024-12-09 00:00:00 1733702400";
    QTest::newRow("an odd second") << QByteArray("1700000001") << "11.14.2023"
                                   << "2023-11-14 22:13:20 1700000001";
    QTest::newRow("the last day of 9999") << QByteArray("253402300799") << "12.31.9999"
                                          << "2107-12-31 23:59:58 2147483647";
    QTest::newRow("empty is unset") << QByteArray() << "today" << QString();
    QTest::newRow("before 1970") << QByteArray("-1") << QString() << QString();
    QTest::newRow("not a number") << QByteArray("12abc") << QString() << QString();
    QTest::newRow("not whole") << QByteArray("1e9") << QString() << QString();
    QTest::newRow("after 9999") << QByteArray("253402300800") << QString() << QString();
}

void tst_FacemaskCli::makeStampsTheDayOfSourceDateEpoch()
{
    QFETCH(QByteArray, epoch);
    QFETCH(QString, written);
    QFETCH(QString, stamped);
    const QString package = pathOf("stamped.pmk");
    const SourceDateEpoch stamp(epoch);
    const auto today = [] { return QLocale::c().toString(QDate::currentDate(), QStringLiteral("MM.dd.yyyy")); };
    const QString before = today();
    const QDateTime clockBefore = QDateTime::currentDateTime();
    const Run run = runCli({"make", "-o", package, testPicture("chelsea.png")});
    const QDateTime clockAfter = QDateTime::currentDateTime();
    const QString after = today();
    if (written.isEmpty()) {
        QVERIFY2(run.status == 2, qPrintable(describe(run)));
        QVERIFY2(run.err.contains("SOURCE_DATE_EPOCH"), qPrintable(describe(run)));
        // A number past the last day is a whole number too: the complaint names the range.
        QVERIFY2(run.err.contains("from 1970 to the year 9999"), qPrintable(describe(run)));
        QVERIFY2(!QFile::exists(package), "nothing is written after a usage error");
        return;
    }
    QVERIFY2(run.status == 0, qPrintable(describe(run)));
    const QJsonObject properties =
        QJsonDocument::fromJson(extractMember(package, core::package::propertiesMember)).object();
    const QString time = properties.value("time").toString();
    const QStringList stamps = memberStamps(package);
    QCOMPARE(stamps.size(), 6);
    if (written == QLatin1String("today")) {
        QVERIFY2(time == before || time == after, qPrintable(time));
        // Without the variable the members carry the local clock of the run.
        for (const QString& member : stamps) {
            const QDateTime dos = QDateTime::fromString(member.left(19), QStringLiteral("yyyy-MM-dd hh:mm:ss"));
            QVERIFY2(dos >= clockBefore.addSecs(-2) && dos <= clockAfter, qPrintable(member));
        }
        return;
    }
    QCOMPARE(time, written);
    for (const QString& member : stamps) {
        QCOMPARE(member, stamped);
    }
    // Made again, at another moment, the package is the same byte for byte.
    const QString again = pathOf("again.pmk");
    const Run second = runCli({"make", "-o", again, testPicture("chelsea.png")});
    QVERIFY2(second.status == 0, qPrintable(describe(second)));
    QFile first(package);
    QFile repeated(again);
    QVERIFY(first.open(QIODevice::ReadOnly) && repeated.open(QIODevice::ReadOnly));
    QVERIFY(first.readAll() == repeated.readAll());
}

void tst_FacemaskCli::interruptedMakeLeavesNoTemporaryFile_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("Ctrl+C") << int(SIGINT);
    QTest::newRow("terminated") << int(SIGTERM);
    // The reader of its messages gone: `make ... 2>&1 | head -1`.
    QTest::newRow("broken-pipe") << int(SIGPIPE);
}

// A package is written under a temporary name beside its target while the picture is detected;
// interrupted then, the command removes it and ends as the signal says.
void tst_FacemaskCli::interruptedMakeLeavesNoTemporaryFile()
{
    QFETCH(int, signal);
    const QString out = pathOf("out");
    QProcess process;
    process.start(QStringLiteral(FACEMASK_CLI_PROGRAM),
                  {"make", "--jobs", "2", "--out-dir", out, testPicture("bald_guys.jpg"), testPicture("2008_001009.jpg")});
    QVERIFY(process.waitForStarted());
    const auto temporaries = [&out] {
        return QDir(out).entryList({QStringLiteral("*.pmk.*")}, QDir::Files | QDir::Hidden);
    };
    QTRY_VERIFY_WITH_TIMEOUT(!temporaries().isEmpty() || process.state() == QProcess::NotRunning, 60000);
    if (process.state() == QProcess::NotRunning) {
        QSKIP("the packages were made before the test could interrupt the command");
    }
    ::kill(pid_t(process.processId()), signal);
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitStatus(), QProcess::CrashExit); // ended by the signal, as without the clean-up
    QVERIFY2(temporaries().isEmpty(), qPrintable(temporaries().join(", ")));
}

void tst_FacemaskCli::folderNameAsPackageIsRefused_data()
{
    // Run in the test's folder, which holds the folder pk.
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("message");
    QTest::newRow("folder-with-slash") << "pk/" << "pk/ is a folder: give a file name, or use --out-dir pk";
    QTest::newRow("folder-with-dot") << "pk/." << "pk/. is a folder: give a file name, or use --out-dir pk";
    QTest::newRow("parent-folder") << "pk/.." << "pk/.. is a folder: give a file name, or use --out-dir .";
    QTest::newRow("missing-folder-with-slash")
        << "new/" << "new/ names a folder: give a file name, or use --out-dir new";
    QTest::newRow("empty-name") << "" << "-o takes a file name";
}

void tst_FacemaskCli::folderNameAsPackageIsRefused()
{
    QFETCH(QString, out);
    QFETCH(QString, message);
    QVERIFY(QDir(m_folder->path()).mkdir(QStringLiteral("pk")));
    const QStringList before = QDir(m_folder->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    const Run run = runCli({"make", "-o", out, testPicture("astronaut.png")}, m_folder->path());
    QVERIFY2(run.status == 2, qPrintable(describe(run)));
    QVERIFY2(run.err.startsWith("facemask-cli make: " + message.toUtf8() + '\n'), qPrintable(describe(run)));
    QCOMPARE(QDir(pathOf("pk")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
    QCOMPARE(QDir(m_folder->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), before);
}

void tst_FacemaskCli::existingPackageIsKeptWithoutForce()
{
    const QString package = pathOf("taken.pmk");
    QFile earlier(package);
    QVERIFY(earlier.open(QIODevice::WriteOnly) && earlier.write("an earlier file") > 0);
    earlier.close();
    const QString picture = testPicture("astronaut.png");

    const Run refused = runCli({"make", "-o", package, picture});
    QVERIFY2(refused.status == 1, qPrintable(describe(refused)));
    QVERIFY2(refused.err.contains("exists"), qPrintable(describe(refused)));
    QCOMPARE(lastLine(refused.err), QStringLiteral("0 packages written, 1 failed"));
    QVERIFY(earlier.open(QIODevice::ReadOnly));
    QCOMPARE(earlier.readAll(), QByteArray("an earlier file"));
    earlier.close();

    const Run forced = runCli({"make", "--force", "-o", package, picture});
    QVERIFY2(forced.status == 0, qPrintable(describe(forced)));
    const Run info = runCli({"info", package});
    QVERIFY2(info.status == 0, qPrintable(describe(info)));
}

void tst_FacemaskCli::picturesOfOneBaseNameDoNotOverwriteEachOther()
{
    QVERIFY(QDir().mkpath(pathOf("a")) && QDir().mkpath(pathOf("b")));
    QVERIFY(QFile::copy(testPicture("astronaut.png"), pathOf("a/face.png")));
    QVERIFY(QFile::copy(testPicture("chelsea.png"), pathOf("b/face.png")));
    for (const char* force : {"--jobs=2", "--force"}) {
        const Run run = runCli({"make", force, "--out-dir", pathOf("out"), pathOf("a/face.png"),
                                pathOf("b/face.png")});
        QVERIFY2(run.status == 1, qPrintable(describe(run)));
        QCOMPARE(lastLine(run.err), QStringLiteral("1 package written, 1 failed"));
        const Run info = runCli({"info", "--json", pathOf("out/face.pmk")});
        QCOMPARE(parseArray(info.out).at(0).toObject().value("imageSize").toArray(), (QJsonArray{512, 512}));
        QVERIFY(QFile::remove(pathOf("out/face.pmk")));
    }
}

void tst_FacemaskCli::laterPictureOfANameMakesThePackageTheEarlierFailed_data()
{
    QTest::addColumn<QStringList>("pictures");  // in folders 0/, 1/, ... as face.png; "" a damaged one
    QTest::addColumn<int>("maker");             // the picture whose package is written
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QString>("summary");
    QTest::newRow("first damaged") << QStringList{"", "astronaut.png"} << 1 << QSize(512, 512)
                                   << "1 package written, 1 failed";
    QTest::newRow("two damaged, then one") << QStringList{"", "", "astronaut.png"} << 2 << QSize(512, 512)
                                           << "1 package written, 2 failed";
    QTest::newRow("first damaged, the third kept out")
        << QStringList{"", "Tom_Cruise_avp_2014_4.jpg", "astronaut.png"} << 1 << QSize(565, 800)
        << "1 package written, 2 failed";
    QTest::newRow("first written") << QStringList{"astronaut.png", "", "Tom_Cruise_avp_2014_4.jpg"} << 0
                                   << QSize(512, 512) << "1 package written, 2 failed";
}

// A picture that fails leaves its package name to the next picture of that name.
void tst_FacemaskCli::laterPictureOfANameMakesThePackageTheEarlierFailed()
{
    QFETCH(QStringList, pictures);
    QFETCH(int, maker);
    QFETCH(QSize, size);
    QFETCH(QString, summary);
    QStringList arguments{"make", "--jobs=2", "--out-dir", pathOf("out")};
    for (int i = 0; i < pictures.size(); ++i) {
        const QString path = pathOf(QStringLiteral("%1/face.png").arg(i));
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        if (pictures[i].isEmpty()) {
            QFile damaged(path);
            QVERIFY(damaged.open(QIODevice::WriteOnly));
            damaged.write("\x89PNG\r\n\x1a\n cut short");
        } else {
            QVERIFY(QFile::copy(testPicture(qPrintable(pictures[i])), path));
        }
        arguments << path;
    }
    const Run run = runCli(arguments);
    QVERIFY2(run.status == 1, qPrintable(describe(run)));
    QCOMPARE(lastLine(run.err), summary);
    const QString made = pathOf(QStringLiteral("%1/face.png").arg(maker));
    QVERIFY2(run.err.contains(made.toUtf8() + " -> " + pathOf("out/face.pmk").toUtf8()), qPrintable(describe(run)));
    // Every other picture is told once why not; a later one names the picture that made the package.
    for (int i = 0; i < pictures.size(); ++i) {
        const QByteArray line = pathOf(QStringLiteral("%1/face.png: failed: ").arg(i)).toUtf8();
        QCOMPARE(run.err.count(line), i == maker ? 0 : 1);
        if (i > maker) {
            QVERIFY2(run.err.contains(line + pathOf("out/face.pmk").toUtf8() + " is the package of " + made.toUtf8()
                                      + " already"),
                     qPrintable(describe(run)));
        }
    }
    const Run info = runCli({"info", "--json", pathOf("out/face.pmk")});
    const QJsonObject package = parseArray(info.out).at(0).toObject();
    QCOMPARE(package.value("imageSize").toArray(), (QJsonArray{size.width(), size.height()}));
}

void tst_FacemaskCli::lineModeReportsEveryFile()
{
    const QStringList pictures{testPicture("astronaut.png"), pathOf("missing.png"), testPicture("chelsea.png")};
    const Run run = runCli(QStringList{"make", "--out-dir", pathOf("out")} + pictures);
    QVERIFY2(run.status == 1, qPrintable(describe(run)));
    QVERIFY(run.out.isEmpty());
    const QStringList lines = QString::fromUtf8(run.err).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 4);
    QVERIFY(!run.err.contains('\r'));
    QVERIFY(lines.contains(pictures[0] + " -> " + pathOf("out/astronaut.pmk") + " (1 face)"));
    QVERIFY(lines.contains(pictures[1] + ": failed: no such file"));
    QVERIFY(lines.contains(pictures[2] + " -> " + pathOf("out/chelsea.pmk") + " (0 faces)"));
    QCOMPARE(lines.last(),
             QStringLiteral("2 packages written, 1 of them from a template (no face found), 1 failed"));
}

void tst_FacemaskCli::outDirIsMadeForPackagesOnly_data()
{
    QTest::addColumn<QStringList>("pictures");  // in the test photos, or missing
    QTest::addColumn<QString>("outDir");        // in the test's folder, where "file" is a file
    QTest::addColumn<QString>("left");          // the folder the run leaves; empty: none
    QTest::addColumn<QString>("message");       // a piece of stderr

    QTest::newRow("every picture fails") << QStringList{"missing.png"} << "new/deeper" << ""
                                         << "0 packages written, 1 failed";
    QTest::newRow("one package written") << QStringList{"astronaut.png", "missing.png"} << "new/deeper"
                                         << "new/deeper" << "1 package written, 1 failed";
    QTest::newRow("under a file") << QStringList{"astronaut.png"} << "file/sub" << ""
                                  << "cannot make the folder %1/file/sub: Not a directory";
}

// make --out-dir makes the folders it is given only to hold packages: a run that writes none
// leaves none behind, and one that cannot make them says why.
void tst_FacemaskCli::outDirIsMadeForPackagesOnly()
{
    QFETCH(QStringList, pictures);
    QFETCH(QString, outDir);
    QFETCH(QString, left);
    QFETCH(QString, message);
    QFile file(pathOf("file"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("a file, not a folder\n") > 0);
    file.close();
    QStringList arguments{"make", "--out-dir", pathOf(outDir)};
    for (const QString& picture : pictures) {
        arguments << (picture.startsWith(QLatin1String("missing")) ? pathOf(picture) : testPicture(qPrintable(picture)));
    }
    const Run run = runCli(arguments);
    QVERIFY2(run.status == 1, qPrintable(describe(run)));
    QVERIFY2(run.err.contains(message.arg(m_folder->path()).toUtf8()), qPrintable(describe(run)));
    QCOMPARE(QFileInfo::exists(pathOf("new")), !left.isEmpty());
    if (!left.isEmpty()) {
        QVERIFY(QFileInfo(pathOf(left)).isDir());
    }
}

void tst_FacemaskCli::terminalShowsAProgressBar()
{
    if (QStandardPaths::findExecutable("script").isEmpty()) {
        QSKIP("script(1) is needed to give the program a terminal");
    }
    const QStringList pictures{testPicture("astronaut.png"), pathOf("missing.png"), testPicture("camera.png")};
    QStringList command{QStringLiteral(FACEMASK_CLI_PROGRAM), "make", "--out-dir", pathOf("out")};
    command += pictures;
    for (QString& word : command) {
        word = "'" + word + "'";
    }
    QProcess process;
    process.start("script", {"-qec", command.join(' '), "/dev/null"});
    QVERIFY(process.waitForFinished(processTimeoutMs));
    const QByteArray screen = process.readAllStandardOutput();
    QCOMPARE(process.exitCode(), 1);
    QVERIFY2(screen.contains("\r\033[K[>"), screen.constData());
    QVERIFY2(screen.contains(" 0/3  "), screen.constData());
    QVERIFY2(screen.contains(" 2/3"), screen.constData());
    QVERIFY2(screen.contains("3/3, 1 from a template  "), screen.constData());
    QVERIFY2(screen.contains("left"), screen.constData());
    QVERIFY2(screen.contains(pictures[1].toUtf8() + ": failed: no such file"), screen.constData());
    QVERIFY2(screen.contains("\r\033[K2 packages written, 1 of them from a template (no face found), 1 failed"),
             screen.constData());
    // Successes show in the bar only, but a template is told above it.
    QVERIFY2(!screen.contains(pictures[0].toUtf8() + " -> "), screen.constData());
    QVERIFY2(screen.contains(pictures[2].toUtf8() + " -> " + pathOf("out/camera.pmk").toUtf8() + " (0 faces)"),
             screen.constData());
}

void tst_FacemaskCli::infoGivesTheLoadersReason_data()
{
    QTest::addColumn<Members>("members");
    QTest::addColumn<Damage>("damage");
    QTest::addColumn<QString>("damaged");
    QTest::addColumn<QString>("reason");  // empty: accepted

    const QByteArray properties = propertiesText();
    const QByteArray effect = effectText(75);
    const Members valid = package(properties, effect);
    auto row = [](const char* tag, const Members& members, const QString& reason,
                  Damage damage = Damage::None, const QString& damaged = QString()) {
        QTest::newRow(tag) << members << damage << damaged << reason;
    };
    row("valid-package", valid, QString());
    row("effect-json-missing", without(valid, "effect.json"), "member effect.json missing");
    row("68-pivots", package(properties, effectText(68)),
        "properties.json: mask_pivots has 68 elements, at least 75 needed");
    row("effect-json-not-json", package("this is not JSON {", effect), "effect.json: not JSON");
    row("author-missing", package(propertiesText({}, {"author"}), effect), "effect.json: author missing");
    row("picture-text", package(properties, effect, "images/main/image.png", "no picture at all"),
        "picture: not PNG or JPEG");
    row("picture-declaring-10-gigapixels",
        package(properties, effect, "images/main/image.png", pngDeclaring(100000, 100000)),
        "picture larger than 120 megapixels");
    row("crc-mismatch-in-picture", valid, "CRC or size mismatch in images/main/image.png",
        Damage::WrongCrc, "images/main/image.png");
}

void tst_FacemaskCli::infoGivesTheLoadersReason()
{
    QFETCH(Members, members);
    QFETCH(Damage, damage);
    QFETCH(QString, damaged);
    QFETCH(QString, reason);
    const QString package = pathOf("damaged.pmk");
    QVERIFY(writeArchive(package, members));
    if (damage != Damage::None) {
        QVERIFY(patchMember(package, damaged, damage));
    }
    QCOMPARE(core::FaceMaskProject().loadWithReason(package).reason, reason);

    const Run json = runCli({"info", "--json", package});
    QVERIFY2(json.status == (reason.isEmpty() ? 0 : 1), qPrintable(describe(json)));
    const QJsonObject object = parseArray(json.out).at(0).toObject();
    QCOMPARE(object.value("ok").toBool(), reason.isEmpty());
    QCOMPARE(object.value("reason").toString(), reason);
    QCOMPARE(object.value("name").isNull(), !reason.isEmpty());

    const Run text = runCli({"info", package, testPicture("astronaut.png")});
    QCOMPARE(text.status, 1);  // a picture is no package
    const QStringList lines = QString::fromUtf8(text.out).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.first(), reason.isEmpty() ? package : package + ": refused: " + reason);
    QCOMPARE(lines.last(), testPicture("astronaut.png") + ": refused: not a ZIP archive");
}

void tst_FacemaskCli::pointsJsonSaysWhyAPackageIsRefused_data()
{
    QTest::addColumn<QString>("kind");    // what is under the name given
    QTest::addColumn<QString>("reason");  // the loader's, or the intake's
    QTest::newRow("missing") << "missing" << "no such file";
    QTest::newRow("folder") << "folder" << "is a folder";
    QTest::newRow("empty-file") << "empty" << "not a ZIP archive";
    QTest::newRow("picture") << "picture" << "not a ZIP archive";
    QTest::newRow("effect-json-missing") << "damaged" << "member effect.json missing";
}

// points --json of a package it refuses prints the one array --json promises, holding the file
// and why, as detect --json tells a picture it cannot read; the message on stderr and the exit
// status stay.
void tst_FacemaskCli::pointsJsonSaysWhyAPackageIsRefused()
{
    QFETCH(QString, kind);
    QFETCH(QString, reason);
    const QString given = pathOf(QStringLiteral("given.pmk"));
    if (kind == QLatin1String("folder")) {
        QVERIFY(QDir().mkdir(given));
    } else if (kind == QLatin1String("empty")) {
        QFile empty(given);
        QVERIFY(empty.open(QIODevice::WriteOnly));
    } else if (kind == QLatin1String("picture")) {
        QVERIFY(QFile::copy(testPicture("astronaut.png"), given));
    } else if (kind == QLatin1String("damaged")) {
        QVERIFY(writeArchive(given, without(package(propertiesText(), effectText(75)), "effect.json")));
    }
    const Run run = runCli({"points", "--json", given});
    QVERIFY2(run.status == 1, qPrintable(describe(run)));
    QVERIFY2(run.err.startsWith(("facemask-cli points: " + given + ": refused: " + reason).toUtf8()),
             qPrintable(describe(run)));
    const QJsonArray all = parseArray(run.out);
    QVERIFY2(all.size() == 1, qPrintable(describe(run)));
    const QJsonObject expected{{"file", given}, {"error", "refused: " + reason}};
    QCOMPARE(all.at(0).toObject(), expected);
}

void tst_FacemaskCli::packageGivenForAPictureIsSaidToBeOne_data()
{
    QTest::addColumn<QStringList>("arguments");  // INPUT: the file below
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("contents");       // package, damaged (no effect.json) or zip (no package)
    QTest::addColumn<QString>("message");        // a line on stderr
    const QString said = QStringLiteral("not a picture but a package (facemask-cli info and points read packages)");
    const QString face = testPicture("astronaut.png");
    QTest::newRow("detect") << QStringList{"detect", "INPUT"} << "mask.pmk" << "package"
                            << "facemask-cli detect: mask.pmk: " + said;
    QTest::newRow("detect-of-a-package-named-otherwise") << QStringList{"detect", "INPUT"} << "mask.bin" << "package"
                                                         << "facemask-cli detect: mask.bin: " + said;
    QTest::newRow("detect-of-a-damaged-package") << QStringList{"detect", "INPUT"} << "mask.PMK" << "damaged"
                                                 << "facemask-cli detect: mask.PMK: " + said;
    QTest::newRow("make") << QStringList{"make", "INPUT", "-o", "again.pmk"} << "mask.pmk" << "package"
                          << "mask.pmk: failed: " + said;
    QTest::newRow("preview-of-two-packages") << QStringList{"preview", "PACKAGE", "INPUT", "-o", "out.png"} << "mask.pmk"
                                             << "package" << "facemask-cli preview: mask.pmk: " + said;
    // An archive of another kind is no package.
    QTest::newRow("detect-of-another-archive") << QStringList{"detect", "INPUT"} << "other.zip" << "zip"
                                               << "facemask-cli detect: other.zip: not a picture in a format that can be read";
}

// A package given to a command that reads pictures is said to be a package, and which commands
// read packages, where it was said to be no picture that can be read, as a damaged file is.
void tst_FacemaskCli::packageGivenForAPictureIsSaidToBeOne()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, name);
    QFETCH(QString, contents);
    QFETCH(QString, message);
    const Members valid = package(propertiesText(), effectText(75));
    const Members members = contents == QLatin1String("package") ? valid
        : contents == QLatin1String("damaged")                   ? without(valid, "effect.json")
                                                                 : Members{{QStringLiteral("notes.txt"), QByteArray("notes")}};
    QVERIFY(writeArchive(pathOf(name), members));
    QVERIFY(writeArchive(pathOf(QStringLiteral("first.pmk")), valid));
    arguments.replaceInStrings(QStringLiteral("INPUT"), name);
    arguments.replaceInStrings(QStringLiteral("PACKAGE"), QStringLiteral("first.pmk"));
    const Run run = runCli(arguments, m_folder->path());
    QVERIFY2(run.status == 1, qPrintable(describe(run)));
    QVERIFY2(run.err.split('\n').contains(message.toUtf8()), qPrintable(describe(run)));
    QVERIFY(!QFile::exists(pathOf(QStringLiteral("again.pmk"))) && !QFile::exists(pathOf(QStringLiteral("out.png"))));
}

void tst_FacemaskCli::pictureGivenForAPackageIsSaidToBeOne_data()
{
    QTest::addColumn<QStringList>("arguments");  // FACE: a copy of a test photo
    QTest::addColumn<QString>("message");        // a line on stderr
    const QString picture = QStringLiteral(": refused: not a ZIP archive (a picture: facemask-cli make makes a package of it)");
    QTest::newRow("points") << QStringList{"points", "face.jpg"} << "facemask-cli points: face.jpg" + picture;
    QTest::newRow("points-json") << QStringList{"points", "--json", "face.jpg"} << "facemask-cli points: face.jpg" + picture;
    QTest::newRow("thumbnail") << QStringList{"thumbnail", "face.jpg", "out.png"}
                               << "facemask-cli thumbnail: face.jpg" + picture;
    QTest::newRow("preview-of-two-pictures") << QStringList{"preview", "face.jpg", "face.jpg", "-o", "out.png"}
                                             << "facemask-cli preview: face.jpg" + picture;
    QTest::newRow("points-of-a-video") << QStringList{"points", "clip.mp4"}
                                       << "facemask-cli points: clip.mp4: refused: not a ZIP archive (a video: "
                                          "facemask-cli preview PACKAGE VIDEO -o DIR draws a package's mask on it)";
    // Neither: the loader's reason alone.
    QTest::newRow("points-of-a-text") << QStringList{"points", "notes.txt"}
                                      << "facemask-cli points: notes.txt: refused: not a ZIP archive";
    QTest::newRow("points-of-a-missing-video") << QStringList{"points", "missing.mp4"}
                                               << "facemask-cli points: missing.mp4: refused: no such file";
}

// A picture or a video given to a command that reads packages is said to be one, with the
// command that takes it, where only the loader's "not a ZIP archive" was said.
void tst_FacemaskCli::pictureGivenForAPackageIsSaidToBeOne()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    QVERIFY(QFile::copy(testPicture("Tom_Cruise_avp_2014_4.jpg"), pathOf(QStringLiteral("face.jpg"))));
    QFile video(pathOf(QStringLiteral("clip.mp4")));
    QVERIFY(video.open(QIODevice::WriteOnly) && video.write(QByteArray(64, 'v')) == 64);
    video.close();
    QFile notes(pathOf(QStringLiteral("notes.txt")));
    QVERIFY(notes.open(QIODevice::WriteOnly) && notes.write("notes\n") == 6);
    notes.close();
    const Run run = runCli(arguments, m_folder->path());
    QVERIFY2(run.status == 1, qPrintable(describe(run)));
    QVERIFY2(run.err.split('\n').contains(message.toUtf8()), qPrintable(describe(run)));
    QVERIFY(!QFile::exists(pathOf(QStringLiteral("out.png"))));
}

QTEST_GUILESS_MAIN(tst_FacemaskCli)
#include "tst_facemaskcli.moc"
