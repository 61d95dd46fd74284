// pak run as a process: its verbs, output formats and exit codes, and what it
// leaves in the pack, read back from the stored bytes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <filesystem>
#include <map>
#include <random>
#include <unistd.h>

#include "support/OnTerminal.h"
#include "support/PackFixture.h"
#include "support/PackImage.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using testpack::Entry;
using testpack::Image;
using testpack::Node;
using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;

namespace {

struct Result {
    int status;
    std::string out;
    std::string err;
};

std::string Text(const std::vector<std::uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

// A disk tree: files by path ("a/b") with their bytes, and directories.
struct DiskTree {
    std::map<std::string, std::vector<std::uint8_t>> files;
    std::vector<std::string> dirs;
};

DiskTree ReadDiskTree(const std::string& root)
{
    DiskTree tree;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        const std::string path = fs::relative(item.path(), root).generic_string();
        if (item.is_directory())
            tree.dirs.push_back(path);
        else
            tree.files[path] = ReadFile(item.path().string());
    }
    std::sort(tree.dirs.begin(), tree.dirs.end());
    return tree;
}

void WriteDiskTree(const std::string& root, const DiskTree& tree)
{
    for (const std::string& dir : tree.dirs) fs::create_directories(root + "/" + dir);
    for (const auto& [path, bytes] : tree.files) WriteFile(root + "/" + path, bytes);
}

// Nested directories, a directory of more than 16 entries, and sizes at the
// block and copy-item boundaries, all from a fixed seed.
DiskTree RandomTree(std::uint32_t seed)
{
    std::mt19937 random(seed);
    DiskTree tree;
    tree.dirs = {"Alpha", "Alpha/beta", "Alpha/beta/Gamma", "Alpha/delta", "empty", "many"};
    const std::uint32_t sizes[] = {0, 1, 2047, 2048, 2049, 4096, 65535, 65536, 65537, 100000, 131072, 200003};
    const char* homes[] = {"", "Alpha/", "Alpha/beta/", "Alpha/beta/Gamma/", "Alpha/delta/"};
    int n = 0;
    for (const std::uint32_t size : sizes) {
        const std::string name =
            std::string(homes[random() % 5]) + (n % 2 ? "File" : "file") + std::to_string(n) + ".bin";
        tree.files[name] = Pattern(size, static_cast<unsigned>(++n));
    }
    for (int i = 0; i < 25; ++i) tree.files["many/m" + std::to_string(i)] = Pattern(random() % 9000, random());
    return tree;
}

// The blocks a freshly written tree takes: every directory's chain (root
// included, 16 entries a block with "." and "..") and every file's chain.
std::size_t BlocksOf(const DiskTree& tree)
{
    std::map<std::string, std::size_t> entries{{"", 1}};
    for (const std::string& dir : tree.dirs) entries[dir] = 2;
    auto parentOf = [](const std::string& path) {
        const std::size_t cut = path.rfind('/');
        return cut == std::string::npos ? std::string() : path.substr(0, cut);
    };
    std::size_t blocks = 0;
    for (const std::string& dir : tree.dirs) ++entries[parentOf(dir)];
    for (const auto& [path, bytes] : tree.files) {
        ++entries[parentOf(path)];
        blocks += (bytes.size() + 2047) / 2048;
    }
    for (const auto& [dir, count] : entries) blocks += (count + 15) / 16;
    return blocks;
}

std::string Listing(const std::vector<Node>& nodes)
{
    std::string text;
    for (const Node& node : nodes)
        text += std::string(node.entry.type == 1 ? "d" : "f") + "\t" + std::to_string(node.entry.size) + "\t" +
                std::to_string(node.entry.contiguous) + "\t" + node.path + "\n";
    return text;
}

class PakTool : public ::testing::Test {
protected:
    // Runs pak with arguments (shell words); before is put in front of the
    // command, for "cd DIR &&" or a timeout.
    Result Pak(const std::string& arguments, const std::string& before = "")
    {
        const std::string out = dir / "stdout";
        const std::string err = dir / "stderr";
        const std::string command = before + " " PAK_BINARY " " + arguments + " >" + out + " 2>" + err;
        const int raw = std::system(command.c_str());
        return Result{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, Text(ReadFile(out)), Text(ReadFile(err))};
    }

    Image Stored() const
    {
        Image image;
        image.bytes = ReadFile(pack);
        return image;
    }

    std::vector<Node> StoredTree() const
    {
        std::vector<Node> nodes;
        EXPECT_TRUE(testpack::ReadTree(Stored(), nodes));
        return nodes;
    }

