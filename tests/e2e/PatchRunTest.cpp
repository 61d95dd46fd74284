// Whole runs of kivra-update as a process, over Wine-style prefixes and game
// installations built here.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "support/OnTerminal.h"
#include "support/PatchRun.h"

namespace {

using namespace patchrun;

class PatchRun : public PatchRunFixture {
protected:
    void TearDown() override
    {
        for (pid_t pid : children) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

    // Starts a stand-in under a program name (its argv[0]) and waits until
    // it runs.
    pid_t StandIn(const std::string& programName, const std::vector<std::string>& args,
                  const fs::path& executable = STANDIN)
    {
        int ready[2];
        EXPECT_EQ(pipe(ready), 0);
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(ready[1], STDOUT_FILENO);
            // In the prefix the patcher is run in, the test's own.
            setenv("WINEPREFIX", prefix.c_str(), 1);
            setenv("HOME", root.path().c_str(), 1);
            std::vector<std::string> all = {programName};
            all.insert(all.end(), args.begin(), args.end());
            std::vector<char*> argv;
            for (auto& a : all) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(executable.c_str(), argv.data());
            _exit(127);
        }
        close(ready[1]);
        char byte = 0;
        EXPECT_EQ(read(ready[0], &byte, 1), 1);
        close(ready[0]);
        children.push_back(pid);
        return pid;
    }

    bool Running(pid_t pid)
    {
        int status = 0;
        return waitpid(pid, &status, WNOHANG) == 0;
    }

    std::vector<pid_t> children;
};

constexpr char kCompleted[] = "Update is completed.\n1.02 Build 29 -> 1.02 Build 30\n";
constexpr char kCompletedAsk[] =
    "Update is completed.\nDo you want to play a new Kivra net \n1.02 Build 29 -> 1.02 Build 30\n";

TEST_F(PatchRun, CompletesWithOk)
{
    BuildPacks();
    const Outcome o = Run();
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_NE(o.out.find(kCompleted), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("(OK)"), std::string::npos) << o.out;
    EXPECT_EQ(o.err.find("[UPDATE"), std::string::npos) << o.err;
    ExpectPatched();
    // What was in the game pack and not in the patch stays.
    EXPECT_EQ(PackFiles(game / "Dev/Kivra.pak").size(), 5u);
}

TEST_F(PatchRun, LauncherRunningIsOfferedAgain)
{
    BuildPacks();
    Executable(game / "KNet.exe", "1.0.2.29");
    const pid_t launcher = StandIn("C:\\Games\\Kivra\\KNet.exe", {"obey"});
    testutil::TerminalRun run;
    run.program = "./kivra-update";
    run.directory = patch.string();
    run.environment = {"WINEPREFIX=" + prefix.string(), "HOME=" + installation.root.string(),
                       "PATH=" + (installation.root / "no-programs").string(), "TERM=dumb"};
    run.promptEnd = "(Yes/No) ";
    run.answer = "yes";
    const testutil::TerminalOutcome yes = testutil::RunOnTerminal(run);
    EXPECT_EQ(yes.status, 0) << yes.shown;
    EXPECT_FALSE(Running(launcher));
    EXPECT_NE(yes.shown.find("(Yes/No)"), std::string::npos) << yes.shown;
    // Yes starts the launcher; without Wine the patcher says it cannot.
    EXPECT_NE(yes.shown.find("KNet.exe"), std::string::npos) << yes.shown;
    ExpectPatched();

    // Off a terminal nobody is asked: what standard input holds is never an
    // answer, and nothing is started.
    StandIn("C:\\Games\\Kivra\\KNet.exe", {"obey"});
    const Outcome piped = Run("yes\n");
    EXPECT_EQ(piped.status, 0) << piped.out;
    EXPECT_NE(piped.out.find("(Yes/No)"), std::string::npos) << piped.out;
    EXPECT_EQ(piped.out.find("KNet.exe"), std::string::npos) << piped.out;
}

// Which message each decision shows is tested in-process (tests/update);
// here the messages as the terminal shows them, Korean in UTF-8.
TEST_F(PatchRun, NumberedMessagesAsThePlayerReadsThem)
{
    // No patch beside the patcher: refused before anything is closed.
    MakePack(game / "Dev/Kivra.pak", installed);
    Outcome o = Run();
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.err, "kivra-update: no Update.pak or update.lzh in " + fs::canonical(patch).string() +
                         "\nTry 'kivra-update --help'.\n");

