// The counts that import and export show as they go: files and bytes done
// of all there are, on the tools' one progress line (ProgressLine.h).
#pragma once

#include <cstdint>

namespace paktool {

// The progress line of import and export, shown only on a terminal.
class Progress {
public:
    Progress(const char* verb, std::uint64_t files, std::uint64_t bytes);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void FileDone(std::uint64_t size);

private:
    void Show();

    const char* verb;
    std::uint64_t totalFiles;
    std::uint64_t totalBytes;
    bool shown;
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
};

}  // namespace paktool
