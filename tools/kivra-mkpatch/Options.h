// The command line and what it asks for: the options, the three operands,
// and SOURCE_DATE_EPOCH, each checked before the run; and the usage text.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/kivra-mkpatch/PatchTime.h"
#include "update/Version.h"

namespace mkpatch {

struct Options {
    bool strict = false;
    bool needGiven = false;
    VersionNumber need{0, 0, 0, 0};
    std::string readMePath;  // as typed
    std::string readMe;      // the file's bytes
    std::uint64_t readMeTime = 0;
    bool readMeGiven = false;
    std::vector<std::string> excludes;  // system code page
    bool sourceDateGiven = false;
    PatchTime sourceDate;
    // The operands OLD, NEW and OUTDIR, as typed.
    std::string oldRoot;
    std::string newRoot;
    std::string outDir;
};

// The usage text, to out.
void PrintUsage(std::FILE* out);

// Reads the command line (but for --help and --version) into options:
// kExitSuccess, or kExitUsage once the usage or what is wrong with an option
// is on stderr.
int ReadCommandLine(int argc, char** argv, Options& options);

// SOURCE_DATE_EPOCH, when set and not empty, into options; false after
// saying why it is no time.
bool ReadSourceDate(Options& options);

}  // namespace mkpatch
