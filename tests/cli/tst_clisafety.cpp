// facemask-cli's inputs and outputs through the real program: targets it must not replace,
// inputs it must not wait on, results that did not arrive, names that must not forge lines,
// names that are not UTF-8, and the thumbnail command against good, damaged and huge packages.
#include "core/facemaskproject.h"
#include "tests/support/processlimit.h"
#include "tests/support/programrun.h"
#include "core/imagefiles.h"
#include "tests/support/packagefixtures.h"
#include "tests/support/testimages.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <csignal>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace packagefixtures;

namespace {

// Long enough for a loaded machine; a command waiting on a FIFO never ends.
constexpr int processTimeoutMs = 120'000;

using Run = ProgramRun;

Run runCli(const QStringList& arguments, const QString& folder, const QString& outputFile = QString())
{
    return runProgram(QStringLiteral(FACEMASK_CLI_PROGRAM), arguments, folder, outputFile, processTimeoutMs);
}

// Through sh, for what QProcess cannot do: close stdout, pass bytes that are not UTF-8.
// The script sees the program as $0.
Run runShell(const QString& script, const QString& folder)
{
    return runProgram(QStringLiteral("/bin/sh"),
                      {QStringLiteral("-c"), script, QStringLiteral(FACEMASK_CLI_PROGRAM)}, folder,
                      QString(), processTimeoutMs);
}

// Started as from a shell after `ulimit -f`: writes past bytes raise SIGXFSZ, whose default
// action ends the process.
class SizeLimitedProcess : public QProcess
{
public:
    explicit SizeLimitedProcess(rlim_t bytes) : m_bytes(bytes) {}

protected:
    void setupChildProcess() override
    {
        std::signal(SIGXFSZ, SIG_DFL);
        const rlimit limit{m_bytes, m_bytes};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }

private:
    rlim_t m_bytes;
};

QByteArray contentOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

mode_t kindOf(const QString& path)
{
    struct stat status {};
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 ? (status.st_mode & S_IFMT) : 0;
}

// A package as the window saves it: the picture, 75 points on a ring, the name given.
bool savePackage(const QString& path, const QImage& picture, const QString& name = QStringLiteral("Ring"))
{
    core::ProjectSnapshot snapshot = core::FaceMaskProject().snapshot();
    snapshot.name = name;
    snapshot.picture = picture;
    for (int i = 0; i < 75; ++i) {
        const double angle = 2 * M_PI * i / 75;
        snapshot.points.emplace_back(0.5 + 0.3 * std::cos(angle), 0.5 + 0.3 * std::sin(angle));
    }
    return core::savePackage(snapshot, path);
}

// Left half red, right half blue, so that a thumbnail shows which picture it came from.
QImage halvesPicture(int width, int height)
{
    QImage picture(width, height, QImage::Format_RGB32);
    picture.fill(Qt::blue);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width / 2; ++x) {
            picture.setPixel(x, y, qRgb(255, 0, 0));
        }
    }
    return picture;
}

QStringList linesOf(const QByteArray& text)
{
    return QString::fromUtf8(text).split('\n', Qt::SkipEmptyParts);
}

// An exFAT file system through FUSE, as a USB stick is mounted, in an image in folder: it needs
// root, a loop device, mkfs.exfat and mount.exfat-fuse. Unmounted and let go when it ends.
class ExfatStick
{
public:
    explicit ExfatStick(const QString& folder)
        : m_image(folder + QStringLiteral("/stick.img")), m_mountPoint(folder + QStringLiteral("/stick"))
    {
        QFile image(m_image);
        if (::geteuid() != 0 || !image.open(QIODevice::WriteOnly) || !image.resize(16 << 20)) {
            return;
        }
        image.close();
        QDir().mkpath(m_mountPoint);
        if (!run(QStringLiteral("mkfs.exfat"), {m_image})) {
            return;
        }
        QProcess losetup;
        losetup.start(QStringLiteral("losetup"), {QStringLiteral("-f"), QStringLiteral("--show"), m_image});
        if (!losetup.waitForFinished(30'000) || losetup.exitStatus() != QProcess::NormalExit || losetup.exitCode() != 0) {
            return;
        }
        m_device = QString::fromLocal8Bit(losetup.readAllStandardOutput()).trimmed();
        m_mounted = !m_device.isEmpty() && run(QStringLiteral("mount.exfat-fuse"), {m_device, m_mountPoint});
    }
    ~ExfatStick()
    {
        if (m_mounted) {
            run(QStringLiteral("fusermount"), {QStringLiteral("-u"), m_mountPoint});
        }
        if (!m_device.isEmpty()) {
            run(QStringLiteral("losetup"), {QStringLiteral("-d"), m_device});
        }
    }
    ExfatStick(const ExfatStick&) = delete;
    ExfatStick& operator=(const ExfatStick&) = delete;

    bool isMounted() const { return m_mounted; }
    QString path() const { return m_mountPoint; }

private:
    static bool run(const QString& program, const QStringList& arguments)
    {
        QProcess process;
        process.start(program, arguments);
        return process.waitForFinished(30'000) && process.exitStatus() == QProcess::NormalExit
            && process.exitCode() == 0;
    }

    QString m_image;
    QString m_mountPoint;
    QString m_device;
    bool m_mounted = false;
};

} // namespace

class tst_CliSafety : public QObject
{
    Q_OBJECT
private slots:
    void init();

    void writersKeepWhatTheyMustNotReplace_data();
    void writersKeepWhatTheyMustNotReplace();
    void inputsThatAreNotRegularFilesAreRefused_data();
    void inputsThatAreNotRegularFilesAreRefused();
    void lostStandardOutputFails_data();
    void lostStandardOutputFails();
    void controlCharactersCannotForgeLines();
    void namesThatAreNotUtf8AreRead();
    void namesStartingWithADash_data();
    void namesStartingWithADash();
    void thumbnails_data();
    void thumbnails();
    void thumbnailFillsTheEmptyFileAServiceMade();
    void makeNamesAndCountsItsPackages();
    void makeWritesIntoAFolderItCannotList();
    void jpegCutShortIsReadWithAWarning();
    void decoderMessagesNameTheirFile_data();
    void decoderMessagesNameTheirFile();
    void pointsPrintsTheColumnsOfDetect();
    void pointsNamesAPackageItCannotWrite_data();
    void detectFormatSaysWhenNoFaceWasFound_data();
    void detectFormatSaysWhenNoFaceWasFound();
    void pointsNamesAPackageItCannotWrite();
    void previewGivesTheLoadersReason();
    void largePicturesWaitForMemory_data();
    void largePicturesWaitForMemory();
    void writesPastTheFileSizeLimitFail_data();
    void writesPastTheFileSizeLimitFail();
    void failingDiskIsTold_data();
    void failingDiskIsTold();
    void stickWithoutLinks_data();
    void stickWithoutLinks();
    void interruptedMoveOnAStickLeavesNoFile();
    void stickIgnoringCaseKeepsEachPackage();
    void failingPackageReadIsTold_data();
    void failingPackageReadIsTold();
    void noThreadToSpareIsSaid();

private:
    QString pathOf(const QString& name) const { return m_folder->filePath(name); }

