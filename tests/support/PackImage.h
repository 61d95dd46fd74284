// An independent model of the pack file layout, written from the format table
// alone, so that tests compare the engine's bytes with bytes built another way.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace testpack {

constexpr std::size_t kHeader = 512;
constexpr std::size_t kTableAt = 512;
constexpr std::size_t kEntries = 128000;
constexpr std::size_t kDataAt = 512 + 4 * kEntries;  // 512,512
constexpr std::size_t kBlock = 2048;

inline void Put32(std::vector<std::uint8_t>& image, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i) image[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

inline std::uint32_t Get32(const std::vector<std::uint8_t>& image, std::size_t at)
{
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | image[at + i];
    return v;
}

struct Entry {
    std::uint8_t inUse = 1;
    std::string name;
    std::uint32_t timeHigh = 0;
    std::uint32_t timeLow = 0;
    std::int32_t storedBlock = 0;
    std::int32_t storedSlot = 0;
    std::int32_t first = 0;
    std::uint32_t size = 0;
    std::uint8_t type = 1;
    std::uint8_t contiguous = 0;
};

// A pack image: header, table and blocks, each byte where the layout puts it.
class Image {
public:
    explicit Image(std::size_t blocks = 1) : bytes(kDataAt + kBlock * blocks, 0)
    {
        const char banner[] = "Pen Dix File Manager!\n";
        std::memcpy(bytes.data(), banner, 22);
        std::memcpy(bytes.data() + 30, "Z:\\", 3);
        Put32(bytes, 431, 1000);
        for (std::size_t b = 0; b < kEntries; ++b) SetLink(b, -1);
        SetLink(0, 0);
        PutEntry(0, 0, Entry{1, ".", 0, 0, 0, 0, 0, 0, 1, 0});
    }

    std::size_t Blocks() const { return (bytes.size() - kDataAt) / kBlock; }
    void SetLink(std::size_t block, std::int32_t next)
    {
        Put32(bytes, kTableAt + 4 * block, static_cast<std::uint32_t>(next));
    }
    std::int32_t Link(std::size_t block) const { return static_cast<std::int32_t>(Get32(bytes, kTableAt + 4 * block)); }
    std::size_t At(std::size_t block, std::size_t slot = 0) const { return kDataAt + kBlock * block + 128 * slot; }

    void PutEntry(std::size_t block, std::size_t slot, const Entry& e)
    {
        const std::size_t at = At(block, slot);
        std::memset(bytes.data() + at, 0, 128);
        bytes[at] = e.inUse;
        std::memcpy(bytes.data() + at + 1, e.name.data(), e.name.size());
        Put32(bytes, at + 99, e.timeHigh);
        Put32(bytes, at + 104, static_cast<std::uint32_t>(e.storedBlock));
        Put32(bytes, at + 108, static_cast<std::uint32_t>(e.storedSlot));
        Put32(bytes, at + 112, static_cast<std::uint32_t>(e.first));
        Put32(bytes, at + 116, e.size);
        Put32(bytes, at + 120, e.timeLow);
        bytes[at + 124] = e.type;
        bytes[at + 125] = e.contiguous;
    }

    Entry GetEntry(std::size_t block, std::size_t slot) const
    {
        const std::size_t at = At(block, slot);
        Entry e;
        e.inUse = bytes[at];
        e.name.assign(reinterpret_cast<const char*>(bytes.data() + at + 1),
                      strnlen(reinterpret_cast<const char*>(bytes.data() + at + 1), 95));
        e.timeHigh = Get32(bytes, at + 99);
        e.storedBlock = static_cast<std::int32_t>(Get32(bytes, at + 104));
        e.storedSlot = static_cast<std::int32_t>(Get32(bytes, at + 108));
        e.first = static_cast<std::int32_t>(Get32(bytes, at + 112));
        e.size = Get32(bytes, at + 116);
        e.timeLow = Get32(bytes, at + 120);
        e.type = bytes[at + 124];
        e.contiguous = bytes[at + 125];
        return e;
    }

    // Appends a zero-filled block, free in the table; its number.
    std::size_t AddBlock()
    {
        bytes.resize(bytes.size() + kBlock, 0);
        return Blocks() - 1;
    }

    // A new one-block directory listed in slot of the directory whose first
    // block is parent; its block.
    std::size_t AddDirectory(std::size_t parent, std::size_t slot, const std::string& name)
    {
        const std::size_t block = AddBlock();
        SetLink(block, 0);
        const auto first = static_cast<std::int32_t>(block);
        PutEntry(block, 0, Entry{1, ".", 0, 0, 0, 0, first, 0, 1, 0});
        PutEntry(block, 1, Entry{1, "..", 0, 0, 0, 0, static_cast<std::int32_t>(parent), 0, 1, 0});
        PutEntry(parent, slot, Entry{1, name, 0, 0, 0, 0, first, 0, 1, 0});
        return block;
    }

    // A new file listed in (dir, slot) whose data fill new consecutive blocks;
    // its first block (0 for no data).
    std::size_t AddFile(std::size_t dir, std::size_t slot, const std::string& name,
                        const std::vector<std::uint8_t>& data)
    {
        std::size_t first = 0;
        for (std::size_t at = 0; at < data.size(); at += kBlock) {
            const std::size_t block = AddBlock();
            if (at == 0)
                first = block;
            else
                SetLink(block - 1, static_cast<std::int32_t>(block));
            SetLink(block, 0);
            std::memcpy(bytes.data() + At(block), data.data() + at, std::min(kBlock, data.size() - at));
        }
        PutEntry(dir, slot,
                 Entry{1, name, 0, 0, 0, 0, static_cast<std::int32_t>(first), static_cast<std::uint32_t>(data.size()),
                       2, 1});
        return first;
    }

    // Blocks of the data area whose table entry is not free.
    std::size_t Used() const
    {
        std::size_t used = 0;
        for (std::size_t b = 0; b < Blocks(); ++b) used += Link(b) != -1;
        return used;
    }

    std::vector<std::uint8_t> bytes;
};

// The blocks of the chain from first in order; false when a link leaves the
// data area, meets a free block or loops.
inline bool ChainOf(const Image& image, std::int32_t first, std::vector<std::size_t>& blocks)
{
    blocks.clear();
    for (std::int32_t b = first;;) {
        if (b < 0 || static_cast<std::size_t>(b) >= image.Blocks() || image.Link(static_cast<std::size_t>(b)) == -1 ||
            blocks.size() >= image.Blocks())
            return false;
        blocks.push_back(static_cast<std::size_t>(b));
        b = image.Link(static_cast<std::size_t>(b));
        if (b == 0) return true;
    }
}

// One entry of a stored tree, with a file's bytes read along its chain.
struct Node {
    std::string path;  // below the directory read, with backslashes
    Entry entry;
    std::vector<std::uint8_t> data;
};

// Reads the tree below the directory whose first block is dir: depth first,
// in slot order, a directory before its contents, "." and ".." left out.
// False on a broken chain, a file whose chain does not hold its size, or a
// tree deeper than any test builds.
inline bool ReadTree(const Image& image, std::vector<Node>& nodes, std::int32_t dir = 0, const std::string& prefix = "")
{
    std::vector<std::size_t> blocks;
    if (prefix.size() > 2000 || !ChainOf(image, dir, blocks)) return false;
    for (const std::size_t block : blocks) {
        for (std::size_t slot = 0; slot < 16; ++slot) {
            Node node{"", image.GetEntry(block, slot), {}};
            if (node.entry.inUse != 1 || node.entry.name == "." || node.entry.name == "..") continue;
            node.path = prefix + node.entry.name;
            if (node.entry.type == 1) {
                nodes.push_back(node);
                if (!ReadTree(image, nodes, node.entry.first, node.path + "\\")) return false;
                continue;
            }
            std::vector<std::size_t> chain;
            if (node.entry.first != 0 && !ChainOf(image, node.entry.first, chain)) return false;
            for (const std::size_t b : chain) {
                const std::size_t take = std::min<std::size_t>(kBlock, node.entry.size - node.data.size());
                node.data.insert(node.data.end(), image.bytes.begin() + static_cast<long>(image.At(b)),
                                 image.bytes.begin() + static_cast<long>(image.At(b) + take));
            }
            if (node.data.size() != node.entry.size) return false;
            nodes.push_back(node);
        }
    }
    return true;
}

}  // namespace testpack
