#include "tools/kivra-mkpatch/PatchTree.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <system_error>

#include "pack/PackFileManager.h"
#include "pack/PackText.h"
#include "pack/PackTree.h"
#include "platform/AsciiCase.h"
#include "platform/CodePage.h"

namespace fs = std::filesystem;

namespace mkpatch {

std::string FoldedPath(const std::string& path) { return ascii::Folded(path); }

std::uint64_t FileTimeTicks(fs::file_time_type time)
{
    // 100-nanosecond intervals between 1601-01-01 and 1970-01-01, both UTC.
    constexpr long long kUnixEpoch = 116444736000000000LL;
    using Ticks = std::chrono::duration<long long, std::ratio<1, 10000000>>;
    const long long since =
        std::chrono::duration_cast<Ticks>(std::chrono::file_clock::to_sys(time).time_since_epoch()).count();
    return since < -kUnixEpoch ? 0 : static_cast<std::uint64_t>(since + kUnixEpoch);
}

bool ListPackTree(CPackFileManager& pack, std::int32_t first, Tree& tree, std::string& error)
{
    const pack::WalkEnd end =
        pack::WalkTree(pack, first, [&](const std::string& path, const pack::DirEntry& entry, std::int32_t directory) {
            if (entry.Type() == pack::kTypeDirectory)
                tree.folders.push_back(path);
            else
                tree.files.push_back(TreeFile{
                    path, entry.Size(), directory, {}, std::uint64_t{entry.TimeHigh()} << 32 | entry.TimeLow()});
            return true;
        });
    if (end == pack::WalkEnd::kDone) return true;
    error = "directory tree is damaged (see pak fsck)";
    return false;
}

namespace {

using LeaveOutTest = std::function<bool(const fs::path&, const std::string&)>;

// A folder of the disk tree yet to be listed, and where it and the folders
// above it really are: a link that leads to one of them would lead the walk
// round for ever.
struct Pending {
    fs::path host;
    std::string path;
    std::vector<fs::path> inside;
};

// The entries of the folder at host, in name order; false, with why in
// error, when it cannot be read.
bool ReadFolder(const fs::path& host, std::vector<fs::directory_entry>& entries, std::string& error)
{
    std::error_code failure;
    for (fs::directory_iterator it(host, failure), last; !failure && it != last; it.increment(failure))
        entries.push_back(*it);
    if (failure) {
        error = host.string() + ": " + failure.message();
        return false;
    }
    std::sort(entries.begin(), entries.end(), [](const fs::directory_entry& a, const fs::directory_entry& b) {
        return a.path().filename() < b.path().filename();
    });
    return true;
}

// Lists the regular file entry, at path in the tree, unless it is left out;
// false, with why in error, when its size or time cannot be read.
bool ListFile(const fs::directory_entry& entry, const std::string& path, const LeaveOutTest& leaveOut, Tree& tree,
              std::string& error)
{
    if (leaveOut(entry.path(), path)) return true;
    std::error_code failure;
    const std::uintmax_t size = fs::file_size(entry.path(), failure);
    const fs::file_time_type time = failure ? fs::file_time_type() : entry.last_write_time(failure);
    if (failure) {
        error = entry.path().string() + ": " + failure.message();
        return false;
    }
    tree.files.push_back(TreeFile{path, size, -1, entry.path(), FileTimeTicks(time)});
    return true;
}

// Lists what folder holds: its files and folders into tree, its folders also
// into below, to be listed in turn. False, with why in error, as
// ListDiskTree.
bool ListFolder(const Pending& folder, const LeaveOutTest& leaveOut, Tree& tree, std::vector<Pending>& below,
                std::vector<std::string>& notes, std::string& error)
{
    std::vector<fs::directory_entry> entries;
    if (!ReadFolder(folder.host, entries, error)) return false;
    for (const fs::directory_entry& entry : entries) {
        std::string name;
        if (!HostToSystemText(entry.path().filename().string(), name)) {
            error = entry.path().string() + ": name has a character that code page 949 lacks";
            return false;
        }
        const std::string path = folder.path.empty() ? name : folder.path + '\\' + name;
        std::error_code ignored;
        const bool link = entry.is_symlink(ignored);
        if (entry.is_directory(ignored)) {
            const fs::path real = fs::canonical(entry.path(), ignored);
            if (link && std::find(folder.inside.begin(), folder.inside.end(), real) != folder.inside.end()) {
                notes.push_back(entry.path().string() + ": a link to a folder it lies in; passed over");
                continue;
            }
            tree.folders.push_back(path);
            std::vector<fs::path> inside = folder.inside;
            inside.push_back(real);
            below.push_back(Pending{entry.path(), path, std::move(inside)});
        } else if (entry.is_regular_file(ignored)) {
            if (!ListFile(entry, path, leaveOut, tree, error)) return false;
        } else if (link && !fs::exists(entry.path(), ignored)) {
            notes.push_back(entry.path().string() + ": a symbolic link that leads nowhere; passed over");
        } else {
            notes.push_back(entry.path().string() + ": neither a file nor a folder; passed over");
        }
    }
    return true;
}

}  // namespace

bool ListDiskTree(const fs::path& root, const LeaveOutTest& leaveOut, Tree& tree, std::vector<std::string>& notes,
                  std::string& error)
{
    std::error_code ignored;
    std::vector<Pending> pending{{root, "", {fs::canonical(root, ignored)}}};
    while (!pending.empty()) {
        const Pending folder = std::move(pending.back());
        pending.pop_back();
        std::vector<Pending> below;
        if (!ListFolder(folder, leaveOut, tree, below, notes, error)) return false;
        // Folders are walked in name order, each after the files before it.
        pending.insert(pending.end(), std::make_move_iterator(below.rbegin()), std::make_move_iterator(below.rend()));
    }
    return true;
}

namespace {

std::string LastName(const std::string& path)
{
    const std::size_t cut = path.rfind('\\');
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

}  // namespace

namespace {

// The old tree's files by their paths, as written and folded, and which of
// them a new file has matched.
struct OldFiles {
    std::map<std::string, std::size_t> exact;
    std::multimap<std::string, std::size_t> folded;
    std::vector<bool> matched;
};

// The old file that the new file at path matches: the one of that path as
// written, else of the old files that differ from it only in letter case
// the first not matched yet, or the first of them. SIZE_MAX for none.
std::size_t FindMatch(const OldFiles& old, const std::string& path)
{
    if (const auto it = old.exact.find(path); it != old.exact.end()) return it->second;
    std::size_t match = SIZE_MAX;
    const auto range = old.folded.equal_range(FoldedPath(path));
    for (auto it = range.first; it != range.second && match == SIZE_MAX; ++it)
        if (!old.matched[it->second]) match = it->second;
    if (match == SIZE_MAX && range.first != range.second) match = range.first->second;
    return match;
}

// Matches the new tree's files with the old ones and sorts them into
// changes, but for the removed; false when compare answered kUnreadable.
bool CompareFiles(const Tree& before, const Tree& after,
                  const std::function<Sameness(const TreeFile&, const TreeFile&)>& compare, OldFiles& old,
                  TreeChanges& changes)
{
    for (std::size_t i = 0; i < after.files.size(); ++i) {
        const TreeFile& file = after.files[i];
        const std::size_t match = FindMatch(old, file.path);
        if (match == SIZE_MAX) {
            changes.added.push_back(i);
            continue;
        }
        old.matched[match] = true;
        if (LastName(before.files[match].path) != LastName(file.path))
            changes.renamed.emplace_back(before.files[match].path, file.path);
        const Sameness same =
            before.files[match].size != file.size ? Sameness::kDifferent : compare(before.files[match], file);
        if (same == Sameness::kUnreadable) {
            changes.unreadable = i;
            return false;
        }
        if (same == Sameness::kDifferent) changes.changed.push_back(i);
    }
    return true;
}

// The folders the new tree adds, those renamed in letter case (listed before
// the files), and the paths that are a file in one tree and a folder in the
// other.
void CompareFolders(const Tree& before, const Tree& after, const OldFiles& old, TreeChanges& changes)
{
    std::map<std::string, std::string> oldFolders;
    std::size_t renamedFolders = 0;
    for (const std::string& folder : before.folders) oldFolders.emplace(FoldedPath(folder), folder);
    for (const std::string& folder : after.folders) {
        if (const auto it = oldFolders.find(FoldedPath(folder)); it != oldFolders.end()) {
            // Folders first, each before what it holds.
            if (LastName(it->second) != LastName(folder))
                changes.renamed.insert(changes.renamed.begin() + static_cast<std::ptrdiff_t>(renamedFolders++),
                                       {it->second, folder});
            continue;
        }
        changes.addedFolders.push_back(folder);
        if (old.folded.count(FoldedPath(folder))) changes.clashes.push_back(folder);
    }
    for (std::size_t i : changes.added)
        if (oldFolders.count(FoldedPath(after.files[i].path))) changes.clashes.push_back(after.files[i].path);
}

}  // namespace

bool CompareTrees(const Tree& before, const Tree& after,
                  const std::function<Sameness(const TreeFile&, const TreeFile&)>& compare, TreeChanges& changes)
{
    OldFiles old;
    for (std::size_t i = 0; i < before.files.size(); ++i) {
        old.exact.emplace(before.files[i].path, i);
        old.folded.emplace(FoldedPath(before.files[i].path), i);
    }
    old.matched.assign(before.files.size(), false);
    if (!CompareFiles(before, after, compare, old, changes)) return false;
    for (std::size_t i = 0; i < before.files.size(); ++i)
        if (!old.matched[i]) changes.removed.push_back(i);
    CompareFolders(before, after, old, changes);
    return true;
}

namespace {

// A character of the system code page at text[at]: its length (a lead byte
// and the byte after it, or one byte) and its code.
std::size_t CharacterAt(const std::string& text, std::size_t at, unsigned& code)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    if (byte(at) >= 0x81 && at + 1 < text.size()) {
        code = byte(at) << 8 | byte(at + 1);
        return 2;
    }
    code = byte(at);
    return 1;
}

unsigned Folded(unsigned code) { return code < 0x80 ? ascii::Fold(static_cast<unsigned char>(code)) : code; }

// Matches pattern against the whole of text; see PatternMatches. Each pair of
// positions is tried once, so stars cost no more than the two lengths'
// product.
class Glob {
public:
    Glob(const std::string& pattern, const std::string& text)
        : pattern(pattern),
          text(text),
          tried((pattern.size() + 1) * (text.size() + 1), 0)
    {}

