// Other programs' windows as their running processes, and process handles.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>

#include "PosixTestSupport.h"
#include "platform/ProgramWindows.h"
#include "platform/Win32.h"
#include "platform/posix/ProcessHandles.h"
#include "support/TempDir.h"

using testutil::Child;
using testutil::Launch;
using testutil::ScopedEnv;
using testutil::TempDir;

namespace {

namespace fs = std::filesystem;

// The windows these tests look for, as an application registers them.
const ProgramWindow kWindows[] = {{"KIVRA (Quantrel)", "KIVRA", "Kivra.exe"}, {"TBattle", "KivraBattle", "KNet.exe"}};
const bool windowsRegistered = [] {
    AfxRegisterProgramWindows(kWindows, 2);
    return true;
}();

// A Wine prefix of the test's own: the programs it starts under the game's
// and the launcher's names run there (they inherit it), so they never meet
// another suite's or a player's.
struct OwnPrefix {
    OwnPrefix() { fs::create_directories(dir / "prefix"); }
    TempDir dir;
    ScopedEnv prefix{"WINEPREFIX", dir / "prefix"};
};

// Another user to run stand-ins as, when we may switch to one.
std::optional<std::pair<uid_t, gid_t>> Nobody()
{
    const passwd* nobody = geteuid() == 0 ? getpwnam("nobody") : nullptr;
    if (!nobody) return std::nullopt;
    return std::make_pair(nobody->pw_uid, nobody->pw_gid);
}

// The process behind the window FindWindowA finds, 0 for none.
int FoundProcess(const char* className, const char* title)
{
    DWORD pid = 0;
    if (HWND window = FindWindowA(className, title)) GetWindowThreadProcessId(window, &pid);
    return static_cast<int>(pid);
}

constexpr UINT kGameShutdownMessage = WM_USER + 100;
constexpr DWORD kLongWait = 10000;  // a bound only: the waits end early

// Waits that end on the process's end return as soon as it ends; this only
// checks they did before their bound.
bool Signalled(HANDLE process) { return WaitForSingleObject(process, kLongWait) == WAIT_OBJECT_0; }

TEST(ProgramWindows, TheGameWindowIsARunningKivraExe)
{
    const std::string standIn = testutil::StandInProgram();
    OwnPrefix own;

    // The program's name is matched ignoring case, whatever directory it is in.
    Child game(standIn, {"/opt/games/kivra.EXE"});
    ASSERT_TRUE(game.Started());
    HWND window = FindWindowA("KIVRA (Quantrel)", "KIVRA");
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(FindWindowA("TBattle", "KivraBattle"), nullptr);
    EXPECT_EQ(FindWindowA("KIVRA (Quantrel)", "Other title"), nullptr);
    DWORD pid = 0;
    EXPECT_EQ(GetWindowThreadProcessId(window, &pid), 0u);
    EXPECT_EQ(pid, static_cast<DWORD>(game.pid()));

    HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid);
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(WaitForSingleObject(process, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    // The close message ends it; ended is ended while it waits to be reaped.
    EXPECT_TRUE(PostMessageA(window, kGameShutdownMessage, 0, 0));
    EXPECT_TRUE(Signalled(process));
    EXPECT_EQ(FindWindowA("KIVRA (Quantrel)", "KIVRA"), nullptr);
    EXPECT_TRUE(CloseHandle(process));

    const int status = game.Reap();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_EQ(OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid), nullptr);
    EXPECT_FALSE(PostMessageA(window, WM_CLOSE, 0, 0));
}

TEST(ProgramWindows, TheLauncherUnderWineIgnoringTheRequestIsTerminated)
{
    const std::string standIn = testutil::StandInProgram();
    OwnPrefix own;

    // Under Wine the loader comes first and names the program by its Windows path.
    Child launcher(standIn, {"wine64-preloader", "C:\\Games\\Kivra\\KNET.exe"}, true);
    ASSERT_TRUE(launcher.Started());
    HWND window = FindWindowA("TBattle", "KivraBattle");
    ASSERT_NE(window, nullptr);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    EXPECT_EQ(pid, static_cast<DWORD>(launcher.pid()));

    HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid);
    ASSERT_NE(process, nullptr);
    EXPECT_TRUE(PostMessageA(window, WM_CLOSE, 0, 0));
    EXPECT_EQ(WaitForSingleObject(process, 300), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(FindWindowA("TBattle", nullptr), window);

    EXPECT_TRUE(TerminateProcess(process, 0));
    EXPECT_TRUE(Signalled(process));
    EXPECT_TRUE(CloseHandle(process));
    const int status = launcher.Reap();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
}

// Which processes named like the game or the launcher count: those of our
// user whose Wine prefix, as Wine would take it from their environment, is
// the same directory as ours. Everything else is never found.
TEST(ProgramWindows, OnlyProcessesInOurPrefixAreFound)
{
    const std::string standIn = testutil::StandInProgram();
    OwnPrefix own;
    const std::string at = own.dir.path();
    fs::create_directories(at + "/home");
    fs::create_directories(at + "/other");
    fs::create_directory_symlink("../prefix", at + "/home/.wine");
    const std::string relative = fs::relative(at + "/prefix", fs::current_path()).string();
    struct Case {
        const char* what;
        std::vector<std::string> environment;
        bool found;
    } const cases[] = {
        {"our WINEPREFIX", {"WINEPREFIX=" + at + "/prefix"}, true},
        {"ours spelled otherwise", {"WINEPREFIX=" + at + "//other/../prefix/"}, true},
        {"ours through a link", {"WINEPREFIX=" + at + "/home/.wine", "HOME=/nowhere"}, true},
        {"ours relative to its directory", {"WINEPREFIX=" + relative}, true},
        {"no WINEPREFIX, its HOME's .wine ours", {"HOME=" + at + "/home"}, true},
        {"empty WINEPREFIX, its HOME's .wine ours", {"WINEPREFIX=", "HOME=" + at + "/home"}, true},
        {"another prefix", {"WINEPREFIX=" + at + "/other", "HOME=" + at + "/home"}, false},
        {"a prefix not made", {"WINEPREFIX=" + at + "/prefix2"}, false},
        {"no WINEPREFIX, its HOME's .wine another", {"HOME=" + at}, false},
        {"no WINEPREFIX nor HOME: its user's home", {}, false},
    };
    const struct {
        const char* className;
        const char* title;
        const char* program;
    } windows[] = {{"KIVRA (Quantrel)", "KIVRA", "Kivra.exe"}, {"TBattle", "KivraBattle", "KNet.exe"}};
    for (const auto& window : windows) {
        for (const Case& c : cases) {
            Child program(standIn, {std::string("C:\\Games\\Kivra\\") + window.program},
                          Launch{false, c.environment, {}});
            ASSERT_TRUE(program.Started());
            const int found = FoundProcess(window.className, window.title);
            EXPECT_EQ(found, c.found ? program.pid() : 0) << window.program << ": " << c.what;
        }
    }
}

// Another user's process in our very prefix is neither found nor opened by
// its id: it is never waited on, asked to close or ended.
TEST(ProgramWindows, AnotherUsersProcessIsNeverFoundNorOpened)
{
    const auto nobody = Nobody();
    if (!nobody) GTEST_SKIP() << "needs root, to start a process of another user";
    const std::string standIn = testutil::StandInProgram();
    OwnPrefix own;
    const std::vector<std::string> ours = {"WINEPREFIX=" + own.dir / "prefix"};
    Child other(standIn, {"C:\\Games\\Kivra\\KNet.exe"}, Launch{false, ours, nobody});
    ASSERT_TRUE(other.Started());
    EXPECT_EQ(FindWindowA("TBattle", "KivraBattle"), nullptr);
    EXPECT_EQ(OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(other.pid())), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(OpenProcessPolling(static_cast<DWORD>(other.pid())), nullptr);

    Child mine(standIn, {"C:\\Games\\Kivra\\KNet.exe"}, Launch{false, ours, {}});
    ASSERT_TRUE(mine.Started());
    EXPECT_EQ(FoundProcess("TBattle", "KivraBattle"), mine.pid());
    EXPECT_EQ(kill(other.pid(), 0), 0);
}

// In a process of nobody's: a launcher whose /proc files are closed to us
// is not found, the game beside it is. 0 when so.
int FindAsNobody(const std::string& standIn)
{
    Child hidden(standIn, {"C:\\Games\\Kivra\\KNet.exe", "--undumpable"});
    Child open(standIn, {"C:\\Games\\Kivra\\Kivra.exe"});
    const std::string environ = "/proc/" + std::to_string(hidden.pid()) + "/environ";
    if (!hidden.Started() || !open.Started()) return 10;
    if (!testutil::Eventually([&] { return access(environ.c_str(), R_OK) != 0; })) return 11;
    if (FindWindowA("TBattle", "KivraBattle")) return 1;
    return FoundProcess("KIVRA (Quantrel)", "KIVRA") == open.pid() ? 0 : 2;
}

TEST(ProgramWindows, AProcessWhoseEnvironmentCannotBeReadIsNotFound)
{
    const auto nobody = Nobody();
    if (!nobody) GTEST_SKIP() << "needs root, to run as a user without the right to read others' /proc";
    const std::string standIn = testutil::StandInProgram();
    OwnPrefix own;
    chmod(own.dir.path().c_str(), 0755);
    const pid_t finder = fork();
    if (finder == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(nobody->second) != 0 || setuid(nobody->first) != 0) _exit(12);
        _exit(FindAsNobody(standIn));
    }
    int status = 0;
    ASSERT_EQ(waitpid(finder, &status, 0), finder);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the hidden launcher was found; 2: the game was not";
}