    TempDir dir;
    std::string pack = dir / "test.pak";
};

// A command line pak cannot take is named in one line, with where to read
// more, as GNU tools do; nothing runs.
TEST_F(PakTool, UsageErrorsExitTwoNamingWhatIsWrong)
{
    const std::string fsck = " (pak fsck [--repair] PACK)";
    const std::string import = " (pak import [-L] PACK DIR [PACKDIR])";
    const struct {
        const char* arguments;
        std::string line;
    } cases[] = {
        {"", "missing command"},
        {"frobnicate p", "unknown command 'frobnicate'"},
        {"-x p", "unknown option '-x'"},
        {"ls", "ls: missing operand (pak ls PACK [DIR])"},
        {"ls p a b", "ls: extra operand 'b' (pak ls PACK [DIR])"},
        {"put p", "put: missing operand (pak put PACK FILE [PATH])"},
        {"get p a b c", "get: extra operand 'c' (pak get PACK PATH [FILE])"},
        {"mkdir p", "mkdir: missing operand (pak mkdir PACK PATH)"},
        {"create", "create: missing operand (pak create PACK)"},
        {"fsck", "fsck: missing operand" + fsck},
        {"fsck --repair", "fsck: missing operand" + fsck},
        {"fsck --force p", "fsck: unknown option '--force'"},
        {"fsck p q --repair", "fsck: extra operand 'q'" + fsck},
        {"import p", "import: missing operand" + import},
        {"import -L p", "import: missing operand" + import},
        {"import p d e f", "import: extra operand 'f'" + import},
        {"--help ls", "'--help' takes nothing beside it"},
    };
    for (const auto& c : cases) {
        const Result run = Pak(c.arguments);
        EXPECT_EQ(run.status, 2) << c.arguments;
        EXPECT_EQ(run.out, "") << c.arguments;
        EXPECT_EQ(run.err, "pak: " + c.line + "\nTry 'pak --help'.\n") << c.arguments;
    }
}

TEST_F(PakTool, PacksThatCannotBeOpenedAreNamedOnStderrOnly)
{
    WriteFile(dir / "short", std::string("not a pack"));
    WriteFile(dir / "zeros", std::vector<std::uint8_t>(600, 0));
    fs::create_directory(dir / "folder");
    const struct {
        std::string name;
        const char* reason;
    } cases[] = {{"missing", "no such file"},
                 {"short", "not a pack file"},
                 {"zeros", "not a pack file"},
                 {"folder", "not a pack file"}};
    for (const auto& c : cases) {
        for (const char* verb : {"ls", "cat", "fsck", "rm", "info"}) {
            const Result run =
                Pak(std::string(verb) + " " + dir / c.name + (verb[0] == 'c' || verb[0] == 'r' ? " x" : ""));
            EXPECT_EQ(run.status, 1) << verb << " " << c.name;
            EXPECT_EQ(run.out, "") << verb << " " << c.name;
            EXPECT_EQ(run.err, "pak: " + dir / c.name + ": " + c.reason + "\n") << verb;
        }
    }
}

TEST_F(PakTool, LsAndTreeListAnIndependentlyBuiltPackInSlotOrder)
{
    Image image;
    image.AddFile(0, 1, "Zeta.txt", Pattern(5));
    const std::size_t sub = image.AddDirectory(0, 3, "sub");
    image.AddFile(0, 4, "empty", {});
    image.PutEntry(0, 2, Entry{0, "deleted", 0, 0, 0, 0, 0, 7, 2, 1});
    // A file of two blocks in reverse order, so not contiguous.
    const std::vector<std::uint8_t> data = Pattern(3000, 9);
    const std::size_t first = image.AddFile(sub, 2, "a.bin", data);
    image.SetLink(first + 1, static_cast<std::int32_t>(first));
    image.SetLink(first, 0);
    std::copy(data.begin(), data.begin() + 2048, image.bytes.begin() + static_cast<long>(image.At(first + 1)));
    std::copy(data.begin() + 2048, data.end(), image.bytes.begin() + static_cast<long>(image.At(first)));
    image.PutEntry(sub, 2, Entry{1, "a.bin", 0, 0, 0, 0, static_cast<std::int32_t>(first + 1), 3000, 2, 0});
    const std::size_t deeper = image.AddDirectory(sub, 3, "Deeper");
    image.AddFile(deeper, 2, "x", Pattern(1));
    WriteFile(pack, image.bytes);

    EXPECT_EQ(Pak("ls " + pack).out, "f\t5\t1\tZeta.txt\nd\t0\t0\tsub\nf\t0\t1\tempty\n");
    EXPECT_EQ(Pak("tree " + pack).out,
              "f\t5\t1\tZeta.txt\nd\t0\t0\tsub\nf\t3000\t0\tsub\\a.bin\nd\t0\t0\tsub\\Deeper\nf\t1\t1\tsub\\Deeper\\x\n"
              "f\t0\t1\tempty\n");
    EXPECT_EQ(Pak("ls " + pack + " SUB/deeper").out, "f\t1\t1\tx\n");
    EXPECT_EQ(Pak("tree " + pack + " '\\sub\\'").out, "f\t3000\t0\ta.bin\nd\t0\t0\tDeeper\nf\t1\t1\tDeeper\\x\n");
    EXPECT_EQ(Pak("cat " + pack + " sub/A.BIN").out, Text(data));

    const Result file = Pak("ls " + pack + " Zeta.txt");
    EXPECT_EQ(file.status, 1);
    EXPECT_EQ(file.err, "pak: Z:\\Zeta.txt: no such directory\n");
}

TEST_F(PakTool, PutGetCatRmAndMkdirChangeExactlyWhatTheyName)
{
    ASSERT_EQ(Pak("create " + pack).status, 0);
    const std::vector<std::uint8_t> small = Pattern(100, 1), big = Pattern(70000, 2);
    WriteFile(dir / "small.txt", small);
    WriteFile(dir / "big.bin", big);

    EXPECT_EQ(Pak("put " + pack + " " + dir / "small.txt").status, 0);             // root, own name
    EXPECT_EQ(Pak("put " + pack + " " + dir / "small.txt" + " docs/").status, 0);  // made, own name
    EXPECT_EQ(Pak("put " + pack + " " + dir / "big.bin" + " DOCS").status, 0);     // existing directory
    EXPECT_EQ(Pak("put " + pack + " " + dir / "big.bin" + " 'a\\b/c.bin'").status, 0);
    EXPECT_EQ(Pak("put " + pack + " " + dir / "small.txt" + " a/b/C.BIN").status, 0);  // replaces c.bin
    EXPECT_EQ(Pak("mkdir " + pack + " x/y").status, 0);
    EXPECT_EQ(Pak("mkdir " + pack + " X/y").status, 0);

    std::vector<Node> nodes = StoredTree();
    EXPECT_EQ(Listing(nodes),
              "f\t100\t1\tsmall.txt\nd\t0\t0\tdocs\nf\t100\t1\tdocs\\small.txt\nf\t70000\t1\tdocs\\big.bin\n"
              "d\t0\t0\ta\nd\t0\t0\ta\\b\nf\t100\t1\ta\\b\\C.BIN\nd\t0\t0\tx\nd\t0\t0\tx\\y\n");
    EXPECT_EQ(nodes[3].data, big);
    EXPECT_EQ(nodes[6].data, small);

    EXPECT_EQ(Pak("get " + pack + " docs/BIG.bin " + dir / "out.bin").status, 0);
    EXPECT_EQ(ReadFile(dir / "out.bin"), big);
    EXPECT_EQ(Pak("get " + pack + " 'docs\\big.bin'", "cd " + dir.path() + " &&").status, 0);
    EXPECT_EQ(ReadFile(dir / "big.bin"), big);
    EXPECT_EQ(Pak("cat " + pack + " a/b/c.bin").out, Text(small));

    // rm frees the file's blocks in the stored table and nothing else.
    const Image before = Stored();
    const std::int32_t first = nodes[3].entry.first;
    ASSERT_EQ(Pak("rm " + pack + " docs/big.bin").status, 0);
    Image expected = before;
    std::vector<std::size_t> chain;
    ASSERT_TRUE(testpack::ChainOf(before, first, chain));
    EXPECT_EQ(chain.size(), 35u);
    for (const std::size_t b : chain) expected.SetLink(b, -1);
    expected.bytes[expected.At(static_cast<std::size_t>(nodes[1].entry.first), 3)] =
        0;  // docs: ".", "..", small.txt, big.bin
    EXPECT_EQ(ReadFile(pack), expected.bytes);
    EXPECT_EQ(Pak("ls " + pack + " docs").out, "f\t100\t1\tsmall.txt\n");

    // Three names of 94 characters make a path the engine cannot take whole.
    const std::string name94(94, 'n');
    const std::string deep = name94 + "/" + name94 + "/" + name94;
    const std::string deepText = name94 + "\\" + name94 + "\\" + name94;
    const struct {
        std::string arguments;
        std::string err;
    } failures[] = {
        {"rm " + pack + " x", "pak: Z:\\x: is a directory\n"},
        {"rm " + pack + " nothing", "pak: Z:\\nothing: no such file\n"},
        {"get " + pack + " a/b", "pak: Z:\\a\\b: is a directory\n"},
        {"cat " + pack + " docs/big.bin", "pak: Z:\\docs\\big.bin: no such file\n"},
        {"put " + pack + " " + dir / "small.txt" + " " + std::string(95, 'n'),
         "pak: " + std::string(95, 'n') + ": name longer than 94 characters\n"},
        {"put " + pack + " " + dir / "nothing", "pak: " + dir / "nothing" + ": no such file\n"},
        {"put " + pack + " " + dir / "small.txt" + " small.txt/x", "pak: Z:\\small.txt: is a file, not a directory\n"},
        {"mkdir " + pack + " a/b/c.bin", "pak: Z:\\a\\b\\c.bin: is a file, not a directory\n"},
        {"mkdir " + pack + " .x", "pak: Z:\\.x: a pack directory name cannot begin with a dot\n"},
        {"put " + pack + " " + dir / "small.txt" + " a/.b/",
         "pak: Z:\\a\\.b: a pack directory name cannot begin with a dot\n"},
        {"mkdir " + pack + " " + deep, "pak: Z:\\" + deepText + ": path longer than 259 bytes\n"},
        {"put " + pack + " " + dir / "small.txt" + " " + deep + "/f",
         "pak: Z:\\" + deepText + "\\f: path longer than 259 bytes\n"},
    };
    const std::vector<std::uint8_t> settled = ReadFile(pack);
    for (const auto& f : failures) {
        const Result run = Pak(f.arguments);
        EXPECT_EQ(run.status, 1) << f.arguments;
        EXPECT_EQ(run.err, f.err) << f.arguments;
    }
    EXPECT_EQ(ReadFile(pack), settled);
}

TEST_F(PakTool, ARandomTreeImportsChecksCleanExportsIdenticalAndReadsBackIndependently)
{
    const DiskTree tree = RandomTree(20240601);
    WriteDiskTree(dir / "in", tree);
    ASSERT_EQ(Pak("create " + pack).status, 0);
    const Result import = Pak("import " + pack + " " + dir / "in");
    ASSERT_EQ(import.status, 0) << import.err;
    EXPECT_EQ(import.err, "");  // no progress line off a terminal

    const Result check = Pak("fsck " + pack);
    EXPECT_EQ(check.status, 0);
    EXPECT_EQ(check.out, "problems: 0\nlost: 0\n");

    const Result exported = Pak("export " + pack + " " + dir / "out");
    ASSERT_EQ(exported.status, 0) << exported.err;
    EXPECT_EQ(exported.err, "");
    const DiskTree back = ReadDiskTree(dir / "out");
    EXPECT_EQ(back.dirs, tree.dirs);
    EXPECT_TRUE(back.files == tree.files);

    // The stored bytes, read without the engine, hold the same tree, and no
    // block beyond what it needs.
    const std::vector<Node> nodes = StoredTree();
    DiskTree stored;
    for (const Node& node : nodes) {
        std::string path = node.path;
        std::replace(path.begin(), path.end(), '\\', '/');
        if (node.entry.type == 1)
            stored.dirs.push_back(path);
        else
            stored.files[path] = node.data;
    }
    std::sort(stored.dirs.begin(), stored.dirs.end());
    EXPECT_EQ(stored.dirs, tree.dirs);
    EXPECT_TRUE(stored.files == tree.files);
    EXPECT_EQ(Stored().Used(), BlocksOf(tree));
    EXPECT_EQ(Pak("tree " + pack).out, Listing(nodes));

    // Importing a changed tree again replaces the files in place and frees
    // their old blocks.
    DiskTree changed = tree;
    for (auto& [path, bytes] : changed.files)
        bytes = Pattern(bytes.size() % 3 ? bytes.size() / 2 : bytes.size() + 5000, 77);
    changed.files["Alpha/new.bin"] = Pattern(12345, 5);
    WriteDiskTree(dir / "in", changed);
    ASSERT_EQ(Pak("import " + pack + " " + dir / "in").status, 0);
    EXPECT_EQ(Pak("fsck " + pack).out, "problems: 0\nlost: 0\n");
    ASSERT_EQ(Pak("export " + pack + " " + dir / "again").status, 0);
    EXPECT_TRUE(ReadDiskTree(dir / "again").files == changed.files);
    EXPECT_EQ(Stored().Used(), BlocksOf(changed));

    // A tree imported below a pack directory exports from there alone.
    ASSERT_EQ(Pak("import " + pack + " " + dir / "in/Alpha" + " copies/alpha").status, 0);
    ASSERT_EQ(Pak("export " + pack + " " + dir / "part" + " COPIES").status, 0);
    EXPECT_TRUE(ReadDiskTree(dir / "part/alpha").files == ReadDiskTree(dir / "in/Alpha").files);
    EXPECT_EQ(ReadDiskTree(dir / "part").dirs,
              (std::vector<std::string>{"alpha", "alpha/beta", "alpha/beta/Gamma", "alpha/delta"}));
}

// A table with loops and a cross-link, and a directory that holds itself.
Image DamagedImage()
{
    Image image;
    const std::size_t loop = image.AddDirectory(0, 1, "loopdir");
    const std::size_t next = image.AddBlock();
    image.SetLink(loop, static_cast<std::int32_t>(next));
    image.SetLink(next, static_cast<std::int32_t>(loop));
    image.PutEntry(next, 0, Entry{1, "inner", 0, 0, 0, 0, 0, 0, 2, 0});
    const std::size_t a = image.AddFile(0, 2, "loopfile", Pattern(3 * 2048));
    image.SetLink(a + 2, static_cast<std::int32_t>(a));
    const std::size_t one = image.AddFile(0, 3, "one", Pattern(4000));
    image.AddFile(0, 4, "two", Pattern(4000));
    image.SetLink(one + 2, static_cast<std::int32_t>(one + 1));  // two's first block runs into one's second
    const std::size_t self = image.AddDirectory(0, 5, "self");
    image.PutEntry(self, 2, Entry{1, "again", 0, 0, 0, 0, static_cast<std::int32_t>(self), 0, 1, 0});
    return image;
}

TEST_F(PakTool, LoopsAndCrossLinksAreReportedAndEveryWalkEnds)
{
    WriteFile(pack, DamagedImage().bytes);
    const Result check = Pak("fsck " + pack, "timeout 20");
    EXPECT_EQ(check.status, 1);
    for (const char* line : {"Z:\\loopdir: chain loops: block 2 links back to block 1\n",
                             "Z:\\loopfile: chain loops: block 5 links back to block 3\n",
                             "Z:\\two: cross-linked with Z:\\one at block 7\n",
                             "Z:\\self\\again: directory contains itself: it is Z:\\self\n"})
        EXPECT_NE(check.out.find(line), std::string::npos) << line << check.out;
    EXPECT_NE(check.out.find("\nproblems: "), std::string::npos);
    EXPECT_NE(check.err.find("problems"), std::string::npos);

    const struct {
        std::string arguments;
        int status;
    } walks[] = {{"ls " + pack, 0},
                 {"ls " + pack + " loopdir", 1},
                 {"ls " + pack + " self/again/again", 0},
                 {"tree " + pack, 1},
                 {"export " + pack + " " + dir / "out", 1},
                 {"cat " + pack + " loopfile", 0}};
    for (const auto& walk : walks) {
        const Result run = Pak(walk.arguments, "timeout 20");
        EXPECT_EQ(run.status, walk.status) << walk.arguments << run.err;  // 124 had it not ended
    }
    EXPECT_EQ(ReadFile(dir / "out/one"), Pattern(4000));
}

TEST_F(PakTool, RepairFreesLostBlocksAndNothingElse)
{
    Image image;
    image.AddFile(0, 1, "kept", Pattern(5000));
    const std::size_t lost = image.AddBlock();  // a lost chain of two
    image.SetLink(lost, static_cast<std::int32_t>(lost + 1));
    image.AddBlock();
    image.SetLink(lost + 1, 0);
    const std::size_t stray = image.AddBlock();  // stored before the block it names, as a stopped writer leaves it
    image.SetLink(stray, static_cast<std::int32_t>(stray + 1));
    image.AddBlock();
    WriteFile(pack, image.bytes);

    Result check = Pak("fsck " + pack);
    EXPECT_EQ(check.status, 1);
    EXPECT_EQ(check.out, "blocks 4-6: in use, held by no chain\nproblems: 0\nlost: 3\n");
    EXPECT_EQ(ReadFile(pack), image.bytes);  // a check alone writes nothing

    // With another problem present, only the lost blocks are freed.
    image.AddFile(0, 2, "other", Pattern(10));
    image.PutEntry(0, 3, Entry{1, "shares", 0, 0, 0, 0, 2, 10, 2, 1});
    WriteFile(pack, image.bytes);
    check = Pak("fsck --repair " + pack);
    EXPECT_EQ(check.status, 1);
    EXPECT_EQ(check.out,
              "Z:\\shares: cross-linked with Z:\\kept at block 2\nblocks 4-6: in use, held by no chain\n"
              "problems: 1\nlost: 3\nfreed: 3\n");
    Image expected = image;
    for (const std::size_t b : {lost, lost + 1, stray}) expected.SetLink(b, -1);
    EXPECT_EQ(ReadFile(pack), expected.bytes);

    image.PutEntry(0, 3, Entry{0, "shares", 0, 0, 0, 0, 2, 10, 2, 1});
    WriteFile(pack, image.bytes);
    EXPECT_EQ(Pak("fsck --repair " + pack).status, 0);
    check = Pak("fsck " + pack);
    EXPECT_EQ(check.status, 0);
    EXPECT_EQ(check.out, "problems: 0\nlost: 0\n");
}

// A table stored without the growth its blocks needed (what a power loss left
// of an earlier writer) calls blocks past the data area in use, and a chain
// may lead there: appending one would give it to two chains. Every verb that
// writes refuses the pack until fsck --repair frees them and cuts the chain,
// which a check then still names by its file.
TEST_F(PakTool, ATableNamingBlocksPastItsEndIsRefusedForWritingUntilRepaired)
{
    Image image;
    image.AddFile(0, 1, "kept", Pattern(3000));
    const std::size_t cut = image.AddFile(0, 2, "cut", Pattern(2048));
    const std::size_t end = image.Blocks();
    image.SetLink(cut, static_cast<std::int32_t>(end));  // the file's second block never reached the file
    image.PutEntry(0, 2, Entry{1, "cut", 0, 0, 0, 0, static_cast<std::int32_t>(cut), 4096, 2, 1});
    image.SetLink(end, 0);
    image.SetLink(end + 7, 0);
    WriteFile(pack, image.bytes);
    WriteFile(dir / "f", Pattern(100, 2));
    for (const std::string& verb : {"put " + pack + " " + dir / "f", "mkdir " + pack + " d", "rm " + pack + " kept"}) {
        const Result refused = Pak(verb);
        EXPECT_EQ(refused.status, 1) << verb;
        EXPECT_NE(refused.err.find("names blocks past its end (see pak fsck --repair)"), std::string::npos) << verb;
    }
    EXPECT_EQ(ReadFile(pack), image.bytes);

    const Result repaired = Pak("fsck --repair " + pack);
    EXPECT_EQ(repaired.status, 1);  // the cut file is shorter than its size
    EXPECT_NE(repaired.out.find("past the data area, are not free"), std::string::npos) << repaired.out;
    EXPECT_NE(repaired.out.find("repaired: 3 table entries past the data area or leading out of it"), std::string::npos)
        << repaired.out;
    EXPECT_EQ(Pak("rm " + pack + " cut").status, 0);
    EXPECT_EQ(Pak("put " + pack + " " + dir / "f").status, 0);
    const Result check = Pak("fsck " + pack);
    EXPECT_EQ(check.out, "problems: 0\nlost: 0\n");
    EXPECT_EQ(Pak("cat " + pack + " kept").out, Text(Pattern(3000)));
}

TEST_F(PakTool, ThePackItselfIsNeverATargetNorCreatedOver)
{
    ASSERT_EQ(Pak("create " + pack).status, 0);
    WriteFile(dir / "f", std::string("content"));
    ASSERT_EQ(Pak("put " + pack + " " + dir / "f" + " test.pak").status, 0);
    const std::vector<std::uint8_t> stored = ReadFile(pack);
    fs::create_symlink(pack, dir / "link.pak");
    fs::create_hard_link(pack, dir / "hard.pak");
    const struct {
        std::string arguments;
        std::string err;
    } refusals[] = {
        {"create " + dir / "TEST.PAK", "pak: " + dir / "TEST.PAK" + ": exists already\n"},
        {"create " + dir / "link.pak", "pak: " + dir / "link.pak" + ": exists already\n"},
        {"get " + pack + " test.pak " + pack, "pak: " + pack + ": is the pack being read\n"},
        {"get " + pack + " test.pak " + dir / "link.pak", "pak: " + dir / "link.pak" + ": is the pack being read\n"},
        {"get " + dir / "hard.pak" + " test.pak " + dir.path(), "pak: " + pack + ": is the pack being read\n"},
        {"export " + pack + " " + dir.path(), "pak: " + pack + ": is the pack being read\n"},
        {"put " + pack + " " + dir / "link.pak", "pak: " + dir / "link.pak" + ": is the pack itself\n"},
    };
    for (const auto& r : refusals) {
        const Result run = Pak(r.arguments);
        EXPECT_EQ(run.status, 1) << r.arguments;
        EXPECT_EQ(run.err, r.err) << r.arguments;
        EXPECT_EQ(ReadFile(pack), stored) << r.arguments;
    }
}

// A data area of 128,000 blocks but freeBlocks, all held by one file: the
// next blocks a writer needs are past what the table can describe.
void WriteNearlyFullPack(const std::string& path, std::size_t freeBlocks)
{
    Image image;
    image.AddFile(0, 1, "kept", Pattern(3000, 5));
    const std::size_t first = image.Blocks();
    const std::size_t filler = testpack::kEntries - first - freeBlocks;
    for (std::size_t i = 0; i < filler; ++i)
        image.SetLink(first + i, i + 1 < filler ? static_cast<std::int32_t>(first + i + 1) : 0);
    image.PutEntry(0, 2,
                   Entry{1, "filler", 0, 0, 0, 0, static_cast<std::int32_t>(first),
                         static_cast<std::uint32_t>(filler * testpack::kBlock), 2, 1});
    WriteFile(path, image.bytes);
    fs::resize_file(path, testpack::kDataAt + testpack::kBlock * (first + filler));
}

TEST_F(PakTool, AFullTableEndsTheVerbAndLeavesNoHalfWrittenFile)
{
    WriteNearlyFullPack(pack, 0);
    WriteFile(dir / "big", Pattern(20000, 3));
    const std::string listing =
        "f\t3000\t1\tkept\nf\t" + std::to_string((testpack::kEntries - 3) * testpack::kBlock) + "\t1\tfiller\n";
    // A new file, and a replacement of one that is there.
    for (const std::string target : {"new", "KEPT"}) {
        const Result run = Pak("put " + pack + " " + dir / "big" + " " + target);
        EXPECT_EQ(run.status, 1) << target;
        EXPECT_EQ(run.out, "") << target;
        EXPECT_EQ(run.err, "pak: " + pack + ": pack is full\n") << target;
        EXPECT_EQ(Pak("fsck " + pack).out, "problems: 0\nlost: 0\n") << target;
        EXPECT_EQ(Pak("ls " + pack).out, listing) << target;
        EXPECT_EQ(Pak("cat " + pack + " kept").out, Text(Pattern(3000, 5))) << target;
    }
}

TEST_F(PakTool, FsckReportsAndRepairsARootTableEntryCalledFree)
{
    Image image;
    image.AddFile(0, 1, "kept", Pattern(100));
    image.SetLink(0, -1);
    WriteFile(pack, image.bytes);
    const std::string report = "table: entry 0 is free, but block 0 holds the root\nproblems: 1\nlost: 0\n";
    Result check = Pak("fsck " + pack);
    EXPECT_EQ(check.status, 1);
    EXPECT_EQ(check.out, report);
    // A writer never takes block 0, whatever the table says.
    WriteFile(dir / "f", Pattern(5000, 2));
    EXPECT_EQ(Pak("put " + pack + " " + dir / "f" + " d/f").status, 0);
    EXPECT_EQ(Pak("cat " + pack + " kept").out, Text(Pattern(100)));
    EXPECT_EQ(Pak("fsck " + pack).out, report);
    check = Pak("fsck --repair " + pack);
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_EQ(check.out, report + "repaired: table entry 0 (in use, last block)\nfreed: 0\n");
    EXPECT_EQ(Pak("fsck " + pack).out, "problems: 0\nlost: 0\n");
    EXPECT_EQ(Pak("cat " + pack + " d/f").out, Text(Pattern(5000, 2)));
}

TEST_F(PakTool, NamesThatCannotCrossBetweenPackAndDiskAreRefusedBeforeAnyWrite)
{
    ASSERT_EQ(Pak("create " + pack).status, 0);
    const std::vector<std::uint8_t> fresh = ReadFile(pack);
    fs::create_directories(dir / "in/ok");
    WriteFile(dir / "in/ok/file", std::string("x"));
    WriteFile(dir / "in/ok/" + std::string(95, 'n'), std::string("y"));
    Result run = Pak("import " + pack + " " + dir / "in");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "pak: " + dir / "in/ok/" + std::string(95, 'n') + ": name longer than 94 characters\n");
    EXPECT_EQ(ReadFile(pack), fresh);

