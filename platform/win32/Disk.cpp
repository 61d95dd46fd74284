// Disk paths on Windows are the system's own: nothing to resolve.
#include "platform/Disk.h"

#include <share.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <string>
#include <vector>

#include "platform/DiskHost.h"
#include "platform/TemporaryName.h"

bool ResolveDiskPath(const char* path, char* out, std::size_t outSize)
{
    if (path[0] == 0) {
        errno = ENOENT;
        return false;
    }
    // The system's own full path, so that two names of one file compare
    // alike wherever the process stands.
    const DWORD length = GetFullPathNameA(path, static_cast<DWORD>(outSize), out, nullptr);
    if (length == 0 || length >= outSize) {
        errno = length == 0 ? ENOENT : ENAMETOOLONG;
        return false;
    }
    return true;
}

namespace {

// The replacements open now: each temporary with the file it is to replace.
struct Replacement {
    std::FILE* file;
    char temporary[MAX_PATH + 32];
    char target[MAX_PATH];
};
Replacement replacements[16];
unsigned replacementCounter = 0;

// The staged set: each temporary, flushed to the disk when staged, and the
// file it is to replace. A switched file that was there is kept under a
// second name (a hard link made before the switch) until the set is
// dropped, so that the switch can be undone; where no link can be made (a
// FAT volume), the file is replaced without one.
struct Staged {
    std::string temporary;
    std::string target;
    std::string backup;  // the old file's second name, "" when none
    bool switched = false;
    bool existed = false;
};
std::vector<Staged> staged;

// A name for a second link beside path, as a temporary's.
std::string BackupName(const std::string& path)
{
    std::size_t cut = path.find_last_of("\\/:");
    cut = cut == std::string::npos ? 0 : cut + 1;
    char name[MAX_PATH + 32];
    if (!MakeTemporaryName(name, sizeof name, path.c_str(), cut, "~kivra", GetCurrentProcessId(), replacementCounter++))
        return std::string();
    return name;
}

constexpr DWORD kReplaceDurably = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;

// Puts a switched file back: the old one in its place from its second
// name, or a new one under its temporary's name. False when it cannot be.
bool PutBack(Staged& e)
{
    if (!e.switched) return true;
    if (e.existed) {
        if (e.backup.empty() || !MoveFileExA(e.backup.c_str(), e.target.c_str(), kReplaceDurably)) return false;
        e.backup.clear();
    } else if (!MoveFileExA(e.target.c_str(), e.temporary.c_str(), MOVEFILE_WRITE_THROUGH)) {
        return false;
    }
    e.switched = false;
    return true;
}

// Whether name is "PREFIXpid-N.tmp" of a process that no longer runs.
bool IsStaleTemporary(const char* name, const char* prefix)
{
    const unsigned long pid = TemporaryNameProcess(name, prefix);
    if (pid == 0 || pid == GetCurrentProcessId()) return false;
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!process) return GetLastError() == ERROR_INVALID_PARAMETER;
    const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

// Removes what killed runs left in directory (ending in a separator, or ""),
// each directory once in a row for a prefix.
void RemoveStaleTemporaries(const char* directory, const char* prefix)
{
    static char swept[MAX_PATH + 16];
    char key[MAX_PATH + 16];
    char pattern[MAX_PATH + 32];
    std::snprintf(key, sizeof key, "%s\n%s", prefix, directory);
    if (std::strcmp(key, swept) == 0) return;
    std::strcpy(swept, key);
    std::snprintf(pattern, sizeof pattern, "%s%s*.tmp", directory, prefix);
    WIN32_FIND_DATAA found{};
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        char stale[MAX_PATH + 32];
        if (!IsStaleTemporary(found.cFileName, prefix)) continue;
        std::snprintf(stale, sizeof stale, "%s%s", directory, found.cFileName);
        DeleteFileA(stale);
    } while (FindNextFileA(search, &found));
    FindClose(search);
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
    if (std::strlen(path) + 1 > sizeof free->target) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    std::strcpy(free->target, path);
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        errno = EISDIR;
        return nullptr;
    }
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
        errno = EACCES;
        return nullptr;
    }
    const char* cut = nullptr;
    for (const char* p = path; *p; ++p)
        if (*p == '\\' || *p == '/' || *p == ':') cut = p;
    const int directoryLength = cut ? static_cast<int>(cut - path + 1) : 0;
    char directory[MAX_PATH];
    std::snprintf(directory, sizeof directory, "%.*s", directoryLength, path);
    RemoveStaleTemporaries(directory, "~kivra");
    int fd = -1;
    for (int attempt = 0; attempt < 10000 && fd < 0; ++attempt) {
        if (!MakeTemporaryName(free->temporary, sizeof free->temporary, path, static_cast<std::size_t>(directoryLength),
                               "~kivra", GetCurrentProcessId(), replacementCounter++)) {
            errno = ENAMETOOLONG;
            return nullptr;
        }
        fd = _open(free->temporary, _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (fd < 0 && errno != EEXIST) return nullptr;
    }
    if (fd < 0) return nullptr;
    free->file = _fdopen(fd, "wb");
    if (!free->file) {
        const int error = errno;
        _close(fd);
        std::remove(free->temporary);
        errno = error;
    }
    return free->file;
}

