// The archive writer: byte layout of what it writes, method choice, time stamps, limits and
// failures. Archives are written into memory with a fixed clock so every byte is predictable.

#include "zip/ziparchive.h"
#include "ziptestsupport.h"

#include <QDateTime>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

using namespace ziptest;

namespace {

const ArchiveLocalTime kLeapNight = fixedTime(2024, 2, 29, 23, 59, 58);

qint64 wallClockAsUtcSeconds(const ArchiveLocalTime& t)
{
    return QDateTime(QDate(t.year, t.month, t.day), QTime(t.hour, t.minute, t.second), Qt::UTC)
        .toSecsSinceEpoch();
}

QVector<Member> packageMembers()
{
    return { { "effect.json", prose(900) },
             { "properties.json", prose(300) },
             { "images/main/image.png", noise(40000, 1) },
             { "images/thumbnail/small.jpg", noise(3000, 2) },
             { "images/thumbnail/medium.jpg", noise(6000, 3) },
             { "images/thumbnail/large.jpg", noise(9000, 4) } };
}

QByteArray localName(const QByteArray& archive, int at)
{
    return archive.mid(at + 30, le16(archive, at + 26));
}

QByteArray centralName(const QByteArray& archive, int at)
{
    return archive.mid(at + 46, le16(archive, at + 28));
}

}  // namespace

class tst_ZipWriter : public QObject {
    Q_OBJECT

private slots:
    void localHeaderHoldsFinalValuesAfterFixUp();
    void packageLayoutHasNoDataDescriptors();
    void methodFollowsSuffix_data();
    void methodFollowsSuffix();
    void levelIsChosenPerMember_data();
    void levelIsChosenPerMember();
    void badArgumentsWriteNothing_level();
    void backslashesAreStoredAsSlashes();
    void dosTimeAndDate_data();
    void dosTimeAndDate();
    void extendedTimestampsHoldWallClockAsUtc_data();
    void extendedTimestampsHoldWallClockAsUtc();
    void folderEntryIsStoredWithTrailingSlash();
    void badArgumentsWriteNothing_data();
    void badArgumentsWriteNothing();
    void handleKindsAreChecked();
    void capacityIsHonoured();
    void failedAddIsStickyAndDirectoryKeepsEarlierMembers();
    void addAfterFinishIsRefused();
    void memberCountBeyondFormatIsRefused();
    void offsetsBeyond32BitsAreRefused();
    void seekableHandleStartsAtItsPosition();
    void pipeOutputGetsDataDescriptors();
    void createFileFailures();
    void createFileWritesReadableArchive();
};

void tst_ZipWriter::localHeaderHoldsFinalValuesAfterFixUp()
{
    const QByteArray content = prose(5000);
    const QByteArray archive = writeArchive({ { "effect.json", content } }, kLeapNight);
    QVERIFY2(!archive.isEmpty(), "writing one member into memory failed");

    QCOMPARE(le32(archive, 0), 0x04034B50u);
    QCOMPARE(le16(archive, 4), quint16(20));
    QVERIFY2(le16(archive, 6) == 0x0002, "a deflated member carries only the maximum-compression flag");
    QCOMPARE(le16(archive, 8), quint16(8));
    QCOMPARE(le32(archive, 14), crcOf(content));
    const quint32 compressed = le32(archive, 18);
    QCOMPARE(le32(archive, 22), quint32(content.size()));
    QCOMPARE(localName(archive, 0), QByteArray("effect.json"));
    QCOMPARE(le16(archive, 28), quint16(17));
    const int extra = 30 + 11;
    QCOMPARE(archive.mid(extra, 5), QByteArray("UT\x0d\x00\x07", 5));
    const QByteArray data = archive.mid(extra + 17, int(compressed));
    QVERIFY2(rawInflate(data, content.size()) == content,
             "the member's data is not a raw Deflate stream of the content of the stated size");
    QCOMPARE(le32(archive, extra + 17 + int(compressed)), 0x02014B50u);
}

