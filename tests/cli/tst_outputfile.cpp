// cli::OutputFile: which targets a command may write, and that a refused or failed write leaves
// the target and its folder as they were.
#include "cli/outputfile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

enum class Target {
    Missing,
    Existing,
    Fifo,
    Device,
    Folder,
    Input,
    LinkChain,      // out -> b -> c, c an existing file
    DanglingLink,   // out -> b, b missing
    LinkToInput,    // out -> the input
    MissingFolder,  // missing/out
    UnderAFile,     // input/out: the parent is a regular file
    LongestName,    // a name of 255 bytes, the most a folder takes
};

const QString longestName(255, QLatin1Char('o'));

// What happens between prepare() and commit().
enum class Meanwhile { Nothing, FileAppears, FifoAppears };

const QByteArray earlierBytes("the earlier file");
const QByteArray newBytes("the new file");

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

bool isFifo(const QString& path)
{
    struct stat status {};
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISFIFO(status.st_mode);
}

} // namespace

Q_DECLARE_METATYPE(Target)
Q_DECLARE_METATYPE(Meanwhile)

class tst_OutputFile : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void targets_data();
    void targets();
    void keepsTheModeOfTheFileItReplaces();
    void twoNamesOfOneFileAreWrittenOnce_data();
    void twoNamesOfOneFileAreWrittenOnce();
    void interruptRemovesEveryTemporaryFile_data();
    void interruptRemovesEveryTemporaryFile();
};

void tst_OutputFile::initTestCase()
{
    // As the commands run: the test library's crash handler would take these signals, and the
    // clean-up leaves a signal someone else handles alone.
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        std::signal(signal, SIG_DFL);
    }
}

void tst_OutputFile::targets_data()
{
    QTest::addColumn<Target>("target");
    QTest::addColumn<bool>("replace");
    QTest::addColumn<Meanwhile>("meanwhile");
    QTest::addColumn<bool>("written");
    QTest::addColumn<QString>("failure");  // a piece of failure(); empty when written
    QTest::addColumn<QString>("writtenAt"); // the file that gets the new bytes, relative

    QTest::newRow("new-file") << Target::Missing << false << Meanwhile::Nothing << true << "" << "out";
    QTest::newRow("existing-kept") << Target::Existing << false << Meanwhile::Nothing << false
                                   << "out exists (--force replaces it)" << "";
    QTest::newRow("existing-replaced") << Target::Existing << true << Meanwhile::Nothing << true << "" << "out";
    QTest::newRow("fifo-never") << Target::Fifo << true << Meanwhile::Nothing << false
                                << "out is not a regular file" << "";
    QTest::newRow("device-never") << Target::Device << true << Meanwhile::Nothing << false
                                  << "out is not a regular file" << "";
    QTest::newRow("folder-never") << Target::Folder << true << Meanwhile::Nothing << false
                                  << "out is a folder" << "";
    QTest::newRow("own-input-never") << Target::Input << true << Meanwhile::Nothing << false
                                     << "is an input of this command" << "";
    QTest::newRow("link-to-input-never") << Target::LinkToInput << true << Meanwhile::Nothing << false
                                         << "is an input of this command" << "";
    QTest::newRow("link-chain-replaces-the-last") << Target::LinkChain << true << Meanwhile::Nothing
                                                  << true << "" << "c";
    QTest::newRow("link-chain-kept") << Target::LinkChain << false << Meanwhile::Nothing << false
                                     << "out exists" << "";
    QTest::newRow("dangling-link-kept") << Target::DanglingLink << false << Meanwhile::Nothing << false
                                        << "out exists" << "";
    QTest::newRow("dangling-link-makes-its-file") << Target::DanglingLink << true << Meanwhile::Nothing
                                                  << true << "" << "b";
    QTest::newRow("missing-folder") << Target::MissingFolder << true << Meanwhile::Nothing << false
                                    << "cannot write missing/out: No such file or directory" << "";
    QTest::newRow("parent-is-a-file") << Target::UnderAFile << true << Meanwhile::Nothing << false
                                      << "cannot write input/out: Not a directory" << "";
    QTest::newRow("file-appearing-before-the-rename-kept")
        << Target::Missing << false << Meanwhile::FileAppears << false << "out exists" << "";
    QTest::newRow("file-appearing-before-the-rename-replaced-with-force")
        << Target::Missing << true << Meanwhile::FileAppears << true << "" << "out";
    QTest::newRow("fifo-appearing-before-the-rename-never")
        << Target::Missing << true << Meanwhile::FifoAppears << false << "out is not a regular file" << "";
    QTest::newRow("longest-name") << Target::LongestName << false << Meanwhile::Nothing << true << ""
                                  << longestName;
}

