// On Windows the system code page is the ANSI code page, the one the C
// runtime, the file system calls and the console take narrow text in:
// nothing to convert.
#include "platform/CodePage.h"

bool SystemToHostText(std::string_view text, std::string& out)
{
    out.assign(text);
    return true;
}

bool HostToSystemText(std::string_view text, std::string& out)
{
    out.assign(text);
    return true;
}

std::string SystemTextForDisplay(std::string_view text) { return std::string(text); }
