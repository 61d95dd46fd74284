#include "tools/kivra-mkpatch/PatchTree.h"

#include <algorithm>
#include <map>
#include <set>
#include <system_error>

#include "pack/PackFileManager.h"
#include "pack/PackText.h"
#include "pack/PackTree.h"
#include "platform/CodePage.h"

namespace fs = std::filesystem;

namespace mkpatch {

std::string FoldedPath(const std::string& path)
{
    std::string key = path;
    for (char& c : key) c = static_cast<char>(pack::FoldAscii(static_cast<unsigned char>(c)));
    return key;
}

bool ListPackTree(CPackFileManager& pack, std::int32_t first, Tree& tree, std::string& error)
{
    const pack::WalkEnd end =
        pack::WalkTree(pack, first, [&](const std::string& path, const pack::DirEntry& entry, std::int32_t directory) {
            if (entry.Type() == pack::kTypeDirectory)
                tree.folders.push_back(path);
            else
                tree.files.push_back(TreeFile{path, entry.Size(), directory, {}});
            return true;
        });
    if (end == pack::WalkEnd::kDone) return true;
    error = "directory tree is damaged (see pak fsck)";
    return false;
}

bool ListDiskTree(const fs::path& root, const std::function<bool(const fs::path&, const std::string&)>& leaveOut,
                  Tree& tree, std::vector<std::string>& notes, std::string& error)
{
    struct Pending {
        fs::path host;
        std::string path;
    };
    std::vector<Pending> pending{{root, ""}};
    while (!pending.empty()) {
        const Pending folder = std::move(pending.back());
        pending.pop_back();
        std::vector<fs::directory_entry> entries;
        std::error_code failure;
        for (fs::directory_iterator it(folder.host, failure), last; !failure && it != last; it.increment(failure))
            entries.push_back(*it);
        if (failure) {
            error = folder.host.string() + ": " + failure.message();
            return false;
        }
        std::sort(entries.begin(), entries.end(), [](const fs::directory_entry& a, const fs::directory_entry& b) {
            return a.path().filename() < b.path().filename();
        });
        std::vector<Pending> below;
        for (const fs::directory_entry& entry : entries) {
            std::string name;
            if (!HostToSystemText(entry.path().filename().string(), name)) {
                error = entry.path().string() + ": name has a character that code page 949 lacks";
                return false;
            }
            const std::string path = folder.path.empty() ? name : folder.path + '\\' + name;
            std::error_code ignored;
            if (entry.is_symlink(ignored) && entry.is_directory(ignored)) {
                notes.push_back(entry.path().string() + ": a link to a folder; passed over");
            } else if (entry.is_directory(ignored)) {
                tree.folders.push_back(path);
                below.push_back(Pending{entry.path(), path});
            } else if (entry.is_regular_file(ignored)) {
                if (leaveOut(entry.path(), path)) continue;
                const std::uintmax_t size = fs::file_size(entry.path(), failure);
                if (failure) {
                    error = entry.path().string() + ": " + failure.message();
                    return false;
                }
                tree.files.push_back(TreeFile{path, size, -1, entry.path()});
            } else {
                notes.push_back(entry.path().string() + ": neither a file nor a folder; passed over");
            }
        }
        // Folders are walked in name order, each after the files before it.
        pending.insert(pending.end(), std::make_move_iterator(below.rbegin()), std::make_move_iterator(below.rend()));
    }
    return true;
}

bool CompareTrees(const Tree& before, const Tree& after,
                  const std::function<Sameness(const TreeFile&, const TreeFile&)>& compare, TreeChanges& changes)
{
    std::map<std::string, std::size_t> exact;
    std::multimap<std::string, std::size_t> folded;
    for (std::size_t i = 0; i < before.files.size(); ++i) {
        exact.emplace(before.files[i].path, i);
        folded.emplace(FoldedPath(before.files[i].path), i);
    }
    std::vector<bool> matched(before.files.size(), false);
    for (std::size_t i = 0; i < after.files.size(); ++i) {
        const TreeFile& file = after.files[i];
        std::size_t match = SIZE_MAX;
        if (const auto it = exact.find(file.path); it != exact.end()) {
            match = it->second;
        } else {
            // Of the old files that differ only in letter case, the first
            // not matched yet.
            const auto range = folded.equal_range(FoldedPath(file.path));
            for (auto it = range.first; it != range.second && match == SIZE_MAX; ++it)
                if (!matched[it->second]) match = it->second;
            if (match == SIZE_MAX && range.first != range.second) match = range.first->second;
        }
        if (match == SIZE_MAX) {
            changes.added.push_back(i);
            continue;
        }
        matched[match] = true;
        const Sameness same =
            before.files[match].size != file.size ? Sameness::kDifferent : compare(before.files[match], file);
        if (same == Sameness::kUnreadable) {
            changes.unreadable = i;
            return false;
        }
        if (same == Sameness::kDifferent) changes.changed.push_back(i);
    }
    for (std::size_t i = 0; i < before.files.size(); ++i)
        if (!matched[i]) changes.removed.push_back(i);
    std::set<std::string> oldFolders;
    for (const std::string& folder : before.folders) oldFolders.insert(FoldedPath(folder));
    for (const std::string& folder : after.folders) {
        if (oldFolders.count(FoldedPath(folder))) continue;
        changes.addedFolders.push_back(folder);
        if (folded.count(FoldedPath(folder))) changes.clashes.push_back(folder);
    }
    for (std::size_t i : changes.added)
        if (oldFolders.count(FoldedPath(after.files[i].path))) changes.clashes.push_back(after.files[i].path);
    return true;
}

}  // namespace mkpatch
