// The archive reader: round trips through the writer, look-up, chunked extraction, prefixes and
// comments, name sanitising, attributes and times, and a table of damaged archives with one
// broken field per row, each expecting a specific result.

#include "zip/ziparchive.h"
#include "ziptestsupport.h"
#include "tests/support/injectedfault.h"

#include <QDateTime>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <limits>

#include <fcntl.h>
#include <unistd.h>

using namespace ziptest;

namespace {

const ArchiveLocalTime kLeapNight = fixedTime(2024, 2, 29, 23, 59, 58);
const quint64 kUnixEpochAsFileTime = 116444736000000000ull;
const qint64 kFromDos = std::numeric_limits<qint64>::min();  // the time comes from the DOS fields

quint64 fileTime(qint64 unixSeconds)
{
    return quint64(unixSeconds * 10000000 + qint64(kUnixEpochAsFileTime));
}

QString nameOf(const ArchiveMemberInfo& info)
{
    return QString::fromStdU16String(info.name);
}

// One field of the good archive to change: structure "local", "central", "end" or "data" (the
// member's data), member index, offset in the structure, width in bytes, and the new value (or
// a mask to flip with).
struct Patch {
    QString structure;
    int member = 0;
    int offset = 0;
    int width = 4;
    quint32 value = 0;
    bool flip = false;
};

const QByteArray kDeflatedContent = prose(3000);
const QByteArray kStoredContent = noise(500, 11);

QByteArray goodArchive()
{
    return writeArchive({ { "effect.json", kDeflatedContent }, { "raw.gz", kStoredContent } }, kLeapNight);
}

void applyPatch(QByteArray* archive, const Patch& p)
{
    const Layout l = layoutOf(*archive);
    int base = 0;
    if (p.structure == "local")
        base = l.localHeaders[p.member];
    else if (p.structure == "central")
        base = l.centralHeaders[p.member];
    else if (p.structure == "end")
        base = l.endRecord;
    else
        base = l.localHeaders[p.member] + 30 + le16(*archive, l.localHeaders[p.member] + 26)
            + le16(*archive, l.localHeaders[p.member] + 28);
    const int at = base + p.offset;
    const quint32 old = p.width == 1 ? quint8((*archive)[at]) : p.width == 2 ? le16(*archive, at) : le32(*archive, at);
    const quint32 v = p.flip ? old ^ p.value : p.value;
    if (p.width == 1)
        (*archive)[at] = char(v);
    else if (p.width == 2)
        put16(archive, at, quint16(v));
    else
        put32(archive, at, v);
}

void append64(QByteArray* out, quint64 v)
{
    append32(out, quint32(v & 0xFFFFFFFF));
    append32(out, quint32(v >> 32));
}

// The records that end an archive: the classic end record alone, or behind a ZIP64 end record
// and its locator, the classic fields holding either the true values or their escapes.
enum class Records { Classic, Zip64, Zip64Escaped };

// One field of those records to change: "end", "zip64" (the ZIP64 end record) or "locator",
// offset and width (2, 4 or 8); the value replaces the field, or is added to it.
struct RecordField {
    const char* record;
    int offset;
    int width;
    quint64 value;
    bool add = false;
};

// An archive of count members written by our writer, its end records as asked, then patched.
QByteArray archiveWithRecords(int count, Records records, const QVector<RecordField>& fields)
{
    QVector<Member> members;
    for (int i = 0; i < count; ++i)
        members.append({ QStringLiteral("member%1.txt").arg(i), prose(300 + i) });
    QByteArray archive = writeArchive(members, kLeapNight);
    int end = archive.size() - 22;
    int zip64 = -1;
    int locator = -1;
    if (records != Records::Classic) {
        QByteArray added;
        append32(&added, 0x06064B50);
        append64(&added, 44);
        append16(&added, 45);
        append16(&added, 45);
        append32(&added, 0);
        append32(&added, 0);
        append64(&added, le16(archive, end + 8));
        append64(&added, le16(archive, end + 10));
        append64(&added, le32(archive, end + 12));
        append64(&added, le32(archive, end + 16));
        append32(&added, 0x07064B50);
        append32(&added, 0);
        append64(&added, quint64(end));
        append32(&added, 1);
        archive.insert(end, added);
        zip64 = end;
        locator = end + 56;
        end += 76;
        if (records == Records::Zip64Escaped) {
            put16(&archive, end + 8, 0xFFFF);
            put16(&archive, end + 10, 0xFFFF);
            put32(&archive, end + 12, 0xFFFFFFFF);
            put32(&archive, end + 16, 0xFFFFFFFF);
        }
    }
    for (const RecordField& f : fields) {
        const QByteArray record(f.record);
        const int at = (record == "end" ? end : record == "zip64" ? zip64 : locator) + f.offset;
        quint64 old = f.width == 2 ? le16(archive, at) : le32(archive, at);
        if (f.width == 8)
            old |= quint64(le32(archive, at + 4)) << 32;
        const quint64 v = f.add ? old + f.value : f.value;
        if (f.width == 2)
            put16(&archive, at, quint16(v));
        else
            put32(&archive, at, quint32(v));
        if (f.width == 8)
            put32(&archive, at + 4, quint32(v >> 32));
    }
    return archive;
}

}  // namespace

Q_DECLARE_METATYPE(Records)
Q_DECLARE_METATYPE(QVector<RecordField>)
Q_DECLARE_METATYPE(Patch)
Q_DECLARE_METATYPE(QVector<Patch>)

class tst_ZipReader : public QObject {
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void lookUpIgnoresAsciiCaseOnlyWhenAsked();
    void notFoundResetsOutputs();
    void extractionContinuesInChunks();
    void chunksOfEveryOddSizeReassemble();
    void lookUpRestartsExtraction();
    void directoryEntryDeliversNothing();
    void prefixedArchiveIsRead();
    void archiveCommentLimit_data();
    void archiveCommentLimit();
    void emptyArchiveOpens();
    void sanitisedNames_data();
    void sanitisedNames();
    void attributesFollowHost_data();
    void attributesFollowHost();
    void writerTimesReadBackAsWallClockUtc();
    void dosTimeIsLocal();
    void extendedTimestampBlocks_data();
    void extendedTimestampBlocks();
    void longStoredNamesAreCut();
    void argumentChecks();
    void damagedArchive_data();
    void damagedArchive();
    void strictOpen_data();
    void strictOpen();
    void endRecordFoundPastSignaturesInComment_data();
    void endRecordFoundPastSignaturesInComment();
    void zip64LocalSizes_data();
    void zip64LocalSizes();
    void truncationAtEveryLengthIsRefused();
    void nonArchiveFilesAreRefused();
    void fileInputMatchesMemoryInput();
    void failingDiskIsNoDamage_data();
    void failingDiskIsNoDamage();
};

