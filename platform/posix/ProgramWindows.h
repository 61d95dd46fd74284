// Other programs' windows on Linux, beyond Win32.h (ProgramWindows.cpp).
//
// The windows FindWindowA gives out, each standing for a process of the
// program; platform/Win32.h states what they mean.
#pragma once

#include "platform/Win32.h"

// PostMessageA to a window of another program (FindWindowA's), as
// platform/Win32.h states it.
BOOL PostToProgram(HWND window, UINT message);

// The window FindWindowA gave out for the process of that id and start
// time, while the process is still that one, live and this user's; else null.
const HWND__* FoundProcessWindow(int pid, unsigned long long startTime);
