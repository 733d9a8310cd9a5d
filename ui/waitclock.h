#pragma once

// The clock of the waits a user sees: from a paste, an open or a drop to the markers on the
// screen. Each step logs the milliseconds since the wait began under the logging category
// "facemask.timing", which is off unless asked for:
//   QT_LOGGING_RULES="facemask.timing=true" facemask
// prints lines like "facemask.timing: 212.4 ms markers painted (since paste)".
// GUI thread only.
namespace ui::waitclock {

// Starts a wait named what, forgetting the steps of the previous one.
void begin(const char* what);
// Logs step once per wait; nothing before the first begin().
void step(const char* step);

}  // namespace ui::waitclock
