// The pack checker behind `pak fsck`.
//
// It reads the host file itself, apart from the engine, so that it sees the
// stored bytes as they are (names without a terminator, in-use bytes other
// than 0 and 1), and lists every broken rule of the stored layout: the header,
// the table's chains (end in 0, no loops, no links outside the data area or
// onto free blocks, no block in two chains), the directory tree ("." and ".."
// right, names unique ignoring case, non-empty, terminated, without
// backslashes, no directory reached twice) and the entries (in-use and type
// bytes, sizes against chain lengths, the contiguous byte).
//
// Blocks that are in use but held by no chain ("lost") are counted apart from
// the problems: an interrupted writer leaves exactly this kind of damage and
// nothing else. Lost blocks are not looked into further; their own links may
// point anywhere.
//
// Time and memory are bounded by the block count whatever the file holds:
// every block is claimed by at most one chain, and each directory block is
// read once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace pack {

// Problems beyond this many are counted but not listed.
inline constexpr std::size_t kMaxListedProblems = 1000;

struct CheckResult {
    // False when the header, the table or the root entry is unusable (the
    // engine refuses such a file); the check stops there.
    bool readable = false;
    std::int32_t blockCount = 0;
    std::int32_t usedBlocks = 0;
    // Broken rules, lost blocks aside.
    std::int64_t problemCount = 0;
    // The first kMaxListedProblems problems, one line each, in the form
    // "<where>: <what>", where is "header", "table", "data area", a block or a
    // pack path such as "Z:\a\b".
    std::vector<std::string> problems;
    // Blocks in use that no chain holds, ascending.
    std::vector<std::int32_t> lostBlocks;
    // The table calls block 0, the root's first block, free (one of the
    // problems). The check takes the root's chain to be block 0 alone.
    bool rootEntryFree = false;
    // A read of the host file failed: what the check says is incomplete.
    bool readFailed = false;

    // What a writer must keep clear of, ascending and without repeats:
    // - damagedDirectories: the first blocks of directories whose chain runs
    //   outside the data area, into a free block or back into itself, or
    //   shares a block with another chain. An entry written there could land
    //   in another chain's block.
    // - sharedBlocks: blocks that more than one chain holds. Freeing one with
    //   either chain would leave the other naming a free block.
    // - namedFreeBlocks: free blocks that a chain names, and blocks past the
    //   data area that one names. Handing one out would put it in two chains.
    std::vector<std::int32_t> damagedDirectories;
    std::vector<std::int32_t> sharedBlocks;
    std::vector<std::int32_t> namedFreeBlocks;

    bool Clean() const { return problemCount == 0 && lostBlocks.empty(); }
};

// Checks the pack held by host, a stream open for reading. The stream's
// position is left anywhere.
CheckResult CheckPack(std::FILE* host);
// Checks the pack file at path (a disk path as the platform resolves it).
CheckResult CheckPackFile(const char* path);

}  // namespace pack
