// lzh a, run as a program: the archives it makes are extracted into the same
// tree, byte for byte, by our lzh x, by lhasa and by 7z (each skipped when it
// is not installed); and a file it cannot read leaves no archive behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "lzh/LzhTestSupport.h"

using namespace lzhtest;
namespace fs = std::filesystem;

namespace {

using Tree = std::map<std::string, Bytes>;  // relative path with '/', content

using Outcome = ToolResult;

Outcome Lzh(const std::string& dir, const std::string& arguments)
{
    testutil::TempDir out;
    const int status = RunShell("cd " + Quote(dir) + " && TZ=UTC " + Quote(LZH_TOOL_PATH) + " " + arguments + " >" +
                                Quote(out / "out") + " 2>" + Quote(out / "err") + " </dev/null");
    return {status, Slurp(out / "out"), Slurp(out / "err")};
}

void WriteTree(const std::string& dir, const Tree& tree)
{
    for (const auto& [path, content] : tree) {
        fs::create_directories(fs::path(dir + "/" + path).parent_path());
        testutil::WriteFile(dir + "/" + path, content);
    }
}

Tree ReadTree(const std::string& dir)
{
    Tree tree;
    for (const std::string& path : FilesBelow(dir)) tree[path] = testutil::ReadFile(dir + "/" + path);
    return tree;
}

Bytes Noise(std::size_t count, std::uint32_t seed)
{
    std::mt19937 random(seed);
    Bytes out(count);
    for (auto& byte : out) byte = static_cast<std::uint8_t>(random());
    return out;
}

Bytes Words(std::size_t count, std::uint32_t seed)
{
    static const char* const kWords[] = {"kivra ", "patch ", "field ", "of ", "the ", "quest ", "\r\n", "sound "};
    std::mt19937 random(seed);
    Bytes out;
    while (out.size() < count) {
        const char* w = kWords[random() % 8];
        out.insert(out.end(), w, w + std::char_traits<char>::length(w));
    }
    out.resize(count);
    return out;
}

// Extracts archive into a new directory with each tool there is, and expects
// the tree of each to be tree.
void ExpectEveryToolExtracts(const std::string& archive, const Tree& tree)
{
    const struct {
        const char* tool;
        std::string command;
    } extractors[] = {
        {"lzh", Quote(LZH_TOOL_PATH) + " x " + Quote(archive) + " 2>/dev/null"},
        {"lhasa", "lhasa xq " + Quote(archive) + " >/dev/null"},
        {"7z", "7z x -y " + Quote(archive) + " >/dev/null"},
        {"jlha", "jlha x " + Quote(archive) + " >/dev/null 2>&1"},
    };
    for (const auto& [tool, command] : extractors) {
        if (std::string(tool) != "lzh" && !HaveCommand(tool)) {
            std::printf("%s is not installed: its extraction is not compared\n", tool);
            continue;
        }
        SCOPED_TRACE(tool);
        testutil::TempDir out;
        EXPECT_EQ(RunShell("cd " + Quote(out.path()) + " && " + command), 0);
        const Tree extracted = ReadTree(out.path());
        EXPECT_EQ(extracted.size(), tree.size());
        for (const auto& [path, content] : tree) {
            const auto found = extracted.find(path);
            EXPECT_TRUE(found != extracted.end() && found->second == content) << path;
        }
    }
}

// Method letter of each member, by name as the listing shows it.
std::map<std::string, char> Methods(const std::string& archive)
{
    std::map<std::string, char> methods;
    std::istringstream list(Lzh(".", "l " + Quote(archive)).out);
    int rules = 0;
    for (std::string line; std::getline(list, line);) {
        if (line.rfind("-----", 0) == 0) ++rules;
        if (rules != 1 || line[0] == '-') continue;
        // SIZE PACKED RATIO METHOD LEVEL CRC DATE TIME NAME: the name is the rest of the line.
        std::istringstream fields(line);
        std::string field[8];
        for (std::string& f : field) fields >> f;
        std::string name;
        std::getline(fields >> std::ws, name);
        methods[name] = field[3][3];
    }
    return methods;
}

bool HasTemporary(const std::string& dir)
{
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().filename().string().rfind("~", 0) == 0) return true;
    return false;
}

}  // namespace

