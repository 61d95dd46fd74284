// The layers depend downwards only: platform <- pack, lzh <- update <- app <-
// tools; version, the product's version and below them all, is read by app
// and tools. Every #include "..." of the product's sources is read and checked.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>

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

TEST(Layering, NoSourceIncludesFromALayerAboveIt)
{
    const std::regex include(R"re(^\s*#\s*include\s*"([^"/]+)/)re");
    int files = 0;
    for (const auto& [layer, allowed] : kAllowed) {
        for (const auto& item : fs::recursive_directory_iterator(fs::path(KIVRA_SOURCE_DIR) / layer)) {
            const std::string extension = item.path().extension().string();
            if (extension != ".h" && extension != ".cpp") continue;
            ++files;
            std::ifstream in(item.path());
            int number = 0;
            for (std::string line; std::getline(in, line);) {
                ++number;
                std::smatch m;
                if (!std::regex_search(line, m, include)) continue;
                EXPECT_TRUE(allowed.count(m[1])) << fs::relative(item.path(), KIVRA_SOURCE_DIR).string() << ":"
                                                 << number << " includes from " << m[1] << "/";
            }
        }
    }
    EXPECT_GT(files, 50);
}

}  // namespace
