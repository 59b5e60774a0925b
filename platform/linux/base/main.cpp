// Entry point on Linux: stands in for the Windows runtime, which hands wmain its arguments
// as wide text. The core joins the program's arguments into the root's command line, as
// Windows wants; the root is started from the arguments themselves, kept here as dorvane
// was given them, as every Linux wrapper (env, nice, timeout, sudo) passes its argument
// vector on. Where the program starts, after the options, the front end's own parse says,
// so the two cannot disagree; it also says whether the run's record is asked for, which
// the trackers must know before they load.
#include "linux.h"
#include "../../../frontend/frontend.h"
#include "../../../frontend/messages.h"
#include "../../../frontend/options.h"

#include <signal.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv)
{
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
    options given;
    parseoptions(argc, wide, &given);
    keepgiven(argv + given.program);
    if (given.json || given.trace || given.summary)
        askrecord();
    // A reader that goes away must not end the supervision: a write to a broken pipe then
    // fails with EPIPE and is dropped. The root must not inherit this (an ignored signal
    // stays ignored across execve): it starts with the signals dorvane was given.
    signal(SIGPIPE, SIG_IGN);
    int code = wmain(argc, wide); // returns only where it runs no program
    for (int i = 0; i < argc; i++)
        free(wide[i]);
    free(wide);
    drainoutput();
    return code;
}
