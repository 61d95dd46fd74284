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
//   kivra_pak/version.txt; of several such names, the least in byte order.
//   Components that match nothing are kept as written (the file may be about
//   to be created). What a directory holds is read once and kept while the
//   directory stays as it was, so each lookup gives what reading it afresh
//   would.
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
#include <cstdint>
#include <cstdio>

// Longest host path the resolution produces, terminator included.
inline constexpr std::size_t kHostPathMax = 4096;

// Turns path into the host's name for it: an absolute path (on Windows the
// system's full path of it). False when the result would not fit (errno ENAMETOOLONG), or the
// path is empty, names nothing (see above) or is on a drive that does not
// exist (errno ENOENT).
bool ResolveDiskPath(const char* path, char* out, std::size_t outSize);

// True when mode is a stream mode that every C runtime the programs run on
// reads alike, Windows' msvcrt.dll among them: 'r', 'w' or 'a' first, then
// any of '+', 'b' and 't' at most once each, not 'b' with 't'. msvcrt.dll
// knows no other letter ("x", "e" and the rest are not exclusive creation or
// close-on-exec there), so no other mode is taken anywhere.
bool IsPortableFileMode(const char* mode);

// How a file opened by OpenLockedDiskFile is held against other opens of it,
// in this process or another: any number of shared holders, or one exclusive
// holder and nobody else.
enum class DiskLock {
    kShared,
    kExclusive,
};

// How FinishDiskReplacement ends a replacement (below).
enum class DiskReplacementEnd {
    kDrop,     // the temporary is removed: the file stays as it was
    kReplace,  // the temporary takes the file's place now
    kStage,    // the temporary is kept, to take the file's place with the staged set
};

// What StatDiskPath finds at a path.
struct DiskPathInfo {
    bool directory;
    bool file;           // a regular file (not a device, a pipe, a socket)
    std::uint64_t size;  // a file's length in bytes; 0 for a directory
    bool link;           // the path itself is a symbolic link (a junction on Windows), followed for the rest
    // What the file is, however it is named (device and inode); 0 and 0
    // where the platform does not tell (Windows).
    std::uint64_t device;
    std::uint64_t inode;
};

// --- Every disk operation, through one replaceable table -------------------
//
// The operations on disk files and on the disk's names that the core makes
// (the pack engine, the transfer, the LZH reader and writer) and that
// CopyFileA makes go through diskCalls, whose entries are the platform's own
// implementations. A test replaces an entry to fail one call, or to count
// them; nothing else does. Each function below calls its entry and keeps the
// contract stated there.
struct DiskCalls {
    std::FILE* (*open)(const char* path, const char* mode);
    std::FILE* (*openLocked)(const char* path, const char* mode, DiskLock lock);
    std::FILE* (*createNew)(const char* path);
    std::size_t (*read)(void* buffer, std::size_t size, std::size_t count, std::FILE* file);
    std::size_t (*write)(const void* buffer, std::size_t size, std::size_t count, std::FILE* file);
    int (*seek)(std::FILE* file, long offset, int origin);
    long (*tell)(std::FILE* file);
    int (*flush)(std::FILE* file);
    int (*close)(std::FILE* file);
    int (*remove)(const char* path);
    int (*rename)(const char* from, const char* to);
    int (*makeDirectory)(const char* path);
    int (*changeDirectory)(const char* path);
    int (*stat)(const char* path, DiskPathInfo* info);
    int (*freeSpace)(const char* directory, std::uint64_t* bytes);
    std::FILE* (*beginReplacement)(const char* path);
    int (*finishReplacement)(std::FILE* file, DiskReplacementEnd end);
    int (*syncStaged)();
    int (*switchStaged)();
    int (*undoStaged)();
    int (*dropStaged)();
    int (*sweepTemporaries)(const char* directory, const char* prefix);
    int (*setTime)(const char* path, long long unixTime);
    int (*mayWrite)(const char* path);
    int (*removeDirectory)(const char* path);
    int (*truncate)(std::FILE* file, long length);
    int (*syncFile)(std::FILE* file);
    int (*syncFolder)(const char* directory);
    int (*syncVolume)(const char* directory);
    int (*copyPermissions)(const char* from, const char* to);
};
extern DiskCalls diskCalls;

// fopen on the resolved path; null on failure (errno set). A mode that
// IsPortableFileMode refuses fails with errno EINVAL, on every platform. Only
// a regular file is opened, without waiting: a directory fails with EISDIR,
// a pipe, a device or a socket with ENODEV.
inline std::FILE* OpenDiskFile(const char* path, const char* mode) { return diskCalls.open(path, mode); }

