// Painting the minimised dialog: Linux has no minimised dialog.
#include "platform/Win32.h"

BOOL IsIconic(HWND) { return FALSE; }

int GetSystemMetrics(int index) { return index == SM_CXICON || index == SM_CYICON ? 32 : 0; }

BOOL GetClientRect(HWND, RECT* rect)
{
    if (!rect) return FALSE;
    *rect = RECT{0, 0, 0, 0};
    return TRUE;
}

BOOL DrawIcon(HDC, int, int, HICON) { return TRUE; }

HICON LoadIconA(HINSTANCE, LPCSTR) { return nullptr; }
