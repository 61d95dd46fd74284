// A pack host file described compactly by fuzz input, damaged as the input
// says (see FuzzPack.cpp for the layout of the input), and the input reader
// the pack harnesses share.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "pack/PackFormat.h"

namespace fuzzpack {

using pack::kBlockSize;

// Reads little-endian bytes of the input in order; zero past its end.
struct Input {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;

    bool More() const { return at < size; }
    std::uint8_t Byte() { return at < size ? data[at++] : 0; }
    std::uint32_t Word()
    {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(Byte()) << (8 * i);
        return v;
    }
};

inline std::vector<std::uint8_t> BuildHostFile(Input in)
{
    const std::size_t blocks = 1 + (in.Byte() & 31);
    const std::uint8_t end = in.Byte();
    std::vector<std::uint8_t> file(pack::kDataOffset + kBlockSize * blocks, 0);
    for (std::size_t i = 0; i < 32; ++i) file[i] = in.Byte();
    for (std::size_t i = 0; i < 4; ++i) file[pack::kTableSectorsOffset + i] = in.Byte();
    std::memset(file.data() + pack::kTableOffset, 0xFF, pack::kTableBytes);
    for (std::size_t b = 0; b < blocks; ++b) pack::StoreU32(&file[pack::kTableOffset + 4 * b], in.Word());
    for (int extra = in.Byte() & 3; extra > 0; --extra) {
        const std::uint32_t index = in.Word() % pack::kMaxBlocks;
        pack::StoreU32(&file[pack::kTableOffset + 4 * index], in.Word());
    }
    if (in.at < in.size) {
        const std::size_t n = std::min(in.size - in.at, kBlockSize * blocks);
        std::memcpy(&file[pack::kDataOffset], in.data + in.at, n);
    }
    switch (end & 3) {
    case 1: file.resize(file.size() + 32u * (end >> 2), 0); break;
    case 2: file.resize(std::min<std::size_t>(file.size(), 8500u * (end >> 2))); break;
    default: break;
    }
    return file;
}

}  // namespace fuzzpack