int FinishReplacement(std::FILE* file, DiskReplacementEnd end)
{
    for (Replacement& r : replacements) {
        if (!file || r.file != file) continue;
        r.file = nullptr;
        bool written = std::fflush(file) == 0 && !std::ferror(file);
        // A staged file, and one that replaces a file, is on the disk before
        // any name leads to it.
        if (written && end != DiskReplacementEnd::kDrop) written = _commit(_fileno(file)) == 0;
        const bool closed = std::fclose(file) == 0;
        const bool whole = written && closed;
        if (whole && end == DiskReplacementEnd::kReplace &&
            MoveFileExA(r.temporary, r.target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return 0;
        if (whole && end == DiskReplacementEnd::kStage) {
            // Named in full: the set is switched from another directory.
            Staged e;
            char full[MAX_PATH + 32];
            if (GetFullPathNameA(r.temporary, sizeof full, full, nullptr) != 0) {
                e.temporary = full;
                if (GetFullPathNameA(r.target, sizeof full, full, nullptr) != 0) {
                    e.target = full;
                    staged.push_back(e);
                    return 0;
                }
            }
        }
        std::remove(r.temporary);
        errno = EIO;
        return -1;
    }
    errno = EINVAL;
    return -1;
}

// Every staged file was flushed when it was staged; the names change
// through the file system's journal.
int SyncStaged() { return 0; }

int SwitchStaged()
{
    for (Staged& e : staged) {
        if (e.switched) continue;
        e.existed = GetFileAttributesA(e.target.c_str()) != INVALID_FILE_ATTRIBUTES;
        e.backup.clear();
        if (e.existed) {
            const std::string backup = BackupName(e.target);
            if (!backup.empty() && CreateHardLinkA(backup.c_str(), e.target.c_str(), nullptr)) e.backup = backup;
        }
        if (!MoveFileExA(e.temporary.c_str(), e.target.c_str(), kReplaceDurably)) {
            if (!e.backup.empty()) DeleteFileA(e.backup.c_str());
            e.backup.clear();
            UndoStaged();
            errno = EIO;
            return -1;
        }
        e.switched = true;
    }
    return 0;
}

int UndoStaged()
{
    bool ok = true;
    for (auto it = staged.rbegin(); it != staged.rend(); ++it)
        if (!PutBack(*it)) ok = false;
    return ok ? 0 : -1;
}

int DropStaged()
{
    bool ok = true;
    for (const Staged& e : staged) {
        const std::string& left = e.switched ? e.backup : e.temporary;
        if (!left.empty() && !DeleteFileA(left.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) ok = false;
    }
    staged.clear();
    return ok ? 0 : -1;
}

std::FILE* OpenFile(const char* path, const char* mode)
{
    if (!IsPortableFileMode(mode)) {
        errno = EINVAL;
        return nullptr;
    }
    return std::fopen(path, mode);
}

// The lock is the share mode: every holder lets others read and nobody
// else write, so readers share the file and a writer has it alone.
std::FILE* OpenLockedFile(const char* path, const char* mode, DiskLock)
{
    if (!IsPortableFileMode(mode)) {
        errno = EINVAL;
        return nullptr;
    }
    std::FILE* file = _fsopen(path, mode, _SH_DENYWR);
    if (!file && GetLastError() == ERROR_SHARING_VIOLATION) errno = EBUSY;
    return file;
}

// msvcrt.dll's fopen has no exclusive creation: its _open has.
std::FILE* CreateNewFile(const char* path)
{
    const int fd = _open(path, _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0) return nullptr;
    std::FILE* file = _fdopen(fd, "wb");
    if (!file) {
        const int error = errno;
        _close(fd);
        std::remove(path);
        errno = error;
    }
    return file;
}

int RemoveFile(const char* path) { return std::remove(path) == 0 ? 0 : -1; }

int RenameFile(const char* from, const char* to) { return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) ? 0 : -1; }

int MakeDirectory(const char* path) { return _mkdir(path) == 0 ? 0 : -1; }

int ChangeDirectory(const char* path) { return _chdir(path) == 0 ? 0 : -1; }

int SetTime(const char* path, long long unixTime)
{
    // Backup semantics open a directory as well as a file.
    const HANDLE file = CreateFileA(path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        errno = EACCES;
        return -1;
    }
    // Windows counts 100 ns steps from 1601.
    constexpr long long kStepsPerSecond = 10000000;
    constexpr long long kSecondsFrom1601To1970 = 11644473600LL;
    const unsigned long long steps =
        static_cast<unsigned long long>((unixTime + kSecondsFrom1601To1970) * kStepsPerSecond);
    FILETIME time{static_cast<DWORD>(steps), static_cast<DWORD>(steps >> 32)};
    const bool set = SetFileTime(file, nullptr, &time, &time) != 0;
    CloseHandle(file);
    if (!set) errno = EACCES;
    return set ? 0 : -1;
}

int RemoveFolder(const char* path) { return _rmdir(path) == 0 ? 0 : -1; }

int CopyPermissions(const char* from, const char* to)
{
    const DWORD source = GetFileAttributesA(from);
    const DWORD target = GetFileAttributesA(to);
    if (source == INVALID_FILE_ATTRIBUTES || target == INVALID_FILE_ATTRIBUTES) {
        errno = ENOENT;
        return -1;
    }
    const DWORD kept = (target & ~FILE_ATTRIBUTE_READONLY) | (source & FILE_ATTRIBUTE_READONLY);
    if (kept == target || SetFileAttributesA(to, kept)) return 0;
    errno = EACCES;
    return -1;
}

// Windows keeps a file from being written by its read-only attribute;
// folders take new names whatever theirs says.
int MayWrite(const char* path)
{
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        errno = ENOENT;
        return -1;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) && (attributes & FILE_ATTRIBUTE_READONLY)) {
        errno = EACCES;
        return -1;
    }
    return 0;
}