void tst_ZipWriter::packageLayoutHasNoDataDescriptors()
{
    const QVector<Member> members = packageMembers();
    const QByteArray archive = writeArchive(members, kLeapNight);
    QVERIFY(!archive.isEmpty());
    const Layout l = layoutOf(archive);

    QCOMPARE(le32(archive, l.endRecord), 0x06054B50u);
    QCOMPARE(le16(archive, l.endRecord + 8), quint16(6));
    QCOMPARE(le16(archive, l.endRecord + 10), quint16(6));
    QCOMPARE(le16(archive, l.endRecord + 20), quint16(0));
    QCOMPARE(int(le32(archive, l.endRecord + 12)), l.endRecord - l.directoryOffset);
    QCOMPARE(le32(archive, l.directoryOffset), 0x02014B50u);

    int expectedLocal = 0;
    for (int i = 0; i < members.size(); ++i) {
        const int c = l.centralHeaders[i];
        const int local = l.localHeaders[i];
        QVERIFY2(local == expectedLocal,
                 qPrintable(QString("member %1 does not start right after the previous one's data").arg(i)));
        QCOMPARE(le32(archive, local), 0x04034B50u);
        QCOMPARE(centralName(archive, c), members[i].name.toUtf8());
        QCOMPARE(localName(archive, local), members[i].name.toUtf8());
        QCOMPARE(le16(archive, c + 4), quint16(0x0B17));
        QCOMPARE(le16(archive, c + 6), quint16(20));
        QCOMPARE(le16(archive, c + 8), quint16(0x0002));
        QCOMPARE(le16(archive, local + 6), quint16(0x0002));
        QCOMPARE(le16(archive, c + 10), quint16(8));
        QCOMPARE(le16(archive, local + 8), quint16(8));
        QCOMPARE(le32(archive, c + 16), crcOf(members[i].data));
        QCOMPARE(le32(archive, local + 14), crcOf(members[i].data));
        QCOMPARE(le32(archive, local + 18), le32(archive, c + 20));
        QCOMPARE(le32(archive, c + 24), quint32(members[i].data.size()));
        QCOMPARE(le16(archive, c + 30), quint16(9));
        QCOMPARE(le16(archive, c + 32), quint16(0));
        QCOMPARE(le16(archive, c + 34), quint16(0));
        QCOMPARE(le16(archive, c + 36), quint16(0));
        QCOMPARE(le32(archive, c + 38), 0x80000000u);
        QCOMPARE(le16(archive, local + 28), quint16(17));
        // No 16-byte descriptor: the next member (or the directory) follows the data directly.
        expectedLocal = local + 30 + le16(archive, local + 26) + 17 + int(le32(archive, c + 20));
    }
    QCOMPARE(expectedLocal, l.directoryOffset);
}

void tst_ZipWriter::methodFollowsSuffix_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("method");
    QTest::newRow("json-deflated") << "effect.json" << 8;
    QTest::newRow("jpg-deflated") << "images/thumbnail/small.jpg" << 8;
    QTest::newRow("png-deflated") << "images/main/image.png" << 8;
    QTest::newRow("upper-zip-stored") << "bundle.ZIP" << 0;
    QTest::newRow("tar-gz-stored") << "a.tar.gz" << 0;
    QTest::newRow("upper-z-stored") << "a.Z" << 0;
    QTest::newRow("lower-z-stored") << "a.z" << 0;
    QTest::newRow("zoo-stored") << "a.zoo" << 0;
    QTest::newRow("arc-stored") << "a.arc" << 0;
    QTest::newRow("lzh-stored") << "a.lzh" << 0;
    QTest::newRow("arj-stored") << "a.arj" << 0;
    QTest::newRow("tgz-stored") << "a.TGZ" << 0;
    QTest::newRow("zipx-deflated") << "a.zipx" << 8;
    QTest::newRow("no-dot-deflated") << "README" << 8;
    QTest::newRow("suffix-in-folder-deflated") << "a.zip/b" << 8;
    QTest::newRow("gz-without-dot-deflated") << "agz" << 8;
}

void tst_ZipWriter::methodFollowsSuffix()
{
    QFETCH(QString, name);
    QFETCH(int, method);
    const QByteArray content = prose(2000);
    const QByteArray archive = writeArchive({ { name, content } }, kLeapNight);
    QVERIFY(!archive.isEmpty());
    const Layout l = layoutOf(archive);
    QCOMPARE(int(le16(archive, 8)), method);
    QCOMPARE(int(le16(archive, l.centralHeaders[0] + 10)), method);
    QCOMPARE(int(le16(archive, 6)), method == 8 ? 0x0002 : 0x0000);
    if (method == 0) {
        QCOMPARE(le32(archive, 18), quint32(content.size()));
        QVERIFY2(archive.mid(30 + name.size() + 17, content.size()) == content,
                 "a stored member's bytes must follow its header unchanged");
    }
}

