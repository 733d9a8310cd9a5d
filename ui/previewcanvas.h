#pragma once

#include <QImage>
#include <QWidget>

namespace ui {

// Shows one picture, scaled to fit and centred, keeping its proportions, on a dark ground: the
// Preview window's picture. GUI thread only.
class PreviewCanvas : public QWidget
{
public:
    void setPicture(const QImage& picture);
    const QImage& picture() const { return shown; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage shown;
};

} // namespace ui
