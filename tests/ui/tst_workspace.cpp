// What the program remembers between runs, read back from the file, and the desktop's list of
// recently used files.
#include "tests/support/filesizelimit.h"
#include "tests/support/injectedfault.h"
#include "tests/support/tempworkspace.h"
#include "ui/workspace.h"
#include "core/localnames.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>
#include <QXmlStreamReader>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// href → our application's count, for every bookmark of an XBEL list.
QMap<QString, int> bookmarks(const QString& path)
{
    QMap<QString, int> found;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return found;
    }
    QXmlStreamReader xml(&file);
    QString href;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement()) {
            continue;
        }
        if (xml.name() == QLatin1String("bookmark")) {
            href = xml.attributes().value(QLatin1String("href")).toString();
            found.insert(href, 0);
        } else if (xml.name() == QLatin1String("application")
                   && xml.attributes().value(QLatin1String("name")) == QLatin1String("facemask")) {
            found.insert(href, xml.attributes().value(QLatin1String("count")).toInt());
        }
    }
    return xml.hasError() ? QMap<QString, int>() : found;
}

QString hrefOf(const QString& path)
{
    return QString::fromUtf8(QUrl::fromLocalFile(path).toEncoded());
}

} // namespace

class tst_Workspace : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void valuesSurviveANewInstance();
    void damagedFileGivesDefaults_data();
    void damagedFileGivesDefaults();
    void valuesAreKeptWhenTheDiskIsFull_data();
    void valuesAreKeptWhenTheDiskIsFull();
    void valuesAreKeptWhenTheFileCannotBeRead_data();
    void valuesAreKeptWhenTheFileCannotBeRead();
    void quickStoresOnACoarseClockAreReadBack();
    void settingsThatAreAPipeAreLeftAlone_data();
    void settingsThatAreAPipeAreLeftAlone();
    void whyNotKeptNamesWhatStopsTheSettings_data();
    void whyNotKeptNamesWhatStopsTheSettings();
    void togglesDoNotWaitForADiskThatDoesNotAnswer();
    void settingsReadsDoNotWaitForADiskThatDoesNotAnswer();
    void recentPackagesLatestFirstAtMostEight();
    void foldersThatAreGoneAreForgotten();
    void foldersThatDoNotAnswerAreNotWaitedFor();
    void recentPackagesKeepWhatAnotherWindowAdded();
    void recentPackagesOfAHugeListAreTheFirstEight();
    void recentlyUsedListKeepsOtherEntries();
    void recentlyUsedListThatIsNotXbelIsLeftAlone_data();
    void recentlyUsedListThatIsNotXbelIsLeftAlone();
    void recentlyUsedListIsKeptWhenTheDiskIsFull();
    void recentlyUsedListThatIsNoFileIsLeftAlone_data();
    void recentlyUsedListThatIsNoFileIsLeftAlone();
    void recentlyUsedLinkHoldsTheNamesBytes();
    void recentlyUsedListKeepsEntriesAddedAtOnce();

private:
    std::unique_ptr<TempWorkspace> environment;
};

void tst_Workspace::init()
{
    environment = std::make_unique<TempWorkspace>();
    QVERIFY(environment->isValid());
}

void tst_Workspace::cleanup()
{
    environment.reset();
}

