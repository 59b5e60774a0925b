// The trace, in Chrome's trace-event format, which Perfetto's UI and chrome://tracing open:
// each process a track of its own, named by its program and placed in the order in which
// the processes joined, so that a creator's track comes before its children's; one complete
// event on it from its start to its end; and a flow from the creator's event to the
// child's at the child's start, so that the tree reads as a tree.
#include "record.h"

// Times in the trace are whole microseconds.
static void micros(jsonline *j, int64_t ticks)
{
    jsonuint(j, (uint64_t)(ticks > 0 ? ticks : 0) / 10);
}

// The track's process and thread: the process's own pid.
static void onpid(jsonline *j, DWORD pid)
{
    jsonkey(j, "pid");
    jsonuint(j, pid);
    jsonkey(j, "tid");
    jsonuint(j, pid);
}

// The program's file name, after its last separator; "pid N" for one that is unknown.
static void name(jsonline *j, const recorded *r)
{
    if (!r->program) {
        jsonraw(j, "\"pid ");
        jsondigits(j, r->pid);
        return jsonraw(j, "\"");
    }
    const wchar_t *file = r->program;
    for (const wchar_t *c = r->program; *c; c++)
        if (*c == L'\\' || *c == L'/')
            file = c + 1;
    jsonstring(j, file, wcslen(file));
}

static void metadata(jsonline *j, DWORD pid, const char *kind, const char *key)
{
    jsonraw(j, "{\"name\":\"");
    jsonraw(j, kind);
    jsonraw(j, "\",\"ph\":\"M\"");
    onpid(j, pid);
    jsonkey(j, "args");
    jsonraw(j, "{");
    jsonkey(j, key);
}

// One end of the flow from the creator to the child, which binds to the event around it.
static void flow(jsonline *j, const char *phase, uint32_t id, int64_t at, DWORD pid)
{
    jsonraw(j, ",{\"name\":\"start\",\"cat\":\"tree\",\"ph\":\"");
    jsonraw(j, phase);
    jsonraw(j, *phase == 'f' ? "\",\"bp\":\"e\"" : "\"");
    jsonkey(j, "id");
    jsonuint(j, id);
    jsonkey(j, "ts");
    micros(j, at);
    onpid(j, pid);
    jsonraw(j, "}");
}

void traceprocess(jsonline *j, const recorded *r, const endfacts *f, int64_t ended)
{
    int64_t start = f->hastimes ? f->start : r->seq ? r->seen : ended;
    int64_t end = f->hastimes ? f->end : ended;
    metadata(j, r->pid, "process_name", "name");
    name(j, r);
    jsonraw(j, "}},");
    metadata(j, r->pid, "process_sort_index", "sort_index");
    jsonuint(j, r->seq);
    jsonraw(j, "}},{\"name\":");
    name(j, r);
    jsonraw(j, ",\"cat\":\"process\",\"ph\":\"X\"");
    jsonkey(j, "ts");
    micros(j, start);
    jsonkey(j, "dur");
    micros(j, end - start);
    onpid(j, r->pid);
    jsonkey(j, "args");
    jsonraw(j, "{");
    recordfields(j, r, f->signal);
    jsonraw(j, "}}");
    if (r->hasppid && r->pid != rootproc.pid) {
        flow(j, "s", r->seq, start, r->ppid);
        flow(j, "f", r->seq, start, r->pid);
    }
}
