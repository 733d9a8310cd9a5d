#include "ui/framesource.h"

namespace ui {

FrameSource::~FrameSource() = default;

} // namespace ui
