// Other programs' windows on Linux (platform/Win32.h, and ProgramWindows.h).
//
// FindWindowA and GetWindowThreadProcessId: a window found as a process of
// its program, and posted to through Wine or by a signal.
#include "platform/posix/ProgramWindows.h"

#include <map>
#include <memory>
#include <mutex>
#include <signal.h>
#include <string>
#include <unistd.h>

#include "platform/AsciiCase.h"
#include "platform/ProgramWindows.h"
#include "platform/posix/ProcScan.h"
#include "platform/posix/WindowModel.h"
#include "platform/posix/WineHelper.h"

namespace {

// A window FindWindowA gave out: the process it stands for, told apart from
// a later one of the same id by its start time.
struct FoundWindow {
    std::unique_ptr<HWND__> window;
    unsigned long long startTime = 0;
};

std::mutex windowsLock;
std::map<int, FoundWindow> programWindows;  // by process id

}  // namespace

const HWND__* FoundProcessWindow(int pid, unsigned long long startTime)
{
    ProcStat stat;
    if (!ReadProcStat(pid, stat) || stat.startTime != startTime || stat.state == 'Z' || stat.state == 'X' ||
        !OwnUser(pid))
        return nullptr;
    std::lock_guard<std::mutex> lock(windowsLock);
    const auto found = programWindows.find(pid);
    return found != programWindows.end() && found->second.startTime == startTime ? found->second.window.get() : nullptr;
}

HWND FindWindowA(LPCSTR className, LPCSTR windowName)
{
    if (!className && !windowName) return nullptr;
    int count = 0;
    const ProgramWindow* windows = AfxProgramWindows(count);
    for (int i = 0; i < count; ++i) {
        const ProgramWindow& window = windows[i];
        if ((className && !ascii::EqualIgnoringCase(className, window.className)) ||
            (windowName && !ascii::EqualIgnoringCase(windowName, window.title)))
            continue;
        const int pid = FindProgram(window.program);
        if (!pid) return nullptr;
        ProcStat stat;
        ReadProcStat(pid, stat);
        std::lock_guard<std::mutex> lock(windowsLock);
        FoundWindow& found = programWindows[pid];
        if (!found.window) {
            found.window = std::make_unique<HWND__>();
            found.window->otherProgram = true;
            found.window->pid = pid;
            found.window->visible = true;
        }
        found.startTime = stat.startTime;
        found.window->className = window.className;
        found.window->text = window.title;
        return found.window.get();
    }
    return nullptr;
}

DWORD GetWindowThreadProcessId(HWND window, LPDWORD processId)
{
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (processId) *processId = static_cast<DWORD>(window->otherProgram ? window->pid : getpid());
    return 0;
}

BOOL PostToProgram(HWND window, UINT message)
{
    std::string className;
    std::string title;
    int pid = 0;
    unsigned long long startTime = 0;
    {
        std::lock_guard<std::mutex> lock(windowsLock);
        const auto found = programWindows.find(window->pid);
        if (found != programWindows.end() && found->second.window.get() == window) {
            pid = window->pid;
            startTime = found->second.startTime;
            className = window->className;
            title = window->text;
        }
    }
    // The process must still be the one found: an id taken over since is
    // another process, perhaps of another user.
    if (!pid || !FoundProcessWindow(pid, startTime)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    // A Wine program gets the message itself through Wine, and shuts down
    // as it would on Windows. A helper that finds no such window is
    // Windows' answer to a window that is gone.
    if (RunsUnderWine(pid)) {
        switch (RunCloseHelper({"post", className, title, std::to_string(message)})) {
        case HelperResult::Done: return TRUE;
        case HelperResult::NoWindow: SetLastError(ERROR_INVALID_WINDOW_HANDLE); return FALSE;
        case HelperResult::Unavailable: break;
        }
    }
    // Otherwise whatever is posted asks the process to end.
    if (kill(pid, SIGTERM) == 0) return TRUE;
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
}
