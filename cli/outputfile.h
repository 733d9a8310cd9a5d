#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>
#include <utility>
#include <vector>

// A file a command writes, made safe to ask for by name:
// - a symbolic link is followed to the file it finally names, which is the one replaced;
// - only a regular file is ever replaced (never a FIFO, a device or a folder), and never one of
//   the command's own inputs, with or without --force;
// - an existing file is kept unless replacing is asked for; the check is made again, atomically,
//   when the finished file is moved into place, so a file that appears meanwhile is kept too;
// - the content goes into a temporary file beside the target, flushed to the disk and renamed
//   over the target only when complete; until then the target is untouched.
// Any thread; one object per output.
class QImage;

namespace cli {

// Makes the folder at path and those above it that are missing; made receives the ones made,
// outermost first. Returns 0, or the system's error (ENOTDIR for a name taken by a file), and
// then leaves none of the folders it made behind. A folder made is removed if it is still empty
// when the program is interrupted or ends. Any thread.
int makeFolders(const QString& path, QStringList* made);
// Removes the folders made lists, innermost first, where they are still empty; those left are
// no longer removed when the program ends.
void removeEmptyFolders(const QStringList& made);

// picture as PNG bytes, ready for OutputFile::write; empty for a null picture or a failed encode.
QByteArray pngBytes(const QImage& picture);

// The files a command reads, told by device and inode (links followed, so that no other name of
// one is written either). Taken once for a whole batch and shared by its outputs: a batch of
// thousands of pictures is looked at once, not once per output. A file that cannot be looked at
// is left out. Any thread once made.
class InputFiles
{
public:
    explicit InputFiles(const QStringList& paths);
    // Whether the file with this device and inode is one of the inputs.
    bool contains(quint64 device, quint64 inode) const;

private:
    std::vector<std::pair<quint64, quint64>> m_sorted;
};

// The files the outputs of one command have written so far, told by device and inode: two
// names that reach one file (a file system that ignores case, a link among the outputs) give
// one file, and the second output must not replace what the first wrote. Shared by the outputs
// of a batch; any thread.
class WrittenFiles
{
public:
    WrittenFiles();
    ~WrittenFiles();
    WrittenFiles(const WrittenFiles&) = delete;
    WrittenFiles& operator=(const WrittenFiles&) = delete;

private:
    friend class OutputFile;
    struct Impl;
    std::unique_ptr<Impl> d;
};

class OutputFile
{
public:
    // inputs: the files the command reads; the target may not be one of them.
    OutputFile(const QString& path, bool replaceExisting, const QStringList& inputs);
    OutputFile(const QString& path, bool replaceExisting, std::shared_ptr<const InputFiles> inputs);
    ~OutputFile();  // removes the temporary file unless committed
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Writes into an existing empty regular file itself, without --force and without a temporary
    // file: a thumbnail service makes the file, keeps it open and reads what lands in it, so
    // a file renamed over it would never be seen. An empty file holds nothing to lose.
    void fillExistingEmptyFile();
    // Records the committed file in written, and refuses to replace a file recorded there by
    // another output of the command, with or without --force. Before prepare().
    void recordIn(std::shared_ptr<WrittenFiles> written);
    // Checks the target and creates the temporary file. False when the target may not be
    // written; failure() then says why.
    bool prepare();
    // The temporary file to write the content into, after prepare().
    QString temporaryPath() const;
    // Writes bytes into the temporary file (the simple case of one block).
    bool write(const QByteArray& bytes);
    // Moves the complete temporary file into place. False, with failure() set and the target
    // as it was, when it may no longer be written or the move fails.
    bool commit();
    // Encodes picture as PNG, writes and commits it: the whole output of a command that writes
    // one picture. False with failure() set ("out of memory; ..." when it cannot be encoded).
    bool writePicture(const QImage& picture);

    // "PATH exists (--force replaces it)", "cannot write PATH: No such file or directory", ...
    QString failure() const;
    // Sets failure() after the content could not be made or written: "out of memory; PATH not
    // written" for ENOMEM, "cannot write PATH: " and the reason for any other error number (disk
    // full, I/O error, permission denied), "cannot write PATH" for 0.
    void failedWriting(int error);
    // Sets failure() when the content was made but refused by a check of its own:
    // "PATH not written: " and the reason.
    void failedChecking(const QString& reason);

private:
    class Impl;
    std::unique_ptr<Impl> d;
};

} // namespace cli
