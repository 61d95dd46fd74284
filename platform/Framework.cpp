// The parts of the dialog framework that are the same on every platform.
#include "platform/Framework.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace {

CWinApp* theApplication = nullptr;

// The executable's file name without its extension.
std::string ExecutableBaseName()
{
    char path[1024];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path) return "application";
    std::string name(path, length);
    name = name.substr(name.find_last_of("\\/") + 1);
    const std::size_t dot = name.find_last_of('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

}  // namespace

void CString::Format(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int needed = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (needed < 0) {
        va_end(again);
        text_.clear();
        return;
    }
    text_.assign(static_cast<std::size_t>(needed) + 1, '\0');
    std::vsnprintf(text_.data(), text_.size(), format, again);
    va_end(again);
    text_.resize(static_cast<std::size_t>(needed));
}

BOOL CDialog::UpdateData(BOOL saveAndValidate)
{
    if (!m_hWnd) return FALSE;
    CDataExchange exchange{saveAndValidate, m_hWnd};
    DoDataExchange(&exchange);
    return TRUE;
}

BOOL CDialog::OnInitDialog()
{
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK()
{
    if (UpdateData(TRUE)) EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

BOOL CDialog::OnCommand(int id)
{
    if (id == IDOK) {
        OnOK();
        return TRUE;
    }
    if (id == IDCANCEL) {
        OnCancel();
        return TRUE;
    }
    return FALSE;
}

CWinApp::CWinApp(const char* appName)
{
    static std::string name;
    name = appName ? appName : ExecutableBaseName();
    m_pszAppName = name.c_str();
    theApplication = this;
}

CWinApp::~CWinApp()
{
    if (theApplication == this) theApplication = nullptr;
}

CWinApp* AfxGetApp() { return theApplication; }

namespace {

const DialogTemplate* registeredTemplates = nullptr;
int registeredTemplateCount = 0;

}  // namespace

void AfxRegisterDialogTemplates(const DialogTemplate* templates, int count)
{
    registeredTemplates = templates;
    registeredTemplateCount = count;
}

const DialogTemplate* AfxFindDialogTemplate(UINT id)
{
    for (int i = 0; i < registeredTemplateCount; ++i)
        if (registeredTemplates[i].id == id) return &registeredTemplates[i];
    return nullptr;
}

CWnd* AfxGetMainWnd() { return theApplication ? theApplication->m_pMainWnd : nullptr; }

int AfxMessageBox(const char* text, UINT type)
{
    const CWnd* main = AfxGetMainWnd();
    return ShowMessageBox(main ? main->m_hWnd : nullptr, text, theApplication ? theApplication->m_pszAppName : "",
                          type);
}
