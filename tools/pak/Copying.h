// Files copied between the disk and the pack, in the patcher's items: into
// the pack by put and import, out of it by get, cat and export.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "tools/pak/PackPaths.h"

namespace paktool {

enum class Copy {
    kDone,
    kSourceFailed,
    kTargetFailed
};

// Copies the open pack file at handle to the disk file to; the handle stays
// open.
Copy CopyOutOfPack(int handle, std::FILE* to);

// The size of a regular disk file that fits in a pack; false after saying why.
bool DiskFileSize(const std::filesystem::path& disk, std::uint64_t& size);

// Copies a disk file of size bytes into the pack at path, making missing
// directories and replacing a file that is there. A copy that fails is not
// stored: a file that was there stays as it was.
bool PutFile(const std::filesystem::path& disk, std::uint64_t size, const PackPath& path);

// Copies the open pack file source onto the disk file target and closes the
// handle. The target is written beside the file and takes its place only
// when complete: a copy that fails leaves a file that was there as it was.
bool GetFile(int handle, const std::string& source, const std::filesystem::path& target);

}  // namespace paktool
