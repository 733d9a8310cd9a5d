#pragma once

#include <chrono>

namespace ui {

// Ends the process with status about a second from now, whatever is still running: work on a
// worker (the detection of a large picture, which cannot be interrupted) must not keep the
// process alive once the window is closed, its work saved or discarded already. When no thread
// can be had for the wait (the limit of processes, `ulimit -u`), it ends at once. Any thread.
void endProgramSoon(int status);
// The settings stored so far are written first, waited for at most writesTimeout (a disk that does
// not answer must not keep the process alive either); then endProgramSoon(status). The window's
// thread, once its event loop has ended.
void endProgramAfterSettings(int status, std::chrono::milliseconds writesTimeout);

} // namespace ui
