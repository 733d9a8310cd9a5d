#pragma once

namespace ui {

// Ends the process with status about a second from now, whatever is still running: work on a
// worker (the detection of a large picture, which cannot be interrupted) must not keep the
// process alive once the window is closed, its work saved or discarded already. When no thread
// can be had for the wait (the limit of processes, `ulimit -u`), it ends at once. Any thread.
void endProgramSoon(int status);

} // namespace ui
