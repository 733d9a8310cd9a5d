#include "core/facemaskproject.h"
#include "tests/support/processlimit.h"
#include "tests/support/sanitizer.h"
#include "tests/support/testimages.h"
#include "core/facialpoints.h"
#include "core/packageformat.h"
#include "tests/support/descriptorlimit.h"
#include "tests/support/filesizelimit.h"
#include "tests/support/injectedfault.h"
#include "tests/support/packagefixtures.h"
#include "pythonjson.h"
#include "zip/ziparchive.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QImageReader>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QSemaphore>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent>
#include <QtEndian>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <chrono>
#include <cstring>
#include <csignal>
#include <future>
#include <new>
#include <optional>
#include <thread>

#include <sys/resource.h>

using core::FaceMaskProject;
using core::FacialPoints;
using core::FacialPointVector;
using namespace pythonjson;
using namespace packagefixtures;


class tst_FaceMaskProject : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void freshProjectHasDefaults();
    void settersStoreUnchecked();
    void roundTripKeepsEverything_data();
    void roundTripKeepsEverything();
    void membersAreWrittenInOrder();
    void picturesAreEncodedAsDeclared();
    void thumbnailsAreTheLetterBoxedPicture_data();
    void thumbnailsAreTheLetterBoxedPicture();
    void saveFinishesWhileThePoolIsBusy();
    void documentsReadByPython();
    void pivotsReadByPythonBitForBit();
    void loadedAuthorAndSubcategoryAreSavedAgain();
    void textsInLatin1AreShownAndSavedAsStored();
    void unknownEffectTypeSavesNoFlag();
    void savingTwiceOverwrites();
    void namesUpToTheLimitAreSaved_data();
    void namesUpToTheLimitAreSaved();
    void saveWithoutPictureLeavesNoFile();
    void failedSaveKeepsEarlierPackage();
    void saveFailingMidwayKeepsEarlierPackage();
    void saveReadBackFromAFailingDisk_data();
    void saveReadBackFromAFailingDisk();
    void saveReadBackNeedsNoCopyOfThePackage();
    void saveThatWouldNotReopenFails_data();
    void saveThatWouldNotReopenFails();
    void saveThroughLinkReplacesLinkedFile_data();
    void saveThroughLinkReplacesLinkedFile();
    void saveIntoMissingFolderCreatesNothing();
    void newPackageFollowsTheUmask_data();
    void newPackageFollowsTheUmask();
    void saveBelowRegularFileFails();
    void saveOntoFolderLeavesNoPartialFile();
    void saveChangesNothingInTheProject();
    void loadSignalsPictureBeforePoints();
    void loadDecidesOnEachPackage_data();
    void loadDecidesOnEachPackage();
    void otherProgramsFilesAreNamed_data();
    void otherProgramsFilesAreNamed();
    void loadRefusesWhatIsNoArchive_data();
    void loadRefusesWhatIsNoArchive();
    void readingAPipeIsRefusedWithoutWaiting();
    void runningOutOfDescriptorsIsSaid_data();
    void runningOutOfDescriptorsIsSaid();
    void loadSaysWhichCheckFailed_data();
    void loadSaysWhichCheckFailed();
    void loadNamesWhatTheArchiveGetsWrong_data();
    void loadNamesWhatTheArchiveGetsWrong();
    void failingDiskIsNoDamage_data();
    void failingDiskIsNoDamage();
    void noSingleFailedReadIsCalledDamage();
    void snapshotSharesThePicture();
    void snapshotRoundTripsThroughPackage();
    void snapshotIsUnaffectedByEditsDuringSave();
    void progressRisesToHundred();
    void cancelledSaveKeepsEarlierPackage_data();
    void cancelledSaveKeepsEarlierPackage();
    void cancelledReadChangesNothing_data();
    void cancelledReadChangesNothing();

private:
    QString pathOf(const QString& name) const { return m_folder->filePath(name); }
    QStringList entriesOfFolder() const;

    std::unique_ptr<QTemporaryDir> m_folder;
    core::package::DateSource m_previousClock = nullptr;
};

namespace {

QDate fifthOfMarch2020()
{
    return QDate(2020, 3, 5);
}


using testimages::encoded;

// 75 or more points whose coordinates do not survive a careless text conversion.
FacialPointVector awkwardPoints(int count = 75)
{
    FacialPointVector points{{0.1, 1.0 / 3.0},
                             {5e-324, 0.999999999999999},
                             {-0.0, 1.0},
                             {2.0 / 3.0, std::nextafter(1.0, 0.0)},
                             {0.30000000000000004, 1e-17}};
    for (int i = int(points.size()); i < count; ++i) {
        points.emplace_back(std::sqrt(double(i)) / 10.0, 1.0 / (i + 7));
    }
    return points;
}

QString bits(const FacialPointVector& points)
{
    QStringList all;
    for (const FacialPoint& point : points) {
        all << bitsOf(point.x()) + "," + bitsOf(point.y());
    }
    return all.join(' ');
}

bool samePixels(const QImage& a, const QImage& b)
{
    return a.convertToFormat(QImage::Format_RGB32) == b.convertToFormat(QImage::Format_RGB32);
}


QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}


qint64 peakResidentKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

struct Snapshot {
    QString name;
    QString subcategory;
    QString author;
    int effectType;
    qint64 pictureKey;
    QString points;
};

Snapshot snapshotOf(const FaceMaskProject& project)
{
    return {project.name(), project.subcategory(), project.author(), project.effectType(),
            project.facialPoints()->image().cacheKey(), bits(project.facialPoints()->points())};
}

bool operator==(const Snapshot& a, const Snapshot& b)
{
    return a.name == b.name && a.subcategory == b.subcategory && a.author == b.author
        && a.effectType == b.effectType && a.pictureKey == b.pictureKey && a.points == b.points;
}

void fillProject(FaceMaskProject& project, const QString& name, int effectType)
{
    project.setName(name);
    project.setEffectType(effectType);
    project.facialPoints()->setImage(gradientPicture(64, 48));
    project.facialPoints()->setPoints(awkwardPoints());
}


// The largest difference of any channel between two pictures of the same size.
int largestDifference(const QImage& a, const QImage& b)
{
    const QImage first = a.convertToFormat(QImage::Format_ARGB32);
    const QImage second = b.convertToFormat(QImage::Format_ARGB32);
    int largest = 0;
    for (int y = 0; y < first.height(); ++y) {
        for (int x = 0; x < first.width(); ++x) {
            const QRgb p = first.pixel(x, y);
            const QRgb q = second.pixel(x, y);
            largest = std::max({largest, std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                                std::abs(qBlue(p) - qBlue(q)), std::abs(qAlpha(p) - qAlpha(q))});
        }
    }
    return largest;
}

} // namespace

void tst_FaceMaskProject::init()
{
    m_folder = std::make_unique<QTemporaryDir>();
    QVERIFY(m_folder->isValid());
    m_previousClock = core::package::setDateSource(&fifthOfMarch2020);
}

void tst_FaceMaskProject::cleanup()
{
    core::package::setDateSource(m_previousClock);
    m_folder.reset();
}

QStringList tst_FaceMaskProject::entriesOfFolder() const
{
    return QDir(m_folder->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                                            QDir::Name);
}

void tst_FaceMaskProject::freshProjectHasDefaults()
{
    const FaceMaskProject project;
    QCOMPARE(project.effectType(), 0);
    QCOMPARE(project.name(), QString());
    QCOMPARE(project.subcategory(), QStringLiteral("Face Masks"));
    QCOMPARE(project.author(), QStringLiteral("Pellora"));
    QVERIFY2(project.facialPoints() != nullptr, "the project owns its model");
    QCOMPARE(project.facialPoints(), project.facialPoints());
    QVERIFY(project.facialPoints()->image().isNull());
    QCOMPARE(project.facialPoints()->count(), 0);
}

void tst_FaceMaskProject::settersStoreUnchecked()
{
    FaceMaskProject project;
    project.setName(QStringLiteral("Tiger"));
    project.setEffectType(5);
    QCOMPARE(project.name(), QStringLiteral("Tiger"));
    QCOMPARE(project.effectType(), 5);
}

void tst_FaceMaskProject::roundTripKeepsEverything_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("effectType");
    QTest::addColumn<int>("pointCount");
    QTest::addColumn<QString>("fileName");
    QTest::newRow("face-only-plain-name") << "Tiger" << 0 << 75 << "round.pmk";
    QTest::newRow("whole-image-unicode-name") << QStringLiteral("Kr\u00f6te \u732b \U0001F438") << 1 << 75
                                              << "round.pmk";
    QTest::newRow("full-frame-empty-name-more-points") << QString() << 2 << 90 << "round.pmk";
    QTest::newRow("file-name-with-spaces-and-letters-beyond-ascii")
        << "Tiger" << 1 << 75 << QStringLiteral("Masque \u00e9t\u00e9 \u0451\u0436.pmk");
}

