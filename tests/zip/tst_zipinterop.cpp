// The archive code against the standard tools: everything the writer makes must pass
// `unzip -t`, list correctly in `zipinfo` and read back byte-exact in Python's zipfile; and the
// reader must read what Info-ZIP zip, Python's zipfile and 7z make, and refuse what they make
// broken. Fixtures are made here by running the real tools.

#include "zip/ziparchive.h"
#include "ziptestsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <thread>
#include <unistd.h>

using namespace ziptest;

namespace {

struct Run {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    QString describe() const { return QString("exit %1: %2 %3").arg(exitCode).arg(QString(out.left(2000)), QString(err.left(2000))); }
};

Run run(const QString& program, const QStringList& args, const QString& workDir, const QByteArray& input = {})
{
    QProcess p;
    p.setWorkingDirectory(workDir);
    p.start(program, args);
    Run r;
    if (!p.waitForStarted(30000))
        return r;
    if (!input.isEmpty())
        p.write(input);
    p.closeWriteChannel();
    p.waitForFinished(300000);
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QString sha256(const QByteArray& bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// Content of a member, derived from its name so that every test agrees on it.
QByteArray contentFor(const QString& name)
{
    const quint32 seed = qHash(name) | 1;
    if (name.endsWith(".png") || name.endsWith(".jpg") || name.endsWith(".gz"))
        return noise(int(2000 + seed % 90000), seed);
    if (name.startsWith("big"))
        return prose(3 << 20);
    return prose(int(100 + seed % 20000));
}

// Python's zipfile as the oracle: names, methods, sizes and content hashes, after testzip().
const char* const kPythonList = R"(
import hashlib, json, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    bad = z.testzip()
    out = [{"name": i.filename, "method": i.compress_type, "size": i.file_size,
            "sha256": hashlib.sha256(z.read(i)).hexdigest()} for i in z.infolist()]
    print(json.dumps({"bad": bad, "members": out}))
)";

}  // namespace

class tst_ZipInterop : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void writerArchivesPassTheTools_data();
    void writerArchivesPassTheTools();
    void readerReadsForeignArchives_data();
    void readerReadsForeignArchives();
    void longCommentIsRead();
    void zip64FromPythonIsRead();
    void bzip2MemberIsCorrupt();
    void damagedForeignArchivesAreRefused();

private:
    QString tool(const char* name) const { return QStandardPaths::findExecutable(name); }
    QString makeSourceTree();
    QJsonObject pythonListing(const QString& archive);

    QTemporaryDir m_dir;
    QString m_unzip, m_zipinfo, m_zip, m_7z, m_python;
};

void tst_ZipInterop::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_unzip = tool("unzip");
    m_zipinfo = tool("zipinfo");
    m_zip = tool("zip");
    m_7z = tool("7z");
    m_python = tool("python3");
    const QStringList missing = [&] {
        QStringList m;
        const QPair<QString, QString> tools[] = { { "unzip", m_unzip }, { "zipinfo", m_zipinfo }, { "zip", m_zip },
                                                  { "7z", m_7z }, { "python3", m_python } };
        for (const auto& t : tools) {
            if (t.second.isEmpty())
                m << t.first;
        }
        return m;
    }();
    QVERIFY2(missing.isEmpty(), qPrintable("archive tools missing (scripts/install-deps.sh installs them): " + missing.join(", ")));
}

QJsonObject tst_ZipInterop::pythonListing(const QString& archive)
{
    const Run r = run(m_python, { "-c", kPythonList, archive }, m_dir.path());
    if (r.exitCode != 0)
        return {};
    return QJsonDocument::fromJson(r.out).object();
}

void tst_ZipInterop::writerArchivesPassTheTools_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("methods");  // as zipinfo shows them
    QTest::addColumn<bool>("throughPipe");
    QTest::newRow("effect-package") << QStringList { "effect.json", "properties.json", "images/main/image.png",
                                                     "images/thumbnail/small.jpg", "images/thumbnail/medium.jpg",
                                                     "images/thumbnail/large.jpg" }
                                    << QStringList { "defX", "defX", "defX", "defX", "defX", "defX" } << false;
    QTest::newRow("stored-by-suffix") << QStringList { "raw.gz", "bundle.ZIP", "notes.txt" }
                                      << QStringList { "stor", "stor", "defX" } << false;
    QTest::newRow("folder-entries") << QStringList { "images/", "images/main/", "images/main/image.png" }
                                    << QStringList { "stor", "stor", "defX" } << false;
    QTest::newRow("large-members") << QStringList { "big.json", "photo.png" } << QStringList { "defX", "defX" } << false;
    QTest::newRow("pipe-with-data-descriptors") << QStringList { "effect.json", "raw.gz", "big.json" }
                                                << QStringList { "defN", "stor", "defN" } << true;
}

