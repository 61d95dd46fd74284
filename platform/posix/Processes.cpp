// Other programs' windows and processes, and the process's own, on Linux.
#include "platform/posix/Processes.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <set>
#include <signal.h>
#include <string>
#include <string_view>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/posix/Errors.h"
#include "platform/posix/WindowModel.h"
#include "app/ProgramWindows.h"

namespace {

// Names of Wine's loader: the program it runs is the next argument.
constexpr std::string_view kWineLoaders[] = {"wine", "wine64", "wine-preloader", "wine64-preloader"};

std::mutex windowsLock;
std::map<int, std::unique_ptr<HWND__>> programWindows;  // by process id

struct ProcessObject {
    int pid;
    int pidfd;                     // -1: waits poll /proc
    unsigned long long startTime;  // tells a reused process id apart
};

std::mutex handlesLock;
std::set<ProcessObject*> processHandles;

bool SameIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
        if (x != y) return false;
    }
    return true;
}

// At most limit bytes of a /proc file; empty when it cannot be read.
std::string ReadProcFile(const std::string& path, std::size_t limit)
{
    std::string content;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return content;
    char buffer[4096];
    while (content.size() < limit) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        content.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    if (content.size() > limit) content.resize(limit);
    return content;
}

struct ProcStat {
    char state = 0;
    unsigned long long startTime = 0;
};

// The state letter and start time of /proc/PID/stat; false when the process
// is gone.
bool ReadProcStat(int pid, ProcStat& result)
{
    const std::string stat = ReadProcFile("/proc/" + std::to_string(pid) + "/stat", 4096);
    // "pid (comm) S ppid ...": the name may hold anything, so the fields
    // start after its last ')'; the start time is the 22nd field.
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) return false;
    std::size_t pos = close + 1;
    for (int field = 3; field <= 22; ++field) {
        while (pos < stat.size() && stat[pos] == ' ') ++pos;
        const std::size_t end = std::min(stat.find(' ', pos), stat.size());
        if (pos >= end) return field > 3;
        if (field == 3) result.state = stat[pos];
        if (field == 22) result.startTime = std::strtoull(stat.substr(pos, end - pos).c_str(), nullptr, 10);
        pos = end;
    }
    return true;
}

bool IsLive(int pid)
{
    ProcStat stat;
    return ReadProcStat(pid, stat) && stat.state != 'Z' && stat.state != 'X';
}

std::string_view BaseName(std::string_view path)
{
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The program a command line (/proc/PID/cmdline) runs: its first argument's
// file name, or under Wine's loader the second's (Wine names the program by
// its Windows path there).
std::string_view ProgramName(std::string_view cmdline)
{
    const std::size_t end = std::min(cmdline.find('\0'), cmdline.size());
    const std::string_view first = BaseName(cmdline.substr(0, end));
    for (std::string_view loader : kWineLoaders) {
        if (first != loader) continue;
        if (end >= cmdline.size()) return {};
        const std::string_view rest = cmdline.substr(end + 1);
        return BaseName(rest.substr(0, std::min(rest.find('\0'), rest.size())));
    }
    return first;
}

// The lowest id of a live process running program, 0 when there is none.
int FindProgram(const char* program)
{
    DIR* proc = opendir("/proc");
    if (!proc) return 0;
    const int self = getpid();
    int found = 0;
    while (const dirent* entry = readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (*end || pid <= 0 || pid > INT_MAX || pid == self || (found && pid > found)) continue;
        const std::string cmdline = ReadProcFile(std::string("/proc/") + entry->d_name + "/cmdline", 65536);
        if (SameIgnoringCase(ProgramName(cmdline), program) && IsLive(static_cast<int>(pid))) found = static_cast<int>(pid);
    }
    closedir(proc);
    return found;
}

ProcessObject* LookUp(HANDLE handle)
{
    std::lock_guard<std::mutex> lock(handlesLock);
    auto* object = static_cast<ProcessObject*>(handle);
    return processHandles.count(object) ? object : nullptr;
}

bool HasEnded(const ProcessObject& process)
{
    if (process.pidfd >= 0) {
        pollfd ready{process.pidfd, POLLIN, 0};
        return poll(&ready, 1, 0) > 0;
    }
    ProcStat stat;
    if (!ReadProcStat(process.pid, stat)) return true;
    return stat.state == 'Z' || stat.state == 'X' || (process.startTime && stat.startTime != process.startTime);
}

HANDLE OpenProcessHandle(DWORD processId, bool usePidfd)
{
    if (processId == 0 || processId > static_cast<DWORD>(INT_MAX)) {
        SetLastError(kErrorInvalidParameter);
        return nullptr;
    }
    const int pid = static_cast<int>(processId);
    // A handle is for waiting on and ending the process: one that may not
    // be signalled is refused.
    if (kill(pid, 0) != 0) {
        SetLastError(errno == EPERM ? ERROR_ACCESS_DENIED : kErrorInvalidParameter);
        return nullptr;
    }
    ProcStat stat;
    ReadProcStat(pid, stat);
    int pidfd = -1;
#ifdef SYS_pidfd_open
    if (usePidfd) {
        pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        if (pidfd < 0 && errno == ESRCH) {
            SetLastError(kErrorInvalidParameter);
            return nullptr;
        }
        // Any other failure (ENOSYS before Linux 5.3): waits poll instead.
    }
#else
    (void)usePidfd;
#endif
    auto* object = new ProcessObject{pid, pidfd, stat.startTime};
    std::lock_guard<std::mutex> lock(handlesLock);
    processHandles.insert(object);
    return object;
}

// The command line as Windows would pass it: arguments with blanks or quotes
// in double quotes, a quote inside escaped with a backslash, and backslashes
// before a quote doubled.
std::string QuoteArgument(std::string_view argument)
{
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string_view::npos) return std::string(argument);
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

}  // namespace

