// pak's command line: the verbs and their usage, and main, which runs the
// verb asked for. pak builds, fills and inspects pack files with the
// patcher's own engine; its parts are the files of this folder, each with
// one job and named for it.
//
// Pack paths are written "a/b" or "a\b" and always start at the root; names
// compare ignoring case, as in the pack. Names in a pack are in the system
// code page (949); on the disk and the command line they are in the host's
// encoding (UTF-8 on Linux), and they are converted as they cross. Exit
// status: 0 success, 1 failure (one line on stderr says why), 2 usage.
// pak --help prints the usage on stdout, pak --version the version.
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>

#include "pack/PackFileManager.h"
#include "tools/common/StandardOptions.h"
#include "tools/pak/Check.h"
#include "tools/pak/Engine.h"
#include "tools/pak/Faults.h"
#include "tools/pak/Reading.h"
#include "tools/pak/VerbArgs.h"
#include "tools/pak/Writing.h"

namespace paktool {

namespace {

struct Verb {
    const char* name;
    const char* synopsis;
    const char* summary;
    // Operands, the options not counted.
    std::size_t minArgs;
    std::size_t maxArgs;
    int (*run)(const Args&);
    // The one option it takes, each word a name of it; the verb finds it
    // first among its arguments, under its first name, wherever it was
    // typed.
    std::initializer_list<const char*> options = {};
};

const Verb kVerbs[] = {
    {"create", "create PACK", "make a new, empty pack", 1, 1, Create},
    {"info", "info PACK", "show the header and the block usage", 1, 1, Info},
    {"ls", "ls PACK [DIR]", "list a directory", 1, 2, List},
    {"tree", "tree PACK [DIR]", "list a directory and everything below it", 1, 2, Tree},
    {"mkdir", "mkdir PACK PATH", "make a directory and its missing parents", 2, 2, MakeDirectory},
    {"put", "put PACK FILE [PATH]", "copy a disk file into the pack", 2, 3, Put},
    {"get", "get PACK PATH [FILE]", "copy a file of the pack onto disk", 2, 3, Get},
    {"cat", "cat PACK PATH", "write a file of the pack to standard output", 2, 2, Cat},
    {"rm", "rm PACK PATH", "remove a file", 2, 2, Remove},
    {"import",
     "import [-L] PACK DIR [PACKDIR]",
     "copy a disk tree into the pack",
     2,
     3,
     Import,
     {"-L", "--dereference"}},
    {"export", "export PACK DIR [PACKDIR]", "copy a tree of the pack onto disk", 2, 3, Export},
    {"fsck", "fsck [--repair] PACK", "check the pack; --repair frees lost blocks", 1, 1, Check, {"--repair"}},
};

int Usage(const std::string& problem) { return UsageError("pak", problem); }

// The verb's arguments, its options first and then its operands, as the verb
// reads them; kExitSuccess, or kExitUsage after saying what is wrong. "--"
// ends the options.
int SortArguments(const Verb& verb, int argc, char** argv, Args& args)
{
    Args operands;
    bool optionsEnd = false;
    for (int i = 0; i < argc; ++i) {
        const std::string word = argv[i];
        if (!optionsEnd && word == "--") {
            optionsEnd = true;
        } else if (optionsEnd || word.size() < 2 || word[0] != '-') {
            operands.push_back(word);
        } else if (std::find_if(verb.options.begin(), verb.options.end(),
                                [&](const char* option) { return word == option; }) != verb.options.end()) {
            if (args.empty()) args.push_back(*verb.options.begin());
        } else {
            return Usage(std::string(verb.name) + ": unknown option '" + word + "'");
        }
    }
    const std::string synopsis = std::string(" (pak ") + verb.synopsis + ")";
    if (operands.size() < verb.minArgs) return Usage(std::string(verb.name) + ": missing operand" + synopsis);
    if (operands.size() > verb.maxArgs)
        return Usage(std::string(verb.name) + ": extra operand '" + operands[verb.maxArgs] + "'" + synopsis);
    args.insert(args.end(), operands.begin(), operands.end());
    return 0;
}

// The usage text: on stdout for --help, on stderr for a command it cannot run.
void PrintUsage(std::FILE* out)
{
    int width = 0;
    for (const Verb& verb : kVerbs) width = std::max(width, static_cast<int>(std::strlen(verb.synopsis)) + 1);
    const char* lead = "usage:";
    for (const Verb& verb : kVerbs) {
        std::fprintf(out, "%s pak %-*s %s\n", lead, width, verb.synopsis, verb.summary);
        lead = "      ";
    }
    std::fprintf(out, "%s pak %-*s %s\n", lead, width, "--help, -h", "print this text on stdout");
    std::fprintf(out, "%s pak %-*s %s\n", lead, width, "--version", "print the version");
    std::fputs("import -L, --dereference: follow symbolic links that lead inside DIR\n", out);
    std::fputs("exit status: 0 success, 1 failure (one line on stderr says why), 2 usage\n", out);
}

}  // namespace

}  // namespace paktool

int main(int argc, char** argv)
{
    using namespace paktool;
    packFullStop = StopWhenFull;
    if (AnswerStandardOption(argc, argv, "pak", PrintUsage)) return 0;
    if (argc < 2) return Usage("missing command");
    const std::string command = argv[1];
    if (IsHelpOption(command) || command == "--version") return Usage("'" + command + "' takes nothing beside it");
    if (command.size() > 1 && command[0] == '-') return Usage("unknown option '" + command + "'");
    for (const Verb& verb : kVerbs) {
        if (command != verb.name) continue;
        Args args;
        if (const int status = SortArguments(verb, argc - 2, argv + 2, args); status != 0) return status;
        const int status = verb.run(args);
        // The close stores what the engine still holds: a verb that
        // changed the pack has done so only if every host transfer,
        // the close's among them, went through.
        engine.Close();
        if (status == kExitUsage) return Usage(std::string(verb.name) + ": cannot take these operands");
        if (status == 0 && packWritable && engine.Failed()) return Fail(packName, kNotWritten);
        return status;
    }
    return Usage("unknown command '" + command + "'");
}