void tst_FaceMaskProject::roundTripKeepsEverything()
{
    QFETCH(QString, name);
    QFETCH(int, effectType);
    QFETCH(int, pointCount);
    QFETCH(QString, fileName);

    FaceMaskProject original;
    fillProject(original, name, effectType);
    original.facialPoints()->setPoints(awkwardPoints(pointCount));
    const QString path = pathOf(fileName);
    QVERIFY2(original.save(path), "saving a complete project must succeed");

    FaceMaskProject loaded;
    QVERIFY2(loaded.load(path), "a package we saved must load");
    QCOMPARE(loaded.name(), name);
    QCOMPARE(loaded.effectType(), effectType);
    QCOMPARE(loaded.author(), QStringLiteral("Pellora"));
    QCOMPARE(loaded.subcategory(), QStringLiteral("Face Masks"));
    QCOMPARE(bits(loaded.facialPoints()->points()), bits(awkwardPoints(pointCount)));
    QVERIFY2(samePixels(loaded.facialPoints()->image(), original.facialPoints()->image()),
             "the picture is stored losslessly");
}

void tst_FaceMaskProject::membersAreWrittenInOrder()
{
    FaceMaskProject project;
    fillProject(project, "Order", 1);
    const QString path = pathOf("order.pmk");
    QVERIFY(project.save(path));

    const QJsonValue archive = describeArchive(path);
    QVERIFY2(archive.isObject(), "Python's zipfile must open the package");
    QCOMPARE(archive.toObject().value("names").toVariant().toStringList(),
             (QStringList{"effect.json", "properties.json", "images/main/image.png",
                          "images/thumbnail/small.jpg", "images/thumbnail/medium.jpg",
                          "images/thumbnail/large.jpg"}));
    QVERIFY2(archive.toObject().value("bad").isNull(), "every member must pass its CRC check in Python");

    QProcess unzip;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("LD_PRELOAD"));
    unzip.setProcessEnvironment(environment);
    unzip.start("unzip", {"-t", "-q", path});
    QVERIFY(unzip.waitForFinished(60000));
    QVERIFY2(unzip.exitCode() == 0, unzip.readAllStandardOutput().constData());
}

void tst_FaceMaskProject::picturesAreEncodedAsDeclared()
{
    FaceMaskProject project;
    fillProject(project, "Pictures", 0);
    const QString path = pathOf("pictures.pmk");
    QVERIFY(project.save(path));

    const struct {
        const char* member;
        QByteArray format;
        QSize size;
    } expected[] = {{"images/main/image.png", "png", {64, 48}},
                    {"images/thumbnail/small.jpg", "jpeg", {320, 240}},
                    {"images/thumbnail/medium.jpg", "jpeg", {100, 75}},
                    {"images/thumbnail/large.jpg", "jpeg", {320, 240}}};
    for (const auto& row : expected) {
        QByteArray bytes = extractMember(path, row.member);
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer);
        reader.setDecideFormatFromContent(true);
        QCOMPARE(reader.format(), row.format);
        QCOMPARE(reader.size(), row.size);
    }
    QVERIFY2(samePixels(QImage::fromData(extractMember(path, "images/main/image.png")),
                        project.facialPoints()->image()),
             "the main picture is the model's picture unchanged");
}

