// The summary on standard error at the end of the run: how many processes, how many
// failed, and the first failures, each with its program and its first arguments, so that
// a CI log ends with what failed rather than with a pid to look up hundreds of lines back.
#include "record.h"
#include "../frontend/messages.h"

// Failures listed, and arguments shown of each; the rest are counted.
#define SUMMARYFAILURES 20
#define SUMMARYARGS 20

void summarykeep(failurelist *l, recorded *r)
{
    if (!failed(r) || l->count == SUMMARYFAILURES)
        return freerecorded(r);
    r->next = nullptr;
    *l->last = r;
    l->last = &r->next;
    l->count++;
}

static wchar_t *append(wchar_t *at, const wchar_t *text, size_t length)
{
    memcpy(at, text, length * sizeof(wchar_t));
    return at + length;
}

static wchar_t *appendnumber(wchar_t *at, size_t value)
{
    wchar_t digits[24];
    size_t n = 0;
    do
        digits[n++] = (wchar_t)(L'0' + value % 10);
    while (value /= 10);
    while (n)
        *at++ = digits[--n];
    return at;
}

// Arguments each followed by a NUL, joined by blanks: the first SUMMARYARGS, one that is
// empty or holds a blank in single quotes, and then how many more there are.
static wchar_t *appendargs(wchar_t *at, const wchar_t *args, size_t length)
{
    size_t count = 0;
    for (size_t i = 0; i < length; i += wcslen(args + i) + 1, count++) {
        if (count == SUMMARYARGS) {
            size_t more = 0;
            for (; i < length; i += wcslen(args + i) + 1)
                more++;
            at = append(at, L" (", 2);
            at = appendnumber(at, more);
            return append(at, L" more)", 6);
        }
        size_t arglength = wcslen(args + i);
        bool quote = !arglength || wcspbrk(args + i, L" \t");
        if (count)
            *at++ = L' ';
        if (quote)
            *at++ = L'\'';
        at = append(at, args + i, arglength);
        if (quote)
            *at++ = L'\'';
    }
    return at;
}

// The program, and after a colon its command line or arguments, where known.
static wchar_t *describe(const recorded *r)
{
    const wchar_t *program = r->program ? r->program : L"?";
    size_t length = wcslen(program);
    // Quotes add two to each argument shown, the count of the rest at most 30.
    size_t room = length + 2 + r->argvlength + 2 * SUMMARYARGS + 30 + 1;
    wchar_t *text = (wchar_t *)HeapAlloc(hh, 0, room * sizeof(wchar_t));
    if (!text)
        return nullptr;
    wchar_t *at = append(text, program, length);
    if (r->argv) {
        at = append(at, L": ", 2);
        at = argvisvector(r) ? appendargs(at, r->argv, r->argvlength)
                             : append(at, r->argv, r->argvlength);
    }
    *at = L'\0';
    return text;
}

void summarywrite(const failurelist *l, uint32_t processes, uint32_t failures,
                  uint32_t incomplete)
{
    if (incomplete)
        platformewprintf(MSGSUMMARYINCOMPLETE, processes, failures, incomplete);
    else
        platformewprintf(MSGSUMMARY, processes, failures);
    for (const recorded *r = l->first; r; r = r->next) {
        wchar_t *what = describe(r);
        const wchar_t *wording = r->abnormal ? L"crash" : L"exit";
        const wchar_t *shown = what ? what : r->program ? r->program : L"?";
        if (r->hascode)
            platformewprintf(MSGSUMMARYCODE, wording, r->pid, r->code, shown);
        else
            platformewprintf(MSGSUMMARYNOCODE, wording, r->pid, shown);
        if (what)
            HeapFree(hh, 0, what);
    }
    if (failures > l->count)
        platformewprintf(MSGSUMMARYMORE, failures - l->count);
}