void tst_ZipReader::roundTrip_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("small-text-deflated") << "effect.json" << QByteArray("{\"a\":1}");
    QTest::newRow("one-byte") << "one.txt" << QByteArray("x");
    QTest::newRow("incompressible-deflated") << "images/main/image.png" << noise(100000, 3);
    QTest::newRow("stored-by-suffix") << "bundle.zip" << noise(70000, 4);
    QTest::newRow("compressible-two-megabytes") << "big.json" << prose(2 << 20);
    QTest::newRow("non-ascii-name") << QString::fromUtf8("gr\xC3\xBC\xC3\x9F" "e.json") << prose(100);
}

void tst_ZipReader::roundTrip()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    const QByteArray archive = writeArchive({ { "before.txt", "b" }, { name, content }, { "after.txt", "a" } }, kLeapNight);
    Handle reader = openMemory(archive);
    QVERIFY(reader);
    ArchiveMemberInfo info;
    int32_t index = -7;
    QCOMPARE(archiveFindMember(reader.get(), u16(name).c_str(), false, &index, &info), ArchiveResult::Ok);
    QCOMPARE(index, 1);
    QCOMPARE(info.index, 1);
    QCOMPARE(nameOf(info), name);
    QCOMPARE(info.uncompressedSize, quint32(content.size()));
    QByteArray out;
    QCOMPARE(extractAll(reader.get(), info.index, info.uncompressedSize, &out), ArchiveResult::Ok);
    QVERIFY2(out == content, "extracted bytes differ from what was added");
}

void tst_ZipReader::lookUpIgnoresAsciiCaseOnlyWhenAsked()
{
    const QByteArray archive = writeArchive({ { "effect.json", "{}" }, { "images/main/image.png", noise(50, 1) } }, kLeapNight);
    Handle reader = openMemory(archive);
    ArchiveMemberInfo info;
    QCOMPARE(archiveFindMember(reader.get(), u"effect.json", true, nullptr, &info), ArchiveResult::Ok);
    QCOMPARE(archiveFindMember(reader.get(), u"EFFECT.JSON", true, nullptr, &info), ArchiveResult::Ok);
    QCOMPARE(info.index, 0);
    QCOMPARE(info.uncompressedSize, 2u);
    QCOMPARE(archiveFindMember(reader.get(), u"EFFECT.JSON", false, nullptr, &info), ArchiveResult::NotFound);
    QCOMPARE(archiveFindMember(reader.get(), u"effect.json", false, nullptr, &info), ArchiveResult::Ok);
    QCOMPARE(archiveFindMember(reader.get(), u"images\\main\\image.png", true, nullptr, &info), ArchiveResult::NotFound);
    QCOMPARE(archiveFindMember(reader.get(), u"IMAGES/MAIN/IMAGE.PNG", true, nullptr, &info), ArchiveResult::Ok);
    QCOMPARE(info.index, 1);
    QCOMPARE(archiveFindMember(reader.get(), u"effect.jso", true, nullptr, &info), ArchiveResult::NotFound);
}

void tst_ZipReader::notFoundResetsOutputs()
{
    const QByteArray archive = writeArchive({ { "effect.json", "{}" } }, kLeapNight);
    Handle reader = openMemory(archive);
    ArchiveMemberInfo info;
    QCOMPARE(archiveFindMember(reader.get(), u"effect.json", false, nullptr, &info), ArchiveResult::Ok);
    int32_t index = 5;
    QCOMPARE(archiveFindMember(reader.get(), u"missing.json", false, &index, &info), ArchiveResult::NotFound);
    QCOMPARE(index, -1);
    QCOMPARE(info.index, -1);
    QCOMPARE(info.name[0], u'\0');
    QCOMPARE(info.uncompressedSize, 0u);
    QCOMPARE(info.modificationTime, 0ull);
    const std::u16string tooLong = u16(QString(256, 'a'));
    QCOMPARE(archiveFindMember(reader.get(), tooLong.c_str(), false, &index, nullptr), ArchiveResult::NotFound);
}

void tst_ZipReader::extractionContinuesInChunks()
{
    const QByteArray content = prose(50000);
    const QByteArray archive = writeArchive({ { "effect.json", content } }, kLeapNight);
    Handle reader = openMemory(archive);
    QByteArray first(30000, '\0');
    QByteArray second(30000, '\0');
    QCOMPARE(archiveExtractToBuffer(reader.get(), 0, first.data(), 30000), ArchiveResult::MoreData);
    QCOMPARE(archiveExtractToBuffer(reader.get(), 0, second.data(), 30000), ArchiveResult::Ok);
    QCOMPARE(first + second.left(20000), content);
    QCOMPARE(archiveExtractToBuffer(reader.get(), 0, second.data(), 30000), ArchiveResult::CodecError);
    QCOMPARE(archiveExtractToBuffer(reader.get(), 0, first.data(), 30000), ArchiveResult::MoreData);
}

void tst_ZipReader::chunksOfEveryOddSizeReassemble()
{
    const QByteArray deflated = prose(20011);
    const QByteArray stored = noise(20011, 5);
    const QByteArray archive = writeArchive({ { "a.txt", deflated }, { "b.gz", stored } }, kLeapNight);
    Handle reader = openMemory(archive);
    for (int index = 0; index < 2; ++index) {
        for (int piece : { 1, 7, 4095, 16384, 16385, 20010 }) {
            QByteArray all;
            QByteArray chunk(piece, '\0');
            ArchiveResult r;
            while ((r = archiveExtractToBuffer(reader.get(), index, chunk.data(), uint32_t(piece))) == ArchiveResult::MoreData)
                all += chunk;
            QCOMPARE(r, ArchiveResult::Ok);
            const int tail = (index ? stored : deflated).size() - all.size();
            all += chunk.left(tail);
            QVERIFY2(all == (index ? stored : deflated), qPrintable(QString("member %1 in pieces of %2").arg(index).arg(piece)));
            // The member stays open with nothing left; a second call ends it.
            QCOMPARE(archiveExtractToBuffer(reader.get(), index, chunk.data(), uint32_t(piece)), ArchiveResult::CodecError);
        }
    }
}

