// Running other programs on Linux, timed or detached (ProgramRunner.cpp).
//
// The one place where the patcher runs another program: the Wine helper
// (platform/posix/WineHelper.h) and ShellExecuteA.
#pragma once

#include <optional>
#include <string>
#include <vector>

// The path of the executable name found on the PATH, or empty.
std::string FindOnPath(const char* name);

// A program to run: it reads nothing and its output is silenced (standard
// input, output and error on /dev/null).
struct ProgramStart {
    std::string program;                                  // the executable's path
    std::vector<std::string> arguments;                   // argv, argv[0] included
    std::optional<std::vector<std::string>> environment;  // without: this process's
    const char* directory = nullptr;                      // null: this process's
    // Run in a session of its own as a grandchild, so that it outlives the
    // patcher and needs no reaping: it is not waited for, only its start is.
    bool detached = false;
};

// What became of a run.
struct ProgramRun {
    bool started = false;  // the program was executed
    bool exited = false;   // it ended by itself in time (never when detached)
    int exitStatus = 0;    // then its exit status
};

inline constexpr int kNoTimeLimit = -1;

// Runs start.program in a process group of its own and waits for it to end
// for at most timeLimitMs (kNoTimeLimit: as long as it takes); one that has
// not ended by then is killed (SIGKILL) with its group. Detached, only its
// start is waited for, however long that takes.
ProgramRun RunProgram(const ProgramStart& start, int timeLimitMs);
