// Workloads that take a tracker to the edges of what it keeps: many processes with threads
// alive at once, orphans whose creators end first, exec chains, and bursts with a lone
// process after them. Each knows its own shape, codes and programs, so a report can be
// checked against it (Linux only).
//   threadedtree N MARKER  N children, each with a second thread and a grandchild, all alive
//                          at once, then let go together; child i ends with i % 251, its
//                          grandchild with (i + 1) % 251; the last grandchild ends 1.5 s
//                          after the rest, after writing its pid to MARKER
//   orphanchain N MARKER   N processes, each forking the next and ending at once; the last
//                          writes its pid to MARKER; each ends with its depth % 251
//   parents N              N children let go together, each forking a child and ending at
//                          once (1), its child ending with 2
//   execchain N K TWIN     3,000 short children one by one (a stopped reader's ring fills
//                          with them), then N children, each exec'ing K times, TWIN and
//                          this program in turn, TWIN first; ends 0
//   bursts OUTFILE         five bursts of 30 short children, 0.5 ms and then 30 ms apart, then
//   a lone one
//                          31 ms after the last: OUTFILE gets the monotonic ns of its reap
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static pid_t forked(void)
{
    pid_t pid;
    while ((pid = fork()) < 0 && errno == EAGAIN)
        usleep(1000);
    if (pid < 0)
        _exit(99);
    return pid;
}

static void waitall(void)
{
    int status;
    while (wait(&status) > 0 || errno == EINTR) {
    }
}

// Blocks until the release pipe's write ends are all closed.
static void *released(void *fd)
{
    char byte;
    while (read((int)(long)fd, &byte, 1) < 0 && errno == EINTR) {
    }
    return nullptr;
}

static void mark(const char *marker)
{
    FILE *out = fopen(marker, "w");
    if (out) {
        fprintf(out, "%d\n", (int)getpid());
        fclose(out);
    }
}

static void threadedtree(long n, const char *marker)
{
    int release[2], ready[2];
    if (pipe(release) < 0 || pipe(ready) < 0)
        _exit(99);
    for (long i = 0; i < n; i++) {
        if (forked())
            continue;
        close(release[1]);
        pthread_t other;
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, 64 * 1024);
        if (pthread_create(&other, &attr, released, (void *)(long)release[0]) != 0)
            _exit(98);
        if (!forked()) {
            released((void *)(long)release[0]);
            if (i == n - 1) {
                usleep(1500 * 1000);
                mark(marker);
            }
            _exit((int)((i + 1) % 251));
        }
        if (write(ready[1], "", 1) < 0)
            _exit(98);
        pthread_join(other, nullptr);
        _exit((int)(i % 251));
    }
    char byte;
    for (long i = 0; i < n; i++)
        while (read(ready[0], &byte, 1) < 0 && errno == EINTR) {
        }
    close(release[1]);
    waitall();
}

static void orphanchain(long n, const char *marker)
{
    long depth = 0;
    while (depth < n - 1 && !forked())
        depth++;
    if (depth == n - 1) {
        usleep(200 * 1000);
        mark(marker);
    }
    _exit((int)(depth % 251));
}

static void parents(long n)
{
    int release[2];
    if (pipe(release) < 0)
        _exit(99);
    for (long i = 0; i < n; i++) {
        if (forked())
            continue;
        close(release[1]);
        released((void *)(long)release[0]);
        if (!forked())
            _exit(2);
        _exit(1);
    }
    close(release[1]);
    waitall();
}

static void execstep(long left, const char *self, const char *twin)
{
    if (left <= 0)
        _exit(0);
    char count[24];
    snprintf(count, sizeof count, "%ld", left - 1);
    // The next one runs the other program, and names this one as its twin.
    execl(twin, twin, "execstep", count, twin, self, (char *)nullptr);
    _exit(97);
}

static void execchain(long n, long k, const char *twin)
{
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0)
        _exit(99);
    self[length] = '\0';
    for (int i = 0; i < 3000; i++) {
        if (!forked())
            _exit(0);
        waitall();
    }
    for (long i = 0; i < n; i++)
        if (!forked())
            execstep(k, self, twin);
    waitall();
}

static long long monotonic(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

static int bursts(const char *outfile)
{
    for (int burst = 0; burst < 5; burst++) {
        if (burst)
            usleep(30 * 1000);
        for (int i = 0; i < 30; i++) {
            if (!forked())
                _exit(0);
            usleep(500); // each its own wake-up of the reader
        }
        waitall();
    }
    usleep(31 * 1000);
    pid_t lone = forked();
    if (!lone)
        _exit(0);
    int status;
    while (waitpid(lone, &status, 0) < 0 && errno == EINTR) {
    }
    long long reaped = monotonic();
    usleep(100 * 1000);
    FILE *out = fopen(outfile, "w");
    if (!out)
        return 98;
    fprintf(out, "%lld\n", reaped);
    return fclose(out) == 0 ? 0 : 98;
}

// One of these workloads, if argv names one: its exit code; else -1.
int edges(int argc, char **argv)
{
    const char *verb = argc > 1 ? argv[1] : "";
    if (argc > 3 && !strcmp(verb, "threadedtree"))
        threadedtree(atol(argv[2]), argv[3]);
    else if (argc > 3 && !strcmp(verb, "orphanchain"))
        orphanchain(atol(argv[2]), argv[3]);
    else if (argc > 2 && !strcmp(verb, "parents"))
        parents(atol(argv[2]));
    else if (argc > 4 && !strcmp(verb, "execchain"))
        execchain(atol(argv[2]), atol(argv[3]), argv[4]);
    else if (argc > 4 && !strcmp(verb, "execstep"))
        execstep(atol(argv[2]), argv[3], argv[4]);
    else if (argc > 2 && !strcmp(verb, "bursts"))
        return bursts(argv[2]);
    else
        return -1;
    return 0;
}
