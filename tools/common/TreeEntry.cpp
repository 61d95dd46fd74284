// The one rule for entries met in a disk tree.
#include "tools/common/TreeEntry.h"

#include <algorithm>
#include <cstdio>

namespace fs = std::filesystem;

namespace tree {

namespace {

// What a file of that status is, when it is neither a folder nor a file.
const char* SpecialKind(const fs::file_status& status)
{
    switch (status.type()) {
    case fs::file_type::fifo: return "FIFO";
    case fs::file_type::socket: return "socket";
    case fs::file_type::block:
    case fs::file_type::character: return "device";
    default: return "neither a file nor a folder";
    }
}

}  // namespace

Walk::Walk(const fs::path& root, bool followLinks) : followLinks_(followLinks)
{
    std::error_code error;
    root_ = fs::weakly_canonical(fs::absolute(root, error), error);
}

bool Walk::InTree(const fs::path& canonical) const
{
    // Component by component: "/tree" does not hold "/tree2".
    auto [rootEnd, at] = std::mismatch(root_.begin(), root_.end(), canonical.begin(), canonical.end());
    return rootEnd == root_.end();
}

Met Walk::Meet(const fs::directory_entry& entry, const std::vector<fs::path>& inside) const
{
    std::error_code error;
    const fs::file_status own = entry.symlink_status(error);
    if (error) return {Kind::kPassedOver, "cannot be looked at", {}};
    fs::file_status status = own;
    fs::path canonical = entry.path();
    if (fs::is_symlink(own)) {
        if (!followLinks_) return {Kind::kPassedOver, "symbolic link (-L follows links inside the tree)", {}};
        status = fs::status(entry.path(), error);
        if (error || !fs::exists(status)) return {Kind::kPassedOver, "dangling symbolic link", {}};
        canonical = fs::canonical(entry.path(), error);
        if (error) return {Kind::kPassedOver, "dangling symbolic link", {}};
        if (!InTree(canonical)) return {Kind::kPassedOver, "symbolic link that leads outside the tree", {}};
        if (fs::is_directory(status) && std::find(inside.begin(), inside.end(), canonical) != inside.end())
            return {Kind::kPassedOver, "symbolic link to a folder that holds it", {}};
    } else if (fs::is_directory(status)) {
        canonical = inside.empty() ? root_ / entry.path().filename() : inside.back() / entry.path().filename();
    }
    if (fs::is_directory(status)) return {Kind::kFolder, nullptr, canonical};
    if (fs::is_regular_file(status)) return {Kind::kFile, nullptr, {}};
    return {Kind::kPassedOver, SpecialKind(status), {}};
}

void ReportPassedOver(const char* tool, const fs::path& path, const char* reason)
{
    std::fprintf(stderr, "%s: %s: %s, passed over\n", tool, path.string().c_str(), reason);
}

}  // namespace tree
