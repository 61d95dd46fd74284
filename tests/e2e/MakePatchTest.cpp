// kivra-mkpatch as a process: random pairs of installations are turned into a
// patch, the patch is applied to a copy of the old one by kivra-update, and
// the result read back (the pack by the layout model of PackImage.h) must be
// the new installation, but for the files a patch cannot remove. The same
// trees must give the same bytes. A table of faulty inputs must each fail
// cleanly, a run stopped at any point leave nothing behind, and excluded
// files stay out of the patch.
#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <linux/fs.h>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <random>
#include <set>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/PatchRun.h"

namespace {

using namespace patchrun;

// Names as the pack holds them (code page 949) and as the disk does (UTF-8).
struct Name {
    const char* pack;
    const char* disk;
};
const Name kNames[] = {
    {"Map", "Map"},
    {"Sound", "Sound"},
    {"tiles.tex", "tiles.tex"},
    {"a", "a"},
    {"\xC7\xD1\xB1\xDB", "한글"},
    {"\xC1\xF6\xB5\xB5", "지도"},
    {"\xBC\xD2\xB8\xAE.wav", "소리.wav"},
    {"\xBB\xF5\xC6\xC4\xC0\xCF.dat", "새파일.dat"},
    {"Data.bin", "Data.bin"},
    {"Ui", "Ui"},
};

// Block and chunk edges of the pack (2048), the LZH window (8192) and the
// copies (65536).
const std::size_t kSizes[] = {0, 1, 2047, 2048, 2049, 4095, 4096, 8191, 8192, 8193, 65535, 65536, 65537, 100000};

std::string Fold(const std::string& text)
{
    std::string folded = text;
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

// A tree as paths with backslashes (pack names or disk names) to contents.
using Files = std::map<std::string, Bytes>;

struct Side {
    Files pack;  // below Kivra_Pak, code page 949
    Files disk;  // below the game directory, UTF-8
    std::set<std::string> packFolders;
    std::set<std::string> diskFolders;
};

// Whether path can join files: no file or folder of another's path in any
// letter case.
bool Fits(const Files& files, const std::string& path)
{
    const std::string key = Fold(path);
    for (const auto& [other, content] : files) {
        const std::string o = Fold(other);
        if (o == key || o.rfind(key + "\\", 0) == 0 || key.rfind(o + "\\", 0) == 0) return false;
    }
    return true;
}

std::string RandomPath(std::mt19937& random, bool pack, int depth)
{
    std::string path;
    for (int i = 0; i <= depth; ++i) {
        const Name& name = kNames[random() % std::size(kNames)];
        path += (i ? "\\" : "") + std::string(pack ? name.pack : name.disk);
    }
    return path;
}

Bytes Content(std::mt19937& random)
{
    const std::size_t size = kSizes[random() % std::size(kSizes)];
    if (random() % 3 == 0) {
        Bytes text(size);
        for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<std::uint8_t>("kivra map "[i % 10]);
        return text;
    }
    return Noise(size, static_cast<unsigned>(random()));
}

// Adds count files that fit files and, as a patch cannot turn a folder into a
// file, also fit before.
void AddRandom(std::mt19937& random, Files& files, bool pack, int count, const Files& before = {})
{
    for (int added = 0; added < count;) {
        const std::string path = RandomPath(random, pack, static_cast<int>(random() % 4));
        if (!Fits(files, path) || (!Fits(before, path) && !before.count(path))) continue;
        files[path] = Content(random);
        ++added;
    }
}

Bytes Launcher(const std::string& version)
{
    testpe::VersionResource r;
    r.fileVersion = version;
    return testpe::Executable(r);
}

// Lays side out as a game directory at game.
void Lay(const Side& side, const fs::path& game, const std::string& version)
{
    fs::create_directories(game / "Dev");
    Tree tree;
    tree["Kivra_Pak\\Version.txt"] = B(version);
    for (const auto& [path, content] : side.pack) tree["Kivra_Pak\\" + path] = content;
    for (const std::string& folder : side.packFolders) tree["Kivra_Pak\\" + folder + "\\"] = {};
    MakePack(game / "Dev/Kivra.pak", tree);
    for (const auto& [path, content] : side.disk) {
        std::string name = path;
        std::replace(name.begin(), name.end(), '\\', '/');
        fs::create_directories((game / name).parent_path());
        WriteFile(game / name, content);
    }
    for (const std::string& folder : side.diskFolders) {
        std::string name = folder;
        std::replace(name.begin(), name.end(), '\\', '/');
        fs::create_directories(game / name);
    }
}

// An old installation at random, and a new one made from it: files kept,
// changed, renamed in letter case and removed, and files and folders added.
void MakePair(unsigned seed, Side& before, Side& after)
{
    std::mt19937 random(seed);
    AddRandom(random, before.pack, true, 10 + static_cast<int>(random() % 8));
    AddRandom(random, before.disk, false, 6 + static_cast<int>(random() % 5));
    before.disk["Kivra.exe"] = Launcher("1.0.2.29");
    before.disk["KNet.exe"] = Launcher("1.0.2.29");
    for (auto [from, to] : {std::pair{&before.pack, &after.pack}, std::pair{&before.disk, &after.disk}}) {
        for (const auto& [path, content] : *from) {
            const unsigned fate = random() % 8;
            if (path == "Kivra.exe" || path == "KNet.exe") {
                (*to)[path] = content;
            } else if (fate == 0) {
                // Only in the old installation.
            } else if (fate <= 2) {
                Bytes changed = content.empty() ? Bytes{1} : content;
                changed[random() % changed.size()] ^= 0x5a;
                (*to)[path] = fate == 1 ? changed : Content(random);
            } else if (fate == 3) {
                // The same file in another letter case, with new contents.
                std::string upper = path;
                for (std::size_t i = path.rfind('\\') + 1; i < upper.size(); ++i)
                    if (upper[i] >= 'a' && upper[i] <= 'z') upper[i] = static_cast<char>(upper[i] - 'a' + 'A');
                (*to)[upper] = Content(random);
            } else {
                (*to)[path] = content;
            }
        }
    }
    AddRandom(random, after.pack, true, 3 + static_cast<int>(random() % 5), before.pack);
    AddRandom(random, after.disk, false, 2 + static_cast<int>(random() % 4), before.disk);
    after.disk["KNet.exe"] = Launcher("1.0.2.30");
    after.packFolders.insert("\xBA\xF3 \xC6\xFA\xB4\xF5");  // "빈 폴더": an empty folder
    after.diskFolders.insert("Empty\\빈 폴더");
}

// The installations of MakePair(seed), laid out at scratch/old and scratch/new.
struct Pair {
    Side before;
    Side after;
    fs::path oldGame;
    fs::path newGame;
};
Pair LayPair(unsigned seed, const fs::path& scratch)
{
    Pair pair{{}, {}, scratch / "old", scratch / "new"};
    MakePair(seed, pair.before, pair.after);
    Lay(pair.before, pair.oldGame, "1.0.2.29");
    Lay(pair.after, pair.newGame, "1.0.2.30\r\n");
    return pair;
}

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Starts kivra-mkpatch with SOURCE_DATE_EPOCH set to sourceDate (unset when
// empty), its output to files in scratch.
pid_t StartMakePatch(const fs::path& scratch, const std::vector<std::string>& arguments,
                     rlim_t fileSizeLimit = RLIM_INFINITY, const std::string& sourceDate = "")
{
    const std::string out = scratch / "mkpatch.out";
    const std::string err = scratch / "mkpatch.err";
    const pid_t pid = fork();
    if (pid == 0) {
        if (sourceDate.empty())
            unsetenv("SOURCE_DATE_EPOCH");
        else
            setenv("SOURCE_DATE_EPOCH", sourceDate.c_str(), 1);
        const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(o, 1);
        dup2(e, 2);
        if (fileSizeLimit != RLIM_INFINITY) {
            signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{fileSizeLimit, fileSizeLimit};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(125);
        }
        std::vector<std::string> words = {KIVRA_MKPATCH};
        words.insert(words.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        execv(KIVRA_MKPATCH, argv.data());
        _exit(127);
    }
    return pid;
}

ToolRun FinishMakePatch(const fs::path& scratch, pid_t pid)
{
    int status = 0;
    waitpid(pid, &status, 0);
    ToolRun run;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = Slurp(scratch / "mkpatch.out");
    run.err = Slurp(scratch / "mkpatch.err");
    return run;
}

ToolRun RunMakePatch(const fs::path& scratch, const std::vector<std::string>& arguments,
                     rlim_t fileSizeLimit = RLIM_INFINITY, const std::string& sourceDate = "")
{
    return FinishMakePatch(scratch, StartMakePatch(scratch, arguments, fileSizeLimit, sourceDate));
}

// The files of the Update.pak in an update.lzh, unpacked by the lzh tool.
Files Unpacked(const Bytes& archive)
{
    testutil::TempDir folder;
    WriteFile(folder / "update.lzh", archive);
    const std::string line = "cd '" + folder.path() + "' && '" LZH_TOOL "' x update.lzh >/dev/null 2>&1";
    EXPECT_EQ(std::system(line.c_str()), 0);
    return PackFiles(folder / "Update.pak");
}

// The MS-DOS time in the header of an archive's first member.
std::uint32_t MemberTime(const Bytes& archive)
{
    return archive.size() < 19 ? 0
                               : archive[15] | archive[16] << 8 | archive[17] << 16 | std::uint32_t{archive[18]} << 24;
}

std::uint32_t DosTime(const std::tm& t)
{
    return static_cast<std::uint32_t>(t.tm_year - 80) << 25 | static_cast<std::uint32_t>(t.tm_mon + 1) << 21 |
           static_cast<std::uint32_t>(t.tm_mday) << 16 | static_cast<std::uint32_t>(t.tm_hour) << 11 |
           static_cast<std::uint32_t>(t.tm_min) << 5 | static_cast<std::uint32_t>(t.tm_sec / 2);
}

// The names in folder.
std::set<std::string> Listing(const fs::path& folder)
{
    std::set<std::string> names;
    for (const auto& item : fs::directory_iterator(folder)) names.insert(item.path().filename().string());
    return names;
}

// The files below game but the pack, keyed by their paths folded (what the
// patcher takes for one file).
Files DiskFiles(const fs::path& game)
{
    Files files;
    for (const auto& item : fs::recursive_directory_iterator(game)) {
        if (!item.is_regular_file()) continue;
        std::string path = fs::relative(item.path(), game).generic_string();
        if (Fold(path) == "dev/kivra.pak") continue;
        std::replace(path.begin(), path.end(), '/', '\\');
        files[Fold(path)] = ReadFile(item.path());
    }
    return files;
}

Files Folded(const Files& files, const std::string& prefix = "")
{
    Files folded;
    for (const auto& [path, content] : files) folded[Fold(prefix + path)] = content;
    return folded;
}

// What the old installation holds once the new one is laid over it.
Files Overlay(const Files& before, const Files& after, const std::string& prefix = "")
{
    Files result = Folded(before, prefix);
    for (const auto& [path, content] : Folded(after, prefix)) result[path] = content;
    return result;
}

// Added and changed files of after against before, by folded path.
std::pair<int, int> Counted(const Files& before, const Files& after)
{
    const Files old = Folded(before);
    int added = 0;
    int changed = 0;
    for (const auto& [path, content] : Folded(after)) {
        const auto it = old.find(path);
        if (it == old.end())
            ++added;
        else if (it->second != content)
            ++changed;
    }
    return {added, changed};
}

class MakePatchRoundTrip : public ::testing::TestWithParam<unsigned> {};

TEST_P(MakePatchRoundTrip, AppliedPatchMakesTheNewInstallation)
{
    const unsigned seed = GetParam();
    testutil::TempDir scratch;
    const auto [before, after, oldGame, newGame] = LayPair(seed, scratch.path());

    Installation installation(scratch.path());
    installation.Lay();
    // An archive of an earlier patch is replaced.
    if (seed % 2 == 0) WriteFile(installation.patch / "update.lzh", std::string("an earlier patch"));
    std::vector<std::string> arguments = {oldGame, newGame, installation.patch};
    const std::string readMe = "Kivra 1.0.2.30, seed " + std::to_string(seed) + "\r\n";
    if (seed % 2 == 1) {
        WriteFile(scratch / "notes.txt", readMe);
        arguments.insert(arguments.begin(), {"--readme", scratch / "notes.txt"});
    }
    const std::string need = seed % 3 == 2 ? "1.0.2.3" : "1.0.2.29";
    if (seed % 3 == 2) arguments.insert(arguments.begin(), {"--need", need});
    const ToolRun made = RunMakePatch(scratch.path(), arguments);
    ASSERT_EQ(made.status, 0) << made.err;

    // The summary counts what the model changed; every removal is named.
    const auto [packAdded, packChanged] = Counted(before.pack, after.pack);
    const auto [diskAdded, diskChanged] = Counted(before.disk, after.disk);
    EXPECT_NE(
        made.out.find("pack: " + std::to_string(packAdded) + " added, " + std::to_string(packChanged + 1) + " changed"),
        std::string::npos)
        << made.out;
    EXPECT_NE(
        made.out.find("disk: " + std::to_string(diskAdded) + " added, " + std::to_string(diskChanged) + " changed"),
        std::string::npos)
        << made.out;
    EXPECT_NE(made.out.find("need version: " + need + "\npatch version: 1.0.2.30\n"), std::string::npos) << made.out;
    std::size_t removals = 0;
    for (auto [old, now] : {std::pair{&before.pack, &after.pack}, std::pair{&before.disk, &after.disk}}) {
        const Files current = Folded(*now);
        for (const auto& [path, content] : *old) {
            if (current.count(Fold(path))) continue;
            ++removals;
            std::string shown = path.substr(path.rfind('\\') + 1);
            if (old == &before.pack)
                for (const Name& name : kNames)
                    if (shown == name.pack) shown = name.disk;
            EXPECT_NE(made.err.find(shown), std::string::npos) << path;
        }
    }
    std::size_t warned = 0;
    for (std::size_t at = 0; (at = made.err.find("cannot remove", at)) != std::string::npos; ++at) ++warned;
    EXPECT_EQ(warned, removals) << made.err;
    for (const auto& item : fs::directory_iterator(installation.patch))
        EXPECT_EQ(item.path().filename().string().find("~mkpatch"), std::string::npos) << item.path();
    ASSERT_TRUE(fs::exists(installation.patch / "KNet.exe"));
    EXPECT_EQ(ReadFile(installation.patch / "KNet.exe"), after.disk.at("KNet.exe"));

    // Applied to a copy of the old installation.
    fs::remove_all(installation.game);
    fs::copy(oldGame, installation.game, fs::copy_options::recursive);
    const Outcome run = installation.Run();
    ASSERT_EQ(run.status, 0) << run.out << run.err;

    // Other extractors take the same Update.pak out of the archive as the
    // patcher did.
    ASSERT_TRUE(fs::exists(installation.patch / "Update.pak"));
    const auto unpacked = ReadFile(installation.patch / "Update.pak");
    for (const char* command : {"lhasa xq ../update.lzh", "7z x -y ../update.lzh"}) {
        const std::string tool = std::string(command).substr(0, std::string(command).find(' '));
        if (std::system(("command -v " + tool + " >/dev/null").c_str()) != 0) continue;
        testutil::TempDir out;
        fs::copy_file(installation.patch / "update.lzh", out / "update.lzh");
        fs::create_directory(out / "x");
        const std::string line = "cd '" + (out / "x") + "' && " + command + " >/dev/null";
        EXPECT_EQ(std::system(line.c_str()), 0) << tool;
        EXPECT_TRUE(fs::exists(out / "x/Update.pak") && ReadFile(out / "x/Update.pak") == unpacked) << tool;
    }

    const pack::CheckResult check = pack::CheckPackFile(installation.GamePack().c_str());
    EXPECT_TRUE(check.Clean()) << (check.problems.empty() ? "lost blocks" : check.problems.front());
    testpack::Image image;
    image.bytes = ReadFile(installation.GamePack());
    std::vector<testpack::Node> nodes;
    ASSERT_TRUE(testpack::ReadTree(image, nodes));
    Files packNow;
    std::set<std::string> foldersNow;
    for (const testpack::Node& node : nodes) {
        if (node.entry.type == 1)
            foldersNow.insert(Fold(node.path));
        else
            packNow[Fold(node.path)] = node.data;
    }
    Files packWanted = Overlay(before.pack, after.pack, "Kivra_Pak\\");
    packWanted[Fold("Kivra_Pak\\Version.txt")] = B("1.0.2.30\r\n");
    EXPECT_EQ(packNow.size(), packWanted.size());
    for (const auto& [path, content] : packWanted) {
        const auto it = packNow.find(path);
        ASSERT_NE(it, packNow.end()) << path;
        EXPECT_EQ(it->second == content, true) << path;
    }
    for (const std::string& folder : after.packFolders) EXPECT_TRUE(foldersNow.count(Fold("Kivra_Pak\\" + folder)));

    Files diskWanted = Overlay(before.disk, after.disk);
    diskWanted[Fold("NeedVersion.txt")] = B(need + "\r\n");
    if (seed % 2 == 1) diskWanted[Fold("ReadMe.txt")] = B(readMe);
    const Files diskNow = DiskFiles(installation.game);
    EXPECT_EQ(diskNow.size(), diskWanted.size());
    for (const auto& [path, content] : diskWanted) {
        const auto it = diskNow.find(path);
        ASSERT_NE(it, diskNow.end()) << path;
        EXPECT_EQ(it->second == content, true) << path;
    }
    EXPECT_TRUE(fs::is_directory(installation.game / "Empty/빈 폴더"));

    // The patched installation against the new one: nothing left to carry.
    const ToolRun again = RunMakePatch(scratch.path(), {installation.game, newGame, scratch / "again"});
    EXPECT_EQ(again.status, 1) << again.err;
    EXPECT_NE(again.err.find("does not differ"), std::string::npos) << again.err;
    EXPECT_FALSE(fs::exists(scratch / "again"));
}

INSTANTIATE_TEST_SUITE_P(Seeds, MakePatchRoundTrip, ::testing::Range(1u, 9u));

// --- The same trees, the same bytes -------------------------------------------------

class MakePatchReproducible : public ::testing::TestWithParam<unsigned> {};

TEST_P(MakePatchReproducible, SameTreesGiveTheSameArchive)
{
    const unsigned seed = GetParam();
    testutil::TempDir scratch;
    const auto [before, after, oldGame, newGame] = LayPair(seed, scratch.path());
    // Files with times of their own, from years back, as a copy keeps them.
    std::mt19937 random(seed);
    const auto now = fs::file_time_type::clock::now();
    for (const fs::path& game : {oldGame, newGame})
        for (const auto& item : fs::recursive_directory_iterator(game))
            if (item.is_regular_file())
                fs::last_write_time(item.path(), now - std::chrono::hours(1 + random() % 80000));
    int runs = 0;
    const auto make = [&](const std::string& sourceDate) {
        const fs::path out = scratch / ("out" + std::to_string(++runs));
        const ToolRun run = RunMakePatch(scratch.path(), {oldGame, newGame, out}, RLIM_INFINITY, sourceDate);
        EXPECT_EQ(run.status, 0) << run.err;
        return ReadFile(out / "update.lzh");
    };

    const Bytes first = make("");
    EXPECT_EQ(make("") == first, true);
    const std::time_t epoch = 315532800 + static_cast<std::time_t>(random() % 3900000000u);
    const Bytes dated = make(std::to_string(epoch));
    EXPECT_EQ(make(std::to_string(epoch)) == dated, true);
    std::tm utc{};
    gmtime_r(&epoch, &utc);
    EXPECT_EQ(MemberTime(dated), DosTime(utc));
    // Every entry of Update.pak, the root's own among them, has that time.
    testutil::TempDir folder;
    WriteFile(folder / "update.lzh", dated);
    ASSERT_EQ(std::system(("cd '" + folder.path() + "' && '" LZH_TOOL "' x update.lzh >/dev/null 2>&1").c_str()), 0);
    testpack::Image image;
    image.bytes = ReadFile(folder / "Update.pak");
    std::vector<testpack::Node> nodes;
    ASSERT_TRUE(testpack::ReadTree(image, nodes));
    const std::uint64_t ticks = 116444736000000000ULL + static_cast<std::uint64_t>(epoch) * 10000000ULL;
    nodes.push_back(testpack::Node{".", image.GetEntry(0, 0), {}});
    for (const testpack::Node& node : nodes)
        EXPECT_EQ((std::uint64_t{node.entry.timeHigh} << 32 | node.entry.timeLow), ticks) << node.path;

    // NEW's launcher, always in the patch, made the newest file: the
    // archive's time is its time, the contents stay; SOURCE_DATE_EPOCH wins.
    const auto later = now + std::chrono::hours(24 * 400);
    fs::last_write_time(newGame / "KNet.exe", later);
    const Bytes touched = make("");
    const std::time_t laterSeconds = std::chrono::system_clock::to_time_t(std::chrono::file_clock::to_sys(later));
    std::tm local{};
    localtime_r(&laterSeconds, &local);
    EXPECT_EQ(MemberTime(touched), DosTime(local));
    EXPECT_NE(MemberTime(touched), MemberTime(first));
    EXPECT_EQ(Unpacked(touched) == Unpacked(first), true);
    EXPECT_EQ(make(std::to_string(epoch)) == dated, true);
}

INSTANTIATE_TEST_SUITE_P(Seeds, MakePatchReproducible, ::testing::Range(1u, 4u));

// --- Faulty inputs ----------------------------------------------------------------

struct Fault {
    const char* name;
    // Changes the two installations (old, new) and the arguments.
    void (*prepare)(const fs::path& old, const fs::path& now, std::vector<std::string>& arguments);
    int status;
    const char* said;  // on stderr
    rlim_t fileSizeLimit = RLIM_INFINITY;
};

void Put(const fs::path& path, const Bytes& content)
{
    fs::create_directories(path.parent_path());
    WriteFile(path, content);
}

void SetPackFile(const fs::path& game, const std::string& name, const Bytes& content)
{
    Tree tree = {{"Kivra_Pak\\Version.txt", B("1.0.2.30")}, {"Kivra_Pak\\Map\\a.map", Noise(5000, 1)}};
    if (content.empty())
        tree.erase(name);
    else
        tree[name] = content;
    MakePack(game / "Dev/Kivra.pak", tree);
}

const Fault kFaults[] = {
    {"nothing changed", [](const fs::path&, const fs::path&, std::vector<std::string>&) {}, 1, "does not differ"},
    {"outdir inside old",
     [](const fs::path& old, const fs::path&, std::vector<std::string>& a) { a[2] = old / "Patch"; }, 1,
     "lies inside OLD"},
    {"outdir inside new", [](const fs::path&, const fs::path& now, std::vector<std::string>& a) { a[2] = now; }, 1,
     "lies inside NEW"},
    {"outdir is a file",
     [](const fs::path& old, const fs::path& now, std::vector<std::string>& a) {
         Put(now / "x.dll", B("x"));
         a[2] = (old.parent_path() / "file").string();
         WriteFile(a[2], std::string("f"));
     },
     1, "not a directory"},
    {"no version in new",
     [](const fs::path&, const fs::path& now, std::vector<std::string>&) {
         SetPackFile(now, "Kivra_Pak\\Version.txt", {});
     },
     1, "Version.txt is missing"},
    {"unreadable version in old",
     [](const fs::path& old, const fs::path&, std::vector<std::string>&) {
         SetPackFile(old, "Kivra_Pak\\Version.txt", B("new"));
     },
     1, "holds no version"},
    {"truncated pack",
     [](const fs::path&, const fs::path& now, std::vector<std::string>&) {
         fs::resize_file(now / "Dev/Kivra.pak", 300);
     },
     1, "not a pack file"},
    {"no pack",
     [](const fs::path&, const fs::path& now, std::vector<std::string>&) { fs::remove(now / "Dev/Kivra.pak"); }, 1,
     "no Dev\\Kivra.pak"},
    {"removal under --strict",
     [](const fs::path& old, const fs::path& now, std::vector<std::string>& a) {
         Put(old / "gone.txt", B("g"));
         Put(now / "new.txt", B("n"));
         a.insert(a.begin(), "--strict");
     },
     1, "missing in NEW (--strict)"},
    {"new below the need version",
     [](const fs::path&, const fs::path& now, std::vector<std::string>& a) {
         Put(now / "new.txt", B("n"));
         a.insert(a.begin(), {"--need", "1.0.3.0"});
     },
     1, "below the need version"},
    {"folder beginning with a dot",
     [](const fs::path&, const fs::path& now, std::vector<std::string>&) { Put(now / ".cache/x", B("x")); }, 1,
     "begin with a dot"},
    {"disk folder named Kivra_Pak",
     [](const fs::path&, const fs::path& now, std::vector<std::string>&) { Put(now / "Bin/kivra_pak/x", B("x")); }, 1,
     "named Kivra_Pak"},
    {"folder become a file",
     [](const fs::path& old, const fs::path& now, std::vector<std::string>&) {
         Put(old / "Bin/x/y.dll", B("y"));
         Put(now / "Bin/x", B("x"));
     },
     1, "a file in one installation and a folder in the other"},
    {"names differing only in case",
     [](const fs::path&, const fs::path& now, std::vector<std::string>&) {
         Put(now / "Bin/a.txt", B("1"));
         Put(now / "Bin/A.txt", B("2"));
     },
     1, "only in letter case"},
    {"rename in letter case only",
     [](const fs::path& old, const fs::path& now, std::vector<std::string>&) {
         Put(old / "Bin/Old.map", B("m"));
         Put(now / "Bin/old.map", B("m"));
     },
     1, "Bin\\Old.map in OLD is Bin\\old.map in NEW: the patcher takes names differing only in letter case"},
    {"rename in letter case only under --strict",
     [](const fs::path& old, const fs::path& now, std::vector<std::string>& a) {
         Put(old / "Bin/Old.map", B("m"));
         Put(now / "Bin/old.map", B("m"));
         Put(now / "new.txt", B("n"));
         a.insert(a.begin(), "--strict");
     },
     1, "1 name of OLD differs in NEW only in letter case (--strict)"},
    {"pack folder renamed in letter case only",
     [](const fs::path&, const fs::path& now, std::vector<std::string>&) {
         MakePack(now / "Dev/Kivra.pak",
                  {{"Kivra_Pak\\Version.txt", B("1.0.2.30")}, {"Kivra_Pak\\MAP\\a.map", Noise(5000, 1)}});
     },
     1, "Kivra_Pak\\Map in OLD's pack is Kivra_Pak\\MAP in NEW's"},
    {"path past 260 bytes",
     [](const fs::path&, const fs::path& now, std::vector<std::string>&) {
         fs::path deep = now;
         for (int i = 0; i < 6; ++i) deep /= std::string(45, static_cast<char>('a' + i));
         Put(deep / "file.bin", B("x"));
     },
     1, "path longer than"},
    {"name past 94 bytes",
     [](const fs::path&, const fs::path& now, std::vector<std::string>&) { Put(now / std::string(95, 'n'), B("x")); },
     1, "longer than 94"},
    {"readme differing from new's own",
     [](const fs::path& old, const fs::path& now, std::vector<std::string>& a) {
         Put(now / "ReadMe.txt", B("new's"));
         Put(old.parent_path() / "readme", B("given"));
         a.insert(a.begin(), {"--readme", (old.parent_path() / "readme").string()});
     },
     1, "differs from the one --readme gives"},
    {"full disk",
     [](const fs::path&, const fs::path& now, std::vector<std::string>&) { Put(now / "big.bin", Noise(300000, 9)); }, 1,
     "cannot be written", 700000},
    {"full disk, outdir made",
     [](const fs::path&, const fs::path& now, std::vector<std::string>& a) {
         Put(now / "big.bin", Noise(300000, 9));
         a[2] += "/new";
     },
     1, "cannot be written", 700000},
    {"no such old", [](const fs::path& old, const fs::path&, std::vector<std::string>&) { fs::remove_all(old); }, 1,
     "no such directory"},
    // A file past one pack's room: refused before a byte of it is read,
    // naming it and the way out.
    {"more than one pack holds",
     [](const fs::path&, const fs::path& now, std::vector<std::string>&) {
         Put(now / "Bin/huge.dat", B(""));
         fs::resize_file(now / "Bin/huge.dat", 270000000);
     },
     1,
     "kivra-mkpatch: the patch needs 131841 blocks of 2048 bytes, more than the 128000 one Update.pak holds "
     "(262144000 bytes): its 3 files come to 270000018 bytes, the biggest Bin\\huge.dat (270000000 bytes), "},
    {"two operands", [](const fs::path&, const fs::path&, std::vector<std::string>& a) { a.pop_back(); }, 2,
     "kivra-mkpatch: missing OUTDIR (kivra-mkpatch OLD NEW OUTDIR)\nTry 'kivra-mkpatch --help'.\n"},
    {"need that is no version",
     [](const fs::path&, const fs::path&, std::vector<std::string>& a) { a.insert(a.begin(), {"--need", "new"}); }, 2,
     "not a version"},
    {"unknown option",
     [](const fs::path&, const fs::path&, std::vector<std::string>& a) { a.insert(a.begin(), "--force"); }, 2,
     "kivra-mkpatch: unknown option '--force'\nTry 'kivra-mkpatch --help'.\n"},
};

// Two small games alike but for their launchers: one map in the pack.
void LaySmallPair(const fs::path& old, const fs::path& now, const char* newLauncher)
{
    for (const fs::path& game : {old, now}) {
        fs::create_directories(game / "Dev");
        SetPackFile(game, "Kivra_Pak\\Map\\a.map", Noise(5000, 1));
        Put(game / "KNet.exe", B(game == old ? "launcher" : newLauncher));
    }
}

class MakePatchFault : public ::testing::TestWithParam<Fault> {};

TEST_P(MakePatchFault, FailsAndLeavesTheEarlierPatch)
{
    const Fault& fault = GetParam();
    testutil::TempDir scratch;
    const fs::path old = scratch / "old";
    const fs::path now = scratch / "new";
    const fs::path out = scratch / "out";
    LaySmallPair(old, now, "launcher");
    fs::create_directories(out);
    WriteFile(out / "update.lzh", std::string("an earlier patch"));
    std::vector<std::string> arguments = {old, now, out};
    fault.prepare(old, now, arguments);
    const ToolRun run = RunMakePatch(scratch.path(), arguments, fault.fileSizeLimit);
    EXPECT_EQ(run.status, fault.status) << run.err;
    EXPECT_NE(run.err.find(fault.said), std::string::npos) << run.err;
    if (fault.status == 1) {
        const std::size_t line = run.err.find("kivra-mkpatch: ", run.err.rfind('\n', run.err.size() - 2) + 1);
        EXPECT_NE(line, std::string::npos) << "the last line says why: " << run.err;
    }
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(Slurp(out / "update.lzh"), "an earlier patch");
    std::vector<std::string> left;
    for (const auto& item : fs::directory_iterator(out)) left.push_back(item.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"update.lzh"});
}

INSTANTIATE_TEST_SUITE_P(Table, MakePatchFault, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<Fault>& info) {
                             std::string name = info.param.name;
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

// --- Stopped runs ----------------------------------------------------------------

struct Stop {
    const char* name;
    int signal;
    const char* at;     // the work file whose making is the moment to stop
    bool earlierPatch;  // OUTDIR holds one; else OUTDIR does not exist
};

const Stop kStops[] = {
    {"sigint_writing", SIGINT, "Update.pak", true},        {"sigint_compressing", SIGINT, "update.lzh", true},
    {"sigint_no_outdir", SIGINT, "update.lzh", false},     {"sigterm_writing", SIGTERM, "Update.pak", false},
    {"sighup_compressing", SIGHUP, "update.lzh", true},    {"sigkill_writing", SIGKILL, "Update.pak", true},
    {"sigkill_compressing", SIGKILL, "update.lzh", false},
};

class MakePatchStop : public ::testing::TestWithParam<Stop> {};

TEST_P(MakePatchStop, LeavesNothingBehind)
{
    const Stop& stop = GetParam();
    testutil::TempDir scratch;
    const fs::path old = scratch / "old";
    const fs::path now = scratch / "new";
    const fs::path out = scratch / "out";
    LaySmallPair(old, now, "new launcher");
    // Enough to stop in the middle of.
    for (unsigned i = 0; i < 10; ++i) Put(now / ("Bin/part" + std::to_string(i) + ".bin"), Noise(2000000, i));
    const std::string sourceDate = "1767225600";
    const fs::path reference = scratch / "reference/out";
    ASSERT_EQ(RunMakePatch(scratch.path(), {old, now, reference}, RLIM_INFINITY, sourceDate).status, 0);
    if (stop.earlierPatch) {
        Put(out / "update.lzh", B("an earlier patch"));
        Put(out / "KNet.exe", B("an earlier launcher"));
    }

    const pid_t pid = StartMakePatch(scratch.path(), {old, now, out}, RLIM_INFINITY, sourceDate);
    const fs::path work = scratch / (".kivra-mkpatch-" + std::to_string(pid));
    bool reached = false;
    for (int waited = 0; !reached && waited < 600000; ++waited) {
        siginfo_t info{};
        reached = fs::exists(work / stop.at);
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid) break;
        if (!reached) std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    kill(pid, stop.signal);
    const ToolRun stopped = FinishMakePatch(scratch.path(), pid);
    ASSERT_TRUE(reached) << "the run ended before it made " << stop.at << ": " << stopped.err;
    EXPECT_EQ(stopped.status, 128 + stop.signal) << stopped.err;

    std::set<std::string> expected = {"old", "new", "reference", "mkpatch.out", "mkpatch.err"};
    if (stop.earlierPatch) expected.insert("out");
    if (stop.signal != SIGKILL) {
        // As it was: no work folder, OUTDIR with the earlier patch or none.
        EXPECT_EQ(Listing(scratch.path()), expected);
        if (stop.earlierPatch) {
            EXPECT_EQ(Listing(out), (std::set<std::string>{"KNet.exe", "update.lzh"}));
            EXPECT_EQ(Slurp(out / "update.lzh"), "an earlier patch");
            EXPECT_EQ(Slurp(out / "KNet.exe"), "an earlier launcher");
        }
        return;
    }

    // The next run removes what the killed one left, and only that.
    EXPECT_TRUE(fs::is_directory(work));
    const fs::path live = scratch / (".kivra-mkpatch-" + std::to_string(getpid()));
    Put(live / "Update.pak", B("a running run's"));
    Put(scratch / ".kivra-mkpatch-1x/Update.pak", B("not a run's"));
    const ToolRun next = RunMakePatch(scratch.path(), {old, now, out}, RLIM_INFINITY, sourceDate);
    ASSERT_EQ(next.status, 0) << next.err;
    EXPECT_NE(next.err.find(work.string() + ": left by a kivra-mkpatch run that was stopped; removed"),
              std::string::npos)
        << next.err;
    expected.insert({"out", live.filename().string(), ".kivra-mkpatch-1x"});
    EXPECT_EQ(Listing(scratch.path()), expected);
    EXPECT_EQ(Listing(out), (std::set<std::string>{"KNet.exe", "update.lzh"}));
    EXPECT_EQ(ReadFile(out / "update.lzh") == ReadFile(reference / "update.lzh"), true);
    EXPECT_EQ(Slurp(out / "KNet.exe"), "new launcher");
}

INSTANTIATE_TEST_SUITE_P(Table, MakePatchStop, ::testing::ValuesIn(kStops),
                         [](const ::testing::TestParamInfo<Stop>& info) { return std::string(info.param.name); });

// --- Excluded files -----------------------------------------------------------------

struct Exclusion {
    const char* name;
    std::vector<std::string> patterns;
    // The paths (below the game directory, pack files below Kivra_Pak\) that
    // the patterns leave out.
    std::set<std::string> excluded;
};

// NEW adds these to OLD, in the pack and on disk.
const char* const kAdded[] = {
    "Kivra_Pak\\Map\\new.map",
    "Kivra_Pak\\Test\\t.map",
    "Kivra_Pak\\Test\\deep\\u.map",
    "Logs\\a.log",
    "Logs\\sub\\b.log",
    "x.bak",
    "Bin\\y.bak",
    "Bin\\한글.txt",
    "Bin\\갂.txt",  // 81 41 in code page 949: its second byte is an "A"
    "Bin\\tool.dll",
};
// NEW lacks these of OLD's.
const char* const kRemoved[] = {"Kivra_Pak\\Test\\gone.map", "old.log"};

const Exclusion kExclusions[] = {
    {"none", {}, {}},
    {"name_anywhere", {"*.log"}, {"Logs\\a.log", "Logs\\sub\\b.log", "old.log"}},
    {"star_in_one_folder", {"Logs/*.log"}, {"Logs\\a.log"}},
    {"double_star_across", {"Logs/**"}, {"Logs\\a.log", "Logs\\sub\\b.log"}},
    {"either_case", {"*.BAK"}, {"x.bak", "Bin\\y.bak"}},
    {"set_and_root", {"[!x]*.bak", "/x.bak"}, {"x.bak", "Bin\\y.bak"}},
    {"pack_folder_below",
     {"Kivra_Pak/Test/**"},
     {"Kivra_Pak\\Test\\t.map", "Kivra_Pak\\Test\\deep\\u.map", "Kivra_Pak\\Test\\gone.map"}},
    {"folder_by_name",
     {"test/"},
     {"Kivra_Pak\\Test\\t.map", "Kivra_Pak\\Test\\deep\\u.map", "Kivra_Pak\\Test\\gone.map"}},
    {"question_mark", {"Kivra_Pak/*/?.map"}, {"Kivra_Pak\\Test\\t.map"}},
    {"question_mark_hangul", {"Bin/?글.txt"}, {"Bin\\한글.txt"}},
    {"no_half_characters", {"*a.txt", "Bin/?A.txt"}, {}},
    {"version_kept",
     {"**/*.map", "Kivra_Pak/Version.txt"},
     {"Kivra_Pak\\Map\\new.map", "Kivra_Pak\\Test\\t.map", "Kivra_Pak\\Test\\deep\\u.map",
      "Kivra_Pak\\Test\\gone.map"}},
};

class MakePatchExclude : public ::testing::TestWithParam<Exclusion> {};

TEST_P(MakePatchExclude, LeavesOutWhatThePatternsMatch)
{
    const Exclusion& row = GetParam();
    testutil::TempDir scratch;
    Tree oldPack = {{"Kivra_Pak\\Version.txt", B("1.0.2.29")}, {"Kivra_Pak\\Map\\keep.map", B("k")}};
    Tree newPack = {{"Kivra_Pak\\Version.txt", B("1.0.2.30")}, {"Kivra_Pak\\Map\\keep.map", B("k")}};
    const auto put = [&](const fs::path& game, Tree& pack, const std::string& path) {
        if (path.rfind("Kivra_Pak\\", 0) == 0) {
            pack[path] = B(path);
            return;
        }
        std::string name = path;
        std::replace(name.begin(), name.end(), '\\', '/');
        Put(game / name, B(path));
    };
    for (const char* path : kAdded) put(scratch / "new", newPack, path);
    for (const char* path : kRemoved) put(scratch / "old", oldPack, path);
    for (const auto& [game, pack] :
         {std::pair{fs::path(scratch / "old"), &oldPack}, std::pair{fs::path(scratch / "new"), &newPack}}) {
        fs::create_directories(game / "Dev");
        MakePack(game / "Dev/Kivra.pak", *pack);
    }
    std::vector<std::string> arguments;
    for (const std::string& pattern : row.patterns) arguments.insert(arguments.end(), {"--exclude", pattern});
    arguments.insert(arguments.end(), {scratch / "old", scratch / "new", scratch / "out"});
    const ToolRun run = RunMakePatch(scratch.path(), arguments);
    ASSERT_EQ(run.status, 0) << run.err;

    // In the pack's code page: a disk name's Hangul too.
    const auto packName = [](std::string path) {
        for (const auto& [utf8, cp949] : {std::pair{"한글", "\xC7\xD1\xB1\xDB"}, std::pair{"갂", "\x81\x41"}})
            if (const std::size_t at = path.find(utf8); at != std::string::npos)
                path.replace(at, std::strlen(utf8), cp949);
        return path;
    };
    std::set<std::string> wanted = {"NeedVersion.txt", "Kivra_Pak\\Version.txt"};
    for (const char* path : kAdded)
        if (!row.excluded.count(path)) wanted.insert(packName(path));
    std::set<std::string> carried;
    for (const auto& [path, content] : Unpacked(ReadFile(scratch / "out/update.lzh"))) carried.insert(path);
    EXPECT_EQ(carried, wanted);
    for (const std::string& path : std::vector<std::string>(std::begin(kRemoved), std::end(kRemoved))) {
        const std::string name = path.substr(path.rfind('\\') + 1);
        EXPECT_EQ(run.err.find(name) != std::string::npos, !row.excluded.count(path)) << path << ": " << run.err;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, MakePatchExclude, ::testing::ValuesIn(kExclusions),
                         [](const ::testing::TestParamInfo<Exclusion>& info) { return std::string(info.param.name); });

// Links in OLD and NEW are followed, to files and to folders, as cp -L
// follows them: the patch carries what they lead to. One that leads nowhere
// or into a folder it lies in is passed over with a line.
TEST(MakePatchLinks, LinksAreFollowedAndThoseThatLeadNowhereAreNamed)
{
    testutil::TempDir scratch;
    const fs::path old = scratch / "old";
    const fs::path now = scratch / "new";
    LaySmallPair(old, now, "launcher");
    Put(scratch / "elsewhere/Maps/far.map", B("far"));
    Put(scratch / "elsewhere/tool.dll", B("tool"));
    const struct {
        const char* link;  // below NEW
        fs::path target;
        std::vector<std::string> carried;  // below Update.pak, beside NeedVersion.txt and Version.txt
        std::string said;                  // on stderr
    } cases[] = {
        {"Bin/tool.dll", scratch / "elsewhere/tool.dll", {"Bin\\tool.dll"}, ""},
        {"Data", scratch / "elsewhere/Maps", {"Data\\far.map"}, ""},
        {"Bin/gone.dll", scratch / "nowhere", {}, "Bin/gone.dll: a symbolic link that leads nowhere; passed over"},
        {"Bin/loop", now / "Bin", {}, "Bin/loop: a link to a folder it lies in; passed over"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.link);
        fs::remove_all(scratch / "out");
        fs::remove_all(now / "Bin");
        fs::remove_all(now / "Data");
        fs::create_directories((now / c.link).parent_path());
        Put(now / "Bin/new.txt", B("new"));
        fs::create_symlink(c.target, now / c.link);
        const ToolRun run = RunMakePatch(scratch.path(), {old, now, scratch / "out"});
        ASSERT_EQ(run.status, 0) << run.err;
        std::set<std::string> carried;
        for (const auto& [path, content] : Unpacked(ReadFile(scratch / "out/update.lzh"))) carried.insert(path);
        std::set<std::string> wanted = {"NeedVersion.txt", "Kivra_Pak\\Version.txt", "Bin\\new.txt"};
        wanted.insert(c.carried.begin(), c.carried.end());
        EXPECT_EQ(carried, wanted);
        EXPECT_EQ(c.said.empty(), run.err.find("passed over") == std::string::npos) << run.err;
        EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
    }
}

// An OUTDIR in a folder that cannot be written: the refusal says what to do
// about it, not which work folder could not be made.
TEST(MakePatchOutDir, AFolderThatCannotBeWrittenIsNamedWithTheWayOut)
{
    testutil::TempDir scratch;
    const fs::path old = scratch / "old";
    const fs::path now = scratch / "new";
    LaySmallPair(old, now, "new launcher");
    const fs::path locked = scratch / "locked";
    fs::create_directories(locked);
    // Immutable, as chattr +i makes it: even root may not write it.
    const auto immutable = [&](bool on) {
        const int fd = open(locked.c_str(), O_RDONLY | O_DIRECTORY);
        int flags = 0;
        bool set = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        set = set && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        if (fd >= 0) close(fd);
        return set;
    };
    if (!immutable(true)) GTEST_SKIP() << "no folder can be made immutable here";
    const ToolRun run = RunMakePatch(scratch.path(), {old, now, locked / "patch"});
    immutable(false);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.substr(run.err.rfind('\n', run.err.size() - 2) + 1),
              "kivra-mkpatch: " + (locked / "patch").string() + ": the folder it is in, " + locked.string() +
                  ", cannot be written (Operation not permitted): the patch is made there first, then moved "
                  "into OUTDIR; choose an OUTDIR in a folder you may write\n");
    EXPECT_TRUE(fs::is_empty(locked));
}

}  // namespace
