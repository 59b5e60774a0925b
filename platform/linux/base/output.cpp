// Standard output on Linux, or the report's file (--output): each call is formatted whole,
// as UTF-8 whatever the locale, and queued at once for a writer thread, the only one that
// writes. Standard error (the summary) is written at once, after what is queued. glibc's wide
// stdio would convert through the locale (and drop what it cannot encode under the C locale)
// and hold text in a buffer, so neither it nor the locale is used.
//
// The writer is woken for what has gathered when the main thread waits for events, at most
// every FLUSHMS (and whenever 64 KB have gathered), not for each line: under a storm, where
// dorvane wakes for every few events, a burst of lines costs the writer one wake-up, and a
// line waits no more than FLUSHMS.
//
// An output that takes no more (a pipe nobody reads yet, Ctrl-S at a terminal, a slow log
// shipper) blocks the writer alone: the main thread goes on reading the tracker's events,
// so the eBPF ring does not overflow and no traced program waits at its stop. Standard
// output stays blocking, since its file description is shared with the programs dorvane
// runs, which would get EAGAIN from it. The lines wait in memory, in order, and the process
// ends only once they are written or the output has failed (drainoutput).
//
// The formatter knows what the core's messages use: %u, %x (lowercase), %ls and %%; the
// numbers are 32-bit, as DWORD is. A name (the text of a %ls) may hold any byte but / and
// NUL on Linux, so it is written escaped, each on its one line and decodable: a control
// character (below 0x20, 0x7f, and the C1 controls U+0080..U+009F), the line and paragraph
// separators U+2028 and U+2029, the double quote and the backslash C-style (\n, \t, \",
// \\, else \xNN for each UTF-8 byte), a byte that is not valid UTF-8 (carried as
// U+DC80..U+DCFF) as \xNN, and everything else as UTF-8. Fixed texts, written with _putws,
// are the system's own and go out as they are.
#include "linux.h"

#include <errno.h>
#include <linux/capability.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

// The lines between the main thread, which queues them, and the writer thread. The two
// buffers are swapped, never copied: the main thread appends to one while the writer writes
// the other, and once both have grown, no line costs an allocation.
struct outqueue {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    int wake = -1; // an eventfd: bytes queued, or the writer is to end; also from a signal
    pthread_cond_t idle = PTHREAD_COND_INITIALIZER; // the writer has written all and waits
    char *bytes;                                    // queued, not yet taken by the writer
    size_t length, cap;
    char *spare; // the writer's buffer, back from it between batches
    size_t sparecap;
    bool writing;  // the writer has a batch out of the lock
    bool asleep;   // the writer waits on wake, with nothing queued when it began to
    int64_t woken; // when the writer was last woken, in ms
    bool running;  // the writer thread exists
    bool stopping; // the writer ends once nothing is queued
    pthread_t writer;
    int fd = STDOUT_FILENO; // standard output, or the report's file
    // Bytes queued, and bytes written or dropped, since the start: read without the lock.
    std::atomic<uint64_t> queued, done;
};

// The one queue of standard output.
static outqueue out;

// Bytes queued past this wake the writer at once.
#define EAGERBYTES 65536
// The least time between two wake-ups of the writer for lines that are not so many, in ms.
#define FLUSHMS 2

// Bytes of one line being formatted: those that fit in cap are stored, all are counted.
// Storing stops at the first piece that does not fit, so what is stored is a clean prefix.
struct line {
    char *bytes;
    size_t cap;
    size_t stored;
    size_t count;
};

static void putbytes(line *l, const char *bytes, size_t length)
{
    if (l->stored == l->count && l->cap - l->stored >= length) {
        for (size_t i = 0; i < length; i++)
            l->bytes[l->stored + i] = bytes[i];
        l->stored += length;
    }
    l->count += length;
}

static void putdigits(line *l, unsigned value, unsigned base)
{
    char digits[16];
    size_t at = sizeof digits;
    do {
        digits[--at] = "0123456789abcdef"[value % base];
        value /= base;
    } while (value);
    putbytes(l, digits + at, sizeof digits - at);
}

static void putwide(line *l, wchar_t c)
{
    char bytes[4];
    putbytes(l, bytes, widechartobytes(c, bytes));
}

// One character of a name, escaped where it could break or forge a line: a reader that
// splits lines by Unicode's rules (Python's splitlines) breaks them at U+0085, U+2028 and
// U+2029 as well as at C0 controls.
static void putnamechar(line *l, wchar_t c)
{
    uint32_t code = (uint32_t)c;
    char bytes[4];
    if (c == L'\n' || c == L'\t' || c == L'"' || c == L'\\') {
        char escape[2] = {'\\', c == L'\n' ? 'n' : c == L'\t' ? 't' : (char)c};
        putbytes(l, escape, 2);
        return;
    }
    size_t length = widechartobytes(c, bytes); // an escaped invalid byte gives that byte
    if (code < 0x20 || (code >= 0x7f && code <= 0x9f) || code == 0x2028 || code == 0x2029 ||
        (code >= 0xdc80 && code <= 0xdcff)) {
        for (size_t i = 0; i < length; i++) {
            unsigned byte = (unsigned char)bytes[i];
            char escape[4] = {'\\', 'x', "0123456789abcdef"[byte >> 4],
                              "0123456789abcdef"[byte & 0xf]};
            putbytes(l, escape, 4);
        }
    } else {
        putbytes(l, bytes, length);
    }
}

