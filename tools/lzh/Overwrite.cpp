// lzh x and e: a file that is there kept unless -f or an answer replaces it (Overwrite.h).
#include "tools/lzh/Overwrite.h"

#include <cstdio>
#include <string>

#include "lzh/LzhArchive.h"
#include "platform/AsciiCase.h"
#include "platform/Disk.h"
#include "platform/Win32.h"

namespace lzhtool {

namespace {

bool forceAll = false;
// What the user answered for all the files that remain: replace them, or
// keep them.
enum class Standing {
    None,
    ReplaceAll,
    KeepAll
} standing = Standing::None;
KeptFor lastKept = KeptFor::NotAsked;

bool Interactive() { return _isatty(_fileno(stdin)) != 0 && _isatty(_fileno(stdout)) != 0; }

// Asks on stderr whether the file at path is replaced; the end of input
// keeps it, and every other one.
bool AskToReplace(const char* path)
{
    lzhBeforePrompt();
    PutLzhName(stderr, path);
    std::fputs(" exists. Replace it? (yes/[no]/all/skip) ", stderr);
    std::fflush(stderr);
    std::string answer;
    int c = 0;
    while ((c = std::getchar()) != EOF && c != '\n') answer += static_cast<char>(c);
    while (!answer.empty() && (answer.back() == '\r' || answer.back() == ' ')) answer.pop_back();
    if (c == EOF) {
        std::fputc('\n', stderr);
        standing = Standing::KeepAll;
        return false;
    }
    const auto is = [&](const char* full) {
        return ascii::EqualIgnoringCase(answer.c_str(), full) ||
               (answer.size() == 1 && ascii::Fold(answer[0]) == full[0]);
    };
    if (is("all")) standing = Standing::ReplaceAll;
    if (is("skip")) standing = Standing::KeepAll;
    return is("yes") || is("all");
}

bool KeepsWhatIsThere(const char* path, LzhMemberProblem& problem)
{
    DiskPathInfo info{};
    // Nothing there, or no file: the reader says what is wrong with it.
    if (forceAll || StatDiskPath(path, &info) != 0 || !info.file) return false;
    problem = LzhMemberProblem::Kept;
    if (MayWriteDiskPath(path) != 0) {
        lastKept = KeptFor::ReadOnly;
        return true;
    }
    lastKept = KeptFor::Answer;
    if (standing == Standing::ReplaceAll) return false;
    if (standing == Standing::KeepAll) return true;
    if (!Interactive()) {
        lastKept = KeptFor::NotAsked;
        return true;
    }
    return !AskToReplace(path);
}

}  // namespace

void KeepOrReplace(bool force)
{
    forceAll = force;
    standing = Standing::None;
    lzhCheckTarget = KeepsWhatIsThere;
}

KeptFor LastKept() { return lastKept; }

}  // namespace lzhtool
