// The program's texts on the screen: byte strings in code page 949 (Korean),
// shown through the wide-character functions so that they read correctly
// whatever the system's code page.
#pragma once

#include <string>

#include "platform/Win32.h"

namespace win32text {

// The code page of every text the program shows.
inline constexpr UINT kTextCodePage = 949;

std::wstring Widen(const char* text);
std::string Narrow(const std::wstring& text);

// A window's text, as code page 949 bytes.
std::string GetText(HWND window);
// Sets a window's text unless it reads so already (a repaint would only
// flicker).
void SetText(HWND window, const char* text);

}  // namespace win32text