void tst_ZipWriter::levelIsChosenPerMember_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("level");
    QTest::addColumn<int>("flags");
    QTest::addColumn<bool>("storedBlocks");  // level 0: the deflate stream only frames the bytes
    const QByteArray text = prose(300000);
    const QByteArray random = noise(300000, 7);
    QTest::newRow("level-0-frames-text") << text << 0 << 0x0006 << true;
    QTest::newRow("level-1-is-fast") << text << 1 << 0x0004 << false;
    QTest::newRow("level-6-is-normal") << text << 6 << 0x0000 << false;
    QTest::newRow("level-8-is-maximum") << text << 8 << 0x0002 << false;
    QTest::newRow("level-9-is-maximum") << text << 9 << 0x0002 << false;
    QTest::newRow("automatic-deflates-text-at-8") << text << kArchiveAutomaticLevel << 0x0002 << false;
    QTest::newRow("automatic-frames-noise-at-0") << random << kArchiveAutomaticLevel << 0x0006 << true;
    // Only the first 64 KiB are looked at.
    QTest::newRow("automatic-decides-on-the-head")
        << QByteArray(noise(65536, 3) + text) << kArchiveAutomaticLevel << 0x0006 << true;
    QTest::newRow("automatic-on-a-short-member") << prose(300) << kArchiveAutomaticLevel << 0x0002 << false;
}

void tst_ZipWriter::levelIsChosenPerMember()
{
    QFETCH(QByteArray, content);
    QFETCH(int, level);
    QFETCH(int, flags);
    QFETCH(bool, storedBlocks);
    ArchiveResult created = ArchiveResult::Ok;
    Handle writer(archiveCreateInMemory(nullptr, 64u << 20, nullptr, &created));
    QVERIFY(writer);
    archiveSetClock(writer.get(), &kLeapNight);
    // A member before and after at the old level shows the level does not stick.
    const QByteArray small = prose(4000);
    QCOMPARE(archiveAddBuffer(writer.get(), u"a.json", small.constData(), uint32_t(small.size())),
             ArchiveResult::Ok);
    QCOMPARE(archiveAddBufferAtLevel(writer.get(), u"images/main/image.png", content.constData(),
                                     uint32_t(content.size()), level),
             ArchiveResult::Ok);
    QCOMPARE(archiveAddBuffer(writer.get(), u"b.json", small.constData(), uint32_t(small.size())),
             ArchiveResult::Ok);
    QCOMPARE(archiveFinish(writer.get()), ArchiveResult::Ok);
    const void* base = nullptr;
    uint32_t length = 0;
    archiveGetMemory(writer.get(), &base, &length);
    const QByteArray archive(static_cast<const char*>(base), int(length));

    const Layout l = layoutOf(archive);
    QCOMPARE(l.centralHeaders.size(), 3);
    const int c = l.centralHeaders[1];
    const int local = l.localHeaders[1];
    QCOMPARE(int(le16(archive, c + 10)), 8);
    QCOMPARE(int(le16(archive, local + 8)), 8);
    QCOMPARE(int(le16(archive, c + 8)), flags);
    QCOMPARE(int(le16(archive, local + 6)), flags);
    QCOMPARE(le16(archive, l.centralHeaders[0] + 8), quint16(0x0002));
    QCOMPARE(le16(archive, l.centralHeaders[2] + 8), quint16(0x0002));
    const quint32 compressed = le32(archive, c + 20);
    // Stored blocks cost five bytes per block of at most 64 KiB and nothing else.
    const bool framed = compressed > quint32(content.size())
        && compressed <= quint32(content.size()) + 5 * (quint32(content.size()) / 16384 + 1);
    QCOMPARE(framed, storedBlocks);
    QCOMPARE(rawInflate(archive.mid(local + 30 + 21 + 17, int(compressed)), content.size()), content);

    Handle reader = openMemory(archive);
    QVERIFY(reader);
    QByteArray extracted;
    QCOMPARE(findAndExtract(reader.get(), u"images/main/image.png", false, &extracted), ArchiveResult::Ok);
    QCOMPARE(extracted, content);
}

