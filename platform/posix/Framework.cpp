// The dialog framework on Linux, over the window models (platform/Framework.h).
#include "platform/Framework.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "platform/posix/Terminal.h"
#include "platform/posix/WindowModel.h"

namespace {

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

}  // namespace

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

BOOL CWnd::ShowWindow(int command) { return ::ShowWindow(m_hWnd, command); }

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
    HWND window = MakeWindow(AfxFindDialogTemplate(m_nIDTemplate), m_nIDTemplate, nullptr, this);
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
    m_hWnd = MakeWindow(AfxFindDialogTemplate(templateId), templateId, parentWindow, this);
    OnInitDialog();
    if (m_hWnd->visible) terminal::Redraw(m_hWnd);
    return TRUE;
}

void CDialog::EndDialog(int result)
{
    if (!m_hWnd) return;
    m_hWnd->ended = true;
    m_hWnd->result = result;
}

HICON CWinApp::LoadIcon(UINT) const { return nullptr; }

CPaintDC::CPaintDC(CWnd* window) : m_pWnd(window), m_paint{} {}

CPaintDC::~CPaintDC() = default;

int ShowMessageBox(HWND owner, const char* text, const char* caption, UINT type)
{
    return MessageBoxA(owner, text, caption, type);
}