void tst_ZipReader::lookUpRestartsExtraction()
{
    const QByteArray content = prose(10000);
    const QByteArray archive = writeArchive({ { "effect.json", content } }, kLeapNight);
    Handle reader = openMemory(archive);
    QByteArray part(4000, '\0');
    QCOMPARE(archiveExtractToBuffer(reader.get(), 0, part.data(), 4000), ArchiveResult::MoreData);
    QCOMPARE(archiveFindMember(reader.get(), u"effect.json", false, nullptr, nullptr), ArchiveResult::Ok);
    QByteArray whole;
    QCOMPARE(extractAll(reader.get(), 0, quint32(content.size()), &whole), ArchiveResult::Ok);
    QCOMPARE(whole, content);
}

void tst_ZipReader::directoryEntryDeliversNothing()
{
    const QByteArray archive = writeArchive({ { "images", {} } }, kLeapNight);
    Handle reader = openMemory(archive);
    ArchiveMemberInfo info;
    QCOMPARE(archiveFindMember(reader.get(), u"images/", false, nullptr, &info), ArchiveResult::Ok);
    QCOMPARE(info.attributes, 0x10u);
    char byte = 0;
    QCOMPARE(archiveExtractToBuffer(reader.get(), 0, &byte, 1), ArchiveResult::CodecError);
}

void tst_ZipReader::prefixedArchiveIsRead()
{
    const QByteArray content = prose(5000);
    const QByteArray archive = QByteArray(100, 'P') + writeArchive({ { "effect.json", content } }, kLeapNight);
    Handle reader = openMemory(archive);
    QVERIFY(reader);
    QByteArray out;
    QCOMPARE(findAndExtract(reader.get(), u"effect.json", false, &out), ArchiveResult::Ok);
    QCOMPARE(out, content);
}

void tst_ZipReader::archiveCommentLimit_data()
{
    QTest::addColumn<int>("commentLength");
    QTest::addColumn<bool>("opens");
    QTest::newRow("no-comment") << 0 << true;
    QTest::newRow("2000-byte-comment") << 2000 << true;
    QTest::newRow("65513-byte-comment") << 65513 << true;
    QTest::newRow("65514-byte-comment") << 65514 << true;
    QTest::newRow("65535-byte-comment-the-longest-there-is") << 65535 << true;
}

void tst_ZipReader::archiveCommentLimit()
{
    QFETCH(int, commentLength);
    QFETCH(bool, opens);
    const QByteArray comment(commentLength, 'c');
    const QByteArray archive = buildRawArchive({ storedMember("a.txt", "hello") }, comment);
    Handle reader = openMemory(archive);
    QCOMPARE(bool(reader), opens);
    if (!opens)
        return;
    QByteArray out;
    QCOMPARE(extractAll(reader.get(), 0, 5, &out), ArchiveResult::Ok);
    QCOMPARE(out, QByteArray("hello"));
}

void tst_ZipReader::emptyArchiveOpens()
{
    const QByteArray archive = buildRawArchive({});
    QCOMPARE(archive.size(), 22);
    Handle reader = openMemory(archive);
    QVERIFY(reader);
    ArchiveMemberInfo info;
    QCOMPARE(archiveMemberInfo(reader.get(), -1, &info), ArchiveResult::Ok);
    QCOMPARE(info.index, 0);
    QCOMPARE(archiveFindMember(reader.get(), u"effect.json", true, nullptr, &info), ArchiveResult::NotFound);
    QCOMPARE(archiveMemberInfo(reader.get(), 0, &info), ArchiveResult::BadArguments);
    char byte;
    QCOMPARE(archiveExtractToBuffer(reader.get(), 0, &byte, 1), ArchiveResult::BadArguments);
}

void tst_ZipReader::sanitisedNames_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QString>("described");
    QTest::newRow("drive-and-parent") << QByteArray("C:/dir/../x.txt") << "x.txt";
    QTest::newRow("absolute-slash") << QByteArray("/abs/name") << "abs/name";
    QTest::newRow("backslash-parent") << QByteArray("a\\..\\b") << "b";
    QTest::newRow("mixed-parent-slash-backslash") << QByteArray("a/..\\b") << "b";
    QTest::newRow("mixed-parent-backslash-slash") << QByteArray("a\\../b") << "b";
    QTest::newRow("unc-like-double-backslash") << QByteArray("\\\\server\\share") << "server\\share";
    QTest::newRow("repeated-parents") << QByteArray("a/../b/../c") << "c";
    QTest::newRow("leading-dot-dot-kept") << QByteArray("../x") << "../x";
    QTest::newRow("parent-after-parent-exposes-leading-dots") << QByteArray("a/../../b") << "../b";
    QTest::newRow("plain-name-unchanged") << QByteArray("images/main/image.png") << "images/main/image.png";
    QTest::newRow("utf8-decoded") << QByteArray("gr\xC3\xBC\xC3\x9F" "e") << QString::fromUtf8("gr\xC3\xBC\xC3\x9F" "e");
    QTest::newRow("malformed-utf8-replaced") << QByteArray("a\xFF" "b") << QString("a") + QChar(0xFFFD) + "b";
}

void tst_ZipReader::sanitisedNames()
{
    QFETCH(QByteArray, stored);
    QFETCH(QString, described);
    const QByteArray archive = buildRawArchive({ storedMember(stored, "data") });
    Handle reader = openMemory(archive);
    QVERIFY(reader);
    ArchiveMemberInfo info;
    QCOMPARE(archiveMemberInfo(reader.get(), 0, &info), ArchiveResult::Ok);
    QCOMPARE(nameOf(info), described);
    // The look-up compares the stored bytes, not the described name.
    QCOMPARE(archiveFindMember(reader.get(), u16(QString::fromUtf8(stored)).c_str(), false, nullptr, nullptr),
             QString::fromUtf8(stored).toUtf8() == stored ? ArchiveResult::Ok : ArchiveResult::NotFound);
}

void tst_ZipReader::attributesFollowHost_data()
{
    QTest::addColumn<int>("versionMadeBy");
    QTest::addColumn<quint32>("external");
    QTest::addColumn<quint32>("attributes");
    QTest::newRow("our-memory-member") << 0x0B17 << 0x80000000u << 0u;
    QTest::newRow("our-folder-entry") << 0x0B17 << 0x41C00010u << 0x10u;
    QTest::newRow("msdos-read-only-hidden-system") << 0x0014 << 0x07u << 0x07u;
    QTest::newRow("msdos-archive-directory") << 0x0014 << 0x30u << 0x30u;
    QTest::newRow("ntfs-host-uses-dos-bits") << 0x0A14 << 0x21u << 0x21u;
    QTest::newRow("vfat-host-uses-dos-bits") << 0x0E14 << 0x02u << 0x02u;
    QTest::newRow("unix-writable-file") << 0x031E << 0x81A40000u << 0x20u;
    QTest::newRow("unix-read-only-file") << 0x031E << 0x81240000u << 0x21u;
    QTest::newRow("unix-directory") << 0x031E << 0x41ED0010u << 0x30u;
}

