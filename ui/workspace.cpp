#include "ui/workspace.h"

#include "core/localnames.h"
#include "core/systemreason.h"
#include "core/wholefile.h"
#include "ui/answerwithin.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLockFile>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QUrl>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace ui {

namespace {

const QString geometryGroup = QStringLiteral("geometry/");
const QString viewGroup = QStringLiteral("view/");
const QString previewGroup = QStringLiteral("preview/");
const QString folderGroup = QStringLiteral("folders/");
const QString recentKey = QStringLiteral("recent/packages");
const QString effectTypeKey = QStringLiteral("save/effectType");
const QString authorKey = QStringLiteral("save/author");

// A file damaged by hand or by a crash may hold anything: only the expected kind counts.
bool isStringList(const QVariant& value)
{
    const int type = value.userType();
    return type == QMetaType::QStringList || type == QMetaType::QString
        || type == QMetaType::QVariantList;
}

// stat(2) never waits; opening a FIFO to read it would wait for a writer that may never come.
bool isRegularOrAbsent(const QString& path)
{
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0) {
        return errno == ENOENT;
    }
    return S_ISREG(status.st_mode);
}

// QSettings opens its file to read it, and a pipe there would hold the window for good, before it
// appears. Such a file is not used: the settings are then not remembered, under a name that can
// never be made.
const QString unusableSettingsFile = QStringLiteral("/dev/null/facemask.conf");
QString usableSettingsFile(const QString& file)
{
    return isRegularOrAbsent(file) ? file : unusableSettingsFile;
}

// How long the settings' disk is waited for on the caller's thread before it is taken as gone away.
constexpr std::chrono::milliseconds diskAnswerTimeout{2000};
const char* const diskDoesNotAnswer = "its drive or share does not answer";

// ask on a thread of its own, waited for at most diskAnswerTimeout; nothing when no answer came.
// On the calling thread when no thread can be had: a full process table is no disk gone away.
template <typename Answer, typename Ask>
std::optional<Answer> askTheDisk(Ask ask)
{
    bool noThread = false;
    std::optional<Answer> answer = answerWithin<Answer>(diskAnswerTimeout, ask, &noThread);
    if (noThread) {
        answer = ask();
    }
    return answer;
}

// A value stored and not yet written: the generation tells it from one stored after it.
struct StoredValue {
    QVariant value;
    quint64 generation = 0;
};

// The one thread that writes the settings files and the desktop's recent list, in the order the
// writes were asked for, so that a disk that does not answer holds it and not the window, and two
// writers never race. Started when there is work and ending when there is none; it owns nothing
// of the caller's. Made once and never destroyed: a write may outlive every window.
class SettingsWriter
{
public:
    static SettingsWriter& instance()
    {
        static SettingsWriter* const writer = new SettingsWriter;
        return *writer;
    }

    // Runs job on the writer's thread after those posted before; on the calling thread when no
    // thread can be had.
    void post(std::function<void()> job)
    {
        // Registered after the QSettings that stored the values has made Qt's own, so that the
        // wait comes before those are torn down.
        static const bool finishedAtExit = std::atexit(finishAtExit) == 0;
        Q_UNUSED(finishedAtExit)
        {
            const std::lock_guard<std::mutex> hold(lock);
            jobs.push_back(std::move(job));
            if (running) {
                return;
            }
            running = true;
        }
        try {
            std::thread([this] { drain(); }).detach();
        } catch (const std::system_error&) {
            drain();
        }
    }

    // Whether every job posted has ended within timeout.
    bool waitForIdle(std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> hold(lock);
        return idle.wait_for(hold, timeout, [this] { return !running && jobs.empty(); });
    }

    std::mutex lock;
    // File → key → value, guarded by lock.
    QHash<QString, QHash<QString, StoredValue>> values;
    quint64 nextGeneration = 1;

private:
    SettingsWriter() = default;

