#include "cli/interruptcleanup.h"

#include <atomic>
#include <climits>
#include <csignal>
#include <cstring>
#include <mutex>

#include <unistd.h>

namespace cli::interruptcleanup {

namespace {

constexpr int slotCount = 64;
enum SlotState : int { Free, Filling, Watched };

// Fixed memory, so that the handler reads no heap and calls nothing but unlink(2), which is safe
// in a signal handler.
struct Slot {
    std::atomic<int> state{Free};
    char path[PATH_MAX];
};
Slot slots[slotCount];
std::once_flag installed;

extern "C" void removeWatchedFiles(int signal)
{
    for (Slot& slot : slots) {
        if (slot.state.load() == Watched) {
            ::unlink(slot.path);
        }
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void install()
{
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
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

} // namespace

int watch(const char* path)
{
    if (!path || std::strlen(path) >= PATH_MAX) {
        return -1;
    }
    std::call_once(installed, install);
    for (int i = 0; i < slotCount; ++i) {
        int expected = Free;
        if (slots[i].state.compare_exchange_strong(expected, Filling)) {
            std::strcpy(slots[i].path, path);
            slots[i].state.store(Watched);
            return i;
        }
    }
    return -1;
}

void release(int ticket)
{
    if (ticket >= 0 && ticket < slotCount) {
        slots[ticket].state.store(Free);
    }
}

} // namespace cli::interruptcleanup