void tst_ZipReader::attributesFollowHost()
{
    QFETCH(int, versionMadeBy);
    QFETCH(quint32, external);
    QFETCH(quint32, attributes);
    RawMember m = storedMember("x", "data");
    m.versionMadeBy = quint16(versionMadeBy);
    m.externalAttributes = external;
    const QByteArray archive = buildRawArchive({ m });
    Handle reader = openMemory(archive);
    ArchiveMemberInfo info;
    QCOMPARE(archiveMemberInfo(reader.get(), 0, &info), ArchiveResult::Ok);
    QCOMPARE(info.attributes, attributes);
}

void tst_ZipReader::writerTimesReadBackAsWallClockUtc()
{
    const QByteArray archive = writeArchive({ { "a.txt", "x" } }, kLeapNight);
    Handle reader = openMemory(archive);
    ArchiveMemberInfo info;
    QCOMPARE(archiveFindMember(reader.get(), u"a.txt", false, nullptr, &info), ArchiveResult::Ok);
    const qint64 seconds = QDateTime(QDate(2024, 2, 29), QTime(23, 59, 58), Qt::UTC).toSecsSinceEpoch();
    QCOMPARE(info.modificationTime, fileTime(seconds));
    QCOMPARE(info.accessTime, fileTime(seconds));
    QCOMPARE(info.creationTime, fileTime(seconds));
    QCOMPARE(info.attributes, 0u);
}

void tst_ZipReader::dosTimeIsLocal()
{
    RawMember m = storedMember("x", "data");
    m.dosDate = quint16(((2023 - 1980) << 9) | (7 << 5) | 14);
    m.dosTime = quint16((13 << 11) | (45 << 5) | 15);
    const QByteArray archive = buildRawArchive({ m });
    Handle reader = openMemory(archive);
    ArchiveMemberInfo info;
    QCOMPARE(archiveMemberInfo(reader.get(), 0, &info), ArchiveResult::Ok);
    const qint64 seconds = QDateTime(QDate(2023, 7, 14), QTime(13, 45, 30), Qt::LocalTime).toSecsSinceEpoch();
    QCOMPARE(info.modificationTime, fileTime(seconds));
    QCOMPARE(info.accessTime, fileTime(seconds));
    QCOMPARE(info.creationTime, fileTime(seconds));
}

void tst_ZipReader::extendedTimestampBlocks_data()
{
    QTest::addColumn<QByteArray>("extra");
    QTest::addColumn<qint64>("modification");  // kFromDos: not in the block
    QTest::addColumn<qint64>("access");
    QTest::addColumn<qint64>("creation");
    auto le = [](quint32 v) { QByteArray b; append32(&b, v); return b; };
    QTest::newRow("all-three-times") << QByteArray("UT\x0d\x00\x07", 5) + le(1000) + le(2000) + le(3000)
                                     << qint64(1000) << qint64(2000) << qint64(3000);
    QTest::newRow("modification-only") << QByteArray("UT\x05\x00\x01", 5) + le(1000) << qint64(1000) << kFromDos << kFromDos;
    QTest::newRow("after-another-block") << QByteArray("ZZ\x02\x00" "qq", 6) + QByteArray("UT\x05\x00\x01", 5) + le(77)
                                         << qint64(77) << kFromDos << kFromDos;
    QTest::newRow("flags-claim-more-than-block-holds") << QByteArray("UT\x05\x00\x07", 5) + le(55) + le(66)
                                                       << qint64(55) << kFromDos << kFromDos;
    QTest::newRow("negative-seconds-before-1970") << QByteArray("UT\x05\x00\x01", 5) + le(quint32(-86400))
                                                  << qint64(-86400) << kFromDos << kFromDos;
    QTest::newRow("no-ut-block") << QByteArray("ZZ\x04\x00" "abcd", 8) << kFromDos << kFromDos << kFromDos;
    QTest::newRow("too-short-to-scan") << QByteArray("UT\x00\x00", 4) << kFromDos << kFromDos << kFromDos;
}

void tst_ZipReader::extendedTimestampBlocks()
{
    QFETCH(QByteArray, extra);
    QFETCH(qint64, modification);
    QFETCH(qint64, access);
    QFETCH(qint64, creation);
    RawMember m = storedMember("x", "data");
    m.localExtra = extra;
    const QByteArray archive = buildRawArchive({ m });
    Handle reader = openMemory(archive);
    ArchiveMemberInfo info;
    QCOMPARE(archiveMemberInfo(reader.get(), 0, &info), ArchiveResult::Ok);
    const quint64 dos = fileTime(QDateTime(QDate(2024, 1, 1), QTime(12, 0, 0), Qt::LocalTime).toSecsSinceEpoch());
    QCOMPARE(info.modificationTime, modification == kFromDos ? dos : fileTime(modification));
    QCOMPARE(info.accessTime, access == kFromDos ? dos : fileTime(access));
    QCOMPARE(info.creationTime, creation == kFromDos ? dos : fileTime(creation));
}

void tst_ZipReader::longStoredNamesAreCut()
{
    const QByteArray longName(300, 'n');
    const QByteArray archive = buildRawArchive({ storedMember(longName, "data"), storedMember("b", "x") });
    Handle reader = openMemory(archive);
    ArchiveMemberInfo info;
    QCOMPARE(archiveMemberInfo(reader.get(), 0, &info), ArchiveResult::Ok);
    QCOMPARE(nameOf(info), QString(259, 'n'));
    QCOMPARE(archiveFindMember(reader.get(), u"b", false, nullptr, &info), ArchiveResult::Ok);
    QCOMPARE(info.index, 1);
}

