// The process entry on Linux, and AfxWorkFolder (platform/Framework.h).
//
// The application object exists already; its InitInstance runs the program.
// The command line is [OPTION] [FOLDER]: --help and --version print the
// application's texts, an option of the application's own runs its
// function instead of InitInstance, and FOLDER is the folder the program
// works in (AfxWorkFolder). Anything else is refused with the usage on
// standard error and exit status 2.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Disk.h"
#include "platform/Framework.h"
#include "platform/posix/CodePage.h"

namespace {

constexpr int kExitUsage = 2;

std::string workFolder;

const char* programName = "";

// The problem, then the first lines of the help text: the usage.
int Usage(const CWinApp& app, const char* problem)
{
    std::fprintf(stderr, "%s: %s\n", programName, problem);
    const char* help = app.m_pszHelpText ? app.m_pszHelpText : "";
    const char* end = std::strstr(help, "\n\n");
    std::fprintf(stderr, "%.*s\n", end ? static_cast<int>(end - help) : static_cast<int>(std::strlen(help)), help);
    return kExitUsage;
}

bool IsFolder(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The folder the program was started from: where the name it was started by
// lies (a link is not followed), or, started by a bare name from the PATH,
// where its executable lies.
std::string OwnFolder(const char* argv0)
{
    std::string own;
    if (std::strchr(argv0, '/')) {
        own = argv0;
    } else {
        char executable[PATH_MAX];
        const ssize_t length = readlink("/proc/self/exe", executable, sizeof executable - 1);
        if (length > 0) own.assign(executable, static_cast<std::size_t>(length));
    }
    const std::size_t slash = own.rfind('/');
    return slash == std::string::npos ? std::string(".") : own.substr(0, slash + 1);
}

// Whether folder holds a file of one of names, in any letter case, as the
// program would look it up.
bool HoldsAny(const std::string& folder, const char* const* names)
{
    std::string system;
    if (!names || !codepage::Convert(codepage::Direction::kToCp949, folder, system, codepage::Unconvertible::kFail))
        return false;
    for (const char* const* name = names; *name; ++name) {
        DiskPathInfo info{};
        if (StatDiskPath((system + "/" + *name).c_str(), &info) == 0 && info.file) return true;
    }
    return false;
}

// Makes folder the current directory and the work folder; false when it
// cannot be entered.
bool Enter(const std::string& folder)
{
    char absolute[PATH_MAX];
    if (chdir(folder.c_str()) != 0 || !getcwd(absolute, sizeof absolute)) return false;
    // The logical path the walk of disk paths starts from.
    setenv("PWD", absolute, 1);
    codepage::Convert(codepage::Direction::kToCp949, absolute, workFolder, codepage::Unconvertible::kQuestionMark);
    if (workFolder.empty() || workFolder.back() != '/') workFolder += '/';
    return true;
}

}  // namespace

const char* AfxWorkFolder() { return workFolder.empty() ? nullptr : workFolder.c_str(); }

int main(int argc, char** argv)
{
    CWinApp* app = AfxGetApp();
    if (!app) return 1;
    programName = std::strrchr(argv[0], '/') ? std::strrchr(argv[0], '/') + 1 : argv[0];
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0 && app->m_pszHelpText) {
        std::fputs(app->m_pszHelpText, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0 && app->m_pszVersionText) {
        std::printf("%s\n", app->m_pszVersionText);
        return 0;
    }

    int (*run)() = nullptr;
    const char* folder = nullptr;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (options && argument == "--") {
            options = false;
            continue;
        }
        if (options && (argument == "--help" || argument == "--version"))
            return Usage(*app, (argument + " takes nothing beside it").c_str());
        if (options && argument.size() > 1 && argument[0] == '-') {
            int (*found)() = nullptr;
            for (int o = 0; o < app->m_nOptions; ++o)
                if (argument == app->m_pOptions[o].name) found = app->m_pOptions[o].run;
            if (!found || run) return Usage(*app, ("unknown option: " + argument).c_str());
            run = found;
            continue;
        }
        if (folder) return Usage(*app, ("one folder at most: " + argument).c_str());
        folder = argv[i];
    }
    if (folder && !IsFolder(folder)) return Usage(*app, (std::string("no such folder: ") + folder).c_str());
    const std::string own = OwnFolder(argv[0]);
    if (!Enter(folder ? std::string(folder) : HoldsAny(own, app->m_ppszWorkFolderMarks) ? own : std::string(".")))
        return Usage(*app, "the folder cannot be entered");

    if (run) {
        const int status = run();
        std::fflush(stdout);
        return status;
    }
    app->InitInstance();
    std::fflush(stdout);
    return app->m_nExitCode;
}
