#include <csignal>
#include <cstring>
#include <initializer_list>
#include <iterator>

#include <sys/syscall.h>
#include <unistd.h>

#include "linux/target.hpp"

namespace cardwrap::on_linux {

// SIGALRM among them: the run sends itself one to repeat a stop.
constexpr int STOPS[] = {SIGALRM, SIGHUP, SIGINT, SIGQUIT, SIGTERM};

// NOLINTBEGIN(cppcoreguidelines-avoid-non-const-global-variables)
static volatile std::sig_atomic_t asked = 0; // the stop noted, or 0
static struct sigaction before[std::size(STOPS)];
static sigset_t mask_before;
// NOLINTEND(cppcoreguidelines-avoid-non-const-global-variables)

// Once a stop is noted, SIGALRM comes every second, itself taken for one:
// a call begun after the stop, that would wait on a stalled file system, is
// given up too.
static void note(int signal)
{
    if (asked == 0)
        asked = signal;
    alarm(1);
}

// Every signal but those `left` waits. By the kernel's own call: the C
// library would not hold the two signals it keeps for its threads, and this
// process starts no thread.
static void hold_all_but(std::initializer_list<int> left, sigset_t *old)
{
    sigset_t mask;
    std::memset(&mask, 0xFF, sizeof mask);
    for (const int signal : left)
        sigdelset(&mask, signal);
    syscall(SYS_rt_sigprocmask, SIG_BLOCK, &mask, old, _NSIG / 8);
}

static void set_mask(const sigset_t &mask)
{
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, &mask, nullptr, _NSIG / 8);
}

// Without SA_RESTART: a call that waits on a stalled file system is given
// up once the file system answers the kernel's interrupt. A stop that was
// ignored (nohup) stays so. Those that stop a run for a while never wait.
void catch_stops()
{
    struct sigaction noting {};
    noting.sa_handler = note;
    for (std::size_t i = 0; i < std::size(STOPS); ++i)
        if (sigaction(STOPS[i], nullptr, &before[i]) == 0 && before[i].sa_handler != SIG_IGN)
            sigaction(STOPS[i], &noting, nullptr);
    hold_all_but({SIGALRM, SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGTSTP, SIGTTIN, SIGTTOU},
                 &mask_before);
}

bool stop_asked()
{
    return asked != 0;
}

void release_stops()
{
    alarm(0);
    for (std::size_t i = 0; i < std::size(STOPS); ++i)
        sigaction(STOPS[i], &before[i], nullptr);
    if (asked != 0)
        raise(asked);
    set_mask(mask_before);
}

signals_held::signals_held() : before()
{
    hold_all_but({}, &before);
}

signals_held::~signals_held()
{
    set_mask(before);
}

} // namespace cardwrap::on_linux
