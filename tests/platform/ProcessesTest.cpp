// Other programs' windows as their running processes, and process handles.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <sys/wait.h>

#include "PosixTestSupport.h"
#include "platform/Win32.h"
#include "platform/posix/Processes.h"

using testutil::Child;

namespace {

constexpr UINT kGameShutdownMessage = WM_USER + 100;
constexpr DWORD kLongWait = 10000;  // a bound only: the waits end early

// Waits that end on the process's end return as soon as it ends; this only
// checks they did before their bound.
bool Signalled(HANDLE process) { return WaitForSingleObject(process, kLongWait) == WAIT_OBJECT_0; }

TEST(ProgramWindows, TheGameWindowIsARunningKivraExe)
{
    const std::string standIn = testutil::StandInProgram();
    if (FindWindowA("KIVRA (Quantrel)", "KIVRA")) GTEST_SKIP() << "another Kivra.exe is running";

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
    if (FindWindowA("TBattle", "KivraBattle")) GTEST_SKIP() << "another KNet.exe is running";

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
        execl(self, self, "--gtest_filter=CommandLine.DISABLED_Print", "--gtest_also_run_disabled_tests",
              "two words", "say \"hi\"", "C:\\dir\\", "", static_cast<char*>(nullptr));
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
