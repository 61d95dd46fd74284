// What the terminal says beside the dialog (AfxShow* of platform/Framework.h).
//
// The first line of a run (which prefix, which game directory), where else
// the game is, the notes of what the run did and the progress of long jobs.
#include <cstdio>
#include <cstdlib>
#include <vector>
#include <pwd.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Disk.h"
#include "platform/Framework.h"
#include "platform/posix/CodePage.h"
#include "platform/posix/LauncherPrefixes.h"
#include "platform/posix/PrefixOwner.h"
#include "platform/posix/RerunCommand.h"
#include "platform/posix/Terminal.h"
#include "platform/posix/WinePrefix.h"

namespace {

std::string UserName(uid_t uid)
{
    const passwd* user = getpwuid(uid);
    return user ? std::string(user->pw_name) : "user " + std::to_string(uid);
}

}  // namespace

void AfxShowInstallation(const char* gameDir)
{
    const std::string prefix = WinePrefix();
    std::string line =
        "Wine prefix " + (prefix.empty() ? std::string("(none: neither WINEPREFIX nor HOME is set)") : prefix);
    struct stat st {};
    struct stat registry {};
    if (!prefix.empty() && stat(prefix.c_str(), &st) != 0) {
        line += " (missing)";
    } else if (!prefix.empty() && stat((prefix + "/system.reg").c_str(), &registry) == 0 &&
               !S_ISREG(registry.st_mode)) {
        line += " (its system.reg is no regular file, and is not read)";
    } else if (!PrefixOwnerRunAs().empty()) {
        // Root started it: what it makes there is the owner's.
        line += " (it belongs to " + PrefixOwnerRunAs() + ": the patch runs as " + PrefixOwnerRunAs() + ")";
    } else if (!prefix.empty() && st.st_uid != geteuid()) {
        // sudo keeps HOME: the patcher then reads another user's prefix.
        line += " (it belongs to " + UserName(st.st_uid) + ", not to " + UserName(geteuid()) + ")";
    }
    if (gameDir) {
        line += ", game directory " + terminal::ToUtf8(gameDir);
        char host[kHostPathMax];
        struct stat there {};
        const std::string_view dir(gameDir);
        if (!ResolveDiskPath(gameDir, host, sizeof host))
            line += dir.find_first_of("?*") != std::string_view::npos
                        ? " (a character code page 949 lacks, shown as ?: no such folder)"
                        : " (no such drive in the prefix)";
        else
            line += std::string(" (") + host + (stat(host, &there) == 0 ? ")" : ", missing)");
    } else {
        line += ", no game directory in its registry";
    }
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

void AfxShowNote(const char* text)
{
    terminal::FinishLine();
    std::printf("%s\n", terminal::ToUtf8(text).c_str());
    std::fflush(stdout);
}

void AfxShowProblem(const char* text)
{
    terminal::FinishLine();
    std::fprintf(stderr, "%s\n", terminal::ToUtf8(text).c_str());
}

void AfxShowWork(const char* what, long long done, long long total, bool finished)
{
    terminal::ShowWork(what, done, total, finished);
}

void AfxShowOtherInstallations(const char* key, const char* value)
{
    if (const char* named = std::getenv("WINEPREFIX"); named && *named) return;
    const char* home = std::getenv("HOME");
    if (!home || !*home) return;
    std::string keyText;
    std::string valueText;
    codepage::Convert(codepage::Direction::kToUtf8, key, keyText, codepage::Unconvertible::kQuestionMark);
    codepage::Convert(codepage::Direction::kToUtf8, value, valueText, codepage::Unconvertible::kQuestionMark);
    const std::vector<std::string> found = LauncherPrefixesHolding(home, keyText, valueText);
    // What goes with message 2: where else to look, on standard error.
    terminal::FinishLine();
    if (found.empty()) {
        std::fprintf(stderr,
                     "No Wine prefix of Lutris, Bottles, Steam or PlayOnLinux holds the game either; name the game's "
                     "prefix with WINEPREFIX.\n");
    } else if (found.size() == 1) {
        std::fprintf(stderr, "The game is installed in this Wine prefix:\n  %s\nRun the patch again in it: %s\n",
                     found.front().c_str(), RerunCommand(found.front()).c_str());
    } else {
        std::fprintf(stderr, "The game is installed in these Wine prefixes:\n");
        for (const std::string& prefix : found) std::fprintf(stderr, "  %s\n", prefix.c_str());
        std::fprintf(stderr, "Choose one and run the patch again in it, as: %s\n", RerunCommand(found.front()).c_str());
    }
}