    // A program that ends without waiting for its settings (a test) still gets them written,
    // unless their disk does not answer.
    static void finishAtExit() { instance().waitForIdle(std::chrono::seconds(5)); }

    void drain()
    {
        for (;;) {
            std::function<void()> job;
            {
                const std::lock_guard<std::mutex> hold(lock);
                if (jobs.empty()) {
                    running = false;
                    idle.notify_all();
                    return;
                }
                job = std::move(jobs.front());
                jobs.pop_front();
            }
            job();
        }
    }

    std::condition_variable idle;
    std::deque<std::function<void()>> jobs;
    bool running = false;
};

} // namespace

Workspace::Workspace()
    : Workspace(defaultFile())
{
}

Workspace::Workspace(const QString& file)
    : wantedFile(file)
{
    // QSettings reads its file as it is made: one on a share that went away would hold the window
    // before it appears. Such a file is not used: nothing is remembered, nor written over it.
    const std::optional<QString> usable = askTheDisk<QString>([file] { return usableSettingsFile(file); });
    unanswered = !usable;
    settings = std::make_unique<QSettings>(usable.value_or(unusableSettingsFile), QSettings::IniFormat);
}

Workspace::~Workspace() = default;

QString Workspace::defaultFile()
{
    // Asked afresh each time, so that a test can point XDG_CONFIG_HOME elsewhere.
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/facemask/facemask.conf");
}

QString Workspace::file() const
{
    return settings->fileName();
}

namespace {

// Why the settings cannot be kept in wantedFile, as Workspace::whyNotKept() tells it. Any thread.
QString reasonNotKept(const QString& wantedFile)
{
    struct stat fileStatus {};
    if (::stat(QFile::encodeName(wantedFile).constData(), &fileStatus) == 0 && !S_ISREG(fileStatus.st_mode)) {
        return QStringLiteral("%1 is not a regular file").arg(wantedFile);
    }
    // The file is written beside itself and renamed into place, and its missing folders are made:
    // the nearest folder above it that is there must take new files.
    QString folder = QFileInfo(wantedFile).absolutePath();
    for (;;) {
        const QByteArray name = QFile::encodeName(folder);
        struct stat status {};
        if (::stat(name.constData(), &status) == 0) {
            if (!S_ISDIR(status.st_mode)) {
                return QStringLiteral("%1 is not a folder").arg(folder);
            }
            if (::access(name.constData(), W_OK | X_OK) != 0) {
                const int error = errno;
                return QStringLiteral("%1 cannot be written (%2)").arg(folder, core::systemReason(error));
            }
            return {};
        }
        // Missing, or below a file: the folder above tells.
        const int error = errno;
        if (error != ENOENT && error != ENOTDIR) {
            return QStringLiteral("%1 cannot be reached (%2)").arg(folder, core::systemReason(error));
        }
        const QString parent = QFileInfo(folder).path();
        if (parent == folder) {
            return {};
        }
        folder = parent;
    }
}

} // namespace

QString Workspace::whyNotKept() const
{
    if (unanswered) {
        return QString::fromLatin1(diskDoesNotAnswer);
    }
    const QString file = wantedFile;
    return askTheDisk<QString>([file] { return reasonNotKept(file); }).value_or(QString::fromLatin1(diskDoesNotAnswer));
}

void Workspace::store(const QString& key, const QVariant& value)
{
    store({{key, value}});
}

