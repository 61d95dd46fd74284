// Process handles and other programs' windows on Linux.
//
// The game's and the launcher's windows are their processes: a process
// counts only when it runs the program, belongs to this user (its real and
// effective user are ours), runs in our Wine prefix (its WINEPREFIX, or
// ~/.wine of its HOME or its user's home, the same directory as ours) and
// its /proc files can be read. No other process is ever found or signalled,
// and OpenProcess refuses another user's process.
#pragma once

#include <string>

#include "platform/Win32.h"

// The path of the executable name found on the PATH, or empty.
std::string FindOnPath(const char* name);

// OpenProcess as it is where the kernel has no pidfd_open: waits on the
// handle look at /proc every few milliseconds.
HANDLE OpenProcessPolling(DWORD processId);

// PostMessageA to a window of another program (FindWindowA's). A program
// running under Wine gets the message through Wine: kivra-close-win32.exe or
// kivra-close-win64.exe beside the running executable (for the prefix's
// kind) is run with `wine` in our prefix and posts it to the window. Without
// Wine, the helper, or an answer within 10 s, the process is asked to end
// with SIGTERM. FALSE when the process is gone (or no longer the one found),
// or the helper found no such window.
BOOL PostToProgram(HWND window, UINT message);