void tst_ZipReader::argumentChecks()
{
    const QByteArray archive = writeArchive({ { "a.txt", "x" } }, kLeapNight);
    Handle reader = openMemory(archive);
    ArchiveMemberInfo info;
    char byte;
    QCOMPARE(archiveFindMember(nullptr, u"a.txt", false, nullptr, &info), ArchiveResult::BadArguments);
    QCOMPARE(archiveFindMember(reader.get(), nullptr, false, nullptr, &info), ArchiveResult::BadArguments);
    QCOMPARE(archiveExtractToBuffer(nullptr, 0, &byte, 1), ArchiveResult::BadArguments);
    QCOMPARE(archiveExtractToBuffer(reader.get(), 1, &byte, 1), ArchiveResult::BadArguments);
    QCOMPARE(archiveExtractToBuffer(reader.get(), -1, &byte, 1), ArchiveResult::BadArguments);
    QCOMPARE(archiveMemberInfo(reader.get(), -2, &info), ArchiveResult::BadArguments);
    QCOMPARE(archiveMemberInfo(reader.get(), 1, &info), ArchiveResult::BadArguments);
    QCOMPARE(archiveMemberInfo(reader.get(), 0, nullptr), ArchiveResult::BadArguments);
    QCOMPARE(archiveExtractToBuffer(reader.get(), 0, &byte, 0), ArchiveResult::CodecError);
    QVERIFY(!archiveOpenMemory(nullptr, 10, nullptr));
    QCOMPARE(archiveClose(reader.release()), ArchiveResult::Ok);
}

void tst_ZipReader::damagedArchive_data()
{
    QTest::addColumn<QVector<Patch>>("patches");
    QTest::addColumn<int>("gapBeforeDirectory");
    QTest::addColumn<bool>("opens");
    QTest::addColumn<QString>("lookUp");
    QTest::addColumn<ArchiveResult>("found");
    QTest::addColumn<int>("member");
    QTest::addColumn<ArchiveResult>("described");
    QTest::addColumn<ArchiveResult>("extracted");
    using R = ArchiveResult;
    auto row = [](const char* name, QVector<Patch> patches, bool opens, QString lookUp, R found, int member,
                  R described, R extracted, int gap = 0) {
        QTest::newRow(name) << patches << gap << opens << lookUp << found << member << described << extracted;
    };
    auto set = [](const char* s, int m, int off, int w, quint32 v) { return Patch { s, m, off, w, v, false }; };
    auto flip = [](const char* s, int m, int off, int w, quint32 mask) { return Patch { s, m, off, w, mask, true }; };

    row("intact-archive", {}, true, "effect.json", R::Ok, 0, R::Ok, R::Ok);
    row("local-header-magic", { set("local", 0, 0, 4, 0x04034B51) }, true, "effect.json", R::Corrupt, 0, R::Corrupt, R::CodecError);
    row("central-header-magic", { set("central", 0, 0, 4, 0x02014B51) }, false, "", R::Ok, 0, R::Ok, R::Ok);
    row("second-central-header-magic", { set("central", 1, 0, 4, 0) }, false, "", R::Ok, 0, R::Ok, R::Ok);
    row("end-record-magic", { set("end", 0, 0, 4, 0x06054B51) }, false, "", R::Ok, 0, R::Ok, R::Ok);
    row("entry-counts-differ", { set("end", 0, 8, 2, 1) }, false, "", R::Ok, 0, R::Ok, R::Ok);
    row("entry-counts-higher-than-real", { set("end", 0, 8, 2, 3), set("end", 0, 10, 2, 3) }, false, "", R::Ok, 0, R::Ok, R::Ok);
    row("entry-counts-lower-than-real", { set("end", 0, 8, 2, 1), set("end", 0, 10, 2, 1) }, false, "", R::Ok, 0, R::Ok, R::Ok);
    row("this-disk-not-zero", { set("end", 0, 4, 2, 1) }, false, "", R::Ok, 0, R::Ok, R::Ok);
    row("directory-disk-not-zero", { set("end", 0, 6, 2, 1) }, false, "", R::Ok, 0, R::Ok, R::Ok);
    row("directory-offset-past-end", { set("end", 0, 16, 4, 0x7FFFFFFF) }, false, "", R::Ok, 0, R::Ok, R::Ok);
    row("directory-size-past-end-record", { flip("end", 0, 12, 4, 0x00100000) }, false, "", R::Ok, 0, R::Ok, R::Ok);
    row("central-name-length-past-record", { set("central", 0, 28, 2, 0xFFFF) }, false, "", R::Ok, 0, R::Ok, R::Ok);
    row("local-name-differs-in-one-letter", { flip("local", 0, 30, 1, 0x20) }, true, "effect.json", R::Corrupt, 0, R::Corrupt, R::CodecError);
    row("local-name-in-other-case", { set("local", 1, 30, 1, 'R'), set("local", 1, 31, 1, 'A'), set("local", 1, 32, 1, 'W') },
        true, "raw.gz", R::Corrupt, 1, R::Corrupt, R::CodecError);
    row("local-name-length-differs", { set("local", 0, 26, 2, 10) }, true, "effect.json", R::Corrupt, 0, R::Corrupt, R::CodecError);
    row("central-crc-differs-from-local", { flip("central", 0, 16, 4, 1) }, true, "effect.json", R::Corrupt, 0, R::Corrupt, R::CodecError);
    row("central-size-differs-from-local", { flip("central", 0, 20, 4, 1) }, true, "effect.json", R::Corrupt, 0, R::Corrupt, R::CodecError);
    row("crc-wrong-in-both-headers", { flip("local", 0, 14, 4, 1), flip("central", 0, 16, 4, 1) }, true,
        "effect.json", R::Ok, 0, R::Ok, R::Corrupt);
    row("stored-data-byte-flipped", { flip("data", 1, 10, 1, 0xFF) }, true, "raw.gz", R::Ok, 1, R::Ok, R::Corrupt);
    row("deflated-data-byte-flipped", { flip("data", 0, 40, 1, 0x5A) }, true, "effect.json", R::Ok, 0, R::Ok, R::Corrupt);
    row("declares-more-bytes-than-stream-holds", { flip("local", 0, 22, 4, 0x10), flip("central", 0, 24, 4, 0x10) }, true,
        "effect.json", R::Ok, 0, R::Ok, R::Corrupt);
    row("declares-fewer-bytes-than-stream-holds", { set("local", 0, 22, 4, 2999), set("central", 0, 24, 4, 2999) }, true,
        "effect.json", R::Ok, 0, R::Ok, R::Corrupt);
    row("stored-declares-fewer-bytes", { set("local", 1, 22, 4, 499), set("central", 1, 24, 4, 499) }, true,
        "raw.gz", R::Ok, 1, R::Ok, R::Corrupt);
    // Sizes that reach past the end of the file are lies: a reader would set memory aside for them.
    row("stored-compressed-size-past-end", { set("local", 1, 18, 4, 0x00FFFFFF), set("central", 1, 20, 4, 0x00FFFFFF) }, true,
        "raw.gz", R::Corrupt, 1, R::Corrupt, R::CodecError);
    row("deflated-sizes-past-end", { set("local", 0, 18, 4, 0x00040000), set("central", 0, 20, 4, 0x00040000),
                                     set("local", 0, 22, 4, 0x0FFFFFFF), set("central", 0, 24, 4, 0x0FFFFFFF) },
        true, "effect.json", R::Corrupt, 0, R::Corrupt, R::CodecError);
    row("method-12", { set("local", 0, 8, 2, 12), set("central", 0, 10, 2, 12) }, true, "effect.json", R::Corrupt, 0, R::Corrupt, R::CodecError);
    row("method-differs-from-local", { set("central", 0, 10, 2, 0) }, true, "effect.json", R::Corrupt, 0, R::Corrupt, R::CodecError);
    row("local-extra-past-end", { set("local", 1, 28, 2, 0xFFFF) }, true, "raw.gz", R::ReadFailed, 1, R::ReadFailed, R::CodecError);
    row("local-header-offset-past-end", { set("central", 1, 42, 4, 0x00FFFFFF) }, true, "raw.gz", R::Corrupt, 1, R::Corrupt, R::CodecError);
    row("encrypted-flag", { flip("local", 0, 6, 2, 1), flip("central", 0, 8, 2, 1) }, true, "effect.json", R::Ok, 0, R::Ok, R::BadPassword);
    row("descriptor-flag-excuses-local-values", { set("local", 0, 6, 2, 0x000A), set("local", 0, 14, 4, 0), set("local", 0, 18, 4, 0) },
        true, "effect.json", R::Ok, 0, R::Ok, R::Ok);
    row("gap-before-directory", {}, true, "effect.json", R::Corrupt, 0, R::Corrupt, R::CodecError, 16);
}