    std::unique_ptr<QTemporaryDir> m_folder;
};

void tst_CliSafety::init()
{
    m_folder = std::make_unique<QTemporaryDir>();
    QVERIFY(m_folder->isValid());
}

void tst_CliSafety::writersKeepWhatTheyMustNotReplace_data()
{
    QTest::addColumn<QStringList>("arguments");  // in the test's folder: mask.pmk, face.jpg
    QTest::addColumn<QString>("target");         // made before the run as the row's kind says
    QTest::addColumn<QString>("kind");           // file, fifo, device, chain; picture, symlink or
                                                 // hardlink: a copy of face.jpg, or a link to other.jpg;
                                                 // outputlink: a link to face.pmk, not there yet
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");        // a piece of stderr; empty on success

    auto row = [](const char* tag, const QStringList& arguments, const QString& target,
                  const QString& kind, int status, const QString& message) {
        QTest::newRow(tag) << arguments << target << kind << status << message;
    };
    row("preview-existing-kept", {"preview", "mask.pmk", "face.jpg", "-o", "out.png"}, "out.png",
        "file", 1, "out.png exists (--force replaces it)");
    row("preview-own-package-never", {"preview", "--force", "mask.pmk", "face.jpg", "-o", "mask.pmk"},
        "", "", 1, "mask.pmk is an input of this command");
    row("preview-own-picture-never", {"preview", "--force", "mask.pmk", "face.jpg", "-o", "face.jpg"},
        "", "", 1, "face.jpg is an input of this command");
    row("preview-fifo-never", {"preview", "--force", "mask.pmk", "face.jpg", "-o", "out.png"}, "out.png",
        "fifo", 1, "out.png is not a regular file");
    row("thumbnail-existing-kept", {"thumbnail", "mask.pmk", "out.png"}, "out.png", "file", 1,
        "out.png exists (--force replaces it)");
    row("thumbnail-own-package-never", {"thumbnail", "--force", "mask.pmk", "mask.pmk"}, "", "", 1,
        "mask.pmk is an input of this command");
    row("thumbnail-device-never", {"thumbnail", "--force", "mask.pmk", "out.png"}, "out.png", "device",
        1, "out.png is not a regular file");
    row("thumbnail-link-chain-writes-the-last", {"thumbnail", "--force", "mask.pmk", "out.png"},
        "out.png", "chain", 0, "");
    row("make-own-picture-never", {"make", "--force", "face.jpg", "-o", "face.jpg"}, "", "", 1,
        "face.jpg is an input of this command");
    row("make-fifo-never", {"make", "--force", "face.jpg", "-o", "out.pmk"}, "out.pmk", "fifo", 1,
        "out.pmk is not a regular file");
    row("make-link-chain-writes-the-last", {"make", "--force", "face.jpg", "-o", "out.pmk"}, "out.pmk",
        "chain", 0, "");
    // Another picture of the same batch is never replaced either, whatever name reaches it.
    row("make-other-picture-never", {"make", "--force", "-j1", "--out-dir", ".", "face.jpg", "face.pmk"},
        "face.pmk", "picture", 1, "face.pmk is an input of this command");
    row("make-other-picture-by-symlink-never", {"make", "--force", "--out-dir", ".", "face.jpg", "other.jpg"},
        "face.pmk", "symlink", 1, "face.pmk is an input of this command");
    row("make-other-picture-by-hard-link-never",
        {"make", "--force", "--out-dir", ".", "face.jpg", "other.jpg"}, "face.pmk", "hardlink", 1,
        "face.pmk is an input of this command");
    // A second name of a package the batch wrote (a link here; on a file system that ignores
    // case, Face.jpg and face.jpg) does not replace it.
    row("make-second-name-of-its-own-package-never",
        {"make", "--force", "-j1", "--out-dir", ".", "face.jpg", "other.jpg"}, "other.pmk", "outputlink", 1,
        "other.pmk is a file this command has written already");
    row("make-write-failure-says-why", {"make", "face.jpg", "-o", "missing/x.pmk"}, "", "", 1,
        "cannot write missing/x.pmk: No such file or directory");
}

void tst_CliSafety::writersKeepWhatTheyMustNotReplace()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, target);
    QFETCH(QString, kind);
    QFETCH(int, status);
    QFETCH(QString, message);

    QVERIFY(savePackage(pathOf("mask.pmk"), halvesPicture(400, 300)));
    QVERIFY(QFile::copy(testimages::testPicture("Tom_Cruise_avp_2014_4.jpg"), pathOf("face.jpg")));
    const QByteArray package = contentOf(pathOf("mask.pmk"));
    const QByteArray picture = contentOf(pathOf("face.jpg"));
    const QByteArray earlier("an earlier file");
    const QByteArray targetPath = QFile::encodeName(pathOf(target));
    // The link chain: target -> b -> c, c the file written.
    const QString finalFile = kind == QLatin1String("chain") ? pathOf("c" + target) : pathOf(target);
    if (kind == QLatin1String("file")) {
        QVERIFY(writeFile(pathOf(target), earlier));
    } else if (kind == QLatin1String("fifo")) {
        QVERIFY(::mkfifo(targetPath.constData(), 0644) == 0);
    } else if (kind == QLatin1String("device")) {
        if (::mknod(targetPath.constData(), S_IFCHR | 0644, makedev(1, 3)) != 0) {
            QSKIP("making a device node needs root (CAP_MKNOD)");
        }
    } else if (kind == QLatin1String("picture")) {
        QVERIFY(writeFile(pathOf(target), picture));
    } else if (kind == QLatin1String("symlink")) {
        QVERIFY(writeFile(pathOf("other.jpg"), picture));
        QVERIFY(QFile::link("other.jpg", pathOf(target)));
    } else if (kind == QLatin1String("hardlink")) {
        QVERIFY(writeFile(pathOf("other.jpg"), picture));
        QVERIFY(::link(QFile::encodeName(pathOf("other.jpg")).constData(), targetPath.constData()) == 0);
    } else if (kind == QLatin1String("outputlink")) {
        QVERIFY(writeFile(pathOf("other.jpg"), picture));
        QVERIFY(QFile::link("face.pmk", pathOf(target)));
    } else if (kind == QLatin1String("chain")) {
        QVERIFY(writeFile(finalFile, earlier));
        QVERIFY(QFile::link("c" + target, pathOf("b" + target)));
        QVERIFY(QFile::link("b" + target, pathOf(target)));
    }

    const Run run = runCli(arguments, m_folder->path());
    QVERIFY2(run.status == status, qPrintable(describe(run)));
    QVERIFY2(run.err.contains(message.toUtf8()), qPrintable(describe(run)));
    QCOMPARE(contentOf(pathOf("mask.pmk")), package);
    QCOMPARE(contentOf(pathOf("face.jpg")), picture);
    if (kind == QLatin1String("file")) {
        QCOMPARE(contentOf(pathOf(target)), earlier);
    } else if (kind == QLatin1String("picture") || kind == QLatin1String("symlink")
               || kind == QLatin1String("hardlink")) {
        QCOMPARE(contentOf(pathOf(target)), picture);
        QCOMPARE(kindOf(pathOf(target)), mode_t(kind == QLatin1String("symlink") ? S_IFLNK : S_IFREG));
    } else if (kind == QLatin1String("outputlink")) {
        QCOMPARE(kindOf(pathOf(target)), mode_t(S_IFLNK));
        const Run check = runCli({"info", "face.pmk"}, m_folder->path());
        QVERIFY2(check.status == 0 && check.out.contains("name: face\n"), qPrintable(describe(check)));
    } else if (kind == QLatin1String("fifo")) {
        QCOMPARE(kindOf(pathOf(target)), mode_t(S_IFIFO));
    } else if (kind == QLatin1String("device")) {
        QCOMPARE(kindOf(pathOf(target)), mode_t(S_IFCHR));
    } else if (kind == QLatin1String("chain")) {
        QCOMPARE(kindOf(pathOf(target)), mode_t(S_IFLNK));
        QCOMPARE(kindOf(pathOf("b" + target)), mode_t(S_IFLNK));
        QCOMPARE(kindOf(finalFile), mode_t(S_IFREG));
        QVERIFY(contentOf(finalFile) != earlier);
        const Run check = finalFile.endsWith(".pmk")
            ? runCli({"info", finalFile}, m_folder->path())
            : Run{QImage(finalFile).isNull() ? 1 : 0, {}, {}};
        QVERIFY2(check.status == 0, qPrintable(describe(check)));
    }
    // Nothing half-written is left beside the targets.
    const QStringList names = QDir(m_folder->path()).entryList(QDir::AllEntries | QDir::System
                                                                | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        QVERIFY2(!name.contains(QRegularExpression("\\.[A-Za-z0-9]{6}$")), qPrintable(name));
    }
}

