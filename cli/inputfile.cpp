#include "cli/inputfile.h"

#include "cli/commandline.h"
#include "core/systemreason.h"

#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cli {

namespace {

QString kindProblem(mode_t mode)
{
    return S_ISDIR(mode) ? QStringLiteral("is a folder") : QStringLiteral("not a regular file");
}

QString openProblem(int error)
{
    if (error == ENOENT) {
        return QStringLiteral("no such file");
    }
    return QStringLiteral("cannot be opened: ") + core::systemReason(error);
}

} // namespace

InputFile::InputFile(const QString& path) : m_readPath(path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat before {};
    // Told from the name first: opening some devices has effects of its own.
    if (::stat(name.constData(), &before) != 0) {
        m_failure = openProblem(errno);
        return;
    }
    if (!S_ISREG(before.st_mode)) {
        m_failure = kindProblem(before.st_mode);
        return;
    }
    // O_NONBLOCK: if a FIFO took the file's place since, the open returns instead of waiting.
    // A signal that interrupts it (on a network file system) is no failure of the file.
    do {
        m_descriptor = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (m_descriptor < 0 && errno == EINTR);
    struct stat opened {};
    if (m_descriptor < 0) {
        m_failure = openProblem(errno);
        return;
    }
    if (::fstat(m_descriptor, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        m_failure = kindProblem(opened.st_mode);
        return;
    }
    const QString byDescriptor = QStringLiteral("/proc/self/fd/%1").arg(m_descriptor);
    struct stat reached {};
    if (::stat(QFile::encodeName(byDescriptor).constData(), &reached) == 0
        && reached.st_dev == opened.st_dev && reached.st_ino == opened.st_ino) {
        m_readPath = byDescriptor;
    }
}

InputFile::~InputFile()
{
    if (m_descriptor >= 0) {
        ::close(m_descriptor);
    }
}

} // namespace cli