void tst_Workspace::valuesSurviveANewInstance()
{
    {
        ui::Workspace workspace;
        QVERIFY2(workspace.file().startsWith(QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME"))),
                 qPrintable(workspace.file()));
        workspace.setGeometry(QStringLiteral("main"), QByteArray("\x01\x02\x00\xff", 4));
        workspace.setToggle(QStringLiteral("keepAspectRatio"), false);
        workspace.setPreviewToggle(QStringLiteral("steady"), false);
        workspace.setFolderOf(QStringLiteral("picture"), QDir::tempPath() + QStringLiteral("/x.png"));
        workspace.setEffectType(2);
        workspace.setAuthor(QStringLiteral("Ada, with = and ; in the name"));
    }
    ui::Workspace again;
    QCOMPARE(again.geometry(QStringLiteral("main")), QByteArray("\x01\x02\x00\xff", 4));
    QCOMPARE(again.toggle(QStringLiteral("keepAspectRatio"), true), false);
    QCOMPARE(again.toggle(QStringLiteral("showNumbers"), true), true);
    QCOMPARE(again.previewToggle(QStringLiteral("steady"), true), false);
    QCOMPARE(again.toggle(QStringLiteral("steady"), true), true);
    QCOMPARE(again.folder(QStringLiteral("picture")), QDir::tempPath());
    QCOMPARE(again.effectType(0), 2);
    QCOMPARE(again.author(QString()), QStringLiteral("Ada, with = and ; in the name"));
}

void tst_Workspace::valuesAreKeptWhenTheDiskIsFull_data()
{
    // How much of the new file can be written: a share of its length, less some bytes.
    QTest::addColumn<int>("writableShare"); // percent
    QTest::addColumn<int>("lessBytes");
    QTest::newRow("nothing-written") << 0 << 0;
    QTest::newRow("cut-halfway") << 50 << 0;
    QTest::newRow("cut-before-the-last-line-break") << 100 << 1;
    // The file then ends with a whole line: only the last key, "effectType=2\n", is missing.
    QTest::newRow("cut-before-the-last-line") << 100 << 13;
}

void tst_Workspace::valuesAreKeptWhenTheDiskIsFull()
{
    QFETCH(int, writableShare);
    QFETCH(int, lessBytes);
    const QString author = QStringLiteral("Ada");
    {
        ui::Workspace workspace;
        workspace.setEffectType(2);
        workspace.setAuthor(author);
    }
    QVERIFY(ui::Workspace::finishWrites(std::chrono::seconds(30)));
    ui::Workspace workspace;
    const QString file = workspace.file();
    const QByteArray before = readFile(file);
    const QStringList filesBefore = QDir(QFileInfo(file).absolutePath()).entryList(QDir::Files);
    const QString longAuthor(4000, QLatin1Char('x'));
    // The length the new file would have: the old one plus the longer author.
    const qint64 newLength = before.size() + longAuthor.size() - author.size();
    {
        const FileSizeLimit full(rlim_t(std::max<qint64>(0, newLength * writableShare / 100 - lessBytes)));
        QVERIFY(full.isActive());
        workspace.setAuthor(longAuthor);
        QVERIFY(ui::Workspace::finishWrites(std::chrono::seconds(30)));
    }
    QCOMPARE(readFile(file), before);
    QCOMPARE(QDir(QFileInfo(file).absolutePath()).entryList(QDir::Files), filesBefore);
    ui::Workspace again;
    QCOMPARE(again.author(QString()), author);
    QCOMPARE(again.effectType(0), 2);
    // With room again, the value is written.
    workspace.setAuthor(longAuthor);
    QVERIFY(ui::Workspace::finishWrites(std::chrono::seconds(30)));
    QVERIFY(readFile(file).contains(longAuthor.toLatin1()));
    QCOMPARE(ui::Workspace().author(QString()), longAuthor);
}

void tst_Workspace::valuesAreKeptWhenTheFileCannotBeRead_data()
{
    QTest::addColumn<QString>("fault"); // CALL:N:WHAT on the settings file
    QTest::newRow("read EIO") << "read:1:EIO";
    QTest::newRow("open EIO") << "open:1:EIO";
    QTest::newRow("open EACCES") << "open:1:EACCES";
}

// Settings that could not be read at start (a home on a share that hiccuped) give the defaults,
// and a value stored afterwards must not write those defaults over what the file holds.
void tst_Workspace::valuesAreKeptWhenTheFileCannotBeRead()
{
    QFETCH(QString, fault);
    QVERIFY2(faultShimLoaded(), "run with the fault shim preloaded, as ctest does");
    // A file this process has never read, as at a start: Qt answers from what it read before.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("facemask.conf"));
    QVERIFY(writeFile(file, "[save]\nauthor=Ada\neffectType=2\n"));
    const QStringList parts = fault.split(QLatin1Char(':'));
    std::unique_ptr<ui::Workspace> workspace;
    {
        const InjectedFault injected(QStringList{parts[0], file, parts[1], parts[2]}.join(QLatin1Char(':')));
        workspace = std::make_unique<ui::Workspace>(file);
        QCOMPARE(workspace->author(QStringLiteral("none")), QStringLiteral("none"));
    }
    workspace->setToggle(QStringLiteral("numbers"), false);
    QVERIFY(ui::Workspace::finishWrites(std::chrono::seconds(30)));
    QVERIFY2(readFile(file).contains("author=Ada"), readFile(file).constData());
}

// Where file times have whole seconds, stores in quick succession that leave the file's size as
// it was must still be read back, and not be written over by the value they replaced.
void tst_Workspace::quickStoresOnACoarseClockAreReadBack()
{
    if (::geteuid() != 0) {
        QSKIP("mounting a file system with whole-second file times needs root");
    }
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString image = dir.filePath(QStringLiteral("coarse.img"));
    const QString mountPoint = dir.filePath(QStringLiteral("mnt"));
    QVERIFY(QDir().mkpath(mountPoint));
    // ext4 with 128-byte inodes keeps file times in whole seconds.
    QProcess make;
    make.start(QStringLiteral("mkfs.ext4"), {QStringLiteral("-q"), QStringLiteral("-F"), QStringLiteral("-I"),
                                             QStringLiteral("128"), image, QStringLiteral("8M")});
    if (!make.waitForFinished(60000) || make.exitStatus() != QProcess::NormalExit || make.exitCode() != 0) {
        QSKIP("mkfs.ext4 cannot make a file system here");
    }
    if (QProcess::execute(QStringLiteral("mount"), {QStringLiteral("-o"), QStringLiteral("loop"), image, mountPoint}) != 0) {
        QSKIP("a loop device cannot be mounted here");
    }
    struct Unmount {
        QString point;
        ~Unmount() { QProcess::execute(QStringLiteral("umount"), {point}); }
    } unmount{mountPoint};

    const QString file = mountPoint + QStringLiteral("/facemask.conf");
    ui::Workspace workspace(file);
    int stale = 0;
    for (int i = 0; i < 40; ++i) {
        const int type = 1 + i % 2;
        workspace.setEffectType(type);
        if (workspace.effectType(0) != type) {
            ++stale;
        }
        workspace.setAuthor(QStringLiteral("a%1").arg(i % 10));
    }
    QCOMPARE(stale, 0);
    QVERIFY(ui::Workspace::finishWrites(std::chrono::seconds(30)));
    QCOMPARE(ui::Workspace(file).effectType(0), 2);
    QCOMPARE(ui::Workspace(file).author(QString()), QStringLiteral("a9"));
}

void tst_Workspace::damagedFileGivesDefaults_data()
{
    QTest::addColumn<QByteArray>("content");
    QByteArray binary;
    for (int i = 0; i < 4096; ++i) {
        binary.append(char((i * 7919) % 256));
    }
    QTest::newRow("binary-garbage") << binary;
    QTest::newRow("wrong-kinds") << QByteArray("[view]\nkeepAspectRatio=banana\nshowNumbers=2\n"
                                               "[save]\neffectType=7\nauthor=@Variant(\\0\\0\\0\\x7f)\n"
                                               "[recent]\npackages=relative.pmk, also/relative.pmk\n"
                                               "[geometry]\nmain=not a geometry\n"
                                               "[folders]\npicture=/no/such/folder\n");
    QTest::newRow("negative-type") << QByteArray("[save]\neffectType=-1\n");
    QTest::newRow("cut-off-mid-value") << QByteArray("[view]\nkeepAspectRatio=fal");
    QTest::newRow("empty") << QByteArray();
}

void tst_Workspace::damagedFileGivesDefaults()
{
    QFETCH(QByteArray, content);
    QVERIFY(writeFile(ui::Workspace::defaultFile(), content));
    ui::Workspace workspace;
    QCOMPARE(workspace.toggle(QStringLiteral("keepAspectRatio"), true), true);
    QCOMPARE(workspace.toggle(QStringLiteral("showNumbers"), true), true);
    QCOMPARE(workspace.effectType(1), 1);
    QCOMPARE(workspace.recentPackages(), QStringList());
    QCOMPARE(workspace.folder(QStringLiteral("picture")), QString());
    // A kind of value the file does not hold is no geometry.
    QVERIFY(workspace.geometry(QStringLiteral("main")).isEmpty()
            || QString::fromLatin1(QTest::currentDataTag()) == QLatin1String("binary-garbage"));
    // And the file can be written again.
    workspace.setToggle(QStringLiteral("showOutline"), false);
    QCOMPARE(ui::Workspace().toggle(QStringLiteral("showOutline"), true), false);
}

void tst_Workspace::settingsThatAreAPipeAreLeftAlone_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<bool>("remembered");
    QTest::newRow("file-is-a-pipe") << QString() << false;
    QTest::newRow("lock-is-a-pipe") << QStringLiteral(".lock") << true;
}