    bool Matches() { return From(0, 0); }

private:
    bool From(std::size_t p, std::size_t t)
    {
        char& seen = tried[p * (text.size() + 1) + t];
        if (seen) return seen == 2;
        seen = 1;
        const bool result = Step(p, t);
        seen = result ? 2 : 1;
        return result;
    }

    bool Step(std::size_t p, std::size_t t)
    {
        if (p == pattern.size()) return t == text.size();
        if (pattern[p] == '*') {
            std::size_t end = p;
            while (end < pattern.size() && pattern[end] == '*') ++end;
            const bool across = end - p >= 2;
            if (across && end < pattern.size() && pattern[end] == '/' && From(end + 1, t)) return true;
            // Whole characters at a time: a trail byte may look like a letter.
            for (std::size_t at = t;;) {
                if (From(end, at)) return true;
                if (at == text.size() || (!across && text[at] == '/')) return false;
                unsigned code = 0;
                at += CharacterAt(text, at, code);
            }
        }
        if (t == text.size()) return false;
        unsigned code = 0;
        const std::size_t length = CharacterAt(text, t, code);
        if (pattern[p] == '?') return code != '/' && From(p + 1, t + length);
        if (pattern[p] == '[') {
            std::size_t next = 0;
            bool inSet = false;
            if (ReadSet(p, code, next, inSet)) return inSet && code != '/' && From(next, t + length);
        }
        const std::size_t at = pattern[p] == '\\' && p + 1 < pattern.size() ? p + 1 : p;
        unsigned wanted = 0;
        const std::size_t wantedLength = CharacterAt(pattern, at, wanted);
        return Folded(wanted) == Folded(code) && From(at + wantedLength, t + length);
    }

