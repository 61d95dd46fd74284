// lzh x, l and t: one walk of the archive each, members named with their
// folders.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "lzh/LzhArchive.h"
#include "lzh/LzhDecoder.h"
#include "platform/CodePage.h"
#include "platform/Disk.h"
#include "tools/common/ProgressLine.h"
#include "tools/lzh/LzhTool.h"

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

// Links passed over: they are told of, but fail nothing.
unsigned linksPassedOver = 0;

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
    case LzhMemberProblem::SymbolicLink:
        reason = "symbolic link, passed over";
        ++linksPassedOver;
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

// A full stop on stderr for every chunk written.
void PutProgressStop() { progress::Show("."); }

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

}  // namespace

int ExtractArchive(const Archive& archive)
{
    if (!OpenLzhArchive(archive.system.c_str(), LzhNaming::Folders)) return CannotOpen(archive);
    lzhReader.durable = true;
    lzhStop = StopInMember;
    lzhReportMember = ReportUnwritten;
    lzhChunkWritten = PutProgressStop;
    lzhBeforePrompt = progress::EndLine;
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
    if (ReportWalkEnd(archive) != kExitSuccess || lzhReader.membersFailed > linksPassedOver) return kExitFailure;
    return status;
}

int ListArchive(const Archive& archive)
{
    if (!OpenLzhArchive(archive.system.c_str(), LzhNaming::Folders)) return CannotOpen(archive);
    std::fputs("      SIZE     PACKED  RATIO METHOD LEVEL CRC  TIME                NAME\n", stdout);
    std::fputs(kListRule, stdout);
    unsigned long long size = 0;
    unsigned long long packed = 0;
    unsigned members = 0;
    while (ReadMemberHeader()) {
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
    std::fputs(kListRule, stdout);
    std::printf("%10llu %10llu ", size, packed);
    PutRatio(packed, size);
    std::printf(" total of %u member%s\n", members, members == 1 ? "" : "s");
    return ReportWalkEnd(archive);
}

int TestArchive(const Archive& archive)
{
    if (!OpenLzhArchive(archive.system.c_str(), LzhNaming::Folders)) return CannotOpen(archive);
    lzhStop = StopInMember;
    int status = kExitSuccess;
    while (ReadMemberHeader()) {
        const LzhMemberCheck check = IsLzhFolderMember() ? (SkipMember(), LzhMemberCheck::Good) : TestMember();
        const char* result = "ok";
        if (check == LzhMemberCheck::Skipped) {
            result = "skipped";
        } else if (check != LzhMemberCheck::Good) {
            result = "failed";
            ReportMember(LzhMemberPath(), check == LzhMemberCheck::CrcError ? "CRC error" : "data ends early");
            status = kExitFailure;
        }
        std::printf("%s ", result);
        PutLzhName(stdout, LzhMemberPath());
        std::putchar('\n');
    }
    CloseLzhArchive();
    return ReportWalkEnd(archive) == kExitSuccess ? status : kExitFailure;
}

}  // namespace lzhtool
