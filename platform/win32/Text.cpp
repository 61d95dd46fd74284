#include "platform/win32/Text.h"

#include <vector>

namespace win32text {

namespace {

// Code page 949 where the system has it; else the system's own.
UINT CodePage() { return IsValidCodePage(kTextCodePage) ? kTextCodePage : CP_ACP; }

}  // namespace

std::wstring Widen(const char* text)
{
    if (!text || !*text) return {};
    const int length = MultiByteToWideChar(CodePage(), 0, text, -1, nullptr, 0);
    if (length <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CodePage(), 0, text, -1, wide.data(), length);
    wide.resize(static_cast<std::size_t>(length) - 1);
    return wide;
}

std::string Narrow(const std::wstring& text)
{
    if (text.empty()) return {};
    const int length = WideCharToMultiByte(CodePage(), 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return {};
    std::string narrow(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CodePage(), 0, text.c_str(), -1, narrow.data(), length, nullptr, nullptr);
    narrow.resize(static_cast<std::size_t>(length) - 1);
    return narrow;
}

std::string GetText(HWND window)
{
    const int length = GetWindowTextLengthW(window);
    if (length <= 0) return {};
    std::vector<wchar_t> wide(static_cast<std::size_t>(length) + 1);
    const int read = GetWindowTextW(window, wide.data(), length + 1);
    return Narrow(std::wstring(wide.data(), read > 0 ? static_cast<std::size_t>(read) : 0));
}

void SetText(HWND window, const char* text)
{
    const std::wstring wide = Widen(text);
    const int length = GetWindowTextLengthW(window);
    if (length == static_cast<int>(wide.size())) {
        std::vector<wchar_t> current(static_cast<std::size_t>(length) + 1);
        GetWindowTextW(window, current.data(), length + 1);
        if (wide.compare(0, wide.size(), current.data(), static_cast<std::size_t>(length)) == 0) return;
    }
    SetWindowTextW(window, wide.c_str());
}

}  // namespace win32text
