// Names found in any letter case from folder listings kept between lookups:
// after any change to a folder, by this process or another, a lookup gives
// what reading the folder afresh gives.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/AsciiCase.h"
#include "platform/Disk.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using testutil::TempDir;

namespace {

std::vector<std::string> Components(const std::string& path)
{
    std::vector<std::string> names;
    std::string name;
    for (const char c : path + "\\") {
        if (c != '\\') {
            name += c;
        } else if (!name.empty()) {
            names.push_back(name);
            name.clear();
        }
    }
    return names;
}

// The host path of rest (names joined by backslashes) below root, each
// folder read afresh: a name there as written is taken, else the least in
// byte order of those equal to it ignoring ASCII case; from the first that
// matches nothing on, names stay as written.
std::string Fresh(const std::string& root, const std::string& rest)
{
    std::string host = root;
    bool matching = true;
    for (const std::string& name : Components(rest)) {
        std::string chosen = name;
        if (matching) {
            bool exact = false;
            std::string least;
            std::error_code error;
            for (fs::directory_iterator it(host, error), end; !error && it != end; it.increment(error)) {
                const std::string held = it->path().filename().string();
                if (held == name) exact = true;
                if (ascii::EqualIgnoringCase(held, name) && (least.empty() || held < least)) least = held;
            }
            if (!exact) chosen = least;
            if (chosen.empty()) {
                chosen = name;
                matching = false;
            }
        }
        host += "/" + chosen;
    }
    return host;
}

std::string Resolved(const std::string& path)
{
    char host[kHostPathMax];
    return ResolveDiskPath(path.c_str(), host, sizeof host) ? host : "(none)";
}

void Touch(const std::string& path) { testutil::WriteFile(path, "x"); }

// Lays out entries below root: "Dir/" a folder, "Link->Target" a link,
// anything else a file.
void Lay(const std::string& root, const std::vector<std::string>& entries)
{
    for (const std::string& entry : entries) {
        const std::size_t arrow = entry.find("->");
        if (arrow != std::string::npos)
            fs::create_directory_symlink(entry.substr(arrow + 2), root + "/" + entry.substr(0, arrow));
        else if (entry.back() == '/')
            fs::create_directories(root + "/" + entry);
        else {
            fs::create_directories(fs::path(root + "/" + entry).parent_path());
            Touch(root + "/" + entry);
        }
    }
}

// Points the link at path to target, in one rename as a careful program does.
void Relink(const std::string& path, const std::string& target)
{
    fs::create_directory_symlink(target, path + ".new");
    fs::rename(path + ".new", path);
}

// Lets the clock's tick pass: a folder's listing read now is trusted for as
// long as the folder's times hold, not read again at each lookup as one
// changed within the tick is.
void Settle() { std::this_thread::sleep_for(std::chrono::milliseconds(10)); }

// Runs change in a child process, which exits at once.
void InAnotherProcess(const std::function<void()>& change)
{
    const pid_t child = fork();
    if (child == 0) {
        change();
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

class FolderListing : public ::testing::Test {
protected:
    void TearDown() override { fs::current_path(before); }
    const fs::path before = fs::current_path();
};

TEST_F(FolderListing, EachLookupSeesWhatOthersChangedSinceTheLast)
{
    struct Case {
        const char* what;
        std::vector<std::string> laid;
        std::function<void(const std::string& root)> change;  // by plain calls, or another process
        std::vector<std::string> lookups;                     // below root
    };
    const std::vector<std::string> items = {"sound\\item.TXT", "Sound\\Item.txt", "SOUND\\new.txt"};
    const Case cases[] = {
        {"a name made in another case", {"Sound/"}, [](auto& r) { Touch(r + "/Sound/ITEM.txt"); }, items},
        {"a name made as written", {"Sound/"}, [](auto& r) { Touch(r + "/Sound/Item.txt"); }, items},
        {"a name removed", {"Sound/Item.txt"}, [](auto& r) { fs::remove(r + "/Sound/Item.txt"); }, items},
        {"a name renamed to another case",
         {"Sound/item.txt"},
         [](auto& r) { fs::rename(r + "/Sound/item.txt", r + "/Sound/ITEM.TXT"); },
         items},
        {"a name renamed to another name",
         {"Sound/item.txt"},
         [](auto& r) { fs::rename(r + "/Sound/item.txt", r + "/Sound/NEW.txt"); },
         items},
        {"a second name equal but for case", {"Sound/item.txt"}, [](auto& r) { Touch(r + "/Sound/ITEM.txt"); }, items},
        {"the lesser of two names equal but for case removed",
         {"Sound/item.txt", "Sound/ITEM.txt"},
         [](auto& r) { fs::remove(r + "/Sound/ITEM.txt"); },
         items},
        {"a folder replaced by another of the same name",
         {"Sound/Item.txt"},
         [](auto& r) {
             fs::rename(r + "/Sound", r + "/Gone");
             fs::create_directory(r + "/Sound");
             Touch(r + "/Sound/ITEM.TXT");
         },
         items},
        {"a folder replaced by one of its name in another case",
         {"Sound/Item.txt"},
         [](auto& r) {
             fs::remove_all(r + "/Sound");
             fs::create_directory(r + "/SOUND");
             Touch(r + "/SOUND/new.TXT");
         },
         items},
        {"a folder made where a file was",
         {"sound"},
         [](auto& r) {
             fs::remove(r + "/sound");
             fs::create_directory(r + "/SOUND");
             Touch(r + "/SOUND/item.txt");
         },
         items},
        {"a link swapped",
         {"One/item.txt", "Two/ITEM.TXT", "Two/New.txt", "Sound->One"},
         [](auto& r) { Relink(r + "/Sound", "Two"); },
         items},
        {"a link swapped to nothing",
         {"One/item.txt", "Sound->One"},
         [](auto& r) { Relink(r + "/Sound", "Nothing"); },
         items},
        {"names made and removed by another process through the disk layer",
         {"Sound/item.txt", "Sound/Other.txt"},
         [](auto& r) {
             InAnotherProcess([&] {
                 RemoveDiskFile((r + "\\sound\\ITEM.TXT").c_str());
                 std::FILE* file = CreateNewDiskFile((r + "\\sound\\NEW.TXT").c_str());
                 if (file) std::fclose(file);
                 RenameDiskFile((r + "\\sound\\other.txt").c_str(), (r + "\\sound\\ITEM.txt").c_str());
             });
         },
         items},
    };
    for (const Case& test : cases) {
        for (const bool relative : {false, true}) {
            TempDir dir;
            const std::string& root = dir.path();
            Lay(root, test.laid);
            Settle();
            const std::string where = relative ? "" : root + "\\";
            if (relative) {
                ASSERT_EQ(ChangeDiskDirectory(root.c_str()), 0);
            }
            for (const std::string& lookup : test.lookups)
                EXPECT_EQ(Resolved(where + lookup), Fresh(root, lookup)) << test.what << ", before: " << lookup;
            test.change(root);
            for (const std::string& lookup : test.lookups)
                EXPECT_EQ(Resolved(where + lookup), Fresh(root, lookup))
                    << test.what << (relative ? " (relative)" : "") << ": " << lookup;
            fs::current_path(before);
        }
    }
}

TEST_F(FolderListing, TheCurrentDirectoryEnteredThroughALinkStaysWhereItIsWhenTheLinkIsSwapped)
{
    TempDir dir;
    const std::string& root = dir.path();
    Lay(root, {"One/item.txt", "One/Sub/a.txt", "Two/ITEM.TXT", "Two/New.txt", "Link->One"});
    Settle();
    ASSERT_EQ(ChangeDiskDirectory((root + "\\link").c_str()), 0);
    const std::vector<std::string> lookups = {"Item.txt", "new.txt", "sub\\A.TXT"};
    for (const std::string& lookup : lookups) EXPECT_EQ(Resolved(lookup), Fresh(root + "/Link", lookup)) << lookup;
    Relink(root + "/Link", "Two");
    // The process is in One still, and names are found there.
    const std::string here = fs::canonical(".").string();
    ASSERT_EQ(here, fs::canonical(root + "/One").string());
    for (const std::string& lookup : lookups) EXPECT_EQ(Resolved(lookup), Fresh(here, lookup)) << lookup;
    std::FILE* file = CreateNewDiskFile("MADE.txt");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    EXPECT_TRUE(fs::exists(root + "/One/MADE.txt"));
    EXPECT_EQ(Resolved("made.TXT"), here + "/MADE.txt");
}

// Random changes to a few folders, made through the disk layer (whose own
// changes the listings take) or by plain calls behind its back, with more
// folders looked into than listings are kept: every lookup, by a whole path
// or from the current directory, against a fresh read.
TEST_F(FolderListing, RandomChangesByThisProcessAndOthersAreAlwaysSeen)
{
    TempDir dir;
    const std::string root = dir.path();
    constexpr int kFolders = 20;
    // Names that are one another ignoring case, and many more, so that a
    // listing's table grows and is left with removed names.
    const std::vector<std::string> names = {"a.txt", "A.txt", "A.TXT", "b.dat", "B.DAT", "sub", "SUB", "Sub"};
    std::vector<std::string> fillers;
    for (int i = 0; i < 24; ++i) fillers.push_back((i % 2 ? "F" : "f") + std::to_string(i));
    for (int f = 0; f < kFolders; ++f) {
        fs::create_directories(root + "/d" + std::to_string(f));
        for (const std::string& filler : fillers) Touch(root + "/d" + std::to_string(f) + "/" + filler);
    }
    fs::create_directory_symlink("d0", root + "/Link");
    ASSERT_EQ(ChangeDiskDirectory(root.c_str()), 0);

    std::mt19937 random(31);
    auto pick = [&](const std::vector<std::string>& from) { return from[random() % from.size()]; };
    auto folder = [&] { return random() % 6 == 0 ? std::string("Link") : "d" + std::to_string(random() % kFolders); };
    std::string trace;
    for (int step = 0; step < 600; ++step) {
        const std::string in = folder();
        const std::string a = random() % 3 ? pick(names) : pick(fillers);
        const std::string b = random() % 3 ? pick(names) : pick(fillers);
        const std::string host = root + "/" + in + "/";
        const std::string disk = root + "\\" + in + "\\";
        std::error_code ignored;
        switch (random() % 12) {
        case 0: Touch(host + a); break;
        case 1: fs::remove(host + a, ignored); break;
        case 2: fs::rename(host + a, host + b, ignored); break;
        case 3: fs::create_directory(host + a, ignored); break;
        case 4: {
            std::FILE* file = CreateNewDiskFile((disk + a).c_str());
            if (file) std::fclose(file);
            break;
        }
        case 5: RemoveDiskFile((disk + a).c_str()); break;
        case 6: RenameDiskFile((disk + a).c_str(), (disk + b).c_str()); break;
        case 7: MakeDiskDirectory((disk + a).c_str()); break;
        case 8: RemoveDiskDirectory((disk + a).c_str()); break;
        case 9: {
            std::FILE* file = BeginDiskReplacement((disk + a).c_str());
            if (file) FinishDiskReplacement(file, DiskReplacementEnd::kReplace);
            break;
        }
        case 10: Relink(root + "/Link", "d" + std::to_string(random() % kFolders)); break;
        default: {
            // The folder moved away and another made in its place.
            if (in == "Link") break;
            fs::rename(root + "/" + in, root + "/moved", ignored);
            fs::create_directory(root + "/" + in);
            for (const std::string& filler : fillers)
                if (random() % 2) Touch(root + "/" + in + "/" + filler);
            fs::remove_all(root + "/moved");
        }
        }
        trace = "step " + std::to_string(step) + " in " + in;
        if (random() % 40 == 0) Settle();
        for (int look = 0; look < 4; ++look) {
            const std::string lookup = (look == 0 ? in : folder()) + "\\" + (look % 2 ? pick(fillers) : pick(names));
            ASSERT_EQ(Resolved(root + "\\" + lookup), Fresh(root, lookup)) << trace;
            ASSERT_EQ(Resolved(lookup), Fresh(root, lookup)) << trace << " (relative)";
        }
    }
}

}  // namespace
