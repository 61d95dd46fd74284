// lzh x, e, l, v, t and p: one walk of the archive each, members named with
// their folders.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "lzh/LzhArchive.h"
#include "lzh/LzhDecoder.h"
#include "platform/CodePage.h"
#include "platform/Disk.h"
#include "platform/WindowsNames.h"
#include "tools/common/ProgressLine.h"
#include "tools/lzh/LzhTool.h"
#include "tools/lzh/Overwrite.h"
#include "tools/lzh/Selection.h"

namespace lzhtool {

namespace {

// The method field of the last header read, its odd bytes shown as '?'.
void MethodText(char (&text)[6])
{
    for (int i = 0; i < 5; ++i) {
        const unsigned char c = lzhReader.header[i];
        text[i] = c < 0x21 || c > 0x7E ? '?' : static_cast<char>(c);
    }
    text[5] = 0;
}

// Members not written that fail nothing: links passed over, files the user
// chose to keep.
unsigned membersLeftAlone = 0;

// Why Windows cannot give a component of path to a file.
std::string WindowsReason(const char* path)
{
    std::string name;
    for (const char* p = path;; ++p) {
        if (*p && *p != '\\' && *p != '/') {
            name += *p;
            continue;
        }
        if (const char* fault = name.empty() ? nullptr : WindowsNameFault(name.c_str()))
            return std::string("a name Windows cannot give a file: ") + (name == path ? "it " : name + " ") + fault;
        if (!*p) return "a name Windows cannot give a file";
        name.clear();
    }
}

// The words that say why a member is not written or tested.
std::string ProblemReason(LzhMemberProblem problem, const char* name)
{
    char method[6];
    switch (problem) {
    case LzhMemberProblem::UnsupportedMethod: MethodText(method); return std::string("unsupported method ") + method;
    case LzhMemberProblem::EmptyName: return "empty name";
    case LzhMemberProblem::UnsafeName: return "unsafe name";
    case LzhMemberProblem::NameTooLong: return "name too long";
    case LzhMemberProblem::WindowsName: return WindowsReason(name);
    default: return "not written";
    }
}

// Every member that x and e do not write: one line, but for a file the user
// chose to keep.
void ReportUnwritten(LzhMemberProblem problem, const char* name)
{
    std::string words;
    const char* reason = "not written";
    switch (problem) {
    case LzhMemberProblem::UnsupportedMethod:
    case LzhMemberProblem::WindowsName:
        words = ProblemReason(problem, name);
        reason = words.c_str();
        break;
    case LzhMemberProblem::EmptyName: reason = "empty name"; break;
    case LzhMemberProblem::UnsafeName: reason = "unsafe name"; break;
    case LzhMemberProblem::NameTooLong: reason = "name too long"; break;
    case LzhMemberProblem::CannotCreate: reason = "cannot be created"; break;
    case LzhMemberProblem::DataEnded: reason = "data ends early"; break;
    case LzhMemberProblem::CrcError: reason = "CRC error"; break;
    case LzhMemberProblem::CannotReplace: reason = "cannot replace the file of that name"; break;
    case LzhMemberProblem::SymbolicLink:
        reason = "symbolic link, passed over";
        ++membersLeftAlone;
        break;
    case LzhMemberProblem::ThroughLink: reason = "its path passes through a symbolic link"; break;
    case LzhMemberProblem::NotAFile: reason = "is there, and no regular file"; break;
    case LzhMemberProblem::Protected: reason = "is a file that may not be written"; break;
    case LzhMemberProblem::Kept:
        if (LastKept() == KeptFor::Answer) {
            ++membersLeftAlone;
            return;
        }
        reason =
            LastKept() == KeptFor::ReadOnly ? "is read-only; kept (-f replaces it)" : "exists; kept (-f replaces it)";
        break;
    }
    ReportMember(name, reason);
}

// After the reader's fatal message ("\nBad table\n", "\nUnable to write\n"),
// which ends any line of full stops with its own line feeds: name the member
// it stopped in.
void StopInMember()
{
    std::fflush(stdout);
    PutMemberLine(LzhMemberPath(), "stopped here");
    std::exit(kExitFailure);
}

// A full stop on stderr for every chunk written, or nothing (q, and p).
void PutProgressStop() { progress::Show("."); }
void NoProgress() {}

int ReportWalkEnd(const Archive& archive)
{
    if (lzhReader.walkEnd != LzhWalkEnd::BadHeader) return kExitSuccess;
    progress::EndLine();
    std::fprintf(stderr, "lzh: %s: damaged header of member %u; the walk ends there\n", archive.typed.c_str(),
                 static_cast<unsigned>(lzhReader.membersRead + 1));
    return kExitFailure;
}

// The member's path as people read it: '/' between folders, a folder's
// ending with '/'.
std::string ShownPath()
{
    std::string path = LzhMemberPath();
    for (char& c : path)
        if (c == '\\') c = '/';
    if (IsLzhFolderMember() && !path.empty() && path.back() != '/') path += '/';
    return path;
}

void PutTime(long long seconds)
{
    const std::time_t time = static_cast<std::time_t>(seconds);
    const std::tm* local = std::localtime(&time);
    char text[32] = "0000-00-00 00:00:00";
    if (local) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", local);
    std::fputs(text, stdout);
}

// "******" for nothing, else the packed size as a share of the size.
void PutRatio(unsigned long long packed, unsigned long long size)
{
    if (size == 0)
        std::fputs("******", stdout);
    else
        std::printf("%5.1f%%", 100.0 * static_cast<double>(packed) / static_cast<double>(size));
}

// True when the member would be written over the archive being read. Most
// members name nothing yet, which the disk layer tells at once.
bool IsTheArchive(const char* archiveHost)
{
    char host[kHostPathMax];
    DiskPathInfo info{};
    std::error_code error;
    return archiveHost[0] && StatDiskPath(LzhMemberPath(), &info) == 0 &&
           ResolveDiskPath(LzhMemberPath(), host, sizeof host) && std::filesystem::equivalent(host, archiveHost, error);
}

const char kListRule[] = "---------- ---------- ------ ------ ----- ---- ------------------- ----\n";

// w=DIR: the archive named so that it is found from anywhere, then DIR,
// made when it is missing, the current directory. False after saying why.
bool EnterFolder(const std::string& into, Archive& archive)
{
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(archive.typed, error);
    std::string system;
    if (!error && HostToSystemText(absolute.string(), system)) archive.system = system;
    std::string folder;
    if (!HostToSystemText(into, folder)) return Refuse(into, "has a character that code page 949 lacks");
    std::filesystem::create_directories(into, error);
    DiskPathInfo info{};
    if (StatDiskPath(folder.c_str(), &info) != 0 || !info.directory) return Refuse(into, "cannot be made");
    if (ChangeDiskDirectory(folder.c_str()) != 0) return Refuse(into, "cannot be entered");
    return true;
}

// e: the member goes into the current directory under its own name, its
// folders left out.
void DropFolders()
{
    char* path = lzhReader.path;
    std::size_t last = 0;
    for (std::size_t i = 0; path[i]; ++i)
        if (path[i] == '\\') last = i + 1;
    std::memmove(path, path + last, std::strlen(path + last) + 1);
}

}  // namespace

int ExtractArchive(const Archive& typed, const WalkOptions& options)
{
    Archive archive = typed;
    if (!options.into.empty() && !EnterFolder(options.into, archive)) return kExitFailure;
    if (!OpenLzhArchive(archive.system.c_str(), LzhNaming::Folders)) return CannotOpen(archive);
    lzhReader.durable = true;
    lzhStop = StopInMember;
    lzhReportMember = ReportUnwritten;
    lzhChunkWritten = options.quiet ? NoProgress : PutProgressStop;
    lzhBeforePrompt = progress::EndLine;
    KeepOrReplace(options.force);
    Selection selection(options.members);
    struct Folder {
        std::string path;
        long long time;
    };
    std::vector<Folder> folders;
    int status = kExitSuccess;
    char archiveHost[kHostPathMax] = "";
    if (!ResolveDiskPath(archive.system.c_str(), archiveHost, sizeof archiveHost)) archiveHost[0] = 0;
    auto setTime = [&status](const char* path, long long time) {
        if (SetDiskFileTime(path, time) == 0) return;
        ReportMember(path, "its time cannot be set");
        status = kExitFailure;
    };
    while (ReadMemberHeader()) {
        if (!selection.Takes() || (options.command == 'e' && IsLzhFolderMember())) {
            SkipMember();
            continue;
        }
        if (options.command == 'e') DropFolders();
        if (!IsLzhFolderMember() && IsTheArchive(archiveHost)) {
            ReportMember(LzhMemberPath(), "is the archive being read");
            SkipMember();
            status = kExitFailure;
            continue;
        }
        if (!ExtractMember()) continue;
        if (IsLzhFolderMember()) {
            // The current directory, when it has no name, keeps its own time.
            if (LzhMemberPath()[0]) folders.push_back({LzhMemberPath(), LzhMemberTime()});
        } else {
            setTime(LzhMemberPath(), LzhMemberTime());
        }
    }
    CloseLzhArchive();
    // Writing into a folder changes its time: folders take theirs after
    // their contents, the deepest first.
    for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder)
        setTime(folder->path.c_str(), folder->time);
    // The new files, and the names of all, reach the disk in one sync.
    if (SyncDiskVolume("") != 0) {
        ReportMember(".", "cannot be written to the disk");
        status = kExitFailure;
    }
    if (!selection.AllFound()) status = kExitFailure;
    if (ReportWalkEnd(archive) != kExitSuccess || lzhReader.membersFailed > membersLeftAlone) return kExitFailure;
    return status;
}

