// Disk paths on Windows are the system's own: nothing to resolve.
#include "platform/Disk.h"

#include <cstring>
#include <direct.h>
#include <windows.h>

bool ResolveDiskPath(const char* path, char* out, std::size_t outSize)
{
    const std::size_t length = std::strlen(path);
    if (length + 1 > outSize) return false;
    std::memcpy(out, path, length + 1);
    return true;
}

std::FILE* OpenDiskFile(const char* path, const char* mode) { return std::fopen(path, mode); }

int RemoveDiskFile(const char* path) { return std::remove(path) == 0 ? 0 : -1; }

int RenameDiskFile(const char* from, const char* to)
{
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) ? 0 : -1;
}

int MakeDiskDirectory(const char* path) { return _mkdir(path) == 0 ? 0 : -1; }

int ChangeDiskDirectory(const char* path) { return _chdir(path) == 0 ? 0 : -1; }
