// Painting the minimised dialog on Linux: there is none (platform/Win32.h).
//
// IsIconic, GetSystemMetrics, GetClientRect and DrawIcon.
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
