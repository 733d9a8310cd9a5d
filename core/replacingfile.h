#pragma once

#include <QByteArray>
#include <QString>

namespace core {

// A file written beside its target and moved into place only once it is complete, so that a
// failed write never costs the user the file that was there before. Unless committed, the
// partial file is removed when this goes out of scope, or by the program's end on SIGINT,
// SIGTERM or SIGHUP meanwhile (interruptcleanup): it has a name from the start and is watched
// before it exists. Any thread; one object on one thread at a time.
class ReplacingFile
{
public:
    // path: a local file name; a symbolic link keeps pointing at the file, which is replaced.
    explicit ReplacingFile(const QString& path);
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    // Creating the partial file first finds an unwritable folder before any work is done.
    // False with *error set to the system's error number.
    bool open(int* error);

    // The partial file's descriptor, -1 before open() and after commit().
    int descriptor() const { return m_descriptor; }

    // The file replaced: path with its links followed.
    QString target() const { return m_target; }

    // Moves the partial file over the target, with the target's permissions (a new file's mode
    // for a new target). The bytes reach the disk before the rename and the rename before
    // success is told. False with *why and *error (the system's error number) set.
    bool commit(QString* why, int* error);

private:
    QString partialPath() const;
    void syncFolder() const;

    QString m_target;
    QByteArray m_partial; // local bytes; empty until open() made it
    int m_descriptor = -1;
    bool m_committed = false;
    int m_cleanupTicket = -1;
};

} // namespace core
