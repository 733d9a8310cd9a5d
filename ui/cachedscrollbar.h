#pragma once

#include <QPixmap>
#include <QScrollBar>
#include <QStyleOptionSlider>

namespace ui {

// A scroll bar laid over a view that repaints often (every marker drag repaints what lies
// beneath the bar): while the mouse is neither over it nor holding it, it keeps its last drawing
// and paints that again until its range, value, size, state or style changes. Under the mouse
// it draws as a plain QScrollBar does, hover and pressed parts included. GUI thread only.
class CachedScrollBar : public QScrollBar
{
    Q_OBJECT

public:
    explicit CachedScrollBar(Qt::Orientation orientation, QWidget* parent = nullptr);
    ~CachedScrollBar() override;

    // How many times the bar was drawn through the style (not from its kept drawing).
    int styleDrawCount() const { return m_styleDraws; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    QStyleOptionSlider m_drawn;
    QPixmap m_drawing;
    int m_styleDraws = 0;
};

} // namespace ui
