// lzh: extracts, lists and tests LZH archives with the patcher's own reader,
// and makes them.
//
// Exit status: 0 success, 1 failure (stderr names the archive, member or
// file), 2 usage.
#include <algorithm>
#include <chrono>
#include <cerrno>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "app/Resource.h"
#include "lzh/LzhArchive.h"
#include "lzh/LzhDecoder.h"
#include "lzh/LzhEncoder.h"
#include "lzh/LzhWriter.h"
#include "platform/AsciiCase.h"
#include "platform/CodePage.h"
#include "platform/Disk.h"
#include "platform/Win32.h"

namespace fs = std::filesystem;

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: lzh x ARCHIVE   extract every member into the current directory, as the\n"
    "                       patcher does but making the folders that member names\n"
    "                       hold: a full stop on stderr for every 8192 bytes,\n"
    "                       and for each member not written one line on stderr,\n"
    "                       \"lzh: NAME: REASON\"; when a member's file can't be\n"
    "                       created a replacement name is read from stdin (on a\n"
    "                       terminal after a prompt; an empty line or the end of\n"
    "                       input skips the member)\n"
    "       lzh l ARCHIVE   list the members, one a line on stdout:\n"
    "                         METHOD LEVEL PACKED SIZE CRC NAME\n"
    "                       METHOD as \"-lh5-\", LEVEL the header level, PACKED the\n"
    "                       packed data bytes (extended headers not counted), SIZE\n"
    "                       the content bytes, CRC the header's CRC-16 in 4 lower-case\n"
    "                       hex digits, NAME the name extraction uses (control bytes\n"
    "                       shown as '?'); fields are separated by one space\n"
    "       lzh t ARCHIVE   decode every member without writing and check its CRC;\n"
    "                       one line a member on stdout: \"ok NAME\", \"skipped NAME\"\n"
    "                       (a method that is not unpacked) or \"failed NAME\", and\n"
    "                       \"lzh: NAME: REASON\" on stderr for each failure\n"
    "       lzh a [-0] ARCHIVE PATH...\n"
    "                       make ARCHIVE, a level-1 LZH archive, of the files and\n"
    "                       folders given (folders with everything below them); each\n"
    "                       file is a member named by its relative path, packed with\n"
    "                       -lh5- or stored (-lh0-) when packing would not make it\n"
    "                       smaller; -0 stores every member. Names of files or folders\n"
    "                       that differ only in letter case are refused. An ARCHIVE\n"
    "                       that exists is replaced once the new one is complete;\n"
    "                       nothing is left when it can't be\n"
    "On damaged compressed data x and t stop at once: stderr gets \"\\nBad table\\n\"\n"
    "then \"lzh: NAME: stopped here\", the exit status is 1, and x leaves any file of\n"
    "that name as it was.\n"
    "lzh --help prints this text on stdout, lzh --version the version.\n"
    "exit status: 0 success; 1 the archive can't be opened, a damaged header ends the\n"
    "walk early, a member is damaged (t) or not written (x), or a file can't be read\n"
    "or the archive written (a); 2 usage\n";

// The archive as it was named (for messages), and in the system code page
// (for the platform, which takes every path so).
const char* archivePath = "";
std::string archiveSystemPath;

// The method field of the last header read, its odd bytes shown as '?'.
void MethodText(char (&text)[6])
{
    for (int i = 0; i < 5; ++i) {
        const unsigned char c = lzhReader.header[i];
        text[i] = c < 0x21 || c > 0x7E ? '?' : static_cast<char>(c);
    }
    text[5] = 0;
}

void ReportMember(const char* name, const char* problem)
{
    EndLzhProgressLine();
    std::fputs("lzh: ", stderr);
    PutLzhName(stderr, name);
    std::fprintf(stderr, ": %s\n", problem);
}