// A pipe where the settings or their lock should be, with no writer ever coming: opening it would
// hold the window for good. Settings that are a pipe are not used; a lock that is one is not
// taken. Either pipe is left as it is.
void tst_Workspace::settingsThatAreAPipeAreLeftAlone()
{
    QFETCH(QString, suffix);
    QFETCH(bool, remembered);
    const QString file = ui::Workspace::defaultFile();
    QVERIFY(QDir().mkpath(QFileInfo(file).absolutePath()));
    const QByteArray pipe = QFile::encodeName(file + suffix);
    QVERIFY(::mkfifo(pipe.constData(), 0600) == 0);
    {
        ui::Workspace workspace;
        QCOMPARE(workspace.toggle(QStringLiteral("showOutline"), true), true);
        workspace.setToggle(QStringLiteral("showOutline"), false);
    }
    QVERIFY(ui::Workspace::finishWrites(std::chrono::seconds(30)));
    QCOMPARE(ui::Workspace().toggle(QStringLiteral("showOutline"), true), !remembered);
    struct stat status {};
    QVERIFY(::lstat(pipe.constData(), &status) == 0);
    QVERIFY(S_ISFIFO(status.st_mode));
}

void tst_Workspace::whyNotKeptNamesWhatStopsTheSettings_data()
{
    QTest::addColumn<QString>("configHome"); // below a scratch folder
    QTest::addColumn<QString>("prepare");
    QTest::addColumn<QString>("named"); // what the reason starts with, below the scratch folder
    QTest::addColumn<QString>("says");
    QTest::newRow("folders-to-be-made") << "missing/config" << "" << "" << "";
    QTest::newRow("below-a-file") << "file/config" << "file" << "file" << " is not a folder";
    QTest::newRow("settings-are-a-folder") << "config" << "folder" << "config/facemask/facemask.conf"
                                           << " is not a regular file";
    QTest::newRow("read-only-folder") << "config/inside" << "read-only" << "config"
                                      << " cannot be written (";
}

