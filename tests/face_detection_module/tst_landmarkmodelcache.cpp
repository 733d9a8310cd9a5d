// The landmark model's compact copy: found where XDG says, refused when damaged or stale (and
// then written anew by the module), and whole however many processes write it at once.
#include "face_detection_module/cachebytes.h"
#include "face_detection_module/facedetectionmodule.h"
#include "face_detection_module/fhogfacedetector.h"
#include "face_detection_module/landmarkmodelcache.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <dlib/image_processing/shape_predictor.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace core;
using modelcache::ReadResult;


namespace {

constexpr int headerSize = 64;
// Offsets of the header's fields (see landmarkmodelcache.cpp).
constexpr int formatOffset = 8;
constexpr int modelSizeOffset = 24;
constexpr int payloadSizeOffset = 48;
constexpr int payloadHashOffset = 56;

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// A leftover of a writer killed two hours ago, or dated secondsFromNow by a clock that was wrong.
bool writeOldLeftover(const QString& path, qint64 secondsFromNow = -7200)
{
    QFile file(path);
    // Flushed first: the write would otherwise date the file anew when it is closed.
    return file.open(QIODevice::WriteOnly) && file.write("half a copy") > 0 && file.flush()
           && file.setFileTime(QDateTime::currentDateTime().addSecs(secondsFromNow), QFileDevice::FileModificationTime);
}

template <typename T>
void addTo(QByteArray& bytes, int offset, T delta)
{
    T value;
    std::memcpy(&value, bytes.constData() + offset, sizeof value);
    value += delta;
    std::memcpy(bytes.data() + offset, &value, sizeof value);
}

using Damage = std::function<QByteArray(const QByteArray&)>;

// The child of concurrentBuildersLeaveOneWholeCopy: loads the model once with the given folder.
int buildCache(const QString& folder, const QString& model)
{
    const auto module = FaceDetectionModule::load(QFile::encodeName(model).toStdString(), folder);
    return module ? 0 : 1;
}

} // namespace

Q_DECLARE_METATYPE(Damage)

class TestLandmarkModelCache : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();

    void defaultFolderFollowsXdg_data();
    void defaultFolderFollowsXdg();
    void soundCopyIsRead();
    void damagedCopyIsRefused_data();
    void damagedCopyIsRefused();
    void staleCopyIsRefused_data();
    void staleCopyIsRefused();
    void moduleRebuildsARefusedCopy();
    void moduleLoadsWhereNoCopyCanBeWritten();
    void concurrentBuildersLeaveOneWholeCopy();
    void leftoversOfKilledWritersAreRemoved();
    void leftoversAreRemovedWhenTheCopyIsRead_data();
    void leftoversAreRemovedWhenTheCopyIsRead();
    void copiesOfModelsNotUsedLatelyAreRemoved_data();
    void copiesOfModelsNotUsedLatelyAreRemoved();
    void piecesReadWhatTheSinkWrote_data();
    void piecesReadWhatTheSinkWrote();
    void hashInPiecesEqualsTheWholeHash_data();
    void hashInPiecesEqualsTheWholeHash();
    void pipeAtTheCachePathIsRefusedWithoutWaiting();
    void filesCutShortWhileReadAreRefused();

private:
    // Reads cacheFile for the model copy, checking that a refusal leaves the outputs alone.
    ReadResult readInto(const QString& cacheFile, dlib::shape_predictor& predictor, FhogFaceDetector& detector);

    QTemporaryDir m_folder;
    QString m_model;       // a copy of the model, whose time the tests may change
    QString m_cacheFolder; // written by initTestCase
    QString m_cacheFile;
    QByteArray m_soundCopy;
};

