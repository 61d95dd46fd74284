// File copies, the last error and the system's texts for it on Linux.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Disk.h"
#include "platform/posix/Errors.h"

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

struct SystemText {
    DWORD code;
    const char* text;
};

// The English texts of the codes the posix side sets.
constexpr SystemText kSystemTexts[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {kErrorInvalidHandle, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {17, "The system cannot move the file to a different disk drive."},
    {31, "A device attached to the system is not functioning."},
    {ERROR_SHARING_VIOLATION, "The process cannot access the file because it is being used by another process."},
    {ERROR_HANDLE_DISK_FULL, "The disk is full."},
    {50, "The request is not supported."},
    {kErrorFileExists, "The file exists."},
    {kErrorInvalidParameter, "The parameter is incorrect."},
    {ERROR_DISK_FULL, "There is not enough space on the disk."},
    {kErrorInsufficientBuffer, "The data area passed to a system call is too small."},
    {kErrorModNotFound, "The specified module could not be found."},
    {206, "The filename or extension is too long."},
    {ERROR_MORE_DATA, "More data is available."},
    {WAIT_TIMEOUT, "The wait operation timed out."},
    {1117, "The request could not be performed because of an I/O device error."},
    {1400, "Invalid window handle."},
    {1921, "The name of the file cannot be resolved by the system."},
};

const char* FindSystemText(DWORD code)
{
    for (const SystemText& entry : kSystemTexts)
        if (entry.code == code) return entry.text;
    return nullptr;
}

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

DWORD Win32ErrorFromErrno(int error)
{
    switch (error) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case ETXTBSY:
    case EBUSY: return ERROR_SHARING_VIOLATION;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EEXIST: return kErrorFileExists;
    case ENAMETOOLONG: return 206;
    case EMFILE:
    case ENFILE: return 4;
    case ENOMEM: return 8;
    case EBADF: return kErrorInvalidHandle;
    case EINVAL:
    case ESRCH: return kErrorInvalidParameter;
    case EXDEV: return 17;
    case EIO: return 1117;
    case ELOOP: return 1921;
    case ENOSYS:
    case EOPNOTSUPP: return 50;
    default: return 31;  // ERROR_GEN_FAILURE
    }
}

void SetLastErrorFromErrno(int error) { SetLastError(Win32ErrorFromErrno(error)); }

DWORD GetLastError() { return lastError; }

void SetLastError(DWORD code) { lastError = code; }

BOOL CopyFileA(LPCSTR existing, LPCSTR target, BOOL failIfExists)
{
    if (!existing || !target) return Fail(kErrorInvalidParameter);
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
            return Fail(kErrorFileExists);
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
    } else if (FinishDiskReplacement(out, copied) != 0 && copied) {
        copied = false;
        error = errno;
    }
    if (!copied) return FailOn(error == 0 ? EIO : error, to);
    return TRUE;
}

DWORD FormatMessageA(DWORD flags, LPCVOID, DWORD messageId, DWORD, LPSTR buffer, DWORD size, void*)
{
    constexpr DWORD kFromString = 0x400;
    constexpr DWORD kFromModule = 0x800;
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || (flags & (kFromString | kFromModule)) || !buffer) {
        SetLastError(kErrorInvalidParameter);
        return 0;
    }
    const char* text = FindSystemText(messageId);
    if (!text) {
        SetLastError(kErrorMessageNotFound);
        return 0;
    }
    const std::size_t length = std::strlen(text) + 2;  // with "\r\n"
    char* out = buffer;
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        out = static_cast<char*>(std::malloc(length + 1 > size ? length + 1 : size));
        if (!out) {
            SetLastError(8);
            return 0;
        }
        *reinterpret_cast<LPSTR*>(buffer) = out;
    } else if (size < length + 1) {
        SetLastError(kErrorInsufficientBuffer);
        return 0;
    }
    std::memcpy(out, text, length - 2);
    std::memcpy(out + length - 2, "\r\n", 3);
    return static_cast<DWORD>(length);
}

void* LocalFree(void* memory)
{
    std::free(memory);
    return nullptr;
}
