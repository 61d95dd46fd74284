// lzh x, a, l and d beside the archivers people have: what jlha makes and what
// the corpus holds extracts as lhasa extracts it, folders and times included;
// what lzh a makes every tool extracts alike; adds and deletes keep the members
// a plain model predicts; links are followed only when asked to.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
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

// Member names of lzh l in their order: what follows the time on each line
// between the two rules.
std::vector<std::string> Listed(const std::string& dir, const std::string& archive)
{
    std::vector<std::string> names;
    std::istringstream list(Lzh(dir, "l " + Quote(archive)).out);
    int rules = 0;
    for (std::string line; std::getline(list, line);) {
        if (line.rfind("----------", 0) == 0) {
            ++rules;
        } else if (rules == 1) {
            std::istringstream fields(line);
            std::string skip;
            for (int i = 0; i < 8; ++i) fields >> skip;  // SIZE PACKED RATIO METHOD LEVEL CRC DATE TIME
            names.push_back(fields ? line.substr(static_cast<std::size_t>(fields.tellg()) + 1) : line);
        }
    }
    return names;
}

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
    if (!HaveCorpus()) GTEST_SKIP() << CorpusMissing();
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

    // lzh a stores the Unix time beside the MS-DOS one: to the second.
    const Snapshot ours = Extract(temp, "lzh", kLzhX, temp / "all.lzh", false);
    EXPECT_EQ(Differences(ours, source), "");
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

TEST(LzhPeer, AddAndDeleteFollowAModel)
{
    testutil::TempDir temp;
    const std::string work = temp / "work", archive = temp / "model.lzh";
    // From sub, ../twice.txt and twice.txt would both be the member twice.txt.
    fs::create_directories(work + "/sub");
    testutil::WriteFile(work + "/twice.txt", "1");
    testutil::WriteFile(work + "/sub/twice.txt", "2");
    std::vector<std::pair<std::string, Bytes>> model;  // name as lzh l shows it, content
    std::mt19937 random(7);
    const auto respell = [&](std::string name) {
        for (char& c : name)
            if (std::isalpha(static_cast<unsigned char>(c)) && random() % 2) c = static_cast<char>(c ^ 0x20);
        return name;
    };
    for (int step = 0; step < 30; ++step) {
        const Bytes before = testutil::ReadFile(archive);
        // Mostly adds, so that the archive grows and replaced members have neighbours.
        const unsigned roll = random() % 10, action = model.empty() || roll < 4 ? 0 : roll < 7 ? 1 : roll < 8 ? 2 : 3;
        const std::size_t at = model.empty() ? 0 : random() % model.size();
        std::string dir = work, command;
        if (action <= 1) {
            // A new name, or one there is in another spelling: it takes the old member's place.
            const std::string name =
                action == 0 ? (random() % 2 ? "sub/f" : "f") + std::to_string(step) + ".txt" : respell(model[at].first);
            const Bytes content = Words(random() % 5000, static_cast<std::uint32_t>(step));
            fs::create_directories(fs::path(work + "/" + name).parent_path());
            testutil::WriteFile(work + "/" + name, content);
            command = "a " + Quote(archive) + " " + name;
            if (action == 0) model.emplace_back(name, content);
            if (action == 1) model[at] = {name, content};
        } else if (action == 2) {
            std::string name = respell(model[at].first);
            if (random() % 2) std::replace(name.begin(), name.end(), '/', '\\');
            command = "d " + Quote(archive) + " " + Quote(name);
            model.erase(model.begin() + static_cast<std::ptrdiff_t>(at));
        } else {
            const std::string failing[] = {"a", "d", "twice"};
            const std::string how = failing[random() % 3];
            command = how == "twice" ? "a " + Quote(archive) + " ../twice.txt twice.txt"
                                     : how + " " + Quote(archive) + " none" + std::to_string(step) + ".txt";
            if (how == "twice") dir = work + "/sub";
        }
        SCOPED_TRACE("step " + std::to_string(step) + ": lzh " + command);
        const ToolResult r = Lzh(dir, command);
        EXPECT_EQ(r.status, action == 3 ? 1 : 0) << r.err;
        if (action == 3) {
            EXPECT_EQ(testutil::ReadFile(archive), before);
        }
        for (const auto& entry : fs::directory_iterator(temp.path()))
            EXPECT_NE(entry.path().filename().string().rfind("~kivra", 0), 0u) << entry.path();

        std::vector<std::string> names;
        std::map<std::string, Bytes> files;
        for (const auto& [name, content] : model) {
            names.push_back(name);
            files[Lower(name)] = content;
        }
        ASSERT_EQ(Listed(work, archive), names);
        if (step % 5 != 4) continue;
        std::map<std::string, Bytes> extracted;
        for (const auto& [path, entry] : Extract(temp, "x" + std::to_string(step), kLzhX, archive, false))
            if (!entry.folder) extracted[path] = entry.content;
        EXPECT_EQ(extracted, files);
    }
}

TEST(LzhPeer, LinksInsideTheTreeAreFollowedOnlyWithDashL)
{
    testutil::TempDir temp;
    fs::create_directories(temp / "T/sub");
    testutil::WriteFile(temp / "T/f.txt", "f");
    testutil::WriteFile(temp / "T/sub/s.txt", "s");
    fs::create_symlink("f.txt", temp / "T/lf");
    fs::create_symlink("sub", temp / "T/ld");
    fs::create_symlink("/etc/passwd", temp / "T/le");
    fs::create_symlink("nowhere", temp / "T/dangling");
    fs::create_symlink("..", temp / "T/sub/up");
    ASSERT_EQ(mkfifo((temp / "T/fifo").c_str(), 0600), 0);

    const struct {
        std::string options, paths;
        std::vector<std::string> members;
        std::multiset<std::string> passedOver;
    } runs[] = {{"", "T", {"T/", "T/f.txt", "T/sub/", "T/sub/s.txt"}, {"dangling", "fifo", "ld", "le", "lf", "sub/up"}},
                {"-L",
                 "T",
                 {"T/", "T/f.txt", "T/ld/", "T/ld/s.txt", "T/lf", "T/sub/", "T/sub/s.txt"},
                 {"dangling", "fifo", "ld/up", "le", "sub/up"}},
                // What the command line names is followed.
                {"", "T/ld", {"T/ld/", "T/ld/s.txt"}, {"ld/up"}},
                {"", "T/lf T/le", {"T/lf", "T/le"}, {}}};
    int made = 0;
    for (const auto& [options, paths, members, passedOver] : runs) {
        SCOPED_TRACE(options + " " + paths);
        const std::string archive = std::to_string(++made) + ".lzh";
        const ToolResult r = Lzh(temp.path(), "a " + options + " " + archive + " " + paths);
        EXPECT_EQ(r.status, 0);
        std::multiset<std::string> passed;
        std::istringstream err(r.err);
        for (std::string line; std::getline(err, line);) {
            EXPECT_TRUE(line.starts_with("lzh: T/") && line.ends_with(", passed over")) << line;
            passed.insert(line.substr(7, line.find(": ", 7) - 7));
        }
        EXPECT_EQ(passed, passedOver) << r.err;
        EXPECT_EQ(Listed(temp.path(), archive), members);
    }
    // What -L follows is stored as the file or folder it leads to.
    const Snapshot followed = Extract(temp, "out", kLzhX, temp / "2.lzh", false);
    EXPECT_EQ(followed.at("t/lf").content, Text("f"));
    EXPECT_EQ(followed.at("t/ld/s.txt").content, Text("s"));
}
