#pragma once

// The view's navigation chrome: scroll bars along the right and bottom edges while the picture
// is larger than the view (they pan the view's Viewport), and the picture overview in the top
// right corner while zoomed beyond overviewZoom, with the visible part framed; a click or drag
// in it centres the view there. Both are children of the view, laid over its edges, and follow
// the Viewport. GUI thread only.

#include <QObject>

class QImage;
class QScrollBar;
class QWidget;

namespace tools {
class Viewport;
}

namespace ui {

class PictureOverview;

class ViewNavigation : public QObject
{
    Q_OBJECT
public:
    // The overview shows above this zoom.
    static constexpr double overviewZoom = 4.0;

    // view and viewport are not owned and must outlive this object.
    ViewNavigation(QWidget* view, tools::Viewport* viewport);
    ~ViewNavigation() override;

    // The picture the overview shows (a null picture: none).
    void setPicture(const QImage& picture);
    // View → Show Overview.
    void setShowOverview(bool show);
    bool showOverview() const { return m_showOverview; }

    QScrollBar* horizontalBar() const { return m_horizontal; }
    QScrollBar* verticalBar() const { return m_vertical; }
    PictureOverview* overview() const { return m_overview; }
    // The square where the two bars meet, filled as the window is.
    QWidget* corner() const { return m_corner; }

    // Lays the bars and the overview out for the viewport's current state (after a change of
    // the layout or of the view's size).
    void sync();

private:
    void barMoved(Qt::Orientation orientation, int value);
    void centreOn(const QPointF& fraction);

    QWidget* m_view;
    tools::Viewport* m_viewport;
    QScrollBar* m_horizontal;
    QScrollBar* m_vertical;
    PictureOverview* m_overview;
    QWidget* m_corner;
    bool m_showOverview = true;
    bool m_hasPicture = false;
    // Set while sync() writes the bars, so that their signals do not pan back.
    bool m_syncing = false;
};

} // namespace ui
