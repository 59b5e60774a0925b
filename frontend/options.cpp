// The options before the program. Only arguments that begin with "--" are options, so any
// program that could be named before, "-" or "-x" included, still can be; one whose name
// begins with "--" comes after "--". Names are taken whole, never abbreviated: a name
// that a later option would share a prefix with cannot change meaning.
#include "options.h"

// Each option and, for those that take a FILE, where it goes.
struct optiondef {
    const wchar_t *name;
    const wchar_t *options::*file; // null for an option without an argument
    bool options::*flag;
};

static const optiondef defs[] = {
    {L"output", &options::output, nullptr}, {L"json", &options::json, nullptr},
    {L"trace", &options::trace, nullptr},   {L"summary", nullptr, &options::summary},
    {L"help", nullptr, &options::help},     {L"version", nullptr, &options::version},
};

// The option named by text up to its end or its "=".
static const optiondef *findoption(const wchar_t *text, size_t length)
{
    for (const optiondef &def : defs)
        if (wcslen(def.name) == length && wcsncmp(def.name, text, length) == 0)
            return &def;
    return nullptr;
}

static void fault(options *o, optionfault kind, const wchar_t *arg)
{
    o->fault = kind;
    o->faulty = arg;
}

void parseoptions(int argc, wchar_t **argv, options *o)
{
    *o = options();
    o->program = argc;
    int at = 1;
    while (at < argc && wcsncmp(argv[at], L"--", 2) == 0) {
        const wchar_t *arg = argv[at++];
        if (!arg[2])
            break; // "--": what follows is the program
        const wchar_t *equals = wcschr(arg + 2, L'=');
        size_t length = equals ? (size_t)(equals - arg - 2) : wcslen(arg + 2);
        const optiondef *def = findoption(arg + 2, length);
        if (!def)
            return fault(o, UNKNOWNOPTION, arg);
        if (def->flag) {
            if (equals)
                return fault(o, NEEDLESSARGUMENT, def->name);
            o->*def->flag = true;
            if (o->help || o->version)
                return;
        } else if (equals) {
            o->*def->file = equals + 1;
        } else if (at < argc) {
            o->*def->file = argv[at++];
        } else {
            return fault(o, MISSINGARGUMENT, def->name);
        }
    }
    o->program = at;
}
