// Windows-style disk paths on a case-sensitive file system.
#include "platform/Disk.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/WinePrefix.h"

namespace {

bool SameIgnoringAsciiCase(const char* a, const char* b, std::size_t bLength)
{
    for (std::size_t i = 0; i < bLength; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x == 0) return false;
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
        if (x != y) return false;
    }
    return a[bLength] == 0;
}

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

// Looks in directory dir for an entry whose name equals the component ignoring
// case; copies its real name into found.
bool FindFolded(const char* dir, const char* component, std::size_t length, char* found, std::size_t foundSize)
{
    DIR* d = opendir(dir[0] ? dir : ".");
    if (!d) return false;
    bool ok = false;
    while (dirent* e = readdir(d)) {
        if (SameIgnoringAsciiCase(e->d_name, component, length) && length < foundSize) {
            std::memcpy(found, e->d_name, length + 1);
            ok = true;
            break;
        }
    }
    closedir(d);
    return ok;
}

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Starts out with the host directory of a drive's root: the prefix's
// dosdevices/ entry for it ("c:", which Wine makes a link to ../drive_c).
// False, errno ENOENT, when the prefix has no such drive.
bool StartAtDrive(char letter, char* out, std::size_t outSize, std::size_t* used)
{
    const std::string prefix = WinePrefix();
    const char drive[] = {static_cast<char>(letter | 0x20), ':', 0};
    if (!Append(out, outSize, used, prefix.c_str(), std::strlen(prefix.c_str())) ||
        !Append(out, outSize, used, "/dosdevices/", 12) || !Append(out, outSize, used, drive, 2))
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

}  // namespace

std::string WinePrefix()
{
    if (const char* prefix = std::getenv("WINEPREFIX"); prefix && *prefix) return prefix;
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        const passwd* user = getpwuid(getuid());
        home = user ? user->pw_dir : nullptr;
    }
    return home && *home ? std::string(home) + "/.wine" : std::string();
}

bool ResolveDiskPath(const char* path, char* out, std::size_t outSize)
{
    if (outSize == 0) {
        errno = ENAMETOOLONG;
        return false;
    }
    out[0] = 0;
    std::size_t used = 0;
    const char* p = path;
    if (IsAsciiLetter(p[0]) && p[1] == ':') {
        if (!StartAtDrive(p[0], out, outSize, &used)) return false;
        p += 2;
        while (*p == '\\' || *p == '/') ++p;
        if (*p && !Append(out, outSize, &used, "/", 1)) return false;
    } else if (*p == '\\' || *p == '/') {
        if (!Append(out, outSize, &used, "/", 1)) return false;
        while (*p == '\\' || *p == '/') ++p;
    }
    bool matching = true;  // false once a component matched nothing
    while (*p) {
        const char* end = p;
        while (*end && *end != '\\' && *end != '/') ++end;
        const std::size_t length = static_cast<std::size_t>(end - p);
        const std::size_t before = used;
        if (!Append(out, outSize, &used, p, length)) return false;
        struct stat st {};
        if (matching && length > 0 && lstat(out, &st) != 0) {
            // Not there as written: look for it under another letter case.
            char found[256];
            out[before] = 0;
            if (length < sizeof found && FindFolded(out, p, length, found, sizeof found)) {
                std::memcpy(out + before, found, length + 1);
            } else {
                std::memcpy(out + before, p, length);
                out[before + length] = 0;
                matching = false;
            }
        }
        p = end;
        if (*p) {
            if (!Append(out, outSize, &used, "/", 1)) return false;
            while (*p == '\\' || *p == '/') ++p;
        }
    }
    return true;
}

std::FILE* OpenDiskFile(const char* path, const char* mode)
{
    if (!IsPortableFileMode(mode)) {
        errno = EINVAL;
        return nullptr;
    }
    char host[kHostPathMax];
    if (!ResolveDiskPath(path, host, sizeof host)) return nullptr;
    return std::fopen(host, mode);
}

std::FILE* CreateNewDiskFile(const char* path)
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

int RemoveDiskFile(const char* path)
{
    char host[kHostPathMax];
    if (!ResolveDiskPath(path, host, sizeof host)) return -1;
    return unlink(host) == 0 ? 0 : -1;
}

int RenameDiskFile(const char* from, const char* to)
{
    char hostFrom[kHostPathMax];
    char hostTo[kHostPathMax];
    if (!ResolveDiskPath(from, hostFrom, sizeof hostFrom) || !ResolveDiskPath(to, hostTo, sizeof hostTo)) return -1;
    return std::rename(hostFrom, hostTo) == 0 ? 0 : -1;
}

int MakeDiskDirectory(const char* path)
{
    char host[kHostPathMax];
    if (!ResolveDiskPath(path, host, sizeof host)) return -1;
    return mkdir(host, 0777) == 0 ? 0 : -1;
}

int ChangeDiskDirectory(const char* path)
{
    char host[kHostPathMax];
    if (!ResolveDiskPath(path, host, sizeof host)) return -1;
    return chdir(host) == 0 ? 0 : -1;
}