void tst_ZipReader::damagedArchive()
{
    QFETCH(QVector<Patch>, patches);
    QFETCH(int, gapBeforeDirectory);
    QFETCH(bool, opens);
    QFETCH(QString, lookUp);
    QFETCH(ArchiveResult, found);
    QFETCH(int, member);
    QFETCH(ArchiveResult, described);
    QFETCH(ArchiveResult, extracted);
    QByteArray archive = goodArchive();
    for (const Patch& p : patches)
        applyPatch(&archive, p);
    if (gapBeforeDirectory > 0)
        archive.insert(layoutOf(archive).directoryOffset, QByteArray(gapBeforeDirectory, 'g'));

    Handle reader = openMemory(archive);
    QVERIFY2(bool(reader) == opens, opens ? "the damage must not stop the archive from opening"
                                          : "the damaged archive must be refused at open");
    if (!opens)
        return;
    ArchiveMemberInfo info;
    QCOMPARE(archiveFindMember(reader.get(), u16(lookUp).c_str(), false, nullptr, &info), found);
    QCOMPARE(archiveMemberInfo(reader.get(), member, &info), described);
    const quint32 size = member == 0 ? quint32(kDeflatedContent.size()) : quint32(kStoredContent.size());
    QByteArray out;
    QCOMPARE(extractAll(reader.get(), member, size, &out), extracted);
    if (extracted == ArchiveResult::Ok)
        QCOMPARE(out, member == 0 ? kDeflatedContent : kStoredContent);
}

void tst_ZipReader::strictOpen_data()
{
    QTest::addColumn<int>("members");
    QTest::addColumn<Records>("records");
    QTest::addColumn<QVector<RecordField>>("fields");
    QTest::addColumn<ArchiveResult>("opened");
    using R = ArchiveResult;
    const Records classic = Records::Classic;
    const Records zip64 = Records::Zip64;
    const Records escaped = Records::Zip64Escaped;
    auto row = [](const char* name, int members, Records records, QVector<RecordField> fields, R opened) {
        QTest::newRow(name) << members << records << fields << opened;
    };
    row("classic-intact", 2, classic, {}, R::Ok);
    row("end-counts-2-directory-holds-3", 3, classic, { { "end", 8, 2, 2 }, { "end", 10, 2, 2 } }, R::Inconsistent);
    row("end-counts-3-directory-holds-2", 2, classic, { { "end", 8, 2, 3 }, { "end", 10, 2, 3 } }, R::Inconsistent);
    row("end-counts-0-directory-holds-1", 1, classic, { { "end", 8, 2, 0 }, { "end", 10, 2, 0 } }, R::Inconsistent);
    row("directory-size-one-short", 2, classic, { { "end", 12, 4, quint64(-1), true } }, R::Inconsistent);
    row("directory-size-one-long-passes-end-record", 2, classic, { { "end", 12, 4, 1, true } }, R::CannotOpen);
    row("this-disk-1-spanned", 2, classic, { { "end", 4, 2, 1 } }, R::Unsupported);
    row("zip64-intact-with-classic-values", 2, zip64, {}, R::Ok);
    row("zip64-intact-with-escapes", 2, escaped, {}, R::Ok);
    row("zip64-counts-3-end-record-2", 2, zip64, { { "zip64", 24, 8, 3 }, { "zip64", 32, 8, 3 } }, R::Inconsistent);
    row("zip64-counts-1-end-record-0", 1, zip64, { { "end", 8, 2, 0 }, { "end", 10, 2, 0 } }, R::Inconsistent);
    row("zip64-counts-3-directory-holds-2", 2, escaped, { { "zip64", 24, 8, 3 }, { "zip64", 32, 8, 3 } }, R::Inconsistent);
    row("zip64-counts-on-this-disk-differ", 2, escaped, { { "zip64", 24, 8, 1 } }, R::Inconsistent);
    row("zip64-directory-size-differs", 2, zip64, { { "zip64", 40, 8, 1, true } }, R::Inconsistent);
    row("zip64-directory-offset-differs", 2, escaped, { { "zip64", 48, 8, 1, true } }, R::Inconsistent);
    row("zip64-record-signature-missing", 2, zip64, { { "zip64", 0, 4, 0x06064B51 } }, R::Inconsistent);
    row("zip64-record-size-wrong", 2, zip64, { { "zip64", 4, 8, 100 } }, R::Inconsistent);
    row("zip64-locator-offset-wrong", 2, escaped, { { "locator", 8, 8, 1, true } }, R::Inconsistent);
    row("zip64-spanned-over-2-disks", 2, zip64, { { "locator", 16, 4, 2 } }, R::Unsupported);
    row("zip64-record-on-disk-1", 2, zip64, { { "locator", 4, 4, 1 } }, R::Unsupported);
    row("zip64-counts-past-65535", 2, escaped, { { "zip64", 24, 8, 70000 }, { "zip64", 32, 8, 70000 } }, R::Unsupported);
}

