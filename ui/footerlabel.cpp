#include "ui/footerlabel.h"

#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QToolTip>

namespace ui {

QString oneLineText(QString text)
{
    const QChar mark(0x21B5);
    text.replace(QLatin1String("\r\n"), QString(mark));
    for (const QChar lineBreak : {QChar(u'\n'), QChar(u'\r'), QChar(u'\v'), QChar(u'\f'), QChar(QChar::LineSeparator),
                                  QChar(QChar::ParagraphSeparator), QChar(0x0085)}) {
        text.replace(lineBreak, mark);
    }
    return text;
}

FooterLabel::FooterLabel(QWidget* parent)
    : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    setSizePolicy(QSizePolicy::Ignored, sizePolicy().verticalPolicy());
}

bool FooterLabel::isCut() const
{
    return fontMetrics().horizontalAdvance(oneLineText(text())) > contentsRect().width();
}

QString FooterLabel::shownText() const
{
    const QString line = oneLineText(text());
    return isCut() ? fontMetrics().elidedText(line, Qt::ElideRight, contentsRect().width()) : line;
}

QSize FooterLabel::sizeHint() const
{
    // QLabel would make a line of its own of each line of the text.
    QSize hint = QLabel::sizeHint();
    if (oneLineText(text()) == text()) {
        return hint;
    }
    const QMargins margins = contentsMargins();
    hint.setHeight(fontMetrics().height() + margins.top() + margins.bottom() + 2 * margin());
    return hint;
}

QSize FooterLabel::minimumSizeHint() const
{
    QSize hint = QLabel::minimumSizeHint();
    if (oneLineText(text()) != text()) {
        hint.setHeight(sizeHint().height());
    }
    return hint;
}

void FooterLabel::paintEvent(QPaintEvent* event)
{
    if (!isCut() && shownText() == text()) {
        QLabel::paintEvent(event);
        return;
    }
    QPainter painter(this);
    style()->drawItemText(&painter, contentsRect(), QStyle::visualAlignment(layoutDirection(), alignment()),
                          palette(), isEnabled(), shownText(), foregroundRole());
}

bool FooterLabel::event(QEvent* event)
{
    if (event->type() == QEvent::ToolTip && toolTip().isEmpty()) {
        auto* help = static_cast<QHelpEvent*>(event);
        if (isCut()) {
            QToolTip::showText(help->globalPos(), text(), this);
        } else {
            QToolTip::hideText();
            event->ignore();
        }
        return true;
    }
    return QLabel::event(event);
}

void FooterLabel::mousePressEvent(QMouseEvent* event)
{
    if (isCut() && event->button() == Qt::LeftButton) {
        QToolTip::showText(event->globalPos(), text(), this);
        event->accept();
        return;
    }
    QLabel::mousePressEvent(event);
}

FooterButton::FooterButton(QWidget* parent)
    : QPushButton(parent)
{
}

QString FooterButton::shownText() const
{
    QStyleOptionButton option;
    initStyleOption(&option);
    const QRect area = style()->subElementRect(QStyle::SE_PushButtonContents, &option, this);
    return fontMetrics().elidedText(text(), Qt::ElideRight, area.width());
}

void FooterButton::paintEvent(QPaintEvent*)
{
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    option.text = shownText();
    painter.drawControl(QStyle::CE_PushButton, option);
}

} // namespace ui
