// The pack engine: one instance per open pack file.
//
// An instance owns its host file, keeps the whole allocation table in memory,
// remembers a current directory and holds a fixed table of file handles. It
// follows the conventions of the platform's _lopen family: 0 for success and
// -1 for failure, unless an operation says otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "pack/PackFormat.h"
#include "platform/Win32.h"

inline constexpr int kMaxPath = 260;       // MAX_PATH: the engine's path buffers
inline constexpr int kHandleSlots = 1500;  // handle numbers 1 to 1499

// One open file of an engine: a file inside the pack, or a disk file opened
// through the platform.
struct PackHandle {
    std::uint8_t inUse;
    char name[pack::kNameSize];
    std::uint8_t access;        // 1 = may read, 2 = may write
    std::int32_t firstBlock;    // 0 while the file has no data
    std::int32_t position;
    std::int32_t size;
    std::uint32_t timeHigh;
    std::uint32_t timeLow;
    std::int32_t entryBlock;    // where the file's directory entry lies
    std::int32_t entrySlot;
    std::int32_t currentBlock;  // block holding the position (see the block-end rule)
    std::int32_t blockOffset;   // 0 to 2048
    std::uint8_t type;
    std::uint8_t dirty;         // written to, or marked for rewrite
    std::uint8_t inPack;        // 0 = a disk file
    std::uint8_t contiguous;
    HFILE diskHandle;
};

class CPackFileManager {
public:
    CPackFileManager();
    ~CPackFileManager();
    CPackFileManager(const CPackFileManager&) = delete;
    CPackFileManager& operator=(const CPackFileManager&) = delete;

    // Opens (mode with r) or creates (mode with w) a pack; 1 when the host
    // file is open afterwards, else 0.
    int Open(const char* hostPath, const char* mode);
    // Closes every handle (storing written files), then the host file. 1.
    int Close();
    bool IsOpen() const { return hostFile != nullptr; }

    // The host file layer: every byte of the host file passes through here.
    std::size_t HostRead(void* buffer, std::size_t itemSize, std::size_t itemCount);
    std::size_t HostWrite(const void* buffer, std::size_t itemSize, std::size_t itemCount);
    int HostSeek(std::int32_t offset, int origin);

    // Writes the in-memory table entry of block to the host file. 0 or -1.
    int StoreTableEntry(std::int32_t block);
    // The lowest free block (mode 1: zero-filled for a directory; mode 2: for
    // file data), appending one when none is free; 0 on failure. The caller
    // marks the block used at once.
    std::int32_t AllocateBlock(int mode);
    // The one place that changes the in-memory allocation table.
    void SetTableEntry(std::int32_t block, std::int32_t value);

    // The current directory as "Z:\a\b\"; 1, or 0 with an empty buffer when
    // the text has limit characters or more.
    int GetCurrentPath(char* buffer, int limit);

    // What the tools and tests look at.
    std::int32_t BlockCount() const { return blockCount; }
    std::int32_t TableEntry(std::int32_t block) const { return table[block]; }
    int OpenMode() const { return openMode; }
    const std::uint8_t* HeaderImage() const { return headerImage; }
    const char* HostPath() const { return hostPath; }

private:
    void ResetState();
    int LoadArchive();
    int FormatArchive();
    int WriteZeroBlock(std::int32_t block);

    std::FILE* hostFile;
    std::int32_t table[pack::kMaxBlocks];
    char currentPath[kMaxPath];
    char hostPath[kMaxPath];
    std::int32_t currentDir;
    std::int32_t dataStart;
    std::int32_t blockCount;
    PackHandle handles[kHandleSlots];
    std::uint8_t openMode;  // 0 = closed, 1 = read-only, 2 = read-write
    std::int32_t hostPosition;
    std::uint8_t headerImage[pack::kHeaderImageSize];

    // Every block below this one is in use, so the search for the lowest free
    // block starts here.
    std::int32_t lowestFreeHint;
    // The direction of the last transfer on the host stream: a stream opened
    // for update must be repositioned between a write and a read.
    enum class Transfer : std::uint8_t { None, Read, Write } lastTransfer;
};
