// Disk paths on Windows are the system's own: nothing to resolve.
#include "platform/Disk.h"

#include <cerrno>
#include <cstring>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

bool ResolveDiskPath(const char* path, char* out, std::size_t outSize)
{
    const std::size_t length = std::strlen(path);
    if (length + 1 > outSize) return false;
    std::memcpy(out, path, length + 1);
    return true;
}

std::FILE* OpenDiskFile(const char* path, const char* mode)
{
    if (!IsPortableFileMode(mode)) {
        errno = EINVAL;
        return nullptr;
    }
    return std::fopen(path, mode);
}

// msvcrt.dll's fopen has no exclusive creation: its _open has.
std::FILE* CreateNewDiskFile(const char* path)
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

int RemoveDiskFile(const char* path) { return std::remove(path) == 0 ? 0 : -1; }

int RenameDiskFile(const char* from, const char* to)
{
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) ? 0 : -1;
}

int MakeDiskDirectory(const char* path) { return _mkdir(path) == 0 ? 0 : -1; }

int ChangeDiskDirectory(const char* path) { return _chdir(path) == 0 ? 0 : -1; }
