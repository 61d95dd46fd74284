// The pack as a disk file: opened for a verb, and told apart from the other
// disk files a verb reads or writes, however either is named.
#pragma once

#include <filesystem>
#include <string>

namespace paktool {

// Opens the pack for a verb: read-only, or read-write for the verbs that
// change it, which a table that calls blocks past the data area in use
// refuses unless the verb is repairing it. False after saying why.
bool OpenPack(const std::string& path, bool writable, bool repairing = false);

// The disk file at source is not the pack itself: false after saying why.
bool NotThePack(const std::filesystem::path& source, const char* reason);

// The platform's name (system code page) for target, a disk file that get or
// export writes, when that file is not the pack being read; false after
// saying why. The platform finds a name in any letter case, as Windows does,
// so it is the file it finds that must not be the pack.
bool TargetName(const std::filesystem::path& target, std::string& system);

}  // namespace paktool
