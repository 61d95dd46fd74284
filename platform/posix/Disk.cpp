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
#include "platform/posix/FolderListings.h"
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

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool SameDirectory(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Whether path (absolute, "" the root) is real, the path getcwd gave.
bool IsRealPath(const char* path, const char* real)
{
    return std::strcmp(path, real) == 0 || (path[0] == 0 && std::strcmp(real, "/") == 0);
}

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
    // The path holds no link: it is the directory's real path.
    bool real = false;
};

CurrentDirectory current;
// How many times current has been set: a relative path means what it meant
// while the count is the same.
unsigned long moves = 0;

// What stat gave for "." in one operation that resolves several paths: they
// are resolved against the same look at the current directory.
struct Here {
    bool known = false;
    struct stat st {};
};

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
// getcwd, and read again whenever it names another directory. *folder
// receives what stat gives for it.
//
// Where the path is the directory's real path, the directory's listing
// (FolderListings.h) stands for it: while the process's directory is the
// very folder the listing was last found true of, unchanged since (its
// change time, which a rename of it changes too), the path is taken to name
// it still, and one stat does. A folder above it renamed is seen once the
// process changes the directory (its listing then finds its path leading
// elsewhere), another program changes it, or the process moves. A path
// through a link, which another program may make lead elsewhere, is looked
// at each time.
bool KnowCurrentDirectory(struct stat* folder, Here* seen)
{
    struct stat here {};
    if (seen && seen->known)
        here = seen->st;
    else if (stat(".", &here) != 0)
        return false;
    if (seen) *seen = Here{true, here};
    *folder = here;
    if (current.known && current.real && HostFolderListedAs(current.path, std::strlen(current.path), here)) return true;
    if (current.known && stat(current.path[0] ? current.path : "/", folder) == 0 && SameDirectory(here, *folder))
        return true;
    current.known = false;
    *folder = here;
    const char* pwd = std::getenv("PWD");
    struct stat there {};
    char real[kHostPathMax];
    const bool realKnown = getcwd(real, sizeof real) != nullptr;
    if (!(pwd && stat(pwd, &there) == 0 && SameDirectory(here, there) && TakePlainPath(pwd))) {
        if (!realKnown) return false;
        if (!TakePlainPath(real)) {
            errno = ENAMETOOLONG;
            return false;
        }
    }
    current.floor = 0;
    current.known = true;
    current.real = realKnown && IsRealPath(current.path, real);
    ++moves;
    return true;
}

