// Standard output checked as the process exits (StandardOutput.h).
#include "platform/StandardOutput.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char* programName = "";

// A write that failed earlier leaves the stream's error flag set; the last
// one fails here, when the buffer is flushed.
void CheckStandardOutput()
{
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    if (flushed && std::ferror(stdout) == 0) return;
    const int error = errno;
    std::fprintf(stderr, "%s: standard output: cannot be written", programName);
    if (error != 0) std::fprintf(stderr, " (%s)", std::strerror(error));
    std::fputc('\n', stderr);
    std::_Exit(1);
}

}  // namespace

void CheckStandardOutputAtExit(const char* program)
{
    programName = program;
    std::atexit(CheckStandardOutput);
}