// The reason names what stops the settings, and is empty exactly when a value is remembered.
void tst_Workspace::whyNotKeptNamesWhatStopsTheSettings()
{
    QFETCH(QString, configHome);
    QFETCH(QString, prepare);
    QFETCH(QString, named);
    QFETCH(QString, says);
    QTemporaryDir scratch;
    QVERIFY(scratch.isValid());
    if (prepare == QLatin1String("file")) {
        QFile file(scratch.filePath(QStringLiteral("file")));
        QVERIFY(file.open(QIODevice::WriteOnly));
    } else if (prepare == QLatin1String("folder")) {
        QVERIFY(QDir().mkpath(scratch.filePath(QStringLiteral("config/facemask/facemask.conf"))));
    } else if (prepare == QLatin1String("read-only")) {
        if (geteuid() == 0) {
            QSKIP("root writes into a read-only folder");
        }
        QVERIFY(QDir().mkpath(scratch.filePath(QStringLiteral("config"))));
        QVERIFY(::chmod(QFile::encodeName(scratch.filePath(QStringLiteral("config"))).constData(), 0555) == 0);
    }
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(scratch.filePath(configHome)));

    const QString reason = ui::Workspace().whyNotKept();
    if (named.isEmpty()) {
        QCOMPARE(reason, QString());
    } else {
        QCOMPARE(reason.left(reason.indexOf(says)), scratch.filePath(named));
    }
    ui::Workspace().setEffectType(2);
    QVERIFY(ui::Workspace::finishWrites(std::chrono::seconds(30)));
    QCOMPARE(ui::Workspace().effectType(0), reason.isEmpty() ? 2 : 0);
    ::chmod(QFile::encodeName(scratch.filePath(QStringLiteral("config"))).constData(), 0755);
}