// OpenDiskFile, holding the file with lock until it is closed. Null with
// errno EBUSY when another open of the file holds it against this one: an
// exclusive holder, or for kExclusive any holder. Never waits. A mode with
// 'w' empties the file only once the lock is held. On Windows the lock is
// the share mode (others may read, none may write); on Linux an flock.
inline std::FILE* OpenLockedDiskFile(const char* path, const char* mode, DiskLock lock)
{
    return diskCalls.openLocked(path, mode, lock);
}

// Creates path as a new, empty file and opens it for binary writing; null
// (errno EEXIST) when a file of that name, in any letter case, is there
// already, so two callers never get the same file. Null on any other failure
// (errno set).
inline std::FILE* CreateNewDiskFile(const char* path) { return diskCalls.createNew(path); }

// A file replaced whole or not at all. BeginDiskReplacement opens a new,
// empty temporary for binary writing beside the file that path names (when
// path is a link, beside the file it leads to), named "~kivraPID-N.tmp".
// Begin fails (null, errno set) where the file could not be written over: a
// directory of that name (EISDIR), something that is no regular file
// (EINVAL), a file that may not be written (EACCES: read-only, as Windows
// keeps it, or EPERM: immutable), a folder that cannot be written. At most
// 16 are open at once.
//
// FinishDiskReplacement closes the temporary and ends the replacement as end
// says; anything written to it that did not reach it drops it (errno EIO).
// - kDrop: it is removed; the file stays as it was. -1 (EIO).
// - kReplace: it takes the file's place (a file that was there goes; its
//   permission bits stay with the new one). Over a file that was there, its
//   data reaches the disk first, so that a power loss leaves the old file or
//   the new one, never a file of neither; a new file's name is on the disk
//   once its folder is synced (SyncDiskVolume). 0 when it took the place.
// - kStage: it is kept, whole, in the staged set, and the file stays as it
//   was until SwitchStagedDiskFiles. 0, or -1 when it was dropped.
inline std::FILE* BeginDiskReplacement(const char* path) { return diskCalls.beginReplacement(path); }
inline int FinishDiskReplacement(std::FILE* file, DiskReplacementEnd end)
{
    return diskCalls.finishReplacement(file, end);
}

// The staged set: the files replaced together, whole or not at all.
// - SyncStagedDiskFiles: what the staged temporaries hold, and the names
//   made or switched in their folders, reach the disk: one sync for each
//   volume they lie on, however many files (on Windows each temporary was
//   flushed as it was staged). 0 or -1.
// - SwitchStagedDiskFiles: each staged temporary takes its file's place, in
//   the order staged; a file it replaces is kept, under the temporary's name,
//   until the set is dropped. Each file is at every moment wholly old or
//   wholly new. 0, or -1 (errno set) with every file it had switched put back
//   where the switch failed.
// - UndoStagedDiskFiles: every file switched is put back: the old one in its
//   place again, the new one under the temporary's name. 0, or -1 when one
//   could not be (it stays new: each file is still wholly old or new).
// - DropStagedDiskFiles: removes what the set's temporaries hold (the new
//   files when they were not switched, the old ones when they were) and
//   empties the set. 0, or -1 when one could not be removed (it is left to
//   the sweep of the next run).
// A stop by SIGINT, SIGTERM or SIGHUP removes the set's temporaries too.
inline int SyncStagedDiskFiles() { return diskCalls.syncStaged(); }
inline int SwitchStagedDiskFiles() { return diskCalls.switchStaged(); }
inline int UndoStagedDiskFiles() { return diskCalls.undoStaged(); }
inline int DropStagedDiskFiles() { return diskCalls.dropStaged(); }

// Removes, in directory ("" for the current one), every file named
// "PREFIXpid-N.tmp" ("~lzh1234-0.tmp") of a process that no longer runs:
// what killed runs left. Names of that form only, that directory only. 0, or
// -1 when the directory cannot be named.
inline int SweepDiskTemporaries(const char* directory, const char* prefix)
{
    return diskCalls.sweepTemporaries(directory, prefix);
}

// The temporary at path is removed should the process be stopped by SIGINT,
// SIGTERM or SIGHUP before it is forgotten (on Linux; Windows programs are
// not stopped that way). A replacement's temporary is watched already.
void WatchDiskTemporary(const char* path);
void ForgetDiskTemporary(const char* path);
// The same for a folder of temporary files (one at a time): the files
// directly in it, then the folder, are removed on such a stop.
void WatchDiskFolder(const char* path);
void ForgetDiskFolder();

