// Workloads for the benchmarks and stress runs: trees of short processes of known shape,
// whose exit codes are planned so that a run's report can be checked against them.
//   fanout N         start N children at once, each ending at once; wait for all
//   chain N          N nested processes, each waiting for the one it started
//   threads N        one process that starts N threads and joins them
//   many N P CODES   N processes in all, at most P at a time; child i ends with i % CODES
//   twins N P CODES  as many, but each child ends from two threads at the same moment
//   storm N          N children one after the other, each waited for (Windows: no shell)
//   randtree SEED N MARKER  a random tree of N processes (see randtree below)
//   busy MS N        two children spin for MS ms while N short children run one by one
//   isolated OUTFILE one child alone in 300 ms of quiet; OUTFILE gets the monotonic ns of
//                    its reap and of the root's return (Linux only)
//   idle S [threaded] sleep S seconds, with a second thread asleep too if asked (Linux only)
//   peakrss ARGV...  run ARGV and write to standard error its own CPU seconds, without its
//                    children's, and its peak RSS in kB (Linux only)
// and, on Linux, those of edges.cpp.
// Built for Linux and, for the spawn storm and the fan-out, for Windows.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>

static HANDLE startself(const char *args)
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    wchar_t line[MAX_PATH + 64];
    swprintf(line, MAX_PATH + 64, L"\"%ls\" %hs", path, args);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info))
        ExitProcess(99);
    CloseHandle(info.hThread);
    return info.hProcess;
}

int main(int argc, char **argv)
{
    if (argc < 3) {
        if (argc == 2 && !strcmp(argv[1], "leaf"))
            return 0;
        fprintf(stderr, "usage: workloads fanout|storm N\n");
        return 97;
    }
    long n = atol(argv[2]);
    if (!strcmp(argv[1], "storm")) {
        for (long i = 0; i < n; i++) {
            HANDLE child = startself("leaf");
            WaitForSingleObject(child, INFINITE);
            CloseHandle(child);
        }
        return 0;
    }
    if (!strcmp(argv[1], "fanout")) {
        HANDLE *children = (HANDLE *)calloc(n, sizeof(HANDLE));
        for (long i = 0; i < n; i++)
            children[i] = startself("leaf");
        for (long i = 0; i < n; i++) {
            WaitForSingleObject(children[i], INFINITE);
            CloseHandle(children[i]);
        }
        return 0;
    }
    return 97;
}
#else
#include <errno.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static void reap(pid_t pid)
{
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// Children end from two threads at once: each thread calls exit_group as soon as both run.
static bool twins;
static int twinsready;

static void *twin(void *code)
{
    __atomic_add_fetch(&twinsready, 1, __ATOMIC_SEQ_CST);
    while (__atomic_load_n(&twinsready, __ATOMIC_SEQ_CST) < 2) {
    }
    _exit((int)(long)code);
}

static pid_t spawn(int code)
{
    pid_t pid;
    while ((pid = fork()) < 0 && errno == EAGAIN)
        usleep(1000);
    if (pid < 0)
        exit(99);
    if (pid == 0 && twins) {
        pthread_t other;
        if (pthread_create(&other, nullptr, twin, (void *)(long)code) == 0)
            twin((void *)(long)code);
    }
    if (pid == 0)
        _exit(code);
    return pid;
}

// Each process starts the next and waits for it, so all `depth` are alive at once.
static void chain(long depth)
{
    for (; depth > 1; depth--) {
        pid_t pid = fork();
        if (pid < 0)
            _exit(99);
        if (pid > 0) {
            reap(pid);
            break;
        }
    }
    _exit(0);
}

static void *idle(void *)
{
    return nullptr;
}

static void threads(long n)
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 64 * 1024);
    pthread_t *ids = (pthread_t *)calloc(n, sizeof(pthread_t));
    for (long i = 0; i < n; i++)
        if (pthread_create(&ids[i], &attr, idle, nullptr) != 0)
            exit(98);
    for (long i = 0; i < n; i++)
        pthread_join(ids[i], nullptr);
}

// At most `parallel` children alive; child i ends with i % codes.
static void many(long n, long parallel, long codes)
{
    long running = 0;
    for (long i = 0; i < n; i++) {
        if (running == parallel) {
            int status;
            while (wait(&status) < 0 && errno == EINTR) {
            }
            running--;
        }
        spawn((int)(i % codes));
        running++;
    }
    int status;
    while (wait(&status) > 0 || errno == EINTR) {
    }
}

// N processes in a tree drawn from SEED: each node's parent is the node before it (depth)
// or any earlier node (fan-out), half and half. Node i ends with (i * 37 + SEED) % 256; one
// node in four waits for its children first, the others leave them orphaned. Node N / 2
// ends last, after writing its pid to MARKER, so a run that ends early shows.
static void randtree(unsigned long seed, long n, const char *marker)
{
    unsigned long long state = seed;
    auto next = [&state] {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return (long)(state >> 33);
    };
    long *first = (long *)malloc(n * sizeof(long)), *sibling = (long *)malloc(n * sizeof(long));
    bool *waits = (bool *)malloc(n * sizeof(bool));
    for (long i = 0; i < n; i++) {
        first[i] = sibling[i] = -1;
        waits[i] = next() % 4 == 0;
    }
    for (long i = n - 1; i > 0; i--) {
        long parent = next() % 2 ? i - 1 : next() % i;
        sibling[i] = first[parent];
        first[parent] = i;
    }
    long node = 0;
again:
    for (long child = first[node]; child >= 0; child = sibling[child]) {
        pid_t pid;
        while ((pid = fork()) < 0 && errno == EAGAIN)
            usleep(1000);
        if (pid == 0) {
            node = child;
            goto again;
        }
    }
    if (node == n / 2) {
        usleep(1500 * 1000);
        FILE *out = fopen(marker, "w");
        if (out) {
            fprintf(out, "%d\n", (int)getpid());
            fclose(out);
        }
    }
    if (waits[node]) {
        int status;
        while (wait(&status) > 0 || errno == EINTR) {
        }
    }
    _exit((int)((node * 37 + seed) % 256));
}