void tst_OutputFile::targets()
{
    QFETCH(Target, target);
    QFETCH(bool, replace);
    QFETCH(Meanwhile, meanwhile);
    QFETCH(bool, written);
    QFETCH(QString, failure);
    QFETCH(QString, writtenAt);

    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    // Relative names, so that messages can be compared whole.
    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(folder.path()));
    auto restore = qScopeGuard([&] { QDir::setCurrent(before); });

    QVERIFY(writeFile("input", earlierBytes));
    QString out = QStringLiteral("out");
    switch (target) {
    case Target::Missing:
        break;
    case Target::Existing:
        QVERIFY(writeFile(out, earlierBytes));
        break;
    case Target::Fifo:
        QVERIFY(::mkfifo("out", 0644) == 0);
        break;
    case Target::Device:
        if (::mknod("out", S_IFCHR | 0644, makedev(1, 3)) != 0) {
            QSKIP("making a device node needs root (CAP_MKNOD)");
        }
        break;
    case Target::Folder:
        QVERIFY(QDir().mkdir(out));
        break;
    case Target::Input:
        out = QStringLiteral("input");
        break;
    case Target::LinkChain:
        QVERIFY(writeFile("c", earlierBytes));
        QVERIFY(::symlink("c", "b") == 0 && ::symlink("b", "out") == 0);
        break;
    case Target::DanglingLink:
        QVERIFY(::symlink("b", "out") == 0);
        break;
    case Target::LinkToInput:
        QVERIFY(::symlink("input", "out") == 0);
        break;
    case Target::MissingFolder:
        out = QStringLiteral("missing/out");
        break;
    case Target::UnderAFile:
        out = QStringLiteral("input/out");
        break;
    case Target::LongestName:
        out = longestName;
        break;
    }
    const QStringList namesBefore = QDir(".").entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);

    bool done = false;
    QString why;
    {
        cli::OutputFile file(out, replace, {QStringLiteral("input")});
        done = file.prepare() && file.write(newBytes);
        if (done && meanwhile == Meanwhile::FileAppears) {
            QVERIFY(writeFile(out, earlierBytes));
        } else if (done && meanwhile == Meanwhile::FifoAppears) {
            QVERIFY(::mkfifo("out", 0644) == 0);
        }
        done = done && file.commit();
        why = file.failure();
    }
    QCOMPARE(done, written);
    QVERIFY2(why.contains(failure), qPrintable(why));
    QCOMPARE(contentOf("input"), earlierBytes);

    QStringList namesAfter = QDir(".").entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    QStringList expectedNames = namesBefore;
    if (meanwhile != Meanwhile::Nothing) {
        expectedNames << "out";
    }
    if (written) {
        QCOMPARE(contentOf(writtenAt), newBytes);
        QVERIFY2(!QFileInfo(writtenAt).isSymLink(), "a link is followed, not replaced");
        if (!expectedNames.contains(writtenAt)) {
            expectedNames << writtenAt;
        }
    } else if (target == Target::Existing || target == Target::LinkChain
               || meanwhile == Meanwhile::FileAppears) {
        QCOMPARE(contentOf(target == Target::LinkChain ? "c" : "out"), earlierBytes);
    }
    if (target == Target::Fifo || meanwhile == Meanwhile::FifoAppears) {
        QVERIFY(isFifo("out"));
    }
    expectedNames.sort();
    namesAfter.sort();
    QCOMPARE(namesAfter, expectedNames);  // no temporary file left behind
}

void tst_OutputFile::twoNamesOfOneFileAreWrittenOnce_data()
{
    // Two outputs of one command, the first to "a"; the second's name, made before either runs.
    QTest::addColumn<QString>("second");
    QTest::addColumn<QString>("linkTo");       // the second name is a link to this; empty: none
    QTest::addColumn<bool>("aExistsBefore");   // a file from before the command
    QTest::addColumn<bool>("replace");
    QTest::addColumn<bool>("bothPreparedFirst"); // as two jobs of a batch running side by side
    QTest::addColumn<QString>("failure"); // the second's; empty: written

    const QString writtenAlready = QStringLiteral("is a file this command has written already");
    QTest::newRow("link-to-the-first-with-force") << "b" << "a" << false << true << false << writtenAlready;
    QTest::newRow("link-to-the-first-side-by-side") << "b" << "a" << false << true << true << writtenAlready;
    QTest::newRow("link-to-the-first-without-force")
        << "b" << "a" << false << false << true << "b exists (--force replaces it)";
    QTest::newRow("same-name-with-force") << "a" << "" << false << true << false << writtenAlready;
    QTest::newRow("same-name-side-by-side-without-force") << "a" << "" << false << false << true << writtenAlready;
    QTest::newRow("first-replaced-a-file-from-before") << "b" << "a" << true << true << false << writtenAlready;
    QTest::newRow("another-file") << "c" << "" << false << true << true << "";
}

