#include <windows.h>

#include "cli/windows/launch.hpp"
#include "core/run.hpp"
#include "system/windows/shared.hpp"

// The arguments come from the wide command line, never from the C runtime's
// own narrow ones, which it converts before it splits them: a character the
// code page turns into a quotation mark would split the line elsewhere.
int main()
{
    using namespace cardwrap;
    static const wchar_t *wide[windows::MAX_ARGS + 1];
    static const char *argv[windows::MAX_ARGS + 1];
    const int argc = windows::arguments(GetCommandLineW(), wide, argv);
    SetConsoleCtrlHandler(windows::on_console_event, TRUE);
    if (!windows::started_by_explorer())
        return run(argc, argv);
    // Started from Explorer, its window would close before a line could be
    // read, and a drop of several files is no command line.
    const int status =
        windows::given_by_drop(argc, wide) ? windows::wrap_each(argc, argv) : run(argc, argv);
    windows::wait_for_key();
    return status;
}
