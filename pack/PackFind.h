// Listing a pack directory with a wildcard pattern.
#pragma once

#include <cstdint>

#include "pack/PackFileManager.h"

// A name split for matching: base and extension (at most three characters
// after the last dot), and whether each is a "*" wildcard.
struct NamePattern {
    char full[kMaxPath];
    char base[kMaxPath];
    char extension[kMaxPath];
    std::uint8_t baseWildcard;
    std::uint8_t extensionWildcard;
};

void ParsePattern(const char* name, NamePattern& pattern);
// 0 when the two match (wildcards count on either side), -1 otherwise.
int MatchPattern(const NamePattern& a, const NamePattern& b);

// The search record. It keeps only its place in the directory, so a listing
// does not depend on the engine's current directory between calls.
class CPackFind {
public:
    CPackFind();
    ~CPackFind();

    // 0 with the first match in the record, 1 when there is none. typeMask:
    // 1 directories, 2 files, 3 both.
    int FindFirst(CPackFileManager* engine, const char* pattern, std::uint8_t typeMask);
    // 0 with the next match, 1 when there are no more.
    int FindNext();

    CPackFileManager* engine;
    std::int32_t directory;  // first block of the directory listed
    std::int32_t block;      // block being read
    std::int32_t nextSlot;   // 0 to 16
    std::uint8_t done;
    std::uint8_t typeMask;
    NamePattern pattern;
    // The last entry found.
    char name[pack::kNameSize];
    std::uint8_t type;
    std::int32_t size;
    std::uint32_t timeHigh;
    std::uint32_t timeLow;
    std::uint8_t contiguous;
    // Blocks read so far: a directory chain that loops ends the listing once
    // it has passed more blocks than the pack holds.
    std::int32_t blocksRead;
};