void TestLandmarkModelCache::initTestCase()
{
    QVERIFY2(QFile::exists(FaceDetectionModule::defaultModelPath),
             "the test must run in a directory holding shape_predictor.dat");
    QVERIFY(m_folder.isValid());
    m_model = m_folder.filePath(QStringLiteral("model.dat"));
    QVERIFY(QFile::copy(QString::fromLatin1(FaceDetectionModule::defaultModelPath), m_model));
    m_cacheFolder = m_folder.filePath(QStringLiteral("cache"));
    const auto module = FaceDetectionModule::load(QFile::encodeName(m_model).toStdString(), m_cacheFolder);
    QVERIFY(module);
    QCOMPARE(module->cacheUse(), ModelCacheUse::Created);
    m_cacheFile = modelcache::fileFor(m_cacheFolder, QFile::encodeName(m_model).toStdString());
    QVERIFY(m_cacheFile.startsWith(m_cacheFolder + "/landmarks-"));
    m_soundCopy = readAll(m_cacheFile);
    QVERIFY(m_soundCopy.size() > headerSize);
    // Nothing but the copy itself is left in the folder.
    QCOMPARE(QDir(m_cacheFolder).entryList(QDir::Files), QStringList{QFileInfo(m_cacheFile).fileName()});
}

ReadResult TestLandmarkModelCache::readInto(const QString& cacheFile, dlib::shape_predictor& predictor,
                                            FhogFaceDetector& detector)
{
    const ReadResult result = modelcache::read(cacheFile, QFile::encodeName(m_model).toStdString(), predictor, detector);
    if (result != ReadResult::Read) {
        // A refused copy fills nothing.
        if (predictor.num_parts() != 0 || detector.isValid()) {
            return ReadResult(-1);
        }
    }
    return result;
}

void TestLandmarkModelCache::defaultFolderFollowsXdg_data()
{
    QTest::addColumn<QByteArray>("xdgCacheHome"); // null: unset
    QTest::addColumn<QString>("expected");
    const QString home = QDir::homePath();
    QTest::newRow("absolute") << QByteArray("/var/tmp/somewhere") << QStringLiteral("/var/tmp/somewhere/facemask");
    QTest::newRow("relative-is-ignored") << QByteArray("relative/cache") << home + "/.cache/facemask";
    QTest::newRow("empty-is-ignored") << QByteArray("") << home + "/.cache/facemask";
    QTest::newRow("unset") << QByteArray() << home + "/.cache/facemask";
}

void TestLandmarkModelCache::defaultFolderFollowsXdg()
{
    QFETCH(QByteArray, xdgCacheHome);
    QFETCH(QString, expected);
    const QByteArray saved = qgetenv("XDG_CACHE_HOME");
    const bool wasSet = qEnvironmentVariableIsSet("XDG_CACHE_HOME");
    if (xdgCacheHome.isNull()) {
        qunsetenv("XDG_CACHE_HOME");
    } else {
        qputenv("XDG_CACHE_HOME", xdgCacheHome);
    }
    const QString folder = FaceDetectionModule::defaultCacheFolder();
    if (wasSet) {
        qputenv("XDG_CACHE_HOME", saved);
    } else {
        qunsetenv("XDG_CACHE_HOME");
    }
    QCOMPARE(folder, expected);
}

void TestLandmarkModelCache::soundCopyIsRead()
{
    dlib::shape_predictor predictor;
    FhogFaceDetector detector;
    QCOMPARE(readInto(m_cacheFile, predictor, detector), ReadResult::Read);
    QCOMPARE(predictor.num_parts(), 68ul);
    QVERIFY(detector.isValid());
    dlib::shape_predictor untouched;
    FhogFaceDetector untouchedDetector;
    QCOMPARE(readInto(m_cacheFile + ".absent", untouched, untouchedDetector), ReadResult::Missing);
}

