// What the engine refuses so that nothing is lost or misplaced: paths it
// cannot hold whole, and a second handle on a file that one is writing.
#include <gtest/gtest.h>

#include <functional>

#include "pack/PackCheck.h"
#include "pack/PackFind.h"
#include "support/PackFixture.h"

namespace {

using PackSafety = FreshPack;

TEST_F(PackSafety, PathsTooLongForTheEngineAreRefusedNeverCut)
{
    // "d...d" (94 characters) exists: a longer name or path would reach it,
    // or a directory named after its first part, if it were cut short.
    const std::string name94(94, 'd');
    ASSERT_EQ(pack->MakeDir(name94.c_str()), 0);
    ASSERT_TRUE(Put((name94 + "\\file").c_str(), Pattern(10)));
    std::string longPath;  // 300 bytes of short components
    while (longPath.size() < 300) longPath += "abcdefghi\\";
    const std::string name95 = name94 + "d";

    const struct {
        const char* what;
        std::function<bool(CPackFileManager&)> refused;
    } cases[] = {
        {"MakeDir of a long path", [&](CPackFileManager& p) { return p.MakeDir(longPath.c_str()) == -1; }},
        {"MakeDir of a long name", [&](CPackFileManager& p) { return p.MakeDir(name95.c_str()) == -1; }},
        {"ChangeDir to a long name", [&](CPackFileManager& p) { return p.ChangeDir(name95.c_str()) == -1; }},
        {"ChangeDir past 259 bytes",
         [&](CPackFileManager& p) { return p.ChangeDir(("Z:\\" + name94 + "\\" + longPath).c_str()) == -1; }},
        {"OpenFile to write a long path",
         [&](CPackFileManager& p) { return p.OpenFile((longPath + "f").c_str(), 1, 3) == -1; }},
        {"OpenFile to write a long name",
         [&](CPackFileManager& p) { return p.OpenFile((name94 + "\\" + std::string(95, 'f')).c_str(), 1, 1) == -1; }},
        {"OpenFile to read past 259 bytes",
         [&](CPackFileManager& p) {
             return p.OpenFile((name94 + "\\file" + std::string(200, '\\')).c_str(), 0, 3) == -1;
         }},
        {"RemoveFile of a long name",
         [&](CPackFileManager& p) {
             return p.ChangeDir(name94.c_str()) == 0 && p.RemoveFile(("file" + std::string(91, 'x')).c_str()) == -1;
         }},
        {"FindFirst of a long pattern",
         [&](CPackFileManager& p) {
             CPackFind find;
             return find.FindFirst(&p, (name94 + "\\" + std::string(200, '\\') + "*.*").c_str(), 3) == 1;
         }},
    };
    pack->Close();
    const std::vector<std::uint8_t> before = testutil::ReadFile(path);
    for (const auto& c : cases) {
        ASSERT_EQ(pack->Open(path.c_str(), "rb+"), 1);
        EXPECT_TRUE(c.refused(*pack)) << c.what;
        pack->Close();
        EXPECT_EQ(testutil::ReadFile(path), before) << c.what;
    }
}

TEST_F(PackSafety, AFileBeingWrittenHasNoSecondHandleAndStaysWhileOpen)
{
    ASSERT_TRUE(Put("old", Pattern(5000, 1)));
    // What a second open or a removal gives while the first handle is open,
    // for a file that exists (a replacement) and one the writer makes.
    const struct {
        const char* name;
        int firstAccess;
        int secondAccess;  // -1: RemoveFile instead
        bool secondAllowed;
    } cases[] = {
        {"old", 1, 1, false}, {"old", 1, 0, false}, {"old", 1, -1, false}, {"old", 0, 1, false},  {"old", 0, -1, false},
        {"old", 0, 0, true},  {"new", 1, 1, false}, {"new", 1, 0, false},  {"new", 1, -1, false},
    };
    for (const auto& c : cases) {
        const std::string what =
            std::string(c.name) + " " + std::to_string(c.firstAccess) + "/" + std::to_string(c.secondAccess);
        const int first = pack->OpenFile(c.name, c.firstAccess, 1);
        ASSERT_GE(first, 1) << what;
        if (c.firstAccess == 1) {
            ASSERT_EQ(pack->Write(Pattern(3000, 2).data(), 3000, 1, first), 1u) << what;
        }
        const int second = c.secondAccess < 0 ? pack->RemoveFile(c.name) : pack->OpenFile(c.name, c.secondAccess, 1);
        EXPECT_EQ(second != -1, c.secondAllowed) << what;
        if (c.secondAccess >= 0 && second > 0) {
            if (c.secondAccess == 1) pack->Write(Pattern(7000, 3).data(), 7000, 1, second);
            pack->CloseFile(second);
        }
        EXPECT_EQ(pack->CloseFile(first), 0) << what;
        pack->Close();
        const pack::CheckResult check = pack::CheckPackFile(path.c_str());
        EXPECT_TRUE(check.Clean()) << what << ": " << (check.problems.empty() ? "lost blocks" : check.problems[0]);
        ASSERT_EQ(pack->Open(path.c_str(), "rb+"), 1);
        EXPECT_EQ(Get(c.name), c.firstAccess == 1 ? Pattern(3000, 2) : Pattern(5000, 1)) << what;
        ASSERT_TRUE(Put("old", Pattern(5000, 1)));
        pack->RemoveFile("new");
    }
}

}  // namespace