int Truncate(std::FILE* file, long length)
{
    if (std::fflush(file) != 0) return -1;
    return _chsize(_fileno(file), length) == 0 ? 0 : -1;
}

int SyncFile(std::FILE* file)
{
    if (std::fflush(file) != 0) return -1;
    return _commit(_fileno(file)) == 0 ? 0 : -1;
}

int SyncFolder(const char*) { return 0; }

// The volume is flushed where the program may (as an administrator);
// elsewhere each file was flushed on its own where it had to be, and the
// rest is left to the system.
int SyncVolume(const char* directory)
{
    char root[MAX_PATH];
    char full[MAX_PATH];
    if (!GetFullPathNameA(directory[0] ? directory : ".", sizeof full, full, nullptr) ||
        !GetVolumePathNameA(full, root, sizeof root))
        return 0;
    if (!(root[0] && root[1] == ':')) return 0;
    char device[] = "\\\\.\\X:";
    device[4] = root[0];
    const HANDLE volume = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    if (volume == INVALID_HANDLE_VALUE) return 0;
    // A volume that takes no flush (Wine's, one the program may not flush)
    // is left to the system, as one that cannot be opened is.
    FlushFileBuffers(volume);
    CloseHandle(volume);
    return 0;
}

int SweepTemporaries(const char* directory, const char* prefix)
{
    const std::size_t length = std::strlen(directory);
    if (length + 2 > MAX_PATH) return -1;
    char folder[MAX_PATH];
    std::strcpy(folder, directory);
    if (length > 0 && folder[length - 1] != '\\' && folder[length - 1] != '/') std::strcat(folder, "\\");
    RemoveStaleTemporaries(folder, prefix);
    return 0;
}

int StatPath(const char* path, DiskPathInfo* info)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) {
        errno = ENOENT;
        return -1;
    }
    info->directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    info->file = !info->directory;
    info->link = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    info->device = 0;
    info->inode = 0;
    info->size = info->directory ? 0 : (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return 0;
}

int FreeSpace(const char* directory, std::uint64_t* bytes)
{
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExA(directory, &available, nullptr, nullptr)) {
        errno = EIO;
        return -1;
    }
    *bytes = available.QuadPart;
    return 0;
}

}  // namespace host

// Windows programs are not stopped by signals.
void WatchDiskTemporary(const char*) {}
void ForgetDiskTemporary(const char*) {}
void WatchDiskFolder(const char*) {}
void ForgetDiskFolder() {}
