#include "tools/common/StandardOptions.h"

#include <cstring>

#include "platform/StandardOutput.h"
#include "version/ProductVersion.h"

bool IsHelpOption(const std::string& word) { return word == "--help" || word == "-h"; }

bool AnswerStandardOption(int argc, char** argv, const char* tool, void (*printUsage)(std::FILE* out))
{
    CheckStandardOutputAtExit(tool);
    if (argc != 2) return false;
    if (IsHelpOption(argv[1])) {
        printUsage(stdout);
        return true;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s %s\n", tool, KIVRA_VERSION_TEXT);
        return true;
    }
    return false;
}

int UsageError(const char* tool, const std::string& problem)
{
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", tool, problem.c_str(), tool);
    return kUsageExitStatus;
}
