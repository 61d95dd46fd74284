// What a verb of pak is handed and what it hands back: the words that follow
// its name on the command line, and the exit status the run ends with.
#pragma once

#include <string>
#include <vector>

namespace paktool {

// Exit status: 0 success, 1 failure (one line on stderr says why), 2 usage.
// A verb returns kExitUsage for arguments it cannot take; main then prints
// the usage.
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

using Args = std::vector<std::string>;

}  // namespace paktool
