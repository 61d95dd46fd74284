// Opening documents and starting programs on Linux.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "platform/Disk.h"
#include "platform/posix/CodePage.h"
#include "platform/posix/Processes.h"
#include "platform/posix/WindowModel.h"

extern char** environ;

namespace {

// ShellExecuteA's results: above 32 is success.
constexpr std::uintptr_t kStarted = 33;
constexpr std::uintptr_t kFileNotFound = 2;    // SE_ERR_FNF
constexpr std::uintptr_t kPathNotFound = 3;    // SE_ERR_PNF
constexpr std::uintptr_t kAccessDenied = 5;    // SE_ERR_ACCESSDENIED
constexpr std::uintptr_t kNoAssociation = 31;  // SE_ERR_NOASSOC

HINSTANCE Result(std::uintptr_t value) { return reinterpret_cast<HINSTANCE>(value); }

bool EndsWithIgnoringCase(const char* text, const char* suffix)
{
    const std::size_t length = std::strlen(text);
    const std::size_t suffixLength = std::strlen(suffix);
    return length >= suffixLength && strcasecmp(text + length - suffixLength, suffix) == 0;
}

// Parameters split as a Windows program would: blanks separate, double
// quotes group.
void SplitParameters(const char* parameters, std::vector<std::string>& arguments)
{
    if (!parameters) return;
    std::string current;
    bool quoted = false;
    bool any = false;
    for (const char* p = parameters; *p; ++p) {
        if (*p == '"') {
            quoted = !quoted;
            any = true;
        } else if ((*p == ' ' || *p == '\t') && !quoted) {
            if (any) arguments.push_back(current);
            current.clear();
            any = false;
        } else {
            current += *p;
            any = true;
        }
    }
    if (any) arguments.push_back(current);
}

void Report(int fd, int error) { [[maybe_unused]] const ssize_t ignored = write(fd, &error, sizeof error); }

// Runs program in the background and does not wait for it: it runs as a
// grandchild in a session of its own (so it outlives the patcher and needs
// no reaping), reading nothing and its output silenced. False when it could
// not be started.
bool StartDetached(const std::string& program, const std::vector<std::string>& arguments, const char* directory)
{
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    // The grandchild reports a failed exec through a pipe that the exec
    // itself closes.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return false;
    const pid_t child = fork();
    if (child == 0) {
        close(report[0]);
        setsid();
        const pid_t grandchild = fork();
        if (grandchild < 0) Report(report[1], errno);
        if (grandchild != 0) _exit(0);
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, STDIN_FILENO);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
        }
        if (!directory || chdir(directory) == 0) execve(program.c_str(), argv.data(), environ);
        Report(report[1], errno);
        _exit(127);
    }
    close(report[1]);
    if (child < 0) {
        close(report[0]);
        return false;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    int error = 0;
    ssize_t n;
    while ((n = read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {}
    close(report[0]);
    return n == 0;
}

void SayOnTerminal(const char* format, const char* path)
{
    terminal::FinishLine();
    std::printf(format, path);
    std::fflush(stdout);
}

}  // namespace

HINSTANCE ShellExecuteA(HWND, LPCSTR operation, LPCSTR file, LPCSTR parameters, LPCSTR directory, int)
{
    if (!file || !*file) return Result(kFileNotFound);
    if (operation && *operation && strcasecmp(operation, "open") != 0) return Result(kNoAssociation);

    char host[kHostPathMax];
    if (!ResolveDiskPath(file, host, sizeof host)) return Result(kPathNotFound);
    struct stat st {};
    if (stat(host, &st) != 0) {
        if (errno == EACCES) return Result(kAccessDenied);
        return Result(errno == ENOENT ? kFileNotFound : kPathNotFound);
    }
    char workDir[kHostPathMax];
    if (directory && *directory && !ResolveDiskPath(directory, workDir, sizeof workDir)) return Result(kPathNotFound);
    const char* cwd = directory && *directory ? workDir : nullptr;

    if (EndsWithIgnoringCase(file, ".exe")) {
        const std::string wine = FindOnPath("wine");
        // Wine is given the path as the patcher names it (it knows the
        // drives), in the host's encoding, as it takes every argument.
        std::string path;
        codepage::Convert(codepage::Direction::kToUtf8, file, path, codepage::Unconvertible::kQuestionMark);
        if (wine.empty()) {
            SayOnTerminal("Cannot start %s: Windows programs need Wine, and wine is not on the PATH.\n", path.c_str());
            return Result(kNoAssociation);
        }
        std::vector<std::string> arguments = {"wine", path};
        std::string hostParameters;
        if (parameters)
            codepage::Convert(codepage::Direction::kToUtf8, parameters, hostParameters,
                              codepage::Unconvertible::kQuestionMark);
        SplitParameters(parameters ? hostParameters.c_str() : nullptr, arguments);
        return Result(StartDetached(wine, arguments, cwd) ? kStarted : kNoAssociation);
    }

    // A document: parameters mean nothing to it.
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if ((display && *display) || (wayland && *wayland)) {
        const std::string opener = FindOnPath("xdg-open");
        if (!opener.empty() && StartDetached(opener, {"xdg-open", host}, cwd)) return Result(kStarted);
    }
    SayOnTerminal("Read me: %s\n", host);
    return Result(kStarted);
}
