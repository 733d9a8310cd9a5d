#pragma once

#include <QImage>
#include <QMetaType>
#include <QObject>
#include <QPointF>

#include <vector>

// A landmark point. Outside the detection pipeline x and y are fractions of the picture's
// width and height, measured from its top-left corner. Equality is QPointF's fuzzy comparison.
using FacialPoint = QPointF;

namespace core {

// Landmark points in landmark order: index i is always the same facial feature.
using FacialPointVector = std::vector<FacialPoint>;

// Registers FacialPointVector with the meta-type system under its exact name, so that it can
// travel in queued signals and variants. Call once, after the application object exists.
void registerFacialPointVector();

// The model of the work in progress: a picture and the landmark points placed on it.
// Every change is announced by a signal, delivered directly. GUI thread only.
class FacialPoints : public QObject
{
    Q_OBJECT
public:
    FacialPoints();
    ~FacialPoints() override;

    QImage image() const;
    int count() const;
    FacialPointVector points() const;

    // Replaces the picture and emits imageChanged, even for an equal picture. Points stay.
    void setImage(const QImage& picture);
    // Replaces the whole list and emits pointsUpdated, even for an equal list. The picture stays.
    void setPoints(const FacialPointVector& points);
    // Stores one point and emits pointChanged, unless it fuzzily equals the stored one.
    // An index outside [0, count()) is ignored.
    void setPoint(const FacialPoint& point, int index);

signals:
    void imageChanged();
    void pointsUpdated();
    void pointChanged(int index, const FacialPoint& oldPoint, const FacialPoint& newPoint);

private:
    QImage m_picture;
    FacialPointVector m_points;
};

} // namespace core

Q_DECLARE_METATYPE(core::FacialPointVector)