static void formatline(line *l, bool escapenames, const wchar_t *format, va_list args)
{
    for (const wchar_t *f = format; *f; f++) {
        if (*f != L'%') {
            putwide(l, *f);
            continue;
        }
        if (f[1] == L'u' || f[1] == L'x') {
            putdigits(l, va_arg(args, unsigned), f[1] == L'u' ? 10 : 16);
            f++;
        } else if (f[1] == L'l' && f[2] == L's') {
            const wchar_t *text = va_arg(args, const wchar_t *);
            for (text = text ? text : L"(null)"; *text; text++) {
                if (escapenames)
                    putnamechar(l, *text);
                else
                    putwide(l, *text);
            }
            f += 2;
        } else if (f[1] == L'%') {
            putbytes(l, "%", 1);
            f++;
        } else {
            putbytes(l, "%", 1); // no message has another conversion; show it as it is
        }
    }
}

// One write, repeated for what a signal or a partial write left over, and after a wait for
// room where a program has made the shared output non-blocking. Any other failure (closed,
// broken, full output) drops the rest: the run must go on without its output.
static int writeout(int fd, const char *bytes, size_t length)
{
    int saved = errno;
    int result = 0;
    while (length > 0) {
        ssize_t done = write(fd, bytes, length);
        if (done < 0 && errno == EINTR)
            continue;
        if (done < 0 && errno == EAGAIN) {
            struct pollfd room = {fd, POLLOUT, 0};
            poll(&room, 1, -1);
            continue;
        }
        if (done <= 0) {
            result = -1;
            break;
        }
        bytes += done;
        length -= (size_t)done;
    }
    errno = saved;
    return result;
}

// The writer: takes whatever is queued as one batch, writes it out of the lock, and gives
// its buffer back. A batch that fails is dropped, and the next one is tried.
static void *writelines(void *)
{
    pthread_mutex_lock(&out.lock);
    for (;;) {
        while (out.length == 0 && !out.stopping) {
            out.asleep = true;
            pthread_mutex_unlock(&out.lock);
            uint64_t count;
            while (read(out.wake, &count, sizeof count) < 0 && errno == EINTR) {
            }
            pthread_mutex_lock(&out.lock);
            out.asleep = false;
        }
        if (out.length == 0)
            break;
        char *batch = out.bytes;
        size_t length = out.length, cap = out.cap;
        out.bytes = out.spare;
        out.cap = out.sparecap;
        out.length = 0;
        out.writing = true;
        pthread_mutex_unlock(&out.lock);
        writeout(out.fd, batch, length);
        out.done += length;
        pthread_mutex_lock(&out.lock);
        out.spare = batch;
        out.sparecap = cap;
        out.writing = false;
        if (out.length == 0)
            pthread_cond_broadcast(&out.idle);
    }
    pthread_mutex_unlock(&out.lock);
    return nullptr;
}

// Capabilities are kept per thread, and a thread starts with its creator's. Root keeps what
// root has (job/capabilities.cpp).
void holdnoprivilege(void)
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[2] = {};
    if (getuid() != 0)
        syscall(SYS_capset, &header, none);
}

// Started at the first line. Every signal is blocked in it, so that each still reaches the
// main thread: the ptrace tracker waits there for SIGCHLD, and catches terminating ones. On
// the normal path the first line comes after the tracker's load, once every capability has
// been dropped; on one that fails before, they are dropped here, and the writer holds none.
static bool startwriter(void)
{
    holdnoprivilege();
    if (out.wake < 0 && (out.wake = eventfd(0, EFD_CLOEXEC)) < 0)
        return false;
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    out.running = pthread_create(&out.writer, nullptr, writelines, nullptr) == 0;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return out.running;
}

