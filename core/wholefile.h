#pragma once

#include <QByteArray>
#include <QString>

namespace core {

// Replaces the file at path by bytes, or leaves it as it was: the bytes are written beside it and
// moved over it only once every one of them is on the disk, keeping the file's permissions and
// following a symbolic link to it. (QSaveFile::commit() alone moves the file into place even when
// the last bytes it buffered could not be written, on a full disk, and its partial file is not
// removed on an interrupt where the file system makes no unnamed files.) The partial file is
// removed on SIGINT, SIGTERM or SIGHUP meanwhile (interruptcleanup). Returns an empty string on
// success, else why it failed. Any thread.
QString writeWholeFile(const QString& path, const QByteArray& bytes);

} // namespace core
