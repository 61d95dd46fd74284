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
#include <commctrl.h>
#include <shellapi.h>

#include <cstdio>
#include <io.h>

#else

#include <cstdint>
#include <cstdio>

using BYTE = std::uint8_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using UINT = unsigned int;
using BOOL = int;
using LPSTR = char*;
using LPCSTR = const char*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPDWORD = DWORD*;
using PUINT = UINT*;

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
// Origins of _llseek (and of the pack engine's seeks).
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
// The new position from the start; HFILE_ERROR on failure.
LONG _llseek(HFILE file, LONG offset, int origin);
// 0, or HFILE_ERROR.
HFILE _lclose(HFILE file);

// Version resources of an executable (a PE file): the VS_VERSIONINFO block of
// its RT_VERSION resource. The size is the block's size with room for the
// ANSI copies of its strings, 0 when the file has no version information or
// is no readable PE file (the handle out-parameter is set to 0).
DWORD GetFileVersionInfoSizeA(LPCSTR path, LPDWORD handle);
// Fills data (size bytes) with the block; FALSE on failure.
BOOL GetFileVersionInfoA(LPCSTR path, DWORD handle, DWORD size, LPVOID data);
// Looks a value up in a block: "\" the fixed file info, "\VarFileInfo\Translation"
// the language and code-page pairs, "\StringFileInfo\040904b0\FileVersion" a
// string (as ANSI text; *length counts its characters with the terminator).
// Keys match ignoring letter case. FALSE when there is no such value. Never
// reads outside the block. Elsewhere than Windows the ANSI text keeps ASCII
// characters and turns every other character into '?'.
BOOL VerQueryValueA(LPCVOID block, LPCSTR subBlock, LPVOID* value, PUINT length);

// --- Windows and messages --------------------------------------------------
// A window is a dialog or one of its controls. On Linux it is a model that
// keeps what the window would show (text, visibility, a progress bar's range
// and position) and that the terminal front-end draws.
struct HWND__;
using HWND = HWND__*;
struct HICON__;
using HICON = HICON__*;
using HCURSOR = HICON;
struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using INT_PTR = std::intptr_t;

#define WM_CLOSE 0x0010
#define WM_SETICON 0x0080
#define WM_USER 0x0400
#define PBM_SETPOS (WM_USER + 2)
#define PBM_SETRANGE32 (WM_USER + 6)
#define ICON_SMALL 0
#define ICON_BIG 1
#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOW 5
#define MB_OK 0x0000
#define MB_ICONEXCLAMATION 0x0030
#define IDOK 1
#define IDCANCEL 2

// The text of every control is a byte string in the system code page (code
// page 949 for the Korean texts); the terminal shows it converted to UTF-8.
LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
BOOL ShowWindow(HWND window, int command);
BOOL SetWindowTextA(HWND window, LPCSTR text);
HWND GetDlgItem(HWND dialog, int id);
// Shows text under caption and waits until it is dismissed: on a terminal
// until Enter is pressed. Returns IDOK.
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

// Painting the minimised dialog. Linux has no minimised dialog: IsIconic is
// always FALSE there and the rest do nothing.
struct HDC__;
using HDC = HDC__*;
struct RECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
};
#define SM_CXICON 11
#define SM_CYICON 12
#define WM_ICONERASEBKGND 0x0027
BOOL IsIconic(HWND window);
int GetSystemMetrics(int index);
BOOL GetClientRect(HWND window, RECT* rect);
BOOL DrawIcon(HDC dc, int x, int y, HICON icon);