void tst_ZipWriter::badArgumentsWriteNothing_level()
{
    ArchiveResult created = ArchiveResult::Ok;
    Handle writer(archiveCreateInMemory(nullptr, 1u << 20, nullptr, &created));
    QVERIFY(writer);
    const QByteArray content = prose(100);
    for (int level : {-2, 10, 100}) {
        QCOMPARE(archiveAddBufferAtLevel(writer.get(), u"a.txt", content.constData(),
                                         uint32_t(content.size()), level),
                 ArchiveResult::BadArguments);
    }
    QCOMPARE(archiveAddBufferAtLevel(nullptr, u"a.txt", content.constData(), 100, 8),
             ArchiveResult::BadArguments);
    QCOMPARE(archiveFinish(writer.get()), ArchiveResult::Ok);
    uint32_t length = 0;
    archiveGetMemory(writer.get(), nullptr, &length);
    QCOMPARE(length, 22u);  // an end record and nothing else
}

void tst_ZipWriter::backslashesAreStoredAsSlashes()
{
    const QByteArray archive = writeArchive({ { "images\\main\\image.png", noise(100, 9) } }, kLeapNight);
    QCOMPARE(localName(archive, 0), QByteArray("images/main/image.png"));
    QCOMPARE(centralName(archive, layoutOf(archive).centralHeaders[0]), QByteArray("images/main/image.png"));
}

void tst_ZipWriter::dosTimeAndDate_data()
{
    QTest::addColumn<int>("year");
    QTest::addColumn<int>("month");
    QTest::addColumn<int>("day");
    QTest::addColumn<int>("hour");
    QTest::addColumn<int>("minute");
    QTest::addColumn<int>("second");
    QTest::addColumn<int>("dosTime");
    QTest::addColumn<int>("dosDate");
    QTest::newRow("last-even-second-of-day") << 2024 << 2 << 29 << 23 << 59 << 58
                                             << ((23 << 11) | (59 << 5) | 29) << (((2024 - 1980) << 9) | (2 << 5) | 29);
    QTest::newRow("odd-second-rounds-down") << 2001 << 12 << 31 << 12 << 0 << 59
                                            << ((12 << 11) | 29) << ((21 << 9) | (12 << 5) | 31);
    QTest::newRow("dos-epoch") << 1980 << 1 << 1 << 0 << 0 << 0 << 0 << ((1 << 5) | 1);
    QTest::newRow("before-1980-takes-first-stamp") << 1975 << 6 << 15 << 12 << 34 << 56 << 0 << ((1 << 5) | 1);
    QTest::newRow("after-2107-leap-day-takes-last-stamp") << 2108 << 2 << 29 << 12 << 0 << 0
                                                         << ((23 << 11) | (59 << 5) | 29) << ((127 << 9) | (12 << 5) | 31);
}

void tst_ZipWriter::dosTimeAndDate()
{
    QFETCH(int, year);
    QFETCH(int, month);
    QFETCH(int, day);
    QFETCH(int, hour);
    QFETCH(int, minute);
    QFETCH(int, second);
    QFETCH(int, dosTime);
    QFETCH(int, dosDate);
    const QByteArray archive = writeArchive({ { "a.txt", "x" } }, fixedTime(year, month, day, hour, minute, second));
    const int c = layoutOf(archive).centralHeaders[0];
    QCOMPARE(int(le16(archive, 10)), dosTime);
    QCOMPARE(int(le16(archive, 12)), dosDate);
    QCOMPARE(int(le16(archive, c + 12)), dosTime);
    QCOMPARE(int(le16(archive, c + 14)), dosDate);
}

void tst_ZipWriter::extendedTimestampsHoldWallClockAsUtc_data()
{
    QTest::addColumn<int>("year");
    QTest::addColumn<int>("month");
    QTest::addColumn<int>("day");
    QTest::addColumn<quint32>("expected");
    QTest::newRow("leap-night") << 2024 << 2 << 29 << quint32(wallClockAsUtcSeconds(fixedTime(2024, 2, 29, 12, 0, 0)));
    // Before the first DOS date: the DOS fields take 1980, this field holds the reading itself.
    QTest::newRow("before-1980") << 1975 << 6 << 15 << quint32(wallClockAsUtcSeconds(fixedTime(1975, 6, 15, 12, 0, 0)));
    QTest::newRow("after-2038-keeps-the-last") << 2108 << 2 << 29 << quint32(INT32_MAX);
}

