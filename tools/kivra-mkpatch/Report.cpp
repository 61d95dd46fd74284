#include "tools/kivra-mkpatch/Report.h"

#include <cstdio>

#include "platform/CodePage.h"
#include "platform/Win32.h"
#include "tools/common/ProgressLine.h"

namespace mkpatch {

namespace {

bool onTerminal = false;

}  // namespace

void FindTerminal() { onTerminal = _isatty(_fileno(stderr)) != 0; }

void ShowProgress(const char* what, std::uint64_t done, std::uint64_t total, const char* unit)
{
    if (!onTerminal) return;
    char line[512];
    std::snprintf(line, sizeof line, "\r\033[K%s: %llu of %llu %s", what, static_cast<unsigned long long>(done),
                  static_cast<unsigned long long>(total), unit);
    progress::Show(line);
}

void ShowStep(const char* what, std::uint64_t bytes)
{
    if (!onTerminal) return;
    char line[512];
    std::snprintf(line, sizeof line, "\r\033[K%s: %llu bytes", what, static_cast<unsigned long long>(bytes));
    progress::Show(line);
}

void EndProgressLine() { progress::ClearLine(); }

void SayError(const std::string& text)
{
    EndProgressLine();
    std::fprintf(stderr, "kivra-mkpatch: %s\n", text.c_str());
}

void Warn(const std::string& text)
{
    EndProgressLine();
    std::fprintf(stderr, "kivra-mkpatch: warning: %s\n", text.c_str());
}

std::string Shown(const std::string& path) { return SystemTextForDisplay(path); }

}  // namespace mkpatch
