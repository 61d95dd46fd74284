#include "app/UpdateApp.h"

#include "app/UpdateDlg.h"

CUpdateApp theApp;

CUpdateApp::CUpdateApp() = default;

CUpdateApp::~CUpdateApp() = default;

BOOL CUpdateApp::InitInstance()
{
    CUpdateDlg dialog(nullptr);
    m_pMainWnd = &dialog;
    dialog.DoModal();
    m_pMainWnd = nullptr;
    // No message loop of the application's own: the process ends here.
    return FALSE;
}
