// The record's JSON writer. Strings reach it as the system's wide text and leave as UTF-8,
// through the system's own conversion; it escapes what JSON needs escaped, and also the C1
// controls and the line and paragraph separators, which split lines for some readers, so
// that every record stays on its one line as the report's lines do.
#include "json.h"

static bool reserve(jsonbytes *j, size_t more)
{
    if (j->failed)
        return false;
    if (j->cap - j->length >= more)
        return true;
    size_t cap = j->cap ? j->cap : 1024;
    while (cap - j->length < more)
        cap *= 2;
    char *bytes = (char *)HeapAlloc(hh, 0, cap);
    if (!bytes) {
        j->failed = true;
        return false;
    }
    if (j->bytes) {
        memcpy(bytes, j->bytes, j->length);
        HeapFree(hh, 0, j->bytes);
    }
    j->bytes = bytes;
    j->cap = cap;
    return true;
}

static void put(jsonline *j, const char *bytes, size_t length)
{
    jsonbytes *t = &j->text;
    if (reserve(t, length)) {
        memcpy(t->bytes + t->length, bytes, length);
        t->length += length;
    }
}

void jsonclear(jsonline *j)
{
    j->text.length = 0;
    j->text.failed = false;
}

void jsonraw(jsonline *j, const char *text)
{
    put(j, text, strlen(text));
}

// A comma, unless the value opens its object or array or follows its key.
static void separate(jsonline *j)
{
    char last = j->text.length ? j->text.bytes[j->text.length - 1] : '{';
    if (last != '{' && last != '[' && last != ':')
        put(j, ",", 1);
}

void jsonkey(jsonline *j, const char *key)
{
    separate(j);
    put(j, "\"", 1);
    jsonraw(j, key);
    put(j, "\":", 2);
}

void jsonnull(jsonline *j)
{
    separate(j);
    put(j, "null", 4);
}

void jsonbool(jsonline *j, bool value)
{
    separate(j);
    jsonraw(j, value ? "true" : "false");
}

static void digits(jsonline *j, uint64_t value, int least)
{
    char text[24];
    int at = (int)sizeof text;
    do {
        text[--at] = (char)('0' + value % 10);
        value /= 10;
    } while (value || (int)sizeof text - at < least);
    put(j, text + at, sizeof text - (size_t)at);
}

void jsonuint(jsonline *j, uint64_t value)
{
    separate(j);
    digits(j, value, 1);
}

void jsondigits(jsonline *j, uint64_t value)
{
    digits(j, value, 1);
}

void jsonseconds(jsonline *j, int64_t ticks)
{
    separate(j);
    uint64_t micro = (uint64_t)(ticks < 0 ? -ticks : ticks) / 10;
    if (ticks < 0)
        put(j, "-", 1);
    digits(j, micro / 1000000, 1);
    put(j, ".", 1);
    digits(j, micro % 1000000, 6);
}

// Valid UTF-8 bytes, escaped for a JSON string.
static void escape(jsonline *j, const unsigned char *s, size_t length)
{
    static const char hex[] = "0123456789abcdef";
    for (size_t i = 0; i < length; i++) {
        unsigned code = s[i];
        size_t width = 1;
        if (code == 0xc2 && i + 1 < length && s[i + 1] <= 0x9f) { // U+0080..U+009F
            code = s[i + 1];
            width = 2;
        } else if (code == 0xe2 && i + 2 < length && s[i + 1] == 0x80 &&
                   (s[i + 2] == 0xa8 || s[i + 2] == 0xa9)) { // U+2028, U+2029
            code = 0x2000u | (s[i + 2] - 0x80u);
            width = 3;
        }
        if (code == '"' || code == '\\') {
            char pair[2] = {'\\', (char)code};
            put(j, pair, 2);
        } else if (code == '\n' || code == '\t') {
            put(j, code == '\n' ? "\\n" : "\\t", 2);
        } else if (code < 0x20 || width > 1) {
            char u[6] = {
                '\\',          'u', hex[code >> 12], hex[code >> 8 & 15], hex[code >> 4 & 15],
                hex[code & 15]};
            put(j, u, 6);
        } else {
            put(j, (const char *)s + i, 1);
        }
        i += width - 1;
    }
}

void jsonstring(jsonline *j, const wchar_t *text, size_t length)
{
    separate(j);
    put(j, "\"", 1);
    int size = length ? WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, (int)length,
                                            nullptr, 0, nullptr, nullptr)
                      : 0;
    jsonbytes *scratch = &j->scratch;
    scratch->failed = false;
    if (size > 0 && reserve(scratch, (size_t)size)) {
        size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, (int)length,
                                   scratch->bytes, size, nullptr, nullptr);
    } else if (length) {
        // Not valid Unicode: the report's own escapes, which leave valid UTF-8.
        size = platformsnprintf(nullptr, 0, L"%ls", text);
        if (size >= 0 && reserve(scratch, (size_t)size + 1))
            size = platformsnprintf(scratch->bytes, (size_t)size + 1, L"%ls", text);
    }
    if (scratch->failed || size < 0)
        j->text.failed = true;
    else
        escape(j, (const unsigned char *)scratch->bytes, (size_t)size);
    put(j, "\"", 1);
}

bool jsonwrite(jsonline *j, HANDLE file)
{
    put(j, "\n", 1);
    jsonbytes *t = &j->text;
    DWORD written = 0;
    bool whole = t->failed || (WriteFile(file, t->bytes, (DWORD)t->length, &written, nullptr) &&
                               written == t->length);
    jsonclear(j);
    return whole;
}
