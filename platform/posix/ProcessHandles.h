// The Win32 process handles on Linux, beyond Win32.h (ProcessHandles.cpp).
#pragma once

#include "platform/Win32.h"

// OpenProcess as it is where the kernel has no pidfd_open: waits on the
// handle look at /proc every few milliseconds.
HANDLE OpenProcessPolling(DWORD processId);
