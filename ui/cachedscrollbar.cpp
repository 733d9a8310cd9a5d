#include "ui/cachedscrollbar.h"

#include <QEvent>
#include <QPainter>
#include <QStyle>

namespace ui {

namespace {

// Everything of the option that the style draws from, when nothing is hovered or pressed.
bool sameLook(const QStyleOptionSlider& a, const QStyleOptionSlider& b)
{
    return a.rect == b.rect && a.state == b.state && a.direction == b.direction
        && a.palette == b.palette && a.minimum == b.minimum && a.maximum == b.maximum
        && a.sliderPosition == b.sliderPosition && a.sliderValue == b.sliderValue
        && a.pageStep == b.pageStep && a.singleStep == b.singleStep
        && a.orientation == b.orientation && a.upsideDown == b.upsideDown
        && a.subControls == b.subControls && a.activeSubControls == b.activeSubControls;
}

} // namespace

CachedScrollBar::CachedScrollBar(Qt::Orientation orientation, QWidget* parent)
    : QScrollBar(orientation, parent)
{
}

CachedScrollBar::~CachedScrollBar() = default;

void CachedScrollBar::paintEvent(QPaintEvent* event)
{
    if (underMouse() || isSliderDown()) {
        // The hovered or pressed part is known to QScrollBar alone.
        m_drawing = QPixmap();
        ++m_styleDraws;
        QScrollBar::paintEvent(event);
        return;
    }
    QStyleOptionSlider option;
    initStyleOption(&option);
    option.subControls = QStyle::SC_All;
    option.activeSubControls = QStyle::SC_None;
    const qreal ratio = devicePixelRatioF();
    if (m_drawing.isNull() || m_drawing.devicePixelRatioF() != ratio || !sameLook(option, m_drawn)) {
        m_drawing = QPixmap(size() * ratio);
        m_drawing.setDevicePixelRatio(ratio);
        m_drawing.fill(Qt::transparent);
        QPainter painter(&m_drawing);
        style()->drawComplexControl(QStyle::CC_ScrollBar, &option, &painter, this);
        m_drawn = option;
        ++m_styleDraws;
    }
    QPainter painter(this);
    painter.drawPixmap(0, 0, m_drawing);
}

void CachedScrollBar::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::StyleChange) {
        m_drawing = QPixmap();
    }
    QScrollBar::changeEvent(event);
}

} // namespace ui
