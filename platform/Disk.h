// Disk files and directories, named as the game names them.
//
// Paths are Windows paths: a backslash (or a slash) separates components, and
// letter case does not matter. On Windows these are the C library's own calls.
// Elsewhere each component that does not exist as written is matched, ignoring
// the case of ASCII letters, against what its directory holds, so that
// "Kivra_Pak\Version.txt" finds kivra_pak/version.txt. Components that match
// nothing are kept as written (the file may be about to be created).
//
// A path that begins with a drive letter and a colon ("C:\Games\Kivra", in
// either case) starts at the Wine prefix's entry for that drive, Wine's link
// $WINEPREFIX/dosdevices/c: (default prefix ~/.wine), followed as a directory;
// the rest resolves as above. A drive the prefix does not have resolves to
// nothing, so every operation on such a path fails.
//
// This is the one place where a disk path is turned into a host path.
#pragma once

#include <cstddef>
#include <cstdio>

// Longest host path the resolution produces, terminator included.
inline constexpr std::size_t kHostPathMax = 4096;

// Turns path into the host's name for it. False when the result would not fit
// (errno ENAMETOOLONG) or the path's drive does not exist (errno ENOENT).
bool ResolveDiskPath(const char* path, char* out, std::size_t outSize);

// True when mode is a stream mode that every C runtime the programs run on
// reads alike, Windows' msvcrt.dll among them: 'r', 'w' or 'a' first, then
// any of '+', 'b' and 't' at most once each, not 'b' with 't'. msvcrt.dll
// knows no other letter ("x", "e" and the rest are not exclusive creation or
// close-on-exec there), so no other mode is taken anywhere.
bool IsPortableFileMode(const char* mode);

// fopen on the resolved path; null on failure (errno set). A mode that
// IsPortableFileMode refuses fails with errno EINVAL, on every platform.
std::FILE* OpenDiskFile(const char* path, const char* mode);

// Creates path as a new, empty file and opens it for binary writing; null
// (errno EEXIST) when a file of that name, in any letter case, is there
// already, so two callers never get the same file. Null on any other failure
// (errno set).
std::FILE* CreateNewDiskFile(const char* path);

// 0 on success, -1 on failure (errno set).
int RemoveDiskFile(const char* path);

// Moves from onto to, replacing a file that is there. 0 or -1.
int RenameDiskFile(const char* from, const char* to);

// Makes one directory. 0, or -1 (also when it exists already).
int MakeDiskDirectory(const char* path);

// Makes path the process's current directory. 0 or -1.
int ChangeDiskDirectory(const char* path);