    // Reads the set that begins at pattern[p]: false when it has no closing
    // "]" (the "[" is then a plain character), else where the pattern goes on
    // and whether code is in the set.
    bool ReadSet(std::size_t p, unsigned code, std::size_t& next, bool& inSet) const
    {
        std::size_t at = p + 1;
        const bool negated = at < pattern.size() && (pattern[at] == '!' || pattern[at] == '^');
        if (negated) ++at;
        bool found = false;
        for (bool first = true; at < pattern.size(); first = false) {
            if (pattern[at] == ']' && !first) {
                next = at + 1;
                inSet = found != negated;
                return true;
            }
            unsigned low = 0;
            at = Member(at, low);
            unsigned high = low;
            if (at + 1 < pattern.size() && pattern[at] == '-' && pattern[at + 1] != ']') at = Member(at + 1, high);
            const unsigned upper = code >= 'a' && code <= 'z' ? code - 'a' + 'A' : code;
            for (unsigned c : {code, Folded(code), upper})
                if (low <= c && c <= high) found = true;
        }
        return false;
    }

    // One character of a set at pattern[at], a backslash taking the next
    // plainly; where the set goes on.
    std::size_t Member(std::size_t at, unsigned& code) const
    {
        if (pattern[at] == '\\' && at + 1 < pattern.size()) ++at;
        return at + CharacterAt(pattern, at, code);
    }

