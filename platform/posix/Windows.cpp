// The window calls on Linux, over the window models (platform/Win32.h).
//
// SendMessageA, PostMessageA, ShowWindow, SetWindowTextA, GetDlgItem and
// MessageBoxA.
#include "platform/Win32.h"
#include "platform/posix/ProgramWindows.h"
#include "platform/posix/Terminal.h"
#include "platform/posix/WindowModel.h"

namespace {

bool IsDialog(HWND window) { return window && window->className == "Dialog"; }

// The dialog a control belongs to (or the dialog itself).
HWND OwningDialog(HWND window)
{
    while (window && !IsDialog(window)) window = window->parent;
    return window;
}

void Changed(HWND window)
{
    HWND dialog = OwningDialog(window);
    if (dialog && dialog->visible) terminal::Redraw(dialog);
}

}  // namespace

LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (!window) return 0;
    switch (message) {
    case PBM_SETRANGE32: {
        const int low = window->rangeLow;
        const int high = window->rangeHigh;
        window->rangeLow = static_cast<int>(wParam);
        window->rangeHigh = static_cast<int>(lParam);
        Changed(window);
        return static_cast<LRESULT>(static_cast<unsigned>(low) & 0xFFFFu) | (static_cast<LRESULT>(high & 0xFFFF) << 16);
    }
    case PBM_SETPOS: {
        const int previous = window->position;
        window->position = static_cast<int>(wParam);
        Changed(window);
        return previous;
    }
    default: return 0;
    }
}

BOOL PostMessageA(HWND window, UINT message, WPARAM, LPARAM)
{
    if (!window) return FALSE;
    if (window->otherProgram) return PostToProgram(window, message);
    window->posted.push_back(message);
    return TRUE;
}

BOOL ShowWindow(HWND window, int command)
{
    if (!window) return FALSE;
    const bool was = window->visible;
    window->visible = command != SW_HIDE;
    if (was != window->visible) {
        if (IsDialog(window) && window->visible)
            terminal::Redraw(window);
        else
            Changed(window->parent ? window->parent : window);
    }
    return was;
}

BOOL SetWindowTextA(HWND window, LPCSTR text)
{
    if (!window) return FALSE;
    if (window->text != text) {
        window->text = text;
        Changed(window);
    }
    return TRUE;
}

HWND GetDlgItem(HWND dialog, int id)
{
    if (!dialog) return nullptr;
    for (auto& child : dialog->children)
        if (child->id == id && !IsDialog(child.get())) return child.get();
    return nullptr;
}

int MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT)
{
    terminal::ShowMessageBox(caption ? caption : "", text ? text : "");
    return IDOK;
}
