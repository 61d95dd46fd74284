// ShellExecuteA: xdg-open for documents, wine for Windows programs, or a line
// on the terminal. Stand-in scripts on the PATH record how they were run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>

#include "PosixTestSupport.h"
#include "platform/Win32.h"
#include "support/TempDir.h"

using testutil::ScopedEnv;
using testutil::TempDir;

namespace {

bool Succeeded(HINSTANCE result) { return reinterpret_cast<std::uintptr_t>(result) > 32; }

class Shell : public ::testing::Test {
protected:
    Shell()
    {
        std::filesystem::create_directories(dir / "bin");
        std::filesystem::create_directories(dir / "prefix/drive_c/Games/Kivra");
        std::filesystem::create_directories(dir / "prefix/dosdevices");
        std::filesystem::create_directory_symlink("../drive_c", dir / "prefix/dosdevices/c:");
        testutil::WriteFile(dir / "prefix/drive_c/Games/Kivra/KNet.exe", "MZ");
        testutil::WriteFile(dir / "prefix/drive_c/Games/Kivra/ReadMe.txt", "notes");
    }

    // A stand-in for program that writes its arguments, one a line, then "end".
    void StandIn(const char* program)
    {
        const std::string path = dir / "bin/" + program;
        testutil::WriteFile(path, "#!/bin/sh\n{ for a in \"$@\"; do printf '%s\\n' \"$a\"; done; echo end; } > \"" +
                                      Record(program) + "\"\n");
        chmod(path.c_str(), 0755);
    }
    std::string Record(const char* program) { return dir / std::string("ran-") + program; }
    // What the stand-in was given, once it has run.
    std::string Ran(const char* program)
    {
        std::string text;
        EXPECT_TRUE(testutil::Eventually([&] {
            text = testutil::ReadText(Record(program));
            return text.size() >= 4 && text.compare(text.size() - 4, 4, "end\n") == 0;
        })) << program
            << " did not run";
        return text;
    }
    // No child is left to reap: the program runs detached.
    static bool NoChildren() { return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; }

    TempDir dir;
    ScopedEnv path{"PATH", dir / "bin"};
    ScopedEnv prefix{"WINEPREFIX", dir / "prefix"};
    ScopedEnv display{"DISPLAY", std::nullopt};
    ScopedEnv wayland{"WAYLAND_DISPLAY", std::nullopt};
};

TEST_F(Shell, ADocumentOpensWithXdgOpenOnADesktop)
{
    StandIn("xdg-open");
    ScopedEnv desktop("DISPLAY", ":0");
    EXPECT_TRUE(Succeeded(
        ShellExecuteA(nullptr, "open", "C:\\Games\\Kivra\\readme.TXT", "ReadMe.txt", nullptr, SW_SHOWNORMAL)));
    EXPECT_EQ(Ran("xdg-open"), dir / "prefix/dosdevices/c:/Games/Kivra/ReadMe.txt\nend\n");
    EXPECT_TRUE(NoChildren());
}

TEST_F(Shell, WithoutADesktopTheDocumentIsNamed)
{
    StandIn("xdg-open");
    testing::internal::CaptureStdout();
    EXPECT_TRUE(
        Succeeded(ShellExecuteA(nullptr, "open", "C:\\Games\\Kivra\\ReadMe.txt", nullptr, nullptr, SW_SHOWNORMAL)));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Read me: " + dir / "prefix/dosdevices/c:/Games/Kivra/ReadMe.txt\n");
    EXPECT_FALSE(std::filesystem::exists(Record("xdg-open")));

    // A missing document is no success, and says nothing.
    testing::internal::CaptureStdout();
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(
                  ShellExecuteA(nullptr, "open", "C:\\Games\\Kivra\\Gone.txt", nullptr, nullptr, SW_SHOWNORMAL)),
              2u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(Shell, AWindowsProgramStartsWithWine)
{
    StandIn("wine");
    EXPECT_TRUE(
        Succeeded(ShellExecuteA(nullptr, nullptr, "C:\\Games\\Kivra\\KNet.exe", nullptr, nullptr, SW_SHOWNORMAL)));
    // Wine is given the Windows path as it was named.
    EXPECT_EQ(Ran("wine"), "C:\\Games\\Kivra\\KNet.exe\nend\n");
    EXPECT_TRUE(NoChildren());
}

TEST_F(Shell, AProgramInAHangulFolderIsNamedToWineInUtf8)
{
    // C:\Games\한글\KNet.exe, named in code page 949; the folder is UTF-8 on
    // disk, and Wine takes its arguments in UTF-8.
    std::filesystem::create_directories(dir / "prefix/drive_c/Games/\xED\x95\x9C\xEA\xB8\x80");
    testutil::WriteFile(dir / "prefix/drive_c/Games/\xED\x95\x9C\xEA\xB8\x80/KNet.exe", "MZ");
    StandIn("wine");
    EXPECT_TRUE(Succeeded(
        ShellExecuteA(nullptr, nullptr, "C:\\Games\\\xC7\xD1\xB1\xDB\\KNet.exe", "\xC7\xD1", nullptr, SW_SHOWNORMAL)));
    EXPECT_EQ(Ran("wine"), "C:\\Games\\\xED\x95\x9C\xEA\xB8\x80\\KNet.exe\n\xED\x95\x9C\nend\n");
}

TEST_F(Shell, WithoutWineAProgramCannotStart)
{
    testing::internal::CaptureStdout();
    EXPECT_FALSE(
        Succeeded(ShellExecuteA(nullptr, nullptr, "C:\\Games\\Kivra\\KNet.exe", nullptr, nullptr, SW_SHOWNORMAL)));
    const std::string said = testing::internal::GetCapturedStdout();
    EXPECT_NE(said.find("C:\\Games\\Kivra\\KNet.exe"), std::string::npos) << said;
    EXPECT_NE(said.find("Wine"), std::string::npos) << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1);
}

}  // namespace
