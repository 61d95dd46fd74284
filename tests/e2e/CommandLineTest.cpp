// Every program's command line as a Linux user's habits expect it: a line
// that names what is wrong with it, -h for --help, and a failure when
// standard output cannot be written.
#include <gtest/gtest.h>

#include <string>
#include <sys/wait.h>

#include "support/PatchRun.h"

namespace {

using namespace patchrun;

struct Ran {
    int status;
    std::string out;
    std::string err;
};

// Runs command in a shell, in folder, its output to files there (or to
// where redirect sends it).
Ran Shell(const fs::path& folder, const std::string& command, const std::string& redirect = "")
{
    const std::string line = "cd '" + folder.string() + "' && " + command + " <" + "/dev/null" +
                             (redirect.empty() ? " >'" + (folder / "out").string() + "'" : " " + redirect) + " 2>'" +
                             (folder / "err").string() + "'";
    const int status = std::system(line.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(folder / "out"), Slurp(folder / "err")};
}

std::string Program(const char* name)
{
    const std::string path = name == std::string("pak")             ? PAK_TOOL
                             : name == std::string("lzh")           ? LZH_TOOL
                             : name == std::string("kivra-mkpatch") ? KIVRA_MKPATCH
                                                                    : KIVRA_UPDATE;
    return "'" + path + "'";
}

// A command line a program cannot take: one line that names what is wrong,
// then where to read more, and exit status 2; nothing on stdout.
TEST(ToolCommandLine, AUsageErrorNamesWhatIsWrongInOneLine)
{
    testutil::TempDir scratch;
    const struct {
        const char* program;
        const char* arguments;
        const char* line;
    } cases[] = {
        {"pak", "frob x", "unknown command 'frob'"},
        {"pak", "ls", "ls: missing operand (pak ls PACK [DIR])"},
        {"lzh", "x", "x: missing ARCHIVE"},
        {"lzh", "xz a.lzh", "unknown modifier 'z' in 'xz'"},
        {"lzh", "x --bogus a.lzh", "unknown option '--bogus'"},
        {"kivra-mkpatch", "--bogus a b c", "unknown option '--bogus'"},
        {"kivra-mkpatch", "a b", "missing OUTDIR (kivra-mkpatch OLD NEW OUTDIR)"},
        {"kivra-mkpatch", "--need", "option '--need' needs a value: --need VALUE"},
        {"kivra-update", "--bogus", "unknown option '--bogus'"},
        {"kivra-update", ". again", "one folder at most: 'again' after '.'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.program) + " " + c.arguments);
        const Ran r = Shell(scratch.path(), Program(c.program) + " " + c.arguments);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, std::string(c.program) + ": " + c.line + "\nTry '" + c.program + " --help'.\n");
    }
}

// -h is --help, for every program.
TEST(ToolCommandLine, DashHIsHelp)
{
    testutil::TempDir scratch;
    for (const char* program : {"pak", "lzh", "kivra-mkpatch", "kivra-update"}) {
        SCOPED_TRACE(program);
        const Ran help = Shell(scratch.path(), Program(program) + " --help");
        const Ran h = Shell(scratch.path(), Program(program) + " -h");
        EXPECT_EQ(h.status, 0) << h.err;
        EXPECT_EQ(h.out, help.out);
        EXPECT_NE(h.out.find("usage: "), std::string::npos);
    }
}

// What a program writes to standard output must reach it: into a full disk
// it fails with a line, as GNU tools do.
TEST(ToolCommandLine, StandardOutputThatCannotBeWrittenFailsTheRun)
{
    testutil::TempDir scratch;
    const fs::path folder = scratch.path();
    const std::string pak = Program("pak");
    ASSERT_EQ(Shell(folder, pak + " create game.pak && " + pak + " mkdir game.pak a/b").status, 0);
    ASSERT_EQ(Shell(folder, "echo text >file.txt && " + Program("lzh") + " a a.lzh file.txt").status, 0);
    const struct {
        const char* program;
        const char* arguments;
    } cases[] = {
        {"pak", "--help"},          {"pak", "--version"}, {"pak", "tree game.pak"}, {"lzh", "--help"},
        {"lzh", "l a.lzh"},         {"lzh", "p a.lzh"},   {"kivra-mkpatch", "-h"},  {"kivra-update", "--version"},
        {"kivra-update", "--help"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.program) + " " + c.arguments);
        const Ran r = Shell(folder, Program(c.program) + " " + c.arguments, ">/dev/full");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.rfind(std::string(c.program) + ": standard output: cannot be written", 0), 0u) << r.err;
    }
}

}  // namespace
