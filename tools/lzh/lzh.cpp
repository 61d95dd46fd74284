// lzh: extracts, lists and tests LZH archives with the patcher's own reader,
// and makes and changes them.
//
// Exit status: 0 success, 1 failure (stderr names the archive, member or
// file), 2 usage.
#include <cstdio>
#include <cstring>

#include "lzh/LzhArchive.h"
#include "platform/CodePage.h"
#include "tools/common/ProgressLine.h"
#include "tools/common/StandardOptions.h"
#include "tools/lzh/LzhTool.h"

namespace lzhtool {

const char kUsage[] =
    "usage: lzh x ARCHIVE   extract every member below the current directory, with\n"
    "                       its folders (those of -lhd- members too, empty ones\n"
    "                       among them) and its archived time: a full stop on stderr\n"
    "                       for every 8192 bytes, and for each member not written one\n"
    "                       line on stderr, \"lzh: NAME: REASON\"; a name that would\n"
    "                       reach outside the current directory is not written. When\n"
    "                       a member's file can't be created a replacement name is\n"
    "                       read from stdin (on a terminal after a prompt; an empty\n"
    "                       line or the end of input skips the member)\n"
    "       lzh l ARCHIVE   list the members, a heading, then one line a member on\n"
    "                       stdout: SIZE PACKED RATIO METHOD LEVEL CRC TIME NAME, and\n"
    "                       a total line; NAME is the member's path with '/' between\n"
    "                       folders (a folder's ends with '/'), TIME its archived\n"
    "                       local time, CRC the header's CRC-16 in hex\n"
    "       lzh t ARCHIVE   decode every member without writing and check its CRC;\n"
    "                       one line a member on stdout: \"ok NAME\", \"skipped NAME\"\n"
    "                       (a method that is not unpacked) or \"failed NAME\", and\n"
    "                       \"lzh: NAME: REASON\" on stderr for each failure\n"
    "       lzh a [-0] [-L] ARCHIVE PATH...\n"
    "                       add the files and folders given (folders with everything\n"
    "                       below them) to ARCHIVE, a level-1 LZH archive, made when\n"
    "                       it does not exist: a member of the same name, in any\n"
    "                       letter case, is replaced, the others are kept in their\n"
    "                       order, new ones come after them. Each file is a member\n"
    "                       named by its relative path, packed with -lh5- or stored\n"
    "                       (-lh0-) when packing would not make it smaller; -0 stores\n"
    "                       every member; each folder is a -lhd- member. Two paths\n"
    "                       that would give one member name are refused, naming both.\n"
    "                       A symbolic link met in a folder is passed over with a line\n"
    "                       on stderr, as are FIFOs, sockets and devices; -L\n"
    "                       (--dereference) follows links that lead inside the folder\n"
    "                       given. A PATH that is itself a link is followed\n"
    "       lzh d ARCHIVE NAME...\n"
    "                       remove the members NAME names (in any letter case, '/' or\n"
    "                       '\\' between folders), a folder's with everything below it;\n"
    "                       a NAME that names no member is refused\n"
    "a and d write the new archive beside the old one and put it in its place only\n"
    "once it is complete: when anything fails, ARCHIVE stays as it was.\n"
    "On damaged compressed data x and t stop at once: stderr gets \"\\nBad table\\n\"\n"
    "then \"lzh: NAME: stopped here\", the exit status is 1, and x leaves any file of\n"
    "that name as it was.\n"
    "lzh --help prints this text on stdout, lzh --version the version.\n"
    "exit status: 0 success; 1 the archive can't be opened, a damaged header ends the\n"
    "walk early, a member is damaged (t) or not written (x), a file can't be read or\n"
    "the archive written (a, d); 2 usage\n";

namespace {

// The usage: on stdout for --help.
void PrintUsage(std::FILE* out) { std::fputs(kUsage, out); }

}  // namespace

int Fail(const std::string& subject, const char* reason)
{
    progress::EndLine();
    std::fprintf(stderr, "lzh: %s: %s\n", subject.c_str(), reason);
    return kExitFailure;
}

bool Refuse(const std::string& subject, const char* reason)
{
    Fail(subject, reason);
    return false;
}

void ReportMember(const char* name, const char* problem)
{
    progress::EndLine();
    PutMemberLine(name, problem);
}

void PutMemberLine(const char* name, const char* problem)
{
    std::fputs("lzh: ", stderr);
    PutLzhName(stderr, name);
    std::fprintf(stderr, ": %s\n", problem);
}

int CannotOpen(const Archive& archive) { return Fail(archive.typed, "cannot open"); }

}  // namespace lzhtool

int main(int argc, char** argv)
{
    using namespace lzhtool;
    if (AnswerStandardOption(argc, argv, "lzh", PrintUsage)) return kExitSuccess;
    if (argc >= 2 && std::strcmp(argv[1], "a") == 0) return AddToArchive(argc - 1, argv + 1);
    if (argc >= 2 && std::strcmp(argv[1], "d") == 0) return DeleteFromArchive(argc - 1, argv + 1);
    if (argc != 3 || std::strlen(argv[1]) != 1) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    Archive archive{argv[2], ""};
    // A name without a form in the code page cannot be opened.
    if (!HostToSystemText(archive.typed, archive.system)) return CannotOpen(archive);
    switch (argv[1][0]) {
    case 'x': return ExtractArchive(archive);
    case 'l': return ListArchive(archive);
    case 't': return TestArchive(archive);
    default: std::fputs(kUsage, stderr); return kExitUsage;
    }
}