// Every member that x does not write: one line.
void ReportUnwritten(LzhMemberProblem problem, const char* name)
{
    char method[6];
    char text[32];
    const char* reason = "not written";
    switch (problem) {
    case LzhMemberProblem::UnsupportedMethod:
        MethodText(method);
        std::snprintf(text, sizeof text, "unsupported method %s", method);
        reason = text;
        break;
    case LzhMemberProblem::EmptyName: reason = "empty name"; break;
    case LzhMemberProblem::UnsafeName: reason = "unsafe name"; break;
    case LzhMemberProblem::NameTooLong: reason = "name too long"; break;
    case LzhMemberProblem::CannotCreate: reason = "cannot be created"; break;
    case LzhMemberProblem::DataEnded: reason = "data ends early"; break;
    case LzhMemberProblem::CrcError: reason = "CRC error"; break;
    case LzhMemberProblem::CannotReplace: reason = "cannot replace the file of that name"; break;
    }
    ReportMember(name, reason);
}

// After the reader's fatal message ("Bad table", "Unable to write"): name the
// member it stopped in.
void StopInMember()
{
    std::fflush(stdout);
    ReportMember(LzhMemberName(), "stopped here");
    std::exit(kExitFailure);
}

int ReportWalkEnd()
{
    if (lzhReader.walkEnd != LzhWalkEnd::BadHeader) return kExitSuccess;
    EndLzhProgressLine();
    std::fprintf(stderr, "lzh: %s: damaged header of member %u; the walk ends there\n", archivePath,
                 static_cast<unsigned>(lzhReader.membersRead + 1));
    return kExitFailure;
}