void TestLandmarkModelCache::damagedCopyIsRefused_data()
{
    QTest::addColumn<Damage>("damage");
    QTest::newRow("empty") << Damage([](const QByteArray&) { return QByteArray(); });
    QTest::newRow("cut-in-the-header") << Damage([](const QByteArray& b) { return b.left(40); });
    QTest::newRow("header-only") << Damage([](const QByteArray& b) { return b.left(headerSize); });
    QTest::newRow("cut-in-the-middle") << Damage([](const QByteArray& b) { return b.left(b.size() / 2); });
    QTest::newRow("one-byte-short") << Damage([](const QByteArray& b) { return b.left(b.size() - 1); });
    QTest::newRow("one-byte-more") << Damage([](const QByteArray& b) { return b + '\0'; });
    QTest::newRow("bit-flipped-in-a-leaf") << Damage([](QByteArray b) {
        b[b.size() / 2] = char(b[b.size() / 2] ^ 0x10);
        return b;
    });
    QTest::newRow("bit-flipped-in-a-count") << Damage([](QByteArray b) {
        b[headerSize] = char(b[headerSize] ^ 0x01); // the shape's size, first in the payload
        return b;
    });
    QTest::newRow("last-byte-changed") << Damage([](QByteArray b) {
        b[b.size() - 1] = char(b[b.size() - 1] + 1);
        return b;
    });
    QTest::newRow("magic-changed") << Damage([](QByteArray b) {
        b[0] = 'X';
        return b;
    });
    QTest::newRow("payload-hash-changed") << Damage([](QByteArray b) {
        addTo<uint64_t>(b, payloadHashOffset, 1);
        return b;
    });
    QTest::newRow("payload-size-changed") << Damage([](QByteArray b) {
        addTo<uint64_t>(b, payloadSizeOffset, uint64_t(-4));
        return b;
    });
    QTest::newRow("garbage-of-the-same-size") << Damage([](const QByteArray& b) {
        QByteArray garbage(b.size(), Qt::Uninitialized);
        for (int i = 0; i < garbage.size(); ++i) {
            garbage[i] = char((i * 2654435761u) >> 13);
        }
        return garbage;
    });
}

void TestLandmarkModelCache::damagedCopyIsRefused()
{
    QFETCH(Damage, damage);
    const QString path = m_folder.filePath(QStringLiteral("damaged.cache"));
    QVERIFY(writeAll(path, damage(m_soundCopy)));
    dlib::shape_predictor predictor;
    FhogFaceDetector detector;
    QCOMPARE(readInto(path, predictor, detector), ReadResult::Damaged);
}

void TestLandmarkModelCache::staleCopyIsRefused_data()
{
    QTest::addColumn<QString>("change");
    QTest::newRow("model-file-touched") << "touch";
    QTest::newRow("model-bytes-differ-same-size-and-time") << "hash";
    QTest::newRow("model-size-differs") << "size";
    QTest::newRow("older-cache-format") << "format";
}

void TestLandmarkModelCache::staleCopyIsRefused()
{
    QFETCH(QString, change);
    const QString path = m_folder.filePath(QStringLiteral("stale.cache"));
    dlib::shape_predictor predictor;
    FhogFaceDetector detector;
    QCOMPARE(readInto(m_cacheFile, predictor, detector), ReadResult::Read);
    const std::optional<modelcache::ModelKey> key = modelcache::keyOf(QFile::encodeName(m_model).toStdString());
    QVERIFY(key);
    modelcache::ModelKey written = *key;
    QByteArray bytes;
    if (change == "hash") {
        // As if the copy had been made from other bytes under the same size and time.
        written.hash ^= 1;
    }
    QVERIFY(modelcache::write(path, written, predictor, detector));
    bytes = readAll(path);
    if (change == "size") {
        // The payload's own hash does not cover the header, so this copy is otherwise sound.
        addTo<uint64_t>(bytes, modelSizeOffset, 1);
    } else if (change == "format") {
        addTo<uint32_t>(bytes, formatOffset, uint32_t(-1));
    }
    QVERIFY(writeAll(path, bytes));

    struct stat before {};
    const QByteArray modelName = QFile::encodeName(m_model);
    QVERIFY(::stat(modelName.constData(), &before) == 0);
    if (change == "touch") {
        QFile model(m_model);
        QVERIFY(model.open(QIODevice::ReadWrite));
        QVERIFY(model.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime));
    }
    dlib::shape_predictor refusedPredictor;
    FhogFaceDetector refusedDetector;
    const ReadResult result = readInto(path, refusedPredictor, refusedDetector);
    if (change == "touch") {
        // Put the time back for the other tests.
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        QVERIFY(::utimensat(AT_FDCWD, modelName.constData(), times, 0) == 0);
        QCOMPARE(readInto(m_cacheFile, refusedPredictor, refusedDetector), ReadResult::Read);
        refusedPredictor = dlib::shape_predictor();
        refusedDetector = FhogFaceDetector();
        QCOMPARE(readInto(path, refusedPredictor, refusedDetector), ReadResult::Read);
    }
    QCOMPARE(result, ReadResult::Stale);
}

