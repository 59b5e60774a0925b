// The run's record: what the notifications tell of each process, with what the system
// tells of it at those moments, kept from a process's joining to its end and written at
// its end as one JSON line and one line of the trace; at dorvane's end, the run's line,
// the trace's end and the summary. Times are taken from the root's start.
#include "record.h"
#include "../frontend/messages.h"
#include "../frontend/options.h"

// One run's record. It starts empty with recordopen.
struct recordstate {
    HANDLE jsonfile, tracefile; // the files asked for; null if not, or once they failed
    bool summary;               // asked for
    bool on;                    // anything asked for, until recordclose
    const wchar_t *rootline;    // the root's command line, for a system that cannot tell it
    jsonline line;              // the line being built
    livetable live;             // the processes that have joined and not ended
    uint32_t seqs;              // new-process notifications so far
    uint32_t traced;            // processes written to the trace so far
    bool originknown;           // the root's start, as GetProcessTimes tells it
    int64_t origin;
    uint32_t processes, failures, incomplete; // ended; failed; without a code or a program
    failurelist kept;                         // the failures the summary lists
    bool normalend; // the run ended normally, with the root's exit code
    DWORD rootcode;
};

static recordstate rec;

void recordreset(void)
{
    rec = recordstate();
    rec.kept.last = &rec.kept.first;
}

// The root's start, once the root exists; if the system will not tell it, the moment it
// is first asked for, which comes before any other process's start is taken.
static bool takeorigin(void)
{
    FILETIME creation, exit, kernel, user;
    if (rec.originknown || !rootproc.handle)
        return rec.originknown;
    if (GetProcessTimes(rootproc.handle, &creation, &exit, &kernel, &user))
        rec.origin = ticksof(&creation);
    else
        rec.origin = ticksnow();
    rec.originknown = true;
    return true;
}

static HANDLE createfile(const wchar_t *option, const wchar_t *name)
{
    HANDLE file = CreateFileW(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        winerrno = GetLastError();
        wprintf(MSGCREATEFILE, option, name, winerrno);
        myexit(winerrno);
    }
    return file;
}

// The line built, to a file if that was asked for. A line that memory ran out for is said
// and passed over; a file that fails is said once and not written again.
static void writeline(HANDLE *file, const wchar_t *option)
{
    if (*file && rec.line.text.failed) {
        wprintf(MSGRECORDMEMORY, option);
    } else if (*file && !jsonwrite(&rec.line, *file)) {
        wprintf(MSGWRITEFILE, option, GetLastError());
        *file = nullptr;
    }
    jsonclear(&rec.line);
}

void recordopen(const options *o, const wchar_t *commandline)
{
    recordreset();
    HANDLE output = o->output ? createfile(L"output", o->output) : nullptr;
    rec.jsonfile = o->json ? createfile(L"json", o->json) : nullptr;
    rec.tracefile = o->trace ? createfile(L"trace", o->trace) : nullptr;
    rec.summary = o->summary;
    rec.on = rec.jsonfile || rec.tracefile || rec.summary;
    rec.rootline = commandline;
    // The trace is an array whose end a reader does without: a run cut short still loads.
    if (rec.tracefile) {
        jsonraw(&rec.line, "[");
        writeline(&rec.tracefile, L"trace");
    }
    if (output)
        platformreportto(output);
}

static wchar_t *copytext(const wchar_t *text)
{
    size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
    wchar_t *copy = (wchar_t *)HeapAlloc(hh, 0, bytes);
    if (copy)
        memcpy(copy, text, bytes);
    return copy;
}

void recordnew(DWORD pid, HANDLE process, const wchar_t *program)
{
    if (!rec.on)
        return;
    bool root = pid == rootproc.pid;
    takeorigin();
    recorded *old = takelive(&rec.live, pid); // its end never came: the pid is another's now
    if (old)
        freerecorded(old);
    recorded *r = (recorded *)HeapAlloc(hh, 0, sizeof(recorded));
    if (!r)
        return; // its end is still written, with what that tells
    *r = recorded();
    r->pid = pid;
    r->seq = ++rec.seqs;
    r->seen = ticksnow() - rec.origin;
    r->program = program ? copytext(program) : nullptr;
    // The root is asked through its creation handle, which can tell the most.
    asknew(r, root ? rootproc.handle : process);
    if (!r->argv && root) {
        r->argv = (wchar_t *)rec.rootline;
        r->argvlength = wcslen(rec.rootline);
    }
    addlive(&rec.live, r);
}

