// Splits a command line into argv as the Microsoft C runtime does before main, so that one
// invocation gives a program the same arguments on Linux as on Windows.
//
// The rules are those of the runtime since Visual C++ 2008 (and of the Universal CRT):
// - The first word is the program name: it runs up to the first blank or tab outside double
//   quotes; quotes toggle and are removed; backslashes are plain characters there, since
//   Windows paths are full of them. A line that starts with a blank has an empty program name.
// - Other words are separated by blanks and tabs outside quotes. 2n backslashes and a quote
//   give n backslashes and toggle quoting; 2n+1 backslashes and a quote give n backslashes
//   and a literal quote; backslashes before anything else are literal. Inside quotes, ""
//   gives a literal quote and quoting goes on (the runtimes before 2008 ended it there).
// - An unclosed quote runs to the end of the line; blanks at the end make no extra word; a
//   quoted empty string ("") is an empty word.
// - An empty line gives no word at all, where the runtime would give an empty program name:
//   there is no program to start either way.
// Blanks, quotes and backslashes are ASCII, which UTF-8 never uses inside a multibyte
// character nor the escapes for invalid bytes, so the line is split as bytes after
// encoding, and escaped bytes reach the program as they were.
#include "linux.h"

#include <stdlib.h>

// Where a pass of the split puts its words. The counting pass has no argv and no text and
// only counts the words and the bytes of their text, terminators included.
struct words {
    char **argv;
    char *text;
    size_t count;
    size_t used;
};

static void startword(words *w)
{
    if (w->argv)
        w->argv[w->count] = w->text + w->used;
    w->count++;
}

static void put(words *w, char c)
{
    if (w->text)
        w->text[w->used] = c;
    w->used++;
}

static bool isblankortab(char c)
{
    return c == ' ' || c == '\t';
}

static const char *programname(const char *p, words *w)
{
    startword(w);
    bool quoted = false;
    for (; *p && (quoted || !isblankortab(*p)); p++) {
        if (*p == '"')
            quoted = !quoted;
        else
            put(w, *p);
    }
    put(w, '\0');
    return p;
}

static const char *argument(const char *p, words *w)
{
    startword(w);
    bool quoted = false;
    for (;;) {
        size_t backslashes = 0;
        while (*p == '\\') {
            backslashes++;
            p++;
        }
        bool literal = true;
        if (*p == '"') {
            if (backslashes % 2 == 0) {
                if (quoted && p[1] == '"')
                    p++;
                else {
                    literal = false;
                    quoted = !quoted;
                }
            }
            backslashes /= 2;
        }
        for (; backslashes > 0; backslashes--)
            put(w, '\\');
        if (!*p || (!quoted && isblankortab(*p)))
            break;
        if (literal)
            put(w, *p);
        p++;
    }
    put(w, '\0');
    return p;
}

static void split(const char *line, words *w)
{
    if (!*line)
        return;
    const char *p = programname(line, w);
    for (;;) {
        while (isblankortab(*p))
            p++;
        if (!*p)
            return;
        p = argument(p, w);
    }
}

char **splitcommandline(const wchar_t *line)
{
    char *bytes = widetobytes(line ? line : L"");
    if (!bytes)
        return nullptr;
    words count = {nullptr, nullptr, 0, 0};
    split(bytes, &count);
    size_t pointers = (count.count + 1) * sizeof(char *);
    char **argv = (char **)malloc(pointers + count.used);
    if (argv) {
        words fill = {argv, (char *)argv + pointers, 0, 0};
        split(bytes, &fill);
        argv[fill.count] = nullptr;
    }
    free(bytes);
    return argv;
}
