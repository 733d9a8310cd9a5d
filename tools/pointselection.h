#pragma once

// Owns which points are selected: a set of point indices kept in ascending order, and the walk
// through them (next, previous, all). Knows nothing of views or of the model's signals; the
// caller passes the point count where it matters. Not part of the undo history. GUI thread.

#include <QPointF>
#include <QVector>

#include <vector>

namespace tools {

class PointSelection
{
public:
    const std::vector<int>& indices() const { return m_indices; }
    QVector<int> toVector() const { return QVector<int>(m_indices.begin(), m_indices.end()); }
    bool isEmpty() const { return m_indices.empty(); }
    int size() const { return int(m_indices.size()); }
    bool contains(int index) const;

    // Each returns true when the selection changed.
    // Keeps the indices in [0, count), sorted, without repeats.
    bool set(const QVector<int>& indices, int count);
    bool set(std::vector<int> indices, int count);
    bool selectOnly(int index);
    bool selectAll(int count);
    bool clear();
    // Adds the index when it is not selected, removes it when it is.
    void toggle(int index);
    // Drops indices at or beyond count (points that no longer exist).
    bool truncate(int count);

    // The index after (or before) the single selected one, wrapping around; with no selection or
    // several selected points the first (or last) index. -1 when count is not positive.
    int next(int count) const;
    int previous(int count) const;

    // The selected indices whose points exist and have finite coordinates.
    QVector<int> finiteIndices(const std::vector<QPointF>& points) const;

private:
    std::vector<int> m_indices;
};

} // namespace tools
