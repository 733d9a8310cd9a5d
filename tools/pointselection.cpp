// The point selection: owns the sorted set of selected indices.

#include "tools/pointselection.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace tools {

bool PointSelection::contains(int index) const
{
    return std::binary_search(m_indices.begin(), m_indices.end(), index);
}

bool PointSelection::set(const QVector<int>& indices, int count)
{
    return set(std::vector<int>(indices.begin(), indices.end()), count);
}

bool PointSelection::set(std::vector<int> indices, int count)
{
    indices.erase(std::remove_if(indices.begin(), indices.end(),
                                 [count](int index) { return index < 0 || index >= count; }),
                  indices.end());
    std::sort(indices.begin(), indices.end());
    indices.erase(std::unique(indices.begin(), indices.end()), indices.end());
    if (indices == m_indices) {
        return false;
    }
    m_indices = std::move(indices);
    return true;
}

bool PointSelection::selectOnly(int index)
{
    if (m_indices.size() == 1 && m_indices.front() == index) {
        return false;
    }
    m_indices = {index};
    return true;
}

bool PointSelection::selectAll(int count)
{
    std::vector<int> all(size_t(std::max(count, 0)));
    for (int i = 0; i < count; ++i) {
        all[size_t(i)] = i;
    }
    const bool changed = all != m_indices;
    m_indices = std::move(all);
    return changed;
}

bool PointSelection::clear()
{
    if (m_indices.empty()) {
        return false;
    }
    m_indices.clear();
    return true;
}

void PointSelection::toggle(int index)
{
    const auto at = std::lower_bound(m_indices.begin(), m_indices.end(), index);
    if (at != m_indices.end() && *at == index) {
        m_indices.erase(at);
    } else {
        m_indices.insert(at, index);
    }
}

bool PointSelection::truncate(int count)
{
    const auto from = std::lower_bound(m_indices.begin(), m_indices.end(), count);
    if (from == m_indices.end()) {
        return false;
    }
    m_indices.erase(from, m_indices.end());
    return true;
}

int PointSelection::next(int count) const
{
    if (count <= 0) {
        return -1;
    }
    return m_indices.size() == 1 ? (m_indices.front() + 1) % count : 0;
}

int PointSelection::previous(int count) const
{
    if (count <= 0) {
        return -1;
    }
    return m_indices.size() == 1 ? (m_indices.front() + count - 1) % count : count - 1;
}

QVector<int> PointSelection::finiteIndices(const std::vector<QPointF>& points) const
{
    QVector<int> finite;
    for (int index : m_indices) {
        if (index < int(points.size()) && std::isfinite(points[size_t(index)].x())
            && std::isfinite(points[size_t(index)].y())) {
            finite.push_back(index);
        }
    }
    return finite;
}

} // namespace tools
