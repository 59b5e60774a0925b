// Standard output on Windows, or the report's file (--output), and standard error for the
// summary. Each call is formatted whole and written with one call, so a line is never held
// back. A console gets the wide text itself, so that every name
// displays; a file or pipe gets UTF-8. The runtime's text mode would instead convert to
// the ANSI code page and silently drop what that cannot hold. Line ends stay what the
// runtime's text mode makes of them in a file: CR LF.
#include "../platform.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

// Where the report's lines go: standard output until the core names a file.
static HANDLE report;

void platformreportto(HANDLE file)
{
    report = file;
}

static void writeline(HANDLE out, const wchar_t *text, int length)
{
    if (!out || out == INVALID_HANDLE_VALUE || length <= 0)
        return;
    DWORD mode, done;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, text, (DWORD)length, &done, nullptr);
        return;
    }
    wchar_t crlf[2 * 1024];
    int units = 0;
    for (int i = 0; i < length && units < (int)(sizeof crlf / sizeof *crlf) - 1; i++) {
        if (text[i] == L'\n')
            crlf[units++] = L'\r';
        crlf[units++] = text[i];
    }
    char bytes[3 * 2 * 1024];
    int count =
        WideCharToMultiByte(CP_UTF8, 0, crlf, units, bytes, sizeof bytes, nullptr, nullptr);
    // A closed or broken output must not stop the run: what cannot be written is dropped.
    for (int at = 0; at < count; at += (int)done)
        if (!WriteFile(out, bytes + at, (DWORD)(count - at), &done, nullptr) || done == 0)
            return;
}

static int vprint(HANDLE out, const wchar_t *format, va_list args)
{
    wchar_t text[1024];
    int length = _vsnwprintf(text, sizeof text / sizeof *text, format, args);
    if (length < 0) // longer than any of our lines can be; write what fitted
        length = (int)(sizeof text / sizeof *text);
    writeline(out, text, length);
    return length;
}

int platformwprintf(const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    int length = vprint(report ? report : GetStdHandle(STD_OUTPUT_HANDLE), format, args);
    va_end(args);
    return length;
}

int platformputws(const wchar_t *text)
{
    return platformwprintf(L"%ls\n", text) < 0 ? -1 : 0;
}

int platformewprintf(const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    int length = vprint(GetStdHandle(STD_ERROR_HANDLE), format, args);
    va_end(args);
    return length;
}

// Windows names need no escapes: UTF-16 holds them all, and one that is not valid UTF-16
// (a lone surrogate) gets the replacement character, as in the report.
int platformsnprintf(char *bytes, size_t size, const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    int chars = _vscwprintf(format, args);
    va_end(args);
    wchar_t *text =
        chars >= 0 ? (wchar_t *)calloc((size_t)chars + 1, sizeof(wchar_t)) : nullptr;
    int length = -1;
    char *utf8 = nullptr;
    if (text) {
        va_start(args, format);
        _vsnwprintf(text, (size_t)chars + 1, format, args);
        va_end(args);
        length = WideCharToMultiByte(CP_UTF8, 0, text, chars, nullptr, 0, nullptr, nullptr);
        utf8 = (char *)malloc((size_t)length + 1);
    }
    if (utf8) {
        WideCharToMultiByte(CP_UTF8, 0, text, chars, utf8, length, nullptr, nullptr);
        if (size > 0) {
            size_t stored = (size_t)length < size - 1 ? (size_t)length : size - 1;
            memcpy(bytes, utf8, stored);
            bytes[stored] = '\0';
        }
    } else {
        length = -1;
    }
    free(utf8);
    free(text);
    return length;
}
