// The point gestures: own the state of the running mouse gesture and turn it into edits and
// undo steps; nudges take a path of their own.

#include "tools/pointgestures.h"

#include "tools/groupgeometry.h"
#include "tools/markerpainter.h"
#include "core/mirroring.h"
#include "tools/pointcommands.h"
#include "tools/pointselection.h"
#include "tools/selectionbox.h"
#include "tools/viewtransform.h"

#include <QUndoStack>

#include <algorithm>
#include <cmath>
#include <utility>

namespace tools {

PointGestures::PointGestures(PointSelection& selection) : m_selection(selection) {}

int PointGestures::pick(const ViewTransform& transform, const core::FacialPointVector& points,
                        QPointF position)
{
    constexpr double radius = MarkerPainter::markerRadius;
    int best = -1;
    double bestDistance = 0.0;
    for (int i = 0; i < int(points.size()); ++i) {
        // Kept in double: a NaN, infinite or huge centre simply fails the comparisons.
        const QPointF centre = transform.toView(points[size_t(i)]);
        const double dx = centre.x() - position.x();
        const double dy = centre.y() - position.y();
        if (!(std::abs(dx) <= radius && std::abs(dy) <= radius)) {
            continue;
        }
        // "<=": at equal distance the later index wins, as it is drawn on top.
        const double distance = dx * dx + dy * dy;
        if (best < 0 || distance <= bestDistance) {
            best = i;
            bestDistance = distance;
        }
    }
    return best;
}

void PointGestures::press(const core::FacialPoints& model, const ViewTransform& transform,
                          QPointF position, Qt::KeyboardModifiers modifiers)
{
    const core::FacialPointVector points = model.points();
    const bool shift = modifiers & Qt::ShiftModifier;
    m_draggedIndex = -1;
    m_clickedIndex = -1;
    m_kind = Kind::None;
    m_selectionAtPress = m_selection.indices();
    // Every gesture's partners follow from the points and the picture as they were at the press.
    rememberStart(model);
    const int hit = pick(transform, points, position);
    if (startBoxGesture(position, transform, points)) {
        // The handle is drawn over a marker there: a click, not a drag, takes the marker, as a
        // click on it would (Shift adds or removes it).
        m_clickedIndex = hit;
        m_clickToggles = shift;
        m_pressPosition = position;
        return;
    }
    if (hit >= 0 && shift) {
        m_selection.toggle(hit);
    } else if (hit >= 0 && m_selection.contains(hit) && m_selection.size() > 1
               && !(modifiers & Qt::ControlModifier)) {
        beginGroup(Kind::DragGroup, transform.toFraction(position), points);
        m_clickedIndex = hit;
        m_clickToggles = false;
        m_pressPosition = position;
    } else if (hit >= 0) {
        m_selection.selectOnly(hit);
        m_kind = Kind::DragPoint;
        m_draggedIndex = hit;
        m_grabOffset = transform.toView(points[size_t(hit)]) - position;
        m_dragStart = points[size_t(hit)];
    } else {
        m_bandBase = shift ? m_selection.indices() : std::vector<int>();
        if (!shift) {
            m_selection.clear();
        }
        m_kind = Kind::RubberBand;
        m_pressFraction = transform.toFraction(position);
        m_bandDrawn = false;
    }
}

bool PointGestures::startBoxGesture(QPointF position, const ViewTransform& transform,
                                    const core::FacialPointVector& points)
{
    std::vector<QPointF> selected;
    for (int index : m_selection.finiteIndices(points)) {
        selected.push_back(transform.toView(points[size_t(index)]));
    }
    const SelectionBox box =
        SelectionBox::around(selected, transform.uncoveredRect());
    if (box.isNull()) {
        return false;
    }
    if (box.isOnTurnHandle(position)) {
        beginGroup(Kind::Turn, transform.toFraction(position), points);
        m_anchor = transform.toFraction(box.rect().center());
        return true;
    }
    const int corner = box.cornerAt(position);
    if (corner < 0) {
        return false;
    }
    beginGroup(Kind::Scale, transform.toFraction(position), points);
    const auto corners = box.corners();
    m_handle = transform.toFraction(corners[size_t(corner)]);
    m_anchor = transform.toFraction(corners[size_t((corner + 2) % 4)]);
    // The handle follows the cursor with the offset it was grabbed at.
    m_grabOffset = corners[size_t(corner)] - position;
    return true;
}

void PointGestures::beginGroup(Kind kind, QPointF pressFraction, const core::FacialPointVector& points)
{
    m_fullStart = points;
    m_partners.clear();
    m_kind = kind;
    m_pressFraction = pressFraction;
    m_groupIndices = m_selection.finiteIndices(points);
    m_groupStart.clear();
    for (int index : m_groupIndices) {
        m_groupStart.push_back(points[size_t(index)]);
    }
}

bool PointGestures::move(core::FacialPoints& model, const ViewTransform& transform,
                         QPointF position, Qt::KeyboardModifiers modifiers)
{
    if (position != m_pressPosition) {
        m_clickedIndex = -1;
    }
    switch (m_kind) {
    case Kind::DragPoint:
        if (m_draggedIndex >= model.count()) {
            return false;
        }
        model.setPoint(groupgeometry::clampToPicture(transform.toFraction(position + m_grabOffset)),
                       m_draggedIndex);
        followWithPartners(model, {m_draggedIndex});
        return true;
    case Kind::DragGroup: {
        const QPointF shift = transform.toFraction(position) - m_pressFraction;
        store(model, m_groupIndices, groupgeometry::moved(m_groupStart, shift));
        followWithPartners(model, m_groupIndices);
        return true;
    }
    case Kind::Scale: {
        const QPointF anchor = transform.toView(m_anchor);
        const QPointF factors = groupgeometry::scaleFactors(
            anchor, transform.toView(m_handle), position + m_grabOffset, modifiers & Qt::ShiftModifier);
        storeFromView(model, transform,
                      groupgeometry::scaledAbout(groupInView(transform), anchor, factors));
        followWithPartners(model, m_groupIndices);
        return true;
    }
    case Kind::Turn: {
        // Turned in view pixels, so that the shape stays rigid on screen in a stretched view.
        const QPointF centre = transform.toView(m_anchor);
        const double angle = groupgeometry::turnAngle(centre, transform.toView(m_pressFraction), position);
        storeFromView(model, transform,
                      groupgeometry::turnedAbout(groupInView(transform), centre, angle));
        followWithPartners(model, m_groupIndices);
        return true;
    }
    case Kind::RubberBand:
        m_bandEnd = transform.toFraction(position);
        m_bandDrawn = true;
        return true;
    case Kind::None:
        break;
    }
    return false;
}

QRectF PointGestures::rubberBand(const ViewTransform& transform) const
{
    if (m_kind != Kind::RubberBand || !m_bandDrawn) {
        return QRectF();
    }
    return QRectF(transform.toView(m_pressFraction), transform.toView(m_bandEnd));
}

std::vector<QPointF> PointGestures::groupInView(const ViewTransform& transform) const
{
    std::vector<QPointF> positions;
    positions.reserve(m_groupStart.size());
    for (const FacialPoint& point : m_groupStart) {
        positions.push_back(transform.toView(point));
    }
    return positions;
}

void PointGestures::storeFromView(core::FacialPoints& model, const ViewTransform& transform,
                                  const std::vector<QPointF>& viewPositions)
{
    core::FacialPointVector moved;
    moved.reserve(viewPositions.size());
    for (const QPointF& at : viewPositions) {
        moved.push_back(groupgeometry::clampToPicture(transform.toFraction(at)));
    }
    store(model, m_groupIndices, moved);
}

void PointGestures::store(core::FacialPoints& model, const QVector<int>& indices,
                          const core::FacialPointVector& values)
{
    m_storing = true;
    storePoints(&model, indices, values);
    m_storing = false;
}

bool PointGestures::release(core::FacialPoints* model, const ViewTransform& transform,
                            QUndoStack* stack)
{
    if (m_kind == Kind::None) {
        return false;
    }
    if (!model) {
        reset();
        return true;
    }
    switch (m_kind) {
    case Kind::DragPoint:
        finishDrag(*model, stack);
        break;
    case Kind::DragGroup:
    case Kind::Scale:
    case Kind::Turn:
        finishGroup(*model, stack);
        break;
    case Kind::RubberBand:
        finishRubberBand(*model, transform);
        break;
    case Kind::None:
        break;
    }
    return true;
}

bool PointGestures::cancel(core::FacialPoints* model)
{
    const Kind kind = m_kind;
    if (kind == Kind::None) {
        return false;
    }
    const int index = m_draggedIndex;
    reset();
    m_bandDrawn = false;
    if (model && kind == Kind::DragPoint && index < model->count()) {
        restoreStart(*model, {index}, {m_dragStart});
    } else if (model && (kind == Kind::DragGroup || kind == Kind::Scale || kind == Kind::Turn)) {
        QVector<int> indices;
        core::FacialPointVector starts;
        for (int i = 0; i < m_groupIndices.size(); ++i) {
            if (m_groupIndices[i] < model->count()) {
                indices.push_back(m_groupIndices[i]);
                starts.push_back(m_groupStart[size_t(i)]);
            }
        }
        restoreStart(*model, indices, starts);
    }
    m_partners.clear();
    m_selection.set(m_selectionAtPress, model ? model->count() : 0);
    return true;
}

void PointGestures::reset()
{
    m_kind = Kind::None;
    m_draggedIndex = -1;
}

void PointGestures::pointsReplaced()
{
    if (m_kind != Kind::None && m_kind != Kind::RubberBand) {
        reset();
    }
}

void PointGestures::finishDrag(core::FacialPoints& model, QUndoStack* stack)
{
    const int index = std::exchange(m_draggedIndex, -1);
    m_kind = Kind::None;
    if (index >= model.count()) {
        return;
    }
    const FacialPoint end = model.points()[size_t(index)];
    // A press and release without movement is no step of its own.
    if (end != m_dragStart) {
        pushEdit(model, stack, {index}, std::exchange(m_partners, {}), {m_dragStart}, false,
                 MovePointsCommand::moveText({index}));
        return;
    }
    restoreStart(model, {index}, {m_dragStart});
}

void PointGestures::restoreStart(core::FacialPoints& model, const QVector<int>& indices,
                                 const core::FacialPointVector& starts)
{
    QVector<int> moved = indices;
    core::FacialPointVector values = starts;
    for (int partner : std::exchange(m_partners, {})) {
        if (partner < int(m_fullStart.size())) {
            moved.append(partner);
            values.push_back(m_fullStart[size_t(partner)]);
        }
    }
    // The very numbers, which the model's fuzzy setPoint alone would not give back.
    store(model, moved, values);
}

void PointGestures::finishGroup(core::FacialPoints& model, QUndoStack* stack)
{
    const Kind kind = std::exchange(m_kind, Kind::None);
    const core::FacialPointVector now = model.points();
    core::FacialPointVector after;
    for (int index : m_groupIndices) {
        after.push_back(index < int(now.size()) ? now[size_t(index)] : FacialPoint());
    }
    if (after == m_groupStart) {
        // Back where it began: no step, and so the points exactly as they were, not off in their
        // last digits by the rounding of the gesture and its return.
        restoreStart(model, m_groupIndices, m_groupStart);
        // A click, no move between press and release: the marker alone, as a click elsewhere.
        if (m_clickedIndex >= 0 && m_clickedIndex < model.count()) {
            if (m_clickToggles) {
                m_selection.toggle(std::exchange(m_clickedIndex, -1));
            } else {
                m_selection.selectOnly(std::exchange(m_clickedIndex, -1));
            }
        }
        return;
    }
    QString text;
    if (kind == Kind::Scale) {
        text = QStringLiteral("Scale %1 Points").arg(m_groupIndices.size());
    } else if (kind == Kind::Turn) {
        text = QStringLiteral("Rotate %1 Points").arg(m_groupIndices.size());
    }
    if (text.isEmpty()) {
        text = MovePointsCommand::moveText(m_groupIndices);
    }
    pushEdit(model, stack, m_groupIndices, std::exchange(m_partners, {}), m_groupStart, false, text);
}

void PointGestures::finishRubberBand(const core::FacialPoints& model, const ViewTransform& transform)
{
    const QRectF area = rubberBand(transform).normalized();
    m_kind = Kind::None;
    const core::FacialPointVector points = model.points();
    std::vector<int> chosen = m_bandBase;
    for (int i = 0; i < int(points.size()); ++i) {
        if (area.contains(transform.toView(points[size_t(i)]))) {
            chosen.push_back(i);
        }
    }
    m_selection.set(std::move(chosen), int(points.size()));
    m_bandDrawn = false;
}

QVector<int> PointGestures::keyEditIndices(const core::FacialPointVector& points,
                                           const ViewTransform& transform,
                                           core::FacialPointVector* before) const
{
    if (!transform.isValid() || m_kind != Kind::None) {
        return {};
    }
    const QVector<int> indices = m_selection.finiteIndices(points);
    for (int index : indices) {
        before->push_back(points[size_t(index)]);
    }
    return indices;
}

bool PointGestures::applyKeyEdit(core::FacialPoints& model, QUndoStack* stack, const QVector<int>& indices,
                                 const core::FacialPointVector& before,
                                 const core::FacialPointVector& after, const QString& text)
{
    if (after == before) {
        return false;
    }
    rememberStart(model);
    store(model, indices, after);
    const QVector<int> partners = followWithPartners(model, indices);
    m_partners.clear();
    pushEdit(model, stack, indices, partners, before, true, text);
    return true;
}

bool PointGestures::turnAndScale(core::FacialPoints& model, const ViewTransform& transform,
                                 QUndoStack* stack, double angle, double factor)
{
    core::FacialPointVector before;
    const QVector<int> indices = keyEditIndices(model.points(), transform, &before);
    if (indices.size() < 2) {
        return false;
    }
    std::vector<QPointF> inView;
    for (const FacialPoint& point : before) {
        inView.push_back(transform.toView(point));
    }
    // About the points' mean, which a turn or scale keeps where it is (the middle of their box
    // moves as they turn), so that a key and its opposite bring them back. In view pixels, as
    // the round handle turns, so that the shape stays rigid on screen.
    QPointF centre;
    for (const QPointF& at : inView) {
        centre += at;
    }
    centre /= double(inView.size());
    inView = groupgeometry::scaledAbout(groupgeometry::turnedAbout(inView, centre, angle), centre,
                                        QPointF(factor, factor));
    // Refused, not clamped point by point, where a point would leave the picture: clamped, a
    // key and its opposite would not bring the shape back.
    core::FacialPointVector after;
    for (const QPointF& at : inView) {
        const QPointF fraction = transform.toFraction(at);
        if (!(fraction.x() >= 0 && fraction.x() <= 1 && fraction.y() >= 0 && fraction.y() <= 1)) {
            return false;
        }
        after.push_back(fraction);
    }
    return applyKeyEdit(model, stack, indices, before, after,
                        angle != 0 ? QStringLiteral("Rotate %1 Points").arg(indices.size())
                                   : QStringLiteral("Scale %1 Points").arg(indices.size()));
}

bool PointGestures::nudge(core::FacialPoints& model, const ViewTransform& transform,
                          QUndoStack* stack, QPointF viewDelta)
{
    core::FacialPointVector before;
    const QVector<int> indices = keyEditIndices(model.points(), transform, &before);
    if (indices.isEmpty()) {
        return false;
    }
    const QPointF shift(viewDelta.x() / transform.viewPixelsPerFractionX(),
                        viewDelta.y() / transform.viewPixelsPerFractionY());
    return applyKeyEdit(model, stack, indices, before, groupgeometry::moved(before, shift),
                        MovePointsCommand::moveText(indices));
}

void PointGestures::rememberStart(const core::FacialPoints& model)
{
    m_fullStart = model.points();
    m_pictureSize = model.image().size();
    m_partners.clear();
}

QVector<int> PointGestures::followWithPartners(core::FacialPoints& model, const QVector<int>& edited)
{
    const core::FacialPointVector now = model.points();
    if (!m_mirror && !m_partners.isEmpty()) {
        // Turned off mid-gesture: the partners that followed so far go back to where they were.
        QVector<int> back;
        core::FacialPointVector values;
        for (int partner : std::exchange(m_partners, {})) {
            if (partner < int(m_fullStart.size()) && partner < int(now.size())) {
                back.push_back(partner);
                values.push_back(m_fullStart[size_t(partner)]);
            }
        }
        store(model, back, values);
        return {};
    }
    if (!m_mirror || m_fullStart.size() != std::size_t(core::mirror::partnerCount)
        || now.size() != m_fullStart.size() || m_pictureSize.isEmpty()) {
        return {};
    }
    // Only the gesture's own points count as edited; partners start again from where they were.
    core::FacialPointVector editedPoints = m_fullStart;
    std::vector<bool> isEdited(now.size(), false);
    for (int index : edited) {
        if (index >= 0 && index < int(now.size())) {
            editedPoints[size_t(index)] = now[size_t(index)];
            isEdited[size_t(index)] = true;
        }
    }
    const core::FacialPointVector mirrored = core::mirror::mirrorEdit(m_fullStart, editedPoints, m_pictureSize);
    QVector<int> partners;
    core::FacialPointVector values;
    for (int i = 0; i < int(now.size()); ++i) {
        if (isEdited[size_t(i)]) {
            continue;
        }
        const bool follows = mirrored[size_t(i)] != m_fullStart[size_t(i)];
        const bool followed = m_partners.contains(i);
        if (follows || followed) {
            partners.push_back(i);
            values.push_back(mirrored[size_t(i)]);
        }
    }
    if (!partners.isEmpty()) {
        store(model, partners, values);
    }
    m_partners = partners;
    return partners;
}

void PointGestures::pushEdit(core::FacialPoints& model, QUndoStack* stack, const QVector<int>& edited,
                             const QVector<int>& partners, const core::FacialPointVector& editedBefore,
                             bool mergeable, const QString& text)
{
    QVector<int> indices = edited;
    core::FacialPointVector before = editedBefore;
    for (int partner : partners) {
        if (partner < int(m_fullStart.size())) {
            indices.push_back(partner);
            before.push_back(m_fullStart[size_t(partner)]);
        }
    }
    const core::FacialPointVector now = model.points();
    core::FacialPointVector after;
    for (int index : indices) {
        after.push_back(index < int(now.size()) ? now[size_t(index)] : FacialPoint());
    }
    execute(stack, std::make_unique<MovePointsCommand>(&model, indices, before, after, true, mergeable, text));
}

} // namespace tools
