// Starting the root program followed and stopped before its first instruction, and the
// services that then let it run or end it.
//
// The start is signal-free: the child waits on a pipe until the tracker has seized it, then
// execs; a failed exec writes its errno into a close-on-exec pipe. The kernel closes that
// pipe before the exec is done, so the tracker's wait decides, and the pipe only says why
// it failed. The child holds no write end of the first pipe and no descriptor of dorvane's
// own: should dorvane die before it lets the child go, the child reads the pipe's end and
// leaves without starting the program, and nothing of dorvane stays loaded.
#include "records.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

// The search path of a program named without a slash when PATH is not set.
static const char *defaultpath = "/usr/local/bin:/usr/bin:/bin";

// Whether dorvane has taken over SIGINT and SIGQUIT yet.
static bool terminalsignalstaken;

// Ctrl-C and Ctrl-\ go to the whole foreground process group, dorvane too. The programs
// are to end of them as usual, and dorvane to outlive them and report their ends.
static void taketerminalsignals(void)
{
    if (terminalsignalstaken)
        return;
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGINT, &ignore, nullptr);
    sigaction(SIGQUIT, &ignore, nullptr);
    terminalsignalstaken = true;
}

// execvp's fallback for a file in no executable format (a script without #!): /bin/sh runs
// it. shell is its argument vector, made before the fork, with room for the file at [1].
static int runbyshell(const char *file, char **shell)
{
    if (shell) {
        shell[1] = (char *)file;
        execve(shell[0], shell, programenvironment());
    }
    return ENOEXEC; // as the file's own exec failed
}

// execvp's search: a directory of the path that lacks the program, or is no directory,
// passes to the next; permission denied is kept as the answer if nothing runs.
static int execsearch(char **argv, const char *path, char **shell)
{
    const char *name = argv[0];
    if (!name || !*name)
        return ENOENT;
    if (strchr(name, '/')) {
        execve(name, argv, programenvironment());
        return errno == ENOEXEC ? runbyshell(name, shell) : errno;
    }
    size_t namelength = strlen(name);
    bool denied = false;
    for (const char *dir = path;; dir++) {
        const char *end = strchrnul(dir, ':');
        size_t dirlength = (size_t)(end - dir);
        char file[PATH_MAX];
        if (dirlength + namelength + 2 <= sizeof file) {
            memcpy(file, dir, dirlength);
            size_t at = dirlength;
            if (dirlength) // an empty entry is the current directory
                file[at++] = '/';
            memcpy(file + at, name, namelength + 1);
            execve(file, argv, programenvironment());
            if (errno == ENOEXEC)
                return runbyshell(file, shell);
            if (errno == EACCES)
                denied = true;
            else if (errno != ENOENT && errno != ENOTDIR && errno != ESTALE &&
                     errno != ENODEV && errno != ETIMEDOUT)
                return errno;
        }
        if (!*end)
            return denied ? EACCES : ENOENT;
        dir = end;
    }
}

// In the child: none of dorvane's descriptors but the two pipe ends it uses, the signals as
// dorvane was given them, then wait to be seized, then exec. A child that reads the pipe's
// end without the byte that lets it go has lost dorvane, and leaves. Only system calls and
// plain byte copies here: the output's writer thread may have held the allocator's or the
// queue's lock at the fork, and the child has no thread to release them.
[[noreturn]] static void child(char **argv, const char *path, char **shell, int syncfd,
                               int errfd)
{
    int keep[] = {syncfd, errfd};
    closeownfds(keep, 2);
    restoregivensignals();
    char go;
    ssize_t n;
    while ((n = read(syncfd, &go, 1)) < 0 && errno == EINTR) {
    }
    if (n != 1)
        _exit(127);
    int err = execsearch(argv, path, shell);
    while (write(errfd, &err, sizeof err) < 0 && errno == EINTR) {
    }
    _exit(127);
}

// Forks the child and seizes it; returns its pid, or -1 with errno. Every signal waits
// across the fork, so that none reaches the child before it has the dispositions it was
// given: until then it has dorvane's handlers.
static pid_t forkseized(char **argv, const char *path, char **shell, int errpipe[2])
{
    int syncpipe[2];
    if (pipe2(syncpipe, O_CLOEXEC) < 0) {
        noteerror("pipe2", errno, nullptr);
        return -1;
    }
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pid_t pid = fork();
    if (pid == 0) {
        close(errpipe[0]);
        close(syncpipe[1]); // also without /proc, where closeownfds can close nothing
        child(argv, path, shell, syncpipe[0], errpipe[1]);
    }
    int err = errno;
    if (pid < 0)
        noteerror("fork", err, err == EAGAIN ? "a limit of processes is reached" : nullptr);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    close(syncpipe[0]);
    if (pid > 0 && !tracking->seize(pid)) {
        err = errno;
        kill(pid, SIGKILL);
        while (waitpid(pid, nullptr, __WALL) < 0 && errno == EINTR) {
        }
        pid = -1;
    }
    if (pid > 0)
        while (write(syncpipe[1], "", 1) < 0 && errno == EINTR) {
        }
    close(syncpipe[1]);
    errno = err;
    return pid;
}

