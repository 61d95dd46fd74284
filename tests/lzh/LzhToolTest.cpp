// The lzh tool's output formats and exit status, as other tests rely on them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

#include "lzh/LzhTestSupport.h"
#include "support/OnTerminal.h"

using namespace lzhtest;

namespace {

class LzhToolTest : public ::testing::Test {
protected:
    ToolResult Lzh(const std::string& arguments, const std::string& input = "/dev/null")
    {
        std::filesystem::create_directories(work);
        const int status = RunShell("cd " + Quote(work) + " && TZ=UTC " + Quote(LZH_TOOL_PATH) + " " + arguments +
                                    " >" + Quote(temp / "out") + " 2>" + Quote(temp / "err") + " <" + Quote(input));
        return {status, Slurp(temp / "out"), Slurp(temp / "err")};
    }

    // Runs lzh with a pseudo-terminal for its standard input, output and
    // error, and types answer and Enter once a prompt ends in ": ". out is
    // what the terminal showed (line ends as "\r\n").
    ToolResult LzhOnTerminal(const std::string& command, const std::string& archive, const std::string& answer)
    {
        std::filesystem::create_directories(work);
        testutil::TerminalRun run;
        run.program = LZH_TOOL_PATH;
        run.arguments = {command, archive};
        run.directory = work;
        run.promptEnd = ": ";
        run.answer = answer;
        run.answerOnce = true;
        run.seconds = 10;
        const testutil::TerminalOutcome o = testutil::RunOnTerminal(run);
        return {o.status, o.shown, ""};
    }

    std::string Write(const std::string& name, const Bytes& archive)
    {
        testutil::WriteFile(temp / name, archive);
        return Quote(temp / name);
    }

    testutil::TempDir temp;
    const std::string work = temp / "work";
};

// The CRC as the listing shows it.
std::string Hex(const Bytes& content)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04x", Crc16(content));
    return text;
}

Member StoredMember(const std::string& name, const std::string& content)
{
    Member m;
    m.name = name;
    m.content = Text(content);
    return m;
}

Member CompressedMember(const std::string& name, const std::string& content)
{
    Member m = StoredMember(name, content);
    m.method = "-lh5-";
    m.packedData = EncodeBlock(Literals(m.content), static_cast<std::uint16_t>(content.size()));
    return m;
}

}  // namespace

// One line names what is wrong, and where to read more.
TEST_F(LzhToolTest, UsageErrorsExitWithTwo)
{
    const struct {
        const char* arguments;
        const char* line;
    } cases[] = {
        {"", "missing command"},
        {"x", "x: missing ARCHIVE"},
        {"q a.lzh", "unknown command 'q'"},
        {"xl a.lzh", "unknown modifier 'l' in 'xl'"},
        {"l -z a.lzh", "unknown option '-z'"},
        {"lf a.lzh", "f is for x and e only, not l"},
        {"xw= a.lzh", "w= needs a folder: w=DIR"},
        {"a -9 b.lzh c", "a: unknown option '-9'"},
        {"d a.lzh", "d: missing NAME (lzh d ARCHIVE NAME...)"},
    };
    for (const auto& [arguments, line] : cases) {
        SCOPED_TRACE(arguments);
        const ToolResult r = Lzh(arguments);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, std::string("lzh: ") + line + "\nTry 'lzh --help'.\n");
    }
}

TEST_F(LzhToolTest, MissingArchiveExitsWithOneForEveryCommand)
{
    for (const char* command : {"x", "l", "t"}) {
        const ToolResult r = Lzh(std::string(command) + " missing.lzh");
        EXPECT_EQ(r.status, 1) << command;
        EXPECT_EQ(r.err, "lzh: missing.lzh: cannot open\n") << command;
    }
}