void tst_ZipInterop::writerArchivesPassTheTools()
{
    QFETCH(QStringList, names);
    QFETCH(QStringList, methods);
    QFETCH(bool, throughPipe);
    const QString path = m_dir.filePath(QString("ours-%1.zip").arg(QTest::currentDataTag()));

    auto addAll = [&](HZIP writer) {
        for (const QString& name : names) {
            const std::u16string n = u16(name);
            const QByteArray data = contentFor(name);
            const ArchiveResult r = name.endsWith('/') ? archiveAddFolder(writer, n.c_str())
                                                       : archiveAddBuffer(writer, n.c_str(), data.constData(), uint32_t(data.size()));
            if (r != ArchiveResult::Ok)
                return false;
        }
        return archiveClose(writer) == ArchiveResult::Ok;
    };
    if (throughPipe) {
        int fds[2];
        QVERIFY(::pipe(fds) == 0);
        QByteArray drained;
        std::thread drain([&] {
            char chunk[65536];
            for (ssize_t n; (n = ::read(fds[0], chunk, sizeof chunk)) > 0;)
                drained.append(chunk, int(n));
        });
        const bool written = addAll(archiveCreateOnHandle(fds[1], nullptr));
        ::close(fds[1]);
        drain.join();
        ::close(fds[0]);
        QVERIFY2(written, "writing through a pipe failed");
        QVERIFY(writeFile(path, drained));
    } else {
        HZIP writer = archiveCreateFile(u16(path).c_str(), nullptr);
        QVERIFY(writer);
        QVERIFY2(addAll(writer), "writing the archive failed");
    }

    const Run test = run(m_unzip, { "-t", path }, m_dir.path());
    QVERIFY2(test.exitCode == 0 && test.out.contains("No errors detected"), qPrintable("unzip -t: " + test.describe()));

    const Run listing = run(m_zipinfo, { "-l", path }, m_dir.path());
    QVERIFY2(listing.exitCode == 0, qPrintable("zipinfo: " + listing.describe()));
    QMap<QString, QStringList> rows;
    for (const QByteArray& line : listing.out.split('\n')) {
        const QStringList fields = QString::fromUtf8(line).split(' ', Qt::SkipEmptyParts);
        if (fields.size() >= 10 && names.contains(fields.mid(9).join(' ')))
            rows.insert(fields.mid(9).join(' '), fields);
    }
    QCOMPARE(rows.size(), names.size());
    for (int i = 0; i < names.size(); ++i) {
        const QStringList& f = rows[names[i]];
        const int size = names[i].endsWith('/') ? 0 : contentFor(names[i]).size();
        QVERIFY2(f[3].toInt() == size, qPrintable(names[i] + ": zipinfo size " + f[3]));
        QVERIFY2(f[6] == methods[i], qPrintable(names[i] + ": zipinfo method " + f[6] + ", expected " + methods[i]));
    }

    const QJsonObject python = pythonListing(path);
    QVERIFY2(python.value("bad").isNull() && python.contains("members"), "Python's testzip found a bad member or failed");
    const QJsonArray members = python.value("members").toArray();
    QCOMPARE(members.size(), names.size());
    for (int i = 0; i < names.size(); ++i) {
        const QJsonObject m = members[i].toObject();
        QCOMPARE(m.value("name").toString(), names[i]);
        const QByteArray expected = names[i].endsWith('/') ? QByteArray() : contentFor(names[i]);
        QCOMPARE(m.value("size").toInt(), expected.size());
        QCOMPARE(m.value("method").toInt(), methods[i] == "stor" ? 0 : 8);
        QVERIFY2(m.value("sha256").toString() == sha256(expected), qPrintable(names[i] + ": Python read other bytes"));
    }
}

