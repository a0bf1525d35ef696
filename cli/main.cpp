#include "cli/launch.hpp"
#include "cli/run.hpp"
#include "image/output.hpp"

int main(int argc, char *argv[])
{
    using namespace cardwrap;
    ignore_write_signals();
    if (!started_by_explorer(platform::console_processes(), platform::output_is_console(),
                             platform::parent_is_explorer()))
        return run(argc, argv);
    // Started from Explorer, its window would close before a line could be
    // read, and a drop of several files is no command line.
    const int status = given_by_drop(argc, argv, platform::names_by_full_path)
                           ? wrap_each(argc, argv)
                           : run(argc, argv);
    platform::wait_for_key();
    return status;
}
