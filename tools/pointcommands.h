#pragma once

#include "core/facialpoints.h"

#include <QImage>
#include <QString>
#include <QUndoCommand>
#include <QVector>

#include <functional>
#include <memory>

class QUndoStack;

namespace core {
class FaceMaskProject;
}

namespace tools {

// Undo steps over a facial point model. Every step changes the model through its own setters,
// so views repaint as for any other change. The model is not owned and must outlive the step.
// A step made with alreadyApplied describes a change the caller has made already (a drag shows
// the point moving live): its first redo, which QUndoStack::push runs, then changes nothing.
// GUI thread only.

// QUndoCommand::id() of steps that merge with their successor.
enum CommandId { NudgePointsCommandId = 1 };

// Moves some points. Text: "Move Point 37" for one point, "Move 12 Points" for more, unless a
// text is given. A mergeable step absorbs the next mergeable step over the same indices, so that
// a run of nudges of one selection is undone at once.
class MovePointsCommand : public QUndoCommand
{
public:
    // indices, before and after have the same length; out-of-range indices are ignored.
    MovePointsCommand(core::FacialPoints* model, QVector<int> indices,
                      core::FacialPointVector before, core::FacialPointVector after,
                      bool alreadyApplied, bool mergeable = false, const QString& text = QString());
    ~MovePointsCommand() override;

    static QString moveText(const QVector<int>& indices);

    void undo() override;
    void redo() override;
    int id() const override;
    bool mergeWith(const QUndoCommand* other) override;

private:
    class Impl;
    std::unique_ptr<Impl> d;
};

// Replaces the whole point list (a detection result, points placed on another face).
class ReplacePointsCommand : public QUndoCommand
{
public:
    ReplacePointsCommand(core::FacialPoints* model, core::FacialPointVector before,
                         core::FacialPointVector after, const QString& text, bool alreadyApplied);
    ~ReplacePointsCommand() override;

    void undo() override;
    void redo() override;

private:
    class Impl;
    std::unique_ptr<Impl> d;
};

// Replaces the picture and the points together ("Replace Picture"); undoing brings the previous
// picture back with its points.
class ReplacePictureCommand : public QUndoCommand
{
public:
    ReplacePictureCommand(core::FacialPoints* model, QImage beforePicture,
                          core::FacialPointVector beforePoints, QImage afterPicture,
                          core::FacialPointVector afterPoints, bool alreadyApplied);
    ~ReplacePictureCommand() override;

    // Called after every redo that brings the picture back (not the first, which the caller
    // made), so that the picture's detection can start again.
    void setAfterRedo(std::function<void()> callback);

    // The two pictures the step keeps, for measuring what a history holds.
    QImage beforePicture() const;
    QImage afterPicture() const;

    void undo() override;
    void redo() override;

private:
    class Impl;
    std::unique_ptr<Impl> d;
};

// Sets the project's effect type ("Change Effect Type").
class SetEffectTypeCommand : public QUndoCommand
{
public:
    // project is not owned and must outlive the step.
    SetEffectTypeCommand(core::FaceMaskProject* project, int before, int after);

    void undo() override;
    void redo() override;

private:
    core::FaceMaskProject* project;
    int before;
    int after;
};

// Stores values[i] as the point at indices[i], through the model's setters; out-of-range
// indices are ignored. Many points are stored as one list, which emits one signal.
void storePoints(core::FacialPoints* model, const QVector<int>& indices,
                 const core::FacialPointVector& values);

// Bytes of the pictures that the picture steps of stack keep (undone ones and those in macros
// included), each picture counted once however many steps share it.
qint64 historyPictureBytes(const QUndoStack& stack);

// What a window's history may keep of earlier pictures: a day of pasted photos would otherwise
// stay in memory until the program ends.
constexpr qint64 historyPictureBudget = qint64(512) << 20;

// Called before a step that keeps the pictures kept is pushed: when the pictures the history
// would then keep (the steps before the current one, the undone ones being dropped by the push,
// and kept) exceed budget, the history is emptied, so that the new step is the only one
// left. A stack that was not clean stays not clean, and its clean state can no longer be reached
// by undoing (the saved work is not among what is left). Returns whether it emptied.
bool makeRoomForPictures(QUndoStack& stack, const QVector<QImage>& kept, qint64 budget = historyPictureBudget);

// Pushes command onto stack; without a stack the change is made (unless already applied) and
// the command dropped, so code that edits works the same with and without a history.
void execute(QUndoStack* stack, std::unique_ptr<QUndoCommand> command);

} // namespace tools