QString tst_ZipInterop::makeSourceTree()
{
    const QString root = m_dir.filePath("tree");
    if (QFileInfo::exists(root))
        return root;
    const QStringList files { "effect.json", "properties.json", "images/main/image.png",
                              "images/thumbnail/small.jpg", "notes/readme.txt" };
    for (const QString& name : files)
        writeFile(root + "/" + name, contentFor(name));
    writeFile(root + "/notes/empty.txt", {});
    QDir(root).mkpath("images/unused");
    return root;
}

void tst_ZipInterop::readerReadsForeignArchives_data()
{
    QTest::addColumn<QString>("maker");
    QTest::addColumn<QStringList>("args");  // run in the source tree; "%out" is the archive
    QTest::addColumn<int>("prefix");        // bytes put in front of the finished archive
    QTest::addColumn<int>("comment");       // archive comment added afterwards
    QTest::addColumn<bool>("streamed");     // the maker writes to its standard output
    const QString pyWrite = "import os, sys, zipfile\n"
                            "m = {'deflated': zipfile.ZIP_DEFLATED, 'stored': zipfile.ZIP_STORED}[sys.argv[1]]\n"
                            "out = sys.stdout.buffer if sys.argv[2] == '-' else open(sys.argv[2], 'wb')\n"
                            "with zipfile.ZipFile(out, 'w', m) as z:\n"
                            "    for d, subdirs, files in sorted(os.walk('.')):\n"
                            "        if d != '.': z.write(d, d[2:])\n"
                            "        for f in sorted(files): z.write(os.path.join(d, f), os.path.join(d, f)[2:])\n";
    const QString pyEmpty = "import sys, zipfile\nzipfile.ZipFile(sys.argv[1], 'w').close()\n";
    QTest::newRow("infozip-stored") << "zip" << QStringList { "-q", "-r", "-0", "%out", "." } << 0 << 0 << false;
    QTest::newRow("infozip-deflate-8") << "zip" << QStringList { "-q", "-r", "-8", "%out", "." } << 0 << 0 << false;
    QTest::newRow("infozip-with-100-byte-prefix") << "zip" << QStringList { "-q", "-r", "-8", "%out", "." } << 100 << 0 << false;
    QTest::newRow("infozip-with-2000-byte-comment") << "zip" << QStringList { "-q", "-r", "-8", "%out", "." } << 0 << 2000 << false;
    QTest::newRow("python-deflated") << "python3" << QStringList { "-c", pyWrite, "deflated", "%out" } << 0 << 0 << false;
    QTest::newRow("python-stored") << "python3" << QStringList { "-c", pyWrite, "stored", "%out" } << 0 << 0 << false;
    QTest::newRow("python-streamed-data-descriptors") << "python3" << QStringList { "-c", pyWrite, "deflated", "-" } << 0 << 0 << true;
    QTest::newRow("python-empty-archive") << "python3" << QStringList { "-c", pyEmpty, "%out" } << 0 << 0 << false;
    QTest::newRow("7z-deflate") << "7z" << QStringList { "a", "-tzip", "-mx=9", "%out", "." } << 0 << 0 << false;
    QTest::newRow("7z-stored") << "7z" << QStringList { "a", "-tzip", "-mx=0", "%out", "." } << 0 << 0 << false;
}

