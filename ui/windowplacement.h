#pragma once

#include <QRect>
#include <QSize>

namespace ui {

// Where a second window of size goes the first time it opens, beside the window at owner
// (frames in screen pixels): to its right when that fits in available (the screen's area
// without panels), else to its left, else over it; always inside available, and shrunk to it
// when larger.
QRect placeBeside(const QRect& owner, QSize size, const QRect& available);

} // namespace ui