    offered["NeedVersion.txt"] = B("1.0.2.30");
    MakePack(patch / "Update.pak", offered);
    o = Run();
    EXPECT_NE(o.status, 0);
    EXPECT_NE(o.err.find("\n[UPDATE 1]\n1.02 Build 30이상만 패치가 됩니다.\n"), std::string::npos) << o.err;

    offered["NeedVersion.txt"] = B("1.0.2.29");
    fs::remove(patch / "Update.pak");
    offered["Kivra_Pak\\Version.txt"] = B("1.0.2.28");
    MakePack(patch / "Update.pak", offered);
    o = Run();
    EXPECT_NE(o.status, 0);
    EXPECT_NE(o.err.find("\n[UPDATE 10]\n패치하려는 버젼이 더 오래된 버젼입니다.\n"), std::string::npos) << o.err;
    // Refused before anything was transferred.
    EXPECT_FALSE(fs::exists(game / "Bin"));
}

TEST_F(PatchRun, GamePathMustBeAStringInTheRegistry)
{
    BuildPacks();
    for (const std::string& values :
         {std::string("\"InstallPath\"=str(2):\"C:\\\\Games\\\\Kivra\""), std::string("\"Other\"=\"x\"")}) {
        Registry(values);
        const Outcome o = Run();
        EXPECT_NE(o.status, 0);
        EXPECT_NE(o.err.find("\n[UPDATE 2]\nCannot find the route of game.\n"), std::string::npos) << o.err;
    }
    // A 32-bit prefix keeps the key where it was written.
    Registry("\"InstallPath\"=\"C:\\\\Games\\\\Kivra\"", false);
    EXPECT_EQ(Run().status, 0);
}

TEST_F(PatchRun, QuietAfterTheLauncherWasReplaced)
{
    MakePack(game / "Dev/Kivra.pak", installed);
    Executable(game / "KNet.exe", "1.0.2.29");
    Executable(patch / "KNet.exe", "1.0.2.30");
    const Outcome o = Run();
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_EQ(o.err.find("[UPDATE"), std::string::npos) << o.err;
    EXPECT_NE(o.out.find("Update is completed.\n"), std::string::npos);
    EXPECT_EQ(o.out.find("Build 29 ->"), std::string::npos);
    EXPECT_EQ(ReadFile(game / "KNet.exe"), ReadFile(patch / "KNet.exe"));
    // The terminal says that only the launcher changed, and why.
    EXPECT_NE(o.err.find("Patch not applied: " + patch.string() +
                         "/Update.pak is missing; only the launcher was "
                         "replaced.\n"),
              std::string::npos)
        << o.err;

    // A patch the installation is too old for: the same, with the versions.
    offered["NeedVersion.txt"] = B("1.0.2.31");
    MakePack(patch / "Update.pak", offered);
    Executable(game / "KNet.exe", "1.0.2.29");
    const Outcome refused = Run();
    EXPECT_EQ(refused.status, 0) << refused.out;
    EXPECT_NE(refused.err.find("Patch not applied: the game is 1.02 Build 29, this patch needs 1.02 Build 31; only the "
                               "launcher was replaced.\n"),
              std::string::npos)
        << refused.err;
    EXPECT_NE(refused.out.find("Update is completed."), std::string::npos) << refused.out;
    fs::remove(patch / "Update.pak");

    // Not newer than the installed one: not copied, and the run is not
    // quiet.
    Executable(patch / "KNet.exe", "1.0.2.29");
    Executable(game / "KNet.exe", "1.0.2.29");
    const Outcome again = Run();
    EXPECT_NE(again.status, 0);
    EXPECT_NE(again.err.find("[UPDATE 7]"), std::string::npos) << again.err;
}

