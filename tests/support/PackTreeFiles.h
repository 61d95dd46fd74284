// Trees of files for the tests: content made up, and packs made of it
// through the engine.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "pack/PackFileManager.h"

namespace testtree {

using Bytes = std::vector<std::uint8_t>;
// Pack path ("a\b") to content; directories end in "\".
using Tree = std::map<std::string, Bytes>;

inline Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Bytes that do not compress.
inline Bytes Noise(std::size_t size, unsigned seed)
{
    Bytes b(size);
    std::uint32_t x = seed * 7919u + 17u;
    for (auto& c : b) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<std::uint8_t>(x);
    }
    return b;
}

// Makes a pack holding tree, through the engine.
inline void MakePack(const std::string& path, const Tree& tree)
{
    auto engine = std::make_unique<CPackFileManager>();
    ASSERT_EQ(engine->Open(path.c_str(), "wb"), 1);
    engine->Close();
    ASSERT_EQ(engine->Open(path.c_str(), "rb+"), 1);
    for (const auto& [name, content] : tree) {
        const std::string full = "Z:\\" + name;
        if (name.back() == '\\') {
            ASSERT_EQ(engine->MakeDir(full.c_str()), 0) << name;
            continue;
        }
        const std::size_t cut = full.rfind('\\');
        ASSERT_EQ(engine->MakeDir(full.substr(0, cut).c_str()), 0);
        const int h = engine->OpenFile(full.c_str(), 1, 1);
        ASSERT_GE(h, 1) << name;
        if (!content.empty()) {
            ASSERT_EQ(engine->Write(content.data(), content.size(), 1, h), 1u);
        }
        engine->CloseFile(h);
    }
    engine->Close();
}

}  // namespace testtree
