// Standard output on Linux: each call is formatted whole and handed to write(2) at once, as
// UTF-8 whatever the locale. glibc's wide stdio would convert through the locale (and
// drop what it cannot encode under the C locale) and hold text in a buffer, so neither it
// nor the locale is used.
//
// The formatter knows what the core's messages use: %u, %x (lowercase), %ls and %%; the
// numbers are 32-bit, as DWORD is. A name (the text of a %ls) may hold any byte but / and
// NUL on Linux, so it is written escaped, each on its one line and decodable: a control
// character (below 0x20, 0x7f, and the C1 controls U+0080..U+009F), the line and paragraph
// separators U+2028 and U+2029, the double quote and the backslash C-style (\n, \t, \",
// \\, else \xNN for each UTF-8 byte), a byte that is not valid UTF-8 (carried as
// U+DC80..U+DCFF) as \xNN, and everything else as UTF-8. Fixed texts, written with _putws,
// are the system's own and go out as they are.
#include "linux.h"

#include <errno.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

// Bytes of one line being formatted: those that fit in cap are stored, all are counted.
// Storing stops at the first piece that does not fit, so what is stored is a clean prefix.
struct line {
    char *bytes;
    size_t cap;
    size_t stored;
    size_t count;
};

static void putbytes(line *l, const char *bytes, size_t length)
{
    if (l->stored == l->count && l->cap - l->stored >= length) {
        for (size_t i = 0; i < length; i++)
            l->bytes[l->stored + i] = bytes[i];
        l->stored += length;
    }
    l->count += length;
}

static void putdigits(line *l, unsigned value, unsigned base)
{
    char digits[16];
    size_t at = sizeof digits;
    do {
        digits[--at] = "0123456789abcdef"[value % base];
        value /= base;
    } while (value);
    putbytes(l, digits + at, sizeof digits - at);
}

static void putwide(line *l, wchar_t c)
{
    char bytes[4];
    putbytes(l, bytes, widechartobytes(c, bytes));
}

// One character of a name, escaped where it could break or forge a line: a reader that
// splits lines by Unicode's rules (Python's splitlines) breaks them at U+0085, U+2028 and
// U+2029 as well as at C0 controls.
static void putnamechar(line *l, wchar_t c)
{
    uint32_t code = (uint32_t)c;
    char bytes[4];
    if (c == L'\n' || c == L'\t' || c == L'"' || c == L'\\') {
        char escape[2] = {'\\', c == L'\n' ? 'n' : c == L'\t' ? 't' : (char)c};
        putbytes(l, escape, 2);
        return;
    }
    size_t length = widechartobytes(c, bytes); // an escaped invalid byte gives that byte
    if (code < 0x20 || (code >= 0x7f && code <= 0x9f) || code == 0x2028 || code == 0x2029 ||
        (code >= 0xdc80 && code <= 0xdcff)) {
        for (size_t i = 0; i < length; i++) {
            unsigned byte = (unsigned char)bytes[i];
            char escape[4] = {'\\', 'x', "0123456789abcdef"[byte >> 4],
                              "0123456789abcdef"[byte & 0xf]};
            putbytes(l, escape, 4);
        }
    } else {
        putbytes(l, bytes, length);
    }
}

static void formatline(line *l, bool escapenames, const wchar_t *format, va_list args)
{
    for (const wchar_t *f = format; *f; f++) {
        if (*f != L'%') {
            putwide(l, *f);
            continue;
        }
        if (f[1] == L'u' || f[1] == L'x') {
            putdigits(l, va_arg(args, unsigned), f[1] == L'u' ? 10 : 16);
            f++;
        } else if (f[1] == L'l' && f[2] == L's') {
            const wchar_t *text = va_arg(args, const wchar_t *);
            for (text = text ? text : L"(null)"; *text; text++) {
                if (escapenames)
                    putnamechar(l, *text);
                else
                    putwide(l, *text);
            }
            f += 2;
        } else if (f[1] == L'%') {
            putbytes(l, "%", 1);
            f++;
        } else {
            putbytes(l, "%", 1); // no message has another conversion; show it as it is
        }
    }
}

// One write, repeated only for what a signal or a partial write left over. Any failure
// (closed, broken, full output) drops the rest: the run must go on without its output.
static int writeout(const char *bytes, size_t length)
{
    int saved = errno;
    int result = 0;
    while (length > 0) {
        ssize_t done = write(STDOUT_FILENO, bytes, length);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0) {
            result = -1;
            break;
        }
        bytes += done;
        length -= (size_t)done;
    }
    errno = saved;
    return result;
}

// Formats into a buffer on the stack, or one from malloc for a longer line (escaped names
// can be four times their bytes). Without memory, the part that fitted is written.
static int vprint(bool escapenames, const wchar_t *fmt, va_list args)
{
    char stack[1024];
    line l = {stack, sizeof stack, 0, 0};
    va_list again;
    va_copy(again, args);
    formatline(&l, escapenames, fmt, args);
    char *heap = nullptr;
    if (l.count > l.cap && (heap = (char *)malloc(l.count))) {
        l = {heap, l.count, 0, 0};
        formatline(&l, escapenames, fmt, again);
    }
    va_end(again);
    int result = writeout(l.bytes, l.stored);
    free(heap);
    return result < 0 ? -1 : (int)l.stored;
}

int platformwprintf(const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    int result = vprint(true, format, args);
    va_end(args);
    return result;
}

static int print(bool escapenames, const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    int result = vprint(escapenames, format, args);
    va_end(args);
    return result;
}

int platformputws(const wchar_t *text)
{
    return print(false, L"%ls\n", text) < 0 ? -1 : 0;
}