void tst_CliSafety::inputsThatAreNotRegularFilesAreRefused_data()
{
    QTest::addColumn<QStringList>("arguments");  // INPUT stands for the input tried
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reason");

    const QStringList commands[] = {
        {"info", "INPUT"},
        {"points", "INPUT"},
        {"thumbnail", "INPUT", "out.png"},
        {"detect", "INPUT"},
        {"make", "INPUT", "-o", "out.pmk"},
        {"preview", "INPUT", "face.jpg", "-o", "out.png"},
        {"preview", "mask.pmk", "INPUT", "-o", "out.png"},
    };
    for (const QStringList& arguments : commands) {
        const QString name = arguments.join('-').replace(".", "");
        // A FIFO without a writer would make open(2) wait for ever.
        QTest::newRow(qPrintable(name + "-fifo")) << arguments << "fifo" << "not a regular file";
        QTest::newRow(qPrintable(name + "-folder")) << arguments << "folder" << "is a folder";
    }
    QTest::newRow("info-device") << QStringList{"info", "INPUT"} << "device" << "not a regular file";
    QTest::newRow("detect-device") << QStringList{"detect", "INPUT"} << "device" << "not a regular file";
}

void tst_CliSafety::inputsThatAreNotRegularFilesAreRefused()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, kind);
    QFETCH(QString, reason);
    QVERIFY(savePackage(pathOf("mask.pmk"), halvesPicture(400, 300)));
    QVERIFY(QFile::copy(testimages::testPicture("Tom_Cruise_avp_2014_4.jpg"), pathOf("face.jpg")));
    QString input = pathOf("input");
    if (kind == QLatin1String("fifo")) {
        QVERIFY(::mkfifo(QFile::encodeName(input).constData(), 0644) == 0);
    } else if (kind == QLatin1String("folder")) {
        QVERIFY(QDir().mkdir(input));
    } else {
        input = QStringLiteral("/dev/zero");  // endless: read, it would exhaust the memory
    }
    arguments.replaceInStrings(QRegularExpression("^INPUT$"), input);

    const Run run = runCli(arguments, m_folder->path());
    QVERIFY2(run.status != -1, "the command did not end: it waits on its input");
    QVERIFY2(run.status == 1, qPrintable(describe(run)));
    QVERIFY2(run.err.contains(reason.toUtf8()) || run.out.contains(reason.toUtf8()), qPrintable(describe(run)));
    QVERIFY(!QFile::exists(pathOf("out.png")) && !QFile::exists(pathOf("out.pmk")));
}

void tst_CliSafety::lostStandardOutputFails_data()
{
    QTest::addColumn<QString>("command");  // the arguments, as sh words
    QTest::addColumn<QString>("redirection");
    QTest::addColumn<QString>("reason");

    const QString points = "points mask.pmk";
    const QString info = "info --json mask.pmk";
    const QString detect = "detect face.jpg";
    for (const QString& command : {points, info, detect, QStringLiteral("--help"), QStringLiteral("--version")}) {
        const QString name = command.section(' ', 0, 0);
        QTest::newRow(qPrintable(name + "-disk-full")) << command << ">/dev/full" << "No space left on device";
        QTest::newRow(qPrintable(name + "-closed")) << command << ">&-" << "Bad file descriptor";
    }
}

void tst_CliSafety::lostStandardOutputFails()
{
    QFETCH(QString, command);
    QFETCH(QString, redirection);
    QFETCH(QString, reason);
    QVERIFY(savePackage(pathOf("mask.pmk"), halvesPicture(400, 300)));
    QVERIFY(QFile::copy(testimages::testPicture("Tom_Cruise_avp_2014_4.jpg"), pathOf("face.jpg")));

    const Run run = runShell(QStringLiteral("exec \"$0\" %1 %2").arg(command, redirection), m_folder->path());
    QVERIFY2(run.status == 1, qPrintable(describe(run)));
    QVERIFY2(run.err.contains("cannot write to standard output: " + reason.toUtf8()), qPrintable(describe(run)));
    // Nothing the command read or wrote went to a file that took stdout's place.
    QVERIFY(QDir(m_folder->path()).entryList(QDir::Files).size() == 2);

    const Run whole = runShell(QStringLiteral("exec \"$0\" %1").arg(command), m_folder->path());
    QVERIFY2(whole.status == 0 && !whole.out.isEmpty(), qPrintable(describe(whole)));
}

void tst_CliSafety::controlCharactersCannotForgeLines()
{
    const QString name = QStringLiteral("Mask\nother.pmk: refused: forged\x1b]0;title\x07\t\\");
    QVERIFY(savePackage(pathOf("named.pmk"), halvesPicture(400, 300), name));

    const Run info = runCli({"info", "named.pmk"}, m_folder->path());
    QVERIFY2(info.status == 0, qPrintable(describe(info)));
    QVERIFY2(!info.out.contains('\x1b') && !info.out.contains('\x07'), info.out.constData());
    const QStringList lines = linesOf(info.out);
    QCOMPARE(lines.size(), 9);  // the file, then eight fields, the last the folded triangles
    QCOMPARE(lines.at(1), QStringLiteral("  name: Mask\\nother.pmk: refused: forged\\x1b]0;title\\x07\\t\\\\"));
    const Run json = runCli({"info", "--json", "named.pmk"}, m_folder->path());
    QCOMPARE(QJsonDocument::fromJson(json.out).array().at(0).toObject().value("name").toString(), name);

    // File names with a tab and a newline keep detect's and points' lines whole.
    const QString picture = QStringLiteral("a\tb\nc.jpg");
    QVERIFY(QFile::copy(testimages::testPicture("Tom_Cruise_avp_2014_4.jpg"), pathOf(picture)));
    QVERIFY(QFile::copy(pathOf("named.pmk"), pathOf("p\tq\n.pmk")));
    const Run detect = runCli({"detect", picture}, m_folder->path());
    const Run points = runCli({"points", "p\tq\n.pmk"}, m_folder->path());
    for (const Run& run : {detect, points}) {
        QVERIFY2(run.status == 0, qPrintable(describe(run)));
        QCOMPARE(linesOf(run.out).size(), 1);
        QCOMPARE(linesOf(run.out).first().split('\t').size(), 3);
    }
    QVERIFY(detect.out.startsWith("a\\tb\\nc.jpg\t1\t"));
    QVERIFY(points.out.startsWith("p\\tq\\n.pmk\t1\t"));

    // The model's name too, missing or unreadable.
    QVERIFY(writeFile(pathOf("not\na model\x1b.dat"), "not a model"));
    const QVector<QPair<QString, QByteArray>> models{{"not\na model\x1b.dat", "not\\na model\\x1b.dat"},
                                                     {"no\nmodel\x1b.dat", "no\\nmodel\\x1b.dat"}};
    for (const auto& [model, shown] : models) {
        const Run run = runCli({"detect", "--model", model, picture}, m_folder->path());
        QVERIFY2(run.status == 3, qPrintable(describe(run)));
        QVERIFY2(linesOf(run.err).size() == 1 && run.err.contains(shown), run.err.constData());
    }
}

void tst_CliSafety::namesStartingWithADash_data()
{
    QTest::addColumn<QStringList>("arguments");  // in the test's folder: -face.jpg
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");  // a piece of stderr

    const QString hint = "'-face.jpg' is a file: give files after '--', or as ./-face.jpg";
    QTest::newRow("detect-as-options") << QStringList{"detect", "-face.jpg"} << 2 << hint;
    QTest::newRow("make-as-options") << QStringList{"make", "--out-dir", "out", "-face.jpg"} << 2 << hint;
    QTest::newRow("after-end-of-options") << QStringList{"detect", "--", "-face.jpg"} << 0 << "";
    QTest::newRow("as-path") << QStringList{"detect", "./-face.jpg"} << 0 << "";
}

// A glob such as *.jpg can give a name that starts with '-'.
void tst_CliSafety::namesStartingWithADash()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, message);
    QVERIFY(QFile::copy(testimages::testPicture("Tom_Cruise_avp_2014_4.jpg"), pathOf("-face.jpg")));

    const Run run = runCli(arguments, m_folder->path());
    QVERIFY2(run.status == status, qPrintable(describe(run)));
    QVERIFY2(QString::fromUtf8(run.err).contains(message), qPrintable(describe(run)));
    QCOMPARE(run.out.isEmpty(), status != 0);
}