TEST(LzhArchiver, TreesOfEveryShapeExtractAlikeWithEveryTool)
{
    Tree tree = {
        {"empty.bin", {}},
        {"one.bin", {'A'}},
        {"Data/8191.txt", Words(8191, 1)},
        {"Data/8192.txt", Words(8192, 2)},
        {"Data/8193.txt", Words(8193, 3)},
        {"Data/Map/runs.bin", Concat({Bytes(100000, 'a'), Words(5000, 4), Bytes(70000, 0), Bytes(3, 'b')})},
        {"Data/Map/field01.map", Words(2'000'000, 5)},
        {"Movie/noise.dat", Noise(300000, 6)},
        {"Movie/Deep/Deeper/half.dat", Concat({Noise(50000, 7), Bytes(50000, 7)})},
        {"UPPER CASE.TXT", Words(3000, 8)},
    };
    for (int i = 0; i < 40; ++i)
        tree["Small/m" + std::to_string(i) + ".txt"] =
            Words(static_cast<std::size_t>(i * 61), 9u + static_cast<std::uint32_t>(i));

    testutil::TempDir temp;
    WriteTree(temp / "Patch", tree);
    const Outcome made = Lzh(temp.path(), "a update.lzh Patch");
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(made.err, "");

    Tree expected;
    for (const auto& [path, content] : tree) expected["Patch/" + path] = content;
    ExpectEveryToolExtracts(temp / "update.lzh", expected);

    const std::map<std::string, char> methods = Methods(temp / "update.lzh");
    EXPECT_EQ(methods.at("Patch/Data/Map/field01.map"), '5');
    EXPECT_EQ(methods.at("Patch/Data/8191.txt"), '5');
    EXPECT_EQ(methods.at("Patch/Movie/Deep/Deeper/half.dat"), '5');
    EXPECT_EQ(methods.at("Patch/Movie/noise.dat"), '0');
    EXPECT_EQ(methods.at("Patch/empty.bin"), '0');
    EXPECT_EQ(methods.at("Patch/one.bin"), '0');
    const Outcome tested = Lzh(temp.path(), "t update.lzh");
    EXPECT_EQ(tested.status, 0) << tested.out;

    // Files named one by one keep their paths; -0 stores them all.
    ASSERT_EQ(Lzh(temp / "Patch", "a -0 ../stored.lzh one.bin Data/8192.txt Data/Map").status, 0);
    const Tree stored = {{"one.bin", tree["one.bin"]},
                         {"Data/8192.txt", tree["Data/8192.txt"]},
                         {"Data/Map/field01.map", tree["Data/Map/field01.map"]},
                         {"Data/Map/runs.bin", tree["Data/Map/runs.bin"]}};
    ExpectEveryToolExtracts(temp / "stored.lzh", stored);
    for (const auto& [name, method] : Methods(temp / "stored.lzh"))
        EXPECT_EQ(method, name.back() == '/' ? 'd' : '0') << name;
}

TEST(LzhArchiver, RecompressedCorpusExtractsAlike)
{
    if (!HaveCorpus()) GTEST_SKIP() << CorpusMissing();
    if (!HaveCommand("lhasa")) GTEST_SKIP() << "needs lhasa";
    // The files the fifteen archivers packed, as lhasa extracts them.
    testutil::TempDir temp;
    std::ifstream list(kCorpus + "/LEVEL1.txt");
    int archives = 0;
    for (std::string line; std::getline(list, line);) {
        if (line.empty()) continue;
        const std::string dir = temp / ("files/" + std::to_string(archives++));
        fs::create_directories(dir);
        RunShell("cd " + Quote(dir) + " && lhasa xqf " + Quote(kCorpus + "/" + line) + " </dev/null >/dev/null 2>&1");
    }
    for (auto it = fs::recursive_directory_iterator(temp / "files"); it != fs::recursive_directory_iterator(); ++it)
        if (it->is_symlink()) fs::remove(it->path());
    const Tree tree = ReadTree(temp / "files");
    ASSERT_GT(tree.size(), 50u);

    const Outcome made = Lzh(temp / "files", "a ../corpus.lzh .");
    ASSERT_EQ(made.status, 0) << made.err;
    ExpectEveryToolExtracts(temp / "corpus.lzh", tree);
}