// The command line as one string; or, where it holds a NUL after each argument, the array
// of the arguments.
static void writeargv(jsonline *j, const recorded *r)
{
    if (!r->argv)
        return jsonnull(j);
    if (!argvisvector(r))
        return jsonstring(j, r->argv, r->argvlength);
    jsonraw(j, "[");
    for (size_t at = 0; at < r->argvlength;) {
        size_t length = wcslen(r->argv + at);
        jsonstring(j, r->argv + at, length);
        at += length + 1;
    }
    jsonraw(j, "]");
}

void recordfields(jsonline *j, const recorded *r, DWORD signal)
{
    jsonkey(j, "pid");
    jsonuint(j, r->pid);
    jsonkey(j, "ppid");
    r->hasppid ? jsonuint(j, r->ppid) : jsonnull(j);
    jsonkey(j, "program");
    r->program ? jsonstring(j, r->program, wcslen(r->program)) : jsonnull(j);
    jsonkey(j, "argv");
    writeargv(j, r);
    jsonkey(j, "exitcode");
    r->hascode ? jsonuint(j, r->code) : jsonnull(j);
    jsonkey(j, "crash");
    jsonbool(j, r->abnormal);
    jsonkey(j, "signal");
    signal ? jsonuint(j, signal) : jsonnull(j);
}

bool argvisvector(const recorded *r)
{
    return r->argv && r->argvlength && r->argv[r->argvlength - 1] == L'\0';
}

bool failed(const recorded *r)
{
    return r->abnormal || (r->hascode && r->code != 0);
}

static void seconds(const char *key, bool known, int64_t ticks)
{
    jsonkey(&rec.line, key);
    known ? jsonseconds(&rec.line, ticks) : jsonnull(&rec.line);
}

static void writeprocess(const recorded *r, const endfacts *f)
{
    jsonraw(&rec.line, "{");
    recordfields(&rec.line, r, f->signal);
    seconds("start", f->hastimes, f->start);
    seconds("end", f->hastimes, f->end);
    seconds("user", f->hascpu, f->user);
    seconds("system", f->hascpu, f->system);
    jsonkey(&rec.line, "maxrss");
    f->maxrss ? jsonuint(&rec.line, f->maxrss) : jsonnull(&rec.line);
    jsonraw(&rec.line, "}");
    writeline(&rec.jsonfile, L"json");
}

void recordend(DWORD pid, bool abnormal, HANDLE process, bool hascode, DWORD code)
{
    if (!rec.on)
        return;
    takeorigin();
    recorded alone = {};
    recorded *r = takelive(&rec.live, pid);
    if (!r) {
        r = &alone; // it never joined, or its record could not be had
        r->pid = pid;
    }
    endfacts f;
    askend(process, rec.origin, &f);
    r->abnormal = abnormal;
    r->hascode = hascode && !f.codelost; // the report's stand-in is no code to a machine
    r->code = code;
    if (rec.jsonfile)
        writeprocess(r, &f);
    if (rec.tracefile) {
        if (rec.traced++)
            jsonraw(&rec.line, ",");
        traceprocess(&rec.line, r, &f, ticksnow() - rec.origin);
        writeline(&rec.tracefile, L"trace");
    }
    rec.processes++;
    rec.failures += failed(r);
    rec.incomplete += !r->hascode || !r->program;
    if (r == &alone)
        return;
    if (rec.summary)
        summarykeep(&rec.kept, r);
    else
        freerecorded(r);
}

void recordrun(DWORD code)
{
    rec.normalend = true;
    rec.rootcode = code;
}

// The root's pid and exit code (null if it never started, or the run did not end
// normally), the error code dorvane ends with otherwise, the counts and the duration.
static void writerun(DWORD code)
{
    jsonline *j = &rec.line;
    jsonraw(j, "{\"run\":{");
    jsonkey(j, "pid");
    rootproc.pid ? jsonuint(j, rootproc.pid) : jsonnull(j);
    jsonkey(j, "exitcode");
    rec.normalend ? jsonuint(j, rec.rootcode) : jsonnull(j);
    jsonkey(j, "error");
    rec.normalend ? jsonnull(j) : jsonuint(j, code);
    jsonkey(j, "processes");
    jsonuint(j, rec.processes);
    jsonkey(j, "failures");
    jsonuint(j, rec.failures);
    jsonkey(j, "incomplete");
    jsonuint(j, rec.incomplete);
    jsonkey(j, "duration");
    takeorigin() ? jsonseconds(j, ticksnow() - rec.origin) : jsonnull(j);
    jsonraw(j, "}}");
    writeline(&rec.jsonfile, L"json");
}

void recordclose(DWORD code)
{
    if (!rec.on)
        return;
    rec.on = false;
    if (rec.jsonfile)
        writerun(code);
    if (rec.tracefile) {
        jsonraw(&rec.line, "]");
        writeline(&rec.tracefile, L"trace");
    }
    if (rec.summary)
        summarywrite(&rec.kept, rec.processes, rec.failures, rec.incomplete);
}
