#include "framesource.h"

namespace ui {

FrameSource::~FrameSource() = default;

} // namespace ui
