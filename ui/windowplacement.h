#pragma once

#include <QMargins>
#include <QRect>
#include <QSize>

class QByteArray;
class QWidget;

namespace ui {

// Where a second window of size goes the first time it opens, beside the window at owner
// (frames in screen pixels): to its right when that fits in available (the screen's area
// without panels), else to its left, else against the edge of available on the side with more
// room, over as little of the owner as it can; always inside available, and shrunk to it when
// larger.
QRect placeBeside(const QRect& owner, QSize size, const QRect& available);

// A remembered frame (screen pixels) as it is to come back: where it was when it lies inside
// available, else shrunk to available's size where larger and moved the least to lie inside.
// frame itself when available is empty.
QRect fitInside(const QRect& frame, const QRect& available);

// The frame around the window kept in saved (QWidget::saveGeometry()) as it was then, or fallback
// when saved tells none (not such data, or the window was maximized).
QMargins rememberedFrame(const QByteArray& saved, const QMargins& fallback);

// QWidget::restoreGeometry(saved), also for data kept on a screen more than a quarter wider or
// narrower than the one it names now, which Qt refuses whole: such data is restored as if kept on
// that screen, for fitRestoredWindow() to bring inside it. False when saved is no such data.
// GUI thread.
bool restoreKeptGeometry(QWidget* window, const QByteArray& saved);

// Fits a window whose geometry was just restored from saved (before it is shown) into the
// available area of the screen it lies most on (fitInside()), its frame taken to be
// rememberedFrame(saved, fallbackFrame): when it was kept on a wider screen or is larger than
// that area. One kept on a screen as wide and no larger stays where it was, past an edge or not;
// a maximized or full-screen window is left to the window manager. GUI thread.
void fitRestoredWindow(QWidget* window, const QByteArray& saved, const QMargins& fallbackFrame);

} // namespace ui