void tst_ZipReader::strictOpen()
{
    QFETCH(int, members);
    QFETCH(Records, records);
    QFETCH(QVector<RecordField>, fields);
    QFETCH(ArchiveResult, opened);
    const QByteArray archive = archiveWithRecords(members, records, fields);
    QVERIFY(!archive.isEmpty());
    ArchiveResult result = ArchiveResult::CodecError;
    Handle reader(archiveOpenMemory(archive.constData(), uint32_t(archive.size()), nullptr, &result));
    QCOMPARE(result, opened);
    QCOMPARE(bool(reader), opened == ArchiveResult::Ok);
    if (!reader)
        return;
    ArchiveMemberInfo summary;
    QCOMPARE(archiveMemberInfo(reader.get(), -1, &summary), ArchiveResult::Ok);
    QCOMPARE(summary.index, members);
    for (int i = 0; i < members; ++i) {
        QByteArray out;
        QCOMPARE(findAndExtract(reader.get(), u16(QStringLiteral("member%1.txt").arg(i)).c_str(), false, &out),
                 ArchiveResult::Ok);
        QCOMPARE(out, prose(300 + i));
    }
}

void tst_ZipReader::endRecordFoundPastSignaturesInComment_data()
{
    QTest::addColumn<QByteArray>("comment");
    QTest::addColumn<QByteArray>("trailer");
    const QByteArray fakeRecord = QByteArray("PK\x05\x06", 4) + QByteArray(18, '\0');
    QTest::newRow("fake-record-early-in-longest-comment")
        << QByteArray(100, 'c') + fakeRecord + QByteArray(65535 - 122, 'c') << QByteArray();
    QTest::newRow("fake-record-whose-comment-would-pass-the-end")
        << QByteArray(1000, 'c') + QByteArray("PK\x05\x06", 4) + QByteArray(14, '\0') + QByteArray("\x10\x00", 2)
           + QByteArray(40, 'c') << QByteArray();
    QTest::newRow("stray-bytes-after-the-archive") << QByteArray() << QByteArray(500, 's');
}

void tst_ZipReader::endRecordFoundPastSignaturesInComment()
{
    QFETCH(QByteArray, comment);
    QFETCH(QByteArray, trailer);
    const QByteArray archive = buildRawArchive({ storedMember("a.txt", "hello") }, comment) + trailer;
    Handle reader = openMemory(archive);
    QVERIFY2(reader, "the real end record must be found");
    QByteArray out;
    QCOMPARE(findAndExtract(reader.get(), u"a.txt", false, &out), ArchiveResult::Ok);
    QCOMPARE(out, QByteArray("hello"));
}

void tst_ZipReader::zip64LocalSizes_data()
{
    QTest::addColumn<QByteArray>("localExtra");
    QTest::addColumn<ArchiveResult>("described");
    const QByteArray content = prose(700);
    auto block = [](quint64 uncompressed, quint64 compressed) {
        QByteArray extra;
        append16(&extra, 0x0001);
        append16(&extra, 16);
        append64(&extra, uncompressed);
        append64(&extra, compressed);
        return extra;
    };
    const quint64 size = quint64(content.size());
    QTest::newRow("sizes-in-zip64-block") << block(size, size) << ArchiveResult::Ok;
    QTest::newRow("zip64-block-behind-another") << QByteArray("ZZ\x02\x00qq", 6) + block(size, size) << ArchiveResult::Ok;
    QTest::newRow("zip64-block-size-differs") << block(size + 1, size) << ArchiveResult::Corrupt;
    QTest::newRow("zip64-block-missing") << QByteArray("ZZ\x02\x00qq", 6) << ArchiveResult::Corrupt;
    QTest::newRow("zip64-block-too-short") << block(size, size).left(12) << ArchiveResult::Corrupt;
    QTest::newRow("zip64-block-past-4-gib") << block(quint64(1) << 32, size) << ArchiveResult::Unsupported;
}

// A writer that streams may escape both sizes of a local header and give them in its ZIP64
// block, while the directory holds them plainly.
void tst_ZipReader::zip64LocalSizes()
{
    QFETCH(QByteArray, localExtra);
    QFETCH(ArchiveResult, described);
    const QByteArray content = prose(700);
    RawMember member = storedMember("effect.json", content);
    member.localExtra = localExtra;
    QByteArray archive = buildRawArchive({ member });
    put32(&archive, 18, 0xFFFFFFFF);
    put32(&archive, 22, 0xFFFFFFFF);
    Handle reader = openMemory(archive);
    QVERIFY(reader);
    QByteArray out;
    QCOMPARE(findAndExtract(reader.get(), u"effect.json", false, &out), described);
    if (described == ArchiveResult::Ok)
        QCOMPARE(out, content);
}

void tst_ZipReader::truncationAtEveryLengthIsRefused()
{
    const QByteArray archive = goodArchive();
    for (int length = 0; length < archive.size(); ++length) {
        // An exact-size copy, so that a sanitizer would notice a read past its end.
        const QByteArray cut = archive.left(length);
        Handle reader(archiveOpenMemory(cut.isEmpty() ? "" : cut.constData(), uint32_t(cut.size()), nullptr));
        if (reader)
            QFAIL(qPrintable(QString("an archive cut to %1 of %2 bytes opened").arg(length).arg(archive.size())));
    }
    Handle whole = openMemory(archive);
    QVERIFY(whole);
}

void tst_ZipReader::nonArchiveFilesAreRefused()
{
    const QString ownBuildFile = QStringLiteral(FACEMASK_SOURCE_DIR "/zip/CMakeLists.txt");
    QVERIFY2(QFile::exists(ownBuildFile), "the library's build file should exist as a non-archive input");
    QVERIFY(!archiveOpenFile(u16(ownBuildFile).c_str(), nullptr));
    QTemporaryDir dir;
    QVERIFY(!archiveOpenFile(u16(dir.filePath("missing.zip")).c_str(), nullptr));
    QVERIFY2(!archiveOpenFile(u16(dir.path()).c_str(), nullptr), "a directory is not an archive");
    QVERIFY(!archiveOpenFile(nullptr, nullptr));
    const QByteArray signatureOnly("PK\x05\x06", 4);
    Handle reader = openMemory(signatureOnly);
    QVERIFY2(!reader, "an end-record signature without the record is refused");
}

