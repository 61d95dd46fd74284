#include "tools/kivra-mkpatch/Report.h"

#include <cstdio>

#include "platform/CodePage.h"
#include "platform/Win32.h"

namespace mkpatch {

namespace {

bool progressShown = false;
bool onTerminal = false;

}  // namespace

void FindTerminal() { onTerminal = _isatty(_fileno(stderr)) != 0; }

void ShowProgress(const char* what, std::uint64_t done, std::uint64_t total, const char* unit)
{
    if (!onTerminal) return;
    std::fprintf(stderr, "\r\033[K%s: %llu of %llu %s", what, static_cast<unsigned long long>(done),
                 static_cast<unsigned long long>(total), unit);
    std::fflush(stderr);
    progressShown = true;
}

void ShowStep(const char* what, std::uint64_t bytes)
{
    if (!onTerminal) return;
    std::fprintf(stderr, "\r\033[K%s: %llu bytes", what, static_cast<unsigned long long>(bytes));
    std::fflush(stderr);
    progressShown = true;
}

void EndProgressLine()
{
    if (!progressShown) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    progressShown = false;
}

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
