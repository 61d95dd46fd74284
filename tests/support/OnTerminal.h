// Runs a program with a pseudo-terminal for its standard input, output and
// error, as a player or patch maker at a terminal runs it, and answers its
// questions with a line.
#pragma once

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace testutil {

struct TerminalRun {
    std::string program;
    std::vector<std::string> arguments;    // after argv[0], which is program
    std::string directory;                 // where it runs; empty: here
    std::vector<std::string> environment;  // empty: this process's environment
    std::string promptEnd;                 // output ending so is a question; empty: none
    std::string answer;                    // typed with Enter at each question
    bool answerOnce = false;               // only the first question is answered
    int seconds = 60;                      // then it is killed
};

struct TerminalOutcome {
    int status = -1;    // exit status; -1 when it did not exit by itself
    std::string shown;  // what the terminal showed, line ends as "\r\n"
};

inline TerminalOutcome RunOnTerminal(const TerminalRun& run)
{
    std::vector<std::string> strings = run.arguments;
    strings.insert(strings.begin(), run.program);
    std::vector<char*> argv;
    for (std::string& s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment = run.environment;
    std::vector<char*> envp;
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);

    TerminalOutcome outcome;
    int terminal = -1;
    const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid == 0) {
        if (run.directory.empty() || chdir(run.directory.c_str()) == 0) {
            if (run.environment.empty())
                execv(run.program.c_str(), argv.data());
            else
                execve(run.program.c_str(), argv.data(), envp.data());
        }
        _exit(127);
    }
    if (pid < 0) {
        outcome.shown = "forkpty failed";
        return outcome;
    }
    bool answered = false;
    bool ended = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(run.seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd wait{terminal, POLLIN, 0};
        if (poll(&wait, 1, 100) <= 0) continue;
        char bytes[4096];
        const ssize_t got = read(terminal, bytes, sizeof bytes);
        if (got <= 0) {  // the program has closed the terminal: it is ending
            ended = true;
            break;
        }
        outcome.shown.append(bytes, static_cast<std::size_t>(got));
        const std::string& shown = outcome.shown;
        const std::size_t end = run.promptEnd.size();
        if (end != 0 && !(run.answerOnce && answered) && shown.size() >= end &&
            shown.compare(shown.size() - end, end, run.promptEnd) == 0) {
            const std::string line = run.answer + "\n";
            if (write(terminal, line.data(), line.size()) != static_cast<ssize_t>(line.size())) break;
            answered = true;
        }
    }
    int status = 0;
    if (!ended && waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    } else if (ended) {
        waitpid(pid, &status, 0);
    }
    close(terminal);
    if (WIFEXITED(status)) outcome.status = WEXITSTATUS(status);
    return outcome;
}

}  // namespace testutil
