// The /proc scan on Linux: processes and what /proc says of them (ProcScan.h).
#include "platform/posix/ProcScan.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <pwd.h>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "platform/AsciiCase.h"
#include "platform/posix/WinePrefix.h"

namespace {

// Names of Wine's loader: the program it runs is the next argument.
constexpr std::string_view kWineLoaders[] = {"wine", "wine64", "wine-preloader", "wine64-preloader"};

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

}  // namespace

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

std::string ReadProcFile(const std::string& path, std::size_t limit)
{
    std::string content;
    ReadProcFile(path, limit, content);
    return content;
}

bool ReadProcStat(int pid, ProcStat& result)
{
    const std::string stat = ReadProcFile(ProcPath(pid, "stat"), 4096);
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

bool OwnUser(int pid)
{
    uid_t real = 0;
    uid_t effective = 0;
    return ReadUsers(pid, real, effective) && real == getuid() && effective == geteuid();
}

bool RunsUnderWine(int pid)
{
    char target[PATH_MAX];
    const ssize_t length = readlink(ProcPath(pid, "exe").c_str(), target, sizeof target - 1);
    if (length <= 0) return false;
    target[length] = 0;
    return BaseName(target).substr(0, 4) == "wine";
}

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
        if (ascii::EqualIgnoringCase(ProgramName(cmdline), program) && IsLive(static_cast<int>(pid)) &&
            InOurPrefix(static_cast<int>(pid), ourPrefix))
            found = static_cast<int>(pid);
    }
    closedir(proc);
    return found;
}
