// Conformance with other LHA tools, run as black boxes: the corpus extracted
// by lhasa and by our reader, and archives made by jlha extracted back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>

#include "lzh/LzhArchive.h"
#include "lzh/LzhTestSupport.h"

using namespace lzhtest;

namespace {

// Where our extraction differs from lhasa's, and why.
struct Difference {
    std::vector<std::string> oursOnly;
    std::vector<std::string> lhasaOnly;
};
const std::map<std::string, Difference> kKnownDifferences = {
    // lhasa stops at the second member, whose directory "subdir" is a file.
    {"lh2_222/easubdir.lzh", {{"Apply-Ea.Cmd"}, {}}},
    // lhasa stops at the zero-length -lh0- member that has no name.
    {"lha_amiga_122/lh0_dirs_bug.lzh", {{"04_File.txt"}, {}}},
    // lhasa reads no member from these level-0 archives with empty names.
    {"lha_osk_201/h0_subdir.lzh", {{"hello.txt"}, {}}},
    {"lha_unix114i/h0_subdir.lzh", {{"hello.txt"}, {}}},
    // The name begins with a backslash: refused as absolute.
    {"lhmelt_16536/h0_subdir.lzh", {{}, {"subdir/subdir2/hello.txt"}}},
    // The CRC fails, so nothing is written; lhasa keeps what it decoded.
    {"regression/truncated.lzh", {{}, {"gpl-2"}}},
    // Symbolic links are directory entries to us, and directories from
    // extended headers are not applied: "passwd" lands in the current
    // directory. lhasa leaves an empty placeholder for the link.
    {"regression/symlink2.lzh", {{"passwd"}, {"etc"}}},
    {"regression/symlink3.lzh", {{"passwd"}, {"etc"}}},
};
// MacLHA wraps these members in MacBinary: a 128-byte header, the file, and
// padding to a multiple of 128. From level-1 and level-2 headers, which name
// the Macintosh as their system, lhasa takes the file out; we write the
// member's content as it is.
const std::set<std::string> kMacBinary = {
    "maclha_224/l1_lh0.lzh", "maclha_224/l1_lh5.lzh", "maclha_224/l1_subdir.lzh", "maclha_224/l1_full_subdir.lzh",
    "maclha_224/l2_lh0.lzh", "maclha_224/l2_lh5.lzh", "maclha_224/l2_subdir.lzh", "maclha_224/l2_full_subdir.lzh",
};
// 4.7 GB of content, its size in a 64-bit extended header.
const std::set<std::string> kNotCompared = {"morphos_lha_2717/h2_huge.lzh"};

std::vector<std::string> Level1Archives()
{
    std::ifstream list(kCorpus + "/LEVEL1.txt");
    std::vector<std::string> archives;
    for (std::string line; std::getline(list, line);)
        if (!line.empty()) archives.push_back(line);
    return archives;
}

std::vector<std::string> OtherArchives()
{
    const std::vector<std::string> level1 = Level1Archives();
    std::vector<std::string> archives;
    for (const std::string& file : FilesBelow(kCorpus)) {
        if (file.size() > 4 && file.compare(file.size() - 4, 4, ".lzh") == 0 &&
            std::find(level1.begin(), level1.end(), file) == level1.end() && !kNotCompared.count(file))
            archives.push_back(file);
    }
    return archives;
}

std::string Lower(std::string text)
{
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string BaseName(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

void ExtractHere(const std::string& dir, const std::string& archive)
{
    InDirectory in(dir);
    ::testing::internal::CaptureStderr();
    ExtractLzhArchive(archive.c_str());
    ::testing::internal::GetCapturedStderr();
}

void CompareWithLhasa(const std::string& archive)
{
    SCOPED_TRACE(archive);
    testutil::TempDir temp;
    const std::string lhasaDir = temp / "lhasa";
    const std::string oursDir = temp / "ours";
    std::filesystem::create_directory(lhasaDir);
    std::filesystem::create_directory(oursDir);
    RunShell("cd " + Quote(lhasaDir) + " && lhasa xf " + Quote(kCorpus + "/" + archive) +
             " </dev/null >/dev/null 2>&1");
    // The reader makes no directories: give it those lhasa made.
    for (const auto& entry : std::filesystem::recursive_directory_iterator(lhasaDir)) {
        if (entry.is_directory() && !entry.is_symlink())
            std::filesystem::create_directories(oursDir / std::filesystem::relative(entry.path(), lhasaDir));
    }
    ExtractHere(oursDir, kCorpus + "/" + archive);

    // Each of our files matches lhasa's at the same path, or lhasa's of the
    // same name where the directory came from an extended header.
    const std::vector<std::string> ours = FilesBelow(oursDir);
    std::vector<std::string> theirs = FilesBelow(lhasaDir);
    Difference found;
    for (const std::string& file : ours) {
        auto match =
            std::find_if(theirs.begin(), theirs.end(), [&](const std::string& t) { return Lower(t) == Lower(file); });
        if (match == theirs.end()) {
            match = std::find_if(theirs.begin(), theirs.end(),
                                 [&](const std::string& t) { return Lower(BaseName(t)) == Lower(BaseName(file)); });
        }
        if (match == theirs.end()) {
            found.oursOnly.push_back(file);
            continue;
        }
        Bytes content = testutil::ReadFile(oursDir + "/" + file);
        const Bytes expected = testutil::ReadFile(lhasaDir + "/" + *match);
        if (kMacBinary.count(archive)) {
            EXPECT_EQ(content.size(), 128 + (expected.size() + 127) / 128 * 128) << file;
            content =
                Bytes(content.begin() + 128, content.begin() + 128 + static_cast<std::ptrdiff_t>(expected.size()));
        }
        EXPECT_TRUE(content == expected) << file << " differs from lhasa's " << *match;
        theirs.erase(match);
    }
    found.lhasaOnly = theirs;
    const auto known = kKnownDifferences.find(archive);
    const Difference expected = known == kKnownDifferences.end() ? Difference{} : known->second;
    EXPECT_EQ(found.oursOnly, expected.oursOnly);
    EXPECT_EQ(found.lhasaOnly, expected.lhasaOnly);
}

// Pseudo-text of count bytes: words of a small vocabulary, with lines.
lzhtest::Bytes Prose(std::size_t count, std::uint32_t seed)
{
    static const char* const kSyllables[] = {"ka", "ri", "vo", "nel", "sta", "qu", "ex", "lo", "mar", "ti", "un", "ze"};
    std::mt19937 random(seed);
    Bytes out;
    while (out.size() < count) {
        const int syllables = 1 + static_cast<int>(random() % 4);
        for (int i = 0; i < syllables; ++i) {
            const char* s = kSyllables[random() % 12];
            out.insert(out.end(), s, s + std::char_traits<char>::length(s));
        }
        out.push_back(random() % 11 == 0 ? '\n' : ' ');
    }
    out.resize(count);
    return out;
}

void ExpectSameFiles(const std::string& dir, const std::map<std::string, Bytes>& files)
{
    std::vector<std::string> names;
    for (const auto& [name, content] : files) {
        names.push_back(name);
        EXPECT_TRUE(testutil::ReadFile(dir + "/" + name) == content) << name;
    }
    EXPECT_EQ(FilesBelow(dir), names);
}

}  // namespace

TEST(LzhConformance, Level1CorpusExtractsAsLhasaDoes)
{
    if (!HaveCorpus()) GTEST_SKIP() << CorpusMissing();
    if (!HaveCommand("lhasa")) GTEST_SKIP() << "needs lhasa";
    const std::vector<std::string> archives = Level1Archives();
    ASSERT_GE(archives.size(), 50u);
    for (const std::string& archive : archives) CompareWithLhasa(archive);
}

TEST(LzhConformance, Level0And2CorpusExtractsAsLhasaDoes)
{
    if (!HaveCorpus()) GTEST_SKIP() << CorpusMissing();
    if (!HaveCommand("lhasa")) GTEST_SKIP() << "needs lhasa";
    const std::vector<std::string> archives = OtherArchives();
    ASSERT_GE(archives.size(), 70u);
    for (const std::string& archive : archives) CompareWithLhasa(archive);
}

TEST(LzhConformance, Lh4SamplesDecodeToTheirCrc)
{
    if (!HaveCorpus()) GTEST_SKIP() << CorpusMissing();
    for (const char* archive : {"lha_amiga_122/lh4.lzh", "lha_amiga_122/lh4_long.lzh"}) {
        SCOPED_TRACE(archive);
        ASSERT_TRUE(OpenLzhArchive((kCorpus + "/" + archive).c_str()));
        ASSERT_TRUE(ReadMemberHeader());
        EXPECT_EQ(lzhReader.header[3], '4');
        EXPECT_EQ(TestMember(), LzhMemberCheck::Good);
        EXPECT_FALSE(ReadMemberHeader());
        EXPECT_EQ(lzhReader.walkEnd, LzhWalkEnd::EndMarker);
        CloseLzhArchive();
    }
}

TEST(LzhConformance, RegressionArchivesWriteNothingOutsideTheCurrentDirectory)
{
    if (!HaveCorpus()) GTEST_SKIP() << CorpusMissing();
    const bool hadTmpFile = std::filesystem::exists("/tmp/absolute_path.txt");
    const std::map<std::string, std::vector<std::string>> written = {
        {"regression/abspath.lzh", {"absolute_path.txt"}}, {"regression/dotdot.lzh", {"evil1.txt", "evil2.txt"}},
        {"regression/symlink2.lzh", {"passwd"}},           {"regression/symlink3.lzh", {"passwd"}},
        {"tascal_lha_051h/abspath.lzh", {"hello.txt"}},    {"regression/truncated.lzh", {}},
    };
    for (const auto& [archive, files] : written) {
        SCOPED_TRACE(archive);
        testutil::TempDir outer;
        const std::string inner = outer / "inner";
        std::filesystem::create_directory(inner);
        ExtractHere(inner, kCorpus + "/" + archive);
        EXPECT_EQ(FilesBelow(inner), files);
        // The parent holds nothing but the extraction directory.
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(outer.path()), {}), 1);
    }
    if (!hadTmpFile) {
        EXPECT_FALSE(std::filesystem::exists("/tmp/absolute_path.txt"));
    }
}

