// The process entry of a framework application on Linux: the application
// object exists already; its InitInstance runs the program. The options
// --help and --version print the application's texts instead, and an option
// of the application's own runs its function; any other argument is left to
// the program (it reads its own command line).
#include <cstdio>
#include <cstring>

#include "platform/Framework.h"

int main(int argc, char** argv)
{
    CWinApp* app = AfxGetApp();
    if (!app) return 1;
    if (argc > 1 && std::strcmp(argv[1], "--help") == 0 && app->m_pszHelpText) {
        std::fputs(app->m_pszHelpText, stdout);
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0 && app->m_pszVersionText) {
        std::printf("%s\n", app->m_pszVersionText);
        return 0;
    }
    for (int i = 0; argc > 1 && i < app->m_nOptions; ++i) {
        if (std::strcmp(argv[1], app->m_pOptions[i].name) != 0) continue;
        const int status = app->m_pOptions[i].run();
        std::fflush(stdout);
        return status;
    }
    app->InitInstance();
    std::fflush(stdout);
    return app->m_nExitCode;
}