TEST(LzhArchiver, AnAddThatCannotBeDoneWholeChangesNothing)
{
    testutil::TempDir temp;
    WriteTree(temp / "in", {{"a.txt", Words(20000, 1)}, {"b/c.txt", Words(100, 2)}});
    testutil::WriteFile(temp / "old.lzh", Text("the archive before"));
    fs::create_symlink("nowhere", temp / "in/b/dangling");
    // Names that Windows and our x take as one, and other extractors as two.
    WriteTree(temp / "pair", {{"READ.ME", Text("1")}, {"Read.me", Text("2")}});
    WriteTree(temp / "folders", {{"Data/a.txt", Text("1")}, {"data/b.txt", Text("2")}});
    WriteTree(temp / "hangul", {{"\xED\x95\x9C/a.txt", Text("1")}, {"\xED\x95\x9C/A.TXT", Text("2")}});

    const struct {
        std::string arguments;
        std::string message;
    } cases[] = {
        {"a old.lzh in/a.txt missing.txt", "lzh: missing.txt: cannot be read (no such file)\n"},
        {"a old.lzh in",
         "lzh: in/b/dangling: symbolic link (-L follows links inside the tree), passed over\n"
         "lzh: old.lzh: is no LZH archive, or a damaged one: not changed\n"},
        {"a no/such/dir/new.lzh in/a.txt", "lzh: no/such/dir/new.lzh: cannot be written\n"},
        {"a new.lzh pair", "lzh: pair/Read.me: would be the same member, pair/READ.ME, as pair/READ.ME\n"},
        {"a new.lzh folders", "lzh: folders/data: would be the same member, folders/Data, as folders/Data\n"},
        {"a new.lzh folders/Data/a.txt folders/data/b.txt",
         "lzh: folders/data/b.txt: its folder differs from folders/Data only in letter case\n"},
        {"a new.lzh hangul",
         "lzh: hangul/\xED\x95\x9C/a.txt: would be the same member, hangul/\xED\x95\x9C/A.TXT, as "
         "hangul/\xED\x95\x9C/A.TXT\n"},
        // The archive named as its own input.
        {"a old.lzh old.lzh", "lzh: old.lzh: is the archive being written\n"},
        {"a old.lzh in/a.txt ./old.lzh", "lzh: ./old.lzh: is the archive being written\n"},
    };
    for (const auto& [arguments, message] : cases) {
        SCOPED_TRACE(arguments);
        const Outcome r = Lzh(temp.path(), arguments);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, message);
        EXPECT_FALSE(fs::exists(temp / "new.lzh"));
        EXPECT_FALSE(HasTemporary(temp.path()));
        EXPECT_EQ(testutil::ReadFile(temp / "old.lzh"), Text("the archive before"));
    }

    // What is no archive is never written over; without it, one is made,
    // the link passed over. One file reached twice is one member.
    fs::remove(temp / "old.lzh");
    const Outcome made = Lzh(temp.path(), "a old.lzh in in/../in/a.txt");
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(made.err, "lzh: in/b/dangling: symbolic link (-L follows links inside the tree), passed over\n");
    EXPECT_EQ(Methods(temp / "old.lzh").size(), 4u);  // in/, in/a.txt, in/b/, in/b/c.txt
    EXPECT_FALSE(HasTemporary(temp.path()));

    // Two files that would be one member.
    testutil::WriteFile(temp / "x.txt", Text("up"));
    testutil::WriteFile(temp / "in/x.txt", Text("here"));
    const Outcome both = Lzh(temp / "in", "a both.lzh ../x.txt x.txt");
    EXPECT_EQ(both.status, 1);
    EXPECT_EQ(both.err, "lzh: x.txt: would be the same member, x.txt, as ../x.txt\n");
    EXPECT_FALSE(fs::exists(temp / "in/both.lzh"));

    for (const char* usage : {"a", "a x.lzh", "a -0 x.lzh"}) {
        const Outcome r = Lzh(temp.path(), usage);
        EXPECT_EQ(r.status, 2) << usage;
        EXPECT_NE(r.err.find(std::string(usage) != "a" ? "lzh: a: missing PATH (lzh a ARCHIVE PATH...)\n"
                                                       : "lzh: a: missing ARCHIVE\n"),
                  std::string::npos)
            << usage;
    }
}

TEST(LzhArchiver, HelpAndVersionAnswerOnStandardOutput)
{
    const Outcome help = Lzh(".", "--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: lzh COMMAND", 0), 0u);
    EXPECT_NE(help.out.find("lzh a [-0] [-L] ARCHIVE PATH..."), std::string::npos);
    EXPECT_EQ(help.err, "");
    const Outcome version = Lzh(".", "--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("lzh ", 0), 0u);
    EXPECT_EQ(version.err, "");
}

TEST(LzhArchiver, AnArchiveIsNeitherChangedByTwoWritersNorWrittenOverByItsOwnMember)
{
    testutil::TempDir temp;
    WriteTree(temp.path(), {{"a.txt", Text("a")}, {"b.txt", Text("b")}});
    ASSERT_EQ(Lzh(temp.path(), "a x.lzh a.txt").status, 0);
    const Bytes before = testutil::ReadFile(temp / "x.lzh");
    // Another writer holds it: refused, and the archive stays as it was.
    EXPECT_EQ(RunShell("cd " + Quote(temp.path()) + " && flock x.lzh " + Quote(LZH_TOOL_PATH) +
                       " a x.lzh b.txt 2>err.txt; test $? = 1 && grep -qx 'lzh: x.lzh: in use by another program' "
                       "err.txt"),
              0);
    EXPECT_EQ(testutil::ReadFile(temp / "x.lzh"), before);
    // A member of the archive's own name is not written over it.
    fs::create_directories(temp / "sub");
    fs::copy_file(temp / "x.lzh", temp / "sub/a.txt");
    const Outcome self = Lzh(temp / "sub", "x a.txt");
    EXPECT_EQ(self.status, 1);
    EXPECT_NE(self.err.find("lzh: a.txt: is the archive being read"), std::string::npos) << self.err;
    EXPECT_EQ(testutil::ReadFile(temp / "sub/a.txt"), before);
}