// --- Other programs' windows and processes -------------------------------
// On Linux the window of another program stands for a running process of
// that program, as the application names them (platform/ProgramWindows.h):
// the game's window ("KIVRA (Quantrel)", "KIVRA") for a process whose program
// is Kivra.exe, the launcher's ("TBattle", "KivraBattle") for KNet.exe. The
// program is the file name of the process's first argument, or under Wine's
// loader (wine, wine64, wine-preloader, wine64-preloader) of its second, which
// names the Windows path; letter case does not matter. A process counts only
// when it is live, belongs to this user (its real and effective user are
// ours), runs in our Wine prefix (its WINEPREFIX, or ~/.wine of its HOME or of
// its user's home, the same directory as ours) and its /proc files can be
// read. No other process is ever found or asked to close, and OpenProcess
// refuses another user's process, so none is ever waited on or ended.
//
// A message posted to such a window (PostMessageA: the game's close message
// or WM_CLOSE) reaches the program as on Windows when the process runs under
// Wine (its executable is Wine's): Wine's close helper posts it to the window
// from inside our prefix (platform/posix/WineHelper.h: which helper, and for
// how long it may take). Where that cannot be done (no Wine, no helper, no
// answer in time) or the process is no Wine program, the message asks the
// process to end with SIGTERM instead. TRUE once posted or signalled; FALSE
// with ERROR_INVALID_WINDOW_HANDLE when the process has ended or is no
// longer the one found (its id taken over), or the helper finds no such
// window.
using HANDLE = void*;
#define PROCESS_ALL_ACCESS 0x1F0FFF
#define WAIT_OBJECT_0 0
#define WAIT_TIMEOUT 258
#define WAIT_FAILED 0xFFFFFFFF
#define INFINITE 0xFFFFFFFF

// A window of that class and title (either may be null for any), or null. On
// Linux the lowest-numbered process of the program that counts (see above),
// other than this one.
HWND FindWindowA(LPCSTR className, LPCSTR windowName);
// The id of the process behind a window; the thread id result is 0 on Linux.
// ERROR_INVALID_WINDOW_HANDLE for a null window.
DWORD GetWindowThreadProcessId(HWND window, LPDWORD processId);
// A handle to wait on and to end the process; null when it cannot be had: on
// Linux ERROR_INVALID_PARAMETER for no such process, ERROR_ACCESS_DENIED for
// another user's.
HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId);
// WAIT_OBJECT_0 once the process has ended (within milliseconds), else
// WAIT_TIMEOUT; WAIT_FAILED for a bad handle. A process that has ended but is
// not yet reaped by its parent (a zombie) has ended.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
// Ends the process at once, without its own shutdown. On Linux a process
// that runs under Wine and whose window FindWindowA gave out is ended by Wine,
// as Windows ends it (Wine's close helper, as for PostMessageA above); where
// that cannot be done, and for any other process, by SIGKILL. Non-zero on
// success; FALSE with ERROR_ACCESS_DENIED for a process that has ended
// already, as on Windows.
BOOL TerminateProcess(HANDLE process, UINT exitCode);
BOOL CloseHandle(HANDLE handle);
void Sleep(DWORD milliseconds);
// Ends the process with that exit code, output flushed.
[[noreturn]] void ExitProcess(UINT exitCode);
// The id of the calling process.
DWORD GetCurrentProcessId();
// The process's command line: the program's path as it was started, then
// its arguments, separated by blanks. On Linux an argument with a blank or a
// quote in it is put in double quotes as Windows would (\" for a quote).
// This and the executable's path are in the system code page (on Linux a
// character it lacks as '?', as Windows gives them).
LPSTR GetCommandLineA();
// The path of the running executable (module null); its length, 0 on failure.
DWORD GetModuleFileNameA(HINSTANCE module, LPSTR path, DWORD size);

// --- Errors and files -------------------------------------------------------
// The Win32 error codes the platform gives (GetLastError, the registry's
// results), by their Win32 names. On Linux a failure of the C library gives
// the code of its errno (platform/posix/Errors.h).
#define ERROR_SUCCESS 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_TOO_MANY_OPEN_FILES 4L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_NOT_SAME_DEVICE 17L
#define ERROR_GEN_FAILURE 31L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_HANDLE_DISK_FULL 39L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_DISK_FULL 112L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_MR_MID_NOT_FOUND 317L
#define ERROR_IO_DEVICE 1117L
#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_CANT_RESOLVE_FILENAME 1921L
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_FROM_STRING 0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
// The language of a message: English (United States) is MAKELANGID(
// LANG_ENGLISH, SUBLANG_ENGLISH_US), 1033.
#define LANG_ENGLISH 0x09
#define SUBLANG_ENGLISH_US 0x01
#define MAKELANGID(primary, sub) ((static_cast<DWORD>(sub) << 10) | static_cast<DWORD>(primary))