// The stream calls of the C library (fread, fwrite, fseek, ftell, fflush,
// fclose), with their results.
inline std::size_t ReadDiskFile(void* buffer, std::size_t size, std::size_t count, std::FILE* file)
{
    return diskCalls.read(buffer, size, count, file);
}
inline std::size_t WriteDiskFile(const void* buffer, std::size_t size, std::size_t count, std::FILE* file)
{
    return diskCalls.write(buffer, size, count, file);
}
inline int SeekDiskFile(std::FILE* file, long offset, int origin) { return diskCalls.seek(file, offset, origin); }
inline long TellDiskFile(std::FILE* file) { return diskCalls.tell(file); }
inline int FlushDiskFile(std::FILE* file) { return diskCalls.flush(file); }
inline int CloseDiskFile(std::FILE* file) { return diskCalls.close(file); }

// 0 on success, -1 on failure (errno set).
inline int RemoveDiskFile(const char* path) { return diskCalls.remove(path); }

// Removes an empty directory. 0, or -1 (errno set).
inline int RemoveDiskDirectory(const char* path) { return diskCalls.removeDirectory(path); }

// 0 when what is at path may be written as Windows would let it be: a file
// written over (it is not read-only, as a file without any write permission
// is kept, nor immutable or append-only), a folder written into (new names
// made in it). -1 otherwise: errno EACCES (read-only, or no permission),
// EPERM (immutable), ENOENT (nothing there), or another.
inline int MayWriteDiskPath(const char* path) { return diskCalls.mayWrite(path); }

// Gives the file at to the permission bits of the file at from (on Windows
// its read-only attribute), so that a file written to take another's place
// allows what the other allowed. 0, or -1 (errno set).
inline int CopyDiskPermissions(const char* from, const char* to) { return diskCalls.copyPermissions(from, to); }

// Cuts the file open in file (flushed first) to length bytes. 0 or -1.
inline int TruncateDiskFile(std::FILE* file, long length) { return diskCalls.truncate(file, length); }

// --- Durability ------------------------------------------------------------
//
// What is written reaches the disk only when it is synced: a power loss or a
// system crash may lose, or tear at any 512-byte sector, what was written
// since, and keep or lose each name made, renamed or removed since its
// folder was synced. Each returns 0, or -1 (errno set) when what it was to
// make durable may not be.
// - SyncDiskFile: what was written to file (its stream flushed first),
//   with its length (fdatasync; FlushFileBuffers on Windows).
// - SyncDiskFolder: the names made, renamed and removed in directory (fsync
//   of the folder; on Windows nothing to do: a name changes there through
//   the file system's own journal).
// - SyncDiskVolume: everything written to the volume that holds directory
//   (or a file), data and names, in one call (syncfs; on Windows the volume
//   is flushed where the program may, as an administrator).
inline int SyncDiskFile(std::FILE* file) { return diskCalls.syncFile(file); }
inline int SyncDiskFolder(const char* directory) { return diskCalls.syncFolder(directory); }
inline int SyncDiskVolume(const char* directory) { return diskCalls.syncVolume(directory); }

// Moves from onto to, replacing a file that is there. 0 or -1.
inline int RenameDiskFile(const char* from, const char* to) { return diskCalls.rename(from, to); }

// Makes one directory. 0, or -1 (also when it exists already).
inline int MakeDiskDirectory(const char* path) { return diskCalls.makeDirectory(path); }

// Makes path the process's current directory, and the path the way it was
// taken to it (see above). 0 or -1.
inline int ChangeDiskDirectory(const char* path) { return diskCalls.changeDirectory(path); }

// What is at path, links followed: 0 with info filled, -1 when nothing is
// (or it cannot be looked at; errno set).
inline int StatDiskPath(const char* path, DiskPathInfo* info) { return diskCalls.stat(path, info); }

// Whether a and b are one file: the same device and inode where the
// platform tells them, else the same resolved path, letter case aside. False
// when either is not there.
bool SameDiskFile(const char* a, const char* b);

// Gives the file or directory at path (links followed) the modification
// time unixTime, seconds since 1970 (UTC), as an archiver restores it. 0, or
// -1 (errno set).
inline int SetDiskFileTime(const char* path, long long unixTime) { return diskCalls.setTime(path, unixTime); }

// The bytes the caller may still write on the volume that holds directory.
// 0, or -1 (errno set).
inline int FreeDiskSpace(const char* directory, std::uint64_t* bytes) { return diskCalls.freeSpace(directory, bytes); }
