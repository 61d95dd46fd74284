// lzh: extracts, lists, tests and prints LZH archives with the patcher's own
// reader, with the commands and modifiers people know from lhasa, and makes
// and changes them.
//
// Exit status: 0 success, 1 failure (stderr names the archive, member or
// file), 2 usage.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "lzh/LzhArchive.h"
#include "platform/CodePage.h"
#include "tools/common/ProgressLine.h"
#include "tools/common/StandardOptions.h"
#include "tools/lzh/LzhTool.h"

namespace lzhtool {

const char kUsage[] =
    "usage: lzh COMMAND[q][f][w=DIR] [-f] [-q] ARCHIVE [MEMBER...]\n"
    "       lzh a [-0] [-L] ARCHIVE PATH...\n"
    "       lzh d ARCHIVE NAME...\n"
    "COMMAND (a leading '-' is allowed, as lhasa allows it):\n"
    "  x  extract the members below the current directory, with their folders\n"
    "     (those of -lhd- members too, empty ones among them) and their archived\n"
    "     times: a full stop on stderr for every 8192 bytes, and for each member\n"
    "     not written one line on stderr, \"lzh: NAME: REASON\"; a name that would\n"
    "     reach outside the current directory, or that Windows cannot give a\n"
    "     file, is not written. When a member's file can't be created another\n"
    "     name is read from stdin (asked for on a terminal; an empty line or the\n"
    "     end of input skips the member)\n"
    "  e  extract as x does, each file into the current directory under its own\n"
    "     name, its folders left out\n"
    "  l  list the members: a heading, then one line a member on stdout, SIZE\n"
    "     PACKED RATIO METHOD LEVEL CRC TIME NAME, and a total line; NAME is the\n"
    "     member's path with '/' between folders (a folder's ends with '/'), TIME\n"
    "     its archived local time, CRC the header's CRC-16 in hex\n"
    "  v  list the members as l does (the listing is lhasa's verbose one)\n"
    "  t  decode every member without writing it and check its CRC; one line a\n"
    "     member on stdout, \"ok NAME\", \"skipped NAME\" (a method that is not\n"
    "     unpacked) or \"failed NAME\", and \"lzh: NAME: REASON\" on stderr for each\n"
    "     member that x would not write for the archive's sake: t fails where x does\n"
    "  p  write the members' contents to stdout, each after its name between\n"
    "     lines of colons, as lhasa prints them\n"
    "  q  quiet: x and e print no full stops, l and v no heading and no total, t\n"
    "     no \"ok\" lines, p no names: only the contents\n"
    "  f  (x and e; also -f) replace a file that is there, a read-only one too\n"
    "     (it keeps its permissions), without asking\n"
    "  w=DIR  (x and e) extract below DIR, made when it is missing\n"
    "MEMBERs named after the archive are the ones taken (in any letter case, '/' or\n"
    "'\\' between folders; a folder's name takes everything below it); a MEMBER\n"
    "that names none is an error.\n"
    "A file that is there already is never replaced unasked: with f it is; at a\n"
    "terminal (standard input and output both terminals) x asks \"NAME exists.\n"
    "Replace it? (yes/[no]/all/skip)\": yes replaces it, no (or Enter) keeps it,\n"
    "all replaces it and every other, skip keeps it and every other. Otherwise it\n"
    "is kept and named, \"lzh: NAME: exists; kept (-f replaces it)\", and the exit\n"
    "status is 1. A read-only file is replaced only with f. A file that replaces\n"
    "another keeps the other's permissions.\n"
    "  a  add the files and folders given (folders with everything below them) to\n"
    "     ARCHIVE, a level-1 LZH archive, made when it does not exist: a member of\n"
    "     the same name, in any letter case, is replaced, the others are kept in\n"
    "     their order, new ones come after them. Each file is a member named by\n"
    "     its relative path, packed with -lh5- or stored (-lh0-) when packing\n"
    "     would not make it smaller; -0 stores every member; each folder is a\n"
    "     -lhd- member. A member keeps its file's content, name and modification\n"
    "     time, not its owner or Unix permissions (a script loses its execute\n"
    "     bits). Two paths that would give one member name are refused, naming\n"
    "     both. A symbolic link met in a folder is passed over with a line on\n"
    "     stderr, as are FIFOs, sockets and devices; -L (--dereference) follows\n"
    "     links that lead inside the folder given. A PATH that is itself a link\n"
    "     is followed\n"
    "  d  remove the members NAME names (in any letter case, '/' or '\\' between\n"
    "     folders), a folder's with everything below it; a NAME that names no\n"
    "     member is refused\n"
    "a and d write the new archive beside the old one and put it in its place only\n"
    "once it is complete: when anything fails, ARCHIVE stays as it was.\n"
    "On damaged compressed data x, e, t and p stop at once: stderr gets\n"
    "\"\\nBad table\\n\" then \"lzh: NAME: stopped here\", the exit status is 1, and x\n"
    "leaves any file of that name as it was.\n"
    "lzh --help (or -h) prints this text on stdout, lzh --version the version.\n"
    "exit status: 0 success; 1 the archive can't be opened, a damaged header ends the\n"
    "walk early, a member is damaged (t, p) or not written (x, e), a MEMBER names\n"
    "none, a file can't be read or the archive written (a, d), or stdout can't be\n"
    "written; 2 usage (one line says what is wrong)\n";

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

int Usage(const std::string& problem) { return UsageError("lzh", problem); }

namespace {

// The command word of x, e, l, v, t and p: a leading '-', the command's
// letter, then its modifiers, w=DIR last. False after saying what is wrong.
bool ReadCommandWord(const std::string& typed, WalkOptions& options, int& status)
{
    const std::string word = typed.size() > 1 && typed[0] == '-' ? typed.substr(1) : typed;
    if (word.empty() || std::strchr("xelvtp", word[0]) == nullptr) {
        status = Usage((word == typed ? "unknown command '" : "unknown option '") + typed + "'");
        return false;
    }
    options.command = word[0];
    for (std::size_t i = 1; i < word.size(); ++i) {
        if (word[i] == 'q') {
            options.quiet = true;
        } else if (word[i] == 'f') {
            options.force = true;
        } else if (word.compare(i, 2, "w=") == 0) {
            options.into = word.substr(i + 2);
            if (options.into.empty()) {
                status = Usage("w= needs a folder: w=DIR");
                return false;
            }
            break;
        } else {
            status = Usage(std::string("unknown modifier '") + word[i] + "' in '" + typed + "'");
            return false;
        }
    }
    return true;
}

}  // namespace

}  // namespace lzhtool

