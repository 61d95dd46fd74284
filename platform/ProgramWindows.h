// The other programs' windows the application looks for, each with the
// program that owns it: what FindWindowA's Linux meaning finds them by
// (platform/Win32.h). Windows finds the windows themselves and ignores this.
#pragma once

struct ProgramWindow {
    const char* className;
    const char* title;
    const char* program;  // "Kivra.exe"
};

// Registers the table (it must outlive its use) before FindWindowA is called.
void AfxRegisterProgramWindows(const ProgramWindow* windows, int count);
// The registered table and its length (null and 0 before registration).
const ProgramWindow* AfxProgramWindows(int& count);