void tst_CliSafety::namesThatAreNotUtf8AreRead()
{
    QVERIFY(savePackage(pathOf("mask.pmk"), halvesPicture(400, 300)));
    // "café.pmk" in Latin-1: the byte E9 alone is not UTF-8.
    const QByteArray latin1 = QFile::encodeName(m_folder->path()) + "/caf\xe9.pmk";
    QVERIFY(::rename(QFile::encodeName(pathOf("mask.pmk")).constData(), latin1.constData()) == 0);

    const Run info = runShell(QStringLiteral("exec \"$0\" info \"$(printf 'caf\\351.pmk')\""), m_folder->path());
    QVERIFY2(info.status == 0, qPrintable(describe(info)));
    QCOMPARE(linesOf(info.out).first(), QStringLiteral("caf\\xe9.pmk"));
    // In JSON, the byte as the code point a file system decoder gives it ("\udce9" for Python).
    const Run points = runShell(QStringLiteral("exec \"$0\" points --json \"$(printf 'caf\\351.pmk')\""),
                                m_folder->path());
    QVERIFY2(points.status == 0, qPrintable(describe(points)));
    QVERIFY2(points.out.contains("\"file\" : \"caf\\udce9.pmk\""), points.out.left(200).constData());
    QCOMPARE(QJsonDocument::fromJson(points.out).array().at(0).toObject().value("file").toString(),
             QStringLiteral("caf") + QChar(0xdce9) + QStringLiteral(".pmk"));

    const Run thumbnail = runShell(
        QStringLiteral("exec \"$0\" thumbnail \"$(printf 'caf\\351.pmk')\" \"$(printf 'vignette-\\351.png')\""),
        m_folder->path());
    QVERIFY2(thumbnail.status == 0, qPrintable(describe(thumbnail)));
    struct stat status {};
    const QByteArray written = QFile::encodeName(m_folder->path()) + "/vignette-\xe9.png";
    const bool found = ::stat(written.constData(), &status) == 0;
    // QTemporaryDir cannot name these files to remove them.
    ::unlink(written.constData());
    ::unlink(latin1.constData());
    QVERIFY2(found, "the thumbnail has the name given, byte for byte");
}

void tst_CliSafety::thumbnails_data()
{
    QTest::addColumn<QSize>("pictureSize");  // of the package's picture; empty: no valid package
    QTest::addColumn<QString>("damage");     // none, thumbnail-member, picture-crc, not-a-zip, huge-declared
    QTest::addColumn<int>("size");
    QTest::addColumn<QSize>("expected");     // invalid: refused, no file
    QTest::addColumn<QString>("source");     // thumbnail or picture: where the pixels come from

    // The large thumbnail is 320 x 240, the picture letter-boxed on white.
    QTest::newRow("good-small") << QSize(400, 300) << "none" << 128 << QSize(128, 96) << "thumbnail";
    QTest::newRow("good-320") << QSize(400, 300) << "none" << 320 << QSize(320, 240) << "thumbnail";
    QTest::newRow("good-tall-thumbnail") << QSize(300, 600) << "none" << 100 << QSize(100, 75) << "thumbnail";
    QTest::newRow("good-larger-scales-the-picture") << QSize(800, 600) << "none" << 400 << QSize(400, 300) << "picture";
    QTest::newRow("good-never-enlarged") << QSize(400, 300) << "none" << 1000 << QSize(400, 300) << "picture";
    QTest::newRow("damaged-thumbnail-the-picture-instead")
        << QSize(400, 300) << "thumbnail-member" << 200 << QSize(200, 150) << "picture";
    QTest::newRow("damaged-picture-refused") << QSize(400, 300) << "picture-crc" << 128 << QSize() << "";
    QTest::newRow("not-a-package-refused") << QSize() << "not-a-zip" << 128 << QSize() << "";
    QTest::newRow("huge-picture") << QSize(9000, 6000) << "none" << 512 << QSize(512, 341) << "picture";
    QTest::newRow("huge-picture-small-size") << QSize(9000, 6000) << "none" << 256 << QSize(256, 192) << "thumbnail";
    QTest::newRow("declared-10-gigapixels-refused") << QSize() << "huge-declared" << 256 << QSize() << "";
}

void tst_CliSafety::thumbnails()
{
    QFETCH(QSize, pictureSize);
    QFETCH(QString, damage);
    QFETCH(int, size);
    QFETCH(QSize, expected);
    QFETCH(QString, source);
    const QString package = pathOf("p.pmk");
    if (damage == QLatin1String("not-a-zip")) {
        QVERIFY(writeFile(package, "not a package"));
    } else if (damage == QLatin1String("huge-declared")) {
        QVERIFY(writeArchive(package, packagefixtures::package(propertiesText(), effectText(75),
                                                               "images/main/image.png",
                                                               pngDeclaring(100000, 100000))));
    } else {
        QVERIFY(savePackage(package, halvesPicture(pictureSize.width(), pictureSize.height())));
        if (damage == QLatin1String("thumbnail-member")) {
            QVERIFY(patchMember(package, "images/thumbnail/large.jpg", Damage::WrongCrc));
        } else if (damage == QLatin1String("picture-crc")) {
            QVERIFY(patchMember(package, "images/main/image.png", Damage::WrongCrc));
        }
    }

    const QString out = pathOf("thumbnail.png");
    const Run run = runCli({"thumbnail", package, out, "--size", QString::number(size)}, m_folder->path());
    if (!expected.isValid()) {
        QVERIFY2(run.status == 1, qPrintable(describe(run)));
        QVERIFY2(run.err.contains("refused: "), qPrintable(describe(run)));
        QVERIFY(!QFile::exists(out));
        return;
    }
    QVERIFY2(run.status == 0, qPrintable(describe(run)));
    QVERIFY(contentOf(out).startsWith("\x89PNG"));
    const QImage thumbnail(out);
    QCOMPARE(thumbnail.size(), expected);
    // The picture's halves: red on the left, blue on the right; the thumbnail member has white
    // bars where the aspect ratios differ, the picture none.
    const int middle = thumbnail.height() / 2;
    const QColor left = thumbnail.pixelColor(thumbnail.width() / 2 - 4, middle);
    const QColor right = thumbnail.pixelColor(thumbnail.width() / 2 + 4, middle);
    QVERIFY2(left.red() > 200 && left.blue() < 60, qPrintable(left.name()));
    QVERIFY2(right.blue() > 200 && right.red() < 60, qPrintable(right.name()));
    const QColor corner = thumbnail.pixelColor(0, 0);
    const bool letterBoxed = pictureSize.width() * 3 != pictureSize.height() * 4;
    if (source == QLatin1String("thumbnail") && letterBoxed) {
        QVERIFY2(corner == QColor(Qt::white) || corner.lightness() > 240, qPrintable(corner.name()));
    } else {
        QVERIFY2(corner.red() > 200 && corner.green() < 60, qPrintable(corner.name()));
    }
}

// A thumbnail service makes the output file, keeps it open and reads the PNG through that
// descriptor: the PNG must land in that very file, without --force. A file with content is
// still kept.
void tst_CliSafety::thumbnailFillsTheEmptyFileAServiceMade()
{
    QVERIFY(savePackage(pathOf("mask.pmk"), halvesPicture(400, 300)));
    QVERIFY(writeFile(pathOf("made-by-the-service.png"), QByteArray()));
    QFile held(pathOf("made-by-the-service.png"));
    QVERIFY(held.open(QIODevice::ReadOnly));
    const Run run = runCli({"thumbnail", "mask.pmk", "made-by-the-service.png", "--size", "128"}, m_folder->path());
    QVERIFY2(run.status == 0, qPrintable(describe(run)));
    const QImage thumbnail = QImage::fromData(held.readAll(), "PNG");
    QCOMPARE(thumbnail.size(), QSize(128, 96));

    QVERIFY(writeFile(pathOf("kept.png"), "not empty"));
    const Run refused = runCli({"thumbnail", "mask.pmk", "kept.png"}, m_folder->path());
    QCOMPARE(refused.status, 1);
    QCOMPARE(contentOf(pathOf("kept.png")), QByteArray("not empty"));

    // A write that fails half way leaves the file empty again, not half a PNG.
    QVERIFY(writeFile(pathOf("small-limit.png"), QByteArray()));
    const Run limited = runShell(QStringLiteral("trap '' XFSZ; ulimit -f 1; exec \"$0\" thumbnail mask.pmk "
                                                "small-limit.png --size 300"),
                                 m_folder->path());
    QVERIFY2(limited.status == 1, qPrintable(describe(limited)));
    QCOMPARE(contentOf(pathOf("small-limit.png")), QByteArray());

    // An empty file with a second name is not written through both: --force replaces this name.
    QVERIFY(writeFile(pathOf("linked.png"), QByteArray()));
    QVERIFY(::link(QFile::encodeName(pathOf("linked.png")).constData(),
                   QFile::encodeName(pathOf("other-name.png")).constData()) == 0);
    const Run linked = runCli({"thumbnail", "--force", "mask.pmk", "linked.png"}, m_folder->path());
    QVERIFY2(linked.status == 0, qPrintable(describe(linked)));
    QVERIFY(!contentOf(pathOf("linked.png")).isEmpty());
    QCOMPARE(contentOf(pathOf("other-name.png")), QByteArray());
}

