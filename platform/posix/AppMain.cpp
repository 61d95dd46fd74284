// The process entry of a framework application on Linux: the application
// object exists already; its InitInstance runs the program.
#include <cstdio>

#include "platform/Framework.h"

int main()
{
    CWinApp* app = AfxGetApp();
    if (!app) return 1;
    app->InitInstance();
    std::fflush(stdout);
    return app->m_nExitCode;
}