void tst_ZipWriter::extendedTimestampsHoldWallClockAsUtc()
{
    QFETCH(int, year);
    QFETCH(int, month);
    QFETCH(int, day);
    QFETCH(quint32, expected);
    const ArchiveLocalTime reading = fixedTime(year, month, day, 12, 0, 0);
    const QByteArray archive = writeArchive({ { "a.txt", "x" } }, reading);
    const int localExtra = 30 + 5;
    QCOMPARE(le32(archive, localExtra + 5), expected);   // modification
    QCOMPARE(le32(archive, localExtra + 9), expected);   // access
    QCOMPARE(le32(archive, localExtra + 13), expected);  // creation
    const int c = layoutOf(archive).centralHeaders[0];
    const int centralExtra = c + 46 + 5;
    QCOMPARE(archive.mid(centralExtra, 5), QByteArray("UT\x05\x00\x07", 5));
    QCOMPARE(le32(archive, centralExtra + 5), expected);
}

void tst_ZipWriter::folderEntryIsStoredWithTrailingSlash()
{
    const QByteArray archive = writeArchive({ { "images", {} }, { "thumbs/", {} } }, kLeapNight);
    QVERIFY(!archive.isEmpty());
    const Layout l = layoutOf(archive);
    QCOMPARE(centralName(archive, l.centralHeaders[0]), QByteArray("images/"));
    QCOMPARE(centralName(archive, l.centralHeaders[1]), QByteArray("thumbs/"));
    QCOMPARE(le32(archive, l.centralHeaders[0] + 38), 0x41C00010u);
    QCOMPARE(le16(archive, l.centralHeaders[0] + 10), quint16(0));
    QCOMPARE(le32(archive, l.centralHeaders[0] + 20), 0u);
}

void tst_ZipWriter::badArgumentsWriteNothing_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("nullName");
    QTest::addColumn<bool>("nullData");
    QTest::addColumn<int>("length");
    QTest::addColumn<ArchiveResult>("expected");
    const QString e = QString(QChar(0x00E9));
    QTest::newRow("empty-name") << QString() << false << false << 4 << ArchiveResult::BadArguments;
    QTest::newRow("null-name") << QString() << true << false << 4 << ArchiveResult::BadArguments;
    QTest::newRow("null-data") << "a.txt" << false << true << 4 << ArchiveResult::BadArguments;
    QTest::newRow("zero-length") << "a.txt" << false << false << 0 << ArchiveResult::BadArguments;
    QTest::newRow("260-units") << QString(260, 'n') << false << false << 4 << ArchiveResult::BadArguments;
    QTest::newRow("259-units-accepted") << QString(259, 'n') << false << false << 4 << ArchiveResult::Ok;
    QTest::newRow("260-utf8-bytes") << e.repeated(130) << false << false << 4 << ArchiveResult::BadArguments;
    QTest::newRow("259-utf8-bytes-accepted") << e.repeated(129) + "a" << false << false << 4 << ArchiveResult::Ok;
    QTest::newRow("unpaired-surrogate") << QString(QChar(0xD800)) + "x" << false << false << 4
                                        << ArchiveResult::BadArguments;
}

void tst_ZipWriter::badArgumentsWriteNothing()
{
    QFETCH(QString, name);
    QFETCH(bool, nullName);
    QFETCH(bool, nullData);
    QFETCH(int, length);
    QFETCH(ArchiveResult, expected);
    Handle writer(archiveCreateInMemory(nullptr, 1 << 20, nullptr));
    QVERIFY(writer);
    const std::u16string name16 = u16(name);
    const char data[4] = { 1, 2, 3, 4 };
    QCOMPARE(archiveAddBuffer(writer.get(), nullName ? nullptr : name16.c_str(), nullData ? nullptr : data,
                              uint32_t(length)),
             expected);
    const void* base = nullptr;
    uint32_t written = 0;
    QCOMPARE(archiveGetMemory(writer.get(), &base, &written), ArchiveResult::Ok);
    if (expected != ArchiveResult::Ok) {
        QVERIFY2(written == 0, "a refused member must leave the output untouched");
        return;
    }
    QCOMPARE(archiveFinish(writer.get()), ArchiveResult::Ok);
    archiveGetMemory(writer.get(), &base, &written);
    const QByteArray archive(static_cast<const char*>(base), int(written));
    Handle reader = openMemory(archive);
    QVERIFY(reader);
    ArchiveMemberInfo info;
    QCOMPARE(archiveMemberInfo(reader.get(), 0, &info), ArchiveResult::Ok);
    QCOMPARE(QString::fromStdU16String(info.name), name);
}