    fs::remove(dir / "in/ok/" + std::string(95, 'n'));
    WriteFile(dir / "in/ok/FILE", std::string("z"));
    run = Pak("import " + pack + " " + dir / "in");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(": another name differs only in letter case\n"), std::string::npos) << run.err;
    EXPECT_EQ(ReadFile(pack), fresh);

    fs::remove(dir / "in/ok/FILE");
    fs::create_directories(dir / "in/.hidden");
    run = Pak("import " + pack + " " + dir / "in");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "pak: " + dir / "in/.hidden" + ": a pack directory name cannot begin with a dot\n");
    EXPECT_EQ(ReadFile(pack), fresh);

    // A stored name that would climb out of the target is never written.
    Image image;
    image.AddFile(0, 1, "fine", Pattern(10));
    image.AddFile(0, 2, "..\\escaped", Pattern(10));
    WriteFile(pack, image.bytes);
    run = Pak("export " + pack + " " + dir / "out/inner");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "pak: Z:\\..\\escaped: name holds a slash, backslash or colon\n");
    EXPECT_FALSE(fs::exists(dir / "out"));
}

// Names in the pack are code page 949; on disk and on the command line UTF-8.
const std::string kHangulCp949 = "\xC7\xD1\xB1\xDB";  // 한글
const std::string kHangulUtf8 = "\xED\x95\x9C\xEA\xB8\x80";
const std::string kPatchCp949 = "\xC6\xD0\xC4\xA1.txt";  // 패치.txt
const std::string kPatchUtf8 = "\xED\x8C\xA8\xEC\xB9\x98.txt";

