#pragma once
// The point view's private state, shared by the files that implement it: pointview.cpp (the
// widget, its model, the mouse, the wheel and painting), pointviewkeyboard.cpp (keys and paste),
// pointviewpictures.cpp (pictures coming in, their detection and the face menu) and
// pointviewmesh.cpp (the mesh and its folds). Not for use outside those files.

#include "ui/detectionflow.h"
#include "ui/meshoverlay.h"
#include "ui/pictureintake.h"
#include "ui/pointview.h"
#include "ui/prompts.h"
#include "ui/viewnavigation.h"
#include "tools/facialpointscontroller.h"
#include "tools/viewport.h"
#include "tools/viewtransform.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>
#include <vector>

class QImage;
class QKeyEvent;
class QMenu;
class QPainter;
class QUndoStack;

namespace ui {

class PointView::Impl : public QObject
{
public:
    Impl(PointView* owner, core::FacialPointsDetector* detector, PromptSession* given)
        : q(owner)
        , ownSession(given ? nullptr : std::make_unique<PromptSession>())
        , session(given ? *given : *ownSession)
        , detection(detector, session)
        , intake(&session)
    {
        viewport.setViewSizeSource([owner] { return owner->size(); });
    }

    // The new picture and whatever the question did to the points are one undo step, recorded
    // once the question has been answered; the detection that follows is a step of its own.
    void takeImage(const QImage& image);
    void paintOtherFaces(QPainter& painter) const;
    void refreshFolds();
    void paintMesh(QPainter& painter, const tools::ViewTransform& transform) const;
    void refreshPointInfo();
    QString pointInfo() const;
    bool handleEditingKey(QKeyEvent* event);
    void keepSelectionVisible();
    void stopPanning();
    void reportCursor(QPoint position);
    const tools::ViewTransform& transform() const { return viewport.transform(); }

    PointView* q;
    // The view's layout; its size is the widget's, read whenever the layout is.
    tools::Viewport viewport;
    tools::FacialPointsController controller{viewport};
    std::unique_ptr<PromptSession> ownSession;
    // The window's, or ownSession: what the detection and the intake ask through.
    PromptSession& session;
    DetectionFlow detection;
    PictureIntake intake;
    QPointer<QUndoStack> undoStack;
    // The open face menu; while it exists the faces it offers are outlined.
    QPointer<QMenu> faceMenu;
    QString lastPointInfo;
    QString lastCursorText;
    // Scroll bars and the overview, children of the view.
    ViewNavigation* navigation = nullptr;
    bool spaceHeld = false;
    // The button holding the pan, while one runs.
    Qt::MouseButton panButton = Qt::NoButton;
    bool showMesh = false;
    // The triangles the points fold, and those too small in the picture, kept up to date with
    // every change of the points.
    std::vector<preview::FaceTriangle> folded;
    std::vector<preview::FaceTriangle> tooSmall;
    QString foldedMessage;
};

} // namespace ui
