// The scripted stand-in behind platform.h for the unit tests.
#include "standin.h"

#include "../../frontend/frontend.h"
#include "../../supervisor/record.h"
#include "../../supervisor/supervisor.h"

#include <setjmp.h>
#include <stdarg.h>
#include <stdlib.h>

standinstate standin;

static DWORD lasterror;
static jmp_buf exitjump;
static volatile DWORD exitcode;
static std::map<uintptr_t, std::string> labels;
static std::map<uintptr_t, DWORD> handlepid;        // process handles -> pid
static std::map<uintptr_t, std::wstring> filenames; // file handles -> name
static std::vector<void *> blocks;
static uintptr_t nexthandle;
static int dequeuespastend;

static HANDLE newhandle(const std::string &label)
{
    nexthandle += 4;
    labels[nexthandle] = label;
    return (HANDLE)nexthandle;
}

std::string standinlabel(HANDLE handle)
{
    auto it = labels.find((uintptr_t)handle);
    return it == labels.end() ? "?" : it->second;
}

static void log(const std::string &call)
{
    standin.calls.push_back(call);
}

// Counts the call and tells whether the script makes it fail; sets the last error if so.
static bool fails(const std::string &service)
{
    int nth = ++standin.counts[service];
    auto it = standin.failures.find(service);
    if (it == standin.failures.end())
        return false;
    auto at = it->second.find(nth);
    if (at == it->second.end())
        return false;
    lasterror = at->second;
    return true;
}

void standinfail(const std::string &service, DWORD error, int nth)
{
    standin.failures[service][nth] = error;
}

void standinreset()
{
    for (void *block : blocks)
        free(block);
    blocks.clear();
    labels.clear();
    handlepid.clear();
    filenames.clear();
    nexthandle = 0x1000;
    dequeuespastend = 0;
    lasterror = 0;
    standin = standinstate();
    hh = nullptr;
    winerrno = 0;
    rootproc = procnode();
    recordreset();
}

DWORD standinrun(const std::vector<std::wstring> &args)
{
    std::vector<std::wstring> owned;
    owned.push_back(L"dorvane.exe");
    owned.insert(owned.end(), args.begin(), args.end());
    std::vector<wchar_t *> argv;
    for (auto &arg : owned)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (setjmp(exitjump) == 0)
        exitcode = (DWORD)wmain((int)owned.size(), argv.data());
    return exitcode;
}