// Runs pak with a pseudo-terminal for its standard output; what it showed,
// line ends as written.
std::string PakOnTerminal(std::vector<std::string> arguments)
{
    testutil::TerminalRun run;
    run.program = PAK_BINARY;
    run.arguments = std::move(arguments);
    run.seconds = 10;
    std::string shown = testutil::RunOnTerminal(run).shown;
    shown.erase(std::remove(shown.begin(), shown.end(), '\r'), shown.end());
    return shown;
}

TEST_F(PakTool, HangulNamesAreCodePage949InThePackAndUtf8OnDisk)
{
    DiskTree tree;
    tree.dirs = {kHangulUtf8, kHangulUtf8 + "/Sub"};
    tree.files[kHangulUtf8 + "/" + kPatchUtf8] = Pattern(3000, 1);
    tree.files[kHangulUtf8 + "/Sub/plain.txt"] = Pattern(10, 2);
    tree.files["A" + kHangulUtf8 + ".dat"] = Pattern(70000, 3);
    WriteDiskTree(dir / "in", tree);
    ASSERT_EQ(Pak("create " + pack).status, 0);
    const Result import = Pak("import " + pack + " " + dir / "in");
    ASSERT_EQ(import.status, 0) << import.err;

    // Read back without the engine: the stored names are code page 949.
    std::map<std::string, std::vector<std::uint8_t>> stored;
    for (const Node& node : StoredTree())
        if (node.entry.type == 2) stored[node.path] = node.data;
    const std::map<std::string, std::vector<std::uint8_t>> expected = {
        {"A" + kHangulCp949 + ".dat", Pattern(70000, 3)},
        {kHangulCp949 + "\\" + kPatchCp949, Pattern(3000, 1)},
        {kHangulCp949 + "\\Sub\\plain.txt", Pattern(10, 2)}};
    EXPECT_TRUE(stored == expected);

    const Result exported = Pak("export " + pack + " " + dir / "out");
    ASSERT_EQ(exported.status, 0) << exported.err;
    const DiskTree back = ReadDiskTree(dir / "out");
    EXPECT_EQ(back.dirs, tree.dirs);
    EXPECT_TRUE(back.files == tree.files);

    // Paths typed on the command line are UTF-8 too, and so are get's and
    // put's own names.
    EXPECT_EQ(Pak("cat " + pack + " " + kHangulUtf8 + "/" + kPatchUtf8).out, Text(Pattern(3000, 1)));
    ASSERT_EQ(Pak("get " + pack + " " + kHangulUtf8 + "/" + kPatchUtf8, "cd " + dir.path() + " &&").status, 0);
    EXPECT_EQ(ReadFile(dir / kPatchUtf8), Pattern(3000, 1));
    ASSERT_EQ(Pak("put " + pack + " " + dir / kPatchUtf8 + " new/").status, 0);
    EXPECT_EQ(Pak("ls " + pack + " NEW").out, "f\t3000\t1\t" + kPatchCp949 + "\n");
    const Result missing = Pak("rm " + pack + " " + kHangulUtf8 + "/gone");
    EXPECT_EQ(missing.err, "pak: Z:\\" + kHangulUtf8 + "\\gone: no such file\n");
}

