// lzh a and lzh d: the archive's members as they are, changed, and written to
// a replacement that takes the archive's place only once it is complete.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "lzh/LzhArchive.h"
#include "lzh/LzhWriter.h"
#include "platform/CodePage.h"
#include "platform/Disk.h"
#include "tools/lzh/LzhTool.h"
#include "tools/lzh/NewMembers.h"

namespace fs = std::filesystem;

namespace lzhtool {

namespace {

// A member of the archive as it is: its bytes, header and data, are copied
// as they stand.
struct OldMember {
    long start;  // the header's first byte
    long end;    // past the member's data
    std::string key;
    std::string shown;  // its path in the host's text
    bool folder;
};

// The archive held against other writers while it is changed: one that
// finds it held is refused, so that neither change is lost.
class ArchiveHold {
public:
    ~ArchiveHold() { Release(); }
    bool Take(const Archive& archive)
    {
        file_ = OpenLockedDiskFile(archive.system.c_str(), "rb", DiskLock::kExclusive);
        return file_ || Refuse(archive.typed, errno == EBUSY ? "in use by another program" : "cannot be read");
    }
    void Release()
    {
        if (file_) CloseDiskFile(file_);
        file_ = nullptr;
    }

private:
    std::FILE* file_ = nullptr;
};

ArchiveHold hold;

// What the archive holds, or false after saying why it cannot be changed.
// An archive that is not there holds nothing; one that is, is held.
bool ReadOldMembers(const Archive& archive, std::vector<OldMember>& members)
{
    DiskPathInfo info{};
    if (StatDiskPath(archive.system.c_str(), &info) != 0)
        return errno == ENOENT || Refuse(archive.typed, "cannot be read");
    if (!info.file) return Refuse(archive.typed, "is not a file");
    if (!hold.Take(archive)) return false;
    if (!OpenLzhArchive(archive.system.c_str(), LzhNaming::Folders)) return Refuse(archive.typed, "cannot be read");
    for (;;) {
        const long start = TellDiskFile(lzhReader.archive);
        if (!ReadMemberHeader()) break;
        const long data = TellDiskFile(lzhReader.archive);
        // Counted wide: a packed size may be near 4 GB where a long holds 2.
        const long long end = static_cast<long long>(data) + lzhReader.packedLeft;
        if (start < 0 || data < 0 || end > lzhReader.archiveSize) {
            CloseLzhArchive();
            return Refuse(archive.typed, "is damaged (a member's data runs past its end): not changed");
        }
        std::string shown;
        SystemToHostText(LzhMemberPath(), shown);
        members.push_back({start, static_cast<long>(end), MemberKey(shown), shown, IsLzhFolderMember()});
        SkipMember();
    }
    // A walk cut short by a failed read would lose what comes after.
    const bool whole =
        lzhReader.walkEnd == LzhWalkEnd::EndMarker ||
        (lzhReader.walkEnd == LzhWalkEnd::FileEnd && TellDiskFile(lzhReader.archive) == lzhReader.archiveSize);
    const bool damaged = lzhReader.walkEnd == LzhWalkEnd::BadHeader;
    CloseLzhArchive();
    if (damaged) return Refuse(archive.typed, "is no LZH archive, or a damaged one: not changed");
    return whole || Refuse(archive.typed, "cannot be read");
}

// One member of the archive to be: copied from the old one, or made new.
struct Placed {
    const OldMember* old;
    const NewMember* made;
    const std::string& Key() const { return old ? old->key : made->key; }
    bool Folder() const { return old ? old->folder : made->folder; }
    std::string Shown() const { return old ? old->shown : made->disk.string(); }
};

// No file may stand where another member has a folder.
bool NoFileHoldsMembers(const std::vector<Placed>& placed)
{
    // Sorted, the paths below one follow it at once.
    std::vector<std::pair<std::string, const Placed*>> keys;
    for (const Placed& p : placed) keys.emplace_back(p.Key() + '\\', &p);
    std::sort(keys.begin(), keys.end());
    for (std::size_t i = 1; i < keys.size(); ++i) {
        const auto& [holder, file] = keys[i - 1];
        if (file->Folder() || keys[i].first == holder || keys[i].first.rfind(holder, 0) != 0) continue;
        return Refuse(keys[i].second->Shown(), ("would be a member below the file " + file->Shown()).c_str());
    }
    return true;
}

class ArchiveWriter {
public:
    explicit ArchiveWriter(const Archive& archive) : archive_(archive) {}

    // Writes the members in their order; true when the archive took the
    // new content whole.
    bool Write(const std::vector<Placed>& placed, bool compress)
    {
        out_ = BeginDiskReplacement(archive_.system.c_str());
        if (!out_) return Refuse(archive_.typed, errno == EISDIR ? "is a folder" : "cannot be written");
        static char buffer[1u << 16];
        std::setvbuf(out_, buffer, _IOFBF, sizeof buffer);
        bool ok = true;
        for (const Placed& p : placed) {
            ok = p.old ? CopyOld(*p.old) : AddNew(*p.made, compress);
            if (!ok) break;
        }
        ok = ok && (EndLzhArchive(out_) || Refuse(archive_.typed, "cannot be written"));
        if (old_) CloseDiskFile(old_);
#ifdef _WIN32
        // Windows does not put a file in the place of one that is open.
        hold.Release();
#endif
        const bool replaced =
            FinishDiskReplacement(out_, ok ? DiskReplacementEnd::kReplace : DiskReplacementEnd::kDrop) == 0;
        return ok && (replaced || Refuse(archive_.typed, "cannot be written"));
    }

private:
    bool CopyOld(const OldMember& member)
    {
        if (!old_) old_ = OpenDiskFile(archive_.system.c_str(), "rb");
        if (!old_ || SeekDiskFile(old_, member.start, SEEK_SET) != 0) return Refuse(archive_.typed, "cannot be read");
        static std::uint8_t buffer[1u << 16];
        for (long left = member.end - member.start; left > 0;) {
            const std::size_t n = static_cast<std::size_t>(std::min<long>(left, sizeof buffer));
            if (ReadDiskFile(buffer, 1, n, old_) != n) return Refuse(archive_.typed, "cannot be read");
            if (WriteDiskFile(buffer, 1, n, out_) != n) return Refuse(archive_.typed, "cannot be written");
            left -= static_cast<long>(n);
        }
        return true;
    }

