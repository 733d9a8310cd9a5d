#pragma once

#include <QByteArray>

// Files a program is still writing under a temporary name, and the folders it made for them,
// removed when the program is interrupted (SIGINT, SIGTERM, SIGHUP or SIGPIPE, unless that signal
// is ignored) or calls exit() meanwhile, so that Ctrl+C, a SIGTERM, the end of the X session or
// the reader of its output going away (`| head`) leaves no half-made file in the user's folder.
// The signal then ends the program as it would have.
// Any thread. Any number of paths at once: the table grows (and never shrinks) as they come.
namespace core::interruptcleanup {

// Watches path (a NUL-terminated file name); returns a ticket for release(), or -1 for a path
// longer than PATH_MAX or when no memory is left for a larger table.
int watch(const char* path);
// Watches a folder the program made (a NUL-terminated name): removed, after the watched files,
// when the program is interrupted or calls exit() while the folder is empty; one that holds
// anything stays. Returns a ticket for release(), or -1 as watch() does.
int watchFolder(const char* path);
// Stops watching: the file was renamed into place or removed, or the folder is kept.
void release(int ticket);

// Creates a new file from *pattern (a path ending in "XXXXXX", which is filled in with the name
// made), watched before it exists, so that no moment of an interrupt leaves it behind.
// Opened O_RDWR | O_CLOEXEC, mode 0600. Returns its descriptor and sets *ticket (-1 when it
// could not be watched), or -1 with errno set and *ticket -1.
int createWatched(QByteArray* pattern, int* ticket);

// While on, an interrupt first erases the line the cursor is on at standard error ("\r\033[K"),
// so that a progress line the program keeps redrawn on a terminal does not stay there after it.
// Installs the handlers as watch() does. Any thread.
void clearTerminalLineOnInterrupt(bool on);

// Makes a write past the process's file size limit (RLIMIT_FSIZE, `ulimit -f`) fail with EFBIG,
// which every writer reports as a failed write, where SIGXFSZ would end the program with its
// work lost and its partial files left. Call once at start, before any thread is started.
void failWritesPastTheSizeLimit();

// The mkstemp pattern of a partial file beside target (a local path in bytes): its name with
// ".XXXXXX" added, the name cut at a character's start when it would outgrow the folder's limit
// on one name (255 bytes here), so that a package named at that limit can still be written.
QByteArray partialFilePattern(const QByteArray& target);

} // namespace core::interruptcleanup
