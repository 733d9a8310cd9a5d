#pragma once

#include <QString>

// An input file of a command, opened and checked before any reader looks at it: only a regular
// file is read, so that a FIFO without a writer or a device cannot hang or flood a command.
// The readers of core open files by name, so they are handed readPath(), a name that reaches
// the very file checked here even when the name given is replaced meanwhile. Any thread; one
// object per input, kept alive while the file is read.
namespace cli {

class InputFile
{
public:
    explicit InputFile(const QString& path);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // Empty when the file is open; otherwise "no such file", "is a folder", "not a regular
    // file" or "cannot be opened: REASON".
    QString failure() const { return m_failure; }
    // The name to read the checked file by; the given path when it could not be opened.
    QString readPath() const { return m_readPath; }

private:
    int m_descriptor = -1;
    QString m_failure;
    QString m_readPath;
};

} // namespace cli
