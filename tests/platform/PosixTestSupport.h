// Environment variables and child processes for the platform tests.
#pragma once

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <grp.h>
#include <iterator>
#include <optional>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

extern char** environ;

namespace testutil {

// Sets (or, given nothing, unsets) an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value) : name_(name)
    {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv()
    {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

inline std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Polls condition every 10 ms for up to 10 s; whether it came true.
template <typename Condition> bool Eventually(Condition condition)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// How a child is started: SIGTERM ignored, its environment (else ours), and
// another user to run as (its uid and gid; root only).
struct Launch {
    bool ignoreTerm = false;
    std::optional<std::vector<std::string>> environment;
    std::optional<std::pair<uid_t, gid_t>> user;
};

// A child process running program with the given arguments (argv[0]
// included, which may name another program). Killed and reaped at the end.
class Child {
public:
    Child(const std::string& program, std::vector<std::string> arguments, bool ignoreTerm = false)
        : Child(program, std::move(arguments), Launch{ignoreTerm, std::nullopt, std::nullopt})
    {}
    Child(const std::string& program, std::vector<std::string> arguments, Launch launch)
    {
        std::vector<char*> argv;
        for (std::string& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        std::vector<char*> envp;
        if (launch.environment) {
            for (std::string& variable : *launch.environment) envp.push_back(variable.data());
            envp.push_back(nullptr);
        }
        pid_ = fork();
        if (pid_ == 0) {
            // SIGTERM stays ignored across the exec.
            if (launch.ignoreTerm) signal(SIGTERM, SIG_IGN);
            if (launch.user &&
                (setgroups(0, nullptr) != 0 || setgid(launch.user->second) != 0 || setuid(launch.user->first) != 0))
                _exit(126);
            execve(program.c_str(), argv.data(), launch.environment ? envp.data() : environ);
            _exit(127);
        }
        expected_ = arguments.empty() ? std::string() : arguments[0];
    }
    ~Child()
    {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    int pid() const { return pid_; }
    // Whether the exec has happened (its command line is the new one).
    bool Started() const
    {
        return Eventually([&] {
            const std::string line = ReadText("/proc/" + std::to_string(pid_) + "/cmdline");
            return line.compare(0, expected_.size() + 1, expected_ + '\0') == 0;
        });
    }
    // Waits for it to end; its wait status.
    int Reap()
    {
        int status = 0;
        waitpid(pid_, &status, 0);
        reaped_ = true;
        return status;
    }

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    std::string expected_;
};

// The program that stands in for others: it waits for a signal.
inline std::string StandInProgram() { return KIVRA_TEST_STAND_IN; }

}  // namespace testutil
