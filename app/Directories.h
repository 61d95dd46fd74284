// Where the patcher finds its own files and the game.
#pragma once

#include "platform/Win32.h"

// Fills UpdaterDir with the folder the Linux command line names
// (AfxWorkFolder), or else the program's own folder, from its command line;
// and GameDir from the registry's InstallPath. False when GameDir cannot be
// found.
bool InitDirectories();

// Says where else the game is installed, when the registry in use lacks it
// (on Linux, other Wine prefixes).
void ShowOtherInstallations();

// Reads a string value of expectedType into buffer. size: the capacity on
// the way in; the bytes stored, or needed, on the way out.
bool ReadRegistryString(HKEY key, const char* valueName, DWORD expectedType, char* buffer, DWORD& size);