void tst_ZipWriter::handleKindsAreChecked()
{
    const char byte = 'x';
    QCOMPARE(archiveAddBuffer(nullptr, u"a.txt", &byte, 1), ArchiveResult::BadArguments);
    QCOMPARE(archiveClose(nullptr), ArchiveResult::BadArguments);
    const QByteArray archive = writeArchive({ { "a.txt", "x" } }, kLeapNight);
    Handle reader = openMemory(archive);
    QVERIFY(reader);
    QCOMPARE(archiveAddBuffer(reader.get(), u"b.txt", &byte, 1), ArchiveResult::WrongHandleKind);
    QCOMPARE(archiveFinish(reader.get()), ArchiveResult::WrongHandleKind);
    Handle writer(archiveCreateInMemory(nullptr, 4096, nullptr));
    QCOMPARE(archiveFindMember(writer.get(), u"a.txt", false, nullptr, nullptr), ArchiveResult::WrongHandleKind);
    QCOMPARE(archiveExtractToBuffer(writer.get(), 0, nullptr, 0), ArchiveResult::WrongHandleKind);
}

void tst_ZipWriter::capacityIsHonoured()
{
    const QVector<Member> one { { "a.gz", "0123456789" } };
    const QByteArray reference = writeArchive(one, kLeapNight);
    QVERIFY(!reference.isEmpty());

    QByteArray exact(reference.size(), '\0');
    {
        Handle writer(archiveCreateInMemory(exact.data(), uint32_t(exact.size()), nullptr));
        archiveSetClock(writer.get(), &kLeapNight);
        QCOMPARE(archiveAddBuffer(writer.get(), u"a.gz", "0123456789", 10), ArchiveResult::Ok);
        QCOMPARE(archiveClose(writer.release()), ArchiveResult::Ok);
    }
    QVERIFY2(exact == reference, "an archive that exactly fits its caller block must be written whole");

    QByteArray tooSmall(reference.size() - 1, '\0');
    Handle writer(archiveCreateInMemory(tooSmall.data(), uint32_t(tooSmall.size()), nullptr));
    QCOMPARE(archiveAddBuffer(writer.get(), u"a.gz", "0123456789", 10), ArchiveResult::Ok);
    QCOMPARE(archiveClose(writer.release()), ArchiveResult::WriteFailed);

    ArchiveResult why = ArchiveResult::Ok;
    QVERIFY(!archiveCreateInMemory(tooSmall.data(), 0, nullptr, &why));
    QCOMPARE(why, ArchiveResult::BufferTooSmall);
    QVERIFY2(!archiveCreateInMemory(nullptr, 4096, "secret", &why), "no encryption is built, so a password is refused");
}

void tst_ZipWriter::failedAddIsStickyAndDirectoryKeepsEarlierMembers()
{
    Handle writer(archiveCreateInMemory(nullptr, 1000, nullptr));
    archiveSetClock(writer.get(), &kLeapNight);
    QCOMPARE(archiveAddBuffer(writer.get(), u"first.gz", "abc", 3), ArchiveResult::Ok);
    const QByteArray big = noise(2000, 5);
    QCOMPARE(archiveAddBuffer(writer.get(), u"big.gz", big.constData(), uint32_t(big.size())),
             ArchiveResult::BufferTooSmall);
    QCOMPARE(archiveAddBuffer(writer.get(), u"third.gz", "abc", 3), ArchiveResult::AlreadyFailed);
    QCOMPARE(archiveFinish(writer.get()), ArchiveResult::Ok);
    const void* base = nullptr;
    uint32_t length = 0;
    archiveGetMemory(writer.get(), &base, &length);
    const QByteArray archive(static_cast<const char*>(base), int(length));

    Handle reader = openMemory(archive);
    QVERIFY2(reader, "the directory of the members added before the failure must be written");
    ArchiveMemberInfo info;
    QCOMPARE(archiveMemberInfo(reader.get(), -1, &info), ArchiveResult::Ok);
    QCOMPARE(info.index, 1);
    QCOMPARE(archiveFindMember(reader.get(), u"first.gz", false, nullptr, &info), ArchiveResult::Ok);
}

