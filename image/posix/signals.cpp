#include "image/signals.hpp"

#include <csignal>

namespace cardwrap::platform {
namespace {

// Every signal whose default action ends the process, but for SIGKILL and
// SIGSTOP, which cannot be caught, and SIGPIPE and SIGXFSZ, which a run
// ignores so that the write they stand for fails instead.
constexpr int ENDING[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT,   SIGBUS,  SIGFPE, SIGUSR1,
    SIGSEGV,   SIGUSR2, SIGALRM, SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGIO
    SIGIO,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};

// NOLINTBEGIN(cppcoreguidelines-avoid-non-const-global-variables)
// Set and cleared only with the signals held, so the handler never sees it
// half-way.
void (*volatile armed)() = nullptr;
// What each signal did before we caught it, to be put back before it ends
// the process: its default.
struct sigaction before[NSIG];
bool catching = false;
sigset_t held_mask;
sigset_t saved_mask;
// NOLINTEND(cppcoreguidelines-avoid-non-const-global-variables)

template <typename F>
void each_ending(F f)
{
    for (const int sig : ENDING)
        f(sig);
#ifdef SIGRTMIN
    // Real-time signals end the process too; SIGRTMIN already leaves out
    // those the C library keeps for itself.
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
        f(sig);
#endif
}

extern "C" void on_signal(int sig)
{
    void (*undo)() = armed;
    if (undo != nullptr)
        undo();
    // With its old action back, the signal, pending again and held until
    // the handler returns, ends the process with the status a shell expects.
    sigaction(sig, &before[sig], nullptr);
    raise(sig);
}

void catch_signals()
{
    struct sigaction act {};
    act.sa_handler = on_signal; // NOLINT(cppcoreguidelines-pro-type-union-access)
    act.sa_mask = held_mask;
    each_ending([&act](int sig) {
        // Only a signal left at its default ends the process. A shell that
        // starts us in the background, or nohup, ignores some for us; they
        // stay ignored. A program that runs the tool within it (a fuzzer's
        // timer, a sanitizer) may handle some itself and go on: its handler
        // answers them, and the run goes on through them, its temporary
        // file still there. They are held meanwhile, as ever.
        if (sigaction(sig, &act, &before[sig]) == 0 &&
            before[sig].sa_handler != SIG_DFL) // NOLINT(cppcoreguidelines-pro-type-union-access)
            sigaction(sig, &before[sig], nullptr);
    });
}

} // namespace

void ignore_write_signals()
{
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

void hold_signals()
{
    if (!catching) {
        sigemptyset(&held_mask);
        each_ending([](int sig) { sigaddset(&held_mask, sig); });
    }
    pthread_sigmask(SIG_BLOCK, &held_mask, &saved_mask);
}

void release_signals()
{
    pthread_sigmask(SIG_SETMASK, &saved_mask, nullptr);
}

void arm(void (*undo)())
{
    if (!catching) {
        catch_signals();
        catching = true;
    }
    armed = undo;
}

void disarm()
{
    armed = nullptr;
}

} // namespace cardwrap::platform