static void busy(long ms, long n)
{
    for (int i = 0; i < 2; i++)
        if (fork() == 0) {
            struct timespec start, now;
            clock_gettime(CLOCK_MONOTONIC, &start);
            do
                clock_gettime(CLOCK_MONOTONIC, &now);
            while ((now.tv_sec - start.tv_sec) * 1000 +
                       (now.tv_nsec - start.tv_nsec) / 1000000 <
                   ms);
            _exit(1);
        }
    many(n, 1, 251);
}

static void *asleep(void *seconds)
{
    sleep((unsigned)(long)seconds);
    return nullptr;
}

static int idle(long seconds, bool threaded)
{
    pthread_t other;
    if (threaded && pthread_create(&other, nullptr, asleep, (void *)seconds) != 0)
        return 98;
    asleep((void *)seconds);
    return 0;
}

static long long monotonic()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

// The quiet around the child is what makes its lines' latency the tracker's own: nothing
// else in the tree produces events that could carry them out early. The last stamp is
// taken before the file is written so that the run's end is measured from a point the
// root has truly passed; the write and the exit take microseconds.
static int isolated(const char *outfile)
{
    usleep(150 * 1000);
    reap(spawn(0));
    long long reaped = monotonic();
    usleep(150 * 1000);
    long long last = monotonic();
    FILE *out = fopen(outfile, "w");
    if (!out)
        return 98;
    fprintf(out, "%lld %lld\n", reaped, last);
    return fclose(out) == 0 ? 0 : 98;
}

// A child's ru_maxrss starts from the peak of the process it was forked from, kept across
// exec; forked from this small program rather than from the bench's interpreter, that floor
// is a few MB below what dorvane takes, and a run of /bin/true shows it. Its CPU time is read
// from /proc while it is a zombie: wait4's would add that of every process it reaped (the
// root, and through it the whole tree).
static int peakrss(char **argv)
{
    pid_t pid = fork();
    if (pid < 0)
        return 99;
    if (pid == 0) {
        execvp(argv[0], argv);
        _exit(127);
    }
    siginfo_t info;
    while (waitid(P_PID, (id_t)pid, &info, WEXITED | WNOWAIT) < 0)
        if (errno != EINTR)
            return 99;
    char path[40], stat[1024] = "";
    snprintf(path, sizeof path, "/proc/%d/stat", (int)pid);
    FILE *f = fopen(path, "r");
    if (f) {
        stat[fread(stat, 1, sizeof stat - 1, f)] = '\0';
        fclose(f);
    }
    // utime and stime are fields 14 and 15; the name in field 2 may hold spaces.
    unsigned long long utime = 0, stime = 0;
    const char *at = strrchr(stat, ')');
    if (!at || sscanf(at + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime,
                      &stime) != 2)
        return 99;
    int status;
    struct rusage usage;
    while (wait4(pid, &status, 0, &usage) < 0)
        if (errno != EINTR)
            return 99;
    fprintf(stderr, "%.3f %ld\n", (double)(utime + stime) / (double)sysconf(_SC_CLK_TCK),
            usage.ru_maxrss);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int edges(int argc, char **argv);

int main(int argc, char **argv)
{
    int code = edges(argc, argv);
    if (code >= 0)
        return code;
    if (argc > 2 && !strcmp(argv[1], "idle"))
        return idle(atol(argv[2]), argc > 3 && !strcmp(argv[3], "threaded"));
    if (argc > 2 && !strcmp(argv[1], "isolated"))
        return isolated(argv[2]);
    if (argc > 2 && !strcmp(argv[1], "peakrss"))
        return peakrss(argv + 2);
    if (argc > 4 && !strcmp(argv[1], "randtree"))
        randtree(strtoul(argv[2], nullptr, 0), atol(argv[3]), argv[4]);
    if (argc > 3 && !strcmp(argv[1], "busy")) {
        busy(atol(argv[2]), atol(argv[3]));
        return 0;
    }
    if (argc < 3) {
        fprintf(stderr, "usage: workloads fanout|chain|threads|many|twins|storm N [P CODES]\n");
        return 97;
    }
    long n = atol(argv[2]);
    if (!strcmp(argv[1], "fanout"))
        many(n, n, 1);
    else if (!strcmp(argv[1], "chain"))
        chain(n);
    else if (!strcmp(argv[1], "threads"))
        threads(n);
    else if ((!strcmp(argv[1], "many") || (twins = !strcmp(argv[1], "twins"))) && argc > 4)
        many(n, atol(argv[3]), atol(argv[4]));
    else if (!strcmp(argv[1], "storm"))
        many(n, 1, 1);
    else
        return 97;
    return 0;
}
#endif
