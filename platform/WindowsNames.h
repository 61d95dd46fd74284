// The names Windows cannot give a file or folder: what the game's disk may
// not hold, whichever system the patch is applied on.
#pragma once

// Why Windows cannot use name as one component of a path, or null when it
// can: a device's name (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9, in
// any letter case, with or without an extension), a name ending in a dot or
// a space, a control character, or one of < > : " / \ | ? *.
const char* WindowsNameFault(const char* name);