TEST_F(PakTool, NamesWithoutACodePage949FormAreRefusedBeforeThePackChanges)
{
    ASSERT_EQ(Pak("create " + pack).status, 0);
    const std::vector<std::uint8_t> fresh = ReadFile(pack);
    // An accented Latin letter and an emoji: code page 949 has neither.
    const std::string cafe = "caf\xC3\xA9.txt";
    const std::string emoji = "\xF0\x9F\x98\x80";
    const struct {
        std::string name;  // made below in/ok
        bool directory;
    } cases[] = {{cafe, false}, {emoji, true}, {kHangulUtf8 + emoji + ".txt", false}};
    for (const auto& c : cases) {
        fs::remove_all(dir / "in");
        fs::create_directories(dir / "in/ok");
        WriteFile(dir / "in/ok/first.txt", std::string("1"));
        if (c.directory)
            fs::create_directories(dir / "in/ok/" + c.name);
        else
            WriteFile(dir / "in/ok/" + c.name, std::string("2"));
        const Result run = Pak("import " + pack + " " + dir / "in");
        EXPECT_EQ(run.status, 1) << c.name;
        EXPECT_EQ(run.err, "pak: " + dir / "in/ok/" + c.name + ": name has a character that code page 949 lacks\n");
        EXPECT_EQ(ReadFile(pack), fresh) << c.name;
    }

    WriteFile(dir / cafe, std::string("x"));
    Result run = Pak("put " + pack + " " + dir / cafe);
    EXPECT_EQ(run.err, "pak: " + dir / cafe + ": name has a character that code page 949 lacks\n");
    run = Pak("put " + pack + " " + dir / "in/ok/first.txt " + emoji + "/x");
    EXPECT_EQ(run.err, "pak: " + emoji + "/x: name has a character that code page 949 lacks\n");
    run = Pak("mkdir " + pack + " " + cafe);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(ReadFile(pack), fresh);
}

