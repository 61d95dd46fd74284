// Win32 error codes for the failures the C library reports.
#pragma once

#include "platform/Win32.h"

// Codes the posix side sets beyond those Win32.h names.
inline constexpr DWORD kErrorInvalidHandle = 6;
inline constexpr DWORD kErrorFileExists = 80;
inline constexpr DWORD kErrorInvalidParameter = 87;
inline constexpr DWORD kErrorInsufficientBuffer = 122;
inline constexpr DWORD kErrorModNotFound = 126;
inline constexpr DWORD kErrorMessageNotFound = 317;  // ERROR_MR_MID_NOT_FOUND

// The Win32 code for an errno value. ENOENT is ERROR_FILE_NOT_FOUND; where a
// missing directory is to blame, callers use ERROR_PATH_NOT_FOUND.
DWORD Win32ErrorFromErrno(int error);

// SetLastError(Win32ErrorFromErrno(error)).
void SetLastErrorFromErrno(int error);
