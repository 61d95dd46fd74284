// The progress line of import and export (Progress.h).
#include "tools/pak/Progress.h"

#include <cstdio>

#include "tools/common/ProgressLine.h"
#include "tools/pak/Terminal.h"

namespace paktool {

Progress::Progress(const char* verb, std::uint64_t files, std::uint64_t bytes)
    : verb(verb),
      totalFiles(files),
      totalBytes(bytes),
      shown(StderrIsTerminal())
{
    Show();
}

Progress::~Progress() { progress::EndLine(); }

void Progress::FileDone(std::uint64_t size)
{
    ++files;
    bytes += size;
    Show();
}

void Progress::Show()
{
    if (!shown) return;
    char line[160];
    std::snprintf(line, sizeof line, "\r%s: %llu/%llu files, %llu/%llu bytes", verb,
                  static_cast<unsigned long long>(files), static_cast<unsigned long long>(totalFiles),
                  static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(totalBytes));
    progress::Show(line);
}

}  // namespace paktool
