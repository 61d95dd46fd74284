// Copying a file on Linux (CopyFileA of platform/Win32.h).
//
// Through the disk table, replacing the target whole or not at all.
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Disk.h"
#include "platform/posix/Errors.h"

namespace {

// ENOENT for host path: the file is missing, or already a directory on the
// way to it.
DWORD MissingCode(const char* host)
{
    std::string parent = host;
    const std::size_t slash = parent.find_last_of('/');
    if (slash == std::string::npos) return ERROR_FILE_NOT_FOUND;
    parent.resize(slash == 0 ? 1 : slash);
    struct stat st {};
    return stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

BOOL Fail(DWORD code)
{
    SetLastError(code);
    return FALSE;
}

BOOL FailOn(int error, const char* host)
{
    return Fail(error == ENOENT ? MissingCode(host) : Win32ErrorFromErrno(error));
}

// A disk path that does not resolve: too long, or on a drive the prefix lacks.
BOOL FailResolve() { return Fail(errno == ENOENT ? ERROR_PATH_NOT_FOUND : Win32ErrorFromErrno(errno)); }

// Copies in to out through the disk table and gives out the source's mode
// bits and times; false with errno set.
bool CopyContents(std::FILE* in, std::FILE* out, const struct stat& source)
{
    static thread_local char buffer[65536];
    // The source is read to its length: a read that comes up short before
    // it has failed, whether the stream says so or not.
    for (off_t left = source.st_size; left > 0;) {
        const std::size_t want =
            left < static_cast<off_t>(sizeof buffer) ? static_cast<std::size_t>(left) : sizeof buffer;
        if (ReadDiskFile(buffer, 1, want, in) != want) {
            if (errno == 0) errno = EIO;
            return false;
        }
        if (WriteDiskFile(buffer, 1, want, out) != want) {
            if (errno == 0) errno = ENOSPC;
            return false;
        }
        left -= static_cast<off_t>(want);
    }
    const int fd = fileno(out);
    if (fchmod(fd, source.st_mode & 0777) != 0) return false;
    const timespec times[2] = {source.st_atim, source.st_mtim};
    if (futimens(fd, times) != 0) return false;
    return FlushDiskFile(out) == 0 && fsync(fd) == 0;
}

}  // namespace

BOOL CopyFileA(LPCSTR existing, LPCSTR target, BOOL failIfExists)
{
    if (!existing || !target) return Fail(ERROR_INVALID_PARAMETER);
    char from[kHostPathMax];
    char to[kHostPathMax];
    if (!ResolveDiskPath(existing, from, sizeof from) || !ResolveDiskPath(target, to, sizeof to)) return FailResolve();

    std::FILE* in = OpenDiskFile(existing, "rb");
    if (!in) return FailOn(errno, from);
    struct stat source {};
    if (fstat(fileno(in), &source) != 0 || !S_ISREG(source.st_mode)) {
        CloseDiskFile(in);
        return Fail(ERROR_ACCESS_DENIED);
    }

    struct stat present {};
    if (stat(to, &present) == 0) {
        if (failIfExists) {
            CloseDiskFile(in);
            return Fail(ERROR_FILE_EXISTS);
        }
        if (S_ISDIR(present.st_mode)) {
            CloseDiskFile(in);
            return Fail(ERROR_ACCESS_DENIED);
        }
        // Windows refuses to overwrite what a running program holds; here a
        // running executable says so when opened for writing (ETXTBSY).
        const int probe = open(to, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (probe < 0) {
            const int error = errno;
            CloseDiskFile(in);
            return FailOn(error, to);
        }
        close(probe);
    }

    // A target that is there is replaced whole or not at all: the copy goes
    // to a temporary beside it, which takes its place when complete. A new
    // one is made where nothing may be, and removed again when the copy
    // fails.
    std::FILE* out = failIfExists ? CreateNewDiskFile(target) : BeginDiskReplacement(target);
    if (!out) {
        const int error = errno;
        CloseDiskFile(in);
        return Fail(error == ENOENT ? ERROR_PATH_NOT_FOUND : Win32ErrorFromErrno(error));
    }
    errno = 0;
    bool copied = CopyContents(in, out, source);
    int error = errno;
    CloseDiskFile(in);
    if (failIfExists) {
        if (CloseDiskFile(out) != 0 && copied) {
            copied = false;
            error = errno;
        }
        if (!copied) RemoveDiskFile(target);
    } else if (FinishDiskReplacement(out, copied ? DiskReplacementEnd::kReplace : DiskReplacementEnd::kDrop) != 0 &&
               copied) {
        copied = false;
        error = errno;
    }
    if (!copied) return FailOn(error == 0 ? EIO : error, to);
    return TRUE;
}
