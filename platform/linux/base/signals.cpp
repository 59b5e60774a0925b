// dorvane's own signals, under either tracker. It outlives a first SIGINT or SIGQUIT (Ctrl-C,
// Ctrl-\ at a terminal reach the programs too, and their ends are still to be reported); a
// second one, or a signal whose default action ends a process, ends it by that signal once
// the tracker has let the tree go. As the first process of a pid namespace (a container's
// entrypoint) the kernel gives dorvane no default action for a signal from outside, nor
// lets its own kill it: there a first terminating signal that a process sent is kept for
// the job to pass on to the tree, whose ends dorvane reports as usual, and a second one ends
// it with 128 plus the signal. A stop signal (Ctrl-Z) is kept for dorvane to stop by once
// its programs have.
#include "linux.h"

#include <signal.h>
#include <string.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>

// The signals whose default action ends dorvane, but those that only a fault of its own
// raises and SIGPIPE, which it ignores for its output's sake.
static const int terminating[] = {SIGHUP,  SIGINT,    SIGQUIT,   SIGTERM, SIGUSR1,
                                  SIGUSR2, SIGALRM,   SIGVTALRM, SIGPROF, SIGIO,
                                  SIGPWR,  SIGSTKFLT, SIGXCPU,   SIGXFSZ};
// Those signals and the real-time ones, as a set.
static sigset_t guarded;
// The tracker's way to let the tree go before dorvane ends; null when nothing is held.
static void (*lettreego)(void);
// A first SIGINT or SIGQUIT has come, or, as pid 1, a first signal to pass on to the tree.
static volatile sig_atomic_t interrupted;
// From the root's start on, as pid 1: the signal that the job is to pass on to the tree (0:
// none); the job has not taken it yet.
static bool passing;
static volatile sig_atomic_t topass;
// The tracker is reading events, with the guarded signals blocked but in the waits that
// they interrupt: it ends by a signal itself, once the lines of what it read are out.
static volatile sig_atomic_t deferring;
// The signal to end by that came meanwhile; 0 if none.
static volatile sig_atomic_t deferred;
// The tracker's records are changing, which letting the tree go walks: a signal that would
// end dorvane waits until they are whole again. A flag, not the signal mask: they change at
// every report of the tree, and each change of the mask would be a system call.
static volatile sig_atomic_t closed;
// The signal to end by that came while they changed; 0 if none.
static volatile sig_atomic_t waiting;

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

// A first SIGINT or SIGQUIT is only counted; as pid 1, a first one that a process sent (not
// the kernel for a terminal, which sends it to the whole foreground group) is kept for the
// job to pass on; another signal is kept for a tracker that waits for events, or ends
// dorvane at once.
static void onsignal(int sig, siginfo_t *info, void *)
{
    if (!interrupted && passing && info->si_code != SI_KERNEL && getpid() == 1) {
        interrupted = 1;
        topass = sig;
    } else if ((sig == SIGINT || sig == SIGQUIT) && !interrupted)
        interrupted = 1;
    else if (deferring && !deferred)
        deferred = sig;
    else if (closed && !waiting)
        waiting = sig;
    else if (!deferring && !closed)
        endbysignal(sig);
}

// The handler for each signal of set, which blocks them all while it runs; not restarted: a
// wait for the tree's events wakes for it. One that dorvane was started with ignored stays
// ignored, as it would be. What it was started with counts: dorvane ignores SIGINT and
// SIGQUIT from the root's start until its handlers are in place (job/start.cpp).
static void handle(const sigset_t *set, void (*handler)(int, siginfo_t *, void *))
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_sigaction = handler;
    action.sa_mask = *set;
    action.sa_flags = SA_SIGINFO;
    for (int sig = 1; sig < NSIG; sig++)
        if (sigismember(set, sig) == 1 && !givenignored(sig))
            sigaction(sig, &action, nullptr);
}

void guardsignals(void (*letgo)(void))
{
    lettreego = letgo;
    sigemptyset(&guarded);
    for (int sig : terminating)
        sigaddset(&guarded, sig);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++)
        sigaddset(&guarded, sig);
    handle(&guarded, onsignal);
}

// The fences keep the compiler from moving the records' changes across the flag, which the
// handler reads on this same thread.
void closeguard(void)
{
    closed = 1;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

void openguard(void)
{
    std::atomic_signal_fence(std::memory_order_seq_cst);
    closed = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (waiting)
        endbysignal(waiting);
}

// Job control. Ctrl-Z stops the whole foreground process group, dorvane with it: were
// dorvane to stop at once, its shell would take the terminal back while its programs still
// tidy up (an editor restoring the screen), and under ptrace such a program could not even
// run its handler before the continue, after which it would stop for good. So a stop signal
// is kept pending and blocked, for dorvane to stop by once its programs have stopped; a
// SIGCONT that comes first drops it, as the kernel drops every pending stop signal then.
static const int stopsignals[] = {SIGTSTP, SIGTTIN, SIGTTOU};
static sigset_t stops;
// A stop signal has come that the job has not taken yet.
static volatile sig_atomic_t stopcame;
// The job has taken one, and waits for its programs: the stop signals stay blocked.
static bool stoptaken;

// The signal is sent again, to stay pending, and blocked from the handler's return on: the
// mask that a handler returns to is the one its context holds.
static void onstop(int sig, siginfo_t *, void *context)
{
    raise(sig);
    sigaddset(&((ucontext_t *)context)->uc_sigmask, sig);
    stopcame = 1;
}

void guardjob(void)
{
    passing = true;
    sigemptyset(&stops);
    for (int sig : stopsignals)
        sigaddset(&stops, sig);
    handle(&stops, onstop);
}

bool jobsignalcame(void)
{
    return stopcame || topass;
}

int takepassing(void)
{
    int sig = topass;
    topass = 0;
    return sig;
}

bool stopwaits(void)
{
    if (!stopcame && !stoptaken)
        return false;
    stopcame = 0;
    sigset_t pending;
    sigpending(&pending);
    stoptaken = false;
    for (int sig : stopsignals)
        stoptaken = stoptaken || sigismember(&pending, sig) == 1;
    if (!stoptaken) // dropped by a SIGCONT: the next one is caught again
        sigprocmask(SIG_UNBLOCK, &stops, nullptr);
    return stoptaken;
}

void stopnow(void)
{
    const int count = sizeof stopsignals / sizeof *stopsignals;
    struct sigaction stop, caught[count];
    memset(&stop, 0, sizeof stop);
    stop.sa_handler = SIG_DFL;
    for (int i = 0; i < count; i++)
        sigaction(stopsignals[i], &stop, &caught[i]);
    sigprocmask(SIG_UNBLOCK, &stops, nullptr); // dorvane stops here, until it is continued
    for (int i = 0; i < count; i++)
        sigaction(stopsignals[i], &caught[i], nullptr);
    stoptaken = false;
}

// A stop signal is blocked here too, so that one that comes now comes in the wait, which it
// then cuts short.
void deferguard(sigset_t *open)
{
    deferring = 1;
    sigset_t blocked = guarded;
    sigorset(&blocked, &blocked, &stops);
    sigprocmask(SIG_BLOCK, &blocked, open);
}

int undeferguard(void)
{
    // A signal that came while they were blocked is handled here, still deferred.
    sigset_t open = guarded;
    if (!stopcame && !stoptaken)
        sigorset(&open, &open, &stops);
    sigprocmask(SIG_UNBLOCK, &open, nullptr);
    deferring = 0;
    return deferred;
}