int main(int argc, char** argv)
{
    using namespace lzhtool;
    if (AnswerStandardOption(argc, argv, "lzh", PrintUsage)) return kExitSuccess;
    if (argc < 2) return Usage("missing command");
    const std::string command = argv[1];
    if (IsHelpOption(command) || command == "--version") return Usage("'" + command + "' takes nothing beside it");
    if (command == "a") return AddToArchive(argc - 1, argv + 1);
    if (command == "d") return DeleteFromArchive(argc - 1, argv + 1);
    WalkOptions options;
    int status = kExitUsage;
    if (!ReadCommandWord(command, options, status)) return status;

    // The options -f and -q, anywhere before "--"; then ARCHIVE and the
    // members.
    std::vector<std::string> operands;
    bool optionsEnd = false;
    for (int i = 2; i < argc; ++i) {
        const std::string word = argv[i];
        if (optionsEnd || word.size() < 2 || word[0] != '-')
            operands.push_back(word);
        else if (word == "--")
            optionsEnd = true;
        else if (word == "-f" || word == "--force")
            options.force = true;
        else if (word == "-q" || word == "--quiet")
            options.quiet = true;
        else
            return Usage("unknown option '" + word + "'");
    }
    const bool extracts = options.command == 'x' || options.command == 'e';
    if (!extracts && (options.force || !options.into.empty()))
        return Usage(std::string(options.force ? "f" : "w=") + " is for x and e only, not " + options.command);
    if (operands.empty()) return Usage(std::string(1, options.command) + ": missing ARCHIVE");
    options.members.assign(operands.begin() + 1, operands.end());

    Archive archive{operands[0], ""};
    // A name without a form in the code page cannot be opened.
    if (!HostToSystemText(archive.typed, archive.system)) return CannotOpen(archive);
    switch (options.command) {
    case 'l':
    case 'v': return ListArchive(archive, options);
    case 't': return TestArchive(archive, options);
    case 'p': return PrintArchive(archive, options);
    default: return ExtractArchive(archive, options);
    }
}
