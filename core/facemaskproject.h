#pragma once

#include "core/facialpoints.h"
#include "core/packageformat.h"

#include <QImage>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

namespace core {

// The effect kind a package records.
enum EffectType { FaceOnly = 0, WholeImage = 1, FullFrame = 2 };

// Whether a package was taken, and if not, which check refused it.
struct LoadResult {
    bool ok = false;
    QString reason;  // empty when ok, e.g. "member effect.json missing" otherwise
    int error = 0;   // the system's error number when the disk failed a read (EIO, ...), else 0;
                     // the reason is then "cannot read NAME: REASON"
};

// A plain copy of what a package holds, to be written or read away from the GUI thread.
// Copying it copies no pixels: the picture is implicitly shared.
struct ProjectSnapshot {
    QString name;
    QString author;
    QString subcategory;
    int effectType = FaceOnly;
    QImage picture;
    FacialPointVector points;  // fractions of the picture
    // The date a read package was written, as stored; saving always writes today's date.
    QString time;
    // The bytes of a read package's texts that are no UTF-8: saved again as they were while the
    // text is unchanged.
    package::ForeignTexts foreign{};
};

// Told the share of the work done, 0 to 100, on the thread doing the work.
using Progress = std::function<void(int percent)>;

// Whether a package was written, and if not, why.
struct SaveResult {
    bool ok = false;
    QString reason;  // empty when ok, e.g. "picture larger than 120 megapixels" or "cancelled"
    int error = 0;   // the system's error number when the disk refused (EIO, EACCES, ...), else 0
};

// Writes snapshot as a .pmk package at path. Succeeds only when all six members were written,
// the package would open again under the loader's bounds, and it is flushed to disk in its
// place; on failure, or when cancel (when not null) is set before the end, an existing file
// at path is left untouched and nothing is left behind, not even when the program is ended
// meanwhile by SIGINT, SIGTERM or SIGHUP (see interruptcleanup.h). Any thread.
SaveResult writePackage(const ProjectSnapshot& snapshot, const QString& path,
                        const Progress& progress = {}, const std::atomic_bool* cancel = nullptr);
// Stamps the members of every package written afterwards with this moment, in seconds since
// 1970 read as UTC, instead of the local clock when each is written; nothing returns to the
// clock. Set before any thread writes a package.
void setPackageMemberTime(std::optional<qint64> secondsSinceEpoch);
// writePackage(...).ok.
bool savePackage(const ProjectSnapshot& snapshot, const QString& path,
                 const Progress& progress = {}, const std::atomic_bool* cancel = nullptr);

struct PackageReading {
    LoadResult result;         // "cancelled" when cancel was set
    ProjectSnapshot snapshot;  // meaningful only when result.ok
    // Members of a package taken that saving does not write (files another program put there),
    // up to maximumOtherMembers of them; folders are not counted.
    QStringList otherMembers;
    static constexpr int maximumOtherMembers = 100;
};

// Reads and checks the package at path. Any thread.
PackageReading readPackage(const QString& path, const Progress& progress = {},
                           const std::atomic_bool* cancel = nullptr);

// Everything a package holds: name, effect type, author, subcategory and the point model.
// GUI thread only.
class FaceMaskProject : public QObject
{
    Q_OBJECT
public:
    FaceMaskProject();
    ~FaceMaskProject() override;

    // The owned model; the pointer is stable for the project's lifetime.
    FacialPoints* facialPoints() const;

    QString name() const;
    void setName(const QString& name);
    int effectType() const;
    // Stored unchecked: a value other than 0, 1 or 2 writes no flag. Emits effectTypeChanged
    // when the value differs.
    void setEffectType(int type);
    QString author() const;
    void setAuthor(const QString& author);
    QString subcategory() const;

    // What a package of the project would hold now.
    ProjectSnapshot snapshot() const;
    // Replaces name, subcategory, author, type, picture and points, in that order; the model
    // signals the picture before the points.
    void apply(const ProjectSnapshot& snapshot);

    // savePackage of snapshot(), on the calling thread.
    bool save(const QString& path) const;
    // writePackage of snapshot(), on the calling thread.
    SaveResult saveWithReason(const QString& path) const;
    // Takes a package into the project. Changes nothing when the package is refused, and then
    // says why; on success applies what the package holds.
    LoadResult loadWithReason(const QString& path);
    // loadWithReason(path).ok.
    bool load(const QString& path);

signals:
    // The effect type changed, by setEffectType or apply.
    void effectTypeChanged(int type);

private:
    Q_DISABLE_COPY(FaceMaskProject)
    class Impl;
    std::unique_ptr<Impl> d;
};

} // namespace core