// Starts out with the host directory of a drive's root: the prefix's
// dosdevices/ entry for it ("c:", which Wine makes a link to ../drive_c).
// False, errno ENOENT, when the prefix has no such drive.
bool StartAtDrive(char letter, char* out, std::size_t outSize, std::size_t* used, struct stat* root)
{
    const std::string prefix = WinePrefix();
    if (prefix.empty()) {
        errno = ENOENT;
        return false;
    }
    if (prefix[0] != '/') {
        struct stat folder {};
        if (!KnowCurrentDirectory(&folder, nullptr) ||
            !Append(out, outSize, used, current.path, std::strlen(current.path)) || !Append(out, outSize, used, "/", 1))
            return false;
    }
    const char drive[] = {static_cast<char>(letter | 0x20), ':', 0};
    if (!Append(out, outSize, used, prefix.c_str(), prefix.size()) || !Append(out, outSize, used, "/dosdevices/", 12) ||
        !Append(out, outSize, used, drive, 2))
        return false;
    // Not in Wine's lower case: looked for under another.
    if (stat(out, root) != 0 &&
        (FindHostName(out, *used - 3, 2, nullptr) != HostName::kFolded || stat(out, root) != 0)) {
        errno = ENOENT;
        return false;
    }
    if (!S_ISDIR(root->st_mode)) {
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
// would not take away; *start, for a drive or the current directory, what
// stat gives for the folder out names then.
bool StartPath(const char*& p, char* out, std::size_t outSize, std::size_t* used, std::size_t* floor,
               struct stat* start, bool* startKnown, Here* seen)
{
    *startKnown = false;
    if (ascii::IsLetter(p[0]) && p[1] == ':') {
        if (!StartAtDrive(p[0], out, outSize, used, start)) return false;
        *startKnown = true;
        *floor = *used;
        p += 2;
    } else if (IsSeparator(*p)) {
        *floor = 0;
    } else {
        if (!KnowCurrentDirectory(start, seen) || !Append(out, outSize, used, current.path, std::strlen(current.path)))
            return false;
        *startKnown = true;
        *floor = current.floor < *used ? current.floor : *used;
    }
    return true;
}

constexpr std::size_t kAllMatched = static_cast<std::size_t>(-1);

// Appends the name (length bytes at name) to out under the letter case the
// disk has it in. Past the first name that matches nothing (*unmatchedAt),
// names are kept as written: the file may be about to be made; *absent
// tells whether that name was known to be in no letter case in its folder.
// folderNow, when not null, is what stat gave for the folder out names.
bool AppendName(const char* name, std::size_t length, char* out, std::size_t outSize, std::size_t* used,
                std::size_t* unmatchedAt, bool* absent, const struct stat* folderNow)
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
    if (*unmatchedAt != kAllMatched) return true;
    const HostName found = FindHostName(out, before, length, folderNow);
    if (found == HostName::kNone || found == HostName::kUnknown) {
        *unmatchedAt = before;
        *absent = found == HostName::kNone;
    }
    return true;
}

// Resolves path (code page 949) into the host path out; *floor receives how
// much of it ".." would not take away, and *absent, when given, whether the
// path is known to name nothing (a name in it is in no letter case in its
// folder). seen, when given, is the look at the current directory that
// paths resolved before in the same operation took.
bool Resolve(const char* path, char* out, std::size_t outSize, std::size_t* floor, bool* absent = nullptr,
             Here* seen = nullptr)
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
    struct stat start {};
    bool startKnown = false;
    if (!StartPath(p, out, outSize, &used, floor, &start, &startKnown, seen)) return false;
    // The folder the path starts in was looked at just now.
    std::size_t startLength = startKnown ? used : kAllMatched;
    std::size_t unmatchedAt = kAllMatched;
    bool unmatchedAbsent = false;
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
            if (used < startLength) startLength = kAllMatched;
        } else {
            if (!AppendName(p, length, out, outSize, &used, &unmatchedAt, &unmatchedAbsent,
                            used == startLength ? &start : nullptr))
                return false;
            trailingSeparator = *end != 0;
        }
        p = end;
    }
    if (trailingSeparator && !Append(out, outSize, &used, "/", 1)) return false;
    if (used == 0 && !Append(out, outSize, &used, "/", 1)) return false;
    if (absent) *absent = unmatchedAt != kAllMatched && unmatchedAbsent;
    return true;
}

}  // namespace

namespace {

// A disk path and the host path it was resolved to while the process was in
// the same directory (the same count of moves): the file the process made
// last, and the temporary it watches last, are told by the path again
// without resolving it.
struct Named {
    bool known = false;
    unsigned long moves = 0;
    char path[kHostPathMax] = {};
    char host[kHostPathMax] = {};
};
Named made;
Named watched;

void Remember(Named& named, const char* path, const char* host)
{
    const std::size_t length = std::strlen(path);
    named.known = length < sizeof named.path;
    if (!named.known) return;
    std::memcpy(named.path, path, length + 1);
    std::snprintf(named.host, sizeof named.host, "%s", host);
    named.moves = moves;
}

bool Recalled(const Named& named, const char* path)
{
    return named.known && named.moves == moves && std::strcmp(named.path, path) == 0;
}

}  // namespace

void WatchDiskTemporary(const char* path)
{
    char host[kHostPathMax];
    if (Recalled(made, path))
        std::memcpy(host, made.host, sizeof host);
    else if (!ResolveDiskPath(path, host, sizeof host))
        return;
    WatchHostTemporary(host);
    Remember(watched, path, host);
}

void ForgetDiskTemporary(const char* path)
{
    char host[kHostPathMax];
    if (Recalled(watched, path)) {
        ForgetHostTemporary(watched.host);
        watched.known = false;
    } else if (ResolveDiskPath(path, host, sizeof host)) {
        ForgetHostTemporary(host);
    }
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
    dev_t device;
    char buffer[4096];
};
Replacement replacements[16];
unsigned replacementCounter = 0;