void TestLandmarkModelCache::moduleRebuildsARefusedCopy()
{
    QByteArray damaged = m_soundCopy;
    damaged[damaged.size() - 100] = char(damaged[damaged.size() - 100] ^ 0x40);
    QVERIFY(writeAll(m_cacheFile, damaged));
    const std::string model = QFile::encodeName(m_model).toStdString();
    const auto rebuilt = FaceDetectionModule::load(model, m_cacheFolder);
    QVERIFY(rebuilt);
    QCOMPARE(rebuilt->cacheUse(), ModelCacheUse::Rebuilt);
    QCOMPARE(readAll(m_cacheFile), m_soundCopy);

    const auto read = FaceDetectionModule::load(model, m_cacheFolder);
    QVERIFY(read);
    QCOMPARE(read->cacheUse(), ModelCacheUse::Read);
    const QImage face(QStringLiteral(FACEMASK_TEST_DATA_DIR "/faces/astronaut.png"));
    const auto fromFile = rebuilt->detectFaces(face);
    const auto fromCopy = read->detectFaces(face);
    QVERIFY(fromFile && fromCopy);
    QCOMPARE(fromCopy->size(), 1);
    QCOMPARE(fromCopy->at(0).rect, fromFile->at(0).rect);
    QCOMPARE(fromCopy->at(0).points, fromFile->at(0).points);
}

void TestLandmarkModelCache::moduleLoadsWhereNoCopyCanBeWritten()
{
    // A folder below a regular file cannot be made, even by root.
    const QString blocker = m_folder.filePath(QStringLiteral("blocker"));
    QVERIFY(writeAll(blocker, "a file"));
    const auto module = FaceDetectionModule::load(QFile::encodeName(m_model).toStdString(), blocker + "/cache");
    QVERIFY(module);
    QCOMPARE(module->cacheUse(), ModelCacheUse::NotWritten);
    QCOMPARE(module->partCount(), 68);

    const auto withoutCache = FaceDetectionModule::load(QFile::encodeName(m_model).toStdString(), QString());
    QVERIFY(withoutCache);
    QCOMPARE(withoutCache->cacheUse(), ModelCacheUse::Off);
}

void TestLandmarkModelCache::concurrentBuildersLeaveOneWholeCopy()
{
    const QString folder = m_folder.filePath(QStringLiteral("shared-cache"));
    const QString cacheFile = modelcache::fileFor(folder, QFile::encodeName(m_model).toStdString());
    QProcess first;
    QProcess second;
    for (QProcess* builder : {&first, &second}) {
        builder->setProcessChannelMode(QProcess::ForwardedChannels);
        builder->start(QCoreApplication::applicationFilePath(), {"--build-cache", folder, m_model});
    }
    QVERIFY(first.waitForStarted() && second.waitForStarted());
    // While they work, every look at the file finds no copy or a whole one, never half of one.
    int looks = 0;
    while (first.state() != QProcess::NotRunning || second.state() != QProcess::NotRunning) {
        dlib::shape_predictor predictor;
        FhogFaceDetector detector;
        const ReadResult seen = readInto(cacheFile, predictor, detector);
        QVERIFY2(seen == ReadResult::Missing || seen == ReadResult::Read,
                 qPrintable(QStringLiteral("look %1 found %2").arg(looks).arg(int(seen))));
        ++looks;
        first.waitForFinished(50);
        second.waitForFinished(50);
    }
    QCOMPARE(first.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(first.exitCode(), 0);
    QCOMPARE(second.exitCode(), 0);
    dlib::shape_predictor predictor;
    FhogFaceDetector detector;
    QCOMPARE(readInto(cacheFile, predictor, detector), ReadResult::Read);
    QCOMPARE(readAll(cacheFile), m_soundCopy);
    // No temporary file is left behind.
    QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList{QFileInfo(cacheFile).fileName()});
}