namespace {

// The file is written whole or not at all. QSettings' own writing moves a cut-short file over the
// settings when the disk fills up midway, and reports no error: every remembered value would be
// gone at the next start. So the settings are written by a second QSettings into a scratch file
// beside them, which is read back and moved into place only when it holds every key in full;
// the object the window reads from never writes.
// Replaces the settings file at path with what it holds and values; false when it was not
// replaced. Any thread.
bool writeSettings(const QString& path, const QList<QPair<QString, QVariant>>& values)
{
    const QFileInfo info(path);
    if (!QDir().mkpath(info.absolutePath())) {
        return false;
    }
    {
        // The lock QSettings takes for its own writes, held from reading the file to replacing it,
        // so that two windows do not write back each other's values. A lock that cannot be had in
        // time does not keep the value out.
        // A pipe at the lock's name would be opened to read whose lock it is, and would hold the
        // window until a writer came.
        QLockFile lock(path + QStringLiteral(".lock"));
        if (isRegularOrAbsent(path + QStringLiteral(".lock"))) {
            lock.tryLock(5000);
        }
        // Settings that are there but cannot be read whole (a share that hiccuped, a failing
        // disk) are not written over: the values they hold would be lost for the one stored.
        // What was read is taken from a copy under a new name, not from what Qt read before.
        if (!isRegularOrAbsent(path)) {
            return false;
        }
        QByteArray held;
        QFile settingsFile(path);
        if (settingsFile.open(QIODevice::ReadOnly)) {
            held = settingsFile.readAll();
            if (settingsFile.error() != QFileDevice::NoError) {
                return false;
            }
            settingsFile.close();
        } else if (settingsFile.exists()) {
            return false;
        }
        QTemporaryFile copy(path + QStringLiteral(".XXXXXX"));
        QTemporaryFile scratch(path + QStringLiteral(".XXXXXX"));
        QTemporaryFile readBack(path + QStringLiteral(".XXXXXX"));
        if (!copy.open() || copy.write(held) != held.size() || !copy.flush() || !scratch.open()
            || !readBack.open()) {
            return false;
        }
        copy.close();
        scratch.close();
        readBack.close();
        const QFileInfo before(path);
        const bool existed = before.exists();
        const qint64 sizeBefore = before.size();
        const QDateTime timeBefore = before.lastModified();
        QStringList keys;
        {
            const QSettings current(copy.fileName(), QSettings::IniFormat);
            QSettings next(scratch.fileName(), QSettings::IniFormat);
            for (const QString& existing : current.allKeys()) {
                next.setValue(existing, current.value(existing));
            }
            for (const auto& [key, value] : values) {
                next.setValue(key, value);
            }
            next.sync();
            if (next.status() != QSettings::NoError) {
                return false;
            }
            keys = next.allKeys();
        }
        // Read back under a name no QSettings has read: Qt keeps what it wrote to a name and
        // would answer from that, not from the disk. Each key has a line of its own and the
        // writer ends the last one, so a file cut short lacks a key or its final line break.
        if (std::rename(QFile::encodeName(scratch.fileName()).constData(),
                        QFile::encodeName(readBack.fileName()).constData()) != 0) {
            return false;
        }
        QFile written(readBack.fileName());
        if (!written.open(QIODevice::ReadOnly)) {
            return false;
        }
        const QByteArray bytes = written.readAll();
        const QSettings check(readBack.fileName(), QSettings::IniFormat);
        QStringList keysRead = check.allKeys();
        keys.sort();
        keysRead.sort();
        if (bytes.isEmpty() || !bytes.endsWith('\n') || keysRead != keys
            || !core::writeWholeFile(path, bytes).isEmpty()) {
            return false;
        }
        // QSettings reads a file again only when its size or time has changed: a file of the
        // same size written within one tick of a coarse clock (a whole second on some file
        // systems) would go unseen, and the old value would be read, and later written back.
        const QFileInfo after(path);
        if (existed && after.size() == sizeBefore && after.lastModified() == timeBefore) {
            QFile replaced(path);
            if (replaced.open(QIODevice::ReadWrite | QIODevice::ExistingOnly)) {
                replaced.setFileTime(timeBefore.addSecs(1), QFileDevice::FileModificationTime);
            }
        }
    }
    return true;
}

// Every value stored into path and not yet written, in one replacement of the file. The values are
// then read from the file, which every QSettings of it in the process reads anew here, or, when it
// could not be written, the ones before them are. The writer's thread.
void writePending(const QString& path)
{
    SettingsWriter& writer = SettingsWriter::instance();
    QList<QPair<QString, QVariant>> values;
    QList<quint64> generations;
    {
        const std::lock_guard<std::mutex> hold(writer.lock);
        const QHash<QString, StoredValue>& stored = writer.values[path];
        for (auto it = stored.begin(); it != stored.end(); ++it) {
            values.append({it.key(), it->value});
            generations.append(it->generation);
        }
    }
    if (values.isEmpty()) {
        return;
    }
    if (writeSettings(path, values)) {
        // QSettings of one file share what they read, guarded by a lock of their own.
        QSettings(path, QSettings::IniFormat).sync();
    }
    const std::lock_guard<std::mutex> hold(writer.lock);
    QHash<QString, StoredValue>& stored = writer.values[path];
    for (int i = 0; i < values.size(); ++i) {
        const auto found = stored.find(values[i].first);
        // One stored again meanwhile is left to the write that follows.
        if (found != stored.end() && found->generation == generations[i]) {
            stored.erase(found);
        }
    }
}

} // namespace

