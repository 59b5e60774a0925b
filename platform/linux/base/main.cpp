// Entry point on Linux: stands in for the Windows runtime, which hands wmain its arguments
// as wide text. The core joins them into the root's command line, as Windows wants; the root
// is started from the arguments themselves, kept here as dorvane was given them, as every
// Linux wrapper (env, nice, timeout, sudo) passes its argument vector on.
#include "linux.h"
#include "../../../frontend/frontend.h"
#include "../../../frontend/messages.h"

#include <signal.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv)
{
    keepgiven(argv + 1);
    // A reader that goes away must not end the supervision: a write to a broken pipe then
    // fails with EPIPE and is dropped. The root must not inherit this (an ignored signal
    // stays ignored across execve): it starts with the signals dorvane was given.
    signal(SIGPIPE, SIG_IGN);
    wchar_t **wide = (wchar_t **)malloc(((size_t)argc + 1) * sizeof *wide);
    for (int i = 0; wide && i < argc; i++) {
        wide[i] = bytestowide(argv[i], strlen(argv[i]));
        if (!wide[i]) {
            free(wide);
            wide = nullptr;
        }
    }
    if (!wide) {
        _putws(MSGHEAPALLOC);
        drainoutput();
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    wide[argc] = nullptr;
    int code = wmain(argc, wide); // returns only without a program to run
    drainoutput();
    return code;
}