TEST_F(LzhToolTest, ListShowsOneLinePerMember)
{
    Member packed;
    packed.method = "-lh5-";
    packed.name = "sub\\packed.txt";
    packed.content = Text("aaaaaaaaaaaaaaaab");
    packed.packedData = EncodeBlock({{'a'}, {-1, 15, 0}, {'b'}}, 3);
    Member extended = StoredMember("ext.txt", "x");
    extended.extensions = {{0x40, 0x20, 0x00}};
    Member directory = StoredMember("dir\x01", "");
    directory.method = "-lhd-";
    Member inFolder = StoredMember("in.txt", "in");
    inFolder.extensions = {{0x02, 'f', 0xFF, 'g', 0xFF}};
    const std::string archive = Write(
        "a.lzh", Archive({Level1(StoredMember("a b.txt", "hello")), Level0(packed), Level2(StoredMember("two", "")),
                          Level1(extended), Level1(directory), Level1(inFolder)}));
    const ToolResult r = Lzh("l " + archive);
    EXPECT_EQ(r.status, 0);
    // The builder's MS-DOS time 0x5A8C3D21, and for level 2 its Unix time.
    const std::string rule = "---------- ---------- ------ ------ ----- ---- ------------------- ----\n";
    EXPECT_EQ(r.out, "      SIZE     PACKED  RATIO METHOD LEVEL CRC  TIME                NAME\n" + rule +
                         "         5          5 100.0% -lh0-      1 " + Hex(Text("hello")) +
                         " 2025-04-12 07:41:02 a b.txt\n"
                         "        17         42 247.1% -lh5-      0 " +
                         Hex(packed.content) +
                         " 2025-04-12 07:41:02 sub/packed.txt\n"
                         "         0          0 ****** -lh0-      2 0000 2018-02-20 15:22:09 two\n"
                         "         1          1 100.0% -lh0-      1 " +
                         Hex(Text("x")) +
                         " 2025-04-12 07:41:02 ext.txt\n"
                         "         0          0 ****** -lhd-      1 0000 2025-04-12 07:41:02 dir?/\n"
                         "         2          2 100.0% -lh0-      1 " +
                         Hex(Text("in")) + " 2025-04-12 07:41:02 f/g/in.txt\n" + rule +
                         "        25         50 200.0% total of 6 members\n");
    EXPECT_EQ(r.err, "");

    Bytes damaged = Level1(StoredMember("after.txt", "after"));
    ++damaged[1];
    const ToolResult d = Lzh("l " + Write("d.lzh", Concat({Level1(StoredMember("a.txt", "a")), damaged, {0}})));
    EXPECT_EQ(d.status, 1);
    EXPECT_NE(d.out.find(" a.txt\n"), std::string::npos) << d.out;
    EXPECT_NE(d.out.find("total of 1 member\n"), std::string::npos) << d.out;
    EXPECT_NE(d.err.find("damaged header of member 2"), std::string::npos) << d.err;
}

// Folders come from -lhd- members, the directory extended header (levels 1
// and 2) and the name; each component must be a name inside the current
// directory.
TEST_F(LzhToolTest, FolderHeadersGiveFoldersOnlyInsideTheCurrentDirectory)
{
    auto inFolder = [](const std::string& method, Bytes folder, const std::string& name) {
        Member m = StoredMember(name, method == "-lhd-" ? "" : "x");
        m.method = method;
        folder.insert(folder.begin(), 0x02);
        m.extensions = {folder};
        return m;
    };
    const Bytes tooLong(300, 'f');
    const struct {
        Bytes member;
        std::string line;  // on stderr; empty when written
        std::vector<std::string> files;
    } cases[] = {
        {Level1(inFolder("-lh0-", {'a', 0xFF, 'b', 0xFF}, "c.txt")), "", {"a/b/c.txt"}},
        {Level2(inFolder("-lh0-", {'a', '\\', 'b'}, "c.txt")), "", {"a/b/c.txt"}},
        {Level0(StoredMember("a/b\\c.txt", "x")), "", {"a/b/c.txt"}},
        {Level1(inFolder("-lhd-", {'e', 0xFF, 'm', 0xFF}, "")), "", {}},
        {Level1(inFolder("-lh0-", {'.', '.', 0xFF}, "up.txt")), "lzh: ..\\up.txt: unsafe name", {}},
        {Level1(inFolder("-lhd-", {'a', 0xFF, '.', '.', 0xFF}, "")), "lzh: a\\..\\: unsafe name", {}},
        {Level2(inFolder("-lh0-", {0xFF, 't', 'm', 'p', 0xFF}, "x.txt")), "lzh: \\tmp\\x.txt: unsafe name", {}},
        {Level1(inFolder("-lh0-", {'C', ':', 0xFF}, "x.txt")), "lzh: C:\\x.txt: unsafe name", {}},
        {Level1(inFolder("-lh0-", {'a', 0xFF, 0xFF, 'b', 0xFF}, "x.txt")), "lzh: a\\\\b\\x.txt: unsafe name", {}},
        {Level1(inFolder("-lh0-", {'a', 0xFF, '.', 0xFF}, "x.txt")), "lzh: a\\.\\x.txt: unsafe name", {}},
        {Level0(StoredMember("a\\ . \\x.txt", "x")), "lzh: a\\ . \\x.txt: unsafe name", {}},
        // A zero byte does not end the path early.
        {Level1(inFolder("-lh0-", {'a', 0, 'b', 0xFF}, "x.txt")),
         "lzh: a?b\\x.txt: a name Windows cannot give a file: a?b holds one of < > : \" / \\ | ? *",
         {}},
        {Level1(inFolder("-lh0-", tooLong, "x.txt")), "lzh: " + std::string(259, 'f') + ": name too long", {}},
    };
    for (const auto& [member, line, files] : cases) {
        SCOPED_TRACE(line);
        std::filesystem::remove_all(work);
        const ToolResult r = Lzh("x " + Write("f.lzh", Archive({member})));
        EXPECT_EQ(r.status, line.empty() ? 0 : 1);
        EXPECT_EQ(r.err, line.empty() ? (files.empty() ? "" : ".") : line + "\n");
        EXPECT_EQ(FilesBelow(work), files);
        if (files.empty() && line.empty()) {
            EXPECT_TRUE(std::filesystem::is_directory(work + "/e/m"));
        }
        // Nothing lands beside the work folder.
        std::set<std::string> beside;
        for (const auto& entry : std::filesystem::directory_iterator(temp.path()))
            beside.insert(entry.path().filename().string());
        EXPECT_EQ(beside, (std::set<std::string>{"err", "f.lzh", "out", "work"}));
    }
}