HWND FindWindowA(LPCSTR className, LPCSTR windowName)
{
    if (!className && !windowName) return nullptr;
    for (const ProgramWindow& window : kProgramWindows) {
        if ((className && !SameIgnoringCase(className, window.className)) ||
            (windowName && !SameIgnoringCase(windowName, window.title)))
            continue;
        const int pid = FindProgram(window.program);
        if (!pid) return nullptr;
        std::lock_guard<std::mutex> lock(windowsLock);
        std::unique_ptr<HWND__>& found = programWindows[pid];
        if (!found) {
            found = std::make_unique<HWND__>();
            found->otherProgram = true;
            found->pid = pid;
            found->visible = true;
        }
        found->className = window.className;
        found->text = window.title;
        return found.get();
    }
    return nullptr;
}

DWORD GetWindowThreadProcessId(HWND window, LPDWORD processId)
{
    if (!window) {
        SetLastError(1400);  // ERROR_INVALID_WINDOW_HANDLE
        return 0;
    }
    if (processId) *processId = static_cast<DWORD>(window->otherProgram ? window->pid : getpid());
    return 0;
}

HANDLE OpenProcess(DWORD, BOOL, DWORD processId) { return OpenProcessHandle(processId, true); }

HANDLE OpenProcessPolling(DWORD processId) { return OpenProcessHandle(processId, false); }

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    const ProcessObject* process = LookUp(handle);
    if (!process) {
        SetLastError(kErrorInvalidHandle);
        return WAIT_FAILED;
    }
    using Clock = std::chrono::steady_clock;
    const bool forever = milliseconds == INFINITE;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        if (HasEnded(*process)) return WAIT_OBJECT_0;
        long long left = 0;
        if (!forever) {
            left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return WAIT_TIMEOUT;
        }
        if (process->pidfd >= 0) {
            pollfd ready{process->pidfd, POLLIN, 0};
            if (poll(&ready, 1, forever ? -1 : static_cast<int>(std::min<long long>(left, INT_MAX))) < 0 && errno != EINTR) {
                SetLastErrorFromErrno(errno);
                return WAIT_FAILED;
            }
        } else {
            Sleep(static_cast<DWORD>(forever ? 10 : std::min<long long>(left, 10)));
        }
    }
}

BOOL TerminateProcess(HANDLE handle, UINT)
{
    const ProcessObject* process = LookUp(handle);
    if (!process) {
        SetLastError(kErrorInvalidHandle);
        return FALSE;
    }
    long result;
#ifdef SYS_pidfd_send_signal
    if (process->pidfd >= 0)
        result = syscall(SYS_pidfd_send_signal, process->pidfd, SIGKILL, nullptr, 0);
    else
#endif
        result = HasEnded(*process) ? (errno = ESRCH, -1) : kill(process->pid, SIGKILL);
    if (result != 0) {
        // As on Windows, a process that has ended can't be terminated.
        SetLastError(errno == ESRCH ? ERROR_ACCESS_DENIED : Win32ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL CloseHandle(HANDLE handle)
{
    auto* process = static_cast<ProcessObject*>(handle);
    {
        std::lock_guard<std::mutex> lock(handlesLock);
        if (processHandles.erase(process) == 0) {
            SetLastError(kErrorInvalidHandle);
            return FALSE;
        }
    }
    if (process->pidfd >= 0) close(process->pidfd);
    delete process;
    return TRUE;
}

void Sleep(DWORD milliseconds)
{
    if (milliseconds == INFINITE) {
        for (;;) pause();
    }
    timespec left{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void ExitProcess(UINT exitCode)
{
    terminal::FinishLine();
    std::fflush(nullptr);
    std::exit(static_cast<int>(exitCode));
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

LPSTR GetCommandLineA()
{
    static std::string line = OwnCommandLine();
    return line.data();
}

DWORD GetModuleFileNameA(HINSTANCE module, LPSTR path, DWORD size)
{
    if (module) {
        SetLastError(kErrorModNotFound);
        return 0;
    }
    char own[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", own, sizeof own);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof own) {
        SetLastErrorFromErrno(length < 0 ? errno : ENAMETOOLONG);
        return 0;
    }
    if (size == 0) {
        SetLastError(kErrorInsufficientBuffer);
        return 0;
    }
    // Cut to fit, as Windows does: the whole size and ERROR_INSUFFICIENT_BUFFER.
    const std::size_t copied = std::min(static_cast<std::size_t>(length), static_cast<std::size_t>(size) - 1);
    std::memcpy(path, own, copied);
    path[copied] = 0;
    if (copied < static_cast<std::size_t>(length)) {
        SetLastError(kErrorInsufficientBuffer);
        return size;
    }
    return static_cast<DWORD>(copied);
}