void tst_ZipInterop::readerReadsForeignArchives()
{
    QFETCH(QString, maker);
    QFETCH(QStringList, args);
    QFETCH(int, prefix);
    QFETCH(int, comment);
    QFETCH(bool, streamed);
    const QString tree = makeSourceTree();
    const QString path = m_dir.filePath(QString("foreign-%1.zip").arg(QTest::currentDataTag()));
    QFile::remove(path);
    args.replaceInStrings("%out", path);
    const Run made = run(tool(maker.toLatin1().constData()), args, tree);
    QVERIFY2(made.exitCode == 0, qPrintable(maker + ": " + made.describe()));
    if (streamed)
        QVERIFY(writeFile(path, made.out));
    if (comment > 0) {
        const Run commented = run(m_python, { "-c", "import sys, zipfile\nz = zipfile.ZipFile(sys.argv[1], 'a')\n"
                                                    "z.comment = b'c' * int(sys.argv[2])\nz.close()\n",
                                              path, QString::number(comment) },
                                  m_dir.path());
        QVERIFY2(commented.exitCode == 0, qPrintable(commented.describe()));
    }
    const QJsonObject oracle = pythonListing(path);
    QVERIFY2(oracle.contains("members"), "Python cannot read the fixture");
    QByteArray bytes = readFile(path);
    if (streamed)
        QVERIFY2(le16(bytes, 6) & 0x0008, "the streamed fixture must use data descriptors");
    if (prefix > 0) {
        bytes.prepend(QByteArray(prefix, 'P'));
        QVERIFY(writeFile(path, bytes));
    }

    Handle reader(archiveOpenFile(u16(path).c_str(), nullptr));
    QVERIFY2(reader, "the reader refused a fixture made by the tool");
    const QJsonArray members = oracle.value("members").toArray();
    ArchiveMemberInfo info;
    QCOMPARE(archiveMemberInfo(reader.get(), -1, &info), ArchiveResult::Ok);
    QCOMPARE(info.index, members.size());
    if (QString(QTest::currentDataTag()) != "python-empty-archive")
        QVERIFY2(members.size() >= 6, "the fixture should hold the files of the tree");
    for (const QJsonValue& value : members) {
        const QJsonObject m = value.toObject();
        const QString name = m.value("name").toString();
        const bool folder = name.endsWith('/');
        QCOMPARE(archiveFindMember(reader.get(), u16(name).c_str(), false, nullptr, &info), ArchiveResult::Ok);
        QCOMPARE(QString::fromStdU16String(info.name), name);
        QCOMPARE(int(info.uncompressedSize), m.value("size").toInt());
        QVERIFY2(bool(info.attributes & 0x10) == folder, qPrintable(name + ": directory attribute"));
        if (folder || info.uncompressedSize == 0)
            continue;
        QByteArray out;
        QCOMPARE(extractAll(reader.get(), info.index, info.uncompressedSize, &out), ArchiveResult::Ok);
        QVERIFY2(sha256(out) == m.value("sha256").toString(), qPrintable(name + ": bytes differ from Python's"));
        QVERIFY2(out == readFile(tree + "/" + name), qPrintable(name + ": bytes differ from the source file"));
    }
}

void tst_ZipInterop::longCommentIsRead()
{
    const QString script = "import sys, zipfile\nwith zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                           "    z.writestr('a.txt', 'hello')\n    z.comment = b'c' * int(sys.argv[2])\n";
    for (int length : { 65513, 65514, 65535 }) {
        const QString path = m_dir.filePath(QString("comment-%1.zip").arg(length));
        const Run made = run(m_python, { "-c", script, path, QString::number(length) }, m_dir.path());
        QVERIFY2(made.exitCode == 0, qPrintable(made.describe()));
        Handle reader(archiveOpenFile(u16(path).c_str(), nullptr));
        QVERIFY2(reader, qPrintable(QString("comment of %1 bytes").arg(length)));
        QByteArray out;
        QCOMPARE(findAndExtract(reader.get(), u"a.txt", false, &out), ArchiveResult::Ok);
        QCOMPARE(out, QByteArray("hello"));
    }
}

// Python writes ZIP64 blocks into the local headers when asked to (and when it streams a
// member of unknown size), and a ZIP64 end record when told the archive is large.
void tst_ZipInterop::zip64FromPythonIsRead()
{
    const QString path = m_dir.filePath("zip64.zip");
    const QString script = "import sys, zipfile\n"
                           "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
                           "    with z.open('effect.json', 'w', force_zip64=True) as f:\n"
                           "        f.write(b'{\"a\": 1}' * 100)\n"
                           "    with z.open('images/main/image.png', 'w', force_zip64=True) as f:\n"
                           "        f.write(bytes(range(256)) * 40)\n";
    const Run made = run(m_python, { "-c", script, path }, m_dir.path());
    QVERIFY2(made.exitCode == 0, qPrintable(made.describe()));
    ArchiveResult opened = ArchiveResult::CodecError;
    Handle reader(archiveOpenFile(u16(path).c_str(), nullptr, &opened));
    QCOMPARE(opened, ArchiveResult::Ok);
    QByteArray out;
    QCOMPARE(findAndExtract(reader.get(), u"effect.json", false, &out), ArchiveResult::Ok);
    QCOMPARE(out, QByteArray("{\"a\": 1}").repeated(100));
    QCOMPARE(findAndExtract(reader.get(), u"images/main/image.png", false, &out), ArchiveResult::Ok);
    QCOMPARE(out.size(), 256 * 40);

    // The same members behind a ZIP64 end record and its locator, the classic record escaped.
    const QString withRecord = m_dir.filePath("zip64-record.zip");
    const QString recordScript = "import sys, zipfile\n"
                                 "zipfile.ZIP_FILECOUNT_LIMIT = 1\n"
                                 "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
                                 "    z.writestr('effect.json', b'{\"a\": 1}' * 100)\n"
                                 "    z.writestr('b.txt', b'bee')\n"
                                 "data = open(sys.argv[1], 'rb').read()\n"
                                 "assert data.find(b'PK\\x06\\x06') > 0 and data.find(b'PK\\x06\\x07') > 0\n";
    const Run recorded = run(m_python, { "-c", recordScript, withRecord }, m_dir.path());
    QVERIFY2(recorded.exitCode == 0, qPrintable(recorded.describe()));
    Handle second(archiveOpenFile(u16(withRecord).c_str(), nullptr, &opened));
    QCOMPARE(opened, ArchiveResult::Ok);
    QCOMPARE(findAndExtract(second.get(), u"b.txt", false, &out), ArchiveResult::Ok);
    QCOMPARE(out, QByteArray("bee"));
}

