#include "core/facialpoints.h"

namespace core {

void registerFacialPointVector()
{
    qRegisterMetaType<FacialPointVector>("core::FacialPointVector");
}

FacialPoints::FacialPoints() = default;
FacialPoints::~FacialPoints() = default;

QImage FacialPoints::image() const
{
    return m_picture;
}

int FacialPoints::count() const
{
    return static_cast<int>(m_points.size());
}

FacialPointVector FacialPoints::points() const
{
    return m_points;
}

void FacialPoints::setImage(const QImage& picture)
{
    m_picture = picture;
    emit imageChanged();
}

void FacialPoints::setPoints(const FacialPointVector& points)
{
    m_points = points;
    emit pointsUpdated();
}

void FacialPoints::setPoint(const FacialPoint& point, int index)
{
    if (index < 0 || index >= count()) {
        return;
    }
    const FacialPoint oldPoint = m_points[static_cast<size_t>(index)];
    if (oldPoint == point) {
        return;
    }
    m_points[static_cast<size_t>(index)] = point;
    emit pointChanged(index, oldPoint, point);
}

} // namespace core
