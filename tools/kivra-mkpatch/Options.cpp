#include "tools/kivra-mkpatch/Options.h"

#include <algorithm>
#include <cstdlib>
#include <string>

#include "platform/CodePage.h"
#include "tools/common/StandardOptions.h"
#include "tools/kivra-mkpatch/Faults.h"
#include "tools/kivra-mkpatch/PatchNames.h"

namespace mkpatch {

namespace {

const char kUsage[] =
    "usage: kivra-mkpatch [--need VERSION] [--readme FILE] [--strict] [--exclude PATTERN]...\n"
    "                     OLD NEW OUTDIR\n"
    "\n"
    "Compares the game installation NEW with OLD (each a game directory holding\n"
    "Dev\\Kivra.pak) and writes OUTDIR/update.lzh, the patch that takes OLD to NEW:\n"
    "one Update.pak holding NeedVersion.txt, the pack's Kivra_Pak\\Version.txt of\n"
    "NEW, every file of the pack's Kivra_Pak tree and every disk file below the\n"
    "game directory that NEW adds or changes, and the folders NEW adds. When NEW's\n"
    "KNet.exe differs from OLD's it is also written to OUTDIR/KNet.exe, for the\n"
    "patcher to replace the launcher with before the run.\n"
    "\n"
    "  --need VERSION  the oldest installed version the patch accepts (default:\n"
    "                  OLD's version), as \"1.0.2.29\" or \"1, 0, 2, 29\"\n"
    "  --readme FILE   put FILE in the patch as ReadMe.txt, which the patcher\n"
    "                  copies to the game directory and opens after the run\n"
    "  --strict        fail when OLD has files that NEW lacks, or names that NEW\n"
    "                  changes only in letter case\n"
    "  --exclude PATTERN\n"
    "                  leave out of the comparison, in OLD and NEW, the files and\n"
    "                  folders that the shell pattern matches (repeatable)\n"
    "\n"
    "A patch cannot remove files, nor rename one in letter case only (the patcher\n"
    "takes such names for one): each file of OLD missing in NEW, and each such\n"
    "rename, is named on stderr as a warning. NeedVersion.txt in the game\n"
    "directory is what earlier patches left there; it is not compared.\n"
    "\n"
    "A patch is one Update.pak, and a pack holds at most 128000 blocks of 2048\n"
    "bytes (262144000 bytes, its folders' entries among them): a patch that needs\n"
    "more is refused before anything is written, naming its biggest files; leave\n"
    "some out with --exclude and ship them in a patch of their own.\n"
    "Symbolic links in OLD and NEW are followed, to files and to folders, as\n"
    "cp -L follows them: the patch carries what they lead to. One that leads\n"
    "nowhere, or to a folder it lies in, is passed over with a warning.\n"
    "\n"
    "PATTERN is matched against paths below the game directory with \"/\" between\n"
    "folders, the pack's files as Kivra_Pak/...: \"*\" matches within one name,\n"
    "\"**\" across folders, \"?\" one character, \"[...]\" one of a set, letters in\n"
    "either case. A pattern without \"/\" matches a name at any depth (\"*.bak\"),\n"
    "one with \"/\" the whole path (\"Logs/*.log\", \"Kivra_Pak/Test/**\"); one\n"
    "ending in \"/\" only folders. What a folder's pattern matches goes with all\n"
    "below it. Kivra_Pak/Version.txt is always carried.\n"
    "\n"
    "OUTDIR must not lie inside OLD or NEW. The run works in .kivra-mkpatch-PID\n"
    "beside OUTDIR (in its parent, which must be writable) and moves update.lzh\n"
    "and KNet.exe into OUTDIR only once they are complete, OUTDIR made then when\n"
    "it does not exist; an update.lzh there is replaced in one step. A failed or\n"
    "interrupted run leaves nothing behind; what a killed one left is removed by\n"
    "the next run beside the same OUTDIR. A KNet.exe or Update.pak left in OUTDIR\n"
    "by an earlier patch is removed when this patch has no launcher of its own.\n"
    "The archive's time stamps are the newest modification time of the files\n"
    "put into the patch, or SOURCE_DATE_EPOCH (seconds since 1970, UTC) when it\n"
    "is set: the same trees give the same update.lzh.\n"
    "When NEW does not differ from OLD no patch is written and the exit status\n"
    "is 1.\n"
    "A summary goes to stdout; on a terminal a progress line to stderr.\n"
    "kivra-mkpatch --help (or -h) prints this text, kivra-mkpatch --version the\n"
    "version.\n"
    "exit status: 0 patch written; 1 failure (\"kivra-mkpatch: ...\" on stderr);\n"
    "2 usage\n";

// The latest SOURCE_DATE_EPOCH taken: 9999-12-31 23:59:59 UTC.
constexpr std::uint64_t kLatestSourceDate = 253402300799ULL;

// What the command line gives as it was typed, before it is checked.
struct Typed {
    std::vector<std::string> operands;
    std::string needText;
    std::vector<std::string> excludes;
};

int Usage(const std::string& problem) { return UsageError("kivra-mkpatch", problem); }

// Sorts the words of the command line into options and typed; false after
// saying what is wrong with a word it does not take.
bool SortWords(int argc, char** argv, Options& options, Typed& typed)
{
    const auto valueMissing = [](const std::string& option) {
        Usage("option '" + option + "' needs a value: " + option + " VALUE");
        return false;
    };
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (optionsEnd || word.empty() || word[0] != '-' || word == "-") {
            typed.operands.push_back(word);
        } else if (word == "--") {
            optionsEnd = true;
        } else if (word == "--strict") {
            options.strict = true;
        } else if ((word == "--need" || word == "--readme" || word == "--exclude") && i + 1 == argc) {
            return valueMissing(word);
        } else if (word == "--need" || word == "--readme") {
            (word == "--need" ? typed.needText : options.readMePath) = argv[++i];
            (word == "--need" ? options.needGiven : options.readMeGiven) = true;
        } else if (word.rfind("--need=", 0) == 0) {
            typed.needText = word.substr(7);
            options.needGiven = true;
        } else if (word.rfind("--readme=", 0) == 0) {
            options.readMePath = word.substr(9);
            options.readMeGiven = true;
        } else if (word == "--exclude") {
            typed.excludes.push_back(argv[++i]);
        } else if (word.rfind("--exclude=", 0) == 0) {
            typed.excludes.push_back(word.substr(10));
        } else if (IsHelpOption(word) || word == "--version") {
            Usage("'" + word + "' takes nothing beside it");
            return false;
        } else {
            Usage("unknown option '" + word + "'");
            return false;
        }
    }
    return true;
}

// The --exclude patterns into options, in the system code page; false after
// saying why one cannot be matched.
bool TakeExcludes(const std::vector<std::string>& patterns, Options& options)
{
    for (const std::string& pattern : patterns) {
        std::string system;
        const char* fault = pattern.empty()                      ? "an empty pattern"
                            : !HostToSystemText(pattern, system) ? "has a character that code page 949 lacks"
                                                                 : nullptr;
        if (fault) {
            Usage("--exclude " + pattern + ": " + fault);
            return false;
        }
        options.excludes.push_back(system);
    }
    return true;
}

// The --need version into options, when given; false after saying why it is
// no version.
bool TakeNeed(const std::string& needText, Options& options)
{
    if (!options.needGiven) return true;
    std::vector<char> text(needText.begin(), needText.end());
    text.push_back(0);
    // Four numbers, and nothing but blanks after them.
    const std::size_t digits =
        std::count_if(needText.begin(), needText.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (digits == 0 || !ParseVersionText(text.data(), options.need)) {
        Usage("--need " + needText + ": not a version such as 1.0.2.29");
        return false;
    }
    return true;
}

}  // namespace

void PrintUsage(std::FILE* out) { std::fputs(kUsage, out); }

int ReadCommandLine(int argc, char** argv, Options& options)
{
    Typed typed;
    if (!SortWords(argc, argv, options, typed)) return kExitUsage;
    if (typed.operands.size() < 3) {
        const char* const kNames[] = {"OLD", "NEW", "OUTDIR"};
        return Usage(std::string("missing ") + kNames[typed.operands.size()] + " (kivra-mkpatch OLD NEW OUTDIR)");
    }
    if (typed.operands.size() > 3) return Usage("extra operand '" + typed.operands[3] + "'");
    options.oldRoot = typed.operands[0];
    options.newRoot = typed.operands[1];
    options.outDir = typed.operands[2];
    if (!TakeExcludes(typed.excludes, options) || !TakeNeed(typed.needText, options)) return kExitUsage;
    return kExitSuccess;
}

bool ReadSourceDate(Options& options)
{
    const char* text = std::getenv("SOURCE_DATE_EPOCH");
    if (!text || !*text) return true;
    std::uint64_t seconds = 0;
    for (const char* c = text; *c; ++c) {
        if (*c < '0' || *c > '9')
            return Refuse(std::string("SOURCE_DATE_EPOCH (") + text + "): not a number of seconds since 1970");
        if (seconds <= kLatestSourceDate) seconds = seconds * 10 + static_cast<unsigned>(*c - '0');
    }
    if (seconds > kLatestSourceDate)
        return Refuse(std::string("SOURCE_DATE_EPOCH (") + text + "): later than the year 9999");
    options.sourceDateGiven = true;
    options.sourceDate.ticks = kUnixEpochTicks + seconds * kTicksPerSecond;
    options.sourceDate.utc = true;
    return true;
}

}  // namespace mkpatch