    bool AddNew(const NewMember& member, bool compress)
    {
        const std::string disk = member.disk.string();
        if (member.folder)
            return AddLzhFolderMember(out_, member.name.c_str(), member.dosTime, member.unixTime) ||
                   Refuse(archive_.typed, "cannot be written");
        std::FILE* source = std::fopen(disk.c_str(), "rb");
        if (!source) return Refuse(disk, "cannot be read");
        const LzhAddedMember added =
            AddLzhMember(out_, source, member.size, member.name.c_str(), member.dosTime, compress, member.unixTime);
        std::fclose(source);
        switch (added.result) {
        case LzhAddResult::Added: return true;
        case LzhAddResult::CannotRead: return Refuse(disk, "cannot be read");
        case LzhAddResult::TooLarge: return Refuse(disk, "too large for an LZH member");
        case LzhAddResult::NameTooLong: return Refuse(disk, "member name longer than 230 bytes");
        case LzhAddResult::CannotWrite: break;
        }
        return Refuse(archive_.typed, "cannot be written");
    }

    const Archive& archive_;
    std::FILE* out_ = nullptr;
    std::FILE* old_ = nullptr;
};

bool NameArchive(const char* typed, Archive& archive)
{
    archive = {typed, ""};
    return HostToSystemText(archive.typed, archive.system) || Refuse(archive.typed, "cannot be created");
}

}  // namespace

int AddToArchive(int argc, char** argv)
{
    int first = 1;
    bool compress = true;
    bool followLinks = false;
    for (; first < argc && argv[first][0] == '-'; ++first) {
        if (std::strcmp(argv[first], "-0") == 0)
            compress = false;
        else if (std::strcmp(argv[first], "-L") == 0 || std::strcmp(argv[first], "--dereference") == 0)
            followLinks = true;
        else if (std::strcmp(argv[first], "--") == 0 && ++first)
            break;
        else
            return Usage(std::string("a: unknown option '") + argv[first] + "'");
    }
    if (argc - first < 2)
        return Usage(argc == first ? "a: missing ARCHIVE" : "a: missing PATH (lzh a ARCHIVE PATH...)");
    Archive archive;
    if (!NameArchive(argv[first], archive)) return kExitFailure;

    // Everything is looked at before the archive is written.
    NewMembers made{fs::path(archive.typed), followLinks};
    for (int i = first + 1; i < argc; ++i)
        if (!made.Add(argv[i])) return kExitFailure;
    std::vector<OldMember> old;
    if (!ReadOldMembers(archive, old)) return kExitFailure;

    // Members of the same name take the old ones' places; the rest follow.
    std::vector<Placed> placed;
    std::vector<bool> used(made.Members().size(), false);
    for (const OldMember& member : old) {
        const long same = made.Find(member.key);
        if (same < 0) {
            placed.push_back({&member, nullptr});
            continue;
        }
        const std::size_t index = static_cast<std::size_t>(same);
        if (!used[index]) placed.push_back({nullptr, &made.Members()[index]});
        used[index] = true;
    }
    for (std::size_t i = 0; i < used.size(); ++i)
        if (!used[i]) placed.push_back({nullptr, &made.Members()[i]});
    if (!NoFileHoldsMembers(placed)) return kExitFailure;
    return ArchiveWriter(archive).Write(placed, compress) ? kExitSuccess : kExitFailure;
}

int DeleteFromArchive(int argc, char** argv)
{
    if (argc < 3) return Usage(argc < 2 ? "d: missing ARCHIVE" : "d: missing NAME (lzh d ARCHIVE NAME...)");
    Archive archive;
    if (!NameArchive(argv[1], archive)) return kExitFailure;
    std::vector<OldMember> old;
    if (!ReadOldMembers(archive, old)) return kExitFailure;
    DiskPathInfo info{};
    if (StatDiskPath(archive.system.c_str(), &info) != 0) return Fail(archive.typed, "cannot open");

    // A name takes its member, and a folder's everything below it.
    std::vector<bool> removed(old.size(), false);
    for (int i = 2; i < argc; ++i) {
        const std::string key = MemberKey(argv[i]);
        bool found = false;
        for (std::size_t m = 0; m < old.size(); ++m) {
            const std::string& k = old[m].key;
            if (k == key || (k.size() > key.size() && k.compare(0, key.size(), key) == 0 && k[key.size()] == '\\')) {
                removed[m] = true;
                found = true;
            }
        }
        if (!found || key.empty()) return Fail(argv[i], "no such member");
    }
    std::vector<Placed> placed;
    for (std::size_t m = 0; m < old.size(); ++m)
        if (!removed[m]) placed.push_back({&old[m], nullptr});
    return ArchiveWriter(archive).Write(placed, true) ? kExitSuccess : kExitFailure;
}

}  // namespace lzhtool