TEST_F(PatchRun, NothingToDoWhenEverythingIsCurrent)
{
    offered["Kivra_Pak\\Version.txt"] = B("1.0.2.29");
    BuildPacks();
    const Bytes pack = ReadFile(game / "Dev/Kivra.pak");
    StandIn("C:\\Games\\Kivra\\KNet.exe", {"obey"});
    const Outcome o = Run("no\n");
    EXPECT_EQ(o.status, 0) << o.out;
    EXPECT_NE(o.out.find("Update is completed.\nDo you want to play a new Kivra net \n("), std::string::npos) << o.out;
    EXPECT_EQ(ReadFile(game / "Dev/Kivra.pak"), pack);
    EXPECT_FALSE(fs::exists(game / "Bin"));
}

TEST_F(PatchRun, OldPacksHaveTheirEntriesRewritten)
{
    installed["Kivra_Pak\\Version.txt"] = B("1.0.0.47");
    installed["Kivra_Pak\\Map\\kept.map"] = Noise(5000, 9);
    offered["NeedVersion.txt"] = B("1.0.0.1");
    BuildPacks();
    // Spoil a contiguous byte: the rewrite pass recomputes it.
    testpack::Image image;
    image.bytes = ReadFile(game / "Dev/Kivra.pak");
    bool spoiled = false;
    for (std::size_t b = 0; b < image.Blocks() && !spoiled; ++b)
        for (std::size_t s = 0; s < 16; ++s) {
            testpack::Entry e = image.GetEntry(b, s);
            if (e.inUse == 1 && e.type == 2 && e.name == "kept.map") {
                e.contiguous = 0;
                image.PutEntry(b, s, e);
                spoiled = true;
                break;
            }
        }
    ASSERT_TRUE(spoiled);
    WriteFile(game / "Dev/Kivra.pak", image.bytes);
    const Outcome o = Run();
    EXPECT_EQ(o.status, 0) << o.out;
    EXPECT_NE(o.out.find("1.00 Build 47 -> 1.02 Build 30"), std::string::npos) << o.out;
    const pack::CheckResult check = pack::CheckPackFile((game / "Dev/Kivra.pak").c_str());
    EXPECT_TRUE(check.Clean()) << (check.problems.empty() ? "" : check.problems.front());
}

TEST_F(PatchRun, WaitsOutASharingViolation)
{
    BuildPacks();
    // The installed launcher's file is busy for three seconds, held by a
    // program that is not the launcher.
    fs::copy_file(STANDIN, game / "KNet.exe");
    StandIn("holder", {"linger", "3000"}, game / "KNet.exe");
    Executable(patch / "KNet.exe", "1.0.2.30");
    const auto start = std::chrono::steady_clock::now();
    const Outcome o = Run();
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_GE(seconds, 2);
    EXPECT_EQ(ReadFile(game / "KNet.exe"), ReadFile(patch / "KNet.exe"));
}

TEST_F(PatchRun, GameThatWillNotCloseStopsTheRun)
{
    BuildPacks();
    StandIn("C:\\Games\\Kivra\\Kivra.exe", {"ignore"});
    const Outcome o = Run();
    EXPECT_NE(o.status, 0);
    EXPECT_NE(o.err.find("\n[UPDATE 3]\nIt has exceeded the maximum waiting time of kivra.exe.\n"), std::string::npos)
        << o.err;
}

