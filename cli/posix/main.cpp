#include <csignal>

#include "core/run.hpp"

int main(int argc, char *argv[])
{
    // A write to a closed pipe, or past the file-size limit, then fails and
    // is reported, where it would otherwise end the process.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    return cardwrap::run(argc, argv);
}
