// The options before the program, in GNU getopt_long's manner. The parse is pure: it
// writes nothing and asks nothing of the system, so that the Linux entry point can ask it
// where the program starts before wmain runs.
#pragma once

#include "platform.h"

enum optionfault {
    OPTIONSOK,
    UNKNOWNOPTION,   // no option has that name
    MISSINGARGUMENT, // an option that takes a FILE came last, without one
    NEEDLESSARGUMENT // --NAME=VALUE for an option that takes none
};

struct options {
    const wchar_t *output; // --output=FILE: the report's lines go to FILE
    const wchar_t *json;   // --json=FILE: one JSON record per process
    const wchar_t *trace;  // --trace=FILE: a Chrome trace-event file
    bool summary;          // --summary: the failed processes on standard error at the end
    bool help;             // --help, or --version, came before any fault
    bool version;
    int program;           // index in argv of the program; argc when none is given
    optionfault fault;     // the first fault, if any
    const wchar_t *faulty; // the argument at fault as given, or the option's name
};

// Options are the arguments from argv[1] on that begin with "--", up to the first that
// does not, or up to "--", which is taken away. An option that takes a FILE has it after
// "=" or as the next argument, whatever that looks like. Parsing stops at --help,
// --version and the first fault.
void parseoptions(int argc, wchar_t **argv, options *o);