void Workspace::store(const QList<QPair<QString, QVariant>>& values)
{
    const QString path = settings->fileName();
    SettingsWriter& writer = SettingsWriter::instance();
    {
        const std::lock_guard<std::mutex> hold(writer.lock);
        QHash<QString, StoredValue>& stored = writer.values[path];
        for (const auto& [key, value] : values) {
            stored[key] = StoredValue{value, writer.nextGeneration++};
        }
    }
    writer.post([path] { writePending(path); });
}

bool Workspace::finishWrites(std::chrono::milliseconds timeout)
{
    return SettingsWriter::instance().waitForIdle(timeout);
}

QVariant Workspace::value(const QString& key) const
{
    {
        SettingsWriter& writer = SettingsWriter::instance();
        const std::lock_guard<std::mutex> hold(writer.lock);
        const auto file = writer.values.constFind(settings->fileName());
        if (file != writer.values.cend()) {
            const auto found = file->constFind(key);
            if (found != file->cend()) {
                return found->value;
            }
        }
    }
    return settings->value(key);
}

QByteArray Workspace::geometry(const QString& name) const
{
    const QVariant value = this->value(geometryGroup + name);
    return value.userType() == QMetaType::QByteArray ? value.toByteArray() : QByteArray();
}

void Workspace::setGeometry(const QString& name, const QByteArray& geometry)
{
    store(geometryGroup + name, geometry);
}

bool Workspace::toggle(const QString& name, bool fallback) const
{
    return toggleAt(viewGroup + name, fallback);
}

void Workspace::setToggle(const QString& name, bool on)
{
    store(viewGroup + name, on);
}

bool Workspace::previewToggle(const QString& name, bool fallback) const
{
    return toggleAt(previewGroup + name, fallback);
}

void Workspace::setPreviewToggle(const QString& name, bool on)
{
    store(previewGroup + name, on);
}

bool Workspace::toggleAt(const QString& key, bool fallback) const
{
    const QString text = value(key).toString();
    if (text == QLatin1String("true")) {
        return true;
    }
    if (text == QLatin1String("false")) {
        return false;
    }
    return fallback;
}

QString Workspace::folder(const QString& kind) const
{
    const QVariant value = this->value(folderGroup + kind);
    if (value.userType() != QMetaType::QString) {
        return QString();
    }
    const QString path = value.toString();
    if (path.isEmpty()) {
        return QString();
    }
    // A folder on a share that went away would hold the window for good before the picker shows;
    // one that does not answer in time is not proposed.
    const std::optional<bool> isDir = answerWithin<bool>(folderCheckTimeout, [path] { return QFileInfo(path).isDir(); });
    return isDir.value_or(false) ? path : QString();
}

void Workspace::setFolderOf(const QString& kind, const QString& file)
{
    if (!file.isEmpty()) {
        store(folderGroup + kind, QFileInfo(file).absolutePath());
    }
}