std::vector<std::wstring> standinlines()
{
    std::vector<std::wstring> lines;
    size_t at = 0;
    while (at < standin.out.size()) {
        size_t end = standin.out.find(L'\n', at);
        if (end == std::wstring::npos)
            end = standin.out.size();
        lines.push_back(standin.out.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

std::vector<std::string> standinfilelines(const std::wstring &name)
{
    std::vector<std::string> lines;
    const std::string &bytes = standin.files[name];
    for (size_t at = 0; at < bytes.size();) {
        size_t end = bytes.find('\n', at);
        if (end == std::string::npos)
            end = bytes.size();
        lines.push_back(bytes.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

// UTF-8, as Windows makes it: a lone surrogate is no Unicode; without strict, it becomes
// U+FFFD. Returns false on a lone surrogate when strict.
static bool utf8(const wchar_t *text, size_t length, std::string *out, bool strict)
{
    for (size_t i = 0; i < length; i++) {
        uint32_t c = (uint32_t)text[i];
        if ((c >= 0xd800 && c <= 0xdfff) || c > 0x10ffff) {
            if (strict)
                return false;
            c = 0xfffd;
        }
        if (c < 0x80) {
            *out += (char)c;
        } else if (c < 0x800) {
            *out += (char)(0xc0 | c >> 6);
            *out += (char)(0x80 | (c & 0x3f));
        } else if (c < 0x10000) {
            *out += (char)(0xe0 | c >> 12);
            *out += (char)(0x80 | (c >> 6 & 0x3f));
            *out += (char)(0x80 | (c & 0x3f));
        } else {
            *out += (char)(0xf0 | c >> 18);
            *out += (char)(0x80 | (c >> 12 & 0x3f));
            *out += (char)(0x80 | (c >> 6 & 0x3f));
            *out += (char)(0x80 | (c & 0x3f));
        }
    }
    return true;
}

static std::wstring format(const wchar_t *format, va_list args)
{
    wchar_t text[4096];
    int length = vswprintf(text, sizeof text / sizeof *text, format, args);
    return length > 0 ? std::wstring(text, (size_t)length) : std::wstring();
}

// The report's text, to standard output or the file it was sent to.
static void report(const std::wstring &text)
{
    if (standin.reportfile.empty())
        standin.out += text;
    else
        utf8(text.data(), text.size(), &standin.files[standin.reportfile], false);
}

int platformwprintf(const wchar_t *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    std::wstring text = format(fmt, args);
    va_end(args);
    report(text);
    return (int)text.size();
}

int platformputws(const wchar_t *text)
{
    report(std::wstring(text) + L"\n");
    return 0;
}

void platformreportto(HANDLE file)
{
    log("platformreportto(" + standinlabel(file) + ")");
    standin.reportfile = filenames[(uintptr_t)file];
}

int platformewprintf(const wchar_t *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    std::wstring text = format(fmt, args);
    va_end(args);
    standin.err += text;
    return (int)text.size();
}

int platformsnprintf(char *bytes, size_t size, const wchar_t *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    std::wstring text = format(fmt, args);
    va_end(args);
    std::string out;
    utf8(text.data(), text.size(), &out, false);
    if (size) {
        size_t stored = std::min(out.size(), size - 1);
        memcpy(bytes, out.data(), stored);
        bytes[stored] = '\0';
    }
    return (int)out.size();
}

DWORD platformexitsignal(HANDLE process)
{
    return standin.procs[handlepid[(uintptr_t)process]].signal;
}

bool platformexitknown(HANDLE process)
{
    return !standin.procs[handlepid[(uintptr_t)process]].codeunknown;
}

int WideCharToMultiByte(UINT codepage, DWORD flags, LPCWCH text, int length, LPSTR bytes,
                        int size, LPCCH, LPBOOL)
{
    std::string out;
    if (codepage != CP_UTF8 || length < 0 ||
        !utf8(text, (size_t)length, &out, flags & WC_ERR_INVALID_CHARS)) {
        lasterror = ERROR_NO_UNICODE_TRANSLATION;
        return 0;
    }
    if (size == 0)
        return (int)out.size();
    if ((size_t)size < out.size()) {
        lasterror = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    memcpy(bytes, out.data(), out.size());
    return (int)out.size();
}

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                   DWORD disposition, DWORD flags, HANDLE templatefile)
{
    std::string narrow;
    utf8(name, wcslen(name), &narrow, false);
    log("CreateFileW(" + narrow + ", " + std::to_string(access) + ", " + std::to_string(share) +
        ", " + (attributes ? "attributes" : "null") + ", " + std::to_string(disposition) +
        ", " + std::to_string(flags) + ", " + (templatefile ? "template" : "null") + ")");
    if (fails("CreateFileW"))
        return INVALID_HANDLE_VALUE;
    HANDLE file = newhandle("file " + narrow);
    filenames[(uintptr_t)file] = name;
    standin.files[name].clear();
    return file;
}

BOOL WriteFile(HANDLE file, LPCVOID bytes, DWORD count, LPDWORD written, LPOVERLAPPED)
{
    *written = 0;
    if (fails("WriteFile"))
        return FALSE;
    auto it = filenames.find((uintptr_t)file);
    if (it == filenames.end()) {
        lasterror = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    standin.files[it->second].append((const char *)bytes, count);
    *written = count;
    return TRUE;
}

void GetSystemTimeAsFileTime(LPFILETIME now)
{
    now->dwLowDateTime = (DWORD)standin.now;
    now->dwHighDateTime = (DWORD)(standin.now >> 32);
}

static void filetime(LPFILETIME t, uint64_t ticks)
{
    t->dwLowDateTime = (DWORD)ticks;
    t->dwHighDateTime = (DWORD)(ticks >> 32);
}

BOOL GetProcessTimes(HANDLE process, LPFILETIME creation, LPFILETIME exit, LPFILETIME kernel,
                     LPFILETIME user)
{
    log("GetProcessTimes(" + standinlabel(process) + ")");
    if (fails("GetProcessTimes"))
        return FALSE;
    const standinproc &p = standin.procs[handlepid[(uintptr_t)process]];
    filetime(creation, p.creation);
    filetime(exit, p.exit);
    filetime(kernel, p.kernel);
    filetime(user, p.user);
    return TRUE;
}

BOOL GetProcessMemoryInfo(HANDLE process, PPROCESS_MEMORY_COUNTERS counters, DWORD size)
{
    log("GetProcessMemoryInfo(" + standinlabel(process) + ")");
    if (fails("GetProcessMemoryInfo") || size < sizeof *counters)
        return FALSE;
    *counters = PROCESS_MEMORY_COUNTERS();
    counters->PeakWorkingSetSize = standin.procs[handlepid[(uintptr_t)process]].peak;
    return TRUE;
}

NTSTATUS NtQueryInformationProcess(HANDLE process, PROCESSINFOCLASS infoclass, PVOID info,
                                   ULONG length, PULONG returned)
{
    log("NtQueryInformationProcess(" + standinlabel(process) + ", " +
        std::to_string((int)infoclass) + ")");
    if (fails("NtQueryInformationProcess"))
        return STATUS_INVALID_INFO_CLASS;
    const standinproc &p = standin.procs[handlepid[(uintptr_t)process]];
    if (infoclass == ProcessBasicInformation) {
        auto *basic = (PROCESS_BASIC_INFORMATION *)info;
        *basic = PROCESS_BASIC_INFORMATION();
        basic->InheritedFromUniqueProcessId = p.ppid;
        return STATUS_SUCCESS;
    }
    ULONG needed =
        (ULONG)(sizeof(UNICODE_STRING) + (p.commandline.size() + 1) * sizeof(wchar_t));
    if (returned)
        *returned = needed;
    if (length < needed)
        return STATUS_INFO_LENGTH_MISMATCH;
    auto *text = (UNICODE_STRING *)info;
    text->Buffer = (wchar_t *)(text + 1);
    text->Length = (uint32_t)(p.commandline.size() * sizeof(wchar_t));
    wmemcpy(text->Buffer, p.commandline.c_str(), p.commandline.size() + 1);
    return STATUS_SUCCESS;
}

DWORD GetLastError(void)
{
    return lasterror;
}

void ExitProcess(UINT code)
{
    log("ExitProcess(" + std::to_string(code) + ")");
    standin.exitprocess = true;
    exitcode = code;
    // standinrun's setjmp is still live: ExitProcess is only reached from below wmain,
    // whose frames hold nothing that needs unwinding.
    longjmp(exitjump, 1);
}

HANDLE HeapCreate(DWORD options, SIZE_T initialsize, SIZE_T maximumsize)
{
    log("HeapCreate(" + std::to_string(options) + ", " + std::to_string(initialsize) + ", " +
        std::to_string(maximumsize) + ")");
    if (fails("HeapCreate"))
        return nullptr;
    return newhandle("heap");
}

LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes)
{
    log("HeapAlloc(" + standinlabel(heap) + ", " + std::to_string(flags) + ", " +
        std::to_string(bytes) + ")");
    standin.allocsizes.push_back(bytes);
    if (fails("HeapAlloc"))
        return nullptr;
    void *block = malloc(bytes);
    blocks.push_back(block);
    return block;
}

BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID block)
{
    log("HeapFree(" + standinlabel(heap) + ", " + std::to_string(flags) + ")");
    standin.counts["HeapFree"]++;
    for (auto it = blocks.begin(); it != blocks.end(); ++it)
        if (*it == block) {
            blocks.erase(it);
            free(block);
            return TRUE;
        }
    log("HeapFree of an unknown block");
    return FALSE;
}

BOOL CloseHandle(HANDLE handle)
{
    log("CloseHandle(" + standinlabel(handle) + ")");
    if (fails("CloseHandle"))
        return FALSE;
    return labels.erase((uintptr_t)handle) ? TRUE : FALSE;
}

HANDLE CreateJobObjectW(LPSECURITY_ATTRIBUTES attributes, LPCWSTR name)
{
    log(std::string("CreateJobObjectW(") + (attributes ? "attributes" : "null") + ", " +
        (name ? "name" : "null") + ")");
    if (fails("CreateJobObjectW"))
        return nullptr;
    return newhandle("job");
}

HANDLE CreateIoCompletionPort(HANDLE file, HANDLE port, ULONG_PTR key, DWORD threads)
{
    log(std::string("CreateIoCompletionPort(") +
        (file == INVALID_HANDLE_VALUE ? "INVALID_HANDLE_VALUE" : "file") + ", " +
        (port ? "port" : "null") + ", " + std::to_string(key) + ", " + std::to_string(threads) +
        ")");
    if (fails("CreateIoCompletionPort"))
        return nullptr;
    return newhandle("port");
}

BOOL SetInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS infoclass, LPVOID info,
                             DWORD infolength)
{
    auto *association = (JOBOBJECT_ASSOCIATE_COMPLETION_PORT *)info;
    log("SetInformationJobObject(" + standinlabel(job) + ", " + std::to_string(infoclass) +
        ", key " + standinlabel(association->CompletionKey) + ", port " +
        standinlabel(association->CompletionPort) + ", " + std::to_string(infolength) + ")");
    return fails("SetInformationJobObject") ? FALSE : TRUE;
}

BOOL CreateProcessW(LPCWSTR applicationname, LPWSTR commandline,
                    LPSECURITY_ATTRIBUTES processattributes,
                    LPSECURITY_ATTRIBUTES threadattributes, BOOL inherithandles,
                    DWORD creationflags, LPVOID environment, LPCWSTR currentdirectory,
                    LPSTARTUPINFOW startupinfo, LPPROCESS_INFORMATION info)
{
    bool startupzero = startupinfo->cb == sizeof(STARTUPINFOW) && startupinfo->dwFlags == 0 &&
                       !startupinfo->hStdOutput && !startupinfo->lpDesktop;
    log(std::string("CreateProcessW(") + (applicationname ? "name" : "null") + ", cmd, " +
        (processattributes ? "attrs" : "null") + ", " + (threadattributes ? "attrs" : "null") +
        ", " + std::to_string(inherithandles) + ", " + std::to_string(creationflags) + ", " +
        (environment ? "env" : "null") + ", " + (currentdirectory ? "dir" : "null") + ", " +
        (startupzero ? "startup" : "startup not clean") + ")");
    standin.commandline = commandline;
    if (fails("CreateProcessW"))
        return FALSE;
    DWORD pid = standin.rootpid;
    standin.procs.emplace(pid, standinproc());
    info->hProcess = newhandle("process " + std::to_string(pid));
    info->hThread = newhandle("thread " + std::to_string(pid));
    info->dwProcessId = pid;
    info->dwThreadId = pid + 1;
    handlepid[(uintptr_t)info->hProcess] = pid;
    standin.roothandle = info->hProcess;
    return TRUE;
}

BOOL AssignProcessToJobObject(HANDLE job, HANDLE process)
{
    // The root's entry must be seeded before it can join and be reported.
    log("AssignProcessToJobObject(" + standinlabel(job) + ", " + standinlabel(process) +
        ") rootproc " + std::to_string(rootproc.pid));
    return fails("AssignProcessToJobObject") ? FALSE : TRUE;
}

DWORD ResumeThread(HANDLE thread)
{
    log("ResumeThread(" + standinlabel(thread) + ")");
    return fails("ResumeThread") ? (DWORD)-1 : 1;
}

BOOL TerminateProcess(HANDLE process, UINT exitcode)
{
    log("TerminateProcess(" + standinlabel(process) + ", " + std::to_string(exitcode) + ")");
    return fails("TerminateProcess") ? FALSE : TRUE;
}

BOOL GetQueuedCompletionStatus(HANDLE port, LPDWORD bytes, PULONG_PTR key,
                               LPOVERLAPPED *overlapped, DWORD milliseconds)
{
    log("GetQueuedCompletionStatus(" + standinlabel(port) + ", " +
        std::to_string(milliseconds) + ")");
    // An exhausted script fails the dequeue instead of blocking, and a core that kept on
    // dequeuing regardless is stopped, so no test can hang.
    if (fails("GetQueuedCompletionStatus") || standin.packets.empty()) {
        if (standin.packets.empty()) {
            lasterror = ERROR_ABANDONED_WAIT_0;
            if (++dequeuespastend > 100) {
                log("dequeuing past the end of the script");
                ExitProcess(0xdeadbeef);
            }
        }
        *overlapped = nullptr;
        return FALSE;
    }
    standinpacket packet = standin.packets.front();
    standin.packets.pop_front();
    *bytes = packet.message;
    *key = packet.key;
    if (packet.jobkey)
        for (auto &[value, label] : labels)
            if (label == "job")
                *key = value;
    *overlapped = (LPOVERLAPPED)(ULONG_PTR)packet.pid;
    return TRUE;
}

BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitcode)
{
    log("GetExitCodeProcess(" + standinlabel(process) + ")");
    if (fails("GetExitCodeProcess")) {
        *exitcode = 0x5eed; // nothing promises the slot is left alone on failure
        return FALSE;
    }
    *exitcode = standin.procs[handlepid[(uintptr_t)process]].exitcode;
    return TRUE;
}

HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD pid)
{
    log("OpenProcess(" + std::to_string(access) + ", " + std::to_string(inherit) + ", " +
        std::to_string(pid) + ")");
    if (fails("OpenProcess"))
        return nullptr;
    HANDLE handle = newhandle("open " + std::to_string(pid) + " #" +
                              std::to_string(standin.counts["OpenProcess"]));
    handlepid[(uintptr_t)handle] = pid;
    return handle;
}

DWORD GetProcessImageFileNameW(HANDLE process, LPWSTR name, DWORD size)
{
    log("GetProcessImageFileNameW(" + standinlabel(process) + ", " + std::to_string(size) +
        ")");
    if (fails("GetProcessImageFileNameW"))
        return 0;
    const std::wstring &image = standin.procs[handlepid[(uintptr_t)process]].image;
    if (image.size() + 1 > size) {
        lasterror = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    wmemcpy(name, image.c_str(), image.size() + 1);
    return (DWORD)image.size();
}
