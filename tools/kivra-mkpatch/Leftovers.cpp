#include "tools/kivra-mkpatch/Leftovers.h"

#include <cerrno>
#include <climits>
#include <cstddef>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#ifndef _WIN32
#include <signal.h>
#include <unistd.h>
#endif

#include "platform/Disk.h"
#include "platform/Win32.h"
#include "tools/kivra-mkpatch/Report.h"
#include "tools/kivra-mkpatch/WorkFolder.h"

namespace fs = std::filesystem;

namespace mkpatch {

namespace {

// The process id a work folder's name holds, or 0 for a name of another
// form.
unsigned long WorkFolderProcess(const std::string& name)
{
    const std::size_t prefix = sizeof kWorkPrefix - 1;
    if (name.compare(0, prefix, kWorkPrefix) != 0 || name.size() == prefix || name.size() > prefix + 10 ||
        name[prefix] == '0')
        return 0;
    unsigned long long id = 0;
    for (std::size_t i = prefix; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return 0;
        id = id * 10 + static_cast<unsigned>(name[i] - '0');
    }
    return id > 0xFFFFFFFFu ? 0 : static_cast<unsigned long>(id);
}

// Whether no process of that id runs.
bool ProcessGone(unsigned long id)
{
#ifdef _WIN32
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(id));
    if (!process) return GetLastError() == ERROR_INVALID_PARAMETER;
    DWORD code = 0;
    const bool ended = GetExitCodeProcess(process, &code) && code != STILL_ACTIVE;
    CloseHandle(process);
    return ended;
#else
    return id <= static_cast<unsigned long>(INT_MAX) && kill(static_cast<pid_t>(id), 0) != 0 && errno == ESRCH;
#endif
}

}  // namespace

void SweepLeftovers()
{
    const std::string parent = ParentOf(outSystem);
    char host[kHostPathMax];
    if (!ResolveDiskPath(parent.c_str(), host, sizeof host)) return;
    std::error_code error;
    std::vector<fs::path> left;
    for (fs::directory_iterator it(host, error), end; !error && it != end; it.increment(error)) {
        const unsigned long id = WorkFolderProcess(it->path().filename().string());
        std::error_code ignored;
        if (id == 0 || it->is_symlink(ignored) || !it->is_directory(ignored)) continue;
        if (id == GetCurrentProcessId() || ProcessGone(id)) left.push_back(it->path());
    }
    for (const fs::path& folder : left) {
        for (const char* name : kWorkNames) fs::remove(folder / name, error);
        if (fs::remove(folder, error))
            Warn(folder.string() + ": left by a kivra-mkpatch run that was stopped; removed");
        else
            Warn(folder.string() + ": left by a kivra-mkpatch run that was stopped, but it holds other files; kept");
    }
}

}  // namespace mkpatch