TEST_F(PatchRun, StubbornLauncherByVersion)
{
    BuildPacks();
    // Newer than 1.0.2.29: left running, message 4.
    Executable(game / "KNet.exe", "1.0.2.30");
    pid_t launcher = StandIn("C:\\Games\\Kivra\\KNet.exe", {"ignore"});
    Outcome o = Run();
    EXPECT_NE(o.err.find("\n[UPDATE 4]\nIt has exceeded the maximum waiting time of knet.exe.\n"), std::string::npos)
        << o.err;
    EXPECT_TRUE(Running(launcher));

    // Its version cannot be read: message 5, nothing ended.
    fs::remove(game / "KNet.exe");
    o = Run();
    EXPECT_NE(o.err.find("\n[UPDATE 5]\nCannot find the version of Kivra net.\n"), std::string::npos) << o.err;
    EXPECT_TRUE(Running(launcher));

    // 1.0.2.29 or older: ended, and the update goes on.
    Executable(game / "KNet.exe", "1.0.2.29");
    o = Run("no\n");
    EXPECT_EQ(o.status, 0) << o.out;
    EXPECT_FALSE(Running(launcher));
    ExpectPatched();
}

TEST_F(PatchRun, AFileThatCannotBeWrittenIsNoCompletion)
{
    BuildPacks();
    // The disk is full where the patch's library goes.
    fs::create_directories(game / "Bin");
    fs::create_symlink("/dev/full", game / "Bin/tool.dll");
    const Outcome o = Run();
    EXPECT_NE(o.status, 0);
    EXPECT_NE(o.err.find("\n[UPDATE 7]\nfile open error\n(Bin\\tool.dll)\n"), std::string::npos) << o.err;
    EXPECT_EQ(o.out.find("Update is completed."), std::string::npos) << o.out;
    // The game pack itself was patched and is sound.
    const pack::CheckResult check = pack::CheckPackFile((game / "Dev/Kivra.pak").c_str());
    EXPECT_TRUE(check.Clean());
}

TEST_F(PatchRun, AnotherWriterOfTheGamePackKeepsThePatchOutUntilItIsDone)
{
    BuildPacks();
    const std::string command = "cd '" + patch.string() + "' && '" LZH_TOOL "' a update.lzh Update.pak >/dev/null";
    ASSERT_EQ(system(command.c_str()), 0);
    fs::remove(patch / "Update.pak");

    // Another program writes the game pack, and is half-way through a file.
    {
        auto writer = std::make_unique<CPackFileManager>();
        ASSERT_EQ(writer->Open((game / "Dev/Kivra.pak").c_str(), "rb+"), 1);
        const int h = writer->OpenFile("Z:\\Kivra_Pak\\mine.txt", OF_WRITE, kInPack);
        ASSERT_GE(h, 1);
        ASSERT_EQ(writer->Write("half", 4, 1, h), 1u);
        ASSERT_EQ(writer->Flush(), 0);
        const Bytes before = ReadFile(game / "Dev/Kivra.pak");

        const Outcome o = Run();
        EXPECT_EQ(o.status, 1) << o.out << o.err;
        EXPECT_NE(o.err.find("C:\\Games\\Kivra\\Dev\\Kivra.pak is in use by another program"), std::string::npos)
            << o.err;
        EXPECT_NE(o.err.find("[UPDATE 7]\nfile open error\n(C:\\Games\\Kivra\\Dev\\Kivra.pak)\n"), std::string::npos)
            << o.err;
        // Refused before anything was unpacked.
        EXPECT_FALSE(fs::exists(patch / "Update.pak"));
        EXPECT_EQ(ReadFile(game / "Dev/Kivra.pak"), before);

        ASSERT_EQ(writer->Write(" and whole", 10, 1, h), 1u);
        EXPECT_EQ(writer->CloseFile(h), 0);
        writer->Close();
    }
    const Outcome o = Run();
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    ExpectPatched();
    EXPECT_EQ(PackFiles(game / "Dev/Kivra.pak").at("Kivra_Pak\\mine.txt"), B("half and whole"));
}

