// What the reliability tests share: running a tool as a bounded process, and
// snapshots of an installation to compare one run's outcome with another's.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "support/PackImage.h"
#include "support/PatchRun.h"
#include "support/TempDir.h"

namespace reliability {

namespace fs = std::filesystem;
using patchrun::Bytes;
using patchrun::Outcome;

// Runs argv[0] with the arguments in directory, standard input empty; a run
// longer than timeoutMs is killed and reported as 128 + SIGKILL with a test
// failure.
inline Outcome RunProgram(const std::vector<std::string>& argv, const fs::path& directory, int timeoutMs = 60000)
{
    testutil::TempDir scratch;
    const std::string out = scratch / "out";
    const std::string err = scratch / "err";
    std::vector<std::string> args = argv;
    std::vector<char*> raw;
    for (std::string& a : args) raw.push_back(a.data());
    raw.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int i = open("/dev/null", O_RDONLY);
        const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(i, 0);
        dup2(o, 1);
        dup2(e, 2);
        if (chdir(directory.c_str()) != 0) _exit(126);
        execv(raw[0], raw.data());
        _exit(127);
    }
    int status = 0;
    for (int waited = 0; waitpid(pid, &status, WNOHANG) == 0; waited += 5) {
        if (waited > timeoutMs) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << argv[0] << " " << (argv.size() > 1 ? argv[1] : "") << " did not end";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    Outcome outcome;
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    outcome.out = patchrun::Slurp(out);
    outcome.err = patchrun::Slurp(err);
    return outcome;
}

// `pak fsck [--repair] PACK`.
inline Outcome Fsck(const fs::path& pack, bool repair = false)
{
    std::vector<std::string> argv = {PAK, "fsck"};
    if (repair) argv.push_back("--repair");
    argv.push_back(pack.string());
    return RunProgram(argv, pack.parent_path());
}

// The count fsck printed for key ("problems", "lost"); -1 when it printed none.
inline long FsckCount(const Outcome& fsck, const std::string& key)
{
    const std::size_t at = fsck.out.rfind("\n" + key + ": ");
    const std::size_t start =
        at == std::string::npos ? (fsck.out.rfind(key + ": ", 0) == 0 ? 0 : std::string::npos) : at + 1;
    if (start == std::string::npos) return -1;
    return std::stol(fsck.out.substr(start + key.size() + 2));
}

// Every regular file below dir by its relative path, but skip.
inline std::map<std::string, Bytes> DiskFiles(const fs::path& dir, const fs::path& skip = {})
{
    std::map<std::string, Bytes> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (!entry.is_regular_file() || (!skip.empty() && fs::equivalent(entry.path(), skip))) continue;
        files[fs::relative(entry.path(), dir).string()] = testutil::ReadFile(entry.path());
    }
    return files;
}

// What a pack holds, entry by entry: type, size and a file's bytes, by path.
// Where the blocks lie (and so the contiguous byte) is left out: a run that
// follows an interrupted one allocates around the blocks that were left.
using PackContent = std::map<std::string, std::tuple<int, std::uint32_t, Bytes>>;

inline PackContent ReadPackContent(const fs::path& pack)
{
    testpack::Image image;
    image.bytes = testutil::ReadFile(pack);
    std::vector<testpack::Node> nodes;
    EXPECT_TRUE(testpack::ReadTree(image, nodes)) << pack;
    PackContent content;
    for (const auto& node : nodes) content[node.path] = {node.entry.type, node.entry.size, node.data};
    return content;
}

// After a run that did not complete: the game pack holds nothing worse
// than lost blocks, and running the same patch again completes it, leaving
// these files on disk and this content in the pack.
inline void ExpectOnlyLostBlocksAndARerunCompletes(const patchrun::Installation& work,
                                                   const std::map<std::string, Bytes>& expectedDisk,
                                                   const PackContent& expectedPack)
{
    const Outcome check = Fsck(work.GamePack());
    EXPECT_EQ(FsckCount(check, "problems"), 0) << check.out;

    const Outcome again = work.Run();
    ASSERT_EQ(again.status, 0) << again.out << again.err;
    EXPECT_NE(again.out.find("Update is completed."), std::string::npos) << again.out;
    EXPECT_EQ(DiskFiles(work.game, work.GamePack()), expectedDisk);
    EXPECT_EQ(ReadPackContent(work.GamePack()), expectedPack);
}

// The contiguous byte of every file of a pack, by path.
inline std::map<std::string, int> ReadContiguity(const fs::path& pack)
{
    testpack::Image image;
    image.bytes = testutil::ReadFile(pack);
    std::vector<testpack::Node> nodes;
    EXPECT_TRUE(testpack::ReadTree(image, nodes)) << pack;
    std::map<std::string, int> contiguity;
    for (const auto& node : nodes)
        if (node.entry.type == 2) contiguity[node.path] = node.entry.contiguous;
    return contiguity;
}

// Copies the tree at from (symbolic links as links) into to.
inline void CopyTree(const fs::path& from, const fs::path& to)
{
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
}

}  // namespace reliability