int ListArchive(const Archive& archive, const WalkOptions& options)
{
    if (!OpenLzhArchive(archive.system.c_str(), LzhNaming::Folders)) return CannotOpen(archive);
    if (!options.quiet) {
        std::fputs("      SIZE     PACKED  RATIO METHOD LEVEL CRC  TIME                NAME\n", stdout);
        std::fputs(kListRule, stdout);
    }
    Selection selection(options.members);
    unsigned long long size = 0;
    unsigned long long packed = 0;
    unsigned members = 0;
    while (ReadMemberHeader()) {
        if (!selection.Takes()) {
            SkipMember();
            continue;
        }
        char method[6];
        MethodText(method);
        std::printf("%10lu %10lu ", static_cast<unsigned long>(lzhReader.unpackedSize),
                    static_cast<unsigned long>(lzhReader.packedSize));
        PutRatio(lzhReader.packedSize, lzhReader.unpackedSize);
        std::printf(" %-6s %5u %04x ", method, static_cast<unsigned>(lzhReader.level),
                    static_cast<unsigned>(lzhReader.memberCrc));
        PutTime(LzhMemberTime());
        std::putchar(' ');
        PutLzhName(stdout, ShownPath().c_str());
        std::putchar('\n');
        size += lzhReader.unpackedSize;
        packed += lzhReader.packedSize;
        ++members;
        SkipMember();
    }
    CloseLzhArchive();
    if (!options.quiet) {
        std::fputs(kListRule, stdout);
        std::printf("%10llu %10llu ", size, packed);
        PutRatio(packed, size);
        std::printf(" total of %u member%s\n", members, members == 1 ? "" : "s");
    }
    const bool found = selection.AllFound();
    return ReportWalkEnd(archive) == kExitSuccess && found ? kExitSuccess : kExitFailure;
}

