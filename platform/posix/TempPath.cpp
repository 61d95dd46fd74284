// The folder for temporary files on Linux (GetTempPathA, platform/Win32.h).
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Win32.h"
#include "platform/posix/CodePage.h"

DWORD GetTempPathA(DWORD size, LPSTR buffer)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string text;
    // A folder whose name the code page lacks could not be named again.
    if (!tmp || !*tmp || !codepage::Convert(codepage::Direction::kToCp949, tmp, text, codepage::Unconvertible::kFail))
        text = "/tmp";
    if (text.back() != '/') text += '/';
    if (text.size() + 1 > size) return static_cast<DWORD>(text.size() + 1);
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}