void tst_OutputFile::twoNamesOfOneFileAreWrittenOnce()
{
    QFETCH(QString, second);
    QFETCH(QString, linkTo);
    QFETCH(bool, aExistsBefore);
    QFETCH(bool, replace);
    QFETCH(bool, bothPreparedFirst);
    QFETCH(QString, failure);
    const bool secondWritten = failure.isEmpty();

    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(folder.path()));
    auto restore = qScopeGuard([&] { QDir::setCurrent(before); });
    if (!linkTo.isEmpty()) {
        QVERIFY(::symlink(QFile::encodeName(linkTo).constData(), QFile::encodeName(second).constData()) == 0);
    }
    if (aExistsBefore) {
        QVERIFY(writeFile("a", earlierBytes));
    }

    const auto written = std::make_shared<cli::WrittenFiles>();
    cli::OutputFile first(QStringLiteral("a"), replace || aExistsBefore, QStringList());
    cli::OutputFile other(second, replace, QStringList());
    first.recordIn(written);
    other.recordIn(written);
    QVERIFY(first.prepare());
    QVERIFY(first.write(newBytes));
    bool otherDone = !bothPreparedFirst || (other.prepare() && other.write("the second file"));
    QVERIFY(first.commit());
    otherDone = otherDone && (bothPreparedFirst || (other.prepare() && other.write("the second file")));
    otherDone = otherDone && other.commit();

    QCOMPARE(otherDone, secondWritten);
    QVERIFY2(other.failure().contains(failure), qPrintable(other.failure()));
    QCOMPARE(contentOf("a"), newBytes);
    if (secondWritten) {
        QCOMPARE(contentOf(second), QByteArray("the second file"));
    }
}

void tst_OutputFile::keepsTheModeOfTheFileItReplaces()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QString path = folder.filePath("shared.png");
    QVERIFY(writeFile(path, earlierBytes));
    QVERIFY(::chmod(QFile::encodeName(path).constData(), 0664) == 0);
    cli::OutputFile file(path, true, QStringList());
    QVERIFY(file.prepare() && file.write(newBytes) && file.commit());
    struct stat status {};
    QVERIFY(::stat(QFile::encodeName(path).constData(), &status) == 0);
    QCOMPARE(status.st_mode & 07777, mode_t(0664));

    // A new file gets what the umask leaves, as any file the user makes.
    for (const auto& [mask, mode] : {std::pair<mode_t, mode_t>{022, 0644}, {077, 0600}, {002, 0664}}) {
        const mode_t previous = ::umask(mask);
        const QString fresh = folder.filePath(QStringLiteral("fresh-%1.png").arg(mask, 3, 8, QLatin1Char('0')));
        cli::OutputFile created(fresh, false, QStringList());
        const bool written = created.prepare() && created.write(newBytes) && created.commit();
        ::umask(previous);
        QVERIFY(written);
        QVERIFY(::stat(QFile::encodeName(fresh).constData(), &status) == 0);
        QCOMPARE(status.st_mode & 07777, mode);
    }
}

void tst_OutputFile::interruptRemovesEveryTemporaryFile_data()
{
    QTest::addColumn<int>("outputs");
    QTest::addColumn<int>("signal");
    // make holds two files per job: its temporary package and the writer's partial file.
    QTest::newRow("one-Ctrl+C") << 1 << int(SIGINT);
    QTest::newRow("33-jobs-terminated") << 66 << int(SIGTERM);
    QTest::newRow("100-jobs-hangup") << 200 << int(SIGHUP);
}

// Outputs prepared at once, then the process interrupted: not one temporary file is left.
void tst_OutputFile::interruptRemovesEveryTemporaryFile()
{
    QFETCH(int, outputs);
    QFETCH(int, signal);
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    std::vector<std::unique_ptr<cli::OutputFile>> files;
    for (int i = 0; i < outputs; ++i) {
        files.push_back(std::make_unique<cli::OutputFile>(folder.filePath(QStringLiteral("p%1.pmk").arg(i)),
                                                          false, QStringList()));
        QVERIFY(files.back()->prepare());
    }
    const QDir dir(folder.path());
    QCOMPARE(dir.entryList(QDir::Files | QDir::Hidden).size(), outputs);

    // The child shares the watched names; the signal ends it, after its handler has run.
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        ::raise(signal);
        ::_exit(0);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFSIGNALED(status));
    QCOMPARE(WTERMSIG(status), signal);
    const QStringList left = dir.entryList(QDir::Files | QDir::Hidden);
    QVERIFY2(left.isEmpty(), qPrintable(QStringLiteral("%1 left, e.g. %2").arg(left.size()).arg(left.value(0))));
}

QTEST_GUILESS_MAIN(tst_OutputFile)
#include "tst_outputfile.moc"
