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
#include <filesystem>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <set>
#include <signal.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <pwd.h>
#include <unistd.h>
#include <vector>

#include "platform/AsciiCase.h"
#include "platform/posix/CodePage.h"
#include "platform/Framework.h"
#include "platform/posix/Errors.h"
#include "platform/posix/RegistryFile.h"
#include "platform/posix/WindowModel.h"
#include "platform/posix/WinePrefix.h"

extern char** environ;

namespace {

// Names of Wine's loader: the program it runs is the next argument.
constexpr std::string_view kWineLoaders[] = {"wine", "wine64", "wine-preloader", "wine64-preloader"};

constexpr DWORD kErrorInvalidWindowHandle = 1400;

// The close helper beside the executable, one for each kind of prefix, and
// how long it may take before signals are used instead.
constexpr char kHelper32[] = "kivra-close-win32.exe";
constexpr char kHelper64[] = "kivra-close-win64.exe";
constexpr int kHelperWaitMs = 10000;

// A window FindWindowA gave out: the process it stands for, told apart from
// a later one of the same id by its start time.
struct FoundWindow {
    std::unique_ptr<HWND__> window;
    unsigned long long startTime = 0;
};

std::mutex windowsLock;
std::map<int, FoundWindow> programWindows;  // by process id

struct ProcessObject {
    int pid;
    int pidfd;                     // -1: waits poll /proc
    unsigned long long startTime;  // tells a reused process id apart
};

std::mutex handlesLock;
std::set<ProcessObject*> processHandles;

bool SameIgnoringCase(std::string_view a, std::string_view b) { return ascii::EqualIgnoringCase(a, b); }

// At most limit bytes of a /proc file into content; false when it cannot
// be opened.
bool ReadProcFile(const std::string& path, std::size_t limit, std::string& content)
{
    content.clear();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buffer[4096];
    while (content.size() < limit) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        content.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    if (content.size() > limit) content.resize(limit);
    return true;
}

// At most limit bytes of a /proc file; empty when it cannot be read.
std::string ReadProcFile(const std::string& path, std::size_t limit)
{
    std::string content;
    ReadProcFile(path, limit, content);
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

std::string ProcPath(int pid, const char* file) { return "/proc/" + std::to_string(pid) + "/" + file; }

// The real and effective user of a process, from /proc/PID/status; false
// when it cannot be read.
bool ReadUsers(int pid, uid_t& real, uid_t& effective)
{
    const std::string status = ReadProcFile(ProcPath(pid, "status"), 16384);
    const std::size_t line = status.find("\nUid:");
    if (line == std::string::npos) return false;
    char* end = nullptr;
    const char* p = status.c_str() + line + 5;
    const unsigned long r = std::strtoul(p, &end, 10);
    if (end == p) return false;
    p = end;
    const unsigned long e = std::strtoul(p, &end, 10);
    if (end == p) return false;
    real = static_cast<uid_t>(r);
    effective = static_cast<uid_t>(e);
    return true;
}

// Whether a process is this user's: its real and effective user are ours.
// Another user's process is never signalled, even by root.
bool OwnUser(int pid)
{
    uid_t real = 0;
    uid_t effective = 0;
    return ReadUsers(pid, real, effective) && real == getuid() && effective == geteuid();
}

// A path as the file system resolves it, or, when it does not exist, with
// "." and ".." and repeated or closing slashes taken out.
std::string Canonical(const std::string& path)
{
    if (path.empty()) return path;
    if (char* real = realpath(path.c_str(), nullptr)) {
        std::string resolved = real;
        std::free(real);
        return resolved;
    }
    std::string normal = std::filesystem::path(path).lexically_normal().string();
    while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
    return normal;
}

// The home directory of a user in the password database, or empty.
std::string HomeOf(uid_t user)
{
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(user, &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !found->pw_dir) return {};
    return found->pw_dir;
}

// The Wine prefix a process runs in, as Wine takes it from the process's
// environment: WINEPREFIX (relative to its working directory), or ~/.wine of
// its HOME or, without one, of its user's home. Empty when its environment
// cannot be read or no prefix can be had.
std::string PrefixOf(int pid)
{
    std::string environment;
    if (!ReadProcFile(ProcPath(pid, "environ"), 1 << 20, environment)) return {};
    std::string prefix;
    std::string home;
    bool hasPrefix = false;
    bool hasHome = false;
    for (std::size_t pos = 0; pos < environment.size();) {
        const std::size_t end = std::min(environment.find('\0', pos), environment.size());
        const std::string_view variable(environment.data() + pos, end - pos);
        if (!hasPrefix && variable.substr(0, 11) == "WINEPREFIX=") {
            prefix = variable.substr(11);
            hasPrefix = true;
        } else if (!hasHome && variable.substr(0, 5) == "HOME=") {
            home = variable.substr(5);
            hasHome = true;
        }
        pos = end + 1;
    }
    if (!prefix.empty()) return prefix.front() == '/' ? prefix : ProcPath(pid, "cwd/") + prefix;
    if (home.empty()) {
        uid_t real = 0;
        uid_t effective = 0;
        if (!ReadUsers(pid, real, effective)) return {};
        home = HomeOf(real);
    }
    return home.empty() ? home : home + "/.wine";
}

// Whether a process may count as the game's or the launcher's: it is in
// our view (its /proc files readable), this user's, and runs in our prefix
// (ours already canonical).
bool InOurPrefix(int pid, const std::string& ourPrefix)
{
    if (ourPrefix.empty() || !OwnUser(pid)) return false;
    const std::string prefix = PrefixOf(pid);
    return !prefix.empty() && Canonical(prefix) == ourPrefix;
}

// The lowest id of a live process running program in our prefix, 0 when
// there is none.
int FindProgram(const char* program)
{
    DIR* proc = opendir("/proc");
    if (!proc) return 0;
    const std::string ourPrefix = Canonical(WinePrefix());
    const int self = getpid();
    int found = 0;
    while (const dirent* entry = readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (*end || pid <= 0 || pid > INT_MAX || pid == self || (found && pid > found)) continue;
        const std::string cmdline = ReadProcFile(std::string("/proc/") + entry->d_name + "/cmdline", 65536);
        if (SameIgnoringCase(ProgramName(cmdline), program) && IsLive(static_cast<int>(pid)) &&
            InOurPrefix(static_cast<int>(pid), ourPrefix))
            found = static_cast<int>(pid);
    }
    closedir(proc);
    return found;
}

// Whether the process is Wine's: its executable is a Wine loader.
bool RunsUnderWine(int pid)
{
    char target[PATH_MAX];
    const ssize_t length = readlink(ProcPath(pid, "exe").c_str(), target, sizeof target - 1);
    if (length <= 0) return false;
    target[length] = 0;
    return BaseName(target).substr(0, 4) == "wine";
}

// The close helper for a prefix: the one for its kind (its system.reg's
// "#arch=" line; a prefix without one is a 32-bit prefix of old), beside the
// running executable (a build's bin/) or in the library folder of the
// prefix it is installed in (bin/../lib/kivra/). Empty when it is not there.
std::string HelperFor(const std::string& prefix)
{
    std::string head;
    ReadProcFile(prefix + "/system.reg", 65536, head);
    const char* name = registry::ReadArch(head) == registry::Arch::Win64 ? kHelper64 : kHelper32;
    char own[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", own, sizeof own - 1);
    if (length <= 0) return {};
    own[length] = 0;
    const std::string folder(own, BaseName(own).data() - own);
    for (const std::string& helper : {folder + name, folder + "../lib/kivra/" + name})
        if (access(helper.c_str(), R_OK) == 0) return helper;
    return {};
}

// What the helper answered: its exit status 0 (done) or 10 (no such
// window); any other (Wine's own failures among them) is no answer.
enum class HelperResult {
    Done,
    NoWindow,
    Unavailable
};

// Runs the close helper with Wine in our prefix (whose server runs: a Wine
// process of the prefix was found), for at most kHelperWaitMs. Unavailable
// when Wine or the helper is missing or the helper did not answer.
HelperResult RunHelper(const std::vector<std::string>& command)
{
    const std::string wine = FindOnPath("wine");
    const std::string prefix = WinePrefix();
    if (wine.empty() || prefix.empty()) return HelperResult::Unavailable;
    const std::string helper = HelperFor(prefix);
    if (helper.empty()) return HelperResult::Unavailable;

    std::vector<std::string> arguments = {wine, helper};
    arguments.insert(arguments.end(), command.begin(), command.end());
    std::vector<std::string> environment = {"WINEPREFIX=" + prefix, "WINEDEBUG=-all"};
    for (char** variable = environ; *variable; ++variable) {
        const std::string_view text = *variable;
        if (text.substr(0, 11) != "WINEPREFIX=" && text.substr(0, 10) != "WINEDEBUG=") environment.emplace_back(text);
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& variable : environment) envp.push_back(variable.data());
    envp.push_back(nullptr);

    const pid_t child = fork();
    if (child < 0) return HelperResult::Unavailable;
    if (child == 0) {
        setpgid(0, 0);
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, STDIN_FILENO);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
        }
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    setpgid(child, child);
    int status = 0;
    for (int waited = 0;; waited += 10) {
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child) break;
        if ((done < 0 && errno != EINTR) || waited >= kHelperWaitMs) {
            kill(-child, SIGKILL);
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
            return HelperResult::Unavailable;
        }
        Sleep(10);
    }
    if (!WIFEXITED(status)) return HelperResult::Unavailable;
    switch (WEXITSTATUS(status)) {
    case 0: return HelperResult::Done;
    case 10: return HelperResult::NoWindow;
    default: return HelperResult::Unavailable;
    }
}

// The window FindWindowA gave out for the process of that id and start
// time, while the process is still that one, live and this user's.
const HWND__* FoundProcessWindow(int pid, unsigned long long startTime)
{
    ProcStat stat;
    if (!ReadProcStat(pid, stat) || stat.startTime != startTime || stat.state == 'Z' || stat.state == 'X' ||
        !OwnUser(pid))
        return nullptr;
    std::lock_guard<std::mutex> lock(windowsLock);
    const auto found = programWindows.find(pid);
    return found != programWindows.end() && found->second.startTime == startTime ? found->second.window.get() : nullptr;
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
    // A handle is for waiting on and ending the process: one of another
    // user is refused, even to root.
    if (kill(pid, 0) != 0 && errno != EPERM) {
        SetLastError(kErrorInvalidParameter);
        return nullptr;
    }
    if (!OwnUser(pid)) {
        SetLastError(ERROR_ACCESS_DENIED);
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

}  // namespace

std::string FindOnPath(const char* name)
{
    const char* path = std::getenv("PATH");
    if (!path) return {};
    std::string_view rest = path;
    for (;;) {
        const std::size_t colon = rest.find(':');
        const std::string_view dir = rest.substr(0, colon);
        const std::string candidate = (dir.empty() ? std::string(".") : std::string(dir)) + "/" + name;
        struct stat st {};
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (colon == std::string_view::npos) return {};
        rest.remove_prefix(colon + 1);
    }
}

HWND FindWindowA(LPCSTR className, LPCSTR windowName)
{
    if (!className && !windowName) return nullptr;
    int count = 0;
    const ProgramWindow* windows = AfxProgramWindows(count);
    for (int i = 0; i < count; ++i) {
        const ProgramWindow& window = windows[i];
        if ((className && !SameIgnoringCase(className, window.className)) ||
            (windowName && !SameIgnoringCase(windowName, window.title)))
            continue;
        const int pid = FindProgram(window.program);
        if (!pid) return nullptr;
        ProcStat stat;
        ReadProcStat(pid, stat);
        std::lock_guard<std::mutex> lock(windowsLock);
        FoundWindow& found = programWindows[pid];
        if (!found.window) {
            found.window = std::make_unique<HWND__>();
            found.window->otherProgram = true;
            found.window->pid = pid;
            found.window->visible = true;
        }
        found.startTime = stat.startTime;
        found.window->className = window.className;
        found.window->text = window.title;
        return found.window.get();
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
            if (poll(&ready, 1, forever ? -1 : static_cast<int>(std::min<long long>(left, INT_MAX))) < 0 &&
                errno != EINTR) {
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
    // A Wine program is ended by Wine, as Windows would end it; a signal
    // when that cannot be done.
    if (!HasEnded(*process) && RunsUnderWine(process->pid)) {
        if (const HWND__* window = FoundProcessWindow(process->pid, process->startTime)) {
            if (RunHelper({"terminate", window->className, window->text}) == HelperResult::Done) return TRUE;
        }
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

BOOL PostToProgram(HWND window, UINT message)
{
    std::string className;
    std::string title;
    int pid = 0;
    unsigned long long startTime = 0;
    {
        std::lock_guard<std::mutex> lock(windowsLock);
        const auto found = programWindows.find(window->pid);
        if (found != programWindows.end() && found->second.window.get() == window) {
            pid = window->pid;
            startTime = found->second.startTime;
            className = window->className;
            title = window->text;
        }
    }
    // The process must still be the one found: an id taken over since is
    // another process, perhaps of another user.
    if (!pid || !FoundProcessWindow(pid, startTime)) {
        SetLastError(kErrorInvalidWindowHandle);
        return FALSE;
    }
    // A Wine program gets the message itself through Wine, and shuts down
    // as it would on Windows. A helper that finds no such window is
    // Windows' answer to a window that is gone.
    if (RunsUnderWine(pid)) {
        switch (RunHelper({"post", className, title, std::to_string(message)})) {
        case HelperResult::Done: return TRUE;
        case HelperResult::NoWindow: SetLastError(kErrorInvalidWindowHandle); return FALSE;
        case HelperResult::Unavailable: break;
        }
    }
    // Otherwise whatever is posted asks the process to end.
    if (kill(pid, SIGTERM) == 0) return TRUE;
    SetLastError(kErrorInvalidWindowHandle);
    return FALSE;
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
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {}
}

void ExitProcess(UINT exitCode)
{
    terminal::FinishLine();
    std::fflush(nullptr);
    std::exit(static_cast<int>(exitCode));
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

namespace {

// A host text (UTF-8) in the system code page, as the core takes every
// text; a character the code page lacks as '?', as Windows gives it.
std::string InSystemCodePage(std::string_view host)
{
    std::string text;
    codepage::Convert(codepage::Direction::kToCp949, host, text, codepage::Unconvertible::kQuestionMark);
    return text;
}

}  // namespace

LPSTR GetCommandLineA()
{
    static std::string line = InSystemCodePage(OwnCommandLine());
    return line.data();
}

DWORD GetModuleFileNameA(HINSTANCE module, LPSTR path, DWORD size)
{
    if (module) {
        SetLastError(kErrorModNotFound);
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
        SetLastError(kErrorInsufficientBuffer);
        return 0;
    }
    // Cut to fit, as Windows does: the whole size and ERROR_INSUFFICIENT_BUFFER.
    const std::size_t copied = std::min(length, static_cast<std::size_t>(size) - 1);
    std::memcpy(path, own.data(), copied);
    path[copied] = 0;
    if (copied < length) {
        SetLastError(kErrorInsufficientBuffer);
        return size;
    }
    return static_cast<DWORD>(copied);
}