// The host path of the file that path names, through a link to it, and
// whether something is there (*st what stat gives for it).
bool ReplacedFile(const char* path, char* target, std::size_t size, struct stat* st, bool* exists)
{
    std::size_t floor = 0;
    bool absent = false;
    *exists = false;
    if (!Resolve(path, target, size, &floor, &absent)) return false;
    if (absent || lstat(target, st) != 0) return true;
    if (!S_ISLNK(st->st_mode)) {
        *exists = true;
        return true;
    }
    char real[PATH_MAX];
    // A link to nothing is replaced itself.
    if (!realpath(target, real)) return true;
    if (std::strlen(real) + 1 > size) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::strcpy(target, real);
    *exists = stat(target, st) == 0;
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
    struct stat st {};
    bool exists = false;
    if (!ReplacedFile(path, free->target, sizeof free->target, &st, &exists)) return nullptr;
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
    std::FILE* file = nullptr;
    for (int attempt = 0; attempt < 10000 && !file; ++attempt) {
        if (!MakeTemporaryName(free->temporary, sizeof free->temporary, free->target,
                               static_cast<std::size_t>(directoryLength), "~kivra",
                               static_cast<unsigned long>(getpid()), replacementCounter++)) {
            errno = ENAMETOOLONG;
            return nullptr;
        }
        // Made only where nothing is, and not inherited by the programs
        // this one starts.
        file = std::fopen(free->temporary, "wbxe");
        if (!file && errno != EEXIST) return nullptr;
    }
    if (!file) return nullptr;
    NoteHostNameMade(free->temporary);
    if (exists) fchmod(fileno(file), st.st_mode & 07777);
    // The volume the staged set syncs it on. The stream's buffer is the
    // replacement's own, so the C library does not look at the file again.
    struct stat made {};
    free->device = fstat(fileno(file), &made) == 0 ? made.st_dev : 0;
    std::setvbuf(file, free->buffer, _IOFBF, sizeof free->buffer);
    free->file = file;
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
        if (whole && end == DiskReplacementEnd::kReplace) {
            kept = std::rename(r.temporary, r.target) == 0;
            if (kept) NoteHostNameMoved(r.temporary, r.target);
        }
        if (whole && end == DiskReplacementEnd::kStage) kept = StageHostReplacement(r.temporary, r.target, r.device);
        const int error = errno;
        // The staged set watches it now, or it is gone.
        if (!kept && unlink(r.temporary) == 0) NoteHostNameGone(r.temporary);
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
    std::FILE* file = std::fopen(host, mode);
    // Any mode but reading makes the file when it is not there.
    if (file && mode[0] != 'r') NoteHostNameMade(host);
    return file;
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
    if (flags & O_CREAT) NoteHostNameMade(host);
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
    // Made only when nothing is there, and not inherited by the programs
    // this one starts.
    std::FILE* file = std::fopen(host, "wbxe");
    if (!file) return nullptr;
    NoteHostNameMade(host);
    Remember(made, path, host);
    return file;
}

int RemoveFile(const char* path)
{
    char host[kHostPathMax];
    if (!ResolveDiskPath(path, host, sizeof host) || unlink(host) != 0) return -1;
    NoteHostNameGone(host);
    return 0;
}

int RenameFile(const char* from, const char* to)
{
    char hostFrom[kHostPathMax];
    char hostTo[kHostPathMax];
    std::size_t floor = 0;
    Here seen;
    if (!Resolve(from, hostFrom, sizeof hostFrom, &floor, nullptr, &seen) ||
        !Resolve(to, hostTo, sizeof hostTo, &floor, nullptr, &seen) || std::rename(hostFrom, hostTo) != 0)
        return -1;
    NoteHostNameMoved(hostFrom, hostTo);
    return 0;
}

int MakeDirectory(const char* path)
{
    char host[kHostPathMax];
    if (!ResolveDiskPath(path, host, sizeof host) || mkdir(host, 0777) != 0) return -1;
    NoteHostNameMade(host);
    return 0;
}

int RemoveFolder(const char* path)
{
    char host[kHostPathMax];
    if (!ResolveDiskPath(path, host, sizeof host) || rmdir(host) != 0) return -1;
    NoteHostNameGone(host);
    return 0;
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
    // By its whole path: the current directory may be another at the next
    // sweep.
    if (!ResolveDiskPath(directory[0] ? directory : ".", host, sizeof host)) return -1;
    SweepHostTemporaries(host, prefix);
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
    char real[kHostPathMax];
    current.real = getcwd(real, sizeof real) && IsRealPath(current.path, real);
    ++moves;
    return 0;
}

int StatPath(const char* path, DiskPathInfo* info)
{
    char host[kHostPathMax];
    std::size_t floor = 0;
    bool absent = false;
    struct stat st {};
    if (!Resolve(path, host, sizeof host, &floor, &absent)) return -1;
    if (absent) {
        errno = ENOENT;
        return -1;
    }
    if (lstat(host, &st) != 0) return -1;
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
