// How the texts of a pack reach people (Printing.h).
#include "tools/pak/Printing.h"

#include <cstdio>

#include "platform/CodePage.h"
#include "tools/pak/Terminal.h"

namespace paktool {

std::string Shown(const std::string& text) { return SystemTextForDisplay(text); }

void PrintEscaped(const char* text)
{
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if (*p == '\n')
            std::fputs("\\n", stdout);
        else if (*p == '\r')
            std::fputs("\\r", stdout);
        else if (*p < 0x20 || *p == 0x7f)
            std::printf("\\x%02x", *p);
        else
            std::putchar(*p);
    }
}

void PrintPackText(const std::string& text) { PrintEscaped(StdoutIsTerminal() ? Shown(text).c_str() : text.c_str()); }

}  // namespace paktool