TEST_F(PatchRun, AStopWhileUnpackingLeavesNoTemporaryAndWhatKilledRunsLeftIsSweptUp)
{
    BuildPacks();
    const std::string command = "cd '" + patch.string() + "' && '" LZH_TOOL "' a -0 stored.lzh Update.pak >/dev/null";
    ASSERT_EQ(system(command.c_str()), 0);
    const Bytes archive = ReadFile(patch / "stored.lzh");
    fs::remove(patch / "stored.lzh");
    fs::remove(patch / "Update.pak");
    WriteFile(patch / "update.lzh", archive);
    const pid_t gone = [] {
        const pid_t child = fork();
        if (child == 0) _exit(0);
        waitpid(child, nullptr, 0);
        return child;
    }();
    const std::string killed = "~lzh" + std::to_string(gone) + "-0.tmp";
    WriteFile(patch / killed, std::string("left by a killed run"));
    WriteFile(patch / "~lzh1-0.tmp", std::string("of a process that runs"));

    // Stopped as Ctrl-C stops it, at its first write: into the member's
    // temporary, in the middle of unpacking.
    RunOptions options;
    options.environment = {"LD_PRELOAD=" WRITE_COUNTER, "ASAN_OPTIONS=verify_asan_link_order=0", "KIVRA_KILL_AT=1",
                           "KIVRA_KILL_SIGNAL=INT"};
    const Outcome o = installation.Run(options);
    EXPECT_EQ(o.status, 128 + SIGINT) << o.out << o.err;
    EXPECT_NE(o.err.find("kivra-update: stopped; if the patch was not completed, run it again to finish.\n"),
              std::string::npos)
        << o.err;
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(patch)) left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"kivra-update", "update.lzh", "~lzh1-0.tmp"}));
}

TEST_F(PatchRun, UnpacksUpdateLzhFirst)
{
    if (system("command -v jlha >/dev/null 2>&1") != 0) GTEST_SKIP() << "jlha is not installed";
    BuildPacks();
    const std::string command = "cd '" + patch.string() + "' && jlha a1q update.lzh Update.pak >/dev/null 2>&1";
    ASSERT_EQ(system(command.c_str()), 0);
    const Bytes pack = ReadFile(patch / "Update.pak");
    fs::remove(patch / "Update.pak");
    const Outcome o = Run();
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_EQ(ReadFile(patch / "Update.pak"), pack);
    ExpectPatched();
}

// A folder that holds no patch is refused before anything is done: the game
// and the launcher that run stay running, and the player is told at once.
TEST_F(PatchRun, NoPatchIsRefusedBeforeTheGameIsClosed)
{
    MakePack(game / "Dev/Kivra.pak", installed);
    WriteFile(patch / "notes.txt", std::string("not a patch"));
    const std::string folder = fs::canonical(patch).string();
    const struct {
        std::vector<std::string> arguments;
        std::string line;
    } cases[] = {
        {{}, "no Update.pak or update.lzh in " + folder},
        {{"--dry-run"}, "no Update.pak or update.lzh in " + folder},
        {{patch.string()}, "no Update.pak or update.lzh in " + folder},
        {{(patch / "notes.txt").string()}, (patch / "notes.txt").string() + ": is a file, not a folder"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const pid_t running = StandIn("C:\\Games\\Kivra\\Kivra.exe", {"obey"});
        RunOptions options;
        options.arguments = c.arguments;
        const Outcome o = installation.Run(options);
        EXPECT_EQ(o.status, 2) << o.out;
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(o.err, "kivra-update: " + c.line + "\nTry 'kivra-update --help'.\n");
        EXPECT_TRUE(Running(running)) << "the game was closed";
        kill(running, SIGKILL);
        waitpid(running, nullptr, 0);
        children.pop_back();
    }

    // update.lzh named in place of its folder names the folder.
    BuildPacks();
    const std::string command = "cd '" + patch.string() + "' && '" LZH_TOOL "' a update.lzh Update.pak >/dev/null";
    ASSERT_EQ(system(command.c_str()), 0);
    fs::remove(patch / "Update.pak");
    RunOptions options;
    options.arguments = {(patch / "update.lzh").string()};
    const Outcome o = installation.Run(options);
    EXPECT_EQ(o.status, 0) << o.err;
    ExpectPatched();
}

// Run by root (sudo) on a prefix a user owns, the patcher writes as that
// user: every file and folder it makes in the game is the user's.
TEST_F(PatchRun, RootWritesAsThePrefixOwner)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to run the patcher as root on another user's prefix";
    constexpr uid_t kUser = 65534;  // nobody
    BuildPacks();
    Executable(game / "KNet.exe", "1.0.2.29");
    Executable(patch / "KNet.exe", "1.0.2.30");
    // A user's prefix, game and downloaded patch.
    fs::permissions(root.path(), fs::perms(0755));
    for (const auto& entry : fs::recursive_directory_iterator(root.path()))
        ASSERT_EQ(lchown(entry.path().c_str(), kUser, kUser), 0) << entry.path();
    const Outcome o = Run();
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_NE(o.out.find("(it belongs to nobody: the patch runs as nobody)"), std::string::npos) << o.out;
    ExpectPatched();
    for (const char* made : {"KNet.exe", "Bin", "Bin/tool.dll", "NeedVersion.txt", "ReadMe.txt", "Dev/Kivra.pak"}) {
        struct stat st {};
        ASSERT_EQ(stat((game / made).c_str(), &st), 0) << made;
        EXPECT_EQ(st.st_uid, kUser) << made;
        EXPECT_EQ(st.st_gid, kUser) << made;
    }
}