// Copies a file; with failIfExists FALSE an existing target is replaced, with
// TRUE it fails (ERROR_FILE_EXISTS). A target in use by a running program
// fails with ERROR_SHARING_VIOLATION. On Linux the target is replaced whole or
// not at all, and "in use" is a running executable (ETXTBSY); the copy keeps
// the source's permission bits and times.
BOOL CopyFileA(LPCSTR existing, LPCSTR target, BOOL failIfExists);
// The folder for temporary files, ending in a separator: its length, or
// the size needed (terminator included) when size is too small. On Linux
// $TMPDIR when it is set and the system code page can name it, else /tmp.
DWORD GetTempPathA(DWORD size, LPSTR buffer);
// The Win32 error code of the calling thread's last failure.
DWORD GetLastError();
void SetLastError(DWORD code);
// The system's English text for a message id (FORMAT_MESSAGE_FROM_SYSTEM);
// with FORMAT_MESSAGE_ALLOCATE_BUFFER, *(LPSTR*)buffer receives a block that
// LocalFree releases. The number of characters, 0 on failure; a code the
// system has no text for fails with ERROR_MR_MID_NOT_FOUND, a buffer too
// small with ERROR_INSUFFICIENT_BUFFER. On Linux the system's texts are those
// of the codes the platform gives, and nothing else is taken: no buffer, or a
// message from a string or a module (FORMAT_MESSAGE_FROM_STRING, _FROM_HMODULE),
// fails with ERROR_INVALID_PARAMETER.
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer, DWORD size,
                     void* arguments);
void* LocalFree(void* memory);

// --- Registry -----------------------------------------------------------
// On Linux HKEY_LOCAL_MACHINE is the Wine prefix's system.reg ($WINEPREFIX,
// default ~/.wine), read only. Paths that begin with a drive letter map
// through the prefix's dosdevices/ links (see platform/Disk.h).
struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;
using LSTATUS = LONG;
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002u)))
#define KEY_ALL_ACCESS 0xF003F
#define KEY_READ 0x20019
#define KEY_WOW64_32KEY 0x0200
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define ERROR_MORE_DATA 234L

// ERROR_SUCCESS with the key open, else ERROR_FILE_NOT_FOUND. The game's
// key is read in the 32-bit view, as the game sees it: on Linux, in a 64-bit
// prefix (#arch=win64) Software\X is Software\Wow6432Node\X, whatever the
// access asked for. Key and value names ignore letter case.
LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result);
// With data null: the type and size only. Strings come in the system code
// page (on Linux a character it lacks as '?', as Windows gives them) with
// their terminating zero, counted in the size. ERROR_MORE_DATA when the data does
// not fit (*size then holds what is needed).
LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, BYTE* data, LPDWORD size);
LSTATUS RegCloseKey(HKEY key);

// --- Shell --------------------------------------------------------------
// Opens a document, or starts a program. On Linux a document opens with
// xdg-open where a desktop is present, else its path is printed; a Windows
// program (.exe) starts with wine when that is on the PATH, else a line says
// that it cannot. A value above 32 on success; on Linux the failures are
// SE_ERR_FNF (no file named, or none there), SE_ERR_PNF (a path that names
// nothing), SE_ERR_ACCESSDENIED and SE_ERR_NOASSOC (an operation other than
// "open", or a program that cannot be started).
#define SE_ERR_FNF 2
#define SE_ERR_PNF 3
#define SE_ERR_ACCESSDENIED 5
#define SE_ERR_NOASSOC 31
HINSTANCE ShellExecuteA(HWND owner, LPCSTR operation, LPCSTR file, LPCSTR parameters, LPCSTR directory, int show);

// --- The C runtime ------------------------------------------------------
// What msvcrt.dll gives under these names and the C library here under
// others: the descriptor of a stream, and whether a descriptor is a terminal
// (non-zero) or not (0).
int _fileno(std::FILE* stream);
int _isatty(int fd);

#endif  // _WIN32