TEST(ProcessHandles, WaitsByPollingWithoutPidfd)
{
    const std::string standIn = testutil::StandInProgram();
    Child child(standIn, {"stand-in"});
    ASSERT_TRUE(child.Started());

    HANDLE process = OpenProcessPolling(static_cast<DWORD>(child.pid()));
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(WaitForSingleObject(process, 300), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(TerminateProcess(process, 0));
    EXPECT_TRUE(Signalled(process));
    // Reaped, and its id perhaps taken by another: still ended.
    child.Reap();
    EXPECT_EQ(WaitForSingleObject(process, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_FALSE(TerminateProcess(process, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(CloseHandle(process));
}

TEST(ProcessHandles, BadHandlesAndMissingProcesses)
{
    EXPECT_EQ(OpenProcess(PROCESS_ALL_ACCESS, FALSE, 0), nullptr);
    EXPECT_EQ(FindWindowA("No such class", nullptr), nullptr);
    EXPECT_EQ(FindWindowA(nullptr, nullptr), nullptr);
    int local = 0;
    EXPECT_EQ(WaitForSingleObject(&local, 0), static_cast<DWORD>(WAIT_FAILED));
    EXPECT_FALSE(TerminateProcess(&local, 0));
    EXPECT_FALSE(CloseHandle(&local));
    // A handle is closed once.
    HANDLE self = OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(getpid()));
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(WaitForSingleObject(self, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(CloseHandle(self));
    EXPECT_FALSE(CloseHandle(self));
}

// Run by CommandLine.QuotesArgumentsAsWindowsDoes in a child: prints the
// command line between markers.
TEST(CommandLine, DISABLED_Print) { std::printf("<<%s>>\n", GetCommandLineA()); }

TEST(CommandLine, QuotesArgumentsAsWindowsDoes)
{
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(length, 0);
    self[length] = 0;
    EXPECT_NE(std::strstr(GetCommandLineA(), "platform_tests"), nullptr);

    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        execl(self, self, "--gtest_filter=CommandLine.DISABLED_Print", "--gtest_also_run_disabled_tests", "two words",
              "say \"hi\"", "C:\\dir\\", "", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string output;
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) output.append(buffer, static_cast<std::size_t>(n));
    close(out[0]);
    waitpid(child, nullptr, 0);

    const std::size_t start = output.find("<<");
    ASSERT_NE(start, std::string::npos) << output;
    const std::string line = output.substr(start + 2, output.find(">>", start) - start - 2);
    EXPECT_EQ(line, std::string(self) +
                        " --gtest_filter=CommandLine.DISABLED_Print --gtest_also_run_disabled_tests \"two words\" "
                        "\"say \\\"hi\\\"\" C:\\dir\\ \"\"");
}

TEST(CommandLine, ModuleFileNameIsCutToFit)
{
    char path[4096];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    ASSERT_GT(length, 4u);
    EXPECT_EQ(std::filesystem::path(path), std::filesystem::canonical("/proc/self/exe"));
    char small[5];
    EXPECT_EQ(GetModuleFileNameA(nullptr, small, sizeof small), 5u);
    EXPECT_EQ(std::string(small), std::string(path, 4));
    EXPECT_EQ(GetLastError(), 122u);  // ERROR_INSUFFICIENT_BUFFER
}

}  // namespace
