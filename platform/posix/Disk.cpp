// Disk paths and disk operations on Linux (platform/Disk.h, through DiskHost.h).
//
// Windows-style paths resolved on a case-sensitive UTF-8 file system, and
// the table entries of platform/DiskHost.h on them.
#include "platform/Disk.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <string>
#include <string_view>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "platform/AsciiCase.h"
#include "platform/DiskHost.h"
#include "platform/TemporaryName.h"
#include "platform/posix/CodePage.h"
#include "platform/posix/StagedFiles.h"
#include "platform/posix/Temporaries.h"
#include "platform/posix/WinePrefix.h"

// The temporaries of replacements are watched by their host paths.
static_assert(kHostPathMax <= PATH_MAX, "a host path fits platform/posix/Temporaries.h");

namespace {

// Appends text (length bytes) to out at *used; false when it does not fit.
bool Append(char* out, std::size_t outSize, std::size_t* used, const char* text, std::size_t length)
{
    if (*used + length + 1 > outSize) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(out + *used, text, length);
    *used += length;
    out[*used] = 0;
    return true;
}

// Looks in directory dir ("" for the root) for an entry whose name equals
// the component ignoring case; copies its real name into found.
bool FindFolded(const char* dir, const char* component, std::size_t length, char* found, std::size_t foundSize)
{
    DIR* d = opendir(dir[0] ? dir : "/");
    if (!d) return false;
    bool ok = false;
    while (dirent* e = readdir(d)) {
        if (ascii::EqualIgnoringCase(std::string_view(e->d_name), std::string_view(component, length)) &&
            length < foundSize) {
            std::memcpy(found, e->d_name, length + 1);
            ok = true;
            break;
        }
    }
    closedir(d);
    return ok;
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool SameDirectory(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// The current directory as Windows keeps it: the path the walk took, so that
// ".." out of a linked folder leads back to where the walk came from, not to
// the parent of the link's target. The process's own current directory is
// kept on the same directory, so a host path relative to it means the same;
// when the path no longer names that directory (something else moved the
// process, or the folder went away), the path is read again.
struct CurrentDirectory {
    // Absolute, components joined by single slashes, no trailing slash: ""
    // is the root.
    char path[kHostPathMax] = {};
    // ".." does not cut the path shorter than this: the root of the drive
    // it was entered by, 0 for the host's root.
    std::size_t floor = 0;
    bool known = false;
};

CurrentDirectory current;

// Takes a host path that is absolute, without "." and "..", as the current
// directory's path; false when it is not such a path or too long.
bool TakePlainPath(const char* path)
{
    if (path[0] != '/') return false;
    char plain[kHostPathMax];
    std::size_t used = 0;
    for (const char* p = path; *p;) {
        while (*p == '/') ++p;
        if (!*p) break;
        const char* end = std::strchr(p, '/');
        if (!end) end = p + std::strlen(p);
        const std::size_t length = static_cast<std::size_t>(end - p);
        if ((length == 1 && p[0] == '.') || (length == 2 && p[0] == '.' && p[1] == '.')) return false;
        if (!Append(plain, sizeof plain, &used, "/", 1) || !Append(plain, sizeof plain, &used, p, length)) return false;
        p = end;
    }
    std::memcpy(current.path, plain, used);
    current.path[used] = 0;
    return true;
}

// Makes sure current names the process's current directory: read at first
// use from $PWD when that names it (the path the shell took), else from
// getcwd, and read again whenever it names another directory.
bool KnowCurrentDirectory()
{
    struct stat here {};
    if (stat(".", &here) != 0) return false;
    struct stat named {};
    if (current.known && stat(current.path[0] ? current.path : "/", &named) == 0 && SameDirectory(here, named))
        return true;
    current.known = false;
    const char* pwd = std::getenv("PWD");
    struct stat there {};
    if (!(pwd && stat(pwd, &there) == 0 && SameDirectory(here, there) && TakePlainPath(pwd))) {
        char real[kHostPathMax];
        if (!getcwd(real, sizeof real)) return false;
        if (!TakePlainPath(real)) {
            errno = ENAMETOOLONG;
            return false;
        }
    }
    current.floor = 0;
    current.known = true;
    return true;
}

// Starts out with the host directory of a drive's root: the prefix's
// dosdevices/ entry for it ("c:", which Wine makes a link to ../drive_c).
// False, errno ENOENT, when the prefix has no such drive.
bool StartAtDrive(char letter, char* out, std::size_t outSize, std::size_t* used)
{
    const std::string prefix = WinePrefix();
    if (prefix.empty()) {
        errno = ENOENT;
        return false;
    }
    if (prefix[0] != '/') {
        if (!KnowCurrentDirectory() || !Append(out, outSize, used, current.path, std::strlen(current.path)) ||
            !Append(out, outSize, used, "/", 1))
            return false;
    }
    const char drive[] = {static_cast<char>(letter | 0x20), ':', 0};
    if (!Append(out, outSize, used, prefix.c_str(), prefix.size()) || !Append(out, outSize, used, "/dosdevices/", 12) ||
        !Append(out, outSize, used, drive, 2))
        return false;
    struct stat st {};
    if (stat(out, &st) != 0) {
        // Not in Wine's lower case: look for it under another.
        char found[256];
        out[*used - 2] = 0;
        if (!FindFolded(out, drive, 2, found, sizeof found)) {
            errno = ENOENT;
            return false;
        }
        std::memcpy(out + *used - 2, found, 3);
        if (stat(out, &st) != 0) {
            errno = ENOENT;
            return false;
        }
    }
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOENT;
        return false;
    }
    return true;
}

// Drops the last component of out, never going below floor.
void DropLastComponent(char* out, std::size_t* used, std::size_t floor)
{
    std::size_t at = *used;
    while (at > floor && out[at - 1] != '/') --at;
    if (at > floor) --at;
    *used = at;
    out[at] = 0;
}

// Starts out where the host text p starts from: a drive, the root or the
// current directory; p passes the drive. *floor receives how much of out ".."
// would not take away.
bool StartPath(const char*& p, char* out, std::size_t outSize, std::size_t* used, std::size_t* floor)
{
    if (ascii::IsLetter(p[0]) && p[1] == ':') {
        if (!StartAtDrive(p[0], out, outSize, used)) return false;
        *floor = *used;
        p += 2;
    } else if (IsSeparator(*p)) {
        *floor = 0;
    } else {
        if (!KnowCurrentDirectory() || !Append(out, outSize, used, current.path, std::strlen(current.path)))
            return false;
        *floor = current.floor < *used ? current.floor : *used;
    }
    return true;
}

constexpr std::size_t kAllMatched = static_cast<std::size_t>(-1);

// Appends the name (length bytes at name) to out under the letter case the
// disk has it in. Past the first name that matches nothing (*unmatchedAt),
// names are kept as written: the file may be about to be made.
bool AppendName(const char* name, std::size_t length, char* out, std::size_t outSize, std::size_t* used,
                std::size_t* unmatchedAt)
{
    // Wildcards are no part of a Windows name: they stand for characters a
    // host name had and the code page has not.
    for (const char* c = name; c != name + length; ++c)
        if (*c == '?' || *c == '*') {
            errno = ENOENT;
            return false;
        }
    const std::size_t before = *used;
    if (!Append(out, outSize, used, "/", 1) || !Append(out, outSize, used, name, length)) return false;
    struct stat st {};
    if (*unmatchedAt == kAllMatched && lstat(out, &st) != 0) {
        // Not there as written: look for it under another letter case.
        char found[256];
        out[before] = 0;
        if (length < sizeof found && FindFolded(out, name, length, found, sizeof found)) {
            out[before] = '/';
            std::memcpy(out + before + 1, found, length + 1);
        } else {
            out[before] = '/';
            *unmatchedAt = before;
        }
    }
    return true;
}

// Resolves path (code page 949) into the host path out; *floor receives how
// much of it ".." would not take away.
bool Resolve(const char* path, char* out, std::size_t outSize, std::size_t* floor)
{
    if (outSize == 0) {
        errno = ENAMETOOLONG;
        return false;
    }
    out[0] = 0;
    // The path in the host's encoding: bytes that are no text of the code
    // page name nothing.
    char text[kHostPathMax];
    if (!codepage::ConvertInto(codepage::Direction::kToUtf8, path, text, sizeof text)) {
        if (errno == EILSEQ) errno = ENOENT;
        return false;
    }
    if (text[0] == 0) {
        errno = ENOENT;
        return false;
    }

    std::size_t used = 0;
    const char* p = text;
    if (!StartPath(p, out, outSize, &used, floor)) return false;
    std::size_t unmatchedAt = kAllMatched;
    bool trailingSeparator = false;
    while (*p) {
        while (IsSeparator(*p)) ++p;
        if (!*p) break;
        const char* end = p;
        while (*end && !IsSeparator(*end)) ++end;
        const std::size_t length = static_cast<std::size_t>(end - p);
        trailingSeparator = false;
        if (length == 1 && p[0] == '.') {
            // This directory.
        } else if (length == 2 && p[0] == '.' && p[1] == '.') {
            // The parent of the path so far, as written: a linked folder is
            // left to where it was entered from. Back over the first name
            // that matched nothing, names are looked for again.
            DropLastComponent(out, &used, *floor);
            if (used <= unmatchedAt) unmatchedAt = kAllMatched;
        } else {
            if (!AppendName(p, length, out, outSize, &used, &unmatchedAt)) return false;
            trailingSeparator = *end != 0;
        }
        p = end;
    }
    if (trailingSeparator && !Append(out, outSize, &used, "/", 1)) return false;
    if (used == 0 && !Append(out, outSize, &used, "/", 1)) return false;
    return true;
}

}  // namespace

void WatchDiskTemporary(const char* path)
{
    char host[kHostPathMax];
    if (ResolveDiskPath(path, host, sizeof host)) WatchHostTemporary(host);
}

void ForgetDiskTemporary(const char* path)
{
    char host[kHostPathMax];
    if (ResolveDiskPath(path, host, sizeof host)) ForgetHostTemporary(host);
}

void WatchDiskFolder(const char* path)
{
    char host[kHostPathMax];
    if (ResolveDiskPath(path, host, sizeof host)) WatchHostFolder(host);
}

void ForgetDiskFolder() { WatchHostFolder(nullptr); }

bool ResolveDiskPath(const char* path, char* out, std::size_t outSize)
{
    std::size_t floor = 0;
    return Resolve(path, out, outSize, &floor);
}

namespace {

// The replacements open now: each temporary with the file it is to replace.
struct Replacement {
    std::FILE* file;
    char temporary[kHostPathMax];
    char target[kHostPathMax];
};
Replacement replacements[16];
unsigned replacementCounter = 0;

// The host path of the file that path names, through a link to it.
bool ReplacedFile(const char* path, char* target, std::size_t size)
{
    if (!ResolveDiskPath(path, target, size)) return false;
    struct stat st {};
    if (lstat(target, &st) != 0 || !S_ISLNK(st.st_mode)) return true;
    char real[PATH_MAX];
    // A link to nothing is replaced itself.
    if (!realpath(target, real)) return true;
    if (std::strlen(real) + 1 > size) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::strcpy(target, real);
    return true;
}

// Whether the file or folder at the host path host may be written as
// Windows lets it be: not read-only (a file without any write permission is
// read-only, as Wine keeps it, even for root), not immutable or
// append-only. 0, or -1 with errno set.
int MayWriteHost(const char* host, const struct stat& st)
{
    if (S_ISDIR(st.st_mode)) {
        if (access(host, W_OK | X_OK) != 0) return -1;
    } else if ((st.st_mode & 0222) == 0 || access(host, W_OK) != 0) {
        errno = EACCES;
        return -1;
    }
    if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) return 0;
    const int fd = open(host, O_RDONLY | O_NONBLOCK | O_CLOEXEC | (S_ISDIR(st.st_mode) ? O_DIRECTORY : 0));
    if (fd < 0) return 0;  // what cannot be opened to ask is not known to be immutable
    int flags = 0;
    const bool asked = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    close(fd);
    if (asked && (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL))) {
        errno = EPERM;
        return -1;
    }
    return 0;
}

