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

TEST_F(TerminalRun, HelpAndVersionPrintAndEndOtherArgumentsRunThePatch)
{
    BuildPacks();
    const struct {
        std::vector<std::string> arguments;
        int status;
        std::string startsWith;
        bool patches;
    } cases[] = {
        {{"--help"}, 0, "usage: kivra-update [--dry-run | --help | --version]\n", false},
        {{"--version"}, 0, "kivra-update 1.0.0.1\n", false},
        {{"--version", "--help"}, 0, "kivra-update 1.0.0.1\n", false},
        {{"-h"}, 0, "Wine prefix ", true},
        {{"again"}, 0, "Wine prefix ", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.front());
        BuildPacks();
        const Outcome o = RunWith(c.arguments);
        EXPECT_EQ(o.status, c.status) << o.out << "\nstderr: " << o.err;
        EXPECT_EQ(o.out.rfind(c.startsWith, 0), 0u) << o.out;
        EXPECT_EQ(o.out.find("Update is completed.") != std::string::npos, c.patches) << o.out;
    }
    const Outcome help = RunWith({"--help"});
    for (const char* told : {"WINEPREFIX", "~/.wine", "Update.pak", "update.lzh", "Exit status"})
        EXPECT_NE(help.out.find(told), std::string::npos) << told;
}

TEST_F(TerminalRun, TheFirstLineNamesThePrefixTheGameAndAnotherOwner)
{
    BuildPacks();
    const std::string host = (prefix / "dosdevices/c:/Games/Kivra/").string();
    Outcome o = Run();
    EXPECT_EQ(o.out.substr(0, o.out.find('\n')),
              "Wine prefix " + prefix.string() + ", game directory C:\\Games\\Kivra\\ (" + host + ")");

    if (geteuid() == 0) {
        // A patcher started with sudo reads root's prefix: said on that line.
        ASSERT_EQ(chown(prefix.c_str(), 65534, 65534), 0);
        o = Run();
        const std::string first = o.out.substr(0, o.out.find('\n'));
        EXPECT_NE(first.find(" (it belongs to "), std::string::npos) << first;
        EXPECT_NE(first.find(", not to root)"), std::string::npos) << first;
        ASSERT_EQ(chown(prefix.c_str(), 0, 0), 0);
    }

    Registry("\"Other\"=\"x\"");
    o = Run();
    EXPECT_EQ(o.out.substr(0, o.out.find('\n')),
              "Wine prefix " + prefix.string() + ", no game directory in its registry");
    EXPECT_NE(o.status, 0);
}

TEST_F(TerminalRun, UnpackingIsOneLineOnATerminalAndFullStopsElsewhere)
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

    // Not a terminal: a full stop for each 8192 bytes of Update.pak.
    archive();
    const Outcome o = Run();
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    const std::size_t chunks = (fs::file_size(pack) + 8191) / 8192;
    EXPECT_NE(o.err.find(std::string(chunks, '.')), std::string::npos) << o.err;
    EXPECT_EQ(o.err.find("Unpacking"), std::string::npos) << o.err;
}

}  // namespace