TEST_F(LzhToolTest, TestNamesEveryDamagedMemberAndWritesNothing)
{
    Member bad = StoredMember("bad.txt", "content");
    bad.crc = 1;
    Member six = StoredMember("six.txt", "six");
    six.method = "-lh6-";
    Member claims = CompressedMember("claims.bin", "abc");
    claims.content.resize(100000);
    const std::string archive =
        Write("t.lzh", Archive({Level1(StoredMember("good.txt", "good")), Level1(bad), Level1(six), Level1(claims)}));
    const ToolResult r = Lzh("t " + archive);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ok good.txt\nfailed bad.txt\nskipped six.txt\nfailed claims.bin\n");
    EXPECT_EQ(r.err,
              "lzh: bad.txt: CRC error\nlzh: six.txt: unsupported method -lh6-\nlzh: claims.bin: data ends early\n");
    EXPECT_TRUE(FilesBelow(work).empty());

    Member broken;
    broken.method = "-lh5-";
    broken.name = "broken.txt";
    broken.content = Text("whatever");
    BitWriter bits;
    bits.Put(10, 16);
    bits.Put(31, 5);  // a code-length count above 19
    bits.Put(0, 32);
    broken.packedData = bits.Finish();
    const ToolResult b = Lzh("t " + Write("b.lzh", Archive({Level1(StoredMember("first.txt", "1")), Level1(broken)})));
    EXPECT_EQ(b.status, 1);
    EXPECT_EQ(b.out, "ok first.txt\n");
    EXPECT_EQ(b.err, "\nBad table\nlzh: broken.txt: stopped here\n");

    const ToolResult good = Lzh("t " + Write("g.lzh", Archive({Level1(StoredMember("good.txt", "good"))})));
    EXPECT_EQ(good.status, 0);
    EXPECT_EQ(good.out, "ok good.txt\n");
}

TEST_F(LzhToolTest, ExtractWritesIntoTheCurrentDirectory)
{
    const ToolResult r =
        Lzh("x " + Write("x.lzh", Archive({Level1(StoredMember("a.txt", "a")), Level1(StoredMember("b.txt", "b"))})));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "..");
    EXPECT_EQ(FilesBelow(work), (std::vector<std::string>{"a.txt", "b.txt"}));
}

