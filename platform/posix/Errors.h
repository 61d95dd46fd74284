// The Win32 error codes of the C library's failures on Linux (Errors.cpp).
//
// The codes themselves are named in platform/Win32.h.
#pragma once

#include "platform/Win32.h"

// The Win32 code for an errno value. ENOENT is ERROR_FILE_NOT_FOUND; where a
// missing directory is to blame, callers use ERROR_PATH_NOT_FOUND.
DWORD Win32ErrorFromErrno(int error);

// SetLastError(Win32ErrorFromErrno(error)).
void SetLastErrorFromErrno(int error);
