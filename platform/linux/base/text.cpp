// UTF-8 bytes to the platform's wide text (UTF-32) and back. Bytes that are not valid UTF-8
// ride along as U+DC80..U+DCFF, so any byte string comes back from wide text unchanged.
#include "linux.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

// First of the code points that carry one invalid byte each (U+DC00 + byte, bytes 80..FF).
static const uint32_t escapebase = 0xdc00;

// Length of the well-formed UTF-8 sequence at s (left bytes remain), or 0 if there is none;
// its code point goes to code. The narrowed ranges of the second byte are what exclude
// overlong forms (after E0, F0), encoded surrogates (after ED) and code points beyond
// U+10FFFF (after F4); C0, C1 and F5..FF never start a sequence.
static size_t decodeone(const unsigned char *s, size_t left, uint32_t *code)
{
    unsigned char lead = s[0];
    if (lead < 0x80) {
        *code = lead;
        return 1;
    }
    size_t length;
    unsigned char low = 0x80, high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf)
        length = 2;
    else if (lead >= 0xe0 && lead <= 0xef)
        length = 3;
    else if (lead >= 0xf0 && lead <= 0xf4)
        length = 4;
    else
        return 0;
    if (lead == 0xe0)
        low = 0xa0;
    else if (lead == 0xed)
        high = 0x9f;
    else if (lead == 0xf0)
        low = 0x90;
    else if (lead == 0xf4)
        high = 0x8f;
    if (left < length)
        return 0;
    uint32_t c = lead & (0x7f >> length);
    for (size_t i = 1; i < length; i++) {
        if (s[i] < low || s[i] > high)
            return 0;
        c = c << 6 | (s[i] & 0x3f);
        low = 0x80;
        high = 0xbf;
    }
    *code = c;
    return length;
}

wchar_t *bytestowide(const char *bytes, size_t length)
{
    size_t count;
    return bytestowidecount(bytes, length, &count);
}

wchar_t *bytestowidecount(const char *bytes, size_t length, size_t *count)
{
    if (length > SIZE_MAX / sizeof(wchar_t) - 1)
        return nullptr;
    wchar_t *text = (wchar_t *)malloc((length + 1) * sizeof(wchar_t));
    if (!text)
        return nullptr;
    const unsigned char *s = (const unsigned char *)bytes;
    size_t at = 0, out = 0;
    while (at < length) {
        uint32_t code;
        size_t used = decodeone(s + at, length - at, &code);
        if (used == 0) {
            // Only the lead byte is escaped: what follows it is either a continuation byte,
            // escaped in turn since nothing valid starts with one, or the start of the
            // next character.
            code = escapebase + s[at];
            used = 1;
        }
        text[out++] = (wchar_t)code;
        at += used;
    }
    text[out] = L'\0';
    *count = out;
    return text;
}

size_t widechartobytes(wchar_t c, char bytes[4])
{
    uint32_t code = (uint32_t)c;
    if (code >= escapebase + 0x80 && code <= escapebase + 0xff) {
        bytes[0] = (char)(code - escapebase);
        return 1;
    }
    if ((code >= 0xd800 && code <= 0xdfff) || code > 0x10ffff)
        code = 0xfffd;
    if (code < 0x80) {
        bytes[0] = (char)code;
        return 1;
    }
    if (code < 0x800) {
        bytes[0] = (char)(0xc0 | code >> 6);
        bytes[1] = (char)(0x80 | (code & 0x3f));
        return 2;
    }
    if (code < 0x10000) {
        bytes[0] = (char)(0xe0 | code >> 12);
        bytes[1] = (char)(0x80 | (code >> 6 & 0x3f));
        bytes[2] = (char)(0x80 | (code & 0x3f));
        return 3;
    }
    bytes[0] = (char)(0xf0 | code >> 18);
    bytes[1] = (char)(0x80 | (code >> 12 & 0x3f));
    bytes[2] = (char)(0x80 | (code >> 6 & 0x3f));
    bytes[3] = (char)(0x80 | (code & 0x3f));
    return 4;
}

char *widetobytes(const wchar_t *text)
{
    char unit[4];
    size_t length = 0;
    for (const wchar_t *c = text; *c; c++)
        length += widechartobytes(*c, unit);
    // No overflow: each wide character takes four bytes of memory and gives at most four.
    char *bytes = (char *)malloc(length + 1);
    if (!bytes)
        return nullptr;
    size_t out = 0;
    for (const wchar_t *c = text; *c; c++)
        out += widechartobytes(*c, bytes + out);
    bytes[out] = '\0';
    return bytes;
}

// UTF-8 as the core asks for it. With WC_ERR_INVALID_CHARS a text that holds no valid
// Unicode fails, as on Windows: here that is a byte that was not UTF-8 (U+DC80..U+DCFF), or
// a code point that is none. Without it, escaped bytes come back as they were. A length of
// -1 takes the text to its NUL and counts the NUL.
int WideCharToMultiByte(UINT codepage, DWORD flags, LPCWCH text, int length, LPSTR bytes,
                        int size, LPCCH, LPBOOL)
{
    if (codepage != CP_UTF8 || length < -1 || size < 0 || (size > 0 && !bytes)) {
        setlasterror(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t count = length < 0 ? wcslen(text) + 1 : (size_t)length;
    size_t out = 0;
    for (size_t i = 0; i < count; i++) {
        uint32_t code = (uint32_t)text[i];
        if ((flags & WC_ERR_INVALID_CHARS) &&
            ((code >= 0xd800 && code <= 0xdfff) || code > 0x10ffff)) {
            setlasterror(ERROR_NO_UNICODE_TRANSLATION);
            return 0;
        }
        char unit[4];
        size_t n = widechartobytes(text[i], unit);
        if (size > 0) {
            if (out + n > (size_t)size) {
                setlasterror(ERROR_INSUFFICIENT_BUFFER);
                return 0;
            }
            memcpy(bytes + out, unit, n);
        }
        out += n;
    }
    return (int)out;
}
