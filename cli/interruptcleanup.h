#pragma once

// Files a command is still writing under a temporary name, removed when the command is
// interrupted (SIGINT, SIGTERM or SIGHUP, unless that signal is ignored), so that Ctrl+C leaves
// no half-made file in the user's folder. The signal then ends the program as it would have.
// Any thread. At most 64 paths are held at once; further ones are simply not watched.
namespace cli::interruptcleanup {

// Watches path (a NUL-terminated file name); returns a ticket for release(), or -1.
int watch(const char* path);
// Stops watching: the file was renamed into place or removed.
void release(int ticket);

} // namespace cli::interruptcleanup
