// Process handles on Linux.
#pragma once

#include "platform/Win32.h"

// OpenProcess as it is where the kernel has no pidfd_open: waits on the
// handle look at /proc every few milliseconds.
HANDLE OpenProcessPolling(DWORD processId);
