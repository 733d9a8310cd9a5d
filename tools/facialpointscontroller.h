#pragma once

#include "icontroller.h"

#include <memory>

namespace core {
class FacialPoints;
}

namespace tools {

// Paints a facial point model's picture stretched over the view, draws a numbered red marker on
// every point and drags single points. Points are fractions of the view size.
class FacialPointsController : public IController
{
public:
    FacialPointsController();
    ~FacialPointsController() override;

    core::FacialPoints* facialPoints() const;
    // Attaches a model (not owned); null detaches. Drops the cached picture.
    void setFacialPoints(core::FacialPoints* points);

    void paint(QPaintDevice* device, const QRect& exposed, QSize viewSize) override;
    bool mousePress(QPoint position, QSize viewSize) override;
    bool mouseMove(QPoint position, QSize viewSize) override;
    bool mouseRelease(QPoint position, QSize viewSize) override;

    // Index of the point being dragged, -1 when idle.
    int selectedIndex() const;

private:
    Q_DISABLE_COPY(FacialPointsController)
    class Impl;
    std::unique_ptr<Impl> d;
};

} // namespace tools
