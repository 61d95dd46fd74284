// An independent model of the pack file layout, written from the format table
// alone, so that tests compare the engine's bytes with bytes built another way.
#pragma once

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
    void SetLink(std::size_t block, std::int32_t next) { Put32(bytes, kTableAt + 4 * block, static_cast<std::uint32_t>(next)); }
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
        e.name.assign(reinterpret_cast<const char*>(bytes.data() + at + 1), strnlen(reinterpret_cast<const char*>(bytes.data() + at + 1), 95));
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

    std::vector<std::uint8_t> bytes;
};

}  // namespace testpack
