// The /proc scan on Linux: processes and what /proc says of them (ProcScan.cpp).
//
// What a process's /proc files say, and the processes that run a program in
// our Wine prefix, as FindWindowA counts them (platform/Win32.h).
#pragma once

#include <cstddef>
#include <string>

// At most limit bytes of a file into content; false when it cannot be
// opened.
bool ReadProcFile(const std::string& path, std::size_t limit, std::string& content);
// The same, empty when the file cannot be read.
std::string ReadProcFile(const std::string& path, std::size_t limit);

struct ProcStat {
    char state = 0;                    // 'Z' and 'X': ended
    unsigned long long startTime = 0;  // tells a reused process id apart
};

// The state letter and start time of /proc/PID/stat; false when the process
// is gone.
bool ReadProcStat(int pid, ProcStat& result);

// Whether a process is this user's: its real and effective user are ours,
// for root as for anyone else.
bool OwnUser(int pid);

// Whether the process is Wine's: its executable is a Wine loader.
bool RunsUnderWine(int pid);

// The lowest id of a live process other than this one that runs program and
// counts (platform/Win32.h); 0 when there is none.
int FindProgram(const char* program);