void tst_ZipWriter::addAfterFinishIsRefused()
{
    Handle writer(archiveCreateInMemory(nullptr, 4096, nullptr));
    QCOMPARE(archiveAddBuffer(writer.get(), u"a.txt", "abc", 3), ArchiveResult::Ok);
    QCOMPARE(archiveFinish(writer.get()), ArchiveResult::Ok);
    QCOMPARE(archiveAddBuffer(writer.get(), u"b.txt", "abc", 3), ArchiveResult::AlreadyEnded);
    QCOMPARE(archiveClose(writer.release()), ArchiveResult::Ok);
}

void tst_ZipWriter::memberCountBeyondFormatIsRefused()
{
    Handle writer(archiveCreateInMemory(nullptr, 16u << 20, nullptr));
    archiveSetClock(writer.get(), &kLeapNight);
    const char byte = 'x';
    for (int i = 0; i < 65535; ++i) {
        if (archiveAddBuffer(writer.get(), u"m.Z", &byte, 1) != ArchiveResult::Ok)
            QFAIL(qPrintable(QString("member %1 of 65535 was refused").arg(i)));
    }
    QCOMPARE(archiveAddBuffer(writer.get(), u"m.Z", &byte, 1), ArchiveResult::WriteFailed);
    QCOMPARE(archiveFinish(writer.get()), ArchiveResult::Ok);
    const void* base = nullptr;
    uint32_t length = 0;
    archiveGetMemory(writer.get(), &base, &length);
    const QByteArray archive(static_cast<const char*>(base), int(length));
    QCOMPARE(le16(archive, archive.size() - 22 + 10), quint16(65535));
    Handle reader = openMemory(archive);
    QVERIFY(reader);
    ArchiveMemberInfo info;
    QCOMPARE(archiveMemberInfo(reader.get(), 65534, &info), ArchiveResult::Ok);
    QCOMPARE(info.uncompressedSize, 1u);
}

void tst_ZipWriter::offsetsBeyond32BitsAreRefused()
{
    QTemporaryDir dir;
    const QByteArray path = dir.filePath("sparse.zip").toLocal8Bit();
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    QVERIFY(fd >= 0);
    QVERIFY(::lseek(fd, 0xFFFFF000, SEEK_SET) >= 0);
    {
        Handle writer(archiveCreateOnHandle(fd, nullptr));
        QVERIFY2(writer, "a start offset below 4 GiB is usable");
        const QByteArray big = noise(8192, 3);
        QCOMPARE(archiveAddBuffer(writer.get(), u"big.gz", big.constData(), uint32_t(big.size())),
                 ArchiveResult::WriteFailed);
        QCOMPARE(archiveAddBuffer(writer.get(), u"small.gz", "abc", 3), ArchiveResult::Ok);
        QCOMPARE(archiveClose(writer.release()), ArchiveResult::Ok);
    }
    QCOMPARE(quint64(::lseek(fd, 0, SEEK_END)), quint64(0xFFFFF000) + 30 + 8 + 17 + 3 + 46 + 8 + 9 + 22);
    QVERIFY(::lseek(fd, 0x100000000LL, SEEK_SET) >= 0);
    QVERIFY2(!archiveCreateOnHandle(fd, nullptr), "an archive cannot start beyond 32-bit offsets");
    ::close(fd);
}

void tst_ZipWriter::seekableHandleStartsAtItsPosition()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("prefixed.zip");
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    QVERIFY(fd >= 0);
    char prefix[100];
    std::fill(std::begin(prefix), std::end(prefix), 'P');
    QCOMPARE(::write(fd, prefix, sizeof prefix), ssize_t(sizeof prefix));
    Handle writer(archiveCreateOnHandle(fd, nullptr));
    const QByteArray content = prose(3000);
    QCOMPARE(archiveAddBuffer(writer.get(), u"effect.json", content.constData(), uint32_t(content.size())),
             ArchiveResult::Ok);
    QCOMPARE(archiveClose(writer.release()), ArchiveResult::Ok);
    ::close(fd);

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray archive = file.readAll();
    const Layout l = layoutOf(archive);
    QCOMPARE(l.localHeaders.value(0), 100);
    QCOMPARE(le32(archive, 100), 0x04034B50u);
    QCOMPARE(le32(archive, l.directoryOffset), 0x02014B50u);
    Handle reader(archiveOpenFile(path.toStdU16String().c_str(), nullptr));
    QVERIFY(reader);
    QByteArray out;
    QCOMPARE(findAndExtract(reader.get(), u"effect.json", false, &out), ArchiveResult::Ok);
    QCOMPARE(out, content);
}