TEST_F(LzhToolTest, ExtractNamesEveryMemberNotWrittenOnALineOfItsOwn)
{
    Member six = StoredMember("six.txt", "six");
    six.method = "-lh6-";
    Member directory = StoredMember("..\\", "");
    directory.method = "-lhd-";
    Member bad = StoredMember("bad.txt", "content");
    bad.crc = 1;
    Member claims = CompressedMember("claims.bin", "abc");
    claims.content.resize(100000);
    const std::string longName(231, 'n');

    const struct {
        Bytes member;
        std::string dots;  // the member's own full stops, from the chunks it decoded
        std::string line;  // on stderr, between the full stops of the members around it
    } cases[] = {
        {Level1(six), "", "lzh: six.txt: unsupported method -lh6-"},
        {Level1(directory), "", "lzh: ..\\: unsafe name"},
        {Level1(StoredMember("", "x")), "", "lzh: : empty name"},
        {Level1(StoredMember("..\\up.txt", "x")), "", "lzh: ..\\up.txt: unsafe name"},
        {Level2(StoredMember(longName, "x")), "", "lzh: " + longName.substr(0, 230) + ": name too long"},
        // x makes the folders that names hold, but not where a file is in the way.
        {Level1(StoredMember("a.txt\\b.txt", "x")), "", "lzh: a.txt\\b.txt: cannot be created"},
        // A name Windows cannot give a file is seen before anything is
        // unpacked.
        {Level1(StoredMember("a?b.txt", "x")), "",
         "lzh: a?b.txt: a name Windows cannot give a file: it holds one of < > : \" / \\ | ? *"},
        {Level1(claims), "", "lzh: claims.bin: data ends early"},
        {Level1(bad), ".", "lzh: bad.txt: CRC error"},
        // A folder where the file would go is seen before anything is unpacked.
        {Level1(StoredMember("taken", "x")), "", "lzh: taken: is there, and no regular file"},
    };
    for (const auto& [member, dots, line] : cases) {
        SCOPED_TRACE(line);
        std::filesystem::remove_all(work);
        std::filesystem::create_directories(work + "/taken");
        const ToolResult r = Lzh("x " + Write("f.lzh", Archive({Level1(StoredMember("a.txt", "a")), member,
                                                                Level1(StoredMember("c.txt", "c"))})));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "." + dots + "\n" + line + "\n.");
        EXPECT_EQ(FilesBelow(work), (std::vector<std::string>{"a.txt", "c.txt"}));
    }

    // A damaged header's line starts afresh too.
    std::filesystem::remove_all(work);
    Bytes damaged = Level1(StoredMember("after.txt", "after"));
    ++damaged[1];
    const std::string archive = Write("d.lzh", Concat({Level1(StoredMember("a.txt", "a")), damaged, {0}}));
    const ToolResult d = Lzh("x " + archive);
    EXPECT_EQ(d.status, 1);
    EXPECT_EQ(d.err, ".\nlzh: " + temp / "d.lzh" + ": damaged header of member 2; the walk ends there\n");
}

TEST_F(LzhToolTest, AReplacementNameIsAskedForOnATerminalOnly)
{
    const std::string archive = temp / "r.lzh";
    testutil::WriteFile(
        archive, Archive({Level1(StoredMember("first.txt", "1")), Level1(StoredMember("first.txt\\a.txt", "a"))}));
    const std::string prompt = "Cannot create \"first.txt\\a.txt\". New name (an empty line skips it): ";
    const struct {
        bool terminal;
        std::string answer;
    } cases[] = {{true, "renamed.txt"}, {true, ""}, {false, "renamed.txt"}, {false, ""}};
    for (const auto& [terminal, answer] : cases) {
        SCOPED_TRACE((terminal ? "terminal, answer \"" : "no terminal, answer \"") + answer + "\"");
        std::filesystem::remove_all(work);
        ToolResult r;
        if (terminal) {
            r = LzhOnTerminal("x", archive, answer);
        } else {
            testutil::WriteFile(temp / "answer", answer + "\n");
            r = Lzh("x " + Quote(archive), temp / "answer");
        }
        const std::string shown = r.out + r.err;
        // The prompt starts a line of its own after the progress full stop.
        EXPECT_EQ(shown.find(".\r\n" + prompt) != std::string::npos, terminal) << shown;
        EXPECT_EQ(shown.find("Cannot create") != std::string::npos, terminal) << shown;
        const bool written = !answer.empty();
        EXPECT_EQ(r.status, written ? 0 : 1) << shown;
        EXPECT_EQ(FilesBelow(work), written ? (std::vector<std::string>{"first.txt", "renamed.txt"})
                                            : (std::vector<std::string>{"first.txt"}));
        EXPECT_EQ(shown.find("lzh: first.txt\\a.txt: cannot be created") != std::string::npos, !written) << shown;
    }
}

