#pragma once

#include <QObject>
#include <QPoint>
#include <QRect>

class QPaintDevice;

namespace tools {

// A view interaction tool: paints the view's content and turns mouse input into model changes.
// Positions and rectangles are in view pixels; the view's layout (its size among it) is the
// tool's view transform, which the view owns. GUI thread only.
class IController : public QObject
{
    Q_OBJECT
public:
    ~IController() override;

    virtual void paint(QPaintDevice* device, const QRect& exposed) = 0;
    // Each returns true when the tool handled the event.
    virtual bool mousePress(QPoint position) = 0;
    virtual bool mouseMove(QPoint position) = 0;
    virtual bool mouseRelease(QPoint position) = 0;

signals:
    // The view must repaint.
    void needUpdate();
};

} // namespace tools
