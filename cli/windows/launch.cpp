#include "cli/launch.hpp"

#include "cli/run.hpp"

namespace cardwrap {

bool started_by_explorer(unsigned console_processes, bool output_is_console,
                         bool parent_is_explorer)
{
    return console_processes == 1 && output_is_console && parent_is_explorer;
}

bool given_by_drop(int argc, const char *const argv[], bool (*names_by_full_path)(const char *))
{
    for (int i = 1; i < argc; ++i)
        if (!names_by_full_path(argv[i]))
            return false;
    return true;
}

int wrap_each(int argc, const char *const argv[])
{
    if (argc < 2)
        return run(argc, argv);
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        const char *const one[] = {argv[0], argv[i], nullptr};
        if (run(2, one) != 0)
            status = 1;
    }
    return status;
}

} // namespace cardwrap
