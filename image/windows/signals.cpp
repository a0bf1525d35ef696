#include "image/signals.hpp"

#include <windows.h>

namespace cardwrap::platform {
namespace {

// NOLINTBEGIN(cppcoreguidelines-avoid-non-const-global-variables)
// What a Ctrl-C must undo, and the lock that keeps the console's handler
// thread from undoing it while the run is renaming or discarding.
void (*armed)() = nullptr;
SRWLOCK armed_lock = SRWLOCK_INIT;
bool catching = false;
// NOLINTEND(cppcoreguidelines-avoid-non-const-global-variables)

BOOL WINAPI on_console_event(DWORD event)
{
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
        // Kept locked: the process is ending, and nothing may be renamed
        // after the file is gone.
        AcquireSRWLockExclusive(&armed_lock);
        if (armed != nullptr)
            armed();
        armed = nullptr;
    }
    // The default handler then ends the process as it always did.
    return FALSE;
}

} // namespace

// Windows has no signals for a closed pipe or a file-size limit: such a
// write simply fails.
void ignore_write_signals() {}

void hold_signals()
{
    AcquireSRWLockExclusive(&armed_lock);
}

void release_signals()
{
    ReleaseSRWLockExclusive(&armed_lock);
}

void arm(void (*undo)())
{
    if (!catching)
        catching = SetConsoleCtrlHandler(on_console_event, TRUE) != 0;
    armed = undo;
}

void disarm()
{
    armed = nullptr;
}

} // namespace cardwrap::platform
