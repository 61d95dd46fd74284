// Opening and creating disk files: the stream modes taken, and exclusive
// creation.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "platform/Disk.h"
#include "support/TempDir.h"

using testutil::TempDir;
namespace fs = std::filesystem;

namespace {

struct ModeCase {
    const char* mode;
    bool portable;
};

// msvcrt.dll reads r, w, a, then +, b and t; nothing else means the same
// there as here.
const ModeCase kModes[] = {
    {"r", true},    {"w", true},    {"a", true},     {"rb", true},   {"wb", true},           {"ab", true},
    {"r+", true},   {"w+", true},   {"a+", true},    {"rb+", true},  {"r+b", true},          {"wb+", true},
    {"w+b", true},  {"ab+", true},  {"a+b", true},   {"rt", true},   {"wt", true},           {"r+t", true},
    {"at+", true},  {"", false},    {"x", false},    {"b", false},   {"+r", false},          {"br", false},
    {"wx", false},  {"wbx", false}, {"wb+x", false}, {"rbe", false}, {"rc", false},          {"rn", false},
    {"rm", false},  {"rr", false},  {"rw", false},   {"r++", false}, {"rbb", false},         {"rtt", false},
    {"rbt", false}, {"r b", false}, {"R", false},    {"WB", false},  {"r,ccs=UTF-8", false},
};

TEST(DiskFile, OnlyModesEveryRuntimeKnowsAreTaken)
{
    TempDir dir;
    testutil::WriteFile(dir / "exists", "old");
    for (const ModeCase& c : kModes) {
        SCOPED_TRACE(std::string("mode \"") + c.mode + "\"");
        EXPECT_EQ(IsPortableFileMode(c.mode), c.portable);
        // A refused mode opens nothing and changes nothing.
        const std::string fresh = dir / "fresh";
        errno = 0;
        std::FILE* f = OpenDiskFile(fresh.c_str(), c.mode);
        if (c.portable) {
            if (c.mode[0] != 'r') {
                EXPECT_NE(f, nullptr);
            } else {
                EXPECT_EQ(f, nullptr);  // reading needs the file
                EXPECT_EQ(errno, ENOENT);
            }
        } else {
            EXPECT_EQ(f, nullptr);
            EXPECT_EQ(errno, EINVAL);
            EXPECT_EQ(OpenDiskFile((dir / "exists").c_str(), c.mode), nullptr);
            EXPECT_EQ(testutil::ReadFile(dir / "exists").size(), 3u);
        }
        if (f) std::fclose(f);
        EXPECT_EQ(std::filesystem::exists(fresh), f != nullptr);
        std::filesystem::remove(fresh);
    }
}

TEST(DiskFile, CreatingANewFileNeverTakesOneThatIsThere)
{
    TempDir dir;
    std::filesystem::create_directory(dir / "Sub");
    testutil::WriteFile(dir / "Sub/Taken.txt", "old");
    struct Case {
        const char* path;  // below dir
        int error;         // 0: created
    } const cases[] = {
        {"\\sub\\new.txt", 0},
        {"\\Sub\\Taken.txt", EEXIST},
        {"\\SUB\\taken.TXT", EEXIST},  // the same file to Windows
        {"\\sub", EEXIST},
        {"\\missing\\new.txt", ENOENT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        errno = 0;
        std::FILE* f = CreateNewDiskFile((dir.path() + c.path).c_str());
        if (c.error == 0) {
            ASSERT_NE(f, nullptr);
            EXPECT_EQ(std::fputs("new", f), 1);
            EXPECT_EQ(std::fclose(f), 0);
            // Created once: a second creation of the same name fails.
            EXPECT_EQ(CreateNewDiskFile((dir.path() + c.path).c_str()), nullptr);
            EXPECT_EQ(errno, EEXIST);
        } else {
            EXPECT_EQ(f, nullptr);
            EXPECT_EQ(errno, c.error);
        }
    }
    EXPECT_EQ(testutil::ReadFile(dir / "Sub/Taken.txt").size(), 3u);
    EXPECT_EQ(testutil::ReadFile(dir / "Sub/new.txt").size(), 3u);
}

}  // namespace

namespace {

// The id of a process that has ended.
long EndedProcess()
{
    const pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    return child;
}

TEST(DiskFile, AReplacementTakesTheFilesPlaceOnlyWhenKeptAndSweepsUpAfterKilledRuns)
{
    TempDir dir;
    const std::string target = dir / "game.dll";
    const long ended = EndedProcess();
    // What killed runs leave, and names that only look like it.
    const std::vector<std::pair<std::string, bool>> others = {
        {"~kivra" + std::to_string(ended) + "-0.tmp", false},
        {"~kivra" + std::to_string(ended) + "-7.tmp", false},
        {"~kivra1-0.tmp", true},  // a process that runs
        {"~kivra" + std::to_string(ended) + "-0.tmpx", true},
        {"~kivra-0.tmp", true},
        {"~lzh" + std::to_string(ended) + "-0.tmp", true},
    };
    for (const auto& [name, stays] : others) testutil::WriteFile(dir / name, "left");
    for (const bool keep : {false, true}) {
        testutil::WriteFile(target, "old");
        fs::permissions(target, fs::perms(0750));
        std::FILE* file = BeginDiskReplacement(target.c_str());
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(WriteDiskFile("new", 3, 1, file), 1u);
        EXPECT_EQ(FinishDiskReplacement(file, keep ? DiskReplacementEnd::kReplace : DiskReplacementEnd::kDrop),
                  keep ? 0 : -1);
        EXPECT_EQ(testutil::ReadFile(target),
                  std::vector<std::uint8_t>(keep ? "new" : "old", (keep ? "new" : "old") + 3));
        EXPECT_EQ(fs::status(target).permissions(), fs::perms(0750));
        std::size_t files = 0;
        for (const auto& [name, stays] : others) {
            EXPECT_EQ(fs::exists(dir / name), stays) << name;
            files += stays;
        }
        EXPECT_EQ(static_cast<std::size_t>(std::distance(fs::directory_iterator(dir.path()), {})), files + 1);
    }
    // What cannot be replaced whole is refused, and stays.
    fs::create_directory(dir / "folder");
    errno = 0;
    EXPECT_EQ(BeginDiskReplacement((dir / "folder").c_str()), nullptr);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(BeginDiskReplacement("/dev/null"), nullptr);
    EXPECT_EQ(errno, EINVAL);
}

}  // namespace