void tst_CliSafety::makeNamesAndCountsItsPackages()
{
    QVERIFY(QFile::copy(testimages::testPicture("chelsea.png"), pathOf("cat.png")));
    QVERIFY(QDir().mkdir(pathOf("out.d")));
    const Run run = runCli({"make", "cat.png", "-o", "out.d/noext"}, m_folder->path());
    QVERIFY2(run.status == 0, qPrintable(describe(run)));
    QCOMPARE(linesOf(run.err).last(),
             QStringLiteral("1 package written, 1 of them from a template (no face found), 0 failed"));
    QVERIFY(QFile::exists(pathOf("out.d/noext.pmk")));
    QVERIFY(!QFile::exists(pathOf("out.d/noext")));
}

// A drop box: a folder one may write in but not list. The package is written and reported so;
// only the flush of the folder's entry, which needs the folder opened, is left out.
void tst_CliSafety::makeWritesIntoAFolderItCannotList()
{
    QVERIFY(QFile::copy(testimages::testPicture("chelsea.png"), pathOf("cat.png")));
    QVERIFY(QDir().mkdir(pathOf("drop")));
    QVERIFY(::chmod(QFile::encodeName(m_folder->path()).constData(), 0755) == 0);
    QVERIFY(::chmod(QFile::encodeName(pathOf("cat.png")).constData(), 0644) == 0);
    QVERIFY(::chmod(QFile::encodeName(pathOf("drop")).constData(), 0333) == 0);
    // Root may list any folder: the command then runs as nobody.
    const QString as = ::geteuid() == 0 ? QStringLiteral("setpriv --reuid=65534 --regid=65534 --clear-groups ") : QString();
    if (!as.isEmpty() && QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty()) {
        QSKIP("running as root without setpriv (util-linux) to run the command as another user");
    }
    const Run run = runShell(QStringLiteral("exec %1\"$0\" make cat.png -o drop/cat.pmk").arg(as), m_folder->path());
    QVERIFY(::chmod(QFile::encodeName(pathOf("drop")).constData(), 0755) == 0);
    QVERIFY2(run.status == 0, qPrintable(describe(run)));
    QCOMPARE(QDir(pathOf("drop")).entryList(QDir::Files), QStringList{QStringLiteral("cat.pmk")});
    core::FaceMaskProject project;
    QVERIFY(project.load(pathOf("drop/cat.pmk")));
}

// A JPEG cut short decodes with its missing part grey: read as the window reads it, with a
// warning that names the file.
void tst_CliSafety::jpegCutShortIsReadWithAWarning()
{
    const QByteArray whole = contentOf(testimages::testPicture("Tom_Cruise_avp_2014_4.jpg"));
    QVERIFY(writeFile(pathOf("cut.jpg"), whole.left(whole.size() / 2)));
    const QString warning = QStringLiteral("the file ends before its picture does (cut short?): the missing part is grey");
    const Run detect = runCli({"detect", "cut.jpg"}, m_folder->path());
    QVERIFY2(detect.status == 0, qPrintable(describe(detect)));
    QVERIFY2(detect.err.contains(("facemask-cli detect: cut.jpg: warning: " + warning).toUtf8()), qPrintable(describe(detect)));
    QVERIFY(detect.out.startsWith("cut.jpg\t"));
    const Run make = runCli({"make", "cut.jpg", "-o", "cut.pmk"}, m_folder->path());
    QVERIFY2(make.status == 0, qPrintable(describe(make)));
    QVERIFY2(make.err.contains(", but " + warning.toUtf8()), qPrintable(describe(make)));
    QVERIFY(QFile::exists(pathOf("cut.pmk")));
    // On a terminal, where a bar stands for the lines of packages made, the warning still shows.
    if (!QStandardPaths::findExecutable(QStringLiteral("script")).isEmpty()) {
        QVERIFY(writeFile(pathOf("whole.jpg"), whole));
        // script hands its command to a shell of its own: the program's path goes quoted there.
        const Run bar = runShell(QStringLiteral("export FACEMASK_CLI=\"$0\"; exec script -qec "
                                                "'\"$FACEMASK_CLI\" make --force --out-dir . cut.jpg whole.jpg' /dev/null"),
                                 m_folder->path());
        QVERIFY2(bar.status == 0, qPrintable(describe(bar)));
        QVERIFY2(bar.out.contains("cut.jpg -> ./cut.pmk") && bar.out.contains(", but " + warning.toUtf8()),
                 qPrintable(describe(bar)));
        QVERIFY2(!bar.out.contains("whole.jpg -> "), qPrintable(describe(bar)));
    }
    // A whole file says nothing of the kind.
    QVERIFY(writeFile(pathOf("whole.jpg"), whole));
    const Run clean = runCli({"detect", "whole.jpg"}, m_folder->path());
    QVERIFY2(clean.status == 0 && !clean.err.contains("warning"), qPrintable(describe(clean)));
}

void tst_CliSafety::decoderMessagesNameTheirFile_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("onATerminal");  // where make draws its bar
    QTest::newRow("detect") << QStringList{"detect", "a.jpg", "b.jpg", "whole.jpg"} << false;
    QTest::newRow("make-on-two-threads") << QStringList{"make", "-j2", "--out-dir", ".", "a.jpg", "b.jpg", "whole.jpg"}
                                         << false;
    QTest::newRow("make-on-a-terminal") << QStringList{"make", "-j2", "--out-dir", ".", "a.jpg", "b.jpg", "whole.jpg"}
                                        << true;
}

// The JPEG decoder's own complaints come through Qt's messages, from whichever thread decodes.
void tst_CliSafety::decoderMessagesNameTheirFile()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, onATerminal);
    if (onATerminal && QStandardPaths::findExecutable(QStringLiteral("script")).isEmpty()) {
        QSKIP("script (util-linux) is needed to run the program on a terminal");
    }
    const QByteArray whole = contentOf(testimages::testPicture("Tom_Cruise_avp_2014_4.jpg"));
    const int scan = whole.indexOf("\xff\xda");
    QVERIFY(scan > 0);
    // Stray bytes before the scan's marker: the picture decodes whole, and the decoder says so.
    QVERIFY(writeFile(pathOf("a.jpg"), whole.left(scan) + QByteArray(3, '\0') + whole.mid(scan)));
    QVERIFY(writeFile(pathOf("b.jpg"), whole.left(scan) + QByteArray(5, '\0') + whole.mid(scan)));
    QVERIFY(writeFile(pathOf("whole.jpg"), whole));
    const Run run = onATerminal ? runOnATerminal(QStringLiteral(FACEMASK_CLI_PROGRAM), arguments, m_folder->path())
                                : runCli(arguments, m_folder->path());
    QVERIFY2(run.status == 0, qPrintable(describe(run)));
    // On a terminal each is a line of its own above the bar, not one written on after it.
    const QList<QByteArray> lines = onATerminal ? linesShown(run.out) : run.err.split('\n');
    QCOMPARE(lines.count("facemask-cli: a.jpg: Corrupt JPEG data: 3 extraneous bytes before marker 0xda"), 1);
    QCOMPARE(lines.count("facemask-cli: b.jpg: Corrupt JPEG data: 5 extraneous bytes before marker 0xda"), 1);
    QVERIFY2(!(onATerminal ? run.out : run.err).contains("whole.jpg:"), qPrintable(describe(run)));
}

