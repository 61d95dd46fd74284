// Opening documents, starting programs on Linux (ShellExecuteA, platform/Win32.h).
//
// xdg-open, wine, or a line on the terminal.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

#include "platform/AsciiCase.h"
#include "platform/Disk.h"
#include "platform/Win32.h"
#include "platform/posix/CodePage.h"
#include "platform/posix/ProgramRunner.h"
#include "platform/posix/Terminal.h"

namespace {

// ShellExecuteA's success: any value above 32.
constexpr std::uintptr_t kStarted = 33;

HINSTANCE Result(std::uintptr_t value) { return reinterpret_cast<HINSTANCE>(value); }

bool EndsWithIgnoringCase(std::string_view text, std::string_view suffix)
{
    return text.size() >= suffix.size() && ascii::EqualIgnoringCase(text.substr(text.size() - suffix.size()), suffix);
}

// Parameters split as a Windows program would: blanks separate, double
// quotes group.
void SplitParameters(const char* parameters, std::vector<std::string>& arguments)
{
    if (!parameters) return;
    std::string current;
    bool quoted = false;
    bool any = false;
    for (const char* p = parameters; *p; ++p) {
        if (*p == '"') {
            quoted = !quoted;
            any = true;
        } else if ((*p == ' ' || *p == '\t') && !quoted) {
            if (any) arguments.push_back(current);
            current.clear();
            any = false;
        } else {
            current += *p;
            any = true;
        }
    }
    if (any) arguments.push_back(current);
}

// Runs program in the background and does not wait for it (detached); false
// when it could not be started.
bool StartDetached(const std::string& program, const std::vector<std::string>& arguments, const char* directory)
{
    ProgramStart start;
    start.program = program;
    start.arguments = arguments;
    start.directory = directory;
    start.detached = true;
    return RunProgram(start, kNoTimeLimit).started;
}

void SayOnTerminal(const char* format, const char* path)
{
    terminal::FinishLine();
    std::printf(format, path);
    std::fflush(stdout);
}

}  // namespace

HINSTANCE ShellExecuteA(HWND, LPCSTR operation, LPCSTR file, LPCSTR parameters, LPCSTR directory, int)
{
    if (!file || !*file) return Result(SE_ERR_FNF);
    if (operation && *operation && !ascii::EqualIgnoringCase(operation, "open")) return Result(SE_ERR_NOASSOC);

    char host[kHostPathMax];
    if (!ResolveDiskPath(file, host, sizeof host)) return Result(SE_ERR_PNF);
    struct stat st {};
    if (stat(host, &st) != 0) {
        if (errno == EACCES) return Result(SE_ERR_ACCESSDENIED);
        return Result(errno == ENOENT ? SE_ERR_FNF : SE_ERR_PNF);
    }
    char workDir[kHostPathMax];
    if (directory && *directory && !ResolveDiskPath(directory, workDir, sizeof workDir)) return Result(SE_ERR_PNF);
    const char* cwd = directory && *directory ? workDir : nullptr;

    if (EndsWithIgnoringCase(file, ".exe")) {
        const std::string wine = FindOnPath("wine");
        // Wine is given the path as the patcher names it (it knows the
        // drives), in the host's encoding, as it takes every argument.
        std::string path;
        codepage::Convert(codepage::Direction::kToUtf8, file, path, codepage::Unconvertible::kQuestionMark);
        if (wine.empty()) {
            SayOnTerminal("Cannot start %s: Windows programs need Wine, and wine is not on the PATH.\n", path.c_str());
            return Result(SE_ERR_NOASSOC);
        }
        std::vector<std::string> arguments = {"wine", path};
        std::string hostParameters;
        if (parameters)
            codepage::Convert(codepage::Direction::kToUtf8, parameters, hostParameters,
                              codepage::Unconvertible::kQuestionMark);
        SplitParameters(parameters ? hostParameters.c_str() : nullptr, arguments);
        return Result(StartDetached(wine, arguments, cwd) ? kStarted : SE_ERR_NOASSOC);
    }

    // A document: parameters mean nothing to it.
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if ((display && *display) || (wayland && *wayland)) {
        const std::string opener = FindOnPath("xdg-open");
        if (!opener.empty() && StartDetached(opener, {"xdg-open", host}, cwd)) return Result(kStarted);
    }
    SayOnTerminal("Read me: %s\n", host);
    return Result(kStarted);
}
