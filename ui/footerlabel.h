#pragma once

#include <QLabel>
#include <QPushButton>

namespace ui {

// text with each line break, of whatever kind, drawn as "↵": for a file's name in a place that
// holds one line (a footer, a window title).
QString oneLineText(QString text);

// The one-line footer of a window: text() is the whole message; what does not fit the width is
// cut with "…", and the message is shown whole as the label's tooltip and when it is clicked.
// The label never holds its window wider than the user wants it, nor grows taller. Plain text,
// one line: a line break in the text (a file named with one) is drawn as "↵". GUI thread only.
class FooterLabel : public QLabel
{
    Q_OBJECT

public:
    explicit FooterLabel(QWidget* parent = nullptr);

    // True when the text is wider than the label shows.
    bool isCut() const;
    // The text as drawn: whole, or cut to the width with "…", on one line.
    QString shownText() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
};

// A flat button in a footer whose text, when the footer leaves it too little width, is cut with
// "…" rather than mid-letter. GUI thread only.
class FooterButton : public QPushButton
{
    Q_OBJECT

public:
    explicit FooterButton(QWidget* parent = nullptr);

    // The text as drawn: whole, or cut to the width the button's style leaves it with "…".
    QString shownText() const;

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace ui
