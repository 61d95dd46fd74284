// Running other programs on Linux, timed or detached (ProgramRunner.h).
#include "platform/posix/ProgramRunner.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <signal.h>
#include <string_view>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/Win32.h"

extern char** environ;

namespace {

// How often a run with a time limit looks whether the program has ended.
constexpr int kPollMs = 10;

void Report(int fd, int error) { [[maybe_unused]] const ssize_t ignored = write(fd, &error, sizeof error); }

// Waits for child to end, for at most timeLimitMs; false, with the child and
// its group killed and the child reaped, when it did not end by then.
bool WaitFor(pid_t child, int timeLimitMs, int& status)
{
    if (timeLimitMs == kNoTimeLimit) {
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
        return true;
    }
    for (int waited = 0;; waited += kPollMs) {
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child) return true;
        if ((done < 0 && errno != EINTR) || waited >= timeLimitMs) {
            kill(-child, SIGKILL);
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
            return false;
        }
        Sleep(kPollMs);
    }
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

ProgramRun RunProgram(const ProgramStart& start, int timeLimitMs)
{
    std::vector<char*> argv;
    for (const std::string& argument : start.arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    if (start.environment) {
        for (const std::string& variable : *start.environment) envp.push_back(const_cast<char*>(variable.c_str()));
        envp.push_back(nullptr);
    }
    char** const environment = start.environment ? envp.data() : environ;

    // The program's process reports a failed exec through a pipe that the
    // exec itself closes. Without one (no descriptor left) a program that is
    // waited for still runs: its exit status tells.
    ProgramRun run;
    int report[2] = {-1, -1};
    if (pipe2(report, O_CLOEXEC) != 0 && start.detached) return run;
    const pid_t child = fork();
    if (child == 0) {
        if (report[0] >= 0) close(report[0]);
        if (start.detached) {
            setsid();
            const pid_t grandchild = fork();
            if (grandchild < 0) Report(report[1], errno);
            if (grandchild != 0) _exit(0);
        } else {
            setpgid(0, 0);
        }
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, STDIN_FILENO);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
        }
        if (!start.directory || chdir(start.directory) == 0) execve(start.program.c_str(), argv.data(), environment);
        Report(report[1], errno);
        _exit(127);
    }
    if (report[1] >= 0) close(report[1]);
    if (child < 0) {
        if (report[0] >= 0) close(report[0]);
        return run;
    }
    // Its group is made on both sides, so that it exists before either goes on.
    if (!start.detached) setpgid(child, child);
    int status = 0;
    const bool ended = WaitFor(child, start.detached ? kNoTimeLimit : timeLimitMs, status);
    run.started = true;
    if (report[0] >= 0) {
        int error = 0;
        ssize_t n;
        while ((n = read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {}
        close(report[0]);
        run.started = n == 0;
    }
    run.exited = !start.detached && ended && WIFEXITED(status);
    run.exitStatus = run.exited ? WEXITSTATUS(status) : 0;
    return run;
}