TEST_F(LzhToolTest, AHangulArchiveAndMemberNamesCrossAsUtf8OnDisk)
{
    // An archive in a folder named in UTF-8 on the command line; a member
    // named in code page 949 (패치.txt) is written under its UTF-8 name.
    std::filesystem::create_directories(temp / "\xED\x95\x9C\xEA\xB8\x80");
    testutil::WriteFile(temp / "\xED\x95\x9C\xEA\xB8\x80/x.lzh",
                        Archive({Level1(StoredMember("\xC6\xD0\xC4\xA1.txt", "patch"))}));
    const ToolResult r = Lzh("x " + Quote(temp / "\xED\x95\x9C\xEA\xB8\x80/x.lzh"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(FilesBelow(work), (std::vector<std::string>{"\xED\x8C\xA8\xEC\xB9\x98.txt"}));
}

namespace {

// Where a run's standard streams are: a file and no terminal, or a terminal
// for all three, or a terminal with standard output sent to a file.
enum class Streams {
    Files,
    Terminal,
    OutputToAFile
};

struct TerminalLzh {
    int status;
    std::string shown;  // the terminal, or stdout and stderr
};

}  // namespace

// A file that is there is never replaced unasked: -f (or f) replaces it,
// someone at a terminal is asked as lhasa asks, and otherwise it is kept
// and named. A read-only file is replaced with -f only, and whatever
// replaces a file keeps its permissions.
TEST_F(LzhToolTest, AFileThatIsThereIsReplacedOnlyWhenAsked)
{
    const std::string archive = temp / "two.lzh";
    testutil::WriteFile(archive,
                        Archive({Level1(StoredMember("a.txt", "new a")), Level1(StoredMember("b.txt", "new b"))}));
    const std::string prompt = " exists. Replace it? (yes/[no]/all/skip) ";
    const struct {
        Streams streams;
        const char* command;  // before the archive
        const char* answer;   // at each question, or at the first for all and skip
        bool readOnly;
        bool replaced;  // both files
        int status;
        int questions;
        const char* line;  // said of a.txt, or nothing
    } cases[] = {
        {Streams::Files, "x", "", false, false, 1, 0, "lzh: a.txt: exists; kept (-f replaces it)"},
        {Streams::Files, "x -f", "", false, true, 0, 0, nullptr},
        {Streams::Files, "xf", "", false, true, 0, 0, nullptr},
        {Streams::Files, "x -f", "", true, true, 0, 0, nullptr},
        {Streams::Terminal, "x", "yes", false, true, 0, 2, nullptr},
        {Streams::Terminal, "x", "n", false, false, 0, 2, nullptr},
        {Streams::Terminal, "x", "", false, false, 0, 2, nullptr},
        {Streams::Terminal, "x", "a", false, true, 0, 1, nullptr},
        {Streams::Terminal, "x", "skip", false, false, 0, 1, nullptr},
        {Streams::Terminal, "x", "", true, false, 1, 0, "lzh: a.txt: is read-only; kept (-f replaces it)"},
        {Streams::OutputToAFile, "x", "yes", false, false, 1, 0, "lzh: a.txt: exists; kept (-f replaces it)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.command) + ", answer \"" + c.answer + "\"" + (c.readOnly ? ", read-only" : "") +
                     (c.streams == Streams::Files      ? ""
                      : c.streams == Streams::Terminal ? ", terminal"
                                                       : ", > file"));
        std::filesystem::remove_all(work);
        std::filesystem::create_directories(work);
        const auto mode = c.readOnly ? std::filesystem::perms(0444) : std::filesystem::perms(0640);
        for (const char* name : {"a.txt", "b.txt"}) {
            testutil::WriteFile(work + "/" + name, std::string("old"));
            std::filesystem::permissions(work + "/" + name, mode);
        }
        TerminalLzh r{};
        if (c.streams == Streams::Files) {
            const ToolResult piped = Lzh(std::string(c.command) + " " + Quote(archive));
            r = {piped.status, piped.out + piped.err};
        } else {
            testutil::TerminalRun run;
            const std::string command = std::string(LZH_TOOL_PATH) + " " + c.command + " " + Quote(archive);
            run.program = "/bin/sh";
            run.arguments = {"-c", c.streams == Streams::Terminal ? command : command + " >" + Quote(temp / "out")};
            run.directory = work;
            run.promptEnd = prompt;
            run.answer = c.answer;
            run.answerOnce = c.questions == 1;
            run.seconds = 10;
            const testutil::TerminalOutcome o = testutil::RunOnTerminal(run);
            r = {o.status, o.shown};
        }
        EXPECT_EQ(r.status, c.status) << r.shown;
        std::size_t questions = 0;
        for (std::size_t at = r.shown.find(prompt); at != std::string::npos; at = r.shown.find(prompt, at + 1))
            ++questions;
        EXPECT_EQ(questions, static_cast<std::size_t>(c.questions)) << r.shown;
        EXPECT_EQ(c.line && r.shown.find(c.line) != std::string::npos, c.line != nullptr) << r.shown;
        EXPECT_EQ(r.shown.find("kept") != std::string::npos, c.line != nullptr) << r.shown;
        for (const char* name : {"a.txt", "b.txt"}) {
            const std::string path = work + "/" + name;
            EXPECT_EQ(Slurp(path), c.replaced ? std::string("new ") + name[0] : "old") << name;
            EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all, mode) << name;
        }
    }
}

// The commands and modifiers people know from lhasa: e, v, p, q, w=DIR,
// members named after the archive, a leading '-'.
TEST_F(LzhToolTest, TheCommandsOfLhaHabitWork)
{
    Member folder = StoredMember("d\\", "");
    folder.method = "-lhd-";
    const std::string archive = Write("h.lzh", Archive({Level1(folder), Level1(StoredMember("d\\a.txt", "hello\n")),
                                                        Level1(StoredMember("b.txt", "world\n"))}));
    const struct {
        std::string arguments;  // the archive follows the command word
        std::string out;
        std::string err;
        int status;
        std::vector<std::string> files;
    } cases[] = {
        {"e", "", "..", 0, {"a.txt", "b.txt"}},
        {"e A D/A.TXT", "", ".", 0, {"a.txt"}},
        {"p", "::::::::\nd/a.txt\n::::::::\nhello\n::::::::\nb.txt\n::::::::\nworld\n", "", 0, {}},
        {"pq A b.txt", "world\n", "", 0, {}},
        {"x A d", "", ".", 0, {"d/a.txt"}},
        {"xq", "", "", 0, {"b.txt", "d/a.txt"}},
        {"xw=into A b.txt", "", ".", 0, {"into/b.txt"}},
        {"-x", "", "..", 0, {"b.txt", "d/a.txt"}},
        {"x A b.txt nope", "", ".\nlzh: nope: no such member\n", 1, {"b.txt"}},
        {"t A 'd\\a.txt'", "ok d/a.txt\n", "", 0, {}},
        {"tq", "", "", 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        std::filesystem::remove_all(work);
        // "A" stands for the archive; the command word alone takes it after.
        std::string arguments = c.arguments;
        const std::size_t at = arguments.find(" A");
        if (at == std::string::npos)
            arguments += " " + archive;
        else
            arguments.replace(at, 2, " " + archive);
        const ToolResult r = Lzh(arguments);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(FilesBelow(work), c.files);
    }

    // v lists as l does; q keeps the members' lines alone.
    const ToolResult l = Lzh("l " + archive);
    const ToolResult v = Lzh("v " + archive);
    const ToolResult lq = Lzh("lq " + archive);
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out, l.out);
    std::string members = l.out.substr(l.out.find('\n', l.out.find('\n') + 1) + 1);
    members.erase(members.find("----------"));
    EXPECT_EQ(lq.out, members);
}

// t fails where x fails for the archive's sake (a method neither unpacks, a
// name x does not write), with the same line.
TEST_F(LzhToolTest, TestAndExtractAgreeOnEveryArchive)
{
    Member six = StoredMember("sub\\six.txt", "six");
    six.method = "-lh6-";
    Member seven = StoredMember("seven.txt", "seven");
    seven.method = "-lh7-";
    const Bytes members[] = {
        Level1(six),
        Level1(seven),
        Level1(StoredMember("..\\up.txt", "x")),
        Level1(StoredMember("a?b.txt", "x")),
        Level1(StoredMember("sub\\CON.txt", "x")),
        Level1(StoredMember("end.", "x")),
        Level2(StoredMember(std::string(231, 'n'), "x")),
        Level1(StoredMember("", "x")),
    };
    for (const Bytes& member : members) {
        const std::string archive = Write("one.lzh", Archive({member}));
        std::filesystem::remove_all(work);
        const ToolResult t = Lzh("t " + archive);
        const ToolResult x = Lzh("x " + archive);
        SCOPED_TRACE(x.err);
        EXPECT_EQ(t.status, 1) << t.out;
        EXPECT_EQ(x.status, 1);
        EXPECT_EQ(t.err, x.err);
        EXPECT_TRUE(FilesBelow(work).empty());
        // t names members as l does: '/' between folders.
        EXPECT_EQ(t.out.find('\\'), std::string::npos) << t.out;
    }
}
