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

// Disk files through the _lopen family. Paths resolve as platform/Disk.h
// says (backslash separators, letter case ignored).
using HFILE = int;
#define HFILE_ERROR (-1)
#define OF_READ 0
#define OF_WRITE 1
#define OF_READWRITE 2

// Opens an existing file for reading, writing or both; never creates one.
HFILE _lopen(LPCSTR path, int access);
// Bytes read or written; (UINT)HFILE_ERROR on failure.
UINT _lread(HFILE file, void* buffer, UINT count);
UINT _lwrite(HFILE file, LPCSTR buffer, UINT count);
// The new position from the start (origins 0 start, 1 current, 2 end);
// HFILE_ERROR on failure.
LONG _llseek(HFILE file, LONG offset, int origin);
// 0, or HFILE_ERROR.
HFILE _lclose(HFILE file);

#endif  // _WIN32