QStringList Workspace::recentPackages() const
{
    // Read afresh: another window may have changed the list since this one last wrote a setting,
    // and the list is written back whole. Not while the file's disk does not answer: the list read
    // last is used then.
    const QString path = settings->fileName();
    if (askTheDisk<bool>([path] {
            struct stat status {};
            ::stat(QFile::encodeName(path).constData(), &status);
            return true;
        })) {
        settings->sync();
    }
    const QVariant value = this->value(recentKey);
    if (!isStringList(value)) {
        return {};
    }
    QStringList paths;
    // A list made longer by hand is read only as far as it is shown: each entry is compared with
    // those before it.
    for (const QString& path : value.toStringList()) {
        if (paths.size() == maximumRecentPackages) {
            break;
        }
        if (!path.isEmpty() && QFileInfo(path).isAbsolute() && !paths.contains(path)) {
            paths.append(path);
        }
    }
    return paths;
}

QStringList Workspace::recentPackagesWith(const QString& path) const
{
    const QString absolute = QFileInfo(path).absoluteFilePath();
    QStringList paths = recentPackages();
    paths.removeAll(absolute);
    paths.prepend(absolute);
    return paths.mid(0, maximumRecentPackages);
}

void Workspace::addRecentPackage(const QString& path)
{
    store(recentKey, recentPackagesWith(path));
}

void Workspace::rememberSavedPackage(const QString& path, int effectType, const QString& author)
{
    store({{effectTypeKey, effectType},
           {authorKey, author},
           {folderGroup + QStringLiteral("package"), QFileInfo(path).absolutePath()},
           {recentKey, recentPackagesWith(path)}});
}

void Workspace::removeRecentPackage(const QString& path)
{
    QStringList paths = recentPackages();
    paths.removeAll(path);
    store(recentKey, paths);
}

void Workspace::clearRecentPackages()
{
    store(recentKey, QStringList());
}

int Workspace::effectType(int fallback) const
{
    bool ok = false;
    const int type = value(effectTypeKey).toString().toInt(&ok);
    return ok && type >= 0 && type <= 2 ? type : fallback;
}

void Workspace::setEffectType(int type)
{
    store(effectTypeKey, type);
}

QString Workspace::author(const QString& fallback) const
{
    const QVariant value = this->value(authorKey);
    return value.userType() == QMetaType::QString ? value.toString() : fallback;
}

void Workspace::setAuthor(const QString& author)
{
    store(authorKey, author);
}

namespace {

const QString bookmarkNamespace = QStringLiteral("http://www.freedesktop.org/standards/desktop-bookmarks");
const QString mimeNamespace = QStringLiteral("http://www.freedesktop.org/standards/shared-mime-info");

void writeBookmark(QXmlStreamWriter& out, const QString& href, const QString& mimeType, int count)
{
    const QString now = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    out.writeStartElement(QStringLiteral("bookmark"));
    out.writeAttribute(QStringLiteral("href"), href);
    out.writeAttribute(QStringLiteral("added"), now);
    out.writeAttribute(QStringLiteral("modified"), now);
    out.writeAttribute(QStringLiteral("visited"), now);
    out.writeStartElement(QStringLiteral("info"));
    out.writeStartElement(QStringLiteral("metadata"));
    out.writeAttribute(QStringLiteral("owner"), QStringLiteral("http://freedesktop.org"));
    out.writeEmptyElement(mimeNamespace, QStringLiteral("mime-type"));
    out.writeAttribute(QStringLiteral("type"), mimeType);
    out.writeStartElement(bookmarkNamespace, QStringLiteral("applications"));
    out.writeEmptyElement(bookmarkNamespace, QStringLiteral("application"));
    out.writeAttribute(QStringLiteral("name"), QStringLiteral("facemask"));
    out.writeAttribute(QStringLiteral("exec"), QStringLiteral("'facemask %u'"));
    out.writeAttribute(QStringLiteral("modified"), now);
    out.writeAttribute(QStringLiteral("count"), QString::number(count));
    out.writeEndElement(); // applications
    out.writeEndElement(); // metadata
    out.writeEndElement(); // info
    out.writeEndElement(); // bookmark
}

// The count our application entry has in the bookmark the reader stands on; the bookmark is
// consumed.
int skipBookmark(QXmlStreamReader& in)
{
    int count = 0;
    int depth = 1;
    while (depth > 0 && !in.atEnd()) {
        in.readNext();
        if (in.isStartElement()) {
            ++depth;
            if (in.name() == QLatin1String("application")
                && in.attributes().value(QLatin1String("name")) == QLatin1String("facemask")) {
                count = in.attributes().value(QLatin1String("count")).toInt();
            }
        } else if (in.isEndElement()) {
            --depth;
        }
    }
    return count;
}

} // namespace

