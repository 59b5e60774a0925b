// The one door from the core to the operating system: the Windows services and the two
// output calls that the front end and the supervisor use, under their Windows names.
// On Windows these are the real ones; elsewhere winapi.h declares the same subset and the
// build links one implementation of it (native Linux, or the scripted stand-in of the tests).
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#else
#include "winapi.h"
#endif
#include <stddef.h>
#include <string.h>
#include <wchar.h>

// Standard output. Every platform writes each call out at once (a reader of a pipe sees a
// line when it happens, never held in a buffer across a wait; on Linux a line waits only
// while the output takes no more, and dorvane goes on meanwhile), and encodes it so that no
// character is lost: UTF-8 to files and pipes, wide text to a Windows console. The runtime's
// own wprintf and _putws could do neither, so the core's calls land here instead.
int platformwprintf(const wchar_t *format, ...);
int platformputws(const wchar_t *text);
#define wprintf platformwprintf
#define _putws platformputws
