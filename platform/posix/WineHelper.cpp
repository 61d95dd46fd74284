// Wine's close helper, run from Linux in our Wine prefix (WineHelper.h).
#include "platform/posix/WineHelper.h"

#include <climits>
#include <string_view>
#include <unistd.h>

#include "platform/posix/ProcScan.h"
#include "platform/posix/ProgramRunner.h"
#include "platform/posix/RegistryFile.h"
#include "platform/posix/WinePrefix.h"

extern char** environ;

namespace {

constexpr char kHelper32[] = "kivra-close-win32.exe";
constexpr char kHelper64[] = "kivra-close-win64.exe";
// How long the helper may take before the caller does without it.
constexpr int kHelperWaitMs = 10000;

// The helper for a prefix, or empty when it is not there.
std::string HelperFor(const std::string& prefix)
{
    std::string head;
    ReadProcFile(prefix + "/system.reg", 65536, head);
    const char* name = registry::ReadArch(head) == registry::Arch::Win64 ? kHelper64 : kHelper32;
    char own[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", own, sizeof own - 1);
    if (length <= 0) return {};
    own[length] = 0;
    const std::string_view path = own;
    const std::string folder(path.substr(0, path.find_last_of("/\\") + 1));
    for (const std::string& helper : {folder + name, folder + "../lib/kivra/" + name})
        if (access(helper.c_str(), R_OK) == 0) return helper;
    return {};
}

}  // namespace

HelperResult RunCloseHelper(const std::vector<std::string>& command)
{
    const std::string wine = FindOnPath("wine");
    const std::string prefix = WinePrefix();
    if (wine.empty() || prefix.empty()) return HelperResult::Unavailable;
    const std::string helper = HelperFor(prefix);
    if (helper.empty()) return HelperResult::Unavailable;

    ProgramStart start;
    start.program = wine;
    start.arguments = {wine, helper};
    start.arguments.insert(start.arguments.end(), command.begin(), command.end());
    std::vector<std::string> environment = {"WINEPREFIX=" + prefix, "WINEDEBUG=-all"};
    for (char** variable = environ; *variable; ++variable) {
        const std::string_view text = *variable;
        if (text.substr(0, 11) != "WINEPREFIX=" && text.substr(0, 10) != "WINEDEBUG=") environment.emplace_back(text);
    }
    start.environment = std::move(environment);

    const ProgramRun run = RunProgram(start, kHelperWaitMs);
    if (!run.started || !run.exited) return HelperResult::Unavailable;
    switch (run.exitStatus) {
    case 0: return HelperResult::Done;
    case 10: return HelperResult::NoWindow;
    default: return HelperResult::Unavailable;
    }
}