// Settings on a share that stopped answering: a toggle must not hold the window, every value is
// read back at once, and once the share answers again the file holds the last of each, also of a
// second instance (the Preview window's) that stored meanwhile.
void tst_Workspace::togglesDoNotWaitForADiskThatDoesNotAnswer()
{
    QVERIFY2(faultShimLoaded(), "run with the fault shim preloaded, as ctest does");
    ui::Workspace workspace;
    ui::Workspace preview;
    const QString file = workspace.file();
    workspace.setToggle(QStringLiteral("showOutline"), true);
    QTRY_VERIFY_WITH_TIMEOUT(readFile(file).contains("showOutline=true"), 10000);
    {
        const StalledDisk stalled(QStringLiteral("facemask.conf"), 8000);
        QVERIFY(stalled.isArmed());
        workspace.setToggle(QStringLiteral("showNumbers"), false);
        workspace.setToggle(QStringLiteral("showNumbers"), true);
        preview.setPreviewToggle(QStringLiteral("steady"), false);
        workspace.setToggle(QStringLiteral("showNumbers"), false);
        workspace.setToggle(QStringLiteral("showOutline"), false);
        workspace.setGeometry(QStringLiteral("main"), QByteArray("closed"));
        // Back while the disk still holds the writes.
        QVERIFY(!ui::Workspace::finishWrites(std::chrono::milliseconds(0)));
        QCOMPARE(workspace.toggle(QStringLiteral("showNumbers"), true), false);
        QCOMPARE(workspace.toggle(QStringLiteral("showOutline"), true), false);
        QCOMPARE(preview.previewToggle(QStringLiteral("steady"), true), false);
        QCOMPARE(workspace.geometry(QStringLiteral("main")), QByteArray("closed"));
    }
    QTRY_VERIFY_WITH_TIMEOUT(readFile(file).contains("closed"), 10000);
    const QList<QByteArray> lines = readFile(file).split('\n');
    for (const QByteArray line : {"showNumbers=false", "showOutline=false", "steady=false", "main=@ByteArray(closed)"}) {
        QVERIFY2(lines.contains(line), line.constData());
    }
}

// The settings file on a share that stopped answering: a window made meanwhile (its Workspace)
// and Open Recent's list, read again after each open and save, are not held up by it. The new
// window says the settings cannot be kept, and keeps none, leaving the file as it was.
void tst_Workspace::settingsReadsDoNotWaitForADiskThatDoesNotAnswer()
{
    QVERIFY2(faultShimLoaded(), "run with the fault shim preloaded, as ctest does");
    const QString package = QDir::tempPath() + QStringLiteral("/listed.pmk");
    ui::Workspace workspace;
    workspace.addRecentPackage(package);
    workspace.setToggle(QStringLiteral("showNumbers"), false);
    QVERIFY(ui::Workspace::finishWrites(std::chrono::seconds(30)));
    const QByteArray before = readFile(workspace.file());
    {
        const StalledDisk stalled(QFileInfo(workspace.file()).absolutePath(), 30000);
        QVERIFY(stalled.isArmed());
        ui::Workspace made;
        QCOMPARE(made.whyNotKept(), QStringLiteral("its drive or share does not answer"));
        QCOMPARE(made.toggle(QStringLiteral("showNumbers"), true), true);
        made.setToggle(QStringLiteral("showOutline"), false);
        QCOMPARE(workspace.recentPackages(), QStringList{package});
        QVERIFY(stalled.isHolding());
    }
    QVERIFY(ui::Workspace::finishWrites(std::chrono::seconds(30)));
    QCOMPARE(readFile(workspace.file()), before);
}

void tst_Workspace::recentPackagesLatestFirstAtMostEight()
{
    ui::Workspace workspace;
    const QString folder = QDir::tempPath();
    for (int i = 0; i < 10; ++i) {
        workspace.addRecentPackage(folder + QStringLiteral("/p%1.pmk").arg(i));
    }
    workspace.addRecentPackage(folder + QStringLiteral("/p5.pmk"));
    const QStringList expected{"p5", "p9", "p8", "p7", "p6", "p4", "p3", "p2"};
    QStringList names;
    for (const QString& path : ui::Workspace().recentPackages()) {
        names << QFileInfo(path).baseName();
    }
    QCOMPARE(names, expected);
    workspace.removeRecentPackage(folder + QStringLiteral("/p9.pmk"));
    QCOMPARE(ui::Workspace().recentPackages().size(), 7);
    workspace.clearRecentPackages();
    QCOMPARE(ui::Workspace().recentPackages(), QStringList());
}