void tst_ZipInterop::bzip2MemberIsCorrupt()
{
    const QString path = m_dir.filePath("bzip2.zip");
    const Run made = run(m_python, { "-c", "import sys, zipfile\nwith zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_BZIP2) as z:\n"
                                           "    z.writestr('effect.json', 'x' * 1000)\n", path },
                         m_dir.path());
    QVERIFY2(made.exitCode == 0, qPrintable(made.describe()));
    Handle reader(archiveOpenFile(u16(path).c_str(), nullptr));
    QVERIFY(reader);
    ArchiveMemberInfo info;
    QCOMPARE(archiveFindMember(reader.get(), u"effect.json", true, nullptr, &info), ArchiveResult::Corrupt);
    QByteArray out;
    QCOMPARE(extractAll(reader.get(), 0, 1000, &out), ArchiveResult::CodecError);
}

void tst_ZipInterop::damagedForeignArchivesAreRefused()
{
    const QString tree = makeSourceTree();
    const QString stored = m_dir.filePath("damaged-source.zip");
    QFile::remove(stored);
    const Run made = run(m_zip, { "-q", "-0", stored, "effect.json", "properties.json" }, tree);
    QVERIFY2(made.exitCode == 0, qPrintable(made.describe()));
    const QByteArray good = readFile(stored);
    const Layout l = layoutOf(good);
    QCOMPARE(l.localHeaders.size(), 2);

    QByteArray brokenLocal = good;
    put32(&brokenLocal, l.localHeaders[1], 0x04034B55);
    {
        Handle reader = openMemory(brokenLocal);
        QVERIFY(reader);
        QCOMPARE(archiveFindMember(reader.get(), u"properties.json", false, nullptr, nullptr), ArchiveResult::Ok);
        ArchiveMemberInfo info;
        QCOMPARE(archiveFindMember(reader.get(), u"properties.json", false, nullptr, &info), ArchiveResult::Corrupt);
    }

    QByteArray counts = good;
    put16(&counts, l.endRecord + 8, 1);
    QVERIFY2(!openMemory(counts), "differing entry counts must be refused");

    for (int length = 0; length < good.size(); ++length) {
        const QByteArray cut = good.left(length);
        if (Handle(archiveOpenMemory(cut.isEmpty() ? "" : cut.constData(), uint32_t(length), nullptr)))
            QFAIL(qPrintable(QString("archive cut to %1 bytes opened").arg(length)));
    }

    // One flipped byte inside the first stored member: unzip agrees that the archive is bad.
    QByteArray flipped = good;
    const int data = l.localHeaders[0] + 30 + le16(good, l.localHeaders[0] + 26) + le16(good, l.localHeaders[0] + 28);
    flipped[data + 5] = char(flipped[data + 5] ^ 0x20);
    const QString flippedPath = m_dir.filePath("flipped.zip");
    QVERIFY(writeFile(flippedPath, flipped));
    const Run check = run(m_unzip, { "-t", flippedPath }, m_dir.path());
    QVERIFY2(check.exitCode != 0, "unzip -t should also find the flipped byte");
    Handle reader = openMemory(flipped);
    QByteArray out;
    QCOMPARE(findAndExtract(reader.get(), u"effect.json", false, &out), ArchiveResult::Corrupt);
}

QTEST_GUILESS_MAIN(tst_ZipInterop)
#include "tst_zipinterop.moc"