int CannotOpen()
{
    std::fprintf(stderr, "lzh: %s: cannot open\n", archivePath);
    return kExitFailure;
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Makes the folders that a member's name holds, those missing; a name that
// would reach outside the current directory, or whose member is not written,
// makes none.
void MakeMemberFolders(const char* name)
{
    if (!IsLzhMethodSupported() || !IsSafeMemberName(name)) return;
    const std::string path = name;
    for (std::size_t i = 1; i < path.size(); ++i) {
        if (IsSeparator(path[i]) && !IsSeparator(path[i - 1])) MakeDiskDirectory(path.substr(0, i).c_str());
    }
}

int Extract()
{
    if (!OpenLzhArchive(archiveSystemPath.c_str())) return CannotOpen();
    lzhStop = StopInMember;
    lzhReportMember = ReportUnwritten;
    while (ReadMemberHeader()) {
        MakeMemberFolders(LzhMemberName());
        ExtractMember();
    }
    CloseLzhArchive();
    const int status = ReportWalkEnd();
    return lzhReader.membersFailed > 0 ? kExitFailure : status;
}

int List()
{
    if (!OpenLzhArchive(archiveSystemPath.c_str())) return CannotOpen();
    while (ReadMemberHeader()) {
        char method[6];
        MethodText(method);
        std::printf("%s %u %lu %lu %04x ", method, static_cast<unsigned>(lzhReader.level),
                    static_cast<unsigned long>(lzhReader.packedSize),
                    static_cast<unsigned long>(lzhReader.unpackedSize), static_cast<unsigned>(lzhReader.memberCrc));
        PutLzhName(stdout, LzhMemberName());
        std::putchar('\n');
        SkipMember();
    }
    CloseLzhArchive();
    return ReportWalkEnd();
}

int Test()
{
    if (!OpenLzhArchive(archiveSystemPath.c_str())) return CannotOpen();
    lzhStop = StopInMember;
    int status = kExitSuccess;
    while (ReadMemberHeader()) {
        const LzhMemberCheck check = TestMember();
        const char* result = "ok";
        if (check == LzhMemberCheck::Skipped) {
            result = "skipped";
        } else if (check != LzhMemberCheck::Good) {
            result = "failed";
            ReportMember(LzhMemberName(), check == LzhMemberCheck::CrcError ? "CRC error" : "data ends early");
            status = kExitFailure;
        }
        std::printf("%s ", result);
        PutLzhName(stdout, LzhMemberName());
        std::putchar('\n');
    }
    CloseLzhArchive();
    return ReportWalkEnd() == kExitSuccess ? status : kExitFailure;
}

// --- Making an archive -------------------------------------------------------

struct NewMember {
    fs::path disk;
    std::string name;  // in the system code page, backslashes between folders
    std::uint64_t size;
    std::uint32_t dosTime;
};

int Fail(const std::string& subject, const char* reason)
{
    std::fprintf(stderr, "lzh: %s: %s\n", subject.c_str(), reason);
    return kExitFailure;
}

bool Refuse(const std::string& subject, const char* reason)
{
    Fail(subject, reason);
    return false;
}

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

std::uint32_t ModificationTime(const fs::path& disk)
{
    std::error_code error;
    const fs::file_time_type written = fs::last_write_time(disk, error);
    if (error) return LzhDosTime(1980, 1, 1, 0, 0, 0);
    const std::time_t time = std::chrono::system_clock::to_time_t(
        std::chrono::time_point_cast<std::chrono::system_clock::duration>(std::chrono::file_clock::to_sys(written)));
    const std::tm* local = std::localtime(&time);
    if (!local) return LzhDosTime(1980, 1, 1, 0, 0, 0);
    return LzhDosTime(local->tm_year + 1900, local->tm_mon + 1, local->tm_mday, local->tm_hour, local->tm_min,
                      local->tm_sec);
}

class MemberList {
public:
    explicit MemberList(const fs::path& archive) : archive_(archive) {}

    // Adds what typed names: a file, or a folder with everything below it.
    bool Add(const std::string& typed)
    {
        std::error_code error;
        const fs::file_status status = fs::status(typed, error);
        if (fs::is_directory(status)) return AddFolder(typed, MemberBase(typed));
        // Named on its own, the archive cannot be its own member: replacing
        // it would lose what it holds. Met in a folder, it is passed over.
        if (fs::exists(archive_, error) && fs::equivalent(typed, archive_, error))
            return Refuse(typed, "is the archive being written");
        return AddFile(typed, MemberBase(typed), status);
    }

    std::vector<NewMember> members;

private:
    bool AddFile(const fs::path& disk, const fs::path& name, const fs::file_status& status)
    {
        std::error_code error;
        if (!fs::exists(status)) return Refuse(disk.string(), "cannot be read (no such file)");
        if (!fs::is_regular_file(status)) return Refuse(disk.string(), "not a file or folder");
        if (fs::exists(archive_, error) && fs::equivalent(disk, archive_, error)) return true;
        NewMember member{disk, "", fs::file_size(disk, error), ModificationTime(disk)};
        if (error) return Refuse(disk.string(), "cannot be read");
        if (member.size > kLzhMaxEncodedSize) return Refuse(disk.string(), "too large for an LZH member");
        std::string hostName = name.generic_string();
        std::replace(hostName.begin(), hostName.end(), '/', '\\');
        if (hostName.empty()) return Refuse(disk.string(), "gives a member no name");
        if (!HostToSystemText(hostName, member.name))
            return Refuse(disk.string(), "name has a character that code page 949 lacks");
        if (member.name.size() > kLzhMaxWrittenName) return Refuse(disk.string(), "member name longer than 230 bytes");
        if (names_.count(member.name)) return true;
        if (!SpelledAlike(hostName, disk)) return false;
        names_.insert(member.name);
        members.push_back(std::move(member));
        return true;
    }

    // Windows, the game pack and our x take names without regard to letter
    // case, other extractors do not: the archive would not give the same files
    // to all of them. So a name and each folder above it must be spelled as
    // the first member that had it (ASCII case folded, in the host's UTF-8,
    // where no byte of a multibyte character is a letter).
    bool SpelledAlike(const std::string& hostName, const fs::path& disk)
    {
        for (std::size_t end = hostName.find('\\');; end = hostName.find('\\', end + 1)) {
            const std::string exact = hostName.substr(0, end);
            std::string folded = exact;
            for (char& c : folded) c = ascii::Fold(c);
            const auto [known, added] = spellings_.emplace(folded, exact);
            if (!added && known->second != exact)
                return Refuse(disk.string(),
                              ("member name differs from " + known->second + " only in letter case").c_str());
            if (end == std::string::npos) return true;
        }
    }

    // The folder's entries by name, folders and files alike; symbolic links
    // to folders are not followed.
    bool AddFolder(const fs::path& disk, const fs::path& name)
    {
        std::error_code error;
        std::vector<fs::directory_entry> entries;
        for (fs::directory_iterator it(disk, error), end; !error && it != end; it.increment(error))
            entries.push_back(*it);
        if (error) return Refuse(disk.string(), "cannot be read");
        std::sort(entries.begin(), entries.end(), [](const fs::directory_entry& a, const fs::directory_entry& b) {
            return a.path().filename() < b.path().filename();
        });
        for (const fs::directory_entry& entry : entries) {
            const fs::path childName = name / entry.path().filename();
            std::error_code ignored;
            if (entry.is_symlink(ignored) && entry.is_directory(ignored)) continue;
            const bool ok = entry.is_directory(ignored) ? AddFolder(entry.path(), childName)
                                                        : AddFile(entry.path(), childName, entry.status(ignored));
            if (!ok) return false;
        }
        return true;
    }

    fs::path archive_;
    std::set<std::string> names_;
    std::map<std::string, std::string> spellings_;  // folded, as first spelled
};

// A new file beside the archive to write it in, taken exclusively.
std::FILE* CreateTemporary(const std::string& archive, std::string& temporary)
{
    std::size_t directory = archive.size();
    while (directory > 0 && !IsSeparator(archive[directory - 1])) --directory;
    for (unsigned counter = 0; counter < 10000; ++counter) {
        char name[64];
        std::snprintf(name, sizeof name, "~lzh%lu-%u.tmp", static_cast<unsigned long>(GetCurrentProcessId()), counter);
        temporary = archive.substr(0, directory) + name;
        if (std::FILE* file = CreateNewDiskFile(temporary.c_str())) return file;
        if (errno != EEXIST) break;
    }
    return nullptr;
}

int Add(int argc, char** argv)
{
    int first = 2;
    bool compress = true;
    if (first < argc && std::strcmp(argv[first], "-0") == 0) {
        compress = false;
        ++first;
    }
    if (argc - first < 2) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    archivePath = argv[first];
    if (!HostToSystemText(archivePath, archiveSystemPath)) return Fail(archivePath, "cannot be created");

    MemberList list{fs::path(archivePath)};
    for (int i = first + 1; i < argc; ++i)
        if (!list.Add(argv[i])) return kExitFailure;

    std::string temporary;
    std::FILE* archive = CreateTemporary(archiveSystemPath, temporary);
    if (!archive) return Fail(archivePath, "cannot be created");
    static char buffer[1u << 16];
    std::setvbuf(archive, buffer, _IOFBF, sizeof buffer);
    auto abandon = [&](const std::string& subject, const char* reason) {
        std::fclose(archive);
        RemoveDiskFile(temporary.c_str());
        return Fail(subject, reason);
    };
    for (const NewMember& member : list.members) {
        std::FILE* source = std::fopen(member.disk.string().c_str(), "rb");
        if (!source) return abandon(member.disk.string(), "cannot be read");
        const LzhAddedMember added =
            AddLzhMember(archive, source, member.size, member.name.c_str(), member.dosTime, compress);
        std::fclose(source);
        switch (added.result) {
        case LzhAddResult::Added: break;
        case LzhAddResult::CannotRead: return abandon(member.disk.string(), "cannot be read");
        case LzhAddResult::TooLarge: return abandon(member.disk.string(), "too large for an LZH member");
        case LzhAddResult::NameTooLong: return abandon(member.disk.string(), "member name longer than 230 bytes");
        case LzhAddResult::CannotWrite: return abandon(archivePath, "cannot be written");
        }
    }
    if (!EndLzhArchive(archive)) return abandon(archivePath, "cannot be written");
    const bool closed = std::fclose(archive) == 0;
    if (!closed || RenameDiskFile(temporary.c_str(), archiveSystemPath.c_str()) != 0) {
        RemoveDiskFile(temporary.c_str());
        return Fail(archivePath, "cannot be written");
    }
    return kExitSuccess;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, stdout);
        return kExitSuccess;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::puts("lzh " KIVRA_UPDATE_VERSION_TEXT);
        return kExitSuccess;
    }
    if (argc >= 2 && std::strcmp(argv[1], "a") == 0) return Add(argc, argv);
    if (argc != 3 || std::strlen(argv[1]) != 1) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    archivePath = argv[2];
    // A name without a form in the code page cannot be opened.
    if (!HostToSystemText(archivePath, archiveSystemPath)) return CannotOpen();
    switch (argv[1][0]) {
    case 'x': return Extract();
    case 'l': return List();
    case 't': return Test();
    default: std::fputs(kUsage, stderr); return kExitUsage;
    }
}
