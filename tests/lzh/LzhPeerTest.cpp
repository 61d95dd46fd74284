// lzh x, a, l and d beside the archivers people have: what jlha makes and what
// the corpus holds extracts as lhasa extracts it, folders and times included;
// what lzh a makes every tool extracts alike.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "lzh/LzhTestSupport.h"
#include "platform/CodePage.h"

using namespace lzhtest;
namespace fs = std::filesystem;

namespace {

const std::string kCorpus = LZH_CORPUS_DIR;
const std::string kLzhX = Quote(LZH_TOOL_PATH) + " x";

// Runs command in dir with times in UTC, so that every tool reads an MS-DOS
// time the same way.
ToolResult InUtc(const std::string& dir, const std::string& command)
{
    testutil::TempDir out;
    const int status = RunShell("cd " + Quote(dir) + " && TZ=UTC " + command + " >" + Quote(out / "out") + " 2>" +
                                Quote(out / "err") + " </dev/null");
    return {status, Slurp(out / "out"), Slurp(out / "err")};
}

ToolResult Lzh(const std::string& dir, const std::string& arguments)
{
    return InUtc(dir, Quote(LZH_TOOL_PATH) + " " + arguments);
}

std::string Lower(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

Bytes Words(std::size_t count, std::uint32_t seed)
{
    static const char* const kWords[] = {"kivra ", "patch ", "map ", "of ", "the ", "quest ", "\r\n", "sound "};
    std::mt19937 random(seed);
    std::string out;
    while (out.size() < count) out += kWords[random() % 8];
    out.resize(count);
    return Text(out);
}

struct Entry {
    bool folder;
    Bytes content;
    long long time;
};
// By path below the root with '/', in lower case: lhasa lowers some names.
using Snapshot = std::map<std::string, Entry>;

// Files and folders below dir, symbolic links left out. A peer writes names in
// code page 949 as the archive holds them (fromSystem): they are compared in
// UTF-8, as lzh x writes them.
Snapshot Scan(const std::string& dir, bool fromSystem = false)
{
    Snapshot snapshot;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
        struct stat st {};
        if (it->is_symlink() || lstat(it->path().c_str(), &st) != 0) continue;
        std::string path = it->path().string().substr(dir.size() + 1), host;
        if (fromSystem && SystemToHostText(path, host)) path = host;
        const bool folder = S_ISDIR(st.st_mode);
        snapshot[Lower(path)] = {folder, folder ? Bytes() : testutil::ReadFile(it->path().string()), st.st_mtime};
    }
    return snapshot;
}

struct Rules {
    bool times = true;
    long long foldersBefore = LLONG_MAX;  // a folder's time counts only when theirs is older
    long long slack = 0;                  // seconds a time may be off by
};

// A line for each path where two trees differ: "+path" only ours has,
// "-path" only theirs, "~path" of another type or content, "@path OURS THEIRS"
// for times.
std::string Differences(const Snapshot& ours, const Snapshot& theirs, Rules rules = {})
{
    std::ostringstream out;
    std::set<std::string> paths;
    for (const auto& [path, entry] : ours) paths.insert(path);
    for (const auto& [path, entry] : theirs) paths.insert(path);
    for (const std::string& path : paths) {
        const auto a = ours.find(path), b = theirs.find(path);
        if (a == ours.end() || b == theirs.end()) {
            out << (a == ours.end() ? "-" : "+") << path << "\n";
        } else if (a->second.folder != b->second.folder || a->second.content != b->second.content) {
            out << "~" << path << "\n";
        } else if (rules.times && (!b->second.folder || b->second.time < rules.foldersBefore) &&
                   std::llabs(a->second.time - b->second.time) > rules.slack) {
            out << "@" << path << " " << a->second.time << " " << b->second.time << "\n";
        }
    }
    return out.str();
}

// Extracts archive with command into the new folder temp/as.
Snapshot Extract(const testutil::TempDir& temp, const std::string& as, const std::string& command,
                 const std::string& archive, bool fromSystem, int* status = nullptr)
{
    fs::create_directories(temp / as);
    const int got = InUtc(temp / as, command + " " + Quote(archive)).status;
    if (status) *status = got;
    return Scan(temp / as, fromSystem);
}

void SetTime(const std::string& path, long long time)
{
    const struct timespec times[2] = {{static_cast<time_t>(time), 0}, {static_cast<time_t>(time), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// Writes files (folders end in '/') below root, then gives each an old time of
// its own, odd seconds included. In reverse order what a folder holds gets its
// time before the folder does.
void MakeTree(const std::string& root, const std::map<std::string, Bytes>& tree)
{
    for (const auto& [path, content] : tree) {
        fs::create_directories(fs::path(root + "/" + path).parent_path());
        if (path.back() != '/') testutil::WriteFile(root + "/" + path, content);
    }
    long long time = 1049522829;  // 2003-04-05 06:07:09 UTC
    for (auto it = tree.rbegin(); it != tree.rend(); ++it) SetTime(root + "/" + it->first, time += 86400 + 3607);
}

const std::map<std::string, Bytes> kTree = {{"Data/", {}},
                                            {"Data/Empty/", {}},
                                            {"Data/Map/", {}},
                                            {"Data/Map/field.txt", Words(20000, 1)},
                                            {"Data/Map/read.me", Text("the map\n")},
                                            {"Data/read.me", Text("the data\n")},
                                            {"Sound/", {}},
                                            {"Sound/read.me", Text("the sound, not the data\n")},
                                            {"top.txt", Text("t")}};

}  // namespace

TEST(LzhPeer, JlhaTreesOfEveryLevelExtractAsLhasaExtractsThem)
{
    if (!HaveCommand("jlha") || !HaveCommand("lhasa")) GTEST_SKIP() << "needs jlha and lhasa";
    testutil::TempDir temp;
    MakeTree(temp / "src", kTree);
    const Snapshot source = Scan(temp / "src");
    for (const std::string level : {"0", "1", "2"}) {
        SCOPED_TRACE("level " + level);
        const std::string archive = temp / (level + ".lzh");
        ASSERT_EQ(InUtc(temp / "src", "jlha a" + level + " " + Quote(archive) + " Data Sound top.txt").status, 0);
        const Snapshot ours = Extract(temp, "lzh" + level, kLzhX, archive, false);
        EXPECT_EQ(Differences(ours, Extract(temp, "lhasa" + level, "lhasa xqf", archive, true)), "");
        // An MS-DOS time counts two seconds at a time.
        EXPECT_EQ(Differences(ours, source, {.slack = level == "2" ? 0 : 1}), "");
    }
}

TEST(LzhPeer, CorpusArchivesExtractAsLhasaExtractsThem)
{
    if (!HaveCommand("lhasa")) GTEST_SKIP() << "needs lhasa";
    const std::string climbs = "-subdir\n-subdir/subdir2\n-subdir/subdir2/hello.txt\n";
    const std::string mac =
        "-untitled\n-untitled/subdir\n-untitled/subdir/subdir2\n-untitled/subdir/subdir2/hello.txt\n";
    // Where we part from lhasa on purpose.
    const std::map<std::string, std::string> known = {
        // lhasa stops at a folder entry packed as an empty -lh0- file, or at
        // one with no name; we pass over such an entry and go on.
        {"lha_amiga_122/lh0_dirs_bug.lzh",
         "+maindir/02_emptydir\n+maindir/03_dir\n+maindir/03_dir/file01.txt\n+maindir/04_file.txt\n"},
        {"lha_osk_201/h0_subdir.lzh", "+hello.txt\n"},
        {"lha_unix114i/h0_subdir.lzh", "+hello.txt\n"},
        // A level-0 header's time is its MS-DOS time; lhasa reads the OS-9 area after it.
        {"lha_osk_201/h0_lh0.lzh", "@gpl-2.gz 1262304000 1262325600\n"},
        {"lha_osk_201/h0_lh5.lzh", "@gpl-2 1262304000 1262325600\n"},
        // A link is passed over, and so is the folder only it needs.
        {"lha_unix114i/h1_symlink3.lzh", "-subdir\n"},
        {"lha_unix114i/h2_symlink3.lzh", "-subdir\n"},
        // Absolute names and names with ".." are refused; lhasa strips what makes them so.
        {"lhmelt_16536/h0_subdir.lzh", climbs},
        {"lhmelt_16536/h1_subdir.lzh", climbs},
        {"lhmelt_16536/h2_subdir.lzh", climbs},
        {"maclha_224/l1_full_subdir.lzh", mac},
        {"maclha_224/l2_full_subdir.lzh", mac},
        {"regression/abspath.lzh", "-tmp\n-tmp/absolute_path.txt\n"},
        {"regression/dotdot.lzh", "-evil1.txt\n-evil2.txt\n"},
        {"tascal_lha_051h/abspath.lzh",
         "-mounted volume\n-mounted volume/subdir\n-mounted volume/subdir/subdir2\n"
         "-mounted volume/subdir/subdir2/hello.txt\n"},
        // A member is written as stored; lhasa takes MacLHA's MacBinary header off.
        {"maclha_224/l1_lh0.lzh", "~gpl-2.gz\n"},
        {"maclha_224/l2_lh0.lzh", "~gpl-2.gz\n"},
        {"maclha_224/l1_lh5.lzh", "~gpl-2\n"},
        {"maclha_224/l2_lh5.lzh", "~gpl-2\n"},
        {"maclha_224/l1_subdir.lzh", "~subdir/subdir2/hello.txt\n"},
        {"maclha_224/l2_subdir.lzh", "~subdir/subdir2/hello.txt\n"}};
    // A folder lhasa makes on the way to a file has the time of the extraction.
    const long long start =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    int compared = 0;
    for (const auto& entry : fs::recursive_directory_iterator(kCorpus)) {
        const std::string extension = Lower(entry.path().extension().string());
        if (!entry.is_regular_file() || (extension != ".lzh" && extension != ".lha")) continue;
        const std::string archive = entry.path().string(), name = archive.substr(kCorpus.size() + 1);
        SCOPED_TRACE(name);
        testutil::TempDir temp;
        int status = 0;
        const Snapshot theirs = Extract(temp, "lhasa", "lhasa xqf", archive, true, &status);
        if (status != 0) continue;
        const auto difference = known.find(name);
        EXPECT_EQ(Differences(Extract(temp, "lzh", kLzhX, archive, false), theirs, {.foldersBefore = start}),
                  difference == known.end() ? "" : difference->second);
        ++compared;
    }
    EXPECT_GT(compared, 100);
}

TEST(LzhPeer, WhatLzhAMakesEveryToolExtractsAlike)
{
    testutil::TempDir temp;
    std::map<std::string, Bytes> tree = kTree;
    tree["\xED\x8F\xB4\xEB\x8D\x94/"] = {};                                          // 폴더
    tree["\xED\x8F\xB4\xEB\x8D\x94/\xED\x8C\x8C\xEC\x9D\xBC.txt"] = Words(3000, 2);  // 폴더/파일.txt
    MakeTree(temp / "src/Patch", tree);
    SetTime(temp / "src/Patch", 1200000001);
    const Snapshot source = Scan(temp / "src");
    ASSERT_EQ(Lzh(temp / "src", "a ../all.lzh Patch").status, 0);
    ASSERT_EQ(Lzh(temp / "src", "a ../ascii.lzh Patch/Data Patch/Sound Patch/top.txt").status, 0);

    // lzh a stores MS-DOS times, two seconds at a time.
    const Snapshot ours = Extract(temp, "lzh", kLzhX, temp / "all.lzh", false);
    EXPECT_EQ(Differences(ours, source, {.slack = 1}), "");
    for (const std::string peer : {"lhasa", "7z"}) {
        SCOPED_TRACE(peer);
        if (!HaveCommand(peer.c_str())) continue;
        const std::string command = peer == "7z" ? "7z x -y" : "lhasa xqf";
        EXPECT_EQ(Differences(ours, Extract(temp, peer, command, temp / "all.lzh", true)), "");
    }
    // jlha sets no times on what it extracts.
    if (HaveCommand("jlha")) {
        EXPECT_EQ(Differences(Extract(temp, "ascii", kLzhX, temp / "ascii.lzh", false),
                              Extract(temp, "jlha", "jlha x", temp / "ascii.lzh", false), {.times = false}),
                  "");
    }
}
