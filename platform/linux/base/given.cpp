// What dorvane was given and hands on to the root as it was: its arguments.
#include "linux.h"

// The root's arguments, argv[1] on, as main was given them.
static char **args;

void keepgiven(char **programargv)
{
    args = programargv;
}

char **givenargs(void)
{
    return args;
}