void tst_CliSafety::pointsPrintsTheColumnsOfDetect()
{
    const QString picture = testimages::testPicture("Tom_Cruise_avp_2014_4.jpg");
    const Run made = runCli({"make", picture, "-o", "face.pmk"}, m_folder->path());
    QVERIFY2(made.status == 0, qPrintable(describe(made)));
    const Run detect = runCli({"detect", picture}, m_folder->path());
    const Run points = runCli({"points", "face.pmk"}, m_folder->path());
    QVERIFY2(detect.status == 0, qPrintable(describe(detect)));
    QVERIFY2(points.status == 0, qPrintable(describe(points)));
    const QStringList detected = QString::fromUtf8(detect.out).trimmed().split('\t');
    const QStringList read = QString::fromUtf8(points.out).trimmed().split('\t');
    QCOMPARE(read.size(), detected.size());
    QCOMPARE(read.at(1), detected.at(1));  // one face
    QCOMPARE(read.at(2), detected.at(2));  // the same text for the same points
    // Every coordinate with 17 significant digits, so that none prints shorter than another.
    const QStringList pairs = read.at(2).split(' ');
    QCOMPARE(pairs.size(), 75);
    for (const QString& pair : pairs) {
        for (const QString& coordinate : pair.split(',')) {
            QString digits = coordinate.section('e', 0, 0).remove('.');
            while (digits.startsWith('0') && digits.size() > 17) {
                digits.remove(0, 1);
            }
            QVERIFY2(QRegularExpression("^\\d{17}$").match(digits).hasMatch(), qPrintable(coordinate));
        }
    }

    // The 68 landmarks in the formats of other tools: the same from the picture and the package.
    const Run detectPts = runCli({"detect", "--format", "pts", picture}, m_folder->path());
    const Run pointsPts = runCli({"points", "--format", "pts", "face.pmk"}, m_folder->path());
    QVERIFY2(detectPts.status == 0, qPrintable(describe(detectPts)));
    QVERIFY(detectPts.out.startsWith("version: 1\nn_points: 68\n{\n"));
    QCOMPARE(pointsPts.out, detectPts.out);
    const Run xml = runCli({"detect", "--format", "dlib-xml", picture}, m_folder->path());
    QVERIFY2(xml.status == 0 && xml.out.count("<part name=") == 68, qPrintable(describe(xml)));
    QVERIFY(xml.out.contains("<image file='" + picture.toUtf8() + "'>"));
    const Run two = runCli({"detect", "--format", "pts", picture, picture}, m_folder->path());
    QVERIFY2(two.status == 2 && two.out.isEmpty(), qPrintable(describe(two)));
    const Run clash = runCli({"points", "--json", "--format", "pts", "face.pmk"}, m_folder->path());
    QVERIFY2(clash.status == 2 && clash.out.isEmpty(), qPrintable(describe(clash)));
}

void tst_CliSafety::pointsNamesAPackageItCannotWrite_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("package");
    QTest::newRow("pts") << "pts" << "far.pmk";
    QTest::newRow("dlib-xml") << "dlib-xml" << "far.pmk";
    QTest::newRow("a name with a percent sign") << "pts" << "50%4.pmk";
}

// A hand-edited package can hold a point no pixel number can say: the command says which.
void tst_CliSafety::pointsNamesAPackageItCannotWrite()
{
    QFETCH(QString, format);
    QFETCH(QString, package);
    core::ProjectSnapshot snapshot = core::FaceMaskProject().snapshot();
    snapshot.picture = halvesPicture(400, 300);
    snapshot.points.assign(75, FacialPoint(0.5, 0.5));
    snapshot.points[3] = FacialPoint(1e7, 0.5);
    QVERIFY(core::savePackage(snapshot, pathOf(package)));
    const Run run = runCli({"points", "--format", format, package}, m_folder->path());
    QVERIFY2(run.status == 1 && run.out.isEmpty(), qPrintable(describe(run)));
    QVERIFY2(run.err.contains(package.toUtf8() + ": point 3 lies too far outside the picture"),
             qPrintable(describe(run)));
}

void tst_CliSafety::detectFormatSaysWhenNoFaceWasFound_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("picture");  // a test picture, or "" for a grey one
    QTest::addColumn<bool>("face");
    QTest::newRow("pts, a face") << "pts" << "Tom_Cruise_avp_2014_4.jpg" << true;
    QTest::newRow("pts, no face") << "pts" << "" << false;
    QTest::newRow("dlib-xml, no face") << "dlib-xml" << "" << false;
}

// The points written for a picture without a face are spread over it, a file like any other:
// stderr says so, as make does for a template.
void tst_CliSafety::detectFormatSaysWhenNoFaceWasFound()
{
    QFETCH(QString, format);
    QFETCH(QString, picture);
    QFETCH(bool, face);
    const QString input = pathOf("face.png");
    if (picture.isEmpty()) {
        QVERIFY(testimages::filled(320, 240, Qt::gray).save(input, "PNG"));
    } else {
        QVERIFY(QFile::copy(testimages::testPicture(picture.toUtf8().constData()), input));
    }
    const Run run = runCli({"detect", "--format", format, "face.png"}, m_folder->path());
    QVERIFY2(run.status == 0 && run.out.count('\n') >= 68, qPrintable(describe(run)));
    QCOMPARE(run.err.contains("face.png: warning: no face found"), !face);
}

void tst_CliSafety::previewGivesTheLoadersReason()
{
    QVERIFY(writeArchive(pathOf("short.pmk"), packagefixtures::package(propertiesText(), effectText(68))));
    const Run run = runCli({"preview", "short.pmk", testimages::testPicture("astronaut.png"), "-o", "out.png"},
                           m_folder->path());
    QVERIFY2(run.status == 1, qPrintable(describe(run)));
    QVERIFY2(run.err.contains("short.pmk: refused: properties.json: mask_pivots has 68 elements, at least 75 needed"),
             qPrintable(describe(run)));
    QVERIFY(!QFile::exists(pathOf("out.png")));
}


void tst_CliSafety::largePicturesWaitForMemory_data()
{
    QTest::addColumn<QString>("command");
    QTest::newRow("make") << QStringLiteral("make --out-dir out");
    QTest::newRow("detect") << QStringLiteral("detect");
    QTest::newRow("detect-json") << QStringLiteral("detect --json");
}

// Two 25-megapixel pictures under an address-space limit (ulimit -v) that holds the work of one
// but not of both at once: the second waits for the first instead of running out of memory.
void tst_CliSafety::largePicturesWaitForMemory()
{
    QFETCH(QString, command);
    if (QThread::idealThreadCount() < 2) {
        QSKIP("with one core the pictures are worked on one after the other anyway");
    }
    const QImage face(testimages::testPicture("astronaut.png"));
    QVERIFY(!face.isNull());
    const QImage large = face.scaled(5000, 5000, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QVERIFY(large.save(pathOf("large1.jpg"), "JPEG", 90));
    QVERIFY(QFile::copy(pathOf("large1.jpg"), pathOf("large2.jpg")));

    // glibc gives each thread that allocates a heap of its own, reserving 64 MiB of address space
    // for it while there is room: the room left would shrink with every core. One heap for all.
    const auto runWithin = [this](qint64 kib, const QString& arguments) {
        return runShell(QStringLiteral("ulimit -v %1; MALLOC_ARENA_MAX=1 exec \"$0\" %2").arg(kib).arg(arguments),
                        m_folder->path());
    };
    // What detecting a small picture takes on this machine, to 8 MiB: the program, its libraries,
    // the model and its threads (a pool thread a core, each with its stack).
    static qint64 smallKib = 0;
    if (smallKib == 0) {
        QVERIFY(QFile::copy(testimages::testPicture("astronaut.png"), pathOf("small.png")));
        smallKib = leastSucceedingLimit(
            [&](long long kib) { return runWithin(kib, QStringLiteral("detect small.png")).status == 0; },
            128 * 1024, qint64(16) << 20, 8 * 1024);
        QVERIFY2(smallKib > 0, "no limit lets even a small picture be detected");
    }
    // Measured beyond that: one of them alone needs about 440 MiB more, both at once over 960.
    const Run run = runWithin(smallKib + 700 * 1024, command + QStringLiteral(" large1.jpg large2.jpg"));
    QVERIFY2(run.status == 0, qPrintable(describe(run)));
    QVERIFY2(!run.err.contains("out of memory"), qPrintable(describe(run)));
}

// A write past `ulimit -f` fails as a full disk does: the command says so, and neither the
// target nor a partial file is left.
void tst_CliSafety::writesPastTheFileSizeLimitFail_data()
{
    QTest::addColumn<QStringList>("arguments"); // in the test's folder: mask.pmk, face.png
    QTest::addColumn<QString>("target");

    QTest::newRow("make") << QStringList{"make", "face.png", "-o", "out.pmk"} << "out.pmk";
    QTest::newRow("thumbnail") << QStringList{"thumbnail", "mask.pmk", "out.png", "--size", "1000"} << "out.png";
    QTest::newRow("preview") << QStringList{"preview", "mask.pmk", "face.png", "-o", "out.png"} << "out.png";
}

void tst_CliSafety::writesPastTheFileSizeLimitFail()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, target);
    const QImage face = core::readImageFile(testimages::testPicture("astronaut.png"));
    QVERIFY(savePackage(pathOf("mask.pmk"), face));
    QVERIFY(QFile::copy(testimages::testPicture("astronaut.png"), pathOf("face.png")));
    const QStringList inputs = QDir(m_folder->path()).entryList(QDir::Files);

    SizeLimitedProcess process(64 * 1024);
    process.setWorkingDirectory(m_folder->path());
    process.start(QStringLiteral(FACEMASK_CLI_PROGRAM), arguments);
    QVERIFY(process.waitForFinished(processTimeoutMs));
    const QByteArray err = process.readAllStandardError();
    QVERIFY2(process.exitStatus() == QProcess::NormalExit,
             qPrintable(QStringLiteral("ended by signal %1").arg(process.exitCode())));
    QCOMPARE(process.exitCode(), 1);
    QVERIFY2(err.contains("cannot write " + target.toUtf8() + ": File too large"), err.constData());
    QCOMPARE(QDir(m_folder->path()).entryList(QDir::Files), inputs);
}

