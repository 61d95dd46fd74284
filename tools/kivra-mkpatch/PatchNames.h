// The names a patch and an installation hold, the exit statuses, and the
// largest file the patcher copies.
#pragma once

#include <cstdint>
#include <string>

#include "platform/AsciiCase.h"

namespace mkpatch {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

inline constexpr char kPackFile[] = "Dev\\Kivra.pak";
inline constexpr char kPackTree[] = "Kivra_Pak";
inline constexpr char kVersionFile[] = "Version.txt";
inline constexpr char kNeedFile[] = "NeedVersion.txt";
inline constexpr char kReadMe[] = "ReadMe.txt";
inline constexpr char kLauncher[] = "KNet.exe";
inline constexpr char kPatchPack[] = "Update.pak";
inline constexpr char kArchive[] = "update.lzh";
// The patcher counts sizes in signed 32 bits.
inline constexpr std::uint64_t kMaxPatchFile = 0x7FFFFFFF;

// Whether a path of the pack's Kivra_Pak tree is its Version.txt.
inline bool IsVersionFile(const std::string& path) { return ascii::EqualIgnoringCase(path.c_str(), kVersionFile); }

// Whether a path below the game directory is the launcher.
inline bool IsLauncher(const std::string& path) { return ascii::EqualIgnoringCase(path.c_str(), kLauncher); }

}  // namespace mkpatch