// Two windows share the file: a package one of them added since the other last wrote a setting
// stays on the list when the other adds or removes one.
void tst_Workspace::recentPackagesKeepWhatAnotherWindowAdded()
{
    const QString folder = QDir::tempPath();
    const QString first = folder + QStringLiteral("/first.pmk");
    const QString fromOther = folder + QStringLiteral("/from other window.pmk");
    const QString own = folder + QStringLiteral("/own.pmk");
    ui::Workspace workspace;
    workspace.addRecentPackage(first);
    QCOMPARE(workspace.recentPackages(), QStringList{first});
    QVERIFY(ui::Workspace::finishWrites(std::chrono::seconds(30)));
    // What the other process's settings leave in the file once it has added its package.
    QVERIFY(writeFile(workspace.file(), QStringLiteral("[recent]\npackages=%1, %2\n")
                                            .arg(fromOther, first)
                                            .toUtf8()));
    workspace.addRecentPackage(own);
    QCOMPARE(ui::Workspace().recentPackages(), (QStringList{own, fromOther, first}));
    workspace.removeRecentPackage(first);
    QCOMPARE(ui::Workspace().recentPackages(), (QStringList{own, fromOther}));
}

// A list grown by hand or by another program to 100000 entries: the first eight different ones,
// read before the window is shown and each time Open Recent opens (this took minutes when every
// entry was compared with all the others).
void tst_Workspace::recentPackagesOfAHugeListAreTheFirstEight()
{
    QStringList listed{QStringLiteral("/p/0.pmk"), QStringLiteral("/p/0.pmk"), QStringLiteral("relative.pmk")};
    for (int i = 0; i < 100000; ++i) {
        listed.append(QStringLiteral("/p/%1.pmk").arg(i));
    }
    QVERIFY(writeFile(ui::Workspace::defaultFile(),
                      QStringLiteral("[recent]\npackages=%1\n").arg(listed.join(QStringLiteral(", "))).toUtf8()));
    QStringList expected;
    for (int i = 0; i < ui::Workspace::maximumRecentPackages; ++i) {
        expected.append(QStringLiteral("/p/%1.pmk").arg(i));
    }
    QCOMPARE(ui::Workspace().recentPackages(), expected);
}

void tst_Workspace::foldersThatAreGoneAreForgotten()
{
    QTemporaryDir gone;
    ui::Workspace workspace;
    workspace.setFolderOf(QStringLiteral("package"), gone.filePath(QStringLiteral("a.pmk")));
    QCOMPARE(workspace.folder(QStringLiteral("package")), gone.path());
    QVERIFY(gone.remove());
    QCOMPARE(workspace.folder(QStringLiteral("package")), QString());
}

// The folder of a package on a share that went away: the picker must not wait for it for ever.
void tst_Workspace::foldersThatDoNotAnswerAreNotWaitedFor()
{
    QVERIFY2(faultShimLoaded(), "run with the fault shim preloaded, as ctest does");
    QTemporaryDir share;
    const QString folder = share.filePath(QStringLiteral("unanswering"));
    QVERIFY(QDir().mkdir(folder));
    ui::Workspace workspace;
    workspace.setFolderOf(QStringLiteral("package"), folder + QStringLiteral("/a.pmk"));
    QCOMPARE(workspace.folder(QStringLiteral("package")), folder);
    QElapsedTimer clock;
    {
        const StalledDisk stalled(QStringLiteral("unanswering"), 10000);
        QVERIFY(stalled.isArmed());
        clock.start();
        QCOMPARE(workspace.folder(QStringLiteral("package")), QString());
        QVERIFY2(clock.elapsed() < 6000, qPrintable(QString::number(clock.elapsed())));
    }
    // Answering again, it is proposed again.
    QCOMPARE(workspace.folder(QStringLiteral("package")), folder);
}

