// The one small JSON writer of the run's record: a line is built whole in memory from the
// private heap, then written with one call, so that a run cut short leaves whole lines.
#pragma once

#include "../frontend/frontend.h"

#include <stdint.h>

// A line being built. Commas come by themselves: a value after another in an object or an
// array is preceded by one.
struct jsonbytes {
    char *bytes;
    size_t length, cap;
    bool failed; // memory ran out
};
struct jsonline {
    jsonbytes text;    // the line; with failed set, it is not to be written
    jsonbytes scratch; // a string's conversion, before it is escaped into the line
};

void jsonclear(jsonline *j);
// Text that is JSON already.
void jsonraw(jsonline *j, const char *text);
// "key": in an object, its value to follow.
void jsonkey(jsonline *j, const char *key);
void jsonnull(jsonline *j);
void jsonbool(jsonline *j, bool value);
void jsonuint(jsonline *j, uint64_t value);
// Its digits alone, within a value that jsonraw began.
void jsondigits(jsonline *j, uint64_t value);
// A span of time in 100 ns units, as seconds to the microsecond (rounded down).
void jsonseconds(jsonline *j, int64_t ticks);
// A string of length characters, NUL-terminated at text[length]. UTF-8 as it is; a text
// that is not valid Unicode (on Linux, a name whose bytes are not UTF-8) is given as the
// report writes it, escapes and all.
void jsonstring(jsonline *j, const wchar_t *text, size_t length);
// Writes the line and a newline with one call, unless memory ran out for it, and clears
// it. False if the file failed.
bool jsonwrite(jsonline *j, HANDLE file);