// kivra-update PATCH > log at a terminal: the log takes the results, the
// terminal shows what went wrong, and nothing waits for an answer nobody
// would see.
TEST_F(PatchRun, OutputToALogAtATerminal)
{
    enum class Arrange {
        TooOld,
        FileInTheWay,
        NoPatch
    };
    const struct {
        Arrange arrange;
        int status;
        std::string terminal;  // shown on the terminal
        std::string log;       // the log begins so
    } cases[] = {
        {Arrange::TooOld, 1,
         "The game is 1.02 Build 29; this patch needs 1.02 Build 30 or later: it was not applied.\r\n\r\n[UPDATE 1]",
         "Wine prefix "},
        {Arrange::FileInTheWay, 1, "[UPDATE 7]\r\nfile open error\r\n(Bin)", "Wine prefix "},
        {Arrange::NoPatch, 2, "kivra-update: no Update.pak or update.lzh in ", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.terminal);
        testutil::TempDir scratch;
        installation = Installation(scratch.path());
        SetUp();
        if (c.arrange == Arrange::TooOld) offered["NeedVersion.txt"] = B("1.0.2.30");
        if (c.arrange == Arrange::NoPatch)
            MakePack(game / "Dev/Kivra.pak", installed);
        else
            BuildPacks();
        if (c.arrange == Arrange::FileInTheWay) WriteFile(game / "Bin", std::string("where the patch has a folder"));
        testutil::TerminalRun run;
        run.program = "/bin/sh";
        run.arguments = {"-c", "./kivra-update >log.txt"};
        run.directory = patch.string();
        run.environment = {"WINEPREFIX=" + prefix.string(), "HOME=" + installation.root.string(), "PATH=/usr/bin:/bin",
                           "TERM=dumb"};
        run.seconds = 20;
        const testutil::TerminalOutcome o = testutil::RunOnTerminal(run);
        const std::string log = Slurp(patch / "log.txt");
        EXPECT_EQ(o.status, c.status) << o.shown;
        EXPECT_NE(o.shown.find(c.terminal), std::string::npos) << o.shown;
        EXPECT_EQ(log.rfind(c.log, 0), 0u) << log;
        EXPECT_EQ(log.find("[UPDATE"), std::string::npos) << log;
        EXPECT_EQ(o.shown.find("press Enter"), std::string::npos) << o.shown;
    }
}

}  // namespace
