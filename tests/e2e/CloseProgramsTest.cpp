// Which running programs a whole run of kivra-update closes, and how: only
// the player's own (this user, this Wine prefix), through Wine's own
// messages when it can, by signals when it cannot.
#include <gtest/gtest.h>

#include <pwd.h>
#include <signal.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "support/PatchRun.h"

namespace {

using namespace patchrun;

constexpr char kCompletedAsk[] = "Update is completed.\nDo you want to play a new Kivra net \n";

class ClosePrograms : public PatchRunFixture {
protected:
    void TearDown() override
    {
        for (pid_t pid : children) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

    // Starts a stand-in under the program name C:\Games\Kivra\PROGRAM, in
    // the player's prefix unless given another environment, as another user
    // when given one (root only), and waits until it runs.
    pid_t StandIn(const std::string& program, const std::string& mode = "obey",
                  std::vector<std::string> environment = {}, const passwd* user = nullptr,
                  const fs::path& executable = STANDIN)
    {
        if (environment.empty()) environment = {"WINEPREFIX=" + prefix.string(), "HOME=" + root.path()};
        std::vector<std::string> arguments = {"C:\\Games\\Kivra\\" + program, mode, "1500"};
        std::vector<char*> argv;
        for (auto& a : arguments) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (auto& e : environment) envp.push_back(e.data());
        envp.push_back(nullptr);
        int ready[2];
        EXPECT_EQ(pipe(ready), 0);
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(ready[1], STDOUT_FILENO);
            if (user && (setgid(user->pw_gid) != 0 || setuid(user->pw_uid) != 0)) _exit(126);
            execve(executable.c_str(), argv.data(), envp.data());
            _exit(127);
        }
        close(ready[1]);
        char byte = 0;
        EXPECT_EQ(read(ready[0], &byte, 1), 1) << program << " did not start";
        close(ready[0]);
        children.push_back(pid);
        return pid;
    }

    static bool Running(pid_t pid) { return waitpid(pid, nullptr, WNOHANG) == 0; }

