#include "cli/run.hpp"
#include "image/output.hpp"

int main(int argc, char *argv[])
{
    cardwrap::ignore_write_signals();
    return cardwrap::run(argc, argv);
}
