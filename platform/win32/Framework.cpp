// The dialog framework on real Win32 dialogs, built from the resource
// templates.
//
// The program's texts are byte strings in code page 949 (Korean). Every text
// that reaches a control or a message box goes through the wide-character
// functions after conversion from 949, so it reads the same whatever the
// system's own code page.
#include "platform/Framework.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32/Text.h"

namespace {

HINSTANCE Instance() { return GetModuleHandleA(nullptr); }

// The dialog object behind a dialog window, stored when WM_INITDIALOG comes.
CDialog* DialogOf(HWND window) { return reinterpret_cast<CDialog*>(GetWindowLongPtrA(window, DWLP_USER)); }

INT_PTR CALLBACK DialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        auto* dialog = reinterpret_cast<CDialog*>(lParam);
        SetWindowLongPtrA(window, DWLP_USER, lParam);
        dialog->m_hWnd = window;
        return dialog->OnInitDialog();
    }
    CDialog* dialog = DialogOf(window);
    if (!dialog) return FALSE;

    switch (message) {
    case WM_COMMAND:
        // Buttons (BN_CLICKED is 0) and the dialog keys IDOK and IDCANCEL.
        if (HIWORD(wParam) != BN_CLICKED) return FALSE;
        return dialog->OnCommand(LOWORD(wParam));
    case WM_CLOSE: dialog->OnCancel(); return TRUE;
    case WM_PAINT:
        dialog->OnPaint();
        // A handler that left the window unpainted wants the default painting.
        return GetUpdateRect(window, nullptr, FALSE) ? FALSE : TRUE;
    case WM_QUERYDRAGICON:
        // One of the messages whose result a dialog procedure returns itself.
        return reinterpret_cast<INT_PTR>(dialog->OnQueryDragIcon());
    case WM_NCDESTROY:
        SetWindowLongPtrA(window, DWLP_USER, 0);
        dialog->m_hWnd = nullptr;
        dialog->PostNcDestroy();
        return FALSE;
    default: return FALSE;
    }
}

}  // namespace

void DDX_Control(CDataExchange* exchange, int id, CWnd& control)
{
    if (!control.m_hWnd) control.m_hWnd = ::GetDlgItem(exchange->m_hDialog, id);
}

void DDX_Text(CDataExchange* exchange, int id, CString& value)
{
    HWND item = ::GetDlgItem(exchange->m_hDialog, id);
    if (!item) return;
    if (exchange->m_bSaveAndValidate)
        value = win32text::GetText(item).c_str();
    else
        win32text::SetText(item, value);
}

BOOL CWnd::ShowWindow(int command)
{
    const BOOL wasVisible = ::ShowWindow(m_hWnd, command);
    if (command != SW_HIDE) UpdateWindow(m_hWnd);
    return wasVisible;
}

CDialog::CDialog(UINT templateId, CWnd* parent) : m_nIDTemplate(templateId), m_pParentWnd(parent) {}

CDialog::~CDialog()
{
    if (m_hWnd) {
        // The window outlives its object: it must not reach the object again.
        SetWindowLongPtrA(m_hWnd, DWLP_USER, 0);
        DestroyWindow(m_hWnd);
        m_hWnd = nullptr;
    }
}

INT_PTR CDialog::DoModal()
{
    HRSRC found = FindResourceA(Instance(), MAKEINTRESOURCEA(m_nIDTemplate), RT_DIALOG);
    HGLOBAL loaded = found ? LoadResource(Instance(), found) : nullptr;
    const void* resource = loaded ? LockResource(loaded) : nullptr;
    if (!resource) return IDCANCEL;

    // The modal loop puts the dialog on the screen once it has no message
    // left to take. Without WS_VISIBLE in its template nothing shows it
    // before that, so a dialog that posted itself WM_CLOSE in OnInitDialog
    // ends without ever being shown.
    std::vector<unsigned char> copy(static_cast<const unsigned char*>(resource),
                                    static_cast<const unsigned char*>(resource) + SizeofResource(Instance(), found));
    WORD head[2] = {};
    if (copy.size() >= sizeof head) std::memcpy(head, copy.data(), sizeof head);
    const std::size_t styleOffset = head[0] == 1 && head[1] == 0xFFFF ? 12 : 0;  // DLGTEMPLATEEX or DLGTEMPLATE
    if (copy.size() < styleOffset + sizeof(DWORD)) return IDCANCEL;
    DWORD style;
    std::memcpy(&style, copy.data() + styleOffset, sizeof style);
    style &= ~static_cast<DWORD>(WS_VISIBLE);
    std::memcpy(copy.data() + styleOffset, &style, sizeof style);

    HWND owner = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
    const INT_PTR result = DialogBoxIndirectParamA(Instance(), reinterpret_cast<LPCDLGTEMPLATEA>(copy.data()), owner,
                                                   DialogProcedure, reinterpret_cast<LPARAM>(this));
    return result == -1 ? IDCANCEL : result;
}

BOOL CDialog::Create(UINT templateId, CWnd* parent)
{
    m_nIDTemplate = templateId;
    if (parent) m_pParentWnd = parent;
    HWND parentWindow = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
    HWND window = CreateDialogParamA(Instance(), MAKEINTRESOURCEA(templateId), parentWindow, DialogProcedure,
                                     reinterpret_cast<LPARAM>(this));
    if (!window) return FALSE;
    const LONG_PTR style = GetWindowLongPtrA(window, GWL_STYLE);
    if (style & WS_CHILD) {
        // A panel laid over its parent's client area stays below the
        // parent's own controls and does not paint over them.
        SetWindowLongPtrA(window, GWL_STYLE, style | WS_CLIPSIBLINGS);
        SetWindowPos(window, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }
    return TRUE;
}

void CDialog::EndDialog(int result)
{
    if (m_hWnd) ::EndDialog(m_hWnd, result);
}

HICON CWinApp::LoadIcon(UINT id) const { return ::LoadIconA(Instance(), MAKEINTRESOURCEA(id)); }

CPaintDC::CPaintDC(CWnd* window) : m_pWnd(window), m_paint{}
{
    static_assert(sizeof(PAINTSTRUCT) <= sizeof m_paint, "the paint record does not fit");
    m_hDC = BeginPaint(m_pWnd->m_hWnd, reinterpret_cast<PAINTSTRUCT*>(m_paint));
}

CPaintDC::~CPaintDC() { EndPaint(m_pWnd->m_hWnd, reinterpret_cast<PAINTSTRUCT*>(m_paint)); }

int ShowMessageBox(HWND owner, const char* text, const char* caption, UINT type)
{
    return MessageBoxW(owner, win32text::Widen(text).c_str(), win32text::Widen(caption).c_str(), type);
}

void AfxShowInstallation(const char*)
{
    // The dialog is all a player sees.
}

void AfxShowNote(const char*) {}

void AfxShowProblem(const char*) {}

void AfxShowOtherInstallations(const char*, const char*) {}

const char* AfxWorkFolder() { return nullptr; }

void AfxShowWork(const char*, long long, long long, bool finished)
{
    // The archive reader's own trace: a full stop for each chunk.
    if (!finished) std::fputc('.', stderr);
}
