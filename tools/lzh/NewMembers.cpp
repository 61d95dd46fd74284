// lzh a's members: the paths given, folders walked with the tools' one rule
// for links and special files, every name checked before the archive is
// written.
#include "tools/lzh/NewMembers.h"

#include <algorithm>
#include <chrono>
#include <ctime>

#include "lzh/LzhEncoder.h"
#include "lzh/LzhWriter.h"
#include "platform/AsciiCase.h"
#include "platform/CodePage.h"
#include "tools/common/TreeEntry.h"
#include "tools/lzh/LzhTool.h"

namespace fs = std::filesystem;

namespace lzhtool {

namespace {

// The path a typed PATH gives its members: without a root, "." or leading
// "..", with '/' between folders; empty for the current directory.
fs::path MemberBase(const std::string& typed)
{
    fs::path base;
    bool leading = true;
    for (const fs::path& part : fs::path(typed).lexically_normal().relative_path()) {
        if (part.empty() || part == ".") continue;
        if (leading && part == "..") continue;
        leading = false;
        base /= part;
    }
    return base;
}

// The file's modification time, in seconds since 1970; -1 when unknown.
long long UnixTime(const fs::path& disk)
{
    std::error_code error;
    const fs::file_time_type written = fs::last_write_time(disk, error);
    if (error) return -1;
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::file_clock::to_sys(written).time_since_epoch())
        .count();
}

// That time as MS-DOS keeps it, in local time.
std::uint32_t DosTime(long long unixTime)
{
    const std::time_t time = static_cast<std::time_t>(unixTime);
    const std::tm* local = unixTime < 0 ? nullptr : std::localtime(&time);
    if (!local) return LzhDosTime(1980, 1, 1, 0, 0, 0);
    return LzhDosTime(local->tm_year + 1900, local->tm_mon + 1, local->tm_mday, local->tm_hour, local->tm_min,
                      local->tm_sec);
}

// A member of what is at disk, named later.
NewMember MemberOf(const fs::path& disk, bool folder, std::uint64_t size)
{
    const long long time = UnixTime(disk);
    return NewMember{disk, "", "", folder, size, DosTime(time), time};
}

}  // namespace

std::string MemberKey(const std::string& hostPath)
{
    std::string key = hostPath;
    for (char& c : key) c = c == '/' ? '\\' : ascii::Fold(c);
    while (!key.empty() && key.back() == '\\') key.pop_back();
    return key;
}

NewMembers::NewMembers(const fs::path& archive, bool followLinks) : archive_(archive), followLinks_(followLinks) {}

bool NewMembers::IsTheArchive(const fs::path& disk) const
{
    std::error_code error;
    return fs::exists(archive_, error) && fs::equivalent(disk, archive_, error);
}

bool NewMembers::Add(const std::string& typed)
{
    // Named on the command line, a link is followed.
    std::error_code error;
    const fs::file_status status = fs::status(typed, error);
    if (fs::is_directory(status)) {
        const tree::Walk walk(typed, followLinks_);
        std::vector<fs::path> inside{walk.Root()};
        return AddFolder(walk, typed, MemberBase(typed), inside);
    }
    // Named on its own, the archive cannot be its own member: replacing it
    // would lose what it holds. Met in a folder, it is passed over.
    if (IsTheArchive(typed)) return Refuse(typed, "is the archive being written");
    if (!fs::exists(status)) return Refuse(typed, "cannot be read (no such file)");
    if (!fs::is_regular_file(status)) return Refuse(typed, "not a file or folder");
    return AddFile(typed, MemberBase(typed));
}

bool NewMembers::AddFile(const fs::path& disk, const fs::path& name)
{
    if (IsTheArchive(disk)) return true;
    std::error_code error;
    NewMember member = MemberOf(disk, false, fs::file_size(disk, error));
    if (error) return Refuse(disk.string(), "cannot be read");
    if (member.size > kLzhMaxEncodedSize) return Refuse(disk.string(), "too large for an LZH member");
    return AddMember(std::move(member), name.generic_string());
}

bool NewMembers::AddMember(NewMember member, const std::string& hostName)
{
    const std::string& disk = member.disk.string();
    if (hostName.empty()) return Refuse(disk, "gives a member no name");
    const std::string stored = member.folder ? hostName + '/' : hostName;
    if (!HostToSystemText(stored, member.name)) return Refuse(disk, "name has a character that code page 949 lacks");
    if (member.name.size() > kLzhMaxWrittenName) return Refuse(disk, "member name longer than 230 bytes");
    member.key = MemberKey(hostName);
    const auto [known, added] = byKey_.emplace(member.key, members_.size());
    if (!added) {
        const NewMember& first = members_[known->second];
        std::error_code error;
        // The same folder, or the same file, reached twice is one member.
        if (first.name == member.name && (member.folder || fs::equivalent(first.disk, member.disk, error))) return true;
        const std::string shown = first.name.substr(0, first.name.size() - (first.folder ? 1 : 0));
        std::string shownHost;
        SystemToHostText(shown, shownHost);
        return Refuse(disk, ("would be the same member, " + shownHost + ", as " + first.disk.string()).c_str());
    }
    if (!SpelledAlike(hostName, member.disk)) {
        byKey_.erase(known);
        return false;
    }
    members_.push_back(std::move(member));
    return true;
}

// Windows, the game pack and our x take names without regard to letter
// case, other extractors do not: the archive would not give the same files
// to all of them. So each folder above a name must be spelled as the first
// member that had it.
bool NewMembers::SpelledAlike(const std::string& hostName, const fs::path& disk)
{
    for (std::size_t end = hostName.find('/'); end != std::string::npos; end = hostName.find('/', end + 1)) {
        const std::string exact = hostName.substr(0, end);
        const auto [known, added] = spellings_.emplace(MemberKey(exact), exact);
        if (!added && known->second != exact)
            return Refuse(disk.string(), ("its folder differs from " + known->second + " only in letter case").c_str());
    }
    spellings_.emplace(MemberKey(hostName), hostName);
    return true;
}

// The folder's member, then its entries by name, folders and files alike,
// as the tools' rule for what a tree holds says.
bool NewMembers::AddFolder(const tree::Walk& walk, const fs::path& disk, const fs::path& name,
                           std::vector<fs::path>& inside)
{
    if (!name.empty() && !AddMember(MemberOf(disk, true, 0), name.generic_string())) return false;
    std::error_code error;
    std::vector<fs::directory_entry> entries;
    for (fs::directory_iterator it(disk, error), end; !error && it != end; it.increment(error)) entries.push_back(*it);
    if (error) return Refuse(disk.string(), "cannot be read");
    std::sort(entries.begin(), entries.end(), [](const fs::directory_entry& a, const fs::directory_entry& b) {
        return a.path().filename() < b.path().filename();
    });
    for (const fs::directory_entry& entry : entries) {
        const fs::path childName = name / entry.path().filename();
        const tree::Met met = walk.Meet(entry, inside);
        bool ok = true;
        switch (met.kind) {
        case tree::Kind::kPassedOver: tree::ReportPassedOver("lzh", entry.path(), met.reason); break;
        case tree::Kind::kFile: ok = AddFile(entry.path(), childName); break;
        case tree::Kind::kFolder:
            inside.push_back(met.canonical);
            ok = AddFolder(walk, entry.path(), childName, inside);
            inside.pop_back();
            break;
        }
        if (!ok) return false;
    }
    return true;
}

}  // namespace lzhtool
