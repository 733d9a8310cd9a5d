#include "tools/pointcommands.h"

#include "core/facemaskproject.h"

#include <QSet>
#include <QUndoStack>

#include <utility>

namespace tools {

namespace {

// Above this many points one list replacement is cheaper than a signal per point.
constexpr int perPointLimit = 64;

} // namespace

class MovePointsCommand::Impl
{
public:
    core::FacialPoints* model;
    QVector<int> indices;
    core::FacialPointVector before;
    core::FacialPointVector after;
    bool skipRedo;
    bool mergeable;
};

MovePointsCommand::MovePointsCommand(core::FacialPoints* model, QVector<int> indices,
                                     core::FacialPointVector before,
                                     core::FacialPointVector after, bool alreadyApplied,
                                     bool mergeable, const QString& text)
    : d(new Impl{model, std::move(indices), std::move(before), std::move(after), alreadyApplied,
                 mergeable})
{
    // Mismatched lists would index past one of them: keep the common prefix only.
    const size_t common = std::min({size_t(d->indices.size()), d->before.size(), d->after.size()});
    d->indices.resize(int(common));
    d->before.resize(common);
    d->after.resize(common);
    setText(text.isEmpty() ? moveText(d->indices) : text);
}

MovePointsCommand::~MovePointsCommand() = default;

QString MovePointsCommand::moveText(const QVector<int>& indices)
{
    if (indices.size() == 1) {
        return QStringLiteral("Move Point %1").arg(indices.front());
    }
    return QStringLiteral("Move %1 Points").arg(indices.size());
}

void MovePointsCommand::undo()
{
    storePoints(d->model, d->indices, d->before);
}

void MovePointsCommand::redo()
{
    if (std::exchange(d->skipRedo, false)) {
        return;
    }
    storePoints(d->model, d->indices, d->after);
}

int MovePointsCommand::id() const
{
    return d->mergeable ? NudgePointsCommandId : -1;
}

bool MovePointsCommand::mergeWith(const QUndoCommand* other)
{
    const auto* next = dynamic_cast<const MovePointsCommand*>(other);
    // A run of nudges (or of turns, or of scales) of one selection; a turn after nudges is a
    // step of its own.
    if (!next || !d->mergeable || !next->d->mergeable || next->d->indices != d->indices
        || next->d->model != d->model || next->text() != text()) {
        return false;
    }
    d->after = next->d->after;
    return true;
}

class ReplacePointsCommand::Impl
{
public:
    core::FacialPoints* model;
    core::FacialPointVector before;
    core::FacialPointVector after;
    bool skipRedo;
};

ReplacePointsCommand::ReplacePointsCommand(core::FacialPoints* model,
                                           core::FacialPointVector before,
                                           core::FacialPointVector after, const QString& text,
                                           bool alreadyApplied)
    : d(new Impl{model, std::move(before), std::move(after), alreadyApplied})
{
    setText(text);
}

ReplacePointsCommand::~ReplacePointsCommand() = default;

void ReplacePointsCommand::undo()
{
    d->model->setPoints(d->before);
}

void ReplacePointsCommand::redo()
{
    if (std::exchange(d->skipRedo, false)) {
        return;
    }
    d->model->setPoints(d->after);
}

class ReplacePictureCommand::Impl
{
public:
    core::FacialPoints* model;
    QImage beforePicture;
    core::FacialPointVector beforePoints;
    QImage afterPicture;
    core::FacialPointVector afterPoints;
    bool skipRedo;
    std::function<void()> afterRedo;
};

ReplacePictureCommand::ReplacePictureCommand(core::FacialPoints* model, QImage beforePicture,
                                             core::FacialPointVector beforePoints,
                                             QImage afterPicture,
                                             core::FacialPointVector afterPoints,
                                             bool alreadyApplied)
    : d(new Impl{model, std::move(beforePicture), std::move(beforePoints), std::move(afterPicture),
                 std::move(afterPoints), alreadyApplied, {}})
{
    setText(QStringLiteral("Replace Picture"));
}

ReplacePictureCommand::~ReplacePictureCommand() = default;

void ReplacePictureCommand::undo()
{
    d->model->setImage(d->beforePicture);
    d->model->setPoints(d->beforePoints);
}

void ReplacePictureCommand::redo()
{
    if (std::exchange(d->skipRedo, false)) {
        return;
    }
    d->model->setImage(d->afterPicture);
    d->model->setPoints(d->afterPoints);
    if (d->afterRedo) {
        d->afterRedo();
    }
}

void ReplacePictureCommand::setAfterRedo(std::function<void()> callback)
{
    d->afterRedo = std::move(callback);
}

QImage ReplacePictureCommand::beforePicture() const
{
    return d->beforePicture;
}

QImage ReplacePictureCommand::afterPicture() const
{
    return d->afterPicture;
}

SetEffectTypeCommand::SetEffectTypeCommand(core::FaceMaskProject* project, int before, int after)
    : project(project)
    , before(before)
    , after(after)
{
    setText(QStringLiteral("Change Effect Type"));
}

void SetEffectTypeCommand::undo()
{
    project->setEffectType(before);
}

void SetEffectTypeCommand::redo()
{
    project->setEffectType(after);
}

void storePoints(core::FacialPoints* model, const QVector<int>& indices,
                 const core::FacialPointVector& values)
{
    if (indices.size() <= perPointLimit) {
        for (int i = 0; i < indices.size(); ++i) {
            model->setPoint(values[size_t(i)], indices[i]);
        }
        // setPoint keeps a point that only fuzzily equals the value (a key and its opposite
        // leave it off in the last digits); the list is replaced whole where one was kept.
        const core::FacialPointVector now = model->points();
        bool exact = true;
        for (int i = 0; i < indices.size() && exact; ++i) {
            const int index = indices[i];
            if (index >= 0 && size_t(index) < now.size()) {
                const FacialPoint& stored = now[size_t(index)];
                exact = stored.x() == values[size_t(i)].x() && stored.y() == values[size_t(i)].y();
            }
        }
        if (exact) {
            return;
        }
    }
    core::FacialPointVector all = model->points();
    for (int i = 0; i < indices.size(); ++i) {
        const int index = indices[i];
        if (index >= 0 && size_t(index) < all.size()) {
            all[size_t(index)] = values[size_t(i)];
        }
    }
    model->setPoints(all);
}

namespace {

void addPicture(const QImage& picture, QSet<qint64>& seen, qint64& bytes)
{
    if (!picture.isNull() && !seen.contains(picture.cacheKey())) {
        seen.insert(picture.cacheKey());
        bytes += picture.sizeInBytes();
    }
}

void addPictures(const QUndoCommand* command, QSet<qint64>& seen, qint64& bytes)
{
    if (const auto* step = dynamic_cast<const ReplacePictureCommand*>(command)) {
        addPicture(step->beforePicture(), seen, bytes);
        addPicture(step->afterPicture(), seen, bytes);
    }
    for (int i = 0; i < command->childCount(); ++i) {
        addPictures(command->child(i), seen, bytes);
    }
}

qint64 picturesHeld(const QUndoStack& stack, int steps, QSet<qint64>& seen)
{
    qint64 bytes = 0;
    for (int i = 0; i < steps; ++i) {
        addPictures(stack.command(i), seen, bytes);
    }
    return bytes;
}

} // namespace

qint64 historyPictureBytes(const QUndoStack& stack)
{
    QSet<qint64> seen;
    return picturesHeld(stack, stack.count(), seen);
}

bool makeRoomForPictures(QUndoStack& stack, const QVector<QImage>& kept, qint64 budget)
{
    if (stack.count() == 0) {
        return false;
    }
    // The undone steps go with the push; only those before the current one stay.
    QSet<qint64> seen;
    qint64 bytes = picturesHeld(stack, stack.index(), seen);
    for (const QImage& picture : kept) {
        addPicture(picture, seen, bytes);
    }
    if (bytes <= budget) {
        return false;
    }
    const bool clean = stack.isClean();
    stack.clear();
    if (!clean) {
        stack.resetClean();
    }
    return true;
}

void execute(QUndoStack* stack, std::unique_ptr<QUndoCommand> command)
{
    if (!command) {
        return;
    }
    if (stack) {
        stack->push(command.release());
        return;
    }
    // A step made as already applied skips this first redo itself.
    command->redo();
}

} // namespace tools