namespace {

bool addToRecentlyUsedIn(const QString& dataHome, const QString& path, const QString& mimeType)
{
    if (dataHome.isEmpty() || !QDir().mkpath(dataHome)) {
        return false;
    }
    const QString listPath = dataHome + QStringLiteral("/recently-used.xbel");
    const QString lockPath = listPath + QStringLiteral(".facemask-lock");
    // A pipe or a device in either place is no list of ours, and reading it could block the
    // window for good.
    if (!isRegularOrAbsent(listPath) || !isRegularOrAbsent(lockPath)) {
        return false;
    }
    // The name's own bytes: other programs open the package from this link.
    const QString href = QString::fromLatin1(core::localFileUrl(path).toEncoded());
    // Held from reading the list to putting the new one in place, so that two windows marking a
    // package at the same moment do not each write back a list without the other's entry. A lock
    // that cannot be had in time (a lost one is taken over once stale) does not keep the entry out.
    QLockFile lock(lockPath);
    lock.tryLock(5000);

    QByteArray written;
    QXmlStreamWriter out(&written);
    out.setAutoFormatting(true);
    QFile existing(listPath);
    if (existing.exists()) {
        if (!existing.open(QIODevice::ReadOnly)) {
            return false;
        }
        QXmlStreamReader in(&existing);
        int count = 0;
        bool rootSeen = false;
        int depth = 0;
        while (!in.atEnd()) {
            in.readNext();
            if (in.isStartElement()) {
                if (depth == 0) {
                    if (in.name() != QLatin1String("xbel")) {
                        return false;
                    }
                    rootSeen = true;
                }
                if (depth == 1 && in.name() == QLatin1String("bookmark")
                    && in.attributes().value(QLatin1String("href")) == href) {
                    count = skipBookmark(in);
                    continue;
                }
                ++depth;
            } else if (in.isEndElement()) {
                --depth;
                if (depth == 0) {
                    writeBookmark(out, href, mimeType, count + 1);
                }
            } else if (in.isWhitespace()) {
                continue; // the writer lays the file out again
            }
            out.writeCurrentToken(in);
        }
        if (in.hasError() || !rootSeen) {
            return false;
        }
    } else {
        out.writeStartDocument();
        out.writeStartElement(QStringLiteral("xbel"));
        out.writeAttribute(QStringLiteral("version"), QStringLiteral("1.0"));
        out.writeNamespace(bookmarkNamespace, QStringLiteral("bookmark"));
        out.writeNamespace(mimeNamespace, QStringLiteral("mime"));
        writeBookmark(out, href, mimeType, 1);
        out.writeEndElement();
        out.writeEndDocument();
    }
    // Whole or not at all: an empty list on a full disk would cost every program its entries.
    return core::writeWholeFile(listPath, written).isEmpty();
}

} // namespace

bool addToRecentlyUsed(const QString& path, const QString& mimeType)
{
    return addToRecentlyUsedIn(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation), path,
                               mimeType);
}

void addToRecentlyUsedLater(const QString& path, const QString& mimeType)
{
    const QString dataHome = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    SettingsWriter::instance().post([dataHome, path, mimeType] { addToRecentlyUsedIn(dataHome, path, mimeType); });
}

} // namespace ui
