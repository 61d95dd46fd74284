// The _lopen family on Linux, over POSIX descriptors (platform/Win32.h).
#include <fcntl.h>
#include <unistd.h>

#include "platform/Disk.h"
#include "platform/Win32.h"

HFILE _lopen(LPCSTR path, int access)
{
    int flags;
    switch (access & 3) {
    case OF_READ: flags = O_RDONLY; break;
    case OF_WRITE: flags = O_WRONLY; break;
    case OF_READWRITE: flags = O_RDWR; break;
    default: return HFILE_ERROR;
    }
    char host[kHostPathMax];
    if (!ResolveDiskPath(path, host, sizeof host)) return HFILE_ERROR;
    const int fd = open(host, flags | O_CLOEXEC);
    return fd < 0 ? HFILE_ERROR : fd;
}

UINT _lread(HFILE file, void* buffer, UINT count)
{
    UINT done = 0;
    while (done < count) {
        const ssize_t n = read(file, static_cast<char*>(buffer) + done, count - done);
        if (n < 0) return static_cast<UINT>(HFILE_ERROR);
        if (n == 0) break;
        done += static_cast<UINT>(n);
    }
    return done;
}

UINT _lwrite(HFILE file, LPCSTR buffer, UINT count)
{
    UINT done = 0;
    while (done < count) {
        const ssize_t n = write(file, buffer + done, count - done);
        if (n <= 0) return static_cast<UINT>(HFILE_ERROR);
        done += static_cast<UINT>(n);
    }
    return done;
}

LONG _llseek(HFILE file, LONG offset, int origin)
{
    static const int whence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
    if (origin < 0 || origin > 2) return HFILE_ERROR;
    const off_t at = lseek(file, offset, whence[origin]);
    return at < 0 || at > 0x7fffffff ? HFILE_ERROR : static_cast<LONG>(at);
}

HFILE _lclose(HFILE file) { return close(file) == 0 ? 0 : HFILE_ERROR; }
