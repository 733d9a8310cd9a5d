#include "ui/viewnavigation.h"

#include "ui/cachedscrollbar.h"
#include "ui/pictureoverview.h"
#include "tools/viewport.h"
#include "tools/viewtransform.h"

#include <QImage>
#include <QScrollBar>
#include <QWidget>

#include <cmath>

namespace ui {

namespace {
// View pixels a click on a bar's arrow scrolls, as one wheel notch does.
constexpr int barStep = 40;
// The overview's distance from the view's edges.
constexpr int overviewMargin = 8;
} // namespace

ViewNavigation::ViewNavigation(QWidget* view, tools::Viewport* viewport)
    : QObject(view)
    , m_view(view)
    , m_viewport(viewport)
    , m_horizontal(new CachedScrollBar(Qt::Horizontal, view))
    , m_vertical(new CachedScrollBar(Qt::Vertical, view))
    , m_overview(new PictureOverview(view))
    , m_corner(new QWidget(view))
{
    m_corner->setObjectName(QStringLiteral("scrollBarCorner"));
    m_corner->setAutoFillBackground(true);
    m_corner->setBackgroundRole(QPalette::Window);
    m_corner->hide();
    m_horizontal->setObjectName(QStringLiteral("horizontalScrollBar"));
    m_vertical->setObjectName(QStringLiteral("verticalScrollBar"));
    m_overview->setObjectName(QStringLiteral("pictureOverview"));
    // The picture is never mirrored, so neither is the bar that pans it: in a right-to-left
    // layout Qt would put its minimum (the picture's left edge) at the right.
    m_horizontal->setLayoutDirection(Qt::LeftToRight);
    for (QScrollBar* bar : {m_horizontal, m_vertical}) {
        bar->setSingleStep(barStep);
        // The keys belong to the points; the bars are for the mouse.
        bar->setFocusPolicy(Qt::NoFocus);
        bar->hide();
        connect(bar, &QScrollBar::valueChanged, this,
                [this, bar](int value) { barMoved(bar->orientation(), value); });
    }
    m_overview->setFocusPolicy(Qt::NoFocus);
    m_overview->setCursor(Qt::PointingHandCursor);
    m_overview->hide();
    connect(m_overview, &PictureOverview::centreRequested, this, &ViewNavigation::centreOn);
}

ViewNavigation::~ViewNavigation() = default;

void ViewNavigation::setPicture(const QImage& picture)
{
    m_hasPicture = !picture.isNull();
    m_overview->setPicture(picture);
    sync();
}

void ViewNavigation::setShowOverview(bool show)
{
    m_showOverview = show;
    sync();
}

void ViewNavigation::sync()
{
    const tools::ViewTransform& transform = m_viewport->transform();
    const QSize view = m_view->size();
    const QSizeF laidOut = transform.pictureRect().size();
    const bool valid = transform.isValid() && !laidOut.isEmpty();
    const int barWidth = m_vertical->sizeHint().width();
    const int barHeight = m_horizontal->sizeHint().height();
    const bool overviewShown = m_showOverview && m_hasPicture && valid
        && transform.zoom() > overviewZoom;
    const QSize overviewSize = m_overview->sizeHint();
    // The overview lies over the top of a strip along the right edge, its margins included.
    const int overviewStrip = overviewShown ? overviewSize.width() + 2 * overviewMargin : 0;
    // Half a pixel of slack: a picture that fits but for rounding needs no bar. One bar narrows
    // the view for the other axis: a picture that fits the view, but not beside that bar, needs
    // the other bar too.
    const bool tallAlone = valid && laidOut.height() > view.height() + 0.5;
    const bool wide = valid && laidOut.width() > view.width() - (tallAlone ? barWidth : 0) - overviewStrip + 0.5;
    const bool tall = valid && laidOut.height() > view.height() - (wide ? barHeight : 0) + 0.5;
    // The bars lie over the view's right and bottom strips, and the overview over the top of the
    // strip beside the vertical bar: scrolled to the picture's far edges, it ends beside them,
    // so that markers on those edges and in its top right corner can still be grabbed. A change
    // of layout here comes back through the viewport's change signal, which syncs again.
    const QSizeF covered((tall ? barWidth : 0) + overviewStrip, wide ? barHeight : 0);
    m_viewport->setCoveredEdges(covered);
    const QRectF picture = transform.pictureRect();

    m_syncing = true;
    if (wide) {
        m_horizontal->setRange(0, int(std::lround(picture.width() - view.width() + covered.width())));
        m_horizontal->setPageStep(view.width());
        m_horizontal->setValue(int(std::lround(-picture.x())));
        m_horizontal->setGeometry(0, view.height() - barHeight,
                                  view.width() - (tall ? barWidth : 0), barHeight);
    }
    if (tall) {
        m_vertical->setRange(0, int(std::lround(picture.height() - view.height() + covered.height())));
        m_vertical->setPageStep(view.height());
        m_vertical->setValue(int(std::lround(-picture.y())));
        m_vertical->setGeometry(view.width() - barWidth, 0, barWidth,
                                view.height() - (wide ? barHeight : 0));
    }
    m_syncing = false;
    m_horizontal->setVisible(wide);
    m_vertical->setVisible(tall);
    if (wide && tall) {
        m_corner->setGeometry(view.width() - barWidth, view.height() - barHeight, barWidth, barHeight);
    }
    m_corner->setVisible(wide && tall);

    if (overviewShown) {
        const QRectF seen = transform.toFraction(QRectF(QPointF(0, 0), QSizeF(view)));
        m_overview->setVisibleRect(seen.intersected(QRectF(0, 0, 1, 1)));
        m_overview->setGeometry(view.width() - overviewSize.width() - overviewMargin - (tall ? barWidth : 0),
                                overviewMargin, overviewSize.width(), overviewSize.height());
        m_overview->raise();
    }
    m_overview->setVisible(overviewShown);
}

void ViewNavigation::barMoved(Qt::Orientation orientation, int value)
{
    if (m_syncing) {
        return;
    }
    // The bar's value is how far the picture's left (top) edge lies left of (above) the view.
    const QRectF picture = m_viewport->transform().pictureRect();
    if (orientation == Qt::Horizontal) {
        m_viewport->pan(QPointF(-(value + picture.x()), 0));
    } else {
        m_viewport->pan(QPointF(0, -(value + picture.y())));
    }
}

void ViewNavigation::centreOn(const QPointF& fraction)
{
    const tools::ViewTransform& transform = m_viewport->transform();
    const QPointF middle(0.5 * m_view->width(), 0.5 * m_view->height());
    m_viewport->pan(middle - transform.toView(fraction));
}

} // namespace ui
