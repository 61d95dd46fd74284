// The Win32 operations the patcher calls, by their Win32 names.
//
// The core (pack/, lzh/, update/, app/) includes this header and no OS header
// of its own. On Windows it is the real API; elsewhere platform/posix/ gives
// each operation the meaning stated here, which is the contract both sides
// keep.
#pragma once

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#else

#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using UINT = unsigned int;
using BOOL = int;
using LPSTR = char*;
using LPCSTR = const char*;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

// A moment in time: 100-nanosecond intervals since 1 January 1601 UTC, split
// into two 32-bit halves.
struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
using LPFILETIME = FILETIME*;

// Fills *time with the current time of day (UTC).
void GetSystemTimeAsFileTime(LPFILETIME time);

// A disk file opened by _lopen; HFILE_ERROR when the open failed.
using HFILE = int;
#define HFILE_ERROR (-1)

#endif  // _WIN32