TEST_F(PakTool, PackNamesThatAreNotCodePage949AreNotExported)
{
    // The engine takes any bytes for a name; these are no code page 949 text.
    {
        CPackFileManager engine;
        ASSERT_EQ(engine.Open(pack.c_str(), "wb"), 1);
        engine.Close();
        ASSERT_EQ(engine.Open(pack.c_str(), "rb+"), 1);
        ASSERT_EQ(engine.MakeDir(("Z:\\" + kHangulCp949).c_str()), 0);
        for (const std::string& path : {std::string("Z:\\a.txt"),
                                        "Z:\\" + kHangulCp949 +
                                            "\\\x80"
                                            "bad",
                                        "Z:\\" + kHangulCp949 + "\\\xC9\xA1"}) {
            const int handle = engine.OpenFile(path.c_str(), 1, 1);
            ASSERT_GE(handle, 1) << path;
            engine.CloseFile(handle);
        }
        engine.Close();
    }
    const Result run = Pak("export " + pack + " " + dir / "out");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "pak: Z:\\" + kHangulUtf8 + "\\\\x80bad: name is not valid code page 949 text\n");
    EXPECT_FALSE(fs::exists(dir / "out"));
}

TEST_F(PakTool, ListingsShowUtf8OnATerminalAndTheStoredBytesOtherwise)
{
    Image image;
    const std::size_t sub = image.AddDirectory(0, 1, kHangulCp949);
    image.AddFile(sub, 2, kPatchCp949, Pattern(5));
    image.AddFile(0, 2,
                  "\x80\x01"
                  "x",
                  Pattern(1));
    WriteFile(pack, image.bytes);

    EXPECT_EQ(Pak("ls " + pack).out, "d\t0\t0\t" + kHangulCp949 + "\nf\t1\t1\t\x80\\x01x\n");
    EXPECT_EQ(PakOnTerminal({"ls", pack}), "d\t0\t0\t" + kHangulUtf8 + "\nf\t1\t1\t\\x80\\x01x\n");
    EXPECT_EQ(PakOnTerminal({"tree", pack, kHangulUtf8}), "f\t5\t1\t" + kPatchUtf8 + "\n");
    EXPECT_NE(Pak("tree " + pack).out.find("\t" + kHangulCp949 + "\\" + kPatchCp949 + "\n"), std::string::npos);
}

// The names in dir (not below) that a replacement's temporary would have.
std::vector<std::string> Temporaries(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(dir))
        if (item.path().filename().string().rfind("~kivra", 0) == 0) names.push_back(item.path().string());
    return names;
}

TEST_F(PakTool, AGetOrExportThatFailsLeavesTheFileOnDiskAsItWas)
{
    // In each directory a sound file, then one that cannot be read whole: its
    // entry claims more than its chain holds, its chain runs onto a free
    // block, or its size is past the data area.
    Image image;
    const struct {
        const char* name;
        std::int32_t size;  // stored in bad's entry; 0 keeps its own
        bool breakChain;
    } damages[] = {{"long", 6000, false}, {"broken", 0, true}, {"huge", 0x7fffffff, false}};
    for (std::size_t i = 0; i < std::size(damages); ++i) {
        const std::size_t sub = image.AddDirectory(0, i + 1, damages[i].name);
        image.AddFile(sub, 2, "fine", Pattern(3000, 4));
        const std::size_t bad = image.AddFile(sub, 3, "bad", Pattern(3000, 5));
        Entry entry = image.GetEntry(sub, 3);
        if (damages[i].size != 0) entry.size = static_cast<std::uint32_t>(damages[i].size);
        // Read along its links, not as consecutive blocks.
        entry.contiguous = 0;
        image.PutEntry(sub, 3, entry);
        if (damages[i].breakChain) image.SetLink(bad + 1, -1);
    }
    WriteFile(pack, image.bytes);

    const std::string out = dir / "out";
    struct Case {
        std::string arguments;
        std::string target;  // the user's file, there before
        std::string err;
    };
    std::vector<Case> cases;
    for (const auto& d : damages) {
        const std::string unreadable = ": cannot be read (see pak fsck)\n";
        const std::string source = "pak: Z:\\" + std::string(d.name) + "\\bad" + unreadable;
        cases.push_back({"get " + pack + " " + d.name + "/bad " + dir / "mine", dir / "mine", source});
        // Into the current directory, under the name as typed.
        cases.push_back({"get " + pack + " " + d.name + "/BAD", dir / "BAD",
                         "pak: Z:\\" + std::string(d.name) + "\\BAD" + unreadable});
        cases.push_back({"export " + pack + " " + out + " " + d.name, out + "/bad", source});
    }
    // Windows writes over no file that may not be written; root may write
    // any, so this one is seen only by other users.
    if (geteuid() != 0)
        cases.push_back({"get " + pack + " long/fine " + dir / "locked", dir / "locked",
                         "pak: " + dir / "locked" + ": Permission denied\n"});
    const std::string own = "the user's own file\n";
    for (const Case& c : cases) {
        fs::create_directories(out);
        WriteFile(c.target, own);
        if (c.target == dir / "locked") fs::permissions(c.target, fs::perms::owner_read);
        const Result run = Pak(c.arguments, "cd " + dir.path() + " &&");
        EXPECT_EQ(run.status, 1) << c.arguments;
        EXPECT_EQ(run.err, c.err) << c.arguments;
        EXPECT_TRUE(Text(ReadFile(c.target)) == own) << c.arguments;
        EXPECT_EQ(Temporaries(fs::path(c.target).parent_path()), std::vector<std::string>()) << c.arguments;
    }
    // The sound file before the bad one was exported whole.
    EXPECT_TRUE(ReadFile(out + "/fine") == Pattern(3000, 4));
}

// A regular file that reports more bytes than a read gives: the kernel's
// attribute files say a page whatever they hold. Empty when there is none.
std::string ShortReadingFile()
{
    for (const char* path : {"/sys/devices/system/cpu/online", "/sys/kernel/uevent_seqnum"}) {
        std::error_code error;
        if (fs::is_regular_file(path, error) && fs::file_size(path, error) > ReadFile(path).size() && !error)
            return path;
    }
    return "";
}

