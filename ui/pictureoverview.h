#pragma once

#include <QImage>
#include <QPixmap>
#include <QRectF>
#include <QWidget>

class QPainter;

namespace ui {

// A small copy of the whole picture with the part the view shows framed, for finding one's way
// while zoomed in. A click or a drag in it asks for that place at the centre of the view.
// Places and rectangles are fractions of the picture's width and height. GUI thread only.
class PictureOverview : public QWidget
{
    Q_OBJECT

public:
    // The longest side of the small picture, in device-independent pixels.
    static constexpr int longestSide = 160;

    explicit PictureOverview(QWidget* parent = nullptr);
    ~PictureOverview() override;

    // Keeps a reduced copy of picture (a null picture shows nothing) and resizes to it.
    void setPicture(const QImage& picture);
    // The part of the picture the view shows; framed when it is smaller than the whole.
    void setVisibleRect(const QRectF& fractions);
    QRectF visibleRect() const;

    // Where the small picture is drawn, in widget pixels (inside a one-pixel border).
    QRect pictureArea() const;
    QSize sizeHint() const override;

signals:
    // The user pressed or dragged at fraction of the picture (clamped to [0, 1]).
    void centreRequested(const QPointF& fraction);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void requestAt(const QPoint& widgetPixel);
    void drawInto(QPainter& painter) const;

    QImage m_small;
    // What paintEvent last drew, showing m_drawnVisible; null when the picture changed since.
    QPixmap m_drawing;
    QRectF m_drawnVisible;
    QRectF m_visible{0, 0, 1, 1};
    bool m_dragging = false;
};

} // namespace ui