TEST(LzhConformance, JlhaArchivesOfManyShapesExtractBack)
{
    if (!HaveCommand("jlha")) {
        GTEST_SKIP() << "needs jlha";
    }
    std::map<std::string, Bytes> shapes = {
        {"empty.bin", {}},
        {"one.bin", {'A'}},
        {"8191.txt", Prose(8191, 1)},
        {"8192.txt", Prose(8192, 2)},
        {"8193.txt", Prose(8193, 3)},
        {"runs.bin", Concat({Bytes(100000, 'a'), Prose(5000, 4), Bytes(70000, 0), Bytes(3, 'b')})},
        {"prose.txt", Prose(3'000'000, 5)},
    };
    std::mt19937 random(6);
    Bytes noise(200000);
    for (auto& byte : noise) byte = static_cast<std::uint8_t>(random());
    shapes["random.bin"] = noise;
    for (int i = 0; i < 60; ++i)
        shapes["m" + std::to_string(100 + i) + ".txt"] =
            Prose(static_cast<std::size_t>(i * 37), 100u + static_cast<std::uint32_t>(i));

    testutil::TempDir temp;
    std::string names;
    for (const auto& [name, content] : shapes) names += " " + name;
    auto makeArchive = [&](const std::string& command, const std::string& source,
                           const std::map<std::string, Bytes>& files) {
        std::filesystem::create_directory(temp / source);
        for (const auto& [name, content] : files) testutil::WriteFile(temp / (source + "/" + name), content);
        ASSERT_EQ(RunShell("cd " + Quote(temp / source) + " && jlha " + command + " ../" + source + ".lzh" + names +
                           " >/dev/null 2>&1"),
                  0);
    };
    std::map<std::string, Bytes> stored = shapes;
    shapes["dup.txt"] = Text("from the -lh5- archive");
    stored["dup.txt"] = Text("from the -lh0- archive");
    names += " dup.txt";
    makeArchive("a1", "five", shapes);
    makeArchive("az1", "zero", stored);

    // jlha keeps members it can't shrink stored; the others must be -lh5-.
    std::set<std::string> compressed;
    ASSERT_TRUE(OpenLzhArchive((temp / "five.lzh").c_str()));
    while (ReadMemberHeader()) {
        EXPECT_EQ(lzhReader.level, 1);
        if (lzhReader.header[3] == '5') compressed.insert(LzhMemberName());
        SkipMember();
    }
    CloseLzhArchive();
    for (const char* name : {"prose.txt", "runs.bin", "8191.txt", "8192.txt", "8193.txt", "m159.txt"})
        EXPECT_TRUE(compressed.count(name)) << name;

    for (const char* source : {"five", "zero"}) {
        const std::string out = temp / (std::string(source) + "-out");
        std::filesystem::create_directory(out);
        ExtractHere(out, temp / (std::string(source) + ".lzh"));
        ExpectSameFiles(out, source == std::string("five") ? shapes : stored);
    }

    // Both archives in one: each member of the second replaces the first's.
    Bytes both = testutil::ReadFile(temp / "five.lzh");
    ASSERT_EQ(both.back(), 0);
    both.pop_back();
    both = Concat({both, testutil::ReadFile(temp / "zero.lzh")});
    testutil::WriteFile(temp / "both.lzh", both);
    const std::string out = temp / "both-out";
    std::filesystem::create_directory(out);
    ExtractHere(out, temp / "both.lzh");
    ExpectSameFiles(out, stored);
}