TEST_F(PakTool, APutOrImportWhoseSourceCannotBeReadWholeKeepsTheOldFile)
{
    const std::string source = ShortReadingFile();
    if (source.empty()) GTEST_SKIP() << "no file here reads shorter than its size";
    ASSERT_EQ(Pak("create " + pack).status, 0);
    WriteFile(dir / "kept", Pattern(5000, 6));
    ASSERT_EQ(Pak("put " + pack + " " + dir / "kept").status, 0);
    fs::create_directories(dir / "in");
    fs::create_symlink(source, dir / "in/kept");
    const std::vector<std::uint8_t> stored = ReadFile(pack);
    // import does not read a link in its tree, -L none that leads outside it.
    const struct {
        std::string arguments;
        int status;
        std::string err;
    } cases[] = {{"put " + pack + " " + source + " KEPT", 1, "pak: " + source + ": cannot be read\n"},
                 {"import " + pack + " " + dir / "in", 0,
                  "pak: " + dir / "in/kept" + ": symbolic link (-L follows links inside the tree), passed over\n"},
                 {"import -L " + pack + " " + dir / "in", 0,
                  "pak: " + dir / "in/kept" + ": symbolic link that leads outside the tree, passed over\n"}};
    for (const auto& c : cases) {
        const Result run = Pak(c.arguments);
        EXPECT_EQ(run.status, c.status) << c.arguments;
        EXPECT_EQ(run.err, c.err) << c.arguments;
        EXPECT_TRUE(ReadFile(pack) == stored) << c.arguments;
    }
    // A new file is not made either.
    EXPECT_EQ(Pak("put " + pack + " " + source + " new").status, 1);
    EXPECT_EQ(Pak("ls " + pack).out, "f\t5000\t1\tkept\n");
    EXPECT_EQ(Pak("fsck " + pack).out, "problems: 0\nlost: 0\n");
}

// The pack's entries in walk order, a directory's with a backslash after it.
std::string Entries(const std::vector<Node>& nodes)
{
    std::string text;
    for (const Node& node : nodes) text += node.path + (node.entry.type == 1 ? "\\ " : " ");
    return text;
}

TEST_F(PakTool, ImportPassesOverLinksAndSpecialFilesAndWithDashLFollowsLinksInsideTheTree)
{
    const std::string in = dir / "in";
    WriteDiskTree(in, DiskTree{{{"file.txt", {'1'}}, {"sub/inner.txt", {'2'}}}, {"sub"}});
    for (const auto& [target, name] : {std::pair{"file.txt", "to-file"},
                                       {"sub", "to-sub"},
                                       {"/etc/passwd", "passwd"},
                                       {"nowhere", "dangling"},
                                       {".", "sub/loop"},
                                       {"test.pak", "pack.lnk"}})
        fs::create_symlink(target, in + "/" + name);
    ASSERT_EQ(mkfifo((in + "/fifo").c_str(), 0600), 0);
    pack = in + "/test.pak";  // left out, also when a followed link leads to it
    const std::string link = ": symbolic link (-L follows links inside the tree)";
    const std::string holder = ": symbolic link to a folder that holds it";
    const struct {
        const char* option;
        std::string entries;
        std::vector<std::string> passedOver;  // folder by folder, in name order
    } cases[] = {
        {"",
         "file.txt sub\\ sub\\inner.txt ",
         {"dangling" + link, "fifo: FIFO", "pack.lnk" + link, "passwd" + link, "to-file" + link, "to-sub" + link,
          "sub/loop" + link}},
        {"-L ",
         "file.txt sub\\ sub\\inner.txt to-file to-sub\\ to-sub\\inner.txt ",
         {"dangling: dangling symbolic link", "fifo: FIFO", "passwd: symbolic link that leads outside the tree",
          "sub/loop" + holder, "to-sub/loop" + holder}},
    };
    for (const auto& c : cases) {
        fs::remove(pack);
        ASSERT_EQ(Pak("create " + pack).status, 0);
        const Result run = Pak("import " + std::string(c.option) + pack + " " + in, "timeout 20");
        std::string err;
        for (const std::string& line : c.passedOver) err += "pak: " + in + "/" + line + ", passed over\n";
        EXPECT_EQ(run.status, 0) << c.option;
        EXPECT_EQ(run.err, err) << c.option;
        const std::vector<Node> nodes = StoredTree();
        EXPECT_EQ(Entries(nodes), c.entries) << c.option;
        EXPECT_EQ(nodes.size() > 3 ? Text(nodes[3].data) : "1", "1");  // to-file holds what it leads to
    }
}

TEST_F(PakTool, ADirTypedAsALinkIsFollowed)
{
    WriteDiskTree(dir / "in", DiskTree{{{"a", {'1'}}, {"sub/b", {'2'}}}, {"sub"}});
    fs::create_symlink("in", dir / "link");
    ASSERT_EQ(Pak("create " + pack).status, 0);
    const Result run = Pak("import " + pack + " " + dir / "link");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(Entries(StoredTree()), "a sub\\ sub\\b ");
}

TEST_F(PakTool, AnImportThatClashesWithThePackIsRefusedBeforeAnyWrite)
{
    ASSERT_EQ(Pak("create " + pack).status, 0);
    WriteFile(dir / "f", Pattern(10, 1));
    for (const char* path : {"foo", "DATA", "a/b", "a/dir/inside"})
        ASSERT_EQ(Pak("put " + pack + " " + dir / "f" + " " + path).status, 0);
    const std::vector<std::uint8_t> stored = ReadFile(pack);
    // Each tree has a file that sorts before the clash: a run that stopped
    // half-way would have written it.
    const struct {
        DiskTree tree;
        const char* packDir;
        std::string err;
    } cases[] = {
        {{{{"0", {}}, {"foo/x", {}}}, {"foo"}}, "", "Z:\\foo: is a file in the pack, a folder on disk"},
        {{{{"a/0", {}}, {"a/b/x", {}}}, {"a", "a/b"}}, "", "Z:\\a\\b: is a file in the pack, a folder on disk"},
        {{{{"0", {}}, {"dir/inside/x", {}}}, {"dir/inside"}},
         "A",
         "Z:\\A\\dir\\inside: is a file in the pack, a folder on disk"},
        {{{{"a/0", {}}, {"a/dir", {}}}, {"a"}}, "", "Z:\\a\\dir: is a folder in the pack, a file on disk"},
        {{{{"0", {}}, {"data/x", {}}}, {"data"}}, "", "Z:\\data: is a file in the pack, a folder on disk"},
        {{{{"x", {}}}, {""}}, "a/b/c", "Z:\\a\\b: is a file, not a directory"},
        {{{{"x", {}}}, {""}}, "new/.x", "Z:\\new\\.x: a pack directory name cannot begin with a dot"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        WriteDiskTree(dir / std::to_string(i), cases[i].tree);
        const Result run = Pak("import " + pack + " " + dir / std::to_string(i) + " " + cases[i].packDir);
        EXPECT_EQ(run.status, 1) << cases[i].err;
        EXPECT_EQ(run.err, "pak: " + cases[i].err + "\n");
        EXPECT_TRUE(ReadFile(pack) == stored) << cases[i].err;
    }
    // A folder meets a directory in another letter case; a file replaces a file.
    WriteDiskTree(dir / "ok", DiskTree{{{"A/DIR/INSIDE", {'n'}}}, {"A/DIR"}});
    EXPECT_EQ(Pak("import " + pack + " " + dir / "ok").status, 0);
    EXPECT_EQ(Pak("cat " + pack + " a/dir/inside").out, "n");
}

TEST_F(PakTool, APackHeldByAnotherProgramIsRefusedAndLeftAlone)
{
    ASSERT_EQ(Pak("create " + pack).status, 0);
    WriteFile(dir / "f", Pattern(3000, 7));
    fs::create_directories(dir / "in");
    WriteFile(dir / "in/g", Pattern(10, 8));
    ASSERT_EQ(Pak("put " + pack + " " + dir / "f" + " kept").status, 0);
    const std::vector<std::uint8_t> stored = ReadFile(pack);
    const std::string refused = "pak: " + pack + ": in use by another program\n";
    const std::vector<std::string> writers = {"put " + pack + " " + dir / "f", "mkdir " + pack + " d",
                                              "rm " + pack + " kept", "import " + pack + " " + dir / "in",
                                              "fsck --repair " + pack};
    const std::vector<std::string> readers = {"ls " + pack,
                                              "tree " + pack,
                                              "info " + pack,
                                              "cat " + pack + " kept",
                                              "get " + pack + " kept " + dir / "got",
                                              "export " + pack + " " + dir / "out",
                                              "fsck " + pack};

    CPackFileManager holder;
    ASSERT_EQ(holder.Open(pack.c_str(), "rb+"), 1);
    for (const std::vector<std::string>* verbs : {&writers, &readers}) {
        for (const std::string& arguments : *verbs) {
            const Result run = Pak(arguments);
            EXPECT_EQ(run.status, 1) << arguments;
            EXPECT_EQ(run.out, "") << arguments;
            EXPECT_EQ(run.err, refused) << arguments;
        }
    }
    EXPECT_TRUE(ReadFile(pack) == stored);
    EXPECT_FALSE(fs::exists(dir / "got"));
    EXPECT_FALSE(fs::exists(dir / "out"));

    // A file the holder is half-way through writing is its own to finish.
    const std::vector<std::uint8_t> mine = Pattern(10000, 9);
    const int handle = holder.OpenFile("Z:\\mine", OF_WRITE, kInPack);
    ASSERT_GE(handle, 1);
    ASSERT_EQ(holder.Write(mine.data(), 5000, 1, handle), 1u);
    EXPECT_EQ(Pak(writers[0]).err, refused);
    ASSERT_EQ(holder.Write(mine.data() + 5000, mine.size() - 5000, 1, handle), 1u);
    ASSERT_EQ(holder.CloseFile(handle), 0);
    holder.Close();
    EXPECT_EQ(Pak("fsck " + pack).out, "problems: 0\nlost: 0\n");
    EXPECT_EQ(Pak("cat " + pack + " mine").out, Text(mine));

    // Readers share the pack; a writer waits for all of them to go.
    ASSERT_EQ(holder.Open(pack.c_str(), "rb"), 1);
    const Result list = Pak(readers[0]);
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out, "f\t3000\t1\tkept\nf\t10000\t1\tmine\n");
    EXPECT_EQ(Pak(writers[0]).err, refused);
    holder.Close();
    EXPECT_EQ(Pak(writers[0]).status, 0);
}

