// What a window is on Linux: a model of what it would show (no code of its own).
//
// Kept by the window calls (Windows.cpp) and the dialog framework
// (Framework.cpp), drawn by the terminal front-end (Terminal.h).
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/Win32.h"

class CDialog;

struct HWND__ {
    int id = 0;             // control id, or the template id of a dialog
    std::string className;  // "Dialog", "Button", "Static", "msctls_progress32"
    std::string text;       // system code page bytes
    bool visible = false;
    int rangeLow = 0;
    int rangeHigh = 100;
    int position = 0;
    HWND__* parent = nullptr;
    std::vector<std::unique_ptr<HWND__>> children;
    CDialog* dialog = nullptr;  // the dialog object behind a dialog window
    std::deque<UINT> posted;    // messages posted and not yet taken
    bool ended = false;         // a modal dialog whose EndDialog ran
    int result = 0;
    std::string shown;      // what the terminal last showed of it
    int shownPercent = -1;  // the progress its last line gave, on a terminal or off it
    // A window of another program (FindWindowA): it stands for that
    // program's process; a message posted to it goes to that program
    // (PostToProgram, platform/posix/ProgramWindows.h).
    bool otherProgram = false;
    int pid = 0;  // the process behind it
};