int TestArchive(const Archive& archive, const WalkOptions& options)
{
    if (!OpenLzhArchive(archive.system.c_str(), LzhNaming::Folders)) return CannotOpen(archive);
    lzhStop = StopInMember;
    Selection selection(options.members);
    int status = kExitSuccess;
    while (ReadMemberHeader()) {
        if (!selection.Takes()) {
            SkipMember();
            continue;
        }
        // What x would not write for the archive's sake fails here too.
        LzhMemberProblem fault = LzhMemberProblem::EmptyName;
        const bool folder = IsLzhFolderMember();
        const bool faulty =
            LzhMemberFault(fault) ? fault != LzhMemberProblem::SymbolicLink : !folder && !LzhMemberPath()[0];
        const LzhMemberCheck check = faulty || folder ? (SkipMember(), LzhMemberCheck::Good) : TestMember();
        const char* result = "ok";
        if (faulty) {
            result = fault == LzhMemberProblem::UnsupportedMethod ? "skipped" : "failed";
            ReportMember(LzhMemberPath(), ProblemReason(fault, LzhMemberPath()).c_str());
            status = kExitFailure;
        } else if (check != LzhMemberCheck::Good) {
            result = "failed";
            ReportMember(LzhMemberPath(), check == LzhMemberCheck::CrcError ? "CRC error" : "data ends early");
            status = kExitFailure;
        }
        if (options.quiet && std::strcmp(result, "ok") == 0) continue;
        std::printf("%s ", result);
        PutLzhName(stdout, ShownPath().c_str());
        std::putchar('\n');
    }
    CloseLzhArchive();
    if (!selection.AllFound()) status = kExitFailure;
    return ReportWalkEnd(archive) == kExitSuccess ? status : kExitFailure;
}

int PrintArchive(const Archive& archive, const WalkOptions& options)
{
    if (!OpenLzhArchive(archive.system.c_str(), LzhNaming::Folders)) return CannotOpen(archive);
    lzhStop = StopInMember;
    lzhChunkWritten = NoProgress;
    Selection selection(options.members);
    int status = kExitSuccess;
    while (ReadMemberHeader()) {
        if (!selection.Takes() || IsLzhFolderMember()) {
            SkipMember();
            continue;
        }
        // Without q, each member's name between rules, as lhasa prints it.
        if (!options.quiet) {
            std::fputs("::::::::\n", stdout);
            PutLzhName(stdout, ShownPath().c_str());
            std::fputs("\n::::::::\n", stdout);
        }
        const LzhMemberCheck check = CopyMemberTo(stdout);
        if (check == LzhMemberCheck::Good) continue;
        std::fflush(stdout);
        std::string reason = check == LzhMemberCheck::CrcError ? "CRC error" : "data ends early";
        if (check == LzhMemberCheck::Skipped) reason = ProblemReason(LzhMemberProblem::UnsupportedMethod, "");
        ReportMember(LzhMemberPath(), reason.c_str());
        status = kExitFailure;
    }
    CloseLzhArchive();
    if (!selection.AllFound()) status = kExitFailure;
    return ReportWalkEnd(archive) == kExitSuccess ? status : kExitFailure;
}

}  // namespace lzhtool