// The argument vector of /bin/sh for a file in no executable format: its argv[0] gives way
// to the shell and the file. Null without memory: such a file then fails to start.
static char **shellargs(char **argv)
{
    size_t count = 0;
    while (argv[count])
        count++;
    char **shell = (char **)malloc((count + 2) * sizeof(char *));
    if (shell) {
        shell[0] = (char *)"/bin/sh";
        memcpy(shell + 2, argv + 1, count * sizeof(char *)); // its null too
    }
    return shell;
}

// What a failed exec likely means, beyond its errno.
static const char *execcause(int err, const char *name)
{
    if (err == ENOENT)
        return strchr(name, '/')
                   ? "it is not there, or the interpreter that its #! names is not"
                   : "it is not found in the directories of PATH";
    if (err == EACCES)
        return "it is not an executable file, or lies on a file system mounted noexec";
    if (err == EINTR)
        return "it was killed before it started";
    return nullptr;
}

// Starts the program and leaves it stopped at its exec; returns its pid, or -1 with errno.
static pid_t startstopped(char **argv)
{
    const char *path = getenv("PATH");
    int errpipe[2];
    if (pipe2(errpipe, O_CLOEXEC) < 0) {
        noteerror("pipe2", errno, nullptr);
        return -1;
    }
    char **shell = shellargs(argv);
    pid_t pid = forkseized(argv, path ? path : defaultpath, shell, errpipe);
    int err = errno;
    free(shell);
    if (pid > 0) {
        tracking->afterfork();
        guardjob();
    }
    close(errpipe[1]);
    if (pid > 0) {
        err = tracking->awaitexec(pid, errpipe[0]); // a child that failed is reaped by then
        if (err) {
            noteerror("execve", err, execcause(err, argv[0] ? argv[0] : ""));
            pid = -1;
        }
    }
    close(errpipe[0]);
    errno = err;
    return pid;
}

// The core names the program in the command line, the arguments joined as Windows wants
// them; on Linux the program gets the arguments themselves, as dorvane was given them (the
// core's line is their join, and no split of it could give back an empty argument or one
// with a blank).
BOOL CreateProcessW(LPCWSTR applicationname, LPWSTR, LPSECURITY_ATTRIBUTES,
                    LPSECURITY_ATTRIBUTES, BOOL, DWORD flags, LPVOID environment,
                    LPCWSTR currentdirectory, LPSTARTUPINFOW, LPPROCESS_INFORMATION information)
{
    char **argv = givenargs();
    if (applicationname || environment || currentdirectory || !argv) {
        setlasterror(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    proc *p = newproc(0);
    thread *t = (thread *)malloc(sizeof(thread));
    if (!p || !t) {
        free(p);
        free(t);
        setlasterror(noteerror("malloc", ENOMEM, nullptr));
        sayerror();
        return FALSE;
    }
    taketerminalsignals();
    pid_t pid = startstopped(argv);
    int err = errno;
    if (pid > 0)
        p->pid = (DWORD)pid;
    if (pid < 0 || !tracking->adopt(p, pid)) {
        if (pid > 0)
            kill(pid, SIGKILL);
        free(p);
        free(t);
        setlasterror(pid < 0 ? winerror(err) : noteerror("malloc", ENOMEM, nullptr));
        sayerror();
        return FALSE;
    }
    if (!p->current)
        p->current = readimage(pid);
    p->suspended = true;
    t->kind = KINDTHREAD;
    t->process = p;
    holdproc(p); // the thread handle's; newproc's reference is the process handle's
    information->hProcess = p;
    information->hThread = t;
    information->dwProcessId = (DWORD)pid;
    information->dwThreadId = (DWORD)pid;
    if (!(flags & CREATE_SUSPENDED))
        ResumeThread(t);
    return TRUE;
}

DWORD ResumeThread(HANDLE handle)
{
    thread *t = (thread *)handle;
    if (!t || handle == INVALID_HANDLE_VALUE || t->kind != KINDTHREAD) {
        setlasterror(ERROR_INVALID_HANDLE);
        return (DWORD)-1;
    }
    proc *p = t->process;
    if (!p->suspended)
        return 0;
    if (resumeafterannounce(p))
        return 1; // it runs once its lines are out
    if (!tracking->resume((pid_t)p->pid)) {
        sayerror();
        return (DWORD)-1;
    }
    p->suspended = false;
    return 1;
}

// The end is reported when the kernel reports it, with the code given here, as a normal
// end: what a process ended by TerminateProcess gives on Windows.
BOOL TerminateProcess(HANDLE handle, UINT code)
{
    proc *p = asproc(handle);
    if (!p) {
        setlasterror(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!p->alive) {
        setlasterror(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (kill((pid_t)p->pid, SIGKILL) < 0) {
        setlasterror(noteerror("kill", errno, nullptr));
        sayerror();
        return FALSE;
    }
    p->terminated = true;
    p->exitcode = code;
    return TRUE;
}
