// The process entry of a framework application on Windows: the application
// object exists already; its InitInstance runs the program.
#include "platform/Framework.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    // The progress bar's window class, in the version the manifest asks for.
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);

    CWinApp* app = AfxGetApp();
    if (!app) return 1;
    app->InitInstance();
    return app->m_nExitCode;
}
