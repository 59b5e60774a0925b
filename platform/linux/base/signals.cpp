// dorvane's own signals, under either tracker. It outlives a first SIGINT or SIGQUIT (Ctrl-C,
// Ctrl-\ at a terminal reach the programs too, and their ends are still to be reported); a
// second one, or a signal whose default action ends a process, ends it by that signal once
// the tracker has let the tree go. As the first process of a pid namespace (a container's
// entrypoint) the kernel gives dorvane no default action for a signal from outside, nor
// lets its own kill it: there it exits with 128 plus the signal instead.
#include "linux.h"

#include <signal.h>
#include <string.h>
#include <unistd.h>

// The signals whose default action ends dorvane, but those that only a fault of its own
// raises and SIGPIPE, which it ignores for its output's sake.
static const int terminating[] = {SIGHUP,  SIGINT,    SIGQUIT,   SIGTERM, SIGUSR1,
                                  SIGUSR2, SIGALRM,   SIGVTALRM, SIGPROF, SIGIO,
                                  SIGPWR,  SIGSTKFLT, SIGXCPU,   SIGXFSZ};
// Those signals and the real-time ones, as a set.
static sigset_t guarded;
// The tracker's way to let the tree go before dorvane ends; null when nothing is held.
static void (*lettreego)(void);
// A first SIGINT or SIGQUIT has come.
static volatile sig_atomic_t interrupted;
// The tracker is reading events, with the guarded signals blocked but in the waits that
// they interrupt: it ends by a signal itself, once the lines of what it read are out.
static volatile sig_atomic_t deferring;
// The signal to end by that came meanwhile; 0 if none.
static volatile sig_atomic_t deferred;

// The lines queued for output get a moment to go out, not more: an output that takes none
// (a pipe nobody reads) must not keep a signal from ending dorvane. Uses no lock and no
// memory, since it may run in a signal handler.
void endbysignal(int sig)
{
    sigprocmask(SIG_BLOCK, &guarded, nullptr); // the first signal is the one that ends us
    if (lettreego)
        lettreego();
    drainoutputfor(100);
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigaction(sig, &dfl, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(sig);
    _exit(128 + sig); // pid 1 of a namespace, whose own signal does not end it
}

// A first SIGINT or SIGQUIT is only counted; another signal is kept for a tracker that
// waits for events, or ends dorvane at once.
static void onsignal(int sig)
{
    if ((sig == SIGINT || sig == SIGQUIT) && !interrupted)
        interrupted = 1;
    else if (deferring && !deferred)
        deferred = sig;
    else if (!deferring)
        endbysignal(sig);
}

void guardsignals(void (*letgo)(void))
{
    lettreego = letgo;
    sigemptyset(&guarded);
    for (int sig : terminating)
        sigaddset(&guarded, sig);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++)
        sigaddset(&guarded, sig);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = onsignal;
    action.sa_mask = guarded;
    action.sa_flags = SA_RESTART;
    // One that dorvane was started with ignored stays ignored, as it would be. What it was
    // started with counts: dorvane ignores SIGINT and SIGQUIT from the root's start until
    // its handlers are in place (job/start.cpp).
    for (int sig = 1; sig < NSIG; sig++)
        if (sigismember(&guarded, sig) == 1 && !givenignored(sig))
            sigaction(sig, &action, nullptr);
}

void closeguard(void)
{
    sigprocmask(SIG_BLOCK, &guarded, nullptr);
}

void openguard(void)
{
    sigprocmask(SIG_UNBLOCK, &guarded, nullptr);
}

void deferguard(sigset_t *open)
{
    deferring = 1;
    sigprocmask(SIG_BLOCK, &guarded, open);
}

int undeferguard(void)
{
    // A signal that came while they were blocked is handled here, still deferred.
    sigprocmask(SIG_UNBLOCK, &guarded, nullptr);
    deferring = 0;
    return deferred;
}
