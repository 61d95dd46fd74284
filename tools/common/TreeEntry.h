// What the tools that take a disk tree (pak import, lzh a) do with each entry
// they meet in it: one rule for both.
//
// A folder is walked and a regular file is read. A symbolic link met inside
// the tree is neither followed nor stored, unless the walk follows links
// (-L): then a link that leads to a file or folder inside the tree is taken
// as what it leads to, and one that leads outside it, nowhere, or to a
// folder the walk is already inside, is passed over. FIFOs, sockets and
// devices are passed over. A path typed on the command line is not "met":
// its links are followed, as tar follows them.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tree {

enum class Kind {
    kFolder,      // walk it
    kFile,        // read it
    kPassedOver,  // named on stderr with Met::reason, and left out
};

struct Met {
    Kind kind;
    const char* reason;               // for kPassedOver: "symbolic link", "FIFO", ...
    std::filesystem::path canonical;  // for kFolder: where it really is, for Walk::Inside
};

// The tree being walked.
class Walk {
public:
    // root as typed; followLinks as -L asks.
    Walk(const std::filesystem::path& root, bool followLinks);

    // What to do with entry, found in a folder of the tree whose own
    // canonical path and those of the folders above it up to the root are
    // inside (the root first).
    Met Meet(const std::filesystem::directory_entry& entry, const std::vector<std::filesystem::path>& inside) const;

    const std::filesystem::path& Root() const { return root_; }

private:
    bool InTree(const std::filesystem::path& canonical) const;

    std::filesystem::path root_;  // canonical
    bool followLinks_;
};

// The line that names an entry passed over: "TOOL: PATH: REASON, passed over".
void ReportPassedOver(const char* tool, const std::filesystem::path& path, const char* reason);

}  // namespace tree
