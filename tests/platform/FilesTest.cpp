// CopyFileA with Windows results, and the system's texts for error codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "PosixTestSupport.h"
#include "platform/Win32.h"
#include "support/TempDir.h"

using testutil::TempDir;

namespace {

constexpr DWORD kFileExists = 80;

std::string Text(const std::string& path)
{
    const std::vector<std::uint8_t> bytes = testutil::ReadFile(path);
    return std::string(bytes.begin(), bytes.end());
}

// The names in a directory, to see that no temporary was left behind.
std::vector<std::string> Names(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(CopyFile, CopiesAndReplacesLikeWindows)
{
    TempDir dir;
    std::filesystem::create_directories(dir / "Patch");
    std::filesystem::create_directories(dir / "Game");
    testutil::WriteFile(dir / "Patch/KNet.exe", "new launcher");
    chmod((dir / "Patch/KNet.exe").c_str(), 0750);
    testutil::WriteFile(dir / "Game/knet.exe", "old");

    // Windows names: backslashes, any letter case.
    EXPECT_TRUE(
        CopyFileA((dir.path() + "\\patch\\KNET.EXE").c_str(), (dir.path() + "\\GAME\\KNet.exe").c_str(), FALSE));
    EXPECT_EQ(Text(dir / "Game/knet.exe"), "new launcher");
    struct stat st {};
    ASSERT_EQ(stat((dir / "Game/knet.exe").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);
    EXPECT_EQ(Names(dir / "Game"), std::vector<std::string>{"knet.exe"});

    // failIfExists keeps what is there.
    testutil::WriteFile(dir / "Patch/KNet.exe", "newer");
    EXPECT_FALSE(CopyFileA((dir / "Patch/KNet.exe").c_str(), (dir / "Game/knet.exe").c_str(), TRUE));
    EXPECT_EQ(GetLastError(), kFileExists);
    EXPECT_EQ(Text(dir / "Game/knet.exe"), "new launcher");
    EXPECT_TRUE(CopyFileA((dir / "Patch/KNet.exe").c_str(), (dir / "Game/Fresh.exe").c_str(), TRUE));
    EXPECT_EQ(Text(dir / "Game/Fresh.exe"), "newer");
}

TEST(CopyFile, FailuresNameTheirCauseAndLeaveNothing)
{
    TempDir dir;
    testutil::WriteFile(dir / "source", "data");
    testutil::WriteFile(dir / "plain", "not a directory");
    std::filesystem::create_directories(dir / "target");

    const std::pair<std::string, std::string> cases[] = {
        {dir / "missing", dir / "target/x"},
        {dir / "no/such/dir/source", dir / "target/x"},
        {dir / "source", dir / "plain/x"},
        {dir / "source", dir / "target/no/x"},
    };
    const DWORD expected[] = {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND};
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SetLastError(0);
        EXPECT_FALSE(CopyFileA(cases[i].first.c_str(), cases[i].second.c_str(), FALSE)) << i;
        EXPECT_EQ(GetLastError(), expected[i]) << i;
    }
    // A directory in the target's place cannot be replaced.
    std::filesystem::create_directories(dir / "target/x");
    EXPECT_FALSE(CopyFileA((dir / "source").c_str(), (dir / "target/x").c_str(), FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Names(dir / "target"), std::vector<std::string>{"x"});
    EXPECT_EQ(Text(dir / "plain"), "not a directory");
}

TEST(CopyFile, ARunningProgramIsASharingViolation)
{
    const std::string standIn = testutil::StandInProgram();
    TempDir dir;
    std::filesystem::copy_file(standIn, dir / "Running.exe");
    chmod((dir / "Running.exe").c_str(), 0755);
    testutil::WriteFile(dir / "New.exe", "replacement");
    const std::vector<std::uint8_t> before = testutil::ReadFile(dir / "Running.exe");

    testutil::Child running(dir / "Running.exe", {dir / "Running.exe"});
    ASSERT_TRUE(running.Started());
    EXPECT_FALSE(CopyFileA((dir / "New.exe").c_str(), (dir / "Running.exe").c_str(), FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(testutil::ReadFile(dir / "Running.exe"), before);
    EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"New.exe", "Running.exe"}));

    // Once it has ended, the copy goes through.
    kill(running.pid(), SIGKILL);
    running.Reap();
    EXPECT_TRUE(CopyFileA((dir / "New.exe").c_str(), (dir / "Running.exe").c_str(), FALSE));
    EXPECT_EQ(Text(dir / "Running.exe"), "replacement");
}

// The copy into a read-only place fails as access denied and leaves the
// target as it was.
bool RefusedAsAccessDenied(const TempDir& dir)
{
    return !CopyFileA((dir / "source").c_str(), (dir / "locked/target").c_str(), FALSE) &&
           GetLastError() == static_cast<DWORD>(ERROR_ACCESS_DENIED) && Text(dir / "locked/target") == "old";
}

TEST(CopyFile, AReadOnlyDirectoryIsAccessDenied)
{
    TempDir dir;
    testutil::WriteFile(dir / "source", "data");
    std::filesystem::create_directories(dir / "locked");
    testutil::WriteFile(dir / "locked/target", "old");
    if (geteuid() != 0) {
        chmod((dir / "locked").c_str(), 0555);
        EXPECT_TRUE(RefusedAsAccessDenied(dir));
        chmod((dir / "locked").c_str(), 0755);
        return;
    }
    // Permission bits do not stop root: a read-only bind mount does, made in
    // a child's own mount namespace.
    const pid_t child = fork();
    if (child == 0) {
        const std::string locked = dir / "locked";
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(locked.c_str(), locked.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
            mount(nullptr, locked.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
            _exit(2);
        _exit(RefusedAsAccessDenied(dir) ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "no read-only bind mount here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(SystemText, KnownCodesInEnglishAndUnknownOnesFail)
{
    const std::pair<DWORD, const char*> texts[] = {
        {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
        {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.\r\n"},
        {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
        {ERROR_SHARING_VIOLATION,
         "The process cannot access the file because it is being used by another process.\r\n"},
        {ERROR_DISK_FULL, "There is not enough space on the disk.\r\n"},
    };
    for (const auto& [code, expected] : texts) {
        char* text = nullptr;
        const DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code,
                                            1033, reinterpret_cast<LPSTR>(&text), 0, nullptr);
        ASSERT_NE(text, nullptr) << code;
        EXPECT_STREQ(text, expected);
        EXPECT_EQ(length, std::strlen(expected));
        EXPECT_EQ(LocalFree(text), nullptr);
    }

    // Into the caller's buffer, when it fits.
    char buffer[64];
    EXPECT_EQ(
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, buffer, sizeof buffer, nullptr),
        19u);
    EXPECT_STREQ(buffer, "Access is denied.\r\n");
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, buffer, 19, nullptr), 0u);
    EXPECT_EQ(GetLastError(), 122u);

    char* text = nullptr;
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0xDEAD, 1033,
                             reinterpret_cast<LPSTR>(&text), 0, nullptr),
              0u);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(GetLastError(), 317u);
}

}  // namespace