    // How it ended: its exit status, or 128 + the signal.
    static int Ended(pid_t pid)
    {
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    std::vector<pid_t> children;
};

// The player's game and launcher are closed; a launcher of another prefix
// and one of another user (in the player's very prefix), and a game of
// another prefix, are left running. They start first, so that their ids
// come before the player's.
TEST_F(ClosePrograms, OnlyThePlayersOwnAreClosed)
{
    BuildPacks();
    Executable(game / "KNet.exe", "1.0.2.29");
    fs::create_directories(root / "other");
    const std::vector<std::string> otherPrefix = {"WINEPREFIX=" + root / "other", "HOME=" + root.path()};
    const pid_t otherLauncher = StandIn("KNet.exe", "obey", otherPrefix);
    const pid_t otherGame = StandIn("Kivra.exe", "obey", otherPrefix);
    const passwd* nobody = geteuid() == 0 ? getpwnam("nobody") : nullptr;
    const pid_t otherUsers = nobody ? StandIn("KNet.exe", "obey", {}, nobody) : 0;
    const pid_t launcher = StandIn("KNet.exe");
    const pid_t gameProcess = StandIn("Kivra.exe");

    const Outcome o = Run("no\n");
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_NE(o.out.find(kCompletedAsk), std::string::npos) << o.out;
    EXPECT_EQ(Ended(launcher), 128 + SIGTERM);
    EXPECT_EQ(Ended(gameProcess), 128 + SIGTERM);
    EXPECT_TRUE(Running(otherLauncher));
    EXPECT_TRUE(Running(otherGame));
    EXPECT_TRUE(!otherUsers || Running(otherUsers));
    ExpectPatched();
    if (!nobody) GTEST_SKIP() << "another user's launcher needs root";
}

// A program running under Wine is asked through Wine: the close helper
// beside kivra-update, run by `wine` in the player's prefix, posts the
// message. A stand-in for wine on the PATH records what it was asked and
// answers as told; the launcher stand-in ends by itself after 1.5 s unless
// a signal ends it first.
TEST_F(ClosePrograms, WineProgramsAreAskedThroughTheHelper)
{
    BuildPacks();
    Executable(game / "KNet.exe", "1.0.2.29");
    // The executable of a Wine program is Wine's loader.
    const fs::path loader = root / "wine-bin/wine64-preloader";
    fs::create_directories(loader.parent_path());
    fs::copy_file(STANDIN, loader);
    const fs::path calls = root / "wine-calls";
    const std::string post = "post|TBattle|KivraBattle|16|";

    struct Case {
        const char* what;
        bool underWine;
        bool win64;
        std::vector<std::string> helpers;  // beside kivra-update
        int answer;                        // the helper's exit status
        std::string call;                  // what wine is asked, "" for nothing
        int ended;                         // how the launcher ended
    } const cases[] = {
        {"posted",
         true,
         true,
         {"kivra-close-win64.exe", "kivra-close-win32.exe"},
         0,
         "kivra-close-win64.exe|" + post,
         0},
        {"32-bit prefix",
         true,
         false,
         {"kivra-close-win64.exe", "kivra-close-win32.exe"},
         0,
         "kivra-close-win32.exe|" + post,
         0},
        {"no such window", true, true, {"kivra-close-win64.exe"}, 10, "kivra-close-win64.exe|" + post, 0},
        {"helper refused", true, true, {"kivra-close-win64.exe"}, 11, "kivra-close-win64.exe|" + post, 128 + SIGTERM},
        {"wine could not start it",
         true,
         true,
         {"kivra-close-win64.exe"},
         1,
         "kivra-close-win64.exe|" + post,
         128 + SIGTERM},
        {"no helper for the prefix", true, true, {"kivra-close-win32.exe"}, 0, "", 128 + SIGTERM},
        {"not a Wine program", false, true, {"kivra-close-win64.exe"}, 0, "", 128 + SIGTERM},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Registry("\"InstallPath\"=\"C:\\\\Games\\\\Kivra\"", c.win64);
        fs::remove_all(root / "no-programs");
        fs::create_directories(root / "no-programs");
        WriteFile(root / "no-programs/wine", "#!/bin/sh\n{ printf '%s|' \"$WINEPREFIX\" \"$@\"; echo; } >> '" +
                                                 calls.string() + "'\nexit " + std::to_string(c.answer) + "\n");
        fs::permissions(root / "no-programs/wine", fs::perms::owner_all);
        for (const char* name : {"kivra-close-win32.exe", "kivra-close-win64.exe"}) fs::remove(patch / name);
        for (const std::string& name : c.helpers) WriteFile(patch / name, "MZ");
        fs::remove(calls);

        const pid_t launcher = StandIn("KNet.exe", "linger", {}, nullptr, c.underWine ? loader : fs::path(STANDIN));
        const Outcome o = Run("no\n");
        EXPECT_EQ(o.status, 0) << o.out << o.err;
        EXPECT_EQ(Ended(launcher), c.ended);
        const std::string called = Slurp(calls);
        const std::string expected = c.call.empty() ? "" : prefix.string() + "|" + (patch / c.call).string();
        EXPECT_EQ(called.substr(0, called.find('\n')), expected);
    }
}

// The game gets its own close message through the helper; an old launcher
// that stays is ended by the helper too.
TEST_F(ClosePrograms, TheHelperAlsoClosesTheGameAndEndsAnOldLauncher)
{
    BuildPacks();
    Executable(game / "KNet.exe", "1.0.2.29");
    const fs::path loader = root / "wine-bin/wine-preloader";
    fs::create_directories(loader.parent_path());
    fs::copy_file(STANDIN, loader);
    fs::create_directories(root / "no-programs");
    const fs::path calls = root / "wine-calls";
    WriteFile(root / "no-programs/wine",
              "#!/bin/sh\nshift; printf '%s|' \"$@\" >> '" + calls.string() + "'; echo >> '" + calls.string() + "'\n");
    fs::permissions(root / "no-programs/wine", fs::perms::owner_all);
    WriteFile(patch / "kivra-close-win64.exe", "MZ");

    const pid_t gameProcess = StandIn("Kivra.exe", "linger", {}, nullptr, loader);
    const pid_t launcher = StandIn("KNet.exe", "ignore", {}, nullptr, loader);
    const Outcome o = Run("no\n");
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_EQ(Ended(gameProcess), 0);
    // Posted twice (the window is still there at the second look), then ended.
    EXPECT_EQ(Slurp(calls),
              "post|KIVRA (Quantrel)|KIVRA|1124|\npost|TBattle|KivraBattle|16|\n"
              "post|TBattle|KivraBattle|16|\nterminate|TBattle|KivraBattle|\n");
    // The stand-in for wine only said it was done: nothing else ended it.
    EXPECT_TRUE(Running(launcher));
}

}  // namespace
