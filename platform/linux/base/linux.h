// What the pieces of the Linux platform share among themselves; the core never sees this.
#pragma once

#include "../../platform.h"

#include <signal.h>

// First byte of every record that a HANDLE points to: what the handle is. The values start
// well above zero, so that a zeroed or freed record does not pass for a handle.
enum handlekind : unsigned char {
    KINDHEAP = 0x5a,
    KINDJOB,
    KINDPORT,
    KINDPROCESS,
    KINDTHREAD,
    KINDOPENED,
    KINDFILE
};

// Files (files.cpp): the descriptor of a file's handle, or -1 for any other handle; and the
// release of the handle and its descriptor.
int filedescriptor(HANDLE handle);
void closefile(HANDLE handle);

// Blocks of one size, carved from chunks of 64 KB with no header per block, for the records
// that dorvane keeps for every process until its end (heap.cpp). One thread uses them.
struct blockpool {
    size_t size;             // of each block, at least a pointer's; a multiple of its alignment
    char *next = nullptr;    // the rest of the newest chunk
    size_t left = 0;         // blocks left there
    void *freed = nullptr;   // blocks given back, each holding the address of the next
    char **chunks = nullptr; // in the order of their addresses
    size_t nchunks = 0, chunkroom = 0;
};
// A block of the pool's size; null without memory.
void *takeblock(blockpool *pool);
void giveblock(blockpool *pool, void *block);
// Whether the block lies in one of the pool's chunks.
bool inpool(const blockpool *pool, const void *block);

// Last error, per the Windows convention: set by a failing service, read by GetLastError.
void setlasterror(DWORD error);
// Windows error code for an errno value; the one table of that mapping.
DWORD winerror(int err);
// The reason of a failure in Linux's terms, for the line that a failing service of dorvane's
// own steps (its job, its start) writes to standard error beside the core's line of it:
// the call that failed (a string that lasts), its errno and the likely cause where one is
// known (or null). noteerror keeps the last one and returns the errno's Windows code;
// sayerror writes it, "dorvane: CALL: ERRNO TEXT[: CAUSE]", once; forgeterror drops it,
// for a failure that the service survives.
DWORD noteerror(const char *call, int err, const char *cause);
void sayerror(void);
void forgeterror(void);

// Waits until every line queued for standard output has been written, or the output has
// failed, and ends the writer thread (a later line starts another). Every way out of the
// process but a signal goes through it.
void drainoutput(void);
// Has the lines queued so far written, unless the writer was woken a moment ago: then the ms
// until they are to be (-1: none waits). A line waits for this, or for many more, so that a
// burst of them costs the writer one wake-up. Called before every wait for events, which is
// to end by then.
int flushoutput(void);
// For an end by a signal: gives the writer up to ms milliseconds for what is queued. It
// takes no lock and no memory, since the thread the signal interrupted may hold either.
void drainoutputfor(long ms);
// Writes every line queued now, here, or waits until the writer has; the writer goes on.
void writequeued(void);
// Drops every capability of the calling thread (the main one), if it holds any. Nothing is
// written while one is held, so that an output that takes nothing cannot keep dorvane
// privileged, whatever path it took: the writer's start and standard error's lines call it.
void holdnoprivilege(void);

// dorvane's own signals (signals.cpp).
// From the root's start on: a first SIGINT or SIGQUIT is outlived; a second one, or a
// signal whose default action ends a process (SIGTERM, SIGHUP, ...), ends dorvane by that
// signal, after letgo (if not null) has let the tree go. It runs in the signal's handler.
void guardsignals(void (*letgo)(void));
// Ends dorvane by sig, as a handled signal does; safe in a signal handler.
[[noreturn]] void endbysignal(int sig);
// While the tracker's records change, a signal that would end dorvane waits: closed, then
// open again.
void closeguard(void);
void openguard(void);
// The same for reading the tree's events, but for waits that take *open as their signal
// mask (ppoll); a signal that would end dorvane meanwhile is kept rather than
// acted on, and undeferguard returns it (0: none) for the tracker to end by. A stop signal
// comes in such a wait too, and cuts it short.
void deferguard(sigset_t *open);
int undeferguard(void);
// From the root's start on, the job's: as pid 1, a first terminating signal that a process
// sent is kept for the job to pass on to the tree (takepassing returns it, once); a stop
// signal (SIGTSTP, SIGTTIN, SIGTTOU) is kept pending rather than acted on, for dorvane to
// stop by once its programs have stopped. Either cuts short a wait for events, but for one
// that came just before it began: a tracker about to wait asks jobsignalcame first, and
// does not wait if one did.
void guardjob(void);
bool jobsignalcame(void);
int takepassing(void);
// Whether a stop signal waits for dorvane to stop by it: one came, and no SIGCONT has
// dropped it since. The job asks it at every turn of its loop.
bool stopwaits(void);
// Stops dorvane by the stop signal that waits, if one still does; returns once continued.
void stopnow(void);

// Text. Wide strings are UTF-32 here. Bytes that are not valid UTF-8 travel through wide
// text as U+DC80..U+DCFF (one code per byte), so they can be turned back into the very same
// bytes (arguments) or written escaped (output).
// Decodes bytes into a NUL-terminated wide string allocated with malloc; null when out of
// memory.
wchar_t *bytestowide(const char *bytes, size_t length);
// The same for bytes that may hold NULs, which decode as NULs: count is the characters
// decoded.
wchar_t *bytestowidecount(const char *bytes, size_t length, size_t *count);
// Encodes wide text as bytes, restoring escaped bytes as they were; malloc'ed, NUL-terminated.
char *widetobytes(const wchar_t *text);
// The bytes of one wide character as widetobytes writes them (1 to 4); a character that is
// no code point, such as a surrogate that escapes no byte, becomes U+FFFD.
size_t widechartobytes(wchar_t c, char bytes[4]);

// What dorvane was given, which the root gets as it was (given.cpp).
// Keeps the root's arguments (those after dorvane's options, NULL-terminated) and records
// the signal dispositions and mask dorvane was started with: called in main before dorvane
// changes its own.
void keepgiven(char **programargv);
// The root's arguments as dorvane was given them; null before keepgiven.
char **givenargs(void);
// The run's record was asked for (--json, --trace, --summary): what only the record needs
// (the arguments of each exec, CPU times, peak memory) is gathered only then. Told by main
// before the tracker loads.
void askrecord(void);
bool recordasked(void);
// Whether dorvane was started with signal sig ignored.
bool givenignored(int sig);
// In a child before its exec: every signal ignored or at its default and the mask, as
// dorvane was given them. System calls only, for a child of the threaded dorvane.
void restoregivensignals(void);
// In a child: closes every descriptor of dorvane's own (close-on-exec) but the count in
// keep, so that it holds none of them (eBPF programs and maps, pipe ends) while it waits
// before its exec, or if it never execs. Needs /proc; system calls only.
void closeownfds(const int *keep, int count);