void tst_Workspace::recentlyUsedListKeepsOtherEntries()
{
    const QString list = environment->recentlyUsedFile();
    QVERIFY(writeFile(list,
                      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<xbel version=\"1.0\"\n"
                      "      xmlns:bookmark=\"http://www.freedesktop.org/standards/desktop-bookmarks\"\n"
                      "      xmlns:mime=\"http://www.freedesktop.org/standards/shared-mime-info\">\n"
                      "  <bookmark href=\"file:///home/u/other.txt\" added=\"2020-01-01T00:00:00Z\""
                      " modified=\"2020-01-01T00:00:00Z\" visited=\"2020-01-01T00:00:00Z\">\n"
                      "    <info><metadata owner=\"http://freedesktop.org\">"
                      "<mime:mime-type type=\"text/plain\"/><bookmark:applications>"
                      "<bookmark:application name=\"gedit\" exec=\"&apos;gedit %u&apos;\""
                      " modified=\"2020-01-01T00:00:00Z\" count=\"3\"/>"
                      "</bookmark:applications></metadata></info>\n"
                      "  </bookmark>\n"
                      "</xbel>\n"));
    const QString package = QDir::tempPath() + QStringLiteral("/with space & ünïcode.pmk");
    QVERIFY(ui::addToRecentlyUsed(package, QStringLiteral("application/x-facemask-package")));
    QVERIFY(ui::addToRecentlyUsed(package, QStringLiteral("application/x-facemask-package")));
    const QMap<QString, int> found = bookmarks(list);
    QCOMPARE(found.keys(), (QStringList{QStringLiteral("file:///home/u/other.txt"), hrefOf(package)}));
    // Opened twice: one entry, counted twice.
    QCOMPARE(found.value(hrefOf(package)), 2);
    QVERIFY(readFile(list).contains("text/plain"));
    QVERIFY(readFile(list).contains("application/x-facemask-package"));
}

// Other programs open the package from its link, so a name that is not UTF-8 ("été.pmk" in
// Latin-1) is linked by its own bytes.
void tst_Workspace::recentlyUsedLinkHoldsTheNamesBytes()
{
    core::useByteExactLocalNames();
    const QByteArray folder = QFile::encodeName(QDir::tempPath());
    const QString package = QFile::decodeName(folder + "/\xe9t\xe9.pmk");
    QVERIFY(ui::addToRecentlyUsed(package, QStringLiteral("application/x-facemask-package")));
    const QString href = QString::fromLatin1("file://" + folder.toPercentEncoding("/") + "/%E9t%E9.pmk");
    QCOMPARE(bookmarks(environment->recentlyUsedFile()).keys(), QStringList{href});
    QCOMPARE(core::localFilePath(QUrl(href)), package);
}

void tst_Workspace::recentlyUsedListThatIsNotXbelIsLeftAlone_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("not-xml") << QByteArray("\x00\x01 this is not XML", 18);
    QTest::newRow("unclosed") << QByteArray("<?xml version=\"1.0\"?><xbel version=\"1.0\"><bookmark href=\"x\">");
    QTest::newRow("other-root") << QByteArray("<?xml version=\"1.0\"?><html><body/></html>");
}

void tst_Workspace::recentlyUsedListThatIsNotXbelIsLeftAlone()
{
    QFETCH(QByteArray, content);
    const QString list = environment->recentlyUsedFile();
    QVERIFY(writeFile(list, content));
    QVERIFY(!ui::addToRecentlyUsed(QDir::tempPath() + QStringLiteral("/a.pmk"),
                                   QStringLiteral("application/x-facemask-package")));
    QCOMPARE(readFile(list), content);
}

// The list belongs to every program of the desktop: a disk too full for the new list leaves the
// one that was there, and says so.
void tst_Workspace::recentlyUsedListIsKeptWhenTheDiskIsFull()
{
    const QString list = environment->recentlyUsedFile();
    const QString mimeType = QStringLiteral("application/x-facemask-package");
    QVERIFY(ui::addToRecentlyUsed(QDir::tempPath() + QStringLiteral("/first.pmk"), mimeType));
    const QByteArray before = readFile(list);
    QVERIFY(!before.isEmpty());
    const QStringList filesBefore = QDir(QFileInfo(list).absolutePath()).entryList(QDir::Files);
    bool added = false;
    {
        // The new list is longer than the old one: it cannot be written whole.
        const FileSizeLimit full(rlim_t(before.size()));
        QVERIFY(full.isActive());
        added = ui::addToRecentlyUsed(QDir::tempPath() + QStringLiteral("/second.pmk"), mimeType);
    }
    QVERIFY(!added);
    QCOMPARE(readFile(list), before);
    QCOMPARE(QDir(QFileInfo(list).absolutePath()).entryList(QDir::Files), filesBefore);
}

