#include "app/programend.h"

#include "ui/workspace.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <thread>

namespace ui {

void endProgramSoon(int status)
{
    try {
        std::thread([status] {
            std::this_thread::sleep_for(std::chrono::milliseconds(1000));
            std::fflush(nullptr);
            std::_Exit(status);
        }).detach();
    } catch (const std::system_error&) {
        std::fflush(nullptr);
        std::_Exit(status);
    }
}

void endProgramAfterSettings(int status, std::chrono::milliseconds writesTimeout)
{
    Workspace::finishWrites(writesTimeout);
    endProgramSoon(status);
}

} // namespace ui
