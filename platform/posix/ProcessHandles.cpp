// The Win32 process handles on Linux (platform/Win32.h, and ProcessHandles.h).
//
// OpenProcess, WaitForSingleObject, TerminateProcess and CloseHandle: a
// pidfd where the kernel has one, /proc otherwise.
#include "platform/posix/ProcessHandles.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <mutex>
#include <poll.h>
#include <set>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/posix/Errors.h"
#include "platform/posix/ProcScan.h"
#include "platform/posix/ProgramWindows.h"
#include "platform/posix/WindowModel.h"
#include "platform/posix/WineHelper.h"

namespace {

struct ProcessObject {
    int pid;
    int pidfd;                     // -1: waits poll /proc
    unsigned long long startTime;  // tells a reused process id apart
};

std::mutex handlesLock;
std::set<ProcessObject*> processHandles;

ProcessObject* LookUp(HANDLE handle)
{
    std::lock_guard<std::mutex> lock(handlesLock);
    auto* object = static_cast<ProcessObject*>(handle);
    return processHandles.count(object) ? object : nullptr;
}

bool HasEnded(const ProcessObject& process)
{
    if (process.pidfd >= 0) {
        pollfd ready{process.pidfd, POLLIN, 0};
        return poll(&ready, 1, 0) > 0;
    }
    ProcStat stat;
    if (!ReadProcStat(process.pid, stat)) return true;
    return stat.state == 'Z' || stat.state == 'X' || (process.startTime && stat.startTime != process.startTime);
}

HANDLE OpenProcessHandle(DWORD processId, bool usePidfd)
{
    if (processId == 0 || processId > static_cast<DWORD>(INT_MAX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const int pid = static_cast<int>(processId);
    // A handle is for waiting on and ending the process: one of another
    // user is refused, even to root.
    if (kill(pid, 0) != 0 && errno != EPERM) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!OwnUser(pid)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    ProcStat stat;
    ReadProcStat(pid, stat);
    int pidfd = -1;
#ifdef SYS_pidfd_open
    if (usePidfd) {
        pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        if (pidfd < 0 && errno == ESRCH) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        // Any other failure (ENOSYS before Linux 5.3): waits poll instead.
    }
#else
    (void)usePidfd;
#endif
    auto* object = new ProcessObject{pid, pidfd, stat.startTime};
    std::lock_guard<std::mutex> lock(handlesLock);
    processHandles.insert(object);
    return object;
}

}  // namespace

HANDLE OpenProcess(DWORD, BOOL, DWORD processId) { return OpenProcessHandle(processId, true); }

HANDLE OpenProcessPolling(DWORD processId) { return OpenProcessHandle(processId, false); }

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    const ProcessObject* process = LookUp(handle);
    if (!process) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    using Clock = std::chrono::steady_clock;
    const bool forever = milliseconds == INFINITE;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        if (HasEnded(*process)) return WAIT_OBJECT_0;
        long long left = 0;
        if (!forever) {
            left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return WAIT_TIMEOUT;
        }
        if (process->pidfd >= 0) {
            pollfd ready{process->pidfd, POLLIN, 0};
            if (poll(&ready, 1, forever ? -1 : static_cast<int>(std::min<long long>(left, INT_MAX))) < 0 &&
                errno != EINTR) {
                SetLastErrorFromErrno(errno);
                return WAIT_FAILED;
            }
        } else {
            Sleep(static_cast<DWORD>(forever ? 10 : std::min<long long>(left, 10)));
        }
    }
}

BOOL TerminateProcess(HANDLE handle, UINT)
{
    const ProcessObject* process = LookUp(handle);
    if (!process) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // A Wine program is ended by Wine, as Windows would end it; a signal
    // when that cannot be done.
    if (!HasEnded(*process) && RunsUnderWine(process->pid)) {
        if (const HWND__* window = FoundProcessWindow(process->pid, process->startTime)) {
            if (RunCloseHelper({"terminate", window->className, window->text}) == HelperResult::Done) return TRUE;
        }
    }
    long result;
#ifdef SYS_pidfd_send_signal
    if (process->pidfd >= 0)
        result = syscall(SYS_pidfd_send_signal, process->pidfd, SIGKILL, nullptr, 0);
    else
#endif
        result = HasEnded(*process) ? (errno = ESRCH, -1) : kill(process->pid, SIGKILL);
    if (result != 0) {
        // As on Windows, a process that has ended can't be terminated.
        SetLastError(errno == ESRCH ? ERROR_ACCESS_DENIED : Win32ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL CloseHandle(HANDLE handle)
{
    auto* process = static_cast<ProcessObject*>(handle);
    {
        std::lock_guard<std::mutex> lock(handlesLock);
        if (processHandles.erase(process) == 0) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
    }
    if (process->pidfd >= 0) close(process->pidfd);
    delete process;
    return TRUE;
}
