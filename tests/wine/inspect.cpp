// Looks at the patcher's windows from inside the patcher. The UI driver
// hooks the thread that owns a window with InspectHook and sends the window
// one of two registered messages; the hook, running in the patcher, answers
// with window properties of that window:
//
// "KivraSuite.Measure" (to a static): lays the static's text out with the
// static's own font as a centred static lays it out (DrawText with
// DT_CALCRECT, wrapping at the client width) and sets
//   KivraSuite.TextHeight   the laid-out text's height, pixels
//   KivraSuite.TextWidth    its widest line, pixels
//   KivraSuite.LineHeight   the font's height (tmHeight), pixels
//   KivraSuite.Measured     1
//
// "KivraSuite.Print" (to a top-level window): copies the window as it has
// been drawn, frame and controls, from its window DC, writes the picture as
// window.bmp beside this DLL (24 bits a pixel) and sets KivraSuite.Printed
// to 1.
#include <windows.h>

#include <string>

namespace {

void SetNumber(HWND window, const wchar_t* name, LONG value)
{
    SetPropW(window, name, reinterpret_cast<HANDLE>(static_cast<INT_PTR>(value)));
}

void Measure(HWND window)
{
    RECT client{};
    GetClientRect(window, &client);
    wchar_t text[2048];
    const int length = GetWindowTextW(window, text, 2048);
    HDC dc = GetDC(window);
    if (!dc) return;
    const HGDIOBJ previous = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(window, WM_GETFONT, 0, 0)));
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    RECT laidOut{0, 0, client.right, 0};
    DrawTextW(dc, text, length, &laidOut, DT_CALCRECT | DT_CENTER | DT_WORDBREAK | DT_EXPANDTABS | DT_NOCLIP);
    SelectObject(dc, previous);
    ReleaseDC(window, dc);
    SetNumber(window, L"KivraSuite.TextHeight", laidOut.bottom - laidOut.top);
    SetNumber(window, L"KivraSuite.TextWidth", laidOut.right - laidOut.left);
    SetNumber(window, L"KivraSuite.LineHeight", metrics.tmHeight);
    SetNumber(window, L"KivraSuite.Measured", 1);
}

std::wstring PicturePath()
{
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&PicturePath), &self);
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(self, path, MAX_PATH);
    const std::wstring dll(path, n);
    return dll.substr(0, dll.find_last_of(L"\\/") + 1) + L"window.bmp";
}

void Print(HWND window)
{
    RECT r{};
    GetWindowRect(window, &r);
    const LONG width = r.right - r.left;
    const LONG height = r.bottom - r.top;
    if (width <= 0 || height <= 0) return;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;  // rows bottom up, as a BMP file has them
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    void* bits = nullptr;
    HBITMAP picture = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    ReleaseDC(nullptr, screen);
    if (!picture) {
        DeleteDC(dc);
        return;
    }
    const HGDIOBJ previous = SelectObject(dc, picture);
    HDC drawn = GetWindowDC(window);
    BitBlt(dc, 0, 0, width, height, drawn, 0, 0, SRCCOPY);
    ReleaseDC(window, drawn);
    GdiFlush();

    const DWORD size = static_cast<DWORD>((width * 3 + 3) / 4 * 4 * height);
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = file.bfOffBits + size;
    info.bmiHeader.biSizeImage = size;
    HANDLE out = CreateFileW(PicturePath().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (out != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(out, &file, sizeof file, &written, nullptr);
        WriteFile(out, &info.bmiHeader, sizeof info.bmiHeader, &written, nullptr);
        WriteFile(out, bits, size, &written, nullptr);
        CloseHandle(out);
        SetNumber(window, L"KivraSuite.Printed", 1);
    }
    SelectObject(dc, previous);
    DeleteObject(picture);
    DeleteDC(dc);
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK InspectHook(int code, WPARAM wParam, LPARAM lParam)
{
    const auto* message = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && message->message == RegisterWindowMessageW(L"KivraSuite.Measure"))
        Measure(message->hwnd);
    else if (code == HC_ACTION && message->message == RegisterWindowMessageW(L"KivraSuite.Print"))
        Print(message->hwnd);
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