void tst_ZipWriter::pipeOutputGetsDataDescriptors()
{
    int fds[2];
    QVERIFY(::pipe(fds) == 0);
    const QByteArray deflated = prose(4000);
    const QByteArray stored = noise(500, 8);
    {
        Handle writer(archiveCreateOnHandle(fds[1], nullptr));
        QVERIFY(writer);
        archiveSetClock(writer.get(), &kLeapNight);
        QCOMPARE(archiveAddBuffer(writer.get(), u"effect.json", deflated.constData(), uint32_t(deflated.size())),
                 ArchiveResult::Ok);
        QCOMPARE(archiveAddBuffer(writer.get(), u"raw.gz", stored.constData(), uint32_t(stored.size())),
                 ArchiveResult::Ok);
        QCOMPARE(archiveClose(writer.release()), ArchiveResult::Ok);
    }
    ::close(fds[1]);
    QByteArray archive;
    char chunk[4096];
    for (ssize_t n; (n = ::read(fds[0], chunk, sizeof chunk)) > 0;)
        archive.append(chunk, int(n));
    ::close(fds[0]);

    const Layout l = layoutOf(archive);
    QCOMPARE(l.localHeaders.size(), 2);
    QCOMPARE(le16(archive, 6), quint16(0x0008));
    QCOMPARE(le32(archive, 14), 0u);
    const quint32 compressed = le32(archive, l.centralHeaders[0] + 20);
    const int descriptor = 30 + 11 + 17 + int(compressed);
    QCOMPARE(le32(archive, descriptor), 0x08074B50u);
    QCOMPARE(le32(archive, descriptor + 4), crcOf(deflated));
    QCOMPARE(le32(archive, descriptor + 8), compressed);
    QCOMPARE(le32(archive, descriptor + 12), quint32(deflated.size()));
    QCOMPARE(l.localHeaders[1], descriptor + 16);
    QCOMPARE(le16(archive, l.centralHeaders[0] + 8), quint16(0x0008));

    Handle reader = openMemory(archive);
    QVERIFY(reader);
    QByteArray out;
    QCOMPARE(extractAll(reader.get(), 0, quint32(deflated.size()), &out), ArchiveResult::Ok);
    QCOMPARE(out, deflated);
    QCOMPARE(extractAll(reader.get(), 1, quint32(stored.size()), &out), ArchiveResult::Ok);
    QCOMPARE(out, stored);
}

void tst_ZipWriter::createFileFailures()
{
    QTemporaryDir dir;
    QFile blocker(dir.filePath("plain-file"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const std::u16string underFile = u16(dir.filePath("plain-file/package.pmk"));
    QVERIFY2(!archiveCreateFile(underFile.c_str(), nullptr), "a path below a regular file cannot be created");
    QVERIFY(!archiveCreateFile(nullptr, nullptr));
    const std::u16string withPassword = u16(dir.filePath("secret.zip"));
    QVERIFY(!archiveCreateFile(withPassword.c_str(), "secret"));
    QVERIFY2(!QFile::exists(dir.filePath("secret.zip")), "a refused writer leaves nothing behind");
}

void tst_ZipWriter::createFileWritesReadableArchive()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("package.pmk");
    QFile old(path);
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write(QByteArray(100000, 'o'));
    old.close();
    Handle writer(archiveCreateFile(path.toStdU16String().c_str(), nullptr));
    QVERIFY(writer);
    archiveSetClock(writer.get(), &kLeapNight);
    const QVector<Member> members = packageMembers();
    for (const Member& m : members) {
        QCOMPARE(archiveAddBuffer(writer.get(), u16(m.name).c_str(), m.data.constData(), uint32_t(m.data.size())),
                 ArchiveResult::Ok);
    }
    QCOMPARE(archiveClose(writer.release()), ArchiveResult::Ok);
    QFile written(path);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QVERIFY2(written.readAll() == writeArchive(members, kLeapNight),
             "the file must hold exactly the bytes of the same archive written to memory (an old file is truncated)");
}

QTEST_GUILESS_MAIN(tst_ZipWriter)
#include "tst_zipwriter.moc"