void TestLandmarkModelCache::leftoversOfKilledWritersAreRemoved()
{
    const QString folder = m_folder.filePath(QStringLiteral("leftovers"));
    QVERIFY(QDir().mkpath(folder));
    const QString old = folder + "/landmarks-0123456789abcdef.cache.aBcDeF.part";
    const QString recent = folder + "/landmarks-fedcba9876543210.cache.gHiJkL.part";
    QVERIFY(writeOldLeftover(old) && writeAll(recent, "being written"));
    dlib::shape_predictor predictor;
    FhogFaceDetector detector;
    QCOMPARE(readInto(m_cacheFile, predictor, detector), ReadResult::Read);
    const std::optional<modelcache::ModelKey> key = modelcache::keyOf(QFile::encodeName(m_model).toStdString());
    QVERIFY(key);
    const QString cacheFile = modelcache::fileFor(folder, QFile::encodeName(m_model).toStdString());
    QVERIFY(modelcache::write(cacheFile, *key, predictor, detector));
    // The old one is gone; the recent one may belong to a writer at work and stays.
    QVERIFY(!QFile::exists(old));
    QVERIFY(QFile::exists(recent));
    QVERIFY(QFile::exists(cacheFile));
}

void TestLandmarkModelCache::leftoversAreRemovedWhenTheCopyIsRead_data()
{
    QTest::addColumn<qint64>("secondsFromNow");
    QTest::newRow("two hours ago") << qint64(-7200);
    // Killed while the clock ran a year ahead: waiting for the clock to pass it would keep it.
    QTest::newRow("a year ahead") << qint64(365 * 86400);
}

// Killed writers' files also go when the copy is only read: with a sound copy no write follows.
void TestLandmarkModelCache::leftoversAreRemovedWhenTheCopyIsRead()
{
    QFETCH(qint64, secondsFromNow);
    const QString folder = m_folder.filePath(QStringLiteral("leftovers-read"));
    QVERIFY(QDir().mkpath(folder));
    const QString cacheFile = modelcache::fileFor(folder, QFile::encodeName(m_model).toStdString());
    QVERIFY(writeAll(cacheFile, m_soundCopy));
    const QString old = cacheFile + ".aBcDeF.part";
    QVERIFY(writeOldLeftover(old, secondsFromNow));
    dlib::shape_predictor predictor;
    FhogFaceDetector detector;
    QCOMPARE(readInto(cacheFile, predictor, detector), ReadResult::Read);
    QVERIFY(!QFile::exists(old));
}

void TestLandmarkModelCache::copiesOfModelsNotUsedLatelyAreRemoved_data()
{
    QTest::addColumn<QVector<int>>("hoursAgo"); // the copies there before, landmarks-0.cache on
    QTest::addColumn<int>("read");              // the copy read before the write; -1: none
    QTest::addColumn<QStringList>("left");
    QTest::newRow("one copy before: both stay") << QVector<int>{1} << -1
                                                << QStringList{"landmarks-0.cache", "landmarks-new.cache"};
    QTest::newRow("five copies before: the two used last stay")
        << QVector<int>{5, 1, 4, 2, 3} << -1
        << QStringList{"landmarks-1.cache", "landmarks-3.cache", "landmarks-new.cache"};
    QTest::newRow("a copy read lately outlives those written after it")
        << QVector<int>{5, 1, 2} << 0
        << QStringList{"landmarks-0.cache", "landmarks-1.cache", "landmarks-new.cache"};
}

// One copy per model path, for paths that come and go (a model copied beside each project, or
// into a temporary folder for one run): the folder keeps the copies used last, not every one
// ever written. Files that are not copies stay.
void TestLandmarkModelCache::copiesOfModelsNotUsedLatelyAreRemoved()
{
    QFETCH(QVector<int>, hoursAgo);
    QFETCH(int, read);
    QFETCH(QStringList, left);
    const QString folder = m_folder.filePath(QStringLiteral("used-last-%1").arg(QTest::currentDataTag()).replace(' ', '-'));
    QVERIFY(QDir().mkpath(folder));
    const auto dated = [](const QString& path, int hours) {
        QFile file(path);
        return file.open(QIODevice::ReadWrite)
               && file.setFileTime(QDateTime::currentDateTime().addSecs(-3600 * hours), QFileDevice::FileModificationTime);
    };
    for (int i = 0; i < hoursAgo.size(); ++i) {
        const QString copy = folder + QStringLiteral("/landmarks-%1.cache").arg(i);
        QVERIFY(writeAll(copy, i == read ? m_soundCopy : QByteArray("another model's copy")));
        QVERIFY(dated(copy, hoursAgo[i]));
    }
    const QString notes = folder + QStringLiteral("/notes.txt");
    QVERIFY(writeAll(notes, "not a copy") && dated(notes, 10));
    dlib::shape_predictor predictor;
    FhogFaceDetector detector;
    if (read >= 0) {
        QCOMPARE(readInto(folder + QStringLiteral("/landmarks-%1.cache").arg(read), predictor, detector), ReadResult::Read);
    } else {
        QCOMPARE(readInto(m_cacheFile, predictor, detector), ReadResult::Read);
    }
    const std::optional<modelcache::ModelKey> key = modelcache::keyOf(QFile::encodeName(m_model).toStdString());
    QVERIFY(key);
    QVERIFY(modelcache::write(folder + QStringLiteral("/landmarks-new.cache"), *key, predictor, detector));

    QCOMPARE(QDir(folder).entryList({QStringLiteral("landmarks-*")}, QDir::Files, QDir::Name), left);
    QVERIFY(QFile::exists(notes));
}

