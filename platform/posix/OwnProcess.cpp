// The process's own runtime on Linux (OwnProcess.h, and its Win32.h calls).
//
// Sleep, ExitProcess, GetCurrentProcessId, GetCommandLineA and
// GetModuleFileNameA of platform/Win32.h.
#include "platform/posix/OwnProcess.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "platform/Win32.h"
#include "platform/posix/CodePage.h"
#include "platform/posix/Errors.h"
#include "platform/posix/ProcScan.h"

namespace {

std::mutex exitHooksLock;
std::vector<void (*)()> exitHooks;

// The command line as Windows would pass it: arguments with blanks or quotes
// in double quotes, a quote inside escaped with a backslash, and backslashes
// before a quote doubled.
std::string QuoteArgument(std::string_view argument)
{
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string_view::npos)
        return std::string(argument);
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    quoted += '"';
    return quoted;
}

std::string OwnCommandLine()
{
    const std::string arguments = ReadProcFile("/proc/self/cmdline", 1 << 20);
    std::string line;
    std::size_t pos = 0;
    while (pos < arguments.size()) {
        const std::size_t end = std::min(arguments.find('\0', pos), arguments.size());
        if (!line.empty()) line += ' ';
        line += QuoteArgument(std::string_view(arguments).substr(pos, end - pos));
        pos = end + 1;
    }
    return line;
}

// A host text (UTF-8) in the system code page, as the core takes every
// text; a character the code page lacks as '?', as Windows gives it.
std::string InSystemCodePage(std::string_view host)
{
    std::string text;
    codepage::Convert(codepage::Direction::kToCp949, host, text, codepage::Unconvertible::kQuestionMark);
    return text;
}

}  // namespace

void RunAtExitProcess(void (*hook)())
{
    std::lock_guard<std::mutex> lock(exitHooksLock);
    exitHooks.push_back(hook);
}

void Sleep(DWORD milliseconds)
{
    if (milliseconds == INFINITE) {
        for (;;) pause();
    }
    timespec left{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {}
}

void ExitProcess(UINT exitCode)
{
    std::vector<void (*)()> hooks;
    {
        std::lock_guard<std::mutex> lock(exitHooksLock);
        hooks = exitHooks;
    }
    for (void (*hook)() : hooks) hook();
    std::fflush(nullptr);
    std::exit(static_cast<int>(exitCode));
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

LPSTR GetCommandLineA()
{
    static std::string line = InSystemCodePage(OwnCommandLine());
    return line.data();
}

DWORD GetModuleFileNameA(HINSTANCE module, LPSTR path, DWORD size)
{
    if (module) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    char host[PATH_MAX];
    const ssize_t hostLength = readlink("/proc/self/exe", host, sizeof host);
    if (hostLength <= 0 || static_cast<std::size_t>(hostLength) >= sizeof host) {
        SetLastErrorFromErrno(hostLength < 0 ? errno : ENAMETOOLONG);
        return 0;
    }
    const std::string own = InSystemCodePage(std::string_view(host, static_cast<std::size_t>(hostLength)));
    const std::size_t length = own.size();
    if (size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    // Cut to fit, as Windows does: the whole size and ERROR_INSUFFICIENT_BUFFER.
    const std::size_t copied = std::min(length, static_cast<std::size_t>(size) - 1);
    std::memcpy(path, own.data(), copied);
    path[copied] = 0;
    if (copied < length) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    return static_cast<DWORD>(copied);
}