// A disk that fails a call (a bad stick, a share gone away; the preloaded shim makes the Nth call
// on the output fail) fails the command with the system's reason, keeps the earlier file and
// leaves nothing beside it; a signal or a short transfer only slows the write down.
void tst_CliSafety::failingDiskIsTold_data()
{
    QTest::addColumn<QStringList>("arguments"); // in the test's folder: mask.pmk, face.png, out.*
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("fault");         // CALL:N:WHAT on a file whose name holds "out."
    QTest::addColumn<QString>("reason");        // empty: the command succeeds

    const QStringList make{"make", "face.png", "-o", "out.pmk", "--force"};
    const QStringList thumbnail{"thumbnail", "mask.pmk", "out.png", "--force"};
    QTest::newRow("make, write EIO") << make << "out.pmk" << "write:1:EIO" << "Input/output error";
    QTest::newRow("make, flush EIO") << make << "out.pmk" << "fsync:1:EIO" << "Input/output error";
    QTest::newRow("make, rename EXDEV") << make << "out.pmk" << "rename:1:EXDEV" << "Invalid cross-device link";
    QTest::newRow("make, last rename EACCES") << make << "out.pmk" << "rename:2:EACCES" << "Permission denied";
    QTest::newRow("make, folder gone") << make << "out.pmk" << "rename:2:ENOENT" << "No such file or directory";
    QTest::newRow("make, write EINTR") << make << "out.pmk" << "write:3:EINTR" << "";
    QTest::newRow("make, short writes") << make << "out.pmk" << "write:1+:short" << "";
    QTest::newRow("thumbnail, close EIO") << thumbnail << "out.png" << "close:2:EIO" << "Input/output error";
    QTest::newRow("thumbnail, rename EXDEV") << thumbnail << "out.png" << "rename:1:EXDEV" << "Invalid cross-device link";
    QTest::newRow("thumbnail, write EINTR") << thumbnail << "out.png" << "write:1:EINTR" << "";
    // A stick's file system refuses a name with : * ? " < > | (ENOENT through FUSE, EINVAL in the kernel).
    QTest::newRow("make, name refused") << make << "out.pmk" << "open:1:ENOENT"
                                        << "the drive refuses the name \"out.pmk\"";
    QTest::newRow("thumbnail, name refused") << thumbnail << "out.png" << "open:1:EINVAL"
                                             << "the drive refuses the name \"out.png\"";
}

void tst_CliSafety::failingDiskIsTold()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, target);
    QFETCH(QString, fault);
    QFETCH(QString, reason);
    QVERIFY(savePackage(pathOf("mask.pmk"), halvesPicture(400, 300)));
    QVERIFY(QFile::copy(testimages::testPicture("astronaut.png"), pathOf("face.png")));
    const QByteArray earlier("the earlier file\n");
    QVERIFY(writeFile(pathOf(target), earlier));
    const QStringList files = QDir(m_folder->path()).entryList(QDir::Files | QDir::Hidden);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(FAULT_SHIM_PRELOAD));
    const QStringList parts = fault.split(QLatin1Char(':'));
    environment.insert(QStringLiteral("FACEMASK_FAULT"),
                       QStringList{parts[0], QStringLiteral("out."), parts[1], parts[2]}.join(QLatin1Char(':')));
    const Run run = runProgram(QStringLiteral(FACEMASK_CLI_PROGRAM), arguments, m_folder->path(), QString(),
                               processTimeoutMs, environment);
    QCOMPARE(QDir(m_folder->path()).entryList(QDir::Files | QDir::Hidden), files);
    if (!reason.isEmpty()) {
        QVERIFY2(run.status == 1, qPrintable(describe(run)));
        QVERIFY2(run.err.contains("cannot write " + target.toUtf8() + ": " + reason.toUtf8()), qPrintable(describe(run)));
        QCOMPARE(contentOf(pathOf(target)), earlier);
    } else if (target.endsWith(QLatin1String(".pmk"))) {
        QVERIFY2(run.status == 0, qPrintable(describe(run)));
        QVERIFY(core::readPackage(pathOf(target)).result.ok);
    } else {
        QVERIFY2(run.status == 0, qPrintable(describe(run)));
        QVERIFY(!QImage(pathOf(target)).isNull());
    }
}

// A USB stick (exFAT or FAT through FUSE) has neither RENAME_NOREPLACE nor hard links: a new
// file is still written without --force, an existing one still kept, and a failed move leaves
// nothing behind.
void tst_CliSafety::stickWithoutLinks_data()
{
    QTest::addColumn<QStringList>("arguments"); // in the test's folder: mask.pmk, face.png
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("existing");         // the target holds an earlier file
    QTest::addColumn<QString>("fault");         // FACEMASK_FAULT; names holding "out." have no links
    QTest::addColumn<QString>("message");       // a piece of stderr when the command fails; empty: it succeeds

    const QStringList make{"make", "face.png", "-o", "out.pmk"};
    const QStringList thumbnail{"thumbnail", "mask.pmk", "out.png"};
    QTest::newRow("make, new") << make << "out.pmk" << false << "" << "";
    QTest::newRow("thumbnail, new") << thumbnail << "out.png" << false << "" << "";
    QTest::newRow("make, existing kept") << make << "out.pmk" << true << "" << "out.pmk exists (--force replaces it)";
    QTest::newRow("thumbnail, existing kept") << thumbnail << "out.png" << true << ""
                                              << "out.png exists (--force replaces it)";
    // The first rename is the save's own, inside the command's temporary file.
    QTest::newRow("make, move fails") << make << "out.pmk" << false << "rename:out.:2:EIO"
                                      << "cannot write out.pmk: Input/output error";
}

