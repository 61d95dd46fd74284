// lzh: extracts, lists and tests LZH archives with the patcher's own reader.
//
// Exit status: 0 success, 1 failure (stderr names the archive or member), 2 usage.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lzh/LzhArchive.h"
#include "lzh/LzhDecoder.h"
#include "platform/CodePage.h"
#include "platform/Disk.h"

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: lzh x ARCHIVE   extract every member into the current directory, as the\n"
    "                       patcher does: a full stop on stderr for every 8192 bytes,\n"
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
    "On damaged compressed data x and t stop at once: stderr gets \"\\nBad table\\n\"\n"
    "then \"lzh: NAME: stopped here\", the exit status is 1, and x leaves any file of\n"
    "that name as it was.\n"
    "exit status: 0 success; 1 the archive can't be opened, a damaged header ends the\n"
    "walk early, or a member is damaged (t) or not written (x); 2 usage\n";

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

int Extract()
{
    std::FILE* probe = OpenDiskFile(archiveSystemPath.c_str(), "rb");
    if (!probe) return CannotOpen();
    std::fclose(probe);
    lzhStop = StopInMember;
    lzhReportMember = ReportUnwritten;
    ExtractLzhArchive(archiveSystemPath.c_str());
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

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3 || std::strlen(argv[1]) != 1) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    archivePath = argv[2];
    // A name without a form in the code page cannot be opened.
    if (!HostToSystemText(archivePath, archiveSystemPath)) return CannotOpen();
    switch (argv[1][0]) {
    case 'x':
        return Extract();
    case 'l':
        return List();
    case 't':
        return Test();
    default:
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
}
