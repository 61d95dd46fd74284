// A test fixture with a fresh pack open for writing, and helpers to put and
// read whole files through the engine.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "pack/PackFileManager.h"
#include "support/PackImage.h"
#include "support/TempDir.h"

class FreshPack : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(pack->Open(path.c_str(), "wb"), 1);
        pack->Close();
        ASSERT_EQ(pack->Open(path.c_str(), "rb+"), 1);
    }

    // Writes content as a new pack file at packPath; false on any failure.
    bool Put(const char* packPath, const std::vector<std::uint8_t>& content)
    {
        const int h = pack->OpenFile(packPath, 1, 1);
        if (h < 1) return false;
        bool ok = content.empty() || pack->Write(content.data(), content.size(), 1, h) == 1;
        return pack->CloseFile(h) == 0 && ok;
    }

    // The whole content of a pack file read through the engine.
    std::vector<std::uint8_t> Get(const char* packPath)
    {
        const int h = pack->OpenFile(packPath, 0, 1);
        if (h < 1) return {};
        std::vector<std::uint8_t> content(static_cast<std::size_t>(pack->GetLength(h)));
        if (!content.empty() && pack->Read(content.data(), content.size(), 1, h) != 1) content.clear();
        pack->CloseFile(h);
        return content;
    }

    // The host file as it stands on disk now.
    testpack::Image Stored() const
    {
        testpack::Image image;
        image.bytes = testutil::ReadFile(path);
        return image;
    }

    std::unique_ptr<CPackFileManager> pack = std::make_unique<CPackFileManager>();
    testutil::TempDir dir;
    std::string path = dir / "test.pak";
};

inline std::vector<std::uint8_t> Pattern(std::size_t size, unsigned seed = 1)
{
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    return bytes;
}

// A file's content read straight from the stored bytes: its chain followed
// through the stored table.
inline std::vector<std::uint8_t> ReadChain(const testpack::Image& image, std::int32_t first, std::uint32_t size)
{
    std::vector<std::uint8_t> content;
    std::int32_t block = first;
    while (content.size() < size && block > 0 && static_cast<std::size_t>(block) < image.Blocks()) {
        const std::size_t take = std::min<std::size_t>(testpack::kBlock, size - content.size());
        content.insert(content.end(),
                       image.bytes.begin() + static_cast<long>(image.At(static_cast<std::size_t>(block))),
                       image.bytes.begin() + static_cast<long>(image.At(static_cast<std::size_t>(block)) + take));
        block = image.Link(static_cast<std::size_t>(block));
    }
    return content;
}