void TestLandmarkModelCache::piecesReadWhatTheSinkWrote_data()
{
    QTest::addColumn<int>("piece");
    QTest::addColumn<int>("failAt"); // the offset of the piece that cannot be read; -1: none
    for (const int piece : {1, 3, 4, 7, 64, 1 << 20}) {
        QTest::addRow("pieces-of-%d", piece) << piece << -1;
    }
    QTest::newRow("a-piece-that-cannot-be-read") << 7 << 140;
}

// Numbers and arrays that cross the pieces' edges come back whole, every byte passes the hash
// once, and a piece that cannot be read fails the read instead of leaving stale bytes.
void TestLandmarkModelCache::piecesReadWhatTheSinkWrote()
{
    QFETCH(int, piece);
    QFETCH(int, failAt);
    cachebytes::Sink sink;
    std::vector<float> floats(37);
    for (size_t i = 0; i < floats.size(); ++i) {
        floats[i] = float(i) * 1.25f - 3.0f;
    }
    for (uint32_t round = 0; round < 5; ++round) {
        sink.put<uint32_t>(round * 1000003u);
        sink.putArray(floats.data(), floats.size() - round);
        sink.put<double>(round + 0.5);
        sink.put<uint8_t>(uint8_t(round));
    }
    const std::string& bytes = sink.bytes;
    std::string seen;
    cachebytes::Source source(
        bytes.size(),
        [&](char* target, uint64_t offset, size_t length) {
            if (failAt >= 0 && offset <= uint64_t(failAt) && uint64_t(failAt) < offset + length) {
                return false;
            }
            std::memcpy(target, bytes.data() + offset, length);
            return true;
        },
        [&](const char* data, size_t length) { seen.append(data, length); }, size_t(piece));
    bool whole = true;
    for (uint32_t round = 0; round < 5 && whole; ++round) {
        uint32_t number = 0;
        std::vector<float> read(floats.size() - round);
        double real = 0;
        uint8_t small = 0;
        whole = source.get(number) && source.getArray(read.data(), read.size()) && source.get(real) && source.get(small);
        if (whole) {
            QCOMPARE(number, round * 1000003u);
            QVERIFY(std::equal(read.begin(), read.end(), floats.begin()));
            QCOMPARE(real, round + 0.5);
            QCOMPARE(small, uint8_t(round));
        }
    }
    if (failAt >= 0) {
        QVERIFY(!whole && !source.ok());
        return;
    }
    QVERIFY(whole && source.atEnd());
    QCOMPARE(seen, bytes);
    uint8_t past = 0;
    QVERIFY(!source.get(past));
}

void TestLandmarkModelCache::hashInPiecesEqualsTheWholeHash_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("piece");
    for (const int length : {0, 3, 31, 32, 33, 64, 100, 4096 + 13}) {
        for (const int piece : {1, 7, 32, 33, 1000}) {
            QTest::addRow("%d-bytes-in-pieces-of-%d", length, piece) << length << piece;
        }
    }
}

