// Walking a pack's stored tree from its directory blocks, and the names an
// entry may have when it is also to be a disk file's name. The pak tool and
// kivra-mkpatch read trees through these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "pack/PackFileManager.h"
#include "pack/PackFormat.h"

namespace pack {

// Why name cannot be a pack entry's name that is also safe on disk; nullptr
// when it can.
inline const char* NameFault(const std::string& name)
{
    if (name.empty()) return "empty name";
    if (name == "." || name == "..") return "\".\" and \"..\" cannot be named";
    if (name.size() > static_cast<std::size_t>(kMaxNameLength)) return "name longer than 94 characters";
    if (name.find_first_of("\\/:") != std::string::npos) return "name holds a slash, backslash or colon";
    return nullptr;
}

// The entries of the directory whose chain starts at first, in slot order,
// without "." and "..". A block already in seen ends the listing (a chain that
// loops, or runs into another directory's), as do a block that the engine
// found in more than one chain (a chain that runs into a file's data, whose
// bytes are no entries) and a broken link: false then.
inline bool ReadDirectory(CPackFileManager& engine, std::int32_t first, std::vector<std::uint8_t>& seen,
                          std::vector<DirEntry>& entries)
{
    entries.clear();
    for (std::int32_t block = first;;) {
        if (block < 0 || block >= engine.BlockCount() || seen[static_cast<std::size_t>(block)] ||
            engine.IsSharedBlock(block))
            return false;
        seen[static_cast<std::size_t>(block)] = 1;
        DirEntry slots[kEntriesPerBlock];
        if (!engine.ReadEntries(block, 0, kEntriesPerBlock, slots)) return false;
        for (const DirEntry& entry : slots)
            if (entry.InUse() == 1 && std::strcmp(entry.Name(), ".") != 0 && std::strcmp(entry.Name(), "..") != 0)
                entries.push_back(entry);
        block = engine.NextBlock(block);
        if (block == 0) return true;
    }
}

enum class WalkEnd {
    kDone,
    kDamaged,
    kStopped
};

// Visits every entry below the directory at first, depth first, a directory
// before its contents: visit(path below first with backslashes, entry, block
// of the directory that lists it) returns false to stop. Every directory block
// is read at most once, so a table that loops or cross-links ends the walk in
// bounded time (kDamaged).
template <class Visit> WalkEnd WalkTree(CPackFileManager& engine, std::int32_t first, Visit visit)
{
    struct Frame {
        std::int32_t block;
        std::vector<DirEntry> entries;
        std::size_t next;
        std::size_t pathLength;
    };
    std::vector<std::uint8_t> seen(static_cast<std::size_t>(engine.BlockCount()), 0);
    std::vector<Frame> stack(1, Frame{first, {}, 0, 0});
    bool damaged = !ReadDirectory(engine, first, seen, stack.back().entries);
    std::string path;
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next == top.entries.size()) {
            stack.pop_back();
            continue;
        }
        const DirEntry entry = top.entries[top.next++];
        path.resize(top.pathLength);
        if (!path.empty()) path += '\\';
        path += entry.Name();
        if (!visit(path, entry, top.block)) return WalkEnd::kStopped;
        if (entry.Type() != kTypeDirectory) continue;
        const std::int32_t child = entry.FirstBlock();
        if (child < 0 || child >= engine.BlockCount() || seen[static_cast<std::size_t>(child)]) {
            damaged = true;
            continue;
        }
        Frame frame{child, {}, 0, path.size()};
        if (!ReadDirectory(engine, child, seen, frame.entries)) damaged = true;
        stack.push_back(std::move(frame));
    }
    return damaged ? WalkEnd::kDamaged : WalkEnd::kDone;
}

}  // namespace pack