static int64_t monotonicms(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// Under the lock. The count it adds to the eventfd stays until the writer reads it, so a
// writer that is about to wait does not miss it.
static void wakewriter(void)
{
    uint64_t one = 1;
    if (out.asleep && write(out.wake, &one, sizeof one) == sizeof one) {
        out.asleep = false;
        out.woken = monotonicms();
    }
}

// Room for length more queued bytes.
static bool reserve(size_t length)
{
    if (out.cap - out.length >= length)
        return true;
    size_t cap = out.cap ? out.cap : 4096;
    while (cap - out.length < length)
        cap *= 2;
    char *bytes = (char *)realloc(out.bytes, cap);
    if (!bytes)
        return false;
    out.bytes = bytes;
    out.cap = cap;
    return true;
}

// Queues one line for the writer. Without a thread or memory for it, the line is written
// here, blocking, once what came before it is out.
static int emit(const char *bytes, size_t length)
{
    int result = 0;
    pthread_mutex_lock(&out.lock);
    if ((out.running || startwriter()) && reserve(length)) {
        memcpy(out.bytes + out.length, bytes, length);
        out.length += length;
        out.queued += length;
        if (out.length >= EAGERBYTES)
            wakewriter();
    } else {
        while (out.length > 0 || out.writing)
            pthread_cond_wait(&out.idle, &out.lock);
        result = writeout(out.fd, bytes, length);
    }
    pthread_mutex_unlock(&out.lock);
    return result;
}

void drainoutput(void)
{
    int saved = errno;
    pthread_mutex_lock(&out.lock);
    bool running = out.running;
    out.stopping = true;
    wakewriter();
    pthread_mutex_unlock(&out.lock);
    if (running)
        pthread_join(out.writer, nullptr);
    pthread_mutex_lock(&out.lock);
    out.running = false;
    out.stopping = false;
    pthread_mutex_unlock(&out.lock);
    errno = saved;
}

int flushoutput(void)
{
    int due = -1;
    pthread_mutex_lock(&out.lock);
    if (out.length > 0 && out.asleep) {
        int64_t since = monotonicms() - out.woken;
        if (since >= FLUSHMS)
            wakewriter();
        else
            due = (int)(FLUSHMS - since);
    }
    pthread_mutex_unlock(&out.lock);
    return due;
}

// What is queued is written here, after the writer's batch if it has one out: waking the
// writer for it would cost a switch to it, and on a busy machine a wait for a CPU.
void writequeued(void)
{
    int saved = errno;
    pthread_mutex_lock(&out.lock);
    while (out.writing)
        pthread_cond_wait(&out.idle, &out.lock);
    writeout(out.fd, out.bytes, out.length);
    out.done += out.length;
    out.length = 0;
    pthread_mutex_unlock(&out.lock);
    errno = saved;
}

void drainoutputfor(long ms)
{
    uint64_t queued = out.queued, one = 1;
    if (out.wake >= 0 && write(out.wake, &one, sizeof one) < 0) {
        // the writer is woken already, or cannot be
    }
    struct timespec tick = {0, 1000000L};
    for (long waited = 0; waited < ms && out.done < queued; waited++)
        nanosleep(&tick, nullptr);
}

// Formats into a buffer on the stack, or one from malloc (*heap, for the caller to free) for
// a longer line (escaped names can be four times their bytes). Without memory, the part
// that fitted is kept.
static line formatted(char *stack, size_t size, char **heap, bool escapenames,
                      const wchar_t *fmt, va_list args)
{
    line l = {stack, size, 0, 0};
    va_list again;
    va_copy(again, args);
    formatline(&l, escapenames, fmt, args);
    *heap = nullptr;
    if (l.count > l.cap && (*heap = (char *)malloc(l.count))) {
        l = {*heap, l.count, 0, 0};
        formatline(&l, escapenames, fmt, again);
    }
    va_end(again);
    return l;
}

// The result tells what was queued; a failure to write it comes later, and is not told.
static int vprint(bool escapenames, const wchar_t *fmt, va_list args)
{
    char stack[1024], *heap;
    line l = formatted(stack, sizeof stack, &heap, escapenames, fmt, args);
    int result = emit(l.bytes, l.stored);
    free(heap);
    return result < 0 ? -1 : (int)l.stored;
}

int platformwprintf(const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    int result = vprint(true, format, args);
    va_end(args);
    return result;
}

static int print(bool escapenames, const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    int result = vprint(escapenames, format, args);
    va_end(args);
    return result;
}

int platformputws(const wchar_t *text)
{
    return print(false, L"%ls\n", text) < 0 ? -1 : 0;
}

// Once what went to the old place is out, the writer's next batch goes to the new one.
void platformreportto(HANDLE file)
{
    int fd = filedescriptor(file);
    if (fd < 0)
        return;
    drainoutput();
    out.fd = fd;
}

int platformewprintf(const wchar_t *format, ...)
{
    drainoutput(); // on a shared terminal, after the report's lines written before it
    char stack[1024], *heap;
    va_list args;
    va_start(args, format);
    line l = formatted(stack, sizeof stack, &heap, true, format, args);
    va_end(args);
    int result = writeout(STDERR_FILENO, l.bytes, l.stored);
    free(heap);
    return result < 0 ? -1 : (int)l.stored;
}

int platformsnprintf(char *bytes, size_t size, const wchar_t *format, ...)
{
    line l = {bytes, size ? size - 1 : 0, 0, 0};
    va_list args;
    va_start(args, format);
    formatline(&l, true, format, args);
    va_end(args);
    if (size)
        bytes[l.stored] = '\0';
    return (int)l.count;
}
