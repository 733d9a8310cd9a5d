#pragma once

#include "icontroller.h"

#include <memory>

class QUndoStack;

namespace core {
class FacialPoints;
}

namespace tools {

// Paints a facial point model's picture stretched over the view, draws a numbered red marker on
// every point and drags single points. The model's points are fractions of the picture size;
// positions, sizes and rectangles passed in are view pixels. GUI thread only (uses QPixmap).
//
// A view with zero width or height shows nothing and takes no mouse input: paint draws nothing
// and the mouse operations return false without touching the model. Points whose coordinates
// are not finite are neither drawn nor hit; points far outside [0, 1] are handled like any
// other point that lies outside the view.
class FacialPointsController : public IController
{
public:
    FacialPointsController();
    ~FacialPointsController() override;

    core::FacialPoints* facialPoints() const;
    // Attaches a model (not owned); null detaches. Drops the cached picture. Attaching the model
    // that is already attached does nothing.
    void setFacialPoints(core::FacialPoints* points);

    // Draws the exposed part of the picture, then the markers that overlap it.
    void paint(QPaintDevice* device, const QRect& exposed, QSize viewSize) override;
    // Grabs the first point (in index order) whose 12 x 12 pixel square contains the position.
    bool mousePress(QPoint position, QSize viewSize) override;
    // Moves the grabbed point with the cursor, keeping its offset; clamps it into [0, 1].
    bool mouseMove(QPoint position, QSize viewSize) override;
    // Ends a drag; false when no point was grabbed.
    bool mouseRelease(QPoint position, QSize viewSize) override;

    // Edits are pushed as undo steps onto stack (not owned); null applies them directly.
    void setUndoStack(QUndoStack* stack);
    QUndoStack* undoStack() const;

    // Index of the point being dragged, -1 when idle.
    int selectedIndex() const;

private:
    Q_DISABLE_COPY(FacialPointsController)
    class Impl;
    std::unique_ptr<Impl> d;
};

} // namespace tools
