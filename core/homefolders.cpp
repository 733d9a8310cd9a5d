#include "core/homefolders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace core {

namespace {

bool isAbsolute(const char* value)
{
    return value != nullptr && value[0] == '/';
}

// The home folder of the account the program runs as; empty when the password database has no
// entry for it (a container started under a bare user id).
std::string accountHome()
{
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? size_t(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr
        || !isAbsolute(found->pw_dir)) {
        return {};
    }
    return found->pw_dir;
}

} // namespace

void settleHomeFolders()
{
    if (!isAbsolute(std::getenv("HOME"))) {
        const std::string home = accountHome();
        if (!home.empty()) {
            setenv("HOME", home.c_str(), 1);
        }
    }
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && !isAbsolute(value)) {
            unsetenv(name);
        }
    }
}

} // namespace core
