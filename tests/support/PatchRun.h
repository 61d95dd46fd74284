// Whole runs of kivra-update as a process: a Wine-style prefix with the
// game's registry value, a game installation and a patch folder, built in a
// scratch directory, and the patcher run there with its output collected.
//
//   root/prefix/system.reg                       InstallPath = C:\Games\Kivra
//   root/prefix/dosdevices/c: -> ../drive_c
//   root/prefix/drive_c/Games/Kivra/             the game: Dev/Kivra.pak, Kivra.exe
//   root/patch/                                  kivra-update, Update.pak or update.lzh
//
// The tests that use it define KIVRA_UPDATE, the patcher's path.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "pack/PackCheck.h"
#include "pack/PackFileManager.h"
#include "support/PackImage.h"
#include "support/PackTreeFiles.h"
#include "support/PeWriter.h"
#include "support/TempDir.h"

namespace patchrun {

namespace fs = std::filesystem;
using testutil::ReadFile;
using testutil::WriteFile;

using testtree::B;
using testtree::Bytes;
using testtree::MakePack;
using testtree::Noise;
using testtree::Tree;

// The files of a pack, read from its bytes without the engine.
inline std::map<std::string, Bytes> PackFiles(const std::string& path)
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

inline std::string Slurp(const std::string& path)
{
    const Bytes b = ReadFile(path);
    return std::string(b.begin(), b.end());
}

struct Outcome {
    int status = -1;  // the exit status, or 128 + the signal that ended it
    std::string out;
    std::string err;
};

struct RunOptions {
    std::string input;                     // standard input
    std::vector<std::string> environment;  // NAME=VALUE, added to the patcher's few or taking their place
    rlim_t fileSizeLimit = RLIM_INFINITY;  // RLIMIT_FSIZE, with SIGXFSZ ignored
    int timeoutMs = 120000;                // a patcher that runs longer is killed: a failure
    std::vector<std::string> arguments;    // after the program's name
    std::string program = "./kivra-update";
    std::string directory;      // where it starts: the patch folder when empty
    bool closedStdout = false;  // started with descriptor 1 closed
};

// One installation and patch folder below root.
class Installation {
public:
    explicit Installation(const fs::path& root) : root(root) {}

    // Makes the folders, the registry value, the patcher and a game
    // executable of version 1.0.2.29.
    void Lay()
    {
        fs::create_directories(game / "Dev");
        fs::create_directories(patch);
        fs::create_directories(prefix / "dosdevices");
        fs::create_symlink("../drive_c", prefix / "dosdevices/c:");
        Registry("\"InstallPath\"=\"C:\\\\Games\\\\Kivra\"");
        fs::copy_file(KIVRA_UPDATE, patch / "kivra-update");
        Executable(game / "Kivra.exe", "1.0.2.29");
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

    // Runs the patcher from the patch folder, bounded in time.
    Outcome Run(const RunOptions& options = {}) const
    {
        Outcome outcome;
        const std::string out = root / "out.txt";
        const std::string err = root / "err.txt";
        const std::string in = root / "in.txt";
        WriteFile(in, options.input);
        std::vector<std::string> environment = {"WINEPREFIX=" + prefix.string(), "HOME=" + root.string(),
                                                // No Wine on the PATH: starting the launcher is only reported.
                                                "PATH=" + (root / "no-programs").string()};
        // An entry of the options takes the place of one of the same name.
        for (const std::string& e : options.environment) {
            const std::string name = e.substr(0, e.find('=') + 1);
            std::erase_if(environment, [&](const std::string& old) { return old.rfind(name, 0) == 0; });
            environment.push_back(e);
        }
        std::vector<char*> env;
        for (std::string& e : environment) env.push_back(e.data());
        env.push_back(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            const int i = open(in.c_str(), O_RDONLY);
            const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(i, 0);
            dup2(o, 1);
            dup2(e, 2);
            if (options.closedStdout) close(1);
            if (chdir(options.directory.empty() ? patch.c_str() : options.directory.c_str()) != 0) _exit(126);
            if (options.fileSizeLimit != RLIM_INFINITY) {
                // A full disk: writes past the limit fail (EFBIG) instead of
                // ending the process.
                signal(SIGXFSZ, SIG_IGN);
                const rlimit limit{options.fileSizeLimit, options.fileSizeLimit};
                if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(125);
            }
            std::vector<std::string> words = {options.program};
            words.insert(words.end(), options.arguments.begin(), options.arguments.end());
            std::vector<char*> argv;
            for (std::string& w : words) argv.push_back(w.data());
            argv.push_back(nullptr);
            // A bare name is looked for on the PATH given, as a shell does.
            for (const std::string& e : environment)
                if (e.rfind("PATH=", 0) == 0) setenv("PATH", e.c_str() + 5, 1);
            if (options.program.find('/') == std::string::npos)
                execvpe(options.program.c_str(), argv.data(), env.data());
            else
                execve(options.program.c_str(), argv.data(), env.data());
            _exit(127);
        }
        int status = 0;
        for (int waited = 0; waitpid(pid, &status, WNOHANG) == 0; waited += 20) {
            if (waited > options.timeoutMs) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                ADD_FAILURE() << "the patcher did not end";
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        outcome.out = Slurp(out);
        outcome.err = Slurp(err);
        return outcome;
    }

    fs::path GamePack() const { return game / "Dev/Kivra.pak"; }

    fs::path root;
    fs::path prefix = root / "prefix";
    fs::path game = prefix / "drive_c/Games/Kivra";
    fs::path patch = root / "patch";
};

// The usual test: one installation in a scratch directory, an installed tree
// at 1.0.2.29 and a patch to 1.0.2.30.
class PatchRunFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        installation.Lay();
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
    }

    void Registry(const std::string& values, bool win64 = true) { installation.Registry(values, win64); }
    static void Executable(const fs::path& path, const std::string& version)
    {
        Installation::Executable(path, version);
    }

    void BuildPacks()
    {
        MakePack(game / "Dev/Kivra.pak", installed);
        MakePack(patch / "Update.pak", offered);
    }

    Outcome Run(const std::string& input = "") const
    {
        RunOptions options;
        options.input = input;
        return installation.Run(options);
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
    Installation installation{root.path()};
    const fs::path& prefix = installation.prefix;
    const fs::path& game = installation.game;
    const fs::path& patch = installation.patch;
    Tree installed;
    Tree offered;
};

}  // namespace patchrun
