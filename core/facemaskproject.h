#pragma once

#include <QObject>
#include <QString>

#include <memory>

namespace core {

class FacialPoints;

// The effect kind a package records.
enum EffectType { FaceOnly = 0, WholeImage = 1, FullFrame = 2 };

// Everything a package holds: name, effect type, author, subcategory and the point model.
// GUI thread only.
class FaceMaskProject : public QObject
{
public:
    FaceMaskProject();
    ~FaceMaskProject() override;

    // The owned model; the pointer is stable for the project's lifetime.
    FacialPoints* facialPoints() const;

    QString name() const;
    void setName(const QString& name);
    int effectType() const;
    // Stored unchecked: a value other than 0, 1 or 2 writes no flag.
    void setEffectType(int type);
    QString author() const;
    QString subcategory() const;

    // Writes the project as a .pmk package. Returns true only when all six members were
    // written; on failure an existing file at path is left untouched and nothing is left behind.
    bool save(const QString& path) const;
    // Takes a package into the project. Returns false, changing nothing, when the package is
    // refused; on success name, subcategory, author, type, picture and points are replaced.
    bool load(const QString& path);

private:
    Q_DISABLE_COPY(FaceMaskProject)
    class Impl;
    std::unique_ptr<Impl> d;
};

} // namespace core