void tst_CliSafety::stickWithoutLinks()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, target);
    QFETCH(bool, existing);
    QFETCH(QString, fault);
    QFETCH(QString, message);
    QVERIFY(savePackage(pathOf("mask.pmk"), halvesPicture(400, 300)));
    QVERIFY(QFile::copy(testimages::testPicture("astronaut.png"), pathOf("face.png")));
    const QByteArray earlier("the earlier file\n");
    if (existing) {
        QVERIFY(writeFile(pathOf(target), earlier));
    }
    const QStringList files = QDir(m_folder->path()).entryList(QDir::Files | QDir::Hidden);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(FAULT_SHIM_PRELOAD));
    environment.insert(QStringLiteral("FACEMASK_NO_LINKS"), QStringLiteral("out."));
    if (!fault.isEmpty()) {
        environment.insert(QStringLiteral("FACEMASK_FAULT"), fault);
    }
    const Run run = runProgram(QStringLiteral(FACEMASK_CLI_PROGRAM), arguments, m_folder->path(), QString(),
                               processTimeoutMs, environment);
    if (!message.isEmpty()) {
        QVERIFY2(run.status == 1 && run.err.contains(message.toUtf8()), qPrintable(describe(run)));
        QCOMPARE(QDir(m_folder->path()).entryList(QDir::Files | QDir::Hidden), files);
        if (existing) {
            QCOMPARE(contentOf(pathOf(target)), earlier);
        }
        return;
    }
    QVERIFY2(run.status == 0, qPrintable(describe(run)));
    QStringList expected = files;
    expected << target;
    expected.sort();
    QCOMPARE(QDir(m_folder->path()).entryList(QDir::Files | QDir::Hidden), expected);
    if (target.endsWith(QLatin1String(".pmk"))) {
        QVERIFY(core::readPackage(pathOf(target)).result.ok);
    } else {
        QVERIFY(!QImage(pathOf(target)).isNull());
    }
}

// On a stick, Face.pmk and face.pmk are one file, which FUSE shows under a different inode number
// for each name: the package of one picture of a batch must not replace another's.
void tst_CliSafety::stickIgnoringCaseKeepsEachPackage()
{
    const ExfatStick stick(m_folder->path());
    if (!stick.isMounted()) {
        QSKIP("an exFAT stick cannot be mounted here (needs root, a loop device, mkfs.exfat and mount.exfat-fuse)");
    }
    QVERIFY(QDir().mkpath(pathOf("one")) && QDir().mkpath(pathOf("two")));
    QVERIFY(QFile::copy(testimages::testPicture("astronaut.png"), pathOf("one/Face.png")));
    QVERIFY(QFile::copy(testimages::testPicture("Tom_Cruise_avp_2014_4.jpg"), pathOf("two/face.jpg")));

    const Run run = runCli({"make", "--force", "-j1", "--out-dir", stick.path(), "one/Face.png", "two/face.jpg"},
                           m_folder->path());
    QVERIFY2(run.status == 1, qPrintable(describe(run)));
    QVERIFY2(run.err.contains("face.pmk is a file this command has written already"), qPrintable(describe(run)));
    QCOMPARE(QDir(stick.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("Face.pmk")});
    const Run info = runCli({"info", stick.path() + "/Face.pmk"}, m_folder->path());
    QVERIFY2(info.status == 0 && info.out.contains("name: Face\n"), qPrintable(describe(info)));
}

// On a stick the package's name is taken by an empty file before the finished package is moved
// over it; a command interrupted while the move is held up takes that file away again, or the
// next run would find an empty package "exists".
void tst_CliSafety::interruptedMoveOnAStickLeavesNoFile()
{
    QVERIFY(QFile::copy(testimages::testPicture("astronaut.png"), pathOf("face.png")));
    const QString marker = pathOf("held");
    QVERIFY(writeFile(marker, QByteArray()));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(FAULT_SHIM_PRELOAD));
    environment.insert(QStringLiteral("FACEMASK_NO_LINKS"), QStringLiteral("out."));
    environment.insert(QStringLiteral("FACEMASK_STALL_RENAME"), QStringLiteral("/out.pmk:") + marker);
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(m_folder->path());
    process.start(QStringLiteral(FACEMASK_CLI_PROGRAM), {"make", "face.png", "-o", pathOf("out.pmk")});
    QVERIFY(process.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(pathOf("out.pmk")) || process.state() == QProcess::NotRunning, 60000);
    QVERIFY2(process.state() == QProcess::Running, process.readAllStandardError().constData());
    ::kill(pid_t(process.processId()), SIGINT);
    const bool ended = process.waitForFinished(60000);
    QFile::remove(marker);
    QVERIFY(ended || process.waitForFinished(60000));
    QCOMPARE(process.exitStatus(), QProcess::CrashExit);
    QCOMPARE(QDir(m_folder->path()).entryList(QDir::Files | QDir::Hidden), QStringList{"face.png"});
}

// A package whose disk fails while it is read is not called damaged: the user would throw a good
// package away. The reads of the package, in order: 1 the end search, 3 on the directory, 25
// the data of effect.json.
void tst_CliSafety::failingPackageReadIsTold_data()
{
    QTest::addColumn<QStringList>("arguments"); // in the test's folder: mask.pmk
    QTest::addColumn<QString>("fault");         // CALL:N:WHAT on mask.pmk
    QTest::addColumn<QString>("reason");        // empty: the command succeeds

    const QStringList info{"info", "mask.pmk"};
    const QString unreadable = QStringLiteral("cannot read mask.pmk: Input/output error");
    QTest::newRow("info, end search EIO") << info << "pread:1:EIO" << unreadable;
    QTest::newRow("info, directory EIO") << info << "pread:3+:EIO" << unreadable;
    QTest::newRow("info, member EIO") << info << "pread:25:EIO" << unreadable;
    QTest::newRow("info, read EINTR") << info << "pread:1:EINTR" << "";
    QTest::newRow("info --json, every read EIO") << QStringList{"info", "--json", "mask.pmk"} << "pread:1+:EIO"
                                                 << unreadable;
    QTest::newRow("points, member EIO") << QStringList{"points", "mask.pmk"} << "pread:25+:EIO" << unreadable;
    QTest::newRow("thumbnail, every read EIO") << QStringList{"thumbnail", "mask.pmk", "out.png"} << "pread:1+:EIO"
                                               << unreadable;
    QTest::newRow("info, open EIO") << info << "open:1:EIO" << "cannot be opened: Input/output error";
    QTest::newRow("info, open EINTR") << info << "open:1:EINTR" << "";
}

void tst_CliSafety::failingPackageReadIsTold()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, fault);
    QFETCH(QString, reason);
    QVERIFY(savePackage(pathOf("mask.pmk"), halvesPicture(400, 300)));

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(FAULT_SHIM_PRELOAD));
    const QStringList parts = fault.split(QLatin1Char(':'));
    environment.insert(QStringLiteral("FACEMASK_FAULT"),
                       QStringList{parts[0], QStringLiteral("mask.pmk"), parts[1], parts[2]}.join(QLatin1Char(':')));
    const Run run = runProgram(QStringLiteral(FACEMASK_CLI_PROGRAM), arguments, m_folder->path(), QString(),
                               processTimeoutMs, environment);
    if (reason.isEmpty()) {
        QVERIFY2(run.status == 0, qPrintable(describe(run)));
        QVERIFY2(run.out.contains("name: Ring"), qPrintable(describe(run)));
    } else {
        QVERIFY2(run.status == 1, qPrintable(describe(run)));
        QVERIFY2((run.out + run.err).contains(reason.toUtf8()), qPrintable(describe(run)));
        QVERIFY(!QFile::exists(pathOf("out.png")));
    }
}

// At the limit of processes (`ulimit -u`) with not one thread to spare, the command says so and
// ends, where Qt's pool waited for ever at the end on the thread it could not start.
void tst_CliSafety::noThreadToSpareIsSaid()
{
    QStringList arguments = underProcessLimit(1, QStringLiteral(FACEMASK_CLI_PROGRAM));
    if (arguments.isEmpty()) {
        QSKIP("prlimit and setpriv (util-linux) are needed to run the command under a thread limit");
    }
    // The limit binds everyone but root: root runs the command as nobody, in a folder nobody reads.
    QVERIFY(::chmod(QFile::encodeName(m_folder->path()).constData(), 0755) == 0);
    QVERIFY(QFile::copy(testimages::testPicture("astronaut.png"), pathOf("face.png")));
    arguments << QStringLiteral("detect") << QStringLiteral("face.png");
    const Run run = runProgram(arguments.takeFirst(), arguments, m_folder->path(), QString(), 60'000);
    QVERIFY2(run.status == 1, qPrintable(describe(run)));
    QVERIFY2(run.err.contains("facemask-cli: no thread can be started: "), qPrintable(describe(run)));
    QVERIFY2(run.err.contains("(the limit of processes, ulimit -u, may be reached)"), qPrintable(describe(run)));
}

QTEST_GUILESS_MAIN(tst_CliSafety)
#include "tst_clisafety.moc"
