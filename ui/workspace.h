#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <chrono>
#include <memory>

class QSettings;
class QVariant;

namespace ui {

// What the program remembers between runs: window geometry, the View toggles, the folders of
// the pickers, the recent packages and the save dialog's last choices. Kept in
// $XDG_CONFIG_HOME/facemask/facemask.conf (~/.config when unset), read afresh by each instance.
// A damaged or unreadable file, or a value of the wrong kind, reads as the default. Each change
// replaces the file whole or not at all, on a thread of its own shared by every instance, in the
// order the changes were made, so that a disk that does not answer never holds the caller; a
// value stored is read back at once, from memory until it is written. A value that cannot be
// written (a full disk) is lost without a message, and the file keeps the earlier ones;
// whyNotKept() tells the window when no value can be. An instance is used on one thread, the GUI
// thread in the windows.
class Workspace
{
public:
    // The file of the current environment.
    Workspace();
    // Another file, for tests.
    explicit Workspace(const QString& file);
    ~Workspace();

    static QString defaultFile();
    QString file() const;
    // Empty when the settings file can be written; else why not, naming the file or folder that
    // stops it, e.g. "/ cannot be written (Permission denied)" for a home folder that is not
    // there, or "its drive or share does not answer" for one on a share that went away, which is
    // waited for at most 2 s. Looks at the file and its folders only (stat and access), never writes.
    QString whyNotKept() const;

    // Waits at most timeout for the changes stored so far, by every instance, to be written or
    // found unwritable; false when some are still being written. Any thread.
    static bool finishWrites(std::chrono::milliseconds timeout);

    // QWidget::saveGeometry() of the window called name ("main", "preview"); empty when none.
    QByteArray geometry(const QString& name) const;
    void setGeometry(const QString& name, const QByteArray& geometry);

    // A View toggle ("showNumbers", "showOutline", "keepAspectRatio"); fallback when unset.
    bool toggle(const QString& name, bool fallback) const;
    void setToggle(const QString& name, bool on);
    // A toggle of the Preview window ("steady"); fallback when unset.
    bool previewToggle(const QString& name, bool fallback) const;
    void setPreviewToggle(const QString& name, bool on);

    // The folder a picker of kind ("picture", "package", "previewFace") starts in; empty when
    // none is remembered, it is gone, or it does not answer within folderCheckTimeout.
    QString folder(const QString& kind) const;
    static constexpr std::chrono::milliseconds folderCheckTimeout{1500};
    // Remembers the folder of file for kind.
    void setFolderOf(const QString& kind, const QString& file);

    // Absolute paths, latest first, at most maximumRecentPackages.
    static constexpr int maximumRecentPackages = 8;
    QStringList recentPackages() const;
    // Puts path first (once).
    void addRecentPackage(const QString& path);
    void removeRecentPackage(const QString& path);
    // After a save: the effect type and author chosen, the package's folder for the picker and
    // path first among the recent packages, in one write (each write waits on the disk, and on a
    // share far away that is felt).
    void rememberSavedPackage(const QString& path, int effectType, const QString& author);
    void clearRecentPackages();

    // The save dialog's last effect type (0, 1 or 2) and author; fallback when unset or invalid.
    int effectType(int fallback) const;
    void setEffectType(int type);
    QString author(const QString& fallback) const;
    void setAuthor(const QString& author);

private:
    Q_DISABLE_COPY(Workspace)
    void store(const QString& key, const QVariant& value);
    // Several values, in one replacement of the file.
    void store(const QList<QPair<QString, QVariant>>& values);
    bool toggleAt(const QString& key, bool fallback) const;
    // The value of key stored last and not yet written by any instance, else the file's.
    QVariant value(const QString& key) const;
    // The recent packages with path put first (once).
    QStringList recentPackagesWith(const QString& path) const;
    std::unique_ptr<QSettings> settings;
    // The file asked for; settings names another one when it cannot be used.
    QString wantedFile;
    // True when the file's disk gave no answer as the instance was made: nothing is kept then.
    bool unanswered = false;
};

// Adds path to the desktop's list of recently used files ($XDG_DATA_HOME/recently-used.xbel),
// as file managers and file dialogs show it, replacing an entry for the same file. A list that
// cannot be read as XBEL is left as it is. Returns true when the list was written.
bool addToRecentlyUsed(const QString& path, const QString& mimeType);
// addToRecentlyUsed on the thread that writes the settings, after the writes asked for before, so
// that a list on a disk that does not answer holds that thread and not the caller. The list's
// place is taken now. Any thread.
void addToRecentlyUsedLater(const QString& path, const QString& mimeType);

} // namespace ui
