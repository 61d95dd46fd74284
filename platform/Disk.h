// Disk files and directories, named as the game names them.
//
// Paths are Windows paths in the system code page (949): a backslash (or a
// slash) separates components, and letter case does not matter. On Windows
// these are the C library's own calls. Elsewhere:
//
// - The path is converted to UTF-8, the form in which Wine keeps a Windows
//   name on the host's file system. Bytes that are no text of code page 949,
//   and the wildcards '?' and '*' (which stand in host texts for characters
//   the code page lacks), name nothing: every operation on such a path fails.
// - Each component that does not exist as written is matched, ignoring the
//   case of ASCII letters (other letters match as they are), against what its
//   directory holds, so that "Kivra_Pak\Version.txt" finds
//   kivra_pak/version.txt. Components that match nothing are kept as written
//   (the file may be about to be created).
// - "." and ".." are taken as Windows takes them, from the path as written:
//   ".." drops the component before it, so a walk into a linked folder and
//   back out with ".." comes back to where it started, while files named
//   through the link are those of its target.
// - A relative path starts at the current directory, which is kept the same
//   way: the path the walk took (ChangeDiskDirectory). At first use it is
//   $PWD when that names the process's current directory, else the
//   directory's real path; the process's own current directory is kept on
//   the same directory.
//
// A path that begins with a drive letter and a colon ("C:\Games\Kivra", in
// either case) starts at the Wine prefix's entry for that drive, Wine's link
// $WINEPREFIX/dosdevices/c: (default prefix ~/.wine), followed as a directory,
// and ".." stops at that root; the rest resolves as above. A drive the prefix
// does not have resolves to nothing, so every operation on such a path fails.
//
// This is the one place where a disk path is turned into a host path.
#pragma once

#include <cstddef>
#include <cstdio>

// Longest host path the resolution produces, terminator included.
inline constexpr std::size_t kHostPathMax = 4096;

// Turns path into the host's name for it: an absolute path elsewhere than on
// Windows. False when the result would not fit (errno ENAMETOOLONG), or the
// path is empty, names nothing (see above) or is on a drive that does not
// exist (errno ENOENT).
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

// Makes path the process's current directory, and the path the way it was
// taken to it (see above). 0 or -1.
int ChangeDiskDirectory(const char* path);