    const std::string& pattern;
    const std::string& text;
    std::vector<char> tried;  // 0 not yet, 1 no match (or being tried), 2 a match
};

}  // namespace

bool PatternMatches(const std::string& pattern, const std::string& path, bool folder)
{
    std::string body = pattern;
    const bool folderOnly = !body.empty() && body.back() == '/';
    while (!body.empty() && body.back() == '/') body.pop_back();
    if (folderOnly && !folder) return false;
    const bool whole = body.find('/') != std::string::npos || body.find("**") != std::string::npos;
    if (!whole) {
        const std::size_t cut = path.rfind('/');
        return Glob(body, cut == std::string::npos ? path : path.substr(cut + 1)).Matches();
    }
    while (!body.empty() && body.front() == '/') body.erase(0, 1);
    return Glob(body, path).Matches();
}

void LeaveOut(Tree& tree, const std::string& prefix, const std::function<bool(const std::string&, bool)>& excluded)
{
    // Folders already looked at, by their path with slashes.
    std::map<std::string, bool> folders;
    const auto out = [&](const std::string& path, bool folder) {
        std::string slashed = prefix + path;
        std::replace(slashed.begin(), slashed.end(), '\\', '/');
        for (std::size_t cut = slashed.find('/'); cut != std::string::npos; cut = slashed.find('/', cut + 1)) {
            const std::string above = slashed.substr(0, cut);
            const auto [it, fresh] = folders.emplace(above, false);
            if (fresh) it->second = excluded(above, true);
            if (it->second) return true;
        }
        return excluded(slashed, folder);
    };
    std::erase_if(tree.files, [&](const TreeFile& file) { return out(file.path, false); });
    std::erase_if(tree.folders, [&](const std::string& folder) { return out(folder, true); });
}

}  // namespace mkpatch
