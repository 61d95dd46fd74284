// What the fuzzing harnesses share: a scratch directory that goes away at
// exit, and whole-file writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <unistd.h>

namespace fuzzsupport {

inline std::string& ScratchPath()
{
    static std::string path;
    return path;
}

inline void RemoveScratch()
{
    std::error_code ignored;
    if (!ScratchPath().empty()) std::filesystem::remove_all(ScratchPath(), ignored);
}

// Makes a fresh directory, in memory when the machine has /dev/shm, removed
// when the process exits normally. Its path.
inline const std::string& MakeScratchDirectory()
{
    if (ScratchPath().empty()) {
        std::error_code error;
        std::string base = std::filesystem::is_directory("/dev/shm", error)
                               ? "/dev/shm"
                               : std::filesystem::temp_directory_path().string();
        std::string pattern = base + "/kivra-fuzz-XXXXXX";
        if (!mkdtemp(pattern.data())) std::abort();
        ScratchPath() = pattern;
        std::atexit(RemoveScratch);
    }
    return ScratchPath();
}

inline void EnterScratchDirectory()
{
    if (chdir(MakeScratchDirectory().c_str()) != 0) std::abort();
}

inline bool WriteWholeFile(const std::string& path, const void* data, std::size_t size)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool written = size == 0 || std::fwrite(data, size, 1, f) == 1;
    return std::fclose(f) == 0 && written;
}

}  // namespace fuzzsupport
