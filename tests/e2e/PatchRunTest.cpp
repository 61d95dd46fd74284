// Whole runs of kivra-update as a process, over Wine-style prefixes and game
// installations built here.
#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "pack/PackCheck.h"
#include "pack/PackFileManager.h"
#include "support/PackImage.h"
#include "support/PeWriter.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using testutil::ReadFile;
using testutil::WriteFile;

namespace {

using Bytes = std::vector<std::uint8_t>;
using Tree = std::map<std::string, Bytes>;  // pack path ("a\b") to content; directories end in "\"

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Noise(std::size_t size, unsigned seed)
{
    Bytes b(size);
    std::uint32_t x = seed * 7919u + 17u;
    for (auto& c : b) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<std::uint8_t>(x);
    }
    return b;
}

// Makes a pack holding tree, through the engine.
void MakePack(const std::string& path, const Tree& tree)
{
    auto engine = std::make_unique<CPackFileManager>();
    ASSERT_EQ(engine->Open(path.c_str(), "wb"), 1);
    engine->Close();
    ASSERT_EQ(engine->Open(path.c_str(), "rb+"), 1);
    for (const auto& [name, content] : tree) {
        const std::string full = "Z:\\" + name;
        if (name.back() == '\\') {
            ASSERT_EQ(engine->MakeDir(full.c_str()), 0) << name;
            continue;
        }
        const std::size_t cut = full.rfind('\\');
        ASSERT_EQ(engine->MakeDir(full.substr(0, cut).c_str()), 0);
        const int h = engine->OpenFile(full.c_str(), 1, 1);
        ASSERT_GE(h, 1) << name;
        if (!content.empty()) {
            ASSERT_EQ(engine->Write(content.data(), content.size(), 1, h), 1u);
        }
        engine->CloseFile(h);
    }
    engine->Close();
}

// The files of a pack, read from its bytes without the engine.
std::map<std::string, Bytes> PackFiles(const std::string& path)
{
    testpack::Image image;
    image.bytes = ReadFile(path);
    std::vector<testpack::Node> nodes;
    EXPECT_TRUE(testpack::ReadTree(image, nodes));
    std::map<std::string, Bytes> files;
    for (const auto& node : nodes)
        if (node.entry.type == 2) files[node.path] = node.data;
    return files;
}

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string Slurp(const std::string& path)
{
    const Bytes b = ReadFile(path);
    return std::string(b.begin(), b.end());
}

class PatchRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(game / "Dev");
        fs::create_directories(patch);
        fs::create_directories(prefix / "dosdevices");
        fs::create_symlink("../drive_c", prefix / "dosdevices/c:");
        Registry("\"InstallPath\"=\"C:\\\\Games\\\\Kivra\"");
        installed = {{"Kivra_Pak\\Version.txt", B("1.0.2.29")},
                     {"Kivra_Pak\\Map\\old.map", Noise(3000, 1)},
                     {"Kivra_Pak\\Map\\keep.map", Noise(5000, 6)}};
        offered = {{"NeedVersion.txt", B("1.0.2.29")},
                   {"ReadMe.txt", B("What is new.")},
                   {"Kivra_Pak\\Version.txt", B("1.0.2.30\r\n")},
                   {"Kivra_Pak\\Map\\new.map", Noise(70000, 2)},
                   {"Kivra_Pak\\Map\\old.map", Noise(2049, 3)},
                   {"Kivra_Pak\\Sound\\", {}},
                   {"Kivra_Pak\\Sound\\hit.wav", Noise(65536, 4)},
                   {"Bin\\tool.dll", Noise(100000, 5)}};
        fs::copy_file(KIVRA_UPDATE, patch / "kivra-update");
        Executable(game / "Kivra.exe", "1.0.2.29");
    }

    void TearDown() override
    {
        for (pid_t pid : children) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

    void Registry(const std::string& values, bool win64 = true)
    {
        const std::string key = win64 ? "Software\\\\Wow6432Node\\\\Pendix\\\\Kivra" : "Software\\\\Pendix\\\\Kivra";
        WriteFile(prefix / "system.reg", "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=" +
                                             std::string(win64 ? "win64" : "win32") + "\n\n[" + key +
                                             "] 1700000000\n#time=1d9a0a0a0a0a0a0\n" + values + "\n");
    }

    static void Executable(const fs::path& path, const std::string& version)
    {
        testpe::VersionResource r;
        r.fileVersion = version;
        WriteFile(path, testpe::Executable(r));
    }

    void BuildPacks()
    {
        MakePack(game / "Dev/Kivra.pak", installed);
        MakePack(patch / "Update.pak", offered);
    }

    // Starts a stand-in under a program name (its argv[0]) and waits until
    // it runs.
    pid_t StandIn(const std::string& programName, const std::vector<std::string>& args, const fs::path& executable = STANDIN)
    {
        int ready[2];
        EXPECT_EQ(pipe(ready), 0);
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(ready[1], STDOUT_FILENO);
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

    Outcome Run(const std::string& input = "")
    {
        Outcome outcome;
        const std::string out = root / "out.txt";
        const std::string err = root / "err.txt";
        const std::string in = root / "in.txt";
        WriteFile(in, input);
        const pid_t pid = fork();
        if (pid == 0) {
            const int i = open(in.c_str(), O_RDONLY);
            const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(i, 0);
            dup2(o, 1);
            dup2(e, 2);
            if (chdir(patch.c_str()) != 0) _exit(126);
            const std::string prefixVariable = "WINEPREFIX=" + prefix.string();
            const std::string home = "HOME=" + root.path();
            // No Wine on the PATH: starting the launcher is only reported.
            const std::string path = "PATH=" + root.path() + "/no-programs";
            char* env[] = {const_cast<char*>(prefixVariable.c_str()), const_cast<char*>(home.c_str()),
                           const_cast<char*>(path.c_str()), nullptr};
            char* argv[] = {const_cast<char*>("./kivra-update"), nullptr};
            execve("./kivra-update", argv, env);
            _exit(127);
        }
        // Bounded: a patcher that hangs is killed and the test fails.
        int status = 0;
        for (int waited = 0; waitpid(pid, &status, WNOHANG) == 0; waited += 50) {
            if (waited > 120000) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                ADD_FAILURE() << "the patcher did not end";
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        outcome.out = Slurp(out);
        outcome.err = Slurp(err);
        return outcome;
    }

    // The game pack is sound and holds the patch's "Kivra_Pak" tree; the
    // rest of the patch is on disk, byte for byte.
    void ExpectPatched()
    {
        const pack::CheckResult check = pack::CheckPackFile((game / "Dev/Kivra.pak").c_str());
        EXPECT_TRUE(check.Clean()) << (check.problems.empty() ? "lost blocks" : check.problems.front());
        const auto files = PackFiles(game / "Dev/Kivra.pak");
        for (const auto& [name, content] : offered) {
            if (name.back() == '\\') continue;
            if (name.rfind("Kivra_Pak\\", 0) == 0) {
                ASSERT_TRUE(files.count(name)) << name;
                EXPECT_EQ(files.at(name), content) << name;
            } else {
                std::string disk = name;
                for (char& c : disk)
                    if (c == '\\') c = '/';
                EXPECT_EQ(ReadFile(game / disk), content) << name;
            }
        }
    }

    testutil::TempDir root;
    fs::path prefix = fs::path(root.path()) / "prefix";
    fs::path game = prefix / "drive_c/Games/Kivra";
    fs::path patch = fs::path(root.path()) / "patch";
    Tree installed;
    Tree offered;
    std::vector<pid_t> children;
};

constexpr char kCompleted[] = "Update is completed.\n1.02 Build 29 -> 1.02 Build 30\n";
constexpr char kCompletedAsk[] = "Update is completed.\nDo you want to play a new Kivra net \n1.02 Build 29 -> 1.02 Build 30\n";

TEST_F(PatchRun, CompletesWithOk)
{
    BuildPacks();
    const Outcome o = Run();
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_NE(o.out.find(kCompleted), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("(OK)"), std::string::npos) << o.out;
    EXPECT_EQ(o.out.find("[UPDATE"), std::string::npos) << o.out;
    ExpectPatched();
    // What was in the game pack and not in the patch stays.
    EXPECT_EQ(PackFiles(game / "Dev/Kivra.pak").size(), 5u);
}

TEST_F(PatchRun, LauncherRunningIsOfferedAgain)
{
    BuildPacks();
    Executable(game / "KNet.exe", "1.0.2.29");
    const pid_t launcher = StandIn("C:\\Games\\Kivra\\KNet.exe", {"obey"});
    const Outcome yes = Run("yes\n");
    EXPECT_EQ(yes.status, 0) << yes.out << yes.err;
    EXPECT_FALSE(Running(launcher));
    EXPECT_NE(yes.out.find(kCompletedAsk), std::string::npos) << yes.out;
    EXPECT_NE(yes.out.find("(Yes/No)"), std::string::npos) << yes.out;
    // Yes starts the launcher; without Wine the patcher says it cannot.
    EXPECT_NE(yes.out.find("KNet.exe"), std::string::npos) << yes.out;
    ExpectPatched();

    // No starts nothing.
    StandIn("C:\\Games\\Kivra\\KNet.exe", {"obey"});
    const Outcome no = Run("no\n");
    EXPECT_EQ(no.status, 0) << no.out;
    EXPECT_EQ(no.out.find("KNet.exe"), std::string::npos) << no.out;
}

TEST_F(PatchRun, NumberedMessagesForMissingFilesAndVersions)
{
    // No patch pack beside the patcher.
    MakePack(game / "Dev/Kivra.pak", installed);
    Outcome o = Run();
    EXPECT_NE(o.status, 0);
    EXPECT_NE(o.out.find("\n[UPDATE 7]\nfile open error\n(" + patch.string() + "/Update.pak)\n"), std::string::npos) << o.out;

    struct Case {
        const char* remove;
        const char* text;
    } cases[] = {{"NeedVersion.txt", "\n[UPDATE 8]\nfile not found.\n(Need Version)\n"},
                 {"Kivra_Pak\\Version.txt", "\n[UPDATE 8]\nfile not found.\n(Patch Version)\n"}};
    for (const Case& c : cases) {
        Tree tree = offered;
        tree.erase(c.remove);
        MakePack(patch / "Update.pak", tree);
        o = Run();
        EXPECT_NE(o.status, 0);
        EXPECT_NE(o.out.find(c.text), std::string::npos) << o.out;
    }

    Tree bare = installed;
    bare.erase("Kivra_Pak\\Version.txt");
    MakePack(game / "Dev/Kivra.pak", bare);
    MakePack(patch / "Update.pak", offered);
    o = Run();
    EXPECT_NE(o.out.find("\n[UPDATE 8]\nfile not found.\n(Current Version)\n"), std::string::npos) << o.out;

    MakePack(game / "Dev/Kivra.pak", installed);
    offered["NeedVersion.txt"] = B("1.0.2.30");
    MakePack(patch / "Update.pak", offered);
    o = Run();
    EXPECT_NE(o.out.find("\n[UPDATE 1]\n1.02 Build 30이상만 패치가 됩니다.\n"), std::string::npos) << o.out;

    offered["NeedVersion.txt"] = B("1.0.2.29");
    offered["Kivra_Pak\\Version.txt"] = B("1.0.2.28");
    MakePack(patch / "Update.pak", offered);
    o = Run();
    EXPECT_NE(o.status, 0);
    EXPECT_NE(o.out.find("\n[UPDATE 10]\n패치하려는 버젼이 더 오래된 버젼입니다.\n"), std::string::npos) << o.out;
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
        EXPECT_NE(o.out.find("\n[UPDATE 2]\nCannot find the route of game.\n"), std::string::npos) << o.out;
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
    EXPECT_EQ(o.out.find("[UPDATE"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("Update is completed.\n"), std::string::npos);
    EXPECT_EQ(o.out.find("Build 29 ->"), std::string::npos);
    EXPECT_EQ(ReadFile(game / "KNet.exe"), ReadFile(patch / "KNet.exe"));

    // Not newer than the installed one: not copied, and the run is not
    // quiet.
    Executable(patch / "KNet.exe", "1.0.2.29");
    Executable(game / "KNet.exe", "1.0.2.29");
    const Outcome again = Run();
    EXPECT_NE(again.status, 0);
    EXPECT_NE(again.out.find("[UPDATE 7]"), std::string::npos) << again.out;
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
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
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
    EXPECT_NE(o.out.find("\n[UPDATE 3]\nIt has exceeded the maximum waiting time of kivra.exe.\n"), std::string::npos) << o.out;
}

TEST_F(PatchRun, StubbornLauncherByVersion)
{
    BuildPacks();
    // Newer than 1.0.2.29: left running, message 4.
    Executable(game / "KNet.exe", "1.0.2.30");
    pid_t launcher = StandIn("C:\\Games\\Kivra\\KNet.exe", {"ignore"});
    Outcome o = Run();
    EXPECT_NE(o.out.find("\n[UPDATE 4]\nIt has exceeded the maximum waiting time of knet.exe.\n"), std::string::npos) << o.out;
    EXPECT_TRUE(Running(launcher));

    // Its version cannot be read: message 5, nothing ended.
    fs::remove(game / "KNet.exe");
    o = Run();
    EXPECT_NE(o.out.find("\n[UPDATE 5]\nCannot find the version of Kivra net.\n"), std::string::npos) << o.out;
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
    EXPECT_NE(o.out.find("\n[UPDATE 7]\nfile open error\n(tool.dll)\n"), std::string::npos) << o.out;
    EXPECT_EQ(o.out.find("Update is completed."), std::string::npos) << o.out;
    // The game pack itself was patched and is sound.
    const pack::CheckResult check = pack::CheckPackFile((game / "Dev/Kivra.pak").c_str());
    EXPECT_TRUE(check.Clean());
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

}  // namespace
