#include <csignal>

#include "cli/run.hpp"

int main(int argc, char *argv[])
{
#ifdef SIGXFSZ
    // A file-size limit must show as a failed write, which the run reports
    // and cleans up after, not kill the process halfway through an image.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    return cardwrap::run(argc, argv);
}