// Opens the folder at the disk path directory ("" for the current one) to
// sync it, or without folderOnly whatever is there (a file names its
// volume too); -1 when it cannot be.
int OpenFolder(const char* directory, bool folderOnly = true)
{
    char host[kHostPathMax];
    if (directory[0] && !ResolveDiskPath(directory, host, sizeof host)) return -1;
    return open(directory[0] ? host : ".", O_RDONLY | O_NONBLOCK | O_CLOEXEC | (folderOnly ? O_DIRECTORY : 0));
}

// Whether what is at host is a regular file, or nothing: opening a pipe
// would wait for a writer, a device give what it gives. False with errno
// EISDIR or ENODEV.
bool RegularOrMissing(const char* host)
{
    struct stat st {};
    if (stat(host, &st) != 0 || S_ISREG(st.st_mode)) return true;
    errno = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
    return false;
}

}  // namespace

namespace host {

std::FILE* BeginReplacement(const char* path)
{
    Replacement* free = nullptr;
    for (Replacement& r : replacements)
        if (!r.file && !free) free = &r;
    if (!free) {
        errno = EMFILE;
        return nullptr;
    }
    if (!ReplacedFile(path, free->target, sizeof free->target)) return nullptr;
    struct stat st {};
    const bool exists = stat(free->target, &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return nullptr;
    }
    // Only a file can be replaced whole: a device or a pipe is left alone.
    if (exists && !S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return nullptr;
    }
    // Windows does not write over a file that may not be written.
    if (exists && MayWriteHost(free->target, st) != 0) return nullptr;
    const char* slash = std::strrchr(free->target, '/');
    const int directoryLength = slash ? static_cast<int>(slash - free->target + 1) : 0;
    char directory[kHostPathMax];
    std::snprintf(directory, sizeof directory, "%.*s", directoryLength, free->target);
    SweepHostTemporaries(directory, "~kivra");
    int fd = -1;
    for (int attempt = 0; attempt < 10000 && fd < 0; ++attempt) {
        if (!MakeTemporaryName(free->temporary, sizeof free->temporary, free->target,
                               static_cast<std::size_t>(directoryLength), "~kivra",
                               static_cast<unsigned long>(getpid()), replacementCounter++)) {
            errno = ENAMETOOLONG;
            return nullptr;
        }
        fd = open(free->temporary, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return nullptr;
    }
    if (fd < 0) return nullptr;
    if (exists) fchmod(fd, st.st_mode & 07777);
    free->file = fdopen(fd, "wb");
    if (!free->file) {
        const int error = errno;
        close(fd);
        unlink(free->temporary);
        errno = error;
        return nullptr;
    }
    WatchHostTemporary(free->temporary);
    return free->file;
}

int FinishReplacement(std::FILE* file, DiskReplacementEnd end)
{
    for (Replacement& r : replacements) {
        if (!file || r.file != file) continue;
        r.file = nullptr;
        bool written = std::fflush(file) == 0 && !std::ferror(file);
        struct stat st {};
        // Over a file that is there, the data is on the disk before the name
        // is: a power loss then leaves the old file or the new one.
        if (written && end == DiskReplacementEnd::kReplace && lstat(r.target, &st) == 0)
            written = fdatasync(fileno(file)) == 0;
        const bool closed = std::fclose(file) == 0;
        const bool whole = written && closed;
        bool kept = false;
        if (whole && end == DiskReplacementEnd::kReplace) kept = std::rename(r.temporary, r.target) == 0;
        if (whole && end == DiskReplacementEnd::kStage) kept = StageHostReplacement(r.temporary, r.target);
        const int error = errno;
        // The staged set watches it now, or it is gone.
        if (!kept) unlink(r.temporary);
        ForgetHostTemporary(r.temporary);
        if (kept) return 0;
        errno = end != DiskReplacementEnd::kDrop && whole ? error : EIO;
        return -1;
    }
    errno = EINVAL;
    return -1;
}

std::FILE* OpenFile(const char* path, const char* mode)
{
    if (!IsPortableFileMode(mode)) {
        errno = EINVAL;
        return nullptr;
    }
    char host[kHostPathMax];
    if (!ResolveDiskPath(path, host, sizeof host) || !RegularOrMissing(host)) return nullptr;
    return std::fopen(host, mode);
}

std::FILE* OpenLockedFile(const char* path, const char* mode, DiskLock lock)
{
    if (!IsPortableFileMode(mode)) {
        errno = EINVAL;
        return nullptr;
    }
    char host[kHostPathMax];
    if (!ResolveDiskPath(path, host, sizeof host) || !RegularOrMissing(host)) return nullptr;
    const bool update = std::strchr(mode, '+') != nullptr;
    int flags = update ? O_RDWR : mode[0] == 'r' ? O_RDONLY : O_WRONLY;
    if (mode[0] != 'r') flags |= O_CREAT;
    if (mode[0] == 'a') flags |= O_APPEND;
    // Not inherited by the programs this one starts: they would hold the
    // lock after it is closed here.
    const int fd = open(host, flags | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    // The lock is on the open file, so a second open in this same process
    // is held off as another program's is. The file is emptied only once
    // it is held.
    if (flock(fd, (lock == DiskLock::kExclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0 ||
        (mode[0] == 'w' && ftruncate(fd, 0) != 0)) {
        const int error = errno == EWOULDBLOCK ? EBUSY : errno;
        close(fd);
        errno = error;
        return nullptr;
    }
    std::FILE* file = fdopen(fd, mode);
    if (!file) {
        const int error = errno;
        close(fd);
        errno = error;
    }
    return file;
}

std::FILE* CreateNewFile(const char* path)
{
    char host[kHostPathMax];
    if (!ResolveDiskPath(path, host, sizeof host)) return nullptr;
    const int fd = open(host, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    std::FILE* file = fdopen(fd, "wb");
    if (!file) {
        const int error = errno;
        close(fd);
        unlink(host);
        errno = error;
    }
    return file;
}

int RemoveFile(const char* path)
{
    char host[kHostPathMax];
    if (!ResolveDiskPath(path, host, sizeof host)) return -1;
    return unlink(host) == 0 ? 0 : -1;
}

int RenameFile(const char* from, const char* to)
{
    char hostFrom[kHostPathMax];
    char hostTo[kHostPathMax];
    if (!ResolveDiskPath(from, hostFrom, sizeof hostFrom) || !ResolveDiskPath(to, hostTo, sizeof hostTo)) return -1;
    return std::rename(hostFrom, hostTo) == 0 ? 0 : -1;
}

int MakeDirectory(const char* path)
{
    char host[kHostPathMax];
    if (!ResolveDiskPath(path, host, sizeof host)) return -1;
    return mkdir(host, 0777) == 0 ? 0 : -1;
}

int RemoveFolder(const char* path)
{
    char host[kHostPathMax];
    if (!ResolveDiskPath(path, host, sizeof host)) return -1;
    return rmdir(host) == 0 ? 0 : -1;
}

int MayWrite(const char* path)
{
    char host[kHostPathMax];
    struct stat st {};
    if (!ResolveDiskPath(path, host, sizeof host) || stat(host, &st) != 0) return -1;
    return MayWriteHost(host, st);
}

int Truncate(std::FILE* file, long length)
{
    if (std::fflush(file) != 0) return -1;
    return ftruncate(fileno(file), static_cast<off_t>(length)) == 0 ? 0 : -1;
}

int SyncFile(std::FILE* file)
{
    if (std::fflush(file) != 0) return -1;
    return fdatasync(fileno(file)) == 0 ? 0 : -1;
}

int SyncFolder(const char* directory)
{
    const int fd = OpenFolder(directory);
    if (fd < 0) return -1;
    const bool synced = fsync(fd) == 0;
    close(fd);
    return synced ? 0 : -1;
}

int SyncVolume(const char* directory)
{
    const int fd = OpenFolder(directory, false);
    if (fd < 0) return -1;
    const bool synced = syncfs(fd) == 0;
    close(fd);
    return synced ? 0 : -1;
}

int SweepTemporaries(const char* directory, const char* prefix)
{
    char host[kHostPathMax];
    if (directory[0] && !ResolveDiskPath(directory, host, sizeof host)) return -1;
    SweepHostTemporaries(directory[0] ? host : "", prefix);
    return 0;
}

int SetTime(const char* path, long long unixTime)
{
    char host[kHostPathMax];
    if (!ResolveDiskPath(path, host, sizeof host)) return -1;
    const struct timespec times[2] = {{static_cast<time_t>(unixTime), 0}, {static_cast<time_t>(unixTime), 0}};
    return utimensat(AT_FDCWD, host, times, 0) == 0 ? 0 : -1;
}

int ChangeDirectory(const char* path)
{
    char host[kHostPathMax];
    std::size_t floor = 0;
    if (!Resolve(path, host, sizeof host, &floor) || chdir(host) != 0) return -1;
    // The process is in the directory now: keep the path it took there.
    std::size_t length = std::strlen(host);
    while (length > 0 && host[length - 1] == '/') --length;
    std::memcpy(current.path, host, length);
    current.path[length] = 0;
    current.floor = floor < length ? floor : length;
    current.known = true;
    return 0;
}

int StatPath(const char* path, DiskPathInfo* info)
{
    char host[kHostPathMax];
    struct stat st {};
    if (!ResolveDiskPath(path, host, sizeof host) || lstat(host, &st) != 0) return -1;
    info->link = S_ISLNK(st.st_mode);
    if (info->link && stat(host, &st) != 0) return -1;
    info->directory = S_ISDIR(st.st_mode);
    info->file = S_ISREG(st.st_mode);
    info->size = info->directory ? 0 : static_cast<std::uint64_t>(st.st_size);
    info->device = static_cast<std::uint64_t>(st.st_dev);
    info->inode = static_cast<std::uint64_t>(st.st_ino);
    return 0;
}

int FreeSpace(const char* directory, std::uint64_t* bytes)
{
    char host[kHostPathMax];
    struct statvfs fs {};
    if (!ResolveDiskPath(directory, host, sizeof host) || statvfs(host, &fs) != 0) return -1;
    *bytes = static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize;
    return 0;
}

}  // namespace host
