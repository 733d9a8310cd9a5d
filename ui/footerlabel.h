#pragma once

#include <QLabel>

namespace ui {

// The one-line footer of a window: text() is the whole message; what does not fit the width is
// cut with "…", and the message is shown whole as the label's tooltip and when it is clicked.
// The label never holds its window wider than the user wants it, nor grows taller. Plain text,
// one line. GUI thread only.
class FooterLabel : public QLabel
{
    Q_OBJECT

public:
    explicit FooterLabel(QWidget* parent = nullptr);

    // True when the text is wider than the label shows.
    bool isCut() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
};

} // namespace ui
