#include "core/interruptcleanup.h"

#include <atomic>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include <cerrno>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace core::interruptcleanup {

namespace {

constexpr int slotsPerBlock = 64;
enum SlotState : int { Free, Filling, Watched };

// Fixed memory, so that the handler calls nothing but unlink(2) and rmdir(2), which are safe in
// a signal handler. A block is complete before it is linked in and is never freed, so the
// handler walks only memory that was written before it could be reached.
struct Slot {
    std::atomic<int> state{Free};
    bool folder = false; // set before state becomes Watched
    char path[PATH_MAX];
};
struct Block {
    Slot slots[slotsPerBlock];
    std::atomic<Block*> next{nullptr};
};
Block firstBlock;
std::once_flag installed;
std::atomic<bool> clearLineFirst{false};

void removeWatched()
{
    for (Block* block = &firstBlock; block; block = block->next.load()) {
        for (Slot& slot : block->slots) {
            if (slot.state.load() == Watched && !slot.folder) {
                ::unlink(slot.path);
            }
        }
    }
    // Then the folders, emptied of those files: an outer one can go only after the one inside it,
    // in whatever slots they are, so the rounds go on while one goes.
    for (bool removedOne = true; removedOne;) {
        removedOne = false;
        for (Block* block = &firstBlock; block; block = block->next.load()) {
            for (Slot& slot : block->slots) {
                if (slot.state.load() == Watched && slot.folder && ::rmdir(slot.path) == 0) {
                    removedOne = true;
                }
            }
        }
    }
}

extern "C" void removeWatchedFiles(int signal)
{
    if (clearLineFirst.load()) {
        const int kept = errno;
        static const char clearLine[] = "\r\033[K";
        [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, clearLine, sizeof clearLine - 1);
        errno = kept;
    }
    removeWatched();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// exit() while files are still being written: an error path, or Qt ending the program when
// its X server went away (a logout during a save).
extern "C" void removeWatchedFilesAtExit()
{
    removeWatched();
}

void install()
{
    std::atexit(removeWatchedFilesAtExit);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        struct sigaction current {};
        if (::sigaction(signal, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) {
            continue; // ignored (nohup) or handled by someone else: left alone
        }
        struct sigaction action {};
        action.sa_handler = removeWatchedFiles;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal, &action, nullptr);
    }
}

void fill(Slot& slot, const char* path, bool folder)
{
    std::strcpy(slot.path, path);
    slot.folder = folder;
    slot.state.store(Watched);
}

int watchPath(const char* path, bool folder)
{
    if (!path || std::strlen(path) >= PATH_MAX) {
        return -1;
    }
    std::call_once(installed, install);
    int lastIndex = -1;
    Block* last = nullptr;
    for (Block* block = &firstBlock; block; block = block->next.load()) {
        ++lastIndex;
        last = block;
        for (int i = 0; i < slotsPerBlock; ++i) {
            int expected = Free;
            if (block->slots[i].state.compare_exchange_strong(expected, Filling)) {
                fill(block->slots[i], path, folder);
                return lastIndex * slotsPerBlock + i;
            }
        }
    }
    // Every slot taken: a new block, its first slot ours before anyone can see it.
    Block* added = new (std::nothrow) Block;
    if (!added) {
        return -1;
    }
    added->slots[0].state.store(Filling);
    fill(added->slots[0], path, folder);
    for (;;) {
        Block* expected = nullptr;
        if (last->next.compare_exchange_strong(expected, added)) {
            return (lastIndex + 1) * slotsPerBlock;
        }
        last = expected; // another thread added one first: ours goes after it
        ++lastIndex;
    }
}

} // namespace

void clearTerminalLineOnInterrupt(bool on)
{
    std::call_once(installed, install);
    clearLineFirst.store(on);
}

int watch(const char* path)
{
    return watchPath(path, false);
}

int watchFolder(const char* path)
{
    return watchPath(path, true);
}

void release(int ticket)
{
    if (ticket < 0) {
        return;
    }
    Block* block = &firstBlock;
    for (int i = 0; i < ticket / slotsPerBlock && block; ++i) {
        block = block->next.load();
    }
    if (block) {
        block->slots[ticket % slotsPerBlock].state.store(Free);
    }
}

int createWatched(QByteArray* pattern, int* ticket)
{
    *ticket = -1;
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    constexpr int places = 6;
    if (!pattern->endsWith("XXXXXX")) {
        errno = EINVAL;
        return -1;
    }
    char* const name = pattern->data() + pattern->size() - places;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        unsigned char noise[places];
        if (::getrandom(noise, sizeof noise, GRND_NONBLOCK) != ssize_t(sizeof noise)) {
            timespec now {};
            ::clock_gettime(CLOCK_MONOTONIC, &now);
            const unsigned long long mixed =
                (unsigned long long)now.tv_nsec * 0x9e3779b97f4a7c15ull ^ (unsigned long long)::getpid() << 32 ^ unsigned(attempt);
            for (int i = 0; i < places; ++i) {
                noise[i] = (unsigned char)(mixed >> (8 * i));
            }
        }
        for (int i = 0; i < places; ++i) {
            name[i] = letters[noise[i] % (sizeof letters - 1)];
        }
        // A name another file holds is not watched: the handler must never remove what is not ours.
        struct stat existing {};
        if (::lstat(pattern->constData(), &existing) == 0) {
            continue;
        }
        const int watched = watch(pattern->constData());
        const int descriptor = ::open(pattern->constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (descriptor >= 0) {
            *ticket = watched;
            return descriptor;
        }
        const int error = errno;
        release(watched);
        if (error != EEXIST) {
            errno = error;
            return -1;
        }
    }
    errno = EEXIST;
    return -1;
}

void failWritesPastTheSizeLimit()
{
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGXFSZ, &ignore, nullptr);
}

QByteArray partialFilePattern(const QByteArray& target)
{
    const QByteArray suffix = ".XXXXXX";
    const int slash = target.lastIndexOf('/');
    const QByteArray folder = slash >= 0 ? target.left(slash + 1) : QByteArray();
    QByteArray name = target.mid(slash + 1);
    long nameMax = ::pathconf(folder.isEmpty() ? "." : folder.constData(), _PC_NAME_MAX);
    if (nameMax <= 0) {
        nameMax = NAME_MAX;
    }
    const int room = int(nameMax) - suffix.size();
    if (room > 0 && name.size() > room) {
        int cut = room;
        // Not inside a UTF-8 sequence: its continuation bytes are 10xxxxxx.
        while (cut > 0 && (uchar(name[cut]) & 0xc0) == 0x80) {
            --cut;
        }
        name.truncate(cut > 0 ? cut : room);
    }
    return folder + name + suffix;
}

} // namespace core::interruptcleanup
