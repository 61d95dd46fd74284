// Whether a progress line is open on stderr.
#include "tools/common/ProgressLine.h"

#include <cstdio>

namespace progress {

namespace {

bool lineOpen = false;

}  // namespace

void Show(const char* text)
{
    std::fputs(text, stderr);
    std::fflush(stderr);
    lineOpen = true;
}

void EndLine()
{
    if (lineOpen) std::fputc('\n', stderr);
    lineOpen = false;
}

void ClearLine()
{
    if (!lineOpen) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    lineOpen = false;
}

}  // namespace progress