void TestLandmarkModelCache::hashInPiecesEqualsTheWholeHash()
{
    QFETCH(int, length);
    QFETCH(int, piece);
    QByteArray bytes(length, Qt::Uninitialized);
    for (int i = 0; i < length; ++i) {
        bytes[i] = char((i * 131 + 7) ^ (i >> 3));
    }
    modelcache::StreamHash hash;
    for (int at = 0; at < length; at += piece) {
        hash.update(bytes.constData() + at, size_t(std::min(piece, length - at)));
    }
    QCOMPARE(hash.digest(), modelcache::hashBytes(bytes.constData(), size_t(length)));
    // XXH64's published values, so that copies written before keep their meaning.
    QCOMPARE(modelcache::hashBytes("", 0), quint64(0xEF46DB3751D8E999ULL));
    QCOMPARE(modelcache::hashBytes("abc", 3), quint64(0x44BC2CF5AD770999ULL));
}

// A pipe where the copy should be would hold open(2) until something writes to it: loading,
// every detection queued behind it, and quitting would wait for good.
void TestLandmarkModelCache::pipeAtTheCachePathIsRefusedWithoutWaiting()
{
    const QString folder = m_folder.filePath(QStringLiteral("pipe"));
    QVERIFY(QDir().mkpath(folder));
    const QString cacheFile = modelcache::fileFor(folder, QFile::encodeName(m_model).toStdString());
    const QByteArray pipe = QFile::encodeName(cacheFile);
    QVERIFY(::mkfifo(pipe.constData(), 0600) == 0);
    auto reading = std::async(std::launch::async, [&] {
        dlib::shape_predictor predictor;
        FhogFaceDetector detector;
        return modelcache::read(cacheFile, QFile::encodeName(m_model).toStdString(), predictor, detector);
    });
    const bool waited = reading.wait_for(std::chrono::seconds(10)) != std::future_status::ready;
    if (waited) {
        // Let the read go, so that the test ends.
        const int writer = ::open(pipe.constData(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0) {
            ::close(writer);
        }
    }
    QVERIFY2(!waited, "reading the copy waited for a writer to the pipe");
    QCOMPARE(reading.get(), ReadResult::Damaged);
    QVERIFY(!modelcache::keyOf(pipe.toStdString()));
}

// Another process cutting a file short while it is read: a mapping of the file would kill this
// process with SIGBUS on the first page past the new end. Here the reads only fail.
void TestLandmarkModelCache::filesCutShortWhileReadAreRefused()
{
    const QString model = m_folder.filePath(QStringLiteral("cut-model.dat"));
    const QString cacheFile = m_folder.filePath(QStringLiteral("cut.cache"));
    QVERIFY(writeAll(model, QByteArray(16 << 20, 'm')));
    QVERIFY(writeAll(cacheFile, m_soundCopy));
    std::atomic<bool> done{false};
    std::thread cutter([&] {
        const int modelFile = ::open(QFile::encodeName(model).constData(), O_WRONLY);
        const int cacheCopy = ::open(QFile::encodeName(cacheFile).constData(), O_WRONLY);
        while (!done) {
            // Cut to nothing and back to the full length (of zeros), again and again.
            (void)::ftruncate(modelFile, 0);
            (void)::ftruncate(cacheCopy, 0);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            (void)::ftruncate(modelFile, 16 << 20);
            (void)::ftruncate(cacheCopy, m_soundCopy.size());
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        ::close(modelFile);
        ::close(cacheCopy);
    });
    QElapsedTimer clock;
    clock.start();
    int reads = 0;
    while (clock.elapsed() < 1500) {
        const std::optional<modelcache::ModelKey> key = modelcache::keyOf(QFile::encodeName(model).toStdString());
        if (key) {
            QVERIFY(key->size == 0 || key->size == (16u << 20));
        }
        // Whole at first, zeros once cut: read or refused, as the moment falls.
        dlib::shape_predictor predictor;
        FhogFaceDetector detector;
        modelcache::read(cacheFile, QFile::encodeName(m_model).toStdString(), predictor, detector);
        ++reads;
    }
    done = true;
    cutter.join();
    QVERIFY(reads > 0);
}

int main(int argc, char* argv[])
{
    if (argc == 4 && std::strcmp(argv[1], "--build-cache") == 0) {
        QCoreApplication application(argc, argv);
        return buildCache(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
    }
    QCoreApplication application(argc, argv);
    TestLandmarkModelCache test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_landmarkmodelcache.moc"
