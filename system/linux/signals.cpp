#include <csignal>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <iterator>

#include <sys/syscall.h>
#include <unistd.h>

#include "linux/target.hpp"

namespace cardwrap::on_linux {
namespace {

constexpr int STOPS[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

// NOLINTBEGIN(cppcoreguidelines-avoid-non-const-global-variables)
volatile std::sig_atomic_t asked = 0; // the stop noted, or 0
struct sigaction before[std::size(STOPS)];
sigset_t mask_before;
timer_t again; // sends a caught stop anew
bool again_made = false;
// NOLINTEND(cppcoreguidelines-avoid-non-const-global-variables)

// Once a stop is noted, one comes again every 50 ms: a call begun after it,
// that would wait on a stalled file system, is given up too.
void note(int signal)
{
    const itimerspec every{{0, 50'000'000}, {0, 50'000'000}};
    if (asked == 0)
        asked = signal;
    if (again_made)
        timer_settime(again, 0, &every, nullptr);
}

bool make_again(int signal)
{
    sigevent by{};
    by.sigev_notify = SIGEV_SIGNAL;
    by.sigev_signo = signal;
    return timer_create(CLOCK_MONOTONIC, &by, &again) == 0;
}

// Every signal but those `left` waits. By the kernel's own call: the C
// library would not hold the two signals it keeps for its threads, and this
// process starts no thread.
void hold_all_but(std::initializer_list<int> left, sigset_t *old)
{
    sigset_t mask;
    std::memset(&mask, 0xFF, sizeof mask);
    for (const int signal : left)
        sigdelset(&mask, signal);
    syscall(SYS_rt_sigprocmask, SIG_BLOCK, &mask, old, _NSIG / 8);
}

void set_mask(const sigset_t &mask)
{
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, &mask, nullptr, _NSIG / 8);
}

} // namespace

// Without SA_RESTART: a call that waits on a stalled file system is given
// up once the file system answers the kernel's interrupt. A stop that was
// ignored (nohup) stays so. Those that stop a run for a while never wait.
void catch_stops()
{
    struct sigaction noting {};
    noting.sa_handler = note;
    for (std::size_t i = 0; i < std::size(STOPS); ++i) {
        if (sigaction(STOPS[i], nullptr, &before[i]) != 0 || before[i].sa_handler == SIG_IGN)
            continue;
        sigaction(STOPS[i], &noting, nullptr);
        again_made = again_made || make_again(STOPS[i]);
    }
    hold_all_but({SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGTSTP, SIGTTIN, SIGTTOU}, &mask_before);
}

bool stop_asked()
{
    return asked != 0;
}

void release_stops()
{
    if (again_made)
        timer_delete(again);
    again_made = false;
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