TEST_F(PakTool, ADirectoryWhoseChainRunsIntoAFileIsReadButNotWritten)
{
    ASSERT_EQ(Pak("create " + pack).status, 0);
    WriteFile(dir / "one", Pattern(100, 1));
    WriteFile(dir / "data", Pattern(5000, 2));
    for (const auto& [source, target] : {std::pair{"one", "d/one"}, {"one", "d/two"}, {"data", "data"}})
        ASSERT_EQ(Pak("put " + pack + " " + dir / source + " " + target).status, 0);
    // d's one block now links on into the first block of data's chain.
    Image image = Stored();
    const Entry d = image.GetEntry(0, 1);
    const Entry data = image.GetEntry(0, 2);
    ASSERT_EQ(d.name, "d");
    ASSERT_EQ(data.name, "data");
    ASSERT_EQ(image.Link(static_cast<std::size_t>(d.first)), 0);
    image.SetLink(static_cast<std::size_t>(d.first), data.first);
    WriteFile(pack, image.bytes);
    fs::create_directories(dir / "in");
    WriteFile(dir / "in/x", Pattern(10, 3));

    const std::string damaged = "pak: Z:\\d: directory is damaged (see pak fsck)\n";
    const std::string refusals[] = {"put " + pack + " " + dir / "one" + " d/new",
                                    "put " + pack + " " + dir / "one" + " d/ONE",
                                    "put " + pack + " " + dir / "one" + " d",
                                    "put " + pack + " " + dir / "one" + " d/sub/new",
                                    "mkdir " + pack + " d/sub",
                                    "mkdir " + pack + " d/sub/deeper",
                                    "rm " + pack + " d/two",
                                    "import " + pack + " " + dir / "in" + " d",
                                    "import " + pack + " " + dir / "in" + " d/sub"};
    for (const std::string& arguments : refusals) {
        const Result run = Pak(arguments);
        EXPECT_EQ(run.status, 1) << arguments;
        EXPECT_EQ(run.err, damaged) << arguments;
        EXPECT_TRUE(ReadFile(pack) == image.bytes) << arguments;
    }

    // Listings show d's own entries, not data's bytes read as entries.
    const std::string entries = "f\t100\t1\tone\nf\t100\t1\ttwo\n";
    const struct {
        std::string arguments;
        std::string out;
    } listings[] = {{"ls " + pack + " d", entries},
                    {"tree " + pack, "d\t0\t0\td\nf\t100\t1\td\\one\nf\t100\t1\td\\two\nf\t5000\t1\tdata\n"},
                    {"export " + pack + " " + dir / "out", ""}};
    for (const auto& l : listings) {
        const Result run = Pak(l.arguments);
        EXPECT_EQ(run.status, 1) << l.arguments;
        EXPECT_EQ(run.out, l.out) << l.arguments;
        EXPECT_EQ(run.err, damaged) << l.arguments;
    }
    EXPECT_TRUE(ReadFile(dir / "out/d/two") == Pattern(100, 1));
    EXPECT_TRUE(ReadFile(dir / "out/data") == Pattern(5000, 2));
    EXPECT_EQ(Pak("ls " + pack).status, 0);
    EXPECT_TRUE(ReadFile(pack) == image.bytes);
    // The root is sound and takes new entries.
    EXPECT_EQ(Pak("put " + pack + " " + dir / "one" + " other").status, 0);
    EXPECT_EQ(Pak("cat " + pack + " other").out, Text(Pattern(100, 1)));
}

TEST_F(PakTool, AWriterWhoseHostFileStopsTakingBytesDoesNotSucceed)
{
    ASSERT_EQ(Pak("create " + pack).status, 0);
    WriteFile(dir / "small", Pattern(100, 1));
    WriteFile(dir / "big", Pattern(10000, 2));
    fs::create_directories(dir / "in");
    WriteFile(dir / "in/x", Pattern(10, 3));
    ASSERT_EQ(Pak("put " + pack + " " + dir / "small" + " kept").status, 0);
    const std::string listing = Pak("ls " + pack).out;
    // A file size limit (in 512-byte units) inside the table: no data block
    // can be written, and the kernel's signal for it is ignored so that the
    // write says so. rm's one entry stays in the stream until the pack
    // closes, so only the close finds that it could not be written.
    const std::string limit = "trap '' XFSZ; ulimit -f 503;";
    for (const std::string& arguments :
         {"put " + pack + " " + dir / "small" + " new", "put " + pack + " " + dir / "big" + " kept",
          "mkdir " + pack + " a/b", "import " + pack + " " + dir / "in", "rm " + pack + " kept"}) {
        const Result run = Pak(arguments, limit);
        EXPECT_EQ(run.status, 1) << arguments;
        EXPECT_EQ(run.err, "pak: " + pack + ": cannot be written\n") << arguments;
        EXPECT_EQ(Pak("fsck " + pack).out, "problems: 0\nlost: 0\n") << arguments;
        EXPECT_EQ(Pak("ls " + pack).out, listing) << arguments;
    }
    EXPECT_EQ(Pak("cat " + pack + " kept").out, Text(Pattern(100, 1)));
}

}  // namespace