void tst_Workspace::recentlyUsedListThatIsNoFileIsLeftAlone_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("pipe");
    QTest::newRow("list-is-a-pipe") << QStringLiteral("recently-used.xbel") << true;
    QTest::newRow("lock-is-a-folder") << QStringLiteral("recently-used.xbel.facemask-lock") << false;
}

// Something else where the list or its lock should be: reading a pipe would hold the window until
// a writer comes, which may be never. Here a writer does come, with a list, so that the test ends
// either way; the pipe must still be left alone.
void tst_Workspace::recentlyUsedListThatIsNoFileIsLeftAlone()
{
    QFETCH(QString, name);
    QFETCH(bool, pipe);
    const QString folder = QFileInfo(environment->recentlyUsedFile()).absolutePath();
    QVERIFY(QDir().mkpath(folder));
    const QByteArray path = QFile::encodeName(folder + QLatin1Char('/') + name);
    std::thread writer;
    if (pipe) {
        QVERIFY(::mkfifo(path.constData(), 0600) == 0);
        writer = std::thread([path] {
            const int out = ::open(path.constData(), O_WRONLY);
            if (out >= 0) {
                const QByteArray list("<?xml version=\"1.0\"?><xbel version=\"1.0\"></xbel>\n");
                [[maybe_unused]] const ssize_t written = ::write(out, list.constData(), size_t(list.size()));
                ::close(out);
            }
        });
    } else {
        QVERIFY(QDir().mkpath(QFile::decodeName(path)));
    }
    const bool added = ui::addToRecentlyUsed(QDir::tempPath() + QStringLiteral("/a.pmk"),
                                             QStringLiteral("application/x-facemask-package"));
    if (pipe) {
        // Lets the writer go if nothing read the pipe.
        const int in = ::open(path.constData(), O_RDONLY | O_NONBLOCK);
        writer.join();
        if (in >= 0) {
            ::close(in);
        }
    }
    QVERIFY(!added);
    struct stat status {};
    QVERIFY(::lstat(path.constData(), &status) == 0);
    QVERIFY(pipe ? S_ISFIFO(status.st_mode) : S_ISDIR(status.st_mode));
}

// Two windows mark their packages at the same moment: each reads the list, adds its entry and
// writes the list back, and neither may write over what the other has just added.
void tst_Workspace::recentlyUsedListKeepsEntriesAddedAtOnce()
{
    constexpr int perWriter = 40;
    const QString mimeType = QStringLiteral("application/x-facemask-package");
    const QString folder = QDir::tempPath();
    std::atomic_int failures{0};
    const auto writer = [&](const QString& prefix) {
        return QThread::create([&, prefix] {
            for (int i = 0; i < perWriter; ++i) {
                if (!ui::addToRecentlyUsed(folder + QStringLiteral("/%1-%2.pmk").arg(prefix).arg(i), mimeType)) {
                    ++failures;
                }
            }
        });
    };
    std::unique_ptr<QThread> first(writer(QStringLiteral("first")));
    std::unique_ptr<QThread> second(writer(QStringLiteral("second")));
    first->start();
    second->start();
    QVERIFY(first->wait());
    QVERIFY(second->wait());
    QCOMPARE(failures.load(), 0);
    const QMap<QString, int> found = bookmarks(environment->recentlyUsedFile());
    QStringList missing;
    for (const QString& prefix : {QStringLiteral("first"), QStringLiteral("second")}) {
        for (int i = 0; i < perWriter; ++i) {
            const QString href = hrefOf(folder + QStringLiteral("/%1-%2.pmk").arg(prefix).arg(i));
            if (found.value(href) != 1) {
                missing << href;
            }
        }
    }
    QVERIFY2(missing.isEmpty(), qPrintable(missing.join(QLatin1Char(' '))));
}

QTEST_GUILESS_MAIN(tst_Workspace)
#include "tst_workspace.moc"
