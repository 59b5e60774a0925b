// The one door from the core to the operating system: the Windows services and the two
// output calls that the front end and the supervisor use, under their Windows names.
// On Windows these are the real ones; elsewhere winapi.h declares the same subset and the
// build links one implementation of it (native Linux, or the scripted stand-in of the tests).
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#include <winternl.h>
// What the SDK's headers name and mingw-w64's do not.
#define ProcessCommandLineInformation ((PROCESSINFOCLASS)60)
#ifndef STATUS_SUCCESS
#define STATUS_SUCCESS ((NTSTATUS)0)
#endif
#ifndef STATUS_INFO_LENGTH_MISMATCH
#define STATUS_INFO_LENGTH_MISMATCH ((NTSTATUS)0xC0000004L)
#endif
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

// From now on the core's lines go to file (one it has created: --output) rather than to
// standard output. The programs keep the standard output they were started with.
void platformreportto(HANDLE file);
// A line for standard error (the summary), formatted and encoded as the report's lines are,
// once those written before it are out.
int platformewprintf(const wchar_t *format, ...);
// Formats as platformwprintf does, names escaped alike, into UTF-8: at most size - 1 bytes
// and a NUL. Returns the length of the whole text, which may not have fitted, as snprintf.
int platformsnprintf(char *bytes, size_t size, const wchar_t *format, ...);

// What Windows has no service for. The number of the signal that ended the process, where
// the system has signals and the process has ended by one; 0 otherwise (always on Windows).
DWORD platformexitsignal(HANDLE process);
// Whether the exit code the system gives for the ended process is its own: false where the
// system could not keep it and gives all ones in its stead (Linux, for a process whose end
// the tracker saw without its status); true otherwise (always on Windows).
bool platformexitknown(HANDLE process);
