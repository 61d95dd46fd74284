// What a player sees of kivra-update in a terminal: the options, the first
// line naming the prefix and the game, and the unpacking of update.lzh.
#include <gtest/gtest.h>

#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "support/OnTerminal.h"
#include "support/PatchRun.h"

namespace {

using namespace patchrun;

class TerminalRun : public PatchRunFixture {
protected:
    Outcome RunWith(const std::vector<std::string>& arguments)
    {
        RunOptions options;
        options.arguments = arguments;
        return installation.Run(options);
    }

    // Runs the patcher with a pseudo-terminal for its standard input, output
    // and error, answering every question with Enter. What the terminal
    // showed, line ends as "\r\n".
    std::string RunOnTerminal()
    {
        testutil::TerminalRun run;
        run.program = "./kivra-update";
        run.directory = patch.string();
        run.environment = {"WINEPREFIX=" + prefix.string(), "HOME=" + root.path(), "PATH=" + root / "no-programs",
                           "TERM=dumb"};
        run.promptEnd = ") ";
        return testutil::RunOnTerminal(run).shown;
    }
};

TEST_F(TerminalRun, TheCommandLineTakesAnOptionAndAPatchFolderAndRefusesTheRest)
{
    const struct {
        std::vector<std::string> arguments;
        int status;
        std::string starts;  // stdout, or with status 2 stderr
        bool patches;
    } cases[] = {
        {{"--help"}, 0, "usage: kivra-update [--dry-run] [PATCHDIR]\n", false},
        {{"--version"}, 0, "kivra-update 1.0.0.1\n", false},
        {{"--version", "--help"},
         2,
         "kivra-update: '--version' takes nothing beside it\nTry 'kivra-update --help'.\n",
         false},
        {{"-h"}, 0, "usage: kivra-update [--dry-run] [PATCHDIR]\n", false},
        {{"--dry-rum"}, 2, "kivra-update: unknown option '--dry-rum'\nTry 'kivra-update --help'.\n", false},
        {{"--dry-run", "--dry-run"}, 0, "Wine prefix ", false},
        {{".", "again"}, 2, "kivra-update: one folder at most: 'again' after '.'\nTry 'kivra-update --help'.\n", false},
        {{"no-such-folder"}, 2, "kivra-update: no such folder: no-such-folder\nTry 'kivra-update --help'.\n", false},
        {{"."}, 0, "Wine prefix ", true},
        {{"--", "."}, 0, "Wine prefix ", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.front());
        BuildPacks();
        const Outcome o = RunWith(c.arguments);
        EXPECT_EQ(o.status, c.status) << o.out << "\nstderr: " << o.err;
        EXPECT_EQ((c.status == 2 ? o.err : o.out).rfind(c.starts, 0), 0u) << o.out << "\nstderr: " << o.err;
        if (c.status == 2) {
            EXPECT_EQ(o.out, "");
        }
        EXPECT_EQ(o.out.find("Update is completed.") != std::string::npos, c.patches) << o.out;
    }
    const Outcome help = RunWith({"--help"});
    for (const char* told : {"WINEPREFIX", "~/.wine", "Update.pak", "update.lzh", "--dry-run", "Exit status"})
        EXPECT_NE(help.out.find(told), std::string::npos) << told;
}

TEST_F(TerminalRun, ThePatchFolderIsTheOneNamedTheOneBesideTheProgramOrTheCurrentOne)
{
    // An installed copy, found on the PATH, and a link to it.
    const fs::path bin = root.path() + "/bin";
    fs::create_directories(bin);
    fs::copy_file(patch / "kivra-update", bin / "kivra-update");
    fs::remove(patch / "kivra-update");
    fs::create_symlink(bin / "kivra-update", patch / "kivra-update");
    const struct {
        const char* what;
        std::string program;
        std::string directory;
        std::vector<std::string> arguments;
    } cases[] = {
        {"from the PATH, the folder named", "kivra-update", root.path(), {patch.string()}},
        {"from the PATH, in the patch folder", "kivra-update", patch.string(), {}},
        {"through a link in the patch folder", (patch / "kivra-update").string(), root.path(), {}},
        {"a relative folder", (bin / "kivra-update").string(), root.path(), {"patch"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        BuildPacks();
        RunOptions options;
        options.program = c.program;
        options.directory = c.directory;
        options.arguments = c.arguments;
        options.environment = {"PATH=" + bin.string()};
        const Outcome o = installation.Run(options);
        EXPECT_EQ(o.status, 0) << o.out << o.err;
        ExpectPatched();
    }
}

TEST_F(TerminalRun, TheFirstLineNamesThePrefixTheGameAndAnotherOwner)
{
    BuildPacks();
    const std::string host = (prefix / "dosdevices/c:/Games/Kivra/").string();
    Outcome o = Run();
    EXPECT_EQ(o.out.substr(0, o.out.find('\n')),
              "Wine prefix " + prefix.string() + ", game directory C:\\Games\\Kivra\\ (" + host + ")");

    if (geteuid() == 0) {
        // A patcher started with sudo on a user's prefix runs as that user:
        // said on that line.
        fs::permissions(root.path(), fs::perms(0755));
        ASSERT_EQ(chown(prefix.c_str(), 65534, 65534), 0);
        o = Run();
        const std::string first = o.out.substr(0, o.out.find('\n'));
        EXPECT_NE(first.find(" (it belongs to "), std::string::npos) << first;
        EXPECT_NE(first.find(": the patch runs as "), std::string::npos) << first;
        ASSERT_EQ(chown(prefix.c_str(), 0, 0), 0);
    }

    Registry("\"Other\"=\"x\"");
    o = Run();
    EXPECT_EQ(o.out.substr(0, o.out.find('\n')),
              "Wine prefix " + prefix.string() + ", no game directory in its registry");
    EXPECT_NE(o.status, 0);
}

TEST_F(TerminalRun, UnpackingIsOneLineOnATerminalAndAFewWholeLinesInALog)
{
    if (system("command -v jlha >/dev/null 2>&1") != 0) GTEST_SKIP() << "jlha is not installed";
    offered["Kivra_Pak\\Map\\big.map"] = Noise(300000, 9);
    BuildPacks();
    const std::string pack = (patch / "Update.pak").string();
    const auto archive = [&] {
        const std::string command = "cd '" + patch.string() + "' && jlha a1q update.lzh Update.pak >/dev/null 2>&1";
        ASSERT_EQ(system(command.c_str()), 0);
        fs::remove(pack);
    };
    archive();
    const std::uintmax_t size = fs::file_size(patch / "update.lzh");

    const std::string shown = RunOnTerminal();
    EXPECT_NE(shown.find("Unpacking update.lzh: " + std::to_string(size) + " of " + std::to_string(size) + " bytes"),
              std::string::npos)
        << shown;
    // No run of full stops: the progress bar's 30 are the longest.
    EXPECT_EQ(shown.find(std::string(31, '.')), std::string::npos) << shown;
    EXPECT_NE(shown.find("Update is completed."), std::string::npos) << shown;

    // Not a terminal, as in a log of both streams: whole lines, a few of
    // them, the last one ended too.
    for (int i = 0; i < 40; ++i) offered["Kivra_Pak\\Map\\m" + std::to_string(i)] = Noise(3000, 20 + i);
    BuildPacks();
    archive();
    const Outcome o = Run();
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_EQ(o.err.find('.'), std::string::npos) << o.err;
    ASSERT_FALSE(o.out.empty());
    EXPECT_EQ(o.out.back(), '\n') << o.out;
    std::size_t unpacking = 0;
    std::size_t progress = 0;
    for (std::size_t at = 0; at < o.out.size();) {
        const std::size_t end = o.out.find('\n', at);
        const std::string line = o.out.substr(at, end - at);
        EXPECT_EQ(line.find('\r'), std::string::npos) << line;
        unpacking += line.rfind("Unpacking update.lzh: ", 0) == 0;
        progress += line.rfind("[", 0) == 0 && line.find("%] ") == 4;
        at = end + 1;
    }
    EXPECT_NE(o.out.find("Unpacking update.lzh: 100%\n"), std::string::npos) << o.out;
    EXPECT_LE(unpacking, 11u) << o.out;
    // 44 files, a line for each twentieth at most.
    EXPECT_LE(progress, 21u) << o.out;
    EXPECT_GE(progress, 2u) << o.out;
}

// A terminal is drawn again when the progress moves a percent (or the file
// shown changes), not for every chunk: one 12 MB archive redrew it some
// thousands of times.
TEST_F(TerminalRun, ATerminalIsRedrawnAPercentAtATime)
{
    offered["Kivra_Pak\\Map\\big.map"] = Noise(12 << 20, 9);
    BuildPacks();
    const std::string command = "cd '" + patch.string() + "' && '" LZH_TOOL "' a -0 update.lzh Update.pak >/dev/null";
    ASSERT_EQ(system(command.c_str()), 0);
    fs::remove(patch / "Update.pak");
    const std::string shown = RunOnTerminal();
    EXPECT_NE(shown.find("Update is completed."), std::string::npos) << shown.substr(shown.size() - 300);
    std::size_t redrawn = 0;
    for (std::size_t at = shown.find("\r\033[K"); at != std::string::npos; at = shown.find("\r\033[K", at + 1))
        ++redrawn;
    // Unpacking and copying, each a hundred percent, and the few files.
    EXPECT_LE(redrawn, 250u);
    EXPECT_GE(redrawn, 20u);
}

}  // namespace
