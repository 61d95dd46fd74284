// The layers depend downwards only: platform <- pack, lzh <- update <- app <-
// tools; version, the product's version and below them all, is read by app
// and tools. Every #include "..." of the product's sources is read and checked:
// the folders it may reach, the platform's two sides, the tools' folders and
// circles of files.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The folders a folder's sources may include from.
const std::map<std::string, std::set<std::string>> kAllowed = {
    {"version", {"version"}},
    {"platform", {"platform"}},
    {"pack", {"pack", "platform"}},
    {"lzh", {"lzh", "platform"}},
    {"update", {"update", "pack", "lzh", "platform"}},
    {"app", {"app", "update", "pack", "lzh", "platform", "version"}},
    {"tools", {"tools", "app", "update", "pack", "lzh", "platform", "version"}},
};

struct Include {
    std::string from;  // the including file, from the source folder: "lzh/LzhWriter.cpp"
    int line;
    std::string to;  // the file included, as written: "lzh/LzhCrc.h"
};

std::string Where(const Include& include) { return include.from + ":" + std::to_string(include.line); }

// Every #include "..." of every product source.
const std::vector<Include>& ProductIncludes()
{
    static const std::vector<Include> includes = [] {
        std::vector<Include> found;
        const std::regex include(R"re(^\s*#\s*include\s*"([^"]+)")re");
        for (const auto& [layer, allowed] : kAllowed) {
            for (const auto& item : fs::recursive_directory_iterator(fs::path(KIVRA_SOURCE_DIR) / layer)) {
                const std::string extension = item.path().extension().string();
                if (extension != ".h" && extension != ".cpp") continue;
                const std::string from = fs::relative(item.path(), KIVRA_SOURCE_DIR).generic_string();
                std::ifstream in(item.path());
                int number = 0;
                for (std::string line; std::getline(in, line);) {
                    ++number;
                    std::smatch m;
                    if (std::regex_search(line, m, include)) found.push_back({from, number, m[1]});
                }
            }
        }
        return found;
    }();
    return includes;
}

// The first folders of a path: Folder("platform/posix/Disk.cpp", 2) is
// "platform/posix".
std::string Folder(const std::string& path, int depth)
{
    std::size_t end = 0;
    for (int i = 0; i < depth; ++i) {
        end = path.find('/', i == 0 ? 0 : end + 1);
        if (end == std::string::npos) return path;
    }
    return path.substr(0, end);
}

TEST(Layering, NoSourceIncludesFromALayerAboveIt)
{
    for (const Include& include : ProductIncludes()) {
        if (include.to.find('/') == std::string::npos) continue;
        const std::string to = Folder(include.to, 1);
        EXPECT_TRUE(kAllowed.at(Folder(include.from, 1)).count(to)) << Where(include) << " includes from " << to << "/";
    }
    EXPECT_GT(ProductIncludes().size(), 200u);
}

// Each side of the platform is chosen at link time: only its own files know
// it, and no tool reaches into another tool's folder.
TEST(Layering, ThePlatformsSidesAndEachToolKeepTheirFilesToThemselves)
{
    for (const Include& include : ProductIncludes()) {
        for (const std::string side : {"platform/posix", "platform/win32"}) {
            if (Folder(include.to, 2) == side) {
                EXPECT_EQ(Folder(include.from, 2), side) << Where(include) << " includes " << include.to;
            }
        }
        if (Folder(include.to, 1) == "tools" && Folder(include.to, 2) != "tools/common") {
            EXPECT_EQ(Folder(include.from, 2), Folder(include.to, 2)) << Where(include) << " includes " << include.to;
        }
    }
}

// A file's node is its path without the extension: a header and the source
// that implements it are one.
std::string Node(const std::string& path) { return path.substr(0, path.rfind('.')); }

// Walks the graph from node on and adds to circles each circle it closes, as
// "a -> b -> a". state: 1 while a node is on the walk, 2 once it is done.
void FindCircles(const std::map<std::string, std::set<std::string>>& edges, const std::string& node,
                 std::map<std::string, int>& state, std::vector<std::string>& walk, std::vector<std::string>& circles)
{
    state[node] = 1;
    walk.push_back(node);
    const auto out = edges.find(node);
    for (const std::string& next : out == edges.end() ? std::set<std::string>{} : out->second) {
        if (state[next] == 0) FindCircles(edges, next, state, walk, circles);
        if (state[next] != 1) continue;
        std::string circle;
        for (auto at = std::find(walk.begin(), walk.end(), next); at != walk.end(); ++at) circle += *at + " -> ";
        circles.push_back(circle + next);
    }
    walk.pop_back();
    state[node] = 2;
}

TEST(Layering, NoCircleOfFiles)
{
    std::map<std::string, std::set<std::string>> edges;
    for (const Include& include : ProductIncludes())
        if (Node(include.from) != Node(include.to)) edges[Node(include.from)].insert(Node(include.to));
    std::map<std::string, int> state;
    std::vector<std::string> walk, circles;
    for (const auto& [node, out] : edges)
        if (state[node] == 0) FindCircles(edges, node, state, walk, circles);
    for (const std::string& circle : circles) ADD_FAILURE() << circle;
}

// Every Linux file says what its one job is in its first line, and is a
// header, has one of its name, or implements a header of the platform.
TEST(Layering, EveryLinuxFileStatesItsJobAndItsHeader)
{
    const fs::path source(KIVRA_SOURCE_DIR);
    for (const auto& item : fs::directory_iterator(source / "platform/posix")) {
        const fs::path& path = item.path();
        const std::string name = fs::relative(path, source).generic_string();
        std::ifstream in(path);
        std::string first;
        std::getline(in, first);
        EXPECT_EQ(first.rfind("// ", 0), 0u) << name << " begins " << first;
        if (path.extension() != ".cpp") continue;
        fs::path header = path;
        header.replace_extension(".h");
        const bool implements = fs::exists(header) || fs::exists(source / "platform" / header.filename()) ||
                                first.find("platform/") != std::string::npos;
        EXPECT_TRUE(implements) << name << ": no header of its name, and its first line names none";
    }
}

}  // namespace
