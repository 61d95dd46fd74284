// The process entry on Linux, and AfxWorkFolder (platform/Framework.h).
//
// The application object exists already; its InitInstance runs the program.
// The command line is [OPTION] [FOLDER]: --help (-h) and --version print the
// application's texts, an option of the application's own runs its
// function instead of InitInstance, and FOLDER is the folder the program
// works in (AfxWorkFolder), or a file in it that marks it as one. Anything
// else, and a folder that holds none of the application's marks, is refused
// before anything is done: one line on standard error says what is wrong,
// and the exit status is 2. Root started on a Wine prefix a user owns runs
// as that user (PrefixOwner.h).
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/Framework.h"
#include "platform/StandardOutput.h"
#include "platform/posix/CodePage.h"
#include "platform/posix/PrefixOwner.h"
#include "platform/posix/RerunCommand.h"
#include "platform/posix/Temporaries.h"

namespace {

constexpr int kExitUsage = 2;

std::string workFolder;
// The work folder as the host names it, absolute.
std::string workHost;

const char* programName = "";

// What a stop by SIGINT, SIGTERM or SIGHUP says as the program ends, after
// its temporaries are removed: with calls a signal handler may make.
char stoppedLine[128];
void SayStopped()
{
    const ssize_t written = write(STDERR_FILENO, stoppedLine, std::strlen(stoppedLine));
    (void)written;
}

// The problem in one line, then where to read more, as GNU tools say it.
int Usage(const std::string& problem)
{
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", programName, problem.c_str(), programName);
    return kExitUsage;
}

bool IsFolder(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsFile(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool SameIgnoringCase(const char* a, const char* b)
{
    for (; *a && *b; ++a, ++b)
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b))) return false;
    return *a == *b;
}

// Whether name is one of names (a null-terminated list), in any letter case.
bool IsOneOf(const char* name, const char* const* names)
{
    for (const char* const* n = names; n && *n; ++n)
        if (SameIgnoringCase(name, *n)) return true;
    return false;
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
    DIR* listing = opendir(folder.c_str());
    if (!listing) return false;
    bool holds = false;
    while (const dirent* entry = readdir(listing))
        if (IsOneOf(entry->d_name, names) && IsFile(folder + "/" + entry->d_name)) holds = true;
    closedir(listing);
    return holds;
}

// A relative WINEPREFIX names a folder from where the program was started:
// it is made absolute before the program enters another.
void FixPrefix()
{
    const char* prefix = std::getenv("WINEPREFIX");
    char here[PATH_MAX];
    if (prefix && *prefix && *prefix != '/' && getcwd(here, sizeof here))
        setenv("WINEPREFIX", (std::string(here) + "/" + prefix).c_str(), 1);
}

// Makes folder the current directory and the work folder; false when it
// cannot be entered.
bool Enter(const std::string& folder)
{
    char absolute[PATH_MAX];
    if (chdir(folder.c_str()) != 0 || !getcwd(absolute, sizeof absolute)) return false;
    // The logical path the walk of disk paths starts from.
    setenv("PWD", absolute, 1);
    workHost = absolute;
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
    CheckStandardOutputAtExit(programName);
    const auto isHelp = [](const std::string& word) { return word == "--help" || word == "-h"; };
    if (argc == 2 && isHelp(argv[1]) && app->m_pszHelpText) {
        std::fputs(app->m_pszHelpText, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0 && app->m_pszVersionText) {
        std::printf("%s\n", app->m_pszVersionText);
        return 0;
    }

    int (*run)() = nullptr;
    std::vector<std::string> options;
    const char* folder = nullptr;
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (!optionsEnd && argument == "--") {
            optionsEnd = true;
            continue;
        }
        if (!optionsEnd && (isHelp(argument) || argument == "--version"))
            return Usage("'" + argument + "' takes nothing beside it");
        if (!optionsEnd && argument.size() > 1 && argument[0] == '-') {
            int (*found)() = nullptr;
            for (int o = 0; o < app->m_nOptions; ++o)
                if (argument == app->m_pOptions[o].name) found = app->m_pOptions[o].run;
            if (!found) return Usage("unknown option '" + argument + "'");
            // The same option twice is the option once.
            if (run && run != found)
                return Usage("'" + options.front() + "' and '" + argument + "' cannot be given together");
            if (!run) options.push_back(argument);
            run = found;
            continue;
        }
        if (folder) return Usage("one folder at most: '" + argument + "' after '" + folder + "'");
        folder = argv[i];
    }
    std::string chosen = folder ? folder : "";
    // A patch file named in place of its folder names the folder.
    if (folder && IsFile(chosen)) {
        const std::size_t slash = chosen.rfind('/');
        const std::string name = slash == std::string::npos ? chosen : chosen.substr(slash + 1);
        if (!IsOneOf(name.c_str(), app->m_ppszWorkFolderMarks)) return Usage(chosen + ": is a file, not a folder");
        chosen = slash == std::string::npos ? std::string(".") : chosen.substr(0, slash + 1);
    }
    if (folder && !IsFolder(chosen)) return Usage("no such folder: " + chosen);
    if (!folder) {
        const std::string own = OwnFolder(argv[0]);
        chosen = HoldsAny(own, app->m_ppszWorkFolderMarks) ? own : std::string(".");
    }
    FixPrefix();
    if (!Enter(chosen)) return Usage(chosen + ": the folder cannot be entered");
    if (app->m_pszNoWorkFolderText && !HoldsAny(".", app->m_ppszWorkFolderMarks)) {
        std::string text = app->m_pszNoWorkFolderText;
        if (const std::size_t at = text.find("%s"); at != std::string::npos) text.replace(at, 2, workHost);
        return Usage(text);
    }
    RememberCommandLine(argv[0], options, workHost);
    std::string problem;
    if (!RunAsPrefixOwner(problem)) {
        std::fprintf(stderr, "%s: %s\n", programName, problem.c_str());
        return 1;
    }

    std::snprintf(stoppedLine, sizeof stoppedLine,
                  "\n%s: stopped; if the patch was not completed, run it again to finish.\n", programName);
    AddStopHook(SayStopped);
    if (run) {
        const int status = run();
        std::fflush(stdout);
        return status;
    }
    app->InitInstance();
    std::fflush(stdout);
    return app->m_nExitCode;
}