void tst_FaceMaskProject::thumbnailsAreTheLetterBoxedPicture_data()
{
    QTest::addColumn<QImage>("picture");
    const QImage landscape(QStringLiteral(FACEMASK_TEST_DATA_DIR "/faces/bald_guys.jpg"));
    const QImage portrait(QStringLiteral(FACEMASK_TEST_DATA_DIR "/faces/Tom_Cruise_avp_2014_4.jpg"));
    QVERIFY(!landscape.isNull() && !portrait.isNull());
    QTest::newRow("photo-landscape") << landscape;
    QTest::newRow("photo-portrait") << portrait;
    QTest::newRow("photo-4000x3000") << landscape.scaled(4000, 3000, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QTest::newRow("smaller-than-the-thumbnail") << landscape.scaled(90, 40);
    QTest::newRow("grey") << portrait.convertToFormat(QImage::Format_Grayscale8);
}

// Each thumbnail is the picture letter-boxed into its size and drawn smoothly, as a package has
// always held it; measured against that drawing, JPEG and all.
void tst_FaceMaskProject::thumbnailsAreTheLetterBoxedPicture()
{
    QFETCH(QImage, picture);
    using namespace core::package;
    FaceMaskProject project;
    project.facialPoints()->setImage(picture);
    project.facialPoints()->setPoints(awkwardPoints());
    const QString path = pathOf("thumbnails.pmk");
    QVERIFY(project.save(path));

    const QPair<const char*, QSize> thumbnails[] = {{smallThumbnailMember, smallThumbnailSize},
                                                    {mediumThumbnailMember, mediumThumbnailSize},
                                                    {largeThumbnailMember, largeThumbnailSize}};
    for (const auto& [member, size] : thumbnails) {
        const QImage stored = QImage::fromData(extractMember(path, QLatin1String(member)), "jpg");
        const QImage drawn = QImage::fromData(encoded(makeThumbnail(picture, size), "jpg"), "jpg");
        QCOMPARE(stored.size(), size);
        const int difference = largestDifference(stored, drawn);
        qInfo("%s: at most %d grey levels from the picture drawn into it", member, difference);
        QVERIFY2(difference <= 3, member);
    }
}

// A batch saves on every thread of the global pool: a save must not wait for a pool thread.
void tst_FaceMaskProject::saveFinishesWhileThePoolIsBusy()
{
    QThreadPool* pool = QThreadPool::globalInstance();
    QSemaphore release;
    QSemaphore started;
    for (int i = 0; i < pool->maxThreadCount(); ++i) {
        pool->start([&] {
            started.release();
            release.acquire();
        });
    }
    QVERIFY(started.tryAcquire(pool->maxThreadCount(), 30000));

    FaceMaskProject project;
    fillProject(project, "Busy", 0);
    std::atomic<int> saved{-1};
    std::thread saving([&] { saved = project.save(pathOf("busy.pmk")) ? 1 : 0; });
    // Whatever happens, the pool is let go and the save ends before the test does.
    const auto unblock = qScopeGuard([&] {
        release.release(pool->maxThreadCount());
        saving.join();
        pool->waitForDone();
    });
    QTRY_VERIFY_WITH_TIMEOUT(saved != -1, 60000);
    QCOMPARE(saved.load(), 1);
}

void tst_FaceMaskProject::documentsReadByPython()
{
    FaceMaskProject project;
    fillProject(project, QStringLiteral("M\u00e4dchen"), 2);
    const QString path = pathOf("documents.pmk");
    QVERIFY(project.save(path));

    const QJsonValue properties = describeMember(path, "effect.json");
    QCOMPARE(keysOf(properties), (QStringList{"author", "category", "name", "subcategory", "time",
                                              "type", "version"}));
    const QList<QPair<QString, QString>> values{{"author", "Pellora"},
                                                {"category", "Face Masks"},
                                                {"name", QStringLiteral("M\u00e4dchen")},
                                                {"subcategory", "Face Masks"},
                                                {"time", "03.05.2020"},
                                                {"type", "face_modifications"},
                                                {"version", "2"}};
    for (const auto& value : values) {
        QCOMPARE(typeOf(member(properties, value.first)), QStringLiteral("str"));
        QCOMPARE(stringOf(member(properties, value.first)), value.second);
    }

    const QJsonValue effect = describeMember(path, "properties.json");
    QCOMPARE(keysOf(effect), (QStringList{"face_mask_data", "stretch_extra_rect_on_whole_frame"}));
    QCOMPARE(member(effect, "stretch_extra_rect_on_whole_frame").toObject().value("bool"), QJsonValue(true));
    const QJsonValue data = member(effect, "face_mask_data");
    QCOMPARE(keysOf(data), (QStringList{"face_mask_image_format", "face_mask_image_path", "mask_data"}));
    QCOMPARE(stringOf(member(data, "face_mask_image_format")), QStringLiteral("png"));
    QCOMPARE(stringOf(member(data, "face_mask_image_path")), QStringLiteral("images/main/image.png"));
    QCOMPARE(keysOf(member(data, "mask_data")), QStringList{"mask_pivots"});
}

void tst_FaceMaskProject::pivotsReadByPythonBitForBit()
{
    FaceMaskProject project;
    fillProject(project, "Pivots", 0);
    const QString path = pathOf("pivots.pmk");
    QVERIFY(project.save(path));

    const QJsonArray pivots = elements(member(
        member(member(describeMember(path, "properties.json"), "face_mask_data"), "mask_data"),
        "mask_pivots"));
    const FacialPointVector points = awkwardPoints();
    QCOMPARE(pivots.size(), int(points.size()));
    for (int i = 0; i < pivots.size(); ++i) {
        QCOMPARE(keysOf(pivots[i]), (QStringList{"x", "y"}));
        QCOMPARE(floatBitsOf(member(pivots[i], "x")), bitsOf(points[size_t(i)].x()));
        QCOMPARE(floatBitsOf(member(pivots[i], "y")), bitsOf(points[size_t(i)].y()));
    }
}

void tst_FaceMaskProject::loadedAuthorAndSubcategoryAreSavedAgain()
{
    const QString handMade = pathOf("handmade.pmk");
    QVERIFY(writeArchive(handMade, package(propertiesText(), effectText(75))));
    FaceMaskProject project;
    QVERIFY(project.load(handMade));
    QCOMPARE(project.author(), QStringLiteral("Someone Else"));
    QCOMPARE(project.subcategory(), QStringLiteral("Hats"));

    const QString saved = pathOf("saved.pmk");
    QVERIFY(project.save(saved));
    const QJsonValue properties = describeMember(saved, "effect.json");
    QCOMPARE(stringOf(member(properties, "author")), QStringLiteral("Someone Else"));
    QCOMPARE(stringOf(member(properties, "subcategory")), QStringLiteral("Hats"));
    QCOMPARE(stringOf(member(properties, "name")), QStringLiteral("Hand made"));
}

// Another tool wrote the texts in Latin-1, which is no UTF-8: they show as that tool meant, and a
// save writes back the bytes it found, until a text is changed.
void tst_FaceMaskProject::textsInLatin1AreShownAndSavedAsStored()
{
    QByteArray properties = propertiesText({{"name", "NAME"}, {"author", "AUTHOR"}, {"subcategory", "SUB"}});
    properties.replace("NAME", "caf\xe9 \\\"\\\\x\\\"").replace("AUTHOR", "Jos\xe9").replace("SUB", "Ch\xe2teau");
    const QString handMade = pathOf("latin1.pmk");
    QVERIFY(writeArchive(handMade, package(properties, effectText(75))));
    FaceMaskProject project;
    QVERIFY(project.load(handMade));
    QCOMPARE(project.name(), QStringLiteral("caf\u00e9 \"\\x\""));
    QCOMPARE(project.author(), QStringLiteral("Jos\u00e9"));
    QCOMPARE(project.subcategory(), QStringLiteral("Ch\u00e2teau"));

    const QString saved = pathOf("saved.pmk");
    QVERIFY(project.save(saved));
    const QByteArray written = extractMember(saved, "effect.json");
    QVERIFY2(written.contains("\"caf\xe9 \\\"\\\\x\\\"\""), written.constData());
    QVERIFY2(written.contains("\"Jos\xe9\""), written.constData());
    QVERIFY2(written.contains("\"Ch\xe2teau\""), written.constData());
    FaceMaskProject again;
    QVERIFY(again.load(saved));
    QCOMPARE(again.name(), project.name());

    // A text changed is written as any other, in UTF-8; the others stay as they were.
    project.setName(QStringLiteral("caf\u00e9 cr\u00e8me"));
    QVERIFY(project.save(saved));
    QVERIFY(extractMember(saved, "effect.json").contains("\"caf\\u00e9 cr\\u00e8me\""));
    QVERIFY(extractMember(saved, "effect.json").contains("\"Jos\xe9\""));
    QVERIFY(again.load(saved));
    QCOMPARE(again.name(), QStringLiteral("caf\u00e9 cr\u00e8me"));
    QCOMPARE(again.author(), QStringLiteral("Jos\u00e9"));
}

void tst_FaceMaskProject::unknownEffectTypeSavesNoFlag()
{
    FaceMaskProject project;
    fillProject(project, "Five", 5);
    const QString path = pathOf("five.pmk");
    QVERIFY(project.save(path));
    QCOMPARE(keysOf(describeMember(path, "properties.json")), QStringList{"face_mask_data"});
    FaceMaskProject loaded;
    QVERIFY(loaded.load(path));
    QCOMPARE(loaded.effectType(), 0);
}

void tst_FaceMaskProject::savingTwiceOverwrites()
{
    FaceMaskProject project;
    fillProject(project, "First", 1);
    const QString path = pathOf("twice.pmk");
    QVERIFY(project.save(path));
    project.setName("Second");
    project.setEffectType(0);
    QVERIFY2(project.save(path), "saving over an existing package must succeed");

    FaceMaskProject loaded;
    QVERIFY(loaded.load(path));
    QCOMPARE(loaded.name(), QStringLiteral("Second"));
    QCOMPARE(loaded.effectType(), 0);
    QCOMPARE(entriesOfFolder(), QStringList{"twice.pmk"});
}

void tst_FaceMaskProject::namesUpToTheLimitAreSaved_data()
{
    QTest::addColumn<QString>("name");

    const QString ideograph = QString::fromUtf8("\xe9\xa1\x94"); // three bytes in UTF-8
    QTest::newRow("ascii-248-bytes") << QString(244, QLatin1Char('a')) + ".pmk";
    QTest::newRow("ascii-249-bytes") << QString(245, QLatin1Char('a')) + ".pmk";
    QTest::newRow("ascii-255-bytes") << QString(251, QLatin1Char('a')) + ".pmk";
    QTest::newRow("three-byte-characters-250-bytes") << ideograph.repeated(82) + ".pmk";
    QTest::newRow("three-byte-characters-254-bytes") << "aa" + ideograph.repeated(83) + ".pmk";
}

void tst_FaceMaskProject::namesUpToTheLimitAreSaved()
{
    QFETCH(QString, name);
    FaceMaskProject project;
    fillProject(project, "Long", 0);
    const QString path = pathOf(name);
    const core::SaveResult saved = project.saveWithReason(path);
    QVERIFY2(saved.ok, qPrintable(saved.reason));
    // Saved again over itself, and nothing else left in the folder.
    QVERIFY(project.save(path));
    QCOMPARE(entriesOfFolder(), QStringList{name});
    FaceMaskProject loaded;
    QVERIFY(loaded.load(path));
    QCOMPARE(loaded.name(), QStringLiteral("Long"));
}

void tst_FaceMaskProject::saveWithoutPictureLeavesNoFile()
{
    FaceMaskProject project;
    project.facialPoints()->setPoints(awkwardPoints());
    QVERIFY2(!project.save(pathOf("nopicture.pmk")), "a project without a picture cannot be saved");
    QVERIFY2(entriesOfFolder().isEmpty(), qPrintable("left behind: " + entriesOfFolder().join(", ")));
}

void tst_FaceMaskProject::failedSaveKeepsEarlierPackage()
{
    FaceMaskProject complete;
    fillProject(complete, "Earlier", 1);
    const QString path = pathOf("keep.pmk");
    QVERIFY(complete.save(path));
    const QByteArray before = fileBytes(path);

    FaceMaskProject empty;
    QVERIFY(!empty.save(path));
    QVERIFY2(fileBytes(path) == before, "a failed save must leave the earlier package byte for byte");
    QCOMPARE(entriesOfFolder(), QStringList{"keep.pmk"});
}

void tst_FaceMaskProject::saveFailingMidwayKeepsEarlierPackage()
{
    FaceMaskProject small;
    fillProject(small, "Small", 0);
    const QString path = pathOf("midway.pmk");
    QVERIFY(small.save(path));
    const QByteArray before = fileBytes(path);

    FaceMaskProject large;
    fillProject(large, "Large", 0);
    QImage noise(600, 400, QImage::Format_RGB32);
    for (int y = 0; y < noise.height(); ++y) {
        for (int x = 0; x < noise.width(); ++x) {
            noise.setPixel(x, y, qRgb((x * 7919 + y * 104729) % 251, (x * y) % 253, (x ^ y) % 255));
        }
    }
    large.facialPoints()->setImage(noise);
    {
        const FileSizeLimit limit(rlim_t(before.size()) + 4096);
        QVERIFY2(limit.isActive(), "the file size limit must be settable for this test");
        const core::SaveResult saved = large.saveWithReason(path);
        QVERIFY2(!saved.ok, "a save whose writes fail must report failure");
        // The system's reason, so that a full disk is told as such.
        QCOMPARE(saved.reason, QStringLiteral("cannot write %1: %2")
                                   .arg(path, QString::fromLocal8Bit(std::strerror(EFBIG))));
    }
    QVERIFY2(fileBytes(path) == before, "a save failing midway must leave the earlier package byte for byte");
    QCOMPARE(entriesOfFolder(), QStringList{"midway.pmk"});
}

void tst_FaceMaskProject::saveReadBackFromAFailingDisk_data()
{
    QTest::addColumn<QString>("fault");   // CALL:N:WHAT on the partial file beside readback.pmk
    QTest::addColumn<bool>("savable");
    QTest::newRow("read EIO") << "pread:1:EIO" << false;
    QTest::newRow("every read EIO") << "pread:1+:EIO" << false;
    QTest::newRow("read EINTR") << "pread:1:EINTR" << true;
    QTest::newRow("short reads") << "pread:1+:short" << true;
}

// A save reads the written package back before it takes the place of the earlier one. A read the
// disk fails is the disk's failure, told with its reason, and the earlier package stays; a read
// that is interrupted or comes short is read on.
void tst_FaceMaskProject::saveReadBackFromAFailingDisk()
{
    QFETCH(QString, fault);
    QFETCH(bool, savable);
    QVERIFY2(faultShimLoaded(), "run with the fault shim preloaded, as ctest does");
    FaceMaskProject earlier;
    fillProject(earlier, "Earlier", 1);
    const QString path = pathOf("readback.pmk");
    QVERIFY(earlier.save(path));
    const QByteArray before = fileBytes(path);

    FaceMaskProject project;
    fillProject(project, "Later", 2);
    core::SaveResult saved;
    {
        const QStringList parts = fault.split(QLatin1Char(':'));
        const InjectedFault injected(QStringList{parts[0], QStringLiteral("readback.pmk"), parts[1], parts[2]}
                                         .join(QLatin1Char(':')));
        saved = project.saveWithReason(path);
    }
    QCOMPARE(entriesOfFolder(), QStringList{"readback.pmk"});
    if (savable) {
        QVERIFY2(saved.ok, qPrintable(saved.reason));
        FaceMaskProject reopened;
        QVERIFY(reopened.load(path));
        QCOMPARE(reopened.name(), QStringLiteral("Later"));
        return;
    }
    QVERIFY2(!saved.ok, "a package that could not be read back must not replace the earlier one");
    QCOMPARE(saved.reason, QStringLiteral("cannot read back %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(EIO))));
    QCOMPARE(saved.error, EIO);
    QVERIFY2(fileBytes(path) == before, "the earlier package must stay byte for byte");
}

// The read back looks at the written package in place: a save that has written every member
// finishes with little memory left, where a copy of the package would not fit, and throws
// nothing.
void tst_FaceMaskProject::saveReadBackNeedsNoCopyOfThePackage()
{
    if (runsUnderAddressSanitizer()) {
        QSKIP("AddressSanitizer reserves more address space than any limit this test sets");
    }
    FaceMaskProject earlier;
    fillProject(earlier, "Earlier", 1);
    const QString path = pathOf("memory.pmk");
    QVERIFY(earlier.save(path));
    const QByteArray before = fileBytes(path);

    FaceMaskProject project;
    fillProject(project, "Later", 2);
    // Noise does not compress: the package holds some 75 MB, far more than the room left below
    // and more than a thread's heap of the allocator holds in space it reserved before, so a
    // copy of it could not be made.
    QImage noise(5000, 5000, QImage::Format_RGB32);
    QRandomGenerator random(7);
    for (int y = 0; y < noise.height(); ++y) {
        random.fillRange(reinterpret_cast<quint32*>(noise.scanLine(y)), noise.width());
    }
    project.facialPoints()->setImage(noise);
    std::optional<ProcessLimit> limit;
    // From 99 % on every member is written; what remains is the directory and the read back.
    const core::Progress progress = [&limit](int percent) {
        if (percent >= 99 && !limit) {
            limit.emplace(RLIMIT_AS, addressSpaceInUse() + (8 << 20));
        }
    };
    core::SaveResult saved;
    bool thrown = false;
    try {
        saved = core::writePackage(project.snapshot(), path, progress);
    } catch (const std::bad_alloc&) {
        thrown = true;
    }
    const bool limited = limit && limit->isActive();
    limit.reset();
    QVERIFY2(limited, "the address space was not limited");
    QVERIFY2(!thrown, "the save threw std::bad_alloc");
    QVERIFY2(saved.ok, qPrintable(saved.reason));
    QVERIFY2(fileBytes(path) != before, "the new package must have taken the earlier one's place");
    FaceMaskProject reopened;
    QVERIFY(reopened.load(path));
    QCOMPARE(reopened.name(), QStringLiteral("Later"));
    QCOMPARE(reopened.facialPoints()->image().size(), noise.size());
}

void tst_FaceMaskProject::saveThatWouldNotReopenFails_data()
{
    QTest::addColumn<QSize>("pictureSize");
    QTest::addColumn<int>("pointCount");
    QTest::addColumn<QString>("reason");
    // A one-bit picture: 120 megapixels in 15 MB, refused before anything is encoded.
    QTest::newRow("picture-of-12000x10001-over-120-megapixels")
        << QSize(12000, 10001) << 75 << "picture larger than 120 megapixels";
    QTest::newRow("picture-of-120000001x1") << QSize(120'000'001, 1) << 75 << "picture larger than 120 megapixels";
    QTest::newRow("74-points") << QSize(64, 48) << 74 << "74 points, at least 75 needed";
    QTest::newRow("5-points") << QSize(64, 48) << 5 << "5 points, at least 75 needed";
    QTest::newRow("100001-points")
        << QSize(64, 48) << 100'001 << "properties.json: mask_pivots has 100001 elements, at most 100000 allowed";
}

// The loader's bounds decide what a save may write: a package the program would refuse to open
// is not written, the reason is told, and the earlier package stays.
void tst_FaceMaskProject::saveThatWouldNotReopenFails()
{
    QFETCH(QSize, pictureSize);
    QFETCH(int, pointCount);
    QFETCH(QString, reason);
    FaceMaskProject earlier;
    fillProject(earlier, "Earlier", 1);
    const QString path = pathOf("bounded.pmk");
    QVERIFY(earlier.save(path));
    const QByteArray before = fileBytes(path);

    FaceMaskProject project;
    fillProject(project, "Unreadable", 1);
    QImage picture(pictureSize, pictureSize.width() > 64 ? QImage::Format_Mono : QImage::Format_RGB32);
    if (picture.isNull()) {
        QSKIP("no memory for the picture of this row");
    }
    picture.fill(0);
    project.facialPoints()->setImage(picture);
    project.facialPoints()->setPoints(awkwardPoints(pointCount));
    const core::SaveResult saved = project.saveWithReason(path);
    QVERIFY2(!saved.ok, "a package that would not open again must not be saved");
    QCOMPARE(saved.reason, reason);
    QVERIFY2(fileBytes(path) == before, "the earlier package must stay byte for byte");
    QCOMPARE(entriesOfFolder(), QStringList{"bounded.pmk"});
}

void tst_FaceMaskProject::saveThroughLinkReplacesLinkedFile_data()
{
    // Each link as "name -> target" (relative to the test's folder), saved through the first;
    // the package must land in "real/package.pmk", every link staying a link.
    QTest::addColumn<QStringList>("links");
    QTest::addColumn<bool>("packageExists");
    QTest::newRow("one link") << QStringList{"link.pmk -> real/package.pmk"} << true;
    QTest::newRow("a chain of two") << QStringList{"link.pmk -> middle.pmk", "middle.pmk -> real/package.pmk"}
                                    << true;
    QTest::newRow("a chain of relative links")
        << QStringList{"link.pmk -> real/middle.pmk", "real/middle.pmk -> package.pmk"} << true;
    QTest::newRow("a chain to a file not made yet")
        << QStringList{"link.pmk -> middle.pmk", "middle.pmk -> real/package.pmk"} << false;
}

void tst_FaceMaskProject::saveThroughLinkReplacesLinkedFile()
{
    QFETCH(QStringList, links);
    QFETCH(bool, packageExists);
    QVERIFY(QDir(m_folder->path()).mkdir("real"));
    const QString linked = pathOf("real/package.pmk");
    if (packageExists) {
        QVERIFY(QFile(linked).open(QIODevice::WriteOnly));
    }
    QStringList names;
    for (const QString& link : links) {
        const QStringList parts = link.split(QStringLiteral(" -> "));
        // Relative, as ln -s makes them: resolved from the link's own folder.
        QVERIFY(::symlink(QFile::encodeName(parts[1]).constData(), QFile::encodeName(pathOf(parts[0])).constData()) == 0);
        names << parts[0];
    }
    FaceMaskProject project;
    fillProject(project, "Linked", 0);
    QVERIFY(project.save(pathOf(names.first())));
    for (const QString& name : names) {
        QVERIFY2(QFileInfo(pathOf(name)).isSymLink(), qPrintable(name + " must stay a link"));
    }
    FaceMaskProject loaded;
    QVERIFY2(loaded.load(linked), "the file the links name must hold the package");
    QCOMPARE(loaded.name(), QStringLiteral("Linked"));
    QStringList inReal = QDir(pathOf("real")).entryList(QDir::Files | QDir::Hidden | QDir::System);
    inReal.removeAll(QStringLiteral("middle.pmk"));
    QCOMPARE(inReal, QStringList{"package.pmk"});
}

void tst_FaceMaskProject::newPackageFollowsTheUmask_data()
{
    QTest::addColumn<int>("mask");
    QTest::addColumn<int>("mode");
    QTest::newRow("022") << 022 << 0644;
    QTest::newRow("077, private files") << 077 << 0600;
    QTest::newRow("002, a shared group") << 002 << 0664;
}

// A new package is made as any new file of the user: with the mode the umask leaves.
void tst_FaceMaskProject::newPackageFollowsTheUmask()
{
    QFETCH(int, mask);
    QFETCH(int, mode);
    const mode_t previous = ::umask(mode_t(mask));
    const auto restore = qScopeGuard([previous] { ::umask(previous); });
    FaceMaskProject project;
    fillProject(project, "Masked", 0);
    const QString path = pathOf("new.pmk");
    QVERIFY(project.save(path));
    struct stat status {};
    QVERIFY(::stat(QFile::encodeName(path).constData(), &status) == 0);
    QCOMPARE(int(status.st_mode & 0777), mode);
}

void tst_FaceMaskProject::saveIntoMissingFolderCreatesNothing()
{
    FaceMaskProject project;
    fillProject(project, "Nowhere", 0);
    QVERIFY(!project.save(pathOf("missing/folder/package.pmk")));
    QVERIFY2(entriesOfFolder().isEmpty(), "no folder and no file may be created");
}

void tst_FaceMaskProject::saveBelowRegularFileFails()
{
    QFile plain(pathOf("plain.txt"));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.write("not a folder");
    plain.close();
    FaceMaskProject project;
    fillProject(project, "Blocked", 0);
    QVERIFY2(!project.save(pathOf("plain.txt/package.pmk")), "a path below a regular file cannot be written");
    QCOMPARE(entriesOfFolder(), QStringList{"plain.txt"});
    QCOMPARE(fileBytes(pathOf("plain.txt")), QByteArray("not a folder"));
}

void tst_FaceMaskProject::saveOntoFolderLeavesNoPartialFile()
{
    QVERIFY(QDir(m_folder->path()).mkdir("target.pmk"));
    FaceMaskProject project;
    fillProject(project, "Folder", 0);
    QVERIFY2(!project.save(pathOf("target.pmk")), "a folder cannot be replaced by a package");
    QCOMPARE(entriesOfFolder(), QStringList{"target.pmk"});
    QVERIFY(QFileInfo(pathOf("target.pmk")).isDir());
}

void tst_FaceMaskProject::saveChangesNothingInTheProject()
{
    FaceMaskProject project;
    fillProject(project, "Still", 2);
    const Snapshot before = snapshotOf(project);
    QSignalSpy imageSpy(project.facialPoints(), &FacialPoints::imageChanged);
    QSignalSpy pointsSpy(project.facialPoints(), &FacialPoints::pointsUpdated);
    QVERIFY(project.save(pathOf("still.pmk")));
    QVERIFY(snapshotOf(project) == before);
    QCOMPARE(imageSpy.count() + pointsSpy.count(), 0);
}

void tst_FaceMaskProject::loadSignalsPictureBeforePoints()
{
    const QString path = pathOf("signals.pmk");
    QVERIFY(writeArchive(path, package(propertiesText(), effectText(75))));
    FaceMaskProject project;
    QStringList order;
    QObject context;
    connect(project.facialPoints(), &FacialPoints::imageChanged, &context, [&] { order << "image"; });
    connect(project.facialPoints(), &FacialPoints::pointsUpdated, &context, [&] {
        QCOMPARE(project.name(), QStringLiteral("Hand made"));  // fields are in place already
        order << "points";
    });
    QVERIFY(project.load(path));
    QCOMPARE(order, (QStringList{"image", "points"}));
}

void tst_FaceMaskProject::loadDecidesOnEachPackage_data()
{
    QTest::addColumn<Members>("members");
    QTest::addColumn<Damage>("damage");
    QTest::addColumn<QString>("damaged");
    QTest::addColumn<int>("pointCount");  // 0: refused
    QTest::addColumn<int>("effectType");

    const QByteArray properties = propertiesText();
    const QByteArray effect = effectText(75);
    const Members valid = package(properties, effect);
    auto refused = [](const char* tag, const Members& members, Damage damage = Damage::None,
                      const QString& damaged = QString()) {
        QTest::newRow(tag) << members << damage << damaged << 0 << 0;
    };

    QTest::newRow("75-pivots-accepted") << valid << Damage::None << QString() << 75 << 0;
    refused("74-pivots-refused", package(properties, effectText(74)));
    QTest::newRow("76-pivots-accepted-with-76-points")
        << package(properties, effectText(76)) << Damage::None << QString() << 76 << 0;
    refused("effect-json-missing", without(valid, "effect.json"));
    refused("properties-json-missing", without(valid, "properties.json"));
    refused("effect-json-not-json", package("this is not JSON {", effect));
    refused("properties-json-not-json", package(properties, "\"face_mask_data\": {"));
    refused("effect-json-top-level-array", package("[\"name\", \"author\"]", effect));
    refused("properties-json-top-level-array", package(properties, "[" + effect + "]"));
    refused("name-not-a-string", package(propertiesText({{"name", 12}}), effect));
    refused("author-missing", package(propertiesText({}, {"author"}), effect));
    refused("subcategory-a-number", package(propertiesText({{"subcategory", 3.5}}), effect));
    refused("image-path-not-a-string",
            package(properties, QByteArray(effect).replace("\"images/main/image.png\"", "[1]")));
    refused("image-path-missing",
            package(properties, QByteArray(effect).replace("\"face_mask_image_path\"", "\"other\"")));
    refused("flag-a-string", package(properties, effectText(75, "images/main/image.png",
                                                             {{"need_extra_rect", "yes"}})));
    refused("pivot-a-string", package(properties, effectTextWithFirstPivot("\"0.5 0.5\"")));
    refused("pivot-x-a-string", package(properties, effectTextWithFirstPivot("{\"x\": \"0.5\", \"y\": 0.5}")));
    refused("picture-member-missing", without(valid, "images/main/image.png"));
    refused("picture-member-not-a-picture",
            package(properties, effect, "images/main/image.png", "no picture at all"));
    refused("picture-declaring-10-gigapixels",
            package(properties, effect, "images/main/image.png", pngDeclaring(100000, 100000)));
    QTest::newRow("image-path-in-capitals-found")
        << package(properties, effectText(75, "IMAGES/MAIN/IMAGE.PNG")) << Damage::None << QString() << 75 << 0;
    QTest::newRow("picture-under-another-name-found")
        << package(properties, effectText(75, "pictures/face.jpg"), "pictures/face.jpg",
                   encoded(gradientPicture(48, 36), "jpg"))
        << Damage::None << QString() << 75 << 0;
    QTest::newRow("jpeg-under-png-name-accepted")
        << package(properties, effect, "images/main/image.png", encoded(gradientPicture(48, 36), "jpg"))
        << Damage::None << QString() << 75 << 0;
    QTest::newRow("need-extra-rect-is-type-1")
        << package(properties, effectText(75, "images/main/image.png", {{"need_extra_rect", true}}))
        << Damage::None << QString() << 75 << 1;
    QTest::newRow("both-flags-true-is-type-2")
        << package(properties, effectText(75, "images/main/image.png",
                                          {{"need_extra_rect", true},
                                           {"stretch_extra_rect_on_whole_frame", true}}))
        << Damage::None << QString() << 75 << 2;
    QTest::newRow("huge-integer-read-as-double")
        << package(properties, effectTextWithFirstPivot("{\"x\": 123456789012345678901234567890, \"y\": 0}"))
        << Damage::None << QString() << 75 << 0;
    refused("number-beyond-double-range", package(properties, effectTextWithFirstPivot("{\"x\": 1e400, \"y\": 0}")));
    refused("nan-text", package(properties, effectTextWithFirstPivot("{\"x\": NaN, \"y\": 0}")));
    refused("trailing-comma", package(properties, effectTextWithFirstPivot("{\"x\": 0.5, \"y\": 0.5,}")));
    refused("deep-nesting",
            package(properties, effectTextWithFirstPivot(QByteArray(100000, '[') + QByteArray(100000, ']'))));
    refused("document-beyond-8-mib", package(properties, effect + QByteArray(9 << 20, ' ')));
    refused("declared-size-beyond-256-mib", valid, Damage::HugeDeclaredSize, "images/main/image.png");
    refused("declared-size-beyond-deflate-ratio", valid, Damage::DeclaredSizeBeyondDeflateRatio,
            "images/main/image.png");
    refused("crc-mismatch", valid, Damage::WrongCrc, "properties.json");
}

void tst_FaceMaskProject::loadDecidesOnEachPackage()
{
    QFETCH(Members, members);
    QFETCH(Damage, damage);
    QFETCH(QString, damaged);
    QFETCH(int, pointCount);
    QFETCH(int, effectType);

    const QString path = pathOf("package.pmk");
    QVERIFY2(writeArchive(path, members), "the test package must be writable");
    if (damage != Damage::None) {
        QVERIFY2(patchMember(path, damaged, damage), "the damage must be applied");
    }

    FaceMaskProject project;
    fillProject(project, "Before", 1);
    const Snapshot before = snapshotOf(project);
    QSignalSpy imageSpy(project.facialPoints(), &FacialPoints::imageChanged);
    QSignalSpy pointsSpy(project.facialPoints(), &FacialPoints::pointsUpdated);

    const qint64 peakBefore = peakResidentKiB();
    const bool loaded = project.load(path);
    const qint64 peakGrowthMiB = (peakResidentKiB() - peakBefore) / 1024;

    if (pointCount == 0) {
        QVERIFY2(!loaded, "this package must be refused");
        QVERIFY2(peakGrowthMiB < 64,
                 qPrintable(QStringLiteral("refusing took %1 MiB more memory").arg(peakGrowthMiB)));
        QVERIFY2(snapshotOf(project) == before, "a refused package must change nothing");
        QCOMPARE(imageSpy.count(), 0);
        QCOMPARE(pointsSpy.count(), 0);
        return;
    }
    QVERIFY2(loaded, "this package must be accepted");
    QCOMPARE(project.facialPoints()->count(), pointCount);
    QCOMPARE(project.effectType(), effectType);
    QCOMPARE(project.name(), QStringLiteral("Hand made"));
    QCOMPARE(project.facialPoints()->image().size(), QSize(48, 36));
    QCOMPARE(project.facialPoints()->points()[1], FacialPoint(0.01, 0.99));
    QCOMPARE(imageSpy.count(), 1);
    QCOMPARE(pointsSpy.count(), 1);
}

void tst_FaceMaskProject::otherProgramsFilesAreNamed_data()
{
    QTest::addColumn<Members>("members");
    QTest::addColumn<QStringList>("others");
    const QByteArray properties = propertiesText();
    const Members valid = package(properties, effectText(75));
    const Members thumbnails{{"images/thumbnail/small.jpg", "s"}, {"images/thumbnail/medium.jpg", "m"},
                             {"images/thumbnail/large.jpg", "l"}};
    QTest::newRow("none") << valid + thumbnails << QStringList();
    QTest::newRow("two beside ours")
        << valid + Members{{"sounds/start.wav", "RIFF"}} + thumbnails + Members{{"notes.txt", "x"}}
        << QStringList{"sounds/start.wav", "notes.txt"};
    QTest::newRow("folders are none") << valid + Members{{"extras/", ""}} << QStringList();
    QTest::newRow("thumbnail in capitals is ours")
        << valid + Members{{"IMAGES/THUMBNAIL/SMALL.JPG", "s"}} << QStringList();
    QTest::newRow("picture under another name is ours")
        << package(properties, effectText(75, "pictures/face.png"), "pictures/face.png")
        << QStringList();
    // The usual name is no longer the picture's: a save writes the picture under it.
    QTest::newRow("old picture beside the named one")
        << package(properties, effectText(75, "pictures/face.png"), "pictures/face.png")
               + Members{{"images/main/image.png", pictureBytes()}}
        << QStringList{"images/main/image.png"};
    Members many = valid;
    for (int i = 0; i < 150; ++i) {
        many.append({QStringLiteral("many/%1.txt").arg(i), "x"});
    }
    QStringList first;
    for (int i = 0; i < core::PackageReading::maximumOtherMembers; ++i) {
        first.append(QStringLiteral("many/%1.txt").arg(i));
    }
    QTest::newRow("many, the first named") << many << first;
}

// What a save would not write again is named to the reader, so that the window can say so.
void tst_FaceMaskProject::otherProgramsFilesAreNamed()
{
    QFETCH(Members, members);
    QFETCH(QStringList, others);
    const QString path = pathOf("package.pmk");
    QVERIFY(writeArchive(path, members));
    const core::PackageReading reading = core::readPackage(path);
    QVERIFY2(reading.result.ok, qPrintable(reading.result.reason));
    QCOMPARE(reading.otherMembers, others);
}

void tst_FaceMaskProject::loadRefusesWhatIsNoArchive_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("fileName");
    QTest::newRow("text-file") << QByteArray("hello\n") << "text.pmk";
    QTest::newRow("empty-file") << QByteArray() << "empty.pmk";
    QTest::newRow("png-file") << pictureBytes() << "picture.pmk";
    QTest::newRow("missing-file") << QByteArray() << "";
}

void tst_FaceMaskProject::loadRefusesWhatIsNoArchive()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, fileName);
    QString path = pathOf("absent.pmk");
    if (!fileName.isEmpty()) {
        path = pathOf(fileName);
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    FaceMaskProject project;
    fillProject(project, "Before", 2);
    const Snapshot before = snapshotOf(project);
    QVERIFY(!project.load(path));
    QVERIFY(snapshotOf(project) == before);
}

// A package is read on a worker of the shared pool that no Cancel reaches: a named pipe without
// a writer held it for good, and two of them held every worker, so that a save never started.
void tst_FaceMaskProject::readingAPipeIsRefusedWithoutWaiting()
{
    const QByteArray pipe = QFile::encodeName(pathOf("pipe.pmk"));
    QVERIFY(::mkfifo(pipe.constData(), 0600) == 0);
    auto reading = std::async(std::launch::async, [&] { return core::readPackage(QFile::decodeName(pipe)); });
    const bool waited = reading.wait_for(std::chrono::seconds(10)) != std::future_status::ready;
    if (waited) {
        // Let the read go, so that the test ends.
        const int writer = ::open(pipe.constData(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0) {
            ::close(writer);
        }
    }
    QVERIFY2(!waited, "reading the package waited for a writer to the pipe");
    QVERIFY(!reading.get().result.ok);
}

// A long session that has used up its descriptors (`ulimit -n`) is told so, not that a good
// package is no archive; the earlier package stays as it was.
void tst_FaceMaskProject::runningOutOfDescriptorsIsSaid_data()
{
    QTest::addColumn<bool>("saving");
    QTest::newRow("load") << false;
    QTest::newRow("save") << true;
}

void tst_FaceMaskProject::runningOutOfDescriptorsIsSaid()
{
    QFETCH(bool, saving);
    const QString path = pathOf("good.pmk");
    FaceMaskProject project;
    fillProject(project, "Good", 0);
    QVERIFY(project.save(path));
    const QByteArray before = fileBytes(path);
    QString reason;
    bool ok = true;
    {
        const DescriptorLimit none;
        QVERIFY2(none.isActive(), "the descriptor limit must be settable for this test");
        if (saving) {
            const core::SaveResult saved = project.saveWithReason(path);
            ok = saved.ok;
            reason = saved.reason;
        } else {
            const core::PackageReading reading = core::readPackage(path);
            ok = reading.result.ok;
            reason = reading.result.reason;
        }
    }
    QVERIFY(!ok);
    QVERIFY2(reason.endsWith(QString::fromLocal8Bit(std::strerror(EMFILE))), qPrintable(reason));
    QVERIFY(fileBytes(path) == before);
    QVERIFY(core::readPackage(path).result.ok);
}

void tst_FaceMaskProject::loadSaysWhichCheckFailed_data()
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
    row("valid-package-has-no-reason", valid, QString());
    row("1000-pivots-accepted", package(properties, effectText(1000)), QString());
    row("effect-json-missing", without(valid, "effect.json"), "member effect.json missing");
    row("properties-json-missing", without(valid, "properties.json"),
        "member properties.json missing");
    row("68-pivots", package(properties, effectText(68)),
        "properties.json: mask_pivots has 68 elements, at least 75 needed");
    row("100001-pivots",
        package(properties, QJsonDocument::fromJson(effectText(100001)).toJson(QJsonDocument::Compact)),
        "properties.json: mask_pivots has 100001 elements, at most 100000 allowed");
    row("effect-json-not-json", package("this is not JSON {", effect), "effect.json: not JSON");
    row("effect-json-top-level-array", package("[\"name\"]", effect),
        "effect.json: not a JSON object");
    row("name-a-number", package(propertiesText({{"name", 12}}), effect),
        "effect.json: name is not a string");
    row("author-missing", package(propertiesText({}, {"author"}), effect),
        "effect.json: author missing");
    row("image-path-an-array",
        package(properties, QByteArray(effect).replace("\"images/main/image.png\"", "[1]")),
        "properties.json: face_mask_image_path is not a string");
    row("flag-a-string",
        package(properties, effectText(75, "images/main/image.png", {{"need_extra_rect", "yes"}})),
        "properties.json: need_extra_rect is not a boolean");
    row("pivot-a-string", package(properties, effectTextWithFirstPivot("\"0.5 0.5\"")),
        "properties.json: mask_pivots element 0 is not an object");
    row("pivot-y-a-string",
        package(properties, effectTextWithFirstPivot("{\"x\": 0.5, \"y\": \"0.5\"}")),
        "properties.json: mask_pivots element 0: y is not a number");
    row("picture-member-missing", without(valid, "images/main/image.png"),
        "member images/main/image.png missing");
    row("picture-text", package(properties, effect, "images/main/image.png", "no picture at all"),
        "picture: not PNG or JPEG");
    row("picture-bmp",
        package(properties, effect, "images/main/image.png", encoded(gradientPicture(48, 36), "bmp")),
        "picture: not PNG or JPEG");
    row("picture-ico",
        package(properties, effect, "images/main/image.png", encoded(gradientPicture(48, 36), "ico")),
        "picture: not PNG or JPEG");
    row("picture-declaring-10-gigapixels",
        package(properties, effect, "images/main/image.png", pngDeclaring(100000, 100000)),
        "picture larger than 120 megapixels");
    row("declared-size-beyond-256-mib", valid,
        "member images/main/image.png declares 2147483647 bytes, at most 268435456 allowed",
        Damage::HugeDeclaredSize, "images/main/image.png");
    row("crc-mismatch-in-document", valid, "CRC or size mismatch in properties.json",
        Damage::WrongCrc, "properties.json");
    row("crc-mismatch-in-picture", valid, "CRC or size mismatch in images/main/image.png",
        Damage::WrongCrc, "images/main/image.png");
}

void tst_FaceMaskProject::loadSaysWhichCheckFailed()
{
    QFETCH(Members, members);
    QFETCH(Damage, damage);
    QFETCH(QString, damaged);
    QFETCH(QString, reason);

    const QString path = pathOf("package.pmk");
    QVERIFY2(writeArchive(path, members), "the test package must be writable");
    if (damage != Damage::None) {
        QVERIFY2(patchMember(path, damaged, damage), "the damage must be applied");
    }
    FaceMaskProject project;
    fillProject(project, "Before", 1);
    const Snapshot before = snapshotOf(project);
    const core::LoadResult result = project.loadWithReason(path);
    QCOMPARE(result.reason, reason);
    QCOMPARE(result.ok, reason.isEmpty());
    QCOMPARE(FaceMaskProject().load(path), result.ok);
    QCOMPARE(snapshotOf(project) == before, !result.ok);
}

void tst_FaceMaskProject::loadNamesWhatTheArchiveGetsWrong_data()
{
    QTest::addColumn<int>("endRecordOffset");  // the 16-bit field of the end record to change
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("reason");
    QTest::newRow("end-record-counts-5-of-6") << 8 << 5 << "ZIP directory disagrees with its end record";
    QTest::newRow("end-record-counts-7-of-6") << 8 << 7 << "ZIP directory disagrees with its end record";
    QTest::newRow("spanned-over-disks") << 4 << 1 << "ZIP archive spanned or larger than 4 GiB (not supported)";
}

void tst_FaceMaskProject::loadNamesWhatTheArchiveGetsWrong()
{
    QFETCH(int, endRecordOffset);
    QFETCH(int, value);
    QFETCH(QString, reason);
    FaceMaskProject saved;
    fillProject(saved, "Counted", 0);
    const QString path = pathOf("counted.pmk");
    QVERIFY(saved.save(path));
    QByteArray bytes = fileBytes(path);
    const int endRecord = bytes.size() - 22;
    QCOMPARE(bytes.mid(endRecord, 4), QByteArray("PK\x05\x06"));
    QCOMPARE(quint8(bytes[endRecord + 8]), quint8(6));
    bytes[endRecord + endRecordOffset] = char(value);
    bytes[endRecord + endRecordOffset + 1] = 0;
    if (endRecordOffset == 8) {
        bytes[endRecord + 10] = char(value);  // both counts, so that only the walk can tell
    }
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    file.close();
    FaceMaskProject project;
    QCOMPARE(project.loadWithReason(path).reason, reason);
}

// A package on a stick or a share that fails while it is read is told as such, not as damage
// that would have the user throw a good package away. The reads of a small package, in order:
// 1 the end search, 2 the end record, 4 the directory's first header, 18 the first look-up of
// effect.json, 20 its local header, 25 its data.
void tst_FaceMaskProject::failingDiskIsNoDamage_data()
{
    QTest::addColumn<QString>("fault");   // CALL:N:WHAT on failing.pmk
    QTest::addColumn<QString>("reason");  // empty: opened

    const QString unreadable = QStringLiteral("cannot read failing.pmk: ") + QString::fromLocal8Bit(std::strerror(EIO));
    QTest::newRow("open EIO") << "open:1:EIO" << QStringLiteral("cannot be opened: ") + QString::fromLocal8Bit(std::strerror(EIO));
    QTest::newRow("open EINTR") << "open:1:EINTR" << "";
    QTest::newRow("end search EIO") << "pread:1:EIO" << unreadable;
    QTest::newRow("every read EIO") << "pread:1+:EIO" << unreadable;
    QTest::newRow("end record EIO") << "pread:2:EIO" << unreadable;
    QTest::newRow("directory EIO") << "pread:4:EIO" << unreadable;
    QTest::newRow("directory on EIO") << "pread:3+:EIO" << unreadable;
    QTest::newRow("look-up EIO") << "pread:18:EIO" << unreadable;
    QTest::newRow("local header EIO") << "pread:20:EIO" << unreadable;
    QTest::newRow("member data EIO") << "pread:25:EIO" << unreadable;
    QTest::newRow("member data on EIO") << "pread:25+:EIO" << unreadable;
    QTest::newRow("read EINTR") << "pread:1:EINTR" << "";
    QTest::newRow("directory EINTR") << "pread:4:EINTR" << "";
    QTest::newRow("short reads") << "pread:1+:short" << "";
}

void tst_FaceMaskProject::failingDiskIsNoDamage()
{
    QFETCH(QString, fault);
    QFETCH(QString, reason);
    QVERIFY2(faultShimLoaded(), "run with the fault shim preloaded, as ctest does");
    FaceMaskProject saved;
    fillProject(saved, "Good", 0);
    const QString path = pathOf("failing.pmk");
    QVERIFY(saved.save(path));
    core::PackageReading reading;
    {
        const QStringList parts = fault.split(QLatin1Char(':'));
        const InjectedFault injected(QStringList{parts[0], QStringLiteral("failing.pmk"), parts[1], parts[2]}
                                         .join(QLatin1Char(':')));
        reading = core::readPackage(path);
    }
    QCOMPARE(reading.result.reason, reason);
    QCOMPARE(reading.result.ok, reason.isEmpty());
    if (reading.result.ok) {
        const core::PackageReading whole = core::readPackage(path);
        QCOMPARE(bits(reading.snapshot.points), bits(whole.snapshot.points));
        QVERIFY(reading.snapshot.picture == whole.snapshot.picture);
    }
}

// Whichever read of the package fails, the package opens with what it holds (a read the reader
// could do without) or the failure is told as the disk's.
void tst_FaceMaskProject::noSingleFailedReadIsCalledDamage()
{
    QVERIFY2(faultShimLoaded(), "run with the fault shim preloaded, as ctest does");
    FaceMaskProject saved;
    fillProject(saved, "Good", 0);
    const QString path = pathOf("failing.pmk");
    QVERIFY(saved.save(path));
    const core::PackageReading whole = core::readPackage(path);
    QVERIFY(whole.result.ok);
    const QString unreadable = QStringLiteral("cannot read failing.pmk: ") + QString::fromLocal8Bit(std::strerror(EIO));
    int refused = 0;
    for (int n = 1; n <= 150; ++n) {
        core::PackageReading reading;
        {
            const InjectedFault injected(QStringLiteral("pread:failing.pmk:%1:EIO").arg(n));
            reading = core::readPackage(path);
        }
        if (reading.result.ok) {
            QVERIFY2(bits(reading.snapshot.points) == bits(whole.snapshot.points), qPrintable(QString::number(n)));
            QVERIFY2(reading.snapshot.picture == whole.snapshot.picture, qPrintable(QString::number(n)));
        } else {
            QVERIFY2(reading.result.reason == unreadable,
                     qPrintable(QStringLiteral("read %1: %2").arg(n).arg(reading.result.reason)));
            ++refused;
        }
    }
    QVERIFY2(refused >= 20, qPrintable(QString::number(refused)));
}

void tst_FaceMaskProject::snapshotSharesThePicture()
{
    FaceMaskProject project;
    fillProject(project, "Shared", 2);
    const core::ProjectSnapshot snapshot = project.snapshot();
    QCOMPARE(snapshot.picture.constBits(), project.facialPoints()->image().constBits());
    QCOMPARE(snapshot.name, QStringLiteral("Shared"));
    QCOMPARE(snapshot.author, project.author());
    QCOMPARE(snapshot.subcategory, project.subcategory());
    QCOMPARE(snapshot.effectType, 2);
    QCOMPARE(bits(snapshot.points), bits(awkwardPoints()));
}

void tst_FaceMaskProject::snapshotRoundTripsThroughPackage()
{
    const core::ProjectSnapshot written{"Round", "An Author", "Hats", core::FullFrame,
                                        gradientPicture(64, 48), awkwardPoints(80),
                                        QStringLiteral("ignored when saving")};
    const QString path = pathOf("snapshot.pmk");
    QVERIFY(core::savePackage(written, path));
    const core::PackageReading reading = core::readPackage(path);
    QVERIFY2(reading.result.ok, qPrintable(reading.result.reason));
    QCOMPARE(reading.result.reason, QString());
    QCOMPARE(reading.snapshot.name, written.name);
    QCOMPARE(reading.snapshot.author, written.author);
    QCOMPARE(reading.snapshot.subcategory, written.subcategory);
    QCOMPARE(reading.snapshot.effectType, written.effectType);
    QCOMPARE(bits(reading.snapshot.points), bits(written.points));
    QVERIFY(samePixels(reading.snapshot.picture, written.picture));
    QCOMPARE(reading.snapshot.time, QStringLiteral("03.05.2020"));

    FaceMaskProject project;
    QStringList order;
    QObject context;
    connect(project.facialPoints(), &FacialPoints::imageChanged, &context, [&] { order << "image"; });
    connect(project.facialPoints(), &FacialPoints::pointsUpdated, &context, [&] {
        QCOMPARE(project.author(), QStringLiteral("An Author"));
        order << "points";
    });
    project.apply(reading.snapshot);
    QCOMPARE(order, (QStringList{"image", "points"}));
    QCOMPARE(project.name(), written.name);
    QCOMPARE(project.subcategory(), written.subcategory);
    QCOMPARE(project.effectType(), written.effectType);
    QCOMPARE(bits(project.facialPoints()->points()), bits(written.points));
}

void tst_FaceMaskProject::snapshotIsUnaffectedByEditsDuringSave()
{
    FaceMaskProject project;
    fillProject(project, "Taken", 1);
    QImage large = gradientPicture(900, 700);
    project.facialPoints()->setImage(large);
    large = QImage();
    const core::ProjectSnapshot snapshot = project.snapshot();
    const QString expectedPoints = bits(snapshot.points);

    // The project is edited on this thread while the worker writes; the worker waits for the
    // first edit, so the two surely overlap.
    std::atomic_bool edited{false};
    const QString path = pathOf("during.pmk");
    QFuture<bool> saved = QtConcurrent::run([&] {
        while (!edited.load()) {
            QThread::yieldCurrentThread();
        }
        return core::savePackage(snapshot, path);
    });
    project.setName("Changed");
    project.setEffectType(0);
    QImage picture = project.facialPoints()->image();
    picture.fill(Qt::red);  // detaches: the snapshot keeps its pixels
    project.facialPoints()->setImage(picture);
    project.facialPoints()->setPoint(FacialPoint(0.5, 0.5), 3);
    edited = true;
    for (int i = 0; i < 20; ++i) {
        project.facialPoints()->setPoint(FacialPoint(0.01 * i, 0.5), i);
    }
    QVERIFY2(saved.result(), "the save on the worker must succeed");

    const core::PackageReading reading = core::readPackage(path);
    QVERIFY2(reading.result.ok, qPrintable(reading.result.reason));
    QCOMPARE(reading.snapshot.name, QStringLiteral("Taken"));
    QCOMPARE(reading.snapshot.effectType, 1);
    QCOMPARE(bits(reading.snapshot.points), expectedPoints);
    QVERIFY(samePixels(reading.snapshot.picture, gradientPicture(900, 700)));
}

void tst_FaceMaskProject::progressRisesToHundred()
{
    FaceMaskProject project;
    fillProject(project, "Progress", 0);
    const QString path = pathOf("progress.pmk");
    QVector<int> saving;
    QVERIFY(core::savePackage(project.snapshot(), path, [&](int percent) { saving << percent; }));
    QVector<int> reading;
    QVERIFY(core::readPackage(path, [&](int percent) { reading << percent; }).result.ok);
    for (const QVector<int>& reports : {saving, reading}) {
        QVERIFY2(reports.size() >= 3, "progress must be told along the way");
        QCOMPARE(reports.first(), 0);
        QCOMPARE(reports.last(), 100);
        QVERIFY2(std::is_sorted(reports.begin(), reports.end()), "progress never goes back");
    }
}

void tst_FaceMaskProject::cancelledSaveKeepsEarlierPackage_data()
{
    QTest::addColumn<int>("cancelAtPercent");  // -1: before the start
    QTest::newRow("cancelled-before-start") << -1;
    QTest::newRow("cancelled-after-the-picture") << 70;
    QTest::newRow("cancelled-while-writing") << 81;
}

void tst_FaceMaskProject::cancelledSaveKeepsEarlierPackage()
{
    QFETCH(int, cancelAtPercent);
    FaceMaskProject project;
    fillProject(project, "Earlier", 1);
    const QString path = pathOf("cancel.pmk");
    QVERIFY(project.save(path));
    const QByteArray before = fileBytes(path);

    project.facialPoints()->setImage(gradientPicture(300, 200));
    std::atomic_bool cancel{cancelAtPercent < 0};
    bool reached = cancelAtPercent < 0;
    const bool saved = core::savePackage(project.snapshot(), path, [&](int percent) {
        if (cancelAtPercent >= 0 && percent >= cancelAtPercent) {
            reached = true;
            cancel = true;
        }
    }, &cancel);
    QVERIFY2(reached, "the save must have come as far as the cancel");
    QVERIFY2(!saved, "a cancelled save must not report success");
    QVERIFY2(fileBytes(path) == before, "a cancelled save must leave the earlier package");
    QCOMPARE(entriesOfFolder(), QStringList{"cancel.pmk"});
}

void tst_FaceMaskProject::cancelledReadChangesNothing_data()
{
    QTest::addColumn<int>("cancelAtPercent");  // -1: before the start
    QTest::newRow("cancelled-before-start") << -1;
    QTest::newRow("cancelled-after-the-documents") << 5;
    QTest::newRow("cancelled-after-extraction") << 40;
}

void tst_FaceMaskProject::cancelledReadChangesNothing()
{
    QFETCH(int, cancelAtPercent);
    FaceMaskProject saved;
    fillProject(saved, "Package", 2);
    const QString path = pathOf("read.pmk");
    QVERIFY(saved.save(path));

    std::atomic_bool cancel{cancelAtPercent < 0};
    bool reached = cancelAtPercent < 0;
    const core::PackageReading reading = core::readPackage(path, [&](int percent) {
        if (cancelAtPercent >= 0 && percent >= cancelAtPercent) {
            reached = true;
            cancel = true;
        }
    }, &cancel);
    QVERIFY(reached);
    QVERIFY(!reading.result.ok);
    const QString expected = cancelAtPercent >= 40 ? QStringLiteral("picture: cancelled")
                                                   : QStringLiteral("cancelled");
    QCOMPARE(reading.result.reason, expected);
    QVERIFY(reading.snapshot.picture.isNull());
}

QTEST_GUILESS_MAIN(tst_FaceMaskProject)
#include "tst_facemaskproject.moc"
