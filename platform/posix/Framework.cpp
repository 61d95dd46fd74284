// The dialog framework over the Linux window models.
#include "platform/Framework.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "platform/posix/WindowModel.h"

namespace {

CWinApp* theApplication = nullptr;
std::vector<std::unique_ptr<HWND__>> topLevelWindows;

HWND MakeWindow(const DialogTemplate* layout, UINT id, HWND parent, CDialog* dialog)
{
    auto window = std::make_unique<HWND__>();
    window->id = static_cast<int>(id);
    window->className = "Dialog";
    window->parent = parent;
    window->dialog = dialog;
    if (layout) {
        window->text = layout->caption ? layout->caption : "";
        window->visible = layout->child;
        for (int i = 0; i < layout->controlCount; ++i) {
            auto control = std::make_unique<HWND__>();
            control->id = layout->controls[i].id;
            control->className = layout->controls[i].className;
            control->text = layout->controls[i].text;
            control->visible = true;
            control->parent = window.get();
            window->children.push_back(std::move(control));
        }
    }
    HWND handle = window.get();
    if (parent)
        parent->children.push_back(std::move(window));
    else
        topLevelWindows.push_back(std::move(window));
    return handle;
}

// Takes a window down with its child dialogs, children first, and lets each
// dialog object know that its window is gone.
void DestroyWindow(HWND window)
{
    terminal::FinishLine();
    std::vector<CDialog*> gone;
    for (auto& child : window->children)
        if (child->dialog) gone.push_back(child->dialog);
    CDialog* own = window->dialog;

    std::unique_ptr<HWND__> keep;
    auto& siblings = window->parent ? window->parent->children : topLevelWindows;
    for (auto it = siblings.begin(); it != siblings.end(); ++it) {
        if (it->get() == window) {
            keep = std::move(*it);
            siblings.erase(it);
            break;
        }
    }
    for (CDialog* child : gone) {
        child->m_hWnd = nullptr;
        child->PostNcDestroy();
    }
    if (own) {
        own->m_hWnd = nullptr;
        own->PostNcDestroy();
    }
}

std::string ExecutableBaseName()
{
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "application";
    path[n] = 0;
    std::string name = path;
    name = name.substr(name.find_last_of('/') + 1);
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

void DDX_Control(CDataExchange* exchange, int id, CWnd& control)
{
    if (!control.m_hWnd) control.m_hWnd = GetDlgItem(exchange->m_hDialog, id);
}

void DDX_Text(CDataExchange* exchange, int id, CString& value)
{
    HWND item = GetDlgItem(exchange->m_hDialog, id);
    if (!item) return;
    if (exchange->m_bSaveAndValidate)
        value = item->text.c_str();
    else
        SetWindowTextA(item, value);
}

CDialog::CDialog(UINT templateId, CWnd* parent) : m_nIDTemplate(templateId), m_pParentWnd(parent) {}

CDialog::~CDialog()
{
    if (m_hWnd) {
        m_hWnd->dialog = nullptr;
        DestroyWindow(m_hWnd);
    }
}

INT_PTR CDialog::DoModal()
{
    HWND window = MakeWindow(FindDialogTemplate(m_nIDTemplate), m_nIDTemplate, nullptr, this);
    m_hWnd = window;
    window->visible = false;
    OnInitDialog();
    // A dialog that is already closing is not put on the screen.
    if (!window->ended && window->posted.empty()) ::ShowWindow(window, SW_SHOW);
    while (!window->ended) {
        if (!window->posted.empty()) {
            const UINT message = window->posted.front();
            window->posted.pop_front();
            if (message == WM_CLOSE) OnCancel();
            continue;
        }
        OnCommand(terminal::AskForButton(window));
    }
    const int result = window->result;
    DestroyWindow(window);
    return result;
}

BOOL CDialog::Create(UINT templateId, CWnd* parent)
{
    m_nIDTemplate = templateId;
    if (parent) m_pParentWnd = parent;
    HWND parentWindow = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
    m_hWnd = MakeWindow(FindDialogTemplate(templateId), templateId, parentWindow, this);
    OnInitDialog();
    if (m_hWnd->visible) terminal::Redraw(m_hWnd);
    return TRUE;
}

BOOL CDialog::UpdateData(BOOL saveAndValidate)
{
    if (!m_hWnd) return FALSE;
    CDataExchange exchange{saveAndValidate, m_hWnd};
    DoDataExchange(&exchange);
    return TRUE;
}

void CDialog::EndDialog(int result)
{
    if (!m_hWnd) return;
    m_hWnd->ended = true;
    m_hWnd->result = result;
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

HICON CWinApp::LoadIcon(UINT) const { return nullptr; }

CPaintDC::CPaintDC(CWnd* window) : m_pWnd(window), m_paint{} {}

CPaintDC::~CPaintDC() = default;

CWinApp* AfxGetApp() { return theApplication; }

CWnd* AfxGetMainWnd() { return theApplication ? theApplication->m_pMainWnd : nullptr; }

int AfxMessageBox(const char* text, UINT type)
{
    const CWnd* main = AfxGetMainWnd();
    return ShowMessageBox(main ? main->m_hWnd : nullptr, text, theApplication ? theApplication->m_pszAppName : "", type);
}

int ShowMessageBox(HWND owner, const char* text, const char* caption, UINT type)
{
    return MessageBoxA(owner, text, caption, type);
}
