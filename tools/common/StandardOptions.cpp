#include "tools/common/StandardOptions.h"

#include <cstring>

#include "version/ProductVersion.h"

bool AnswerStandardOption(int argc, char** argv, const char* tool, void (*printUsage)(std::FILE* out))
{
    if (argc != 2) return false;
    if (std::strcmp(argv[1], "--help") == 0) {
        printUsage(stdout);
        return true;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s %s\n", tool, KIVRA_VERSION_TEXT);
        return true;
    }
    return false;
}