void tst_ZipReader::fileInputMatchesMemoryInput()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("package.pmk");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(goodArchive());
    file.close();
    Handle reader(archiveOpenFile(u16(path).c_str(), nullptr));
    QVERIFY(reader);
    QByteArray out;
    QCOMPARE(findAndExtract(reader.get(), u"RAW.GZ", true, &out), ArchiveResult::Ok);
    QCOMPARE(out, kStoredContent);
    QCOMPARE(findAndExtract(reader.get(), u"effect.json", true, &out), ArchiveResult::Ok);
    QCOMPARE(out, kDeflatedContent);

    // The same through a descriptor the caller owns: read by position, left where it stood
    // and open after the reader is closed.
    const int descriptor = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    QVERIFY(descriptor >= 0);
    QCOMPARE(::lseek(descriptor, 7, SEEK_SET), off_t(7));
    {
        Handle borrowed(archiveOpenDescriptor(descriptor, nullptr));
        QVERIFY(borrowed);
        QCOMPARE(findAndExtract(borrowed.get(), u"effect.json", false, &out), ArchiveResult::Ok);
        QCOMPARE(out, kDeflatedContent);
        QCOMPARE(findAndExtract(borrowed.get(), u"raw.gz", false, &out), ArchiveResult::Ok);
        QCOMPARE(out, kStoredContent);
    }
    QCOMPARE(::lseek(descriptor, 0, SEEK_CUR), off_t(7));
    QCOMPARE(::close(descriptor), 0);
    ArchiveResult opened = ArchiveResult::Ok;
    QVERIFY(!archiveOpenDescriptor(-1, nullptr, &opened));
    QCOMPARE(opened, ArchiveResult::CannotOpen);
}

// A read the system fails is told with its error number, never as damage that the bytes a good
// read would deliver do not have. The reads of the good archive, in order: 1 the end search,
// 2 the end record, 4 and 6 the directory's headers, 10 the look-up's first header, 14 the
// member's local header, 19 its data.
void tst_ZipReader::failingDiskIsNoDamage_data()
{
    QTest::addColumn<QString>("fault");  // CALL:N:WHAT on the archive file
    QTest::addColumn<QString>("step");   // where it shows: open, find, extract; empty: nowhere
    QTest::addColumn<ArchiveResult>("result");
    QTest::addColumn<int>("error");

    QTest::newRow("open EIO") << "open:1:EIO" << "open" << ArchiveResult::CannotOpen << EIO;
    QTest::newRow("open EINTR") << "open:1:EINTR" << "" << ArchiveResult::Ok << 0;
    QTest::newRow("end search EIO") << "pread:1:EIO" << "open" << ArchiveResult::SystemError << EIO;
    QTest::newRow("every read EIO") << "pread:1+:EIO" << "open" << ArchiveResult::SystemError << EIO;
    QTest::newRow("end record EIO") << "pread:2:EIO" << "open" << ArchiveResult::SystemError << EIO;
    QTest::newRow("directory EIO") << "pread:4:EIO" << "open" << ArchiveResult::SystemError << EIO;
    QTest::newRow("directory EACCES") << "pread:6:EACCES" << "open" << ArchiveResult::SystemError << EACCES;
    QTest::newRow("look-up EIO") << "pread:10:EIO" << "find" << ArchiveResult::SystemError << EIO;
    QTest::newRow("local header EIO") << "pread:14:EIO" << "find" << ArchiveResult::SystemError << EIO;
    QTest::newRow("member data EIO") << "pread:19:EIO" << "extract" << ArchiveResult::SystemError << EIO;
    QTest::newRow("member data EINTR") << "pread:19:EINTR" << "" << ArchiveResult::Ok << 0;
    QTest::newRow("directory EINTR") << "pread:4:EINTR" << "" << ArchiveResult::Ok << 0;
    QTest::newRow("short reads") << "pread:1+:short" << "" << ArchiveResult::Ok << 0;
}

void tst_ZipReader::failingDiskIsNoDamage()
{
    QFETCH(QString, fault);
    QFETCH(QString, step);
    QFETCH(ArchiveResult, result);
    QFETCH(int, error);
    QVERIFY2(faultShimLoaded(), "run with the fault shim preloaded, as ctest does");
    QTemporaryDir dir;
    const QString path = dir.filePath("failing.zip");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.write(goodArchive()) > 0);
    file.close();

    const QStringList parts = fault.split(QLatin1Char(':'));
    auto injected = std::make_unique<InjectedFault>(
        QStringList{parts[0], QStringLiteral("failing.zip"), parts[1], parts[2]}.join(QLatin1Char(':')));
    ArchiveResult opened = ArchiveResult::NotInitialised;
    int openError = -1;
    Handle reader(archiveOpenFile(u16(path).c_str(), nullptr, &opened, &openError));
    if (step == "open") {
        QCOMPARE(opened, result);
        QCOMPARE(openError, error);
        QVERIFY(!reader);
        return;
    }
    QCOMPARE(opened, ArchiveResult::Ok);
    QCOMPARE(openError, 0);
    QVERIFY(reader);
    int32_t index = -2;
    ArchiveMemberInfo info;
    const ArchiveResult found = archiveFindMember(reader.get(), u"raw.gz", false, &index, &info);
    if (step == "find") {
        QCOMPARE(found, result);
        QCOMPARE(archiveSystemError(reader.get()), error);
        QCOMPARE(index, -1);
        injected.reset();
        QCOMPARE(archiveFindMember(reader.get(), u"raw.gz", false, &index, &info), ArchiveResult::Ok);
        QCOMPARE(archiveSystemError(reader.get()), 0);
    } else {
        QCOMPARE(found, ArchiveResult::Ok);
    }
    QByteArray out(int(info.uncompressedSize), '\0');
    const ArchiveResult extracted = archiveExtractToBuffer(reader.get(), index, out.data(), uint32_t(out.size()));
    if (step == "extract") {
        QCOMPARE(extracted, result);
        QCOMPARE(archiveSystemError(reader.get()), error);
        // Nothing of the failed attempt stays behind: read again, the member comes out whole.
        injected.reset();
        out.fill('\0');
        QCOMPARE(archiveExtractToBuffer(reader.get(), index, out.data(), uint32_t(out.size())), ArchiveResult::Ok);
    } else {
        QCOMPARE(extracted, ArchiveResult::Ok);
    }
    QCOMPARE(archiveSystemError(reader.get()), 0);
    QCOMPARE(out, kStoredContent);
}

QTEST_GUILESS_MAIN(tst_ZipReader)
#include "tst_zipreader.moc"
