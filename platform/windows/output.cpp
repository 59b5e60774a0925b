// Standard output on Windows. Each call is formatted whole and written with one call, so a
// line is never held back. A console gets the wide text itself, so that every name
// displays; a file or pipe gets UTF-8. The runtime's text mode would instead convert to
// the ANSI code page and silently drop what that cannot hold. Line ends stay what the
// runtime's text mode makes of them in a file: CR LF.
#include "../platform.h"

#include <stdarg.h>
#include <stdio.h>

static void writeline(const wchar_t *text, int length)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
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

int platformwprintf(const wchar_t *format, ...)
{
    wchar_t text[1024];
    va_list args;
    va_start(args, format);
    int length = _vsnwprintf(text, sizeof text / sizeof *text, format, args);
    va_end(args);
    if (length < 0) // longer than any of our lines can be; write what fitted
        length = (int)(sizeof text / sizeof *text);
    writeline(text, length);
    return length;
}

int platformputws(const wchar_t *text)
{
    return platformwprintf(L"%ls\n", text) < 0 ? -1 : 0;
}
