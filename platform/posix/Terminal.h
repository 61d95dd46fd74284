// The terminal front-end of the window models on Linux (Terminal.cpp).
//
// The dialogs, message boxes and progress drawn on standard output, and
// questions asked on standard input.
#pragma once

#include <string>

struct HWND__;

namespace terminal {

// Draws a dialog after a change of its own or of one of its controls.
void Redraw(HWND__* dialog);
// Shows a message box and waits (on a terminal) for Enter.
void ShowMessageBox(const char* caption, const char* text);
// Asks which of a modal dialog's visible buttons is clicked; the button's id.
int AskForButton(HWND__* dialog);
// Ends a progress line that is still open, so other output starts afresh.
// ExitProcess does so too.
void FinishLine();
// AfxShowWork's Linux meaning (platform/Framework.h).
void ShowWork(const char* what, long long done, long long total, bool finished);
// The text converted from the system code page (949) to UTF-8.
std::string ToUtf8(const std::string& text);

}  // namespace terminal
