#pragma once

#include <QObject>
#include <QPoint>
#include <QRect>
#include <QSize>

class QPaintDevice;

namespace tools {

// A view interaction tool: paints the view's content and turns mouse input into model changes.
// Positions, sizes and rectangles are in view pixels. GUI thread only.
class IController : public QObject
{
    Q_OBJECT
public:
    ~IController() override;

    virtual void paint(QPaintDevice* device, const QRect& exposed, QSize viewSize) = 0;
    // Each returns true when the tool handled the event.
    virtual bool mousePress(QPoint position, QSize viewSize) = 0;
    virtual bool mouseMove(QPoint position, QSize viewSize) = 0;
    virtual bool mouseRelease(QPoint position, QSize viewSize) = 0;

signals:
    // The view must repaint.
    void needUpdate();
};

} // namespace tools
